#pragma once
// Header-only file-descriptor helpers.

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string_view>

namespace quillbox::detail {

// Writes all of `data` to `fd`, going on after short writes and interrupted calls. Returns 0,
// or the errno of the write that failed.
inline int write_fully(int fd, std::string_view data) noexcept {
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace quillbox::detail
