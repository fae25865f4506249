#pragma once
// Whole-file reads: raw bytes, or strict UTF-8 text with normalised line ends.

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "quillbox/detail/lines.h"
#include "quillbox/detail/regular_file.h"
#include "quillbox/detail/utf8.h"

namespace quillbox::detail {

// Whole file as bytes. A missing file raises filesystem_error(no_such_file_or_directory); a
// directory, FIFO, socket or device raises NotRegularFileError without blocking; an unreadable
// file raises filesystem_error with the matching code.
inline std::string read_file_bytes(const std::filesystem::path& p) {
    struct stat st {};
    FileHandle fd = open_regular_for_reading(p, &st);
    // Read straight into a string of the file's size, one byte more to see a file that grew;
    // it doubles only when the file keeps growing.
    std::string data(static_cast<std::size_t>(std::max<off_t>(st.st_size, 0)) + 1, '\0');
    std::size_t got = 0;
    for (;;) {
        if (got == data.size()) data.resize(data.size() * 2);
        ssize_t r = ::read(fd.get(), data.data() + got, data.size() - got);
        if (r < 0) {
            if (errno == EINTR) continue;
            throw std::filesystem::filesystem_error("Read error", p, std::error_code(errno, std::generic_category()));
        }
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    data.resize(got);
    return data;
}

// Whole file as text: strict UTF-8, CRLF and CR turned into LF. The byte-order mark stays.
inline std::string read_text_file(const std::filesystem::path& p) {
    std::string bytes = read_file_bytes(p);
    validate_utf8(bytes, p.string());
    if (std::memchr(bytes.data(), '\r', bytes.size()) == nullptr) return bytes;
    return normalize_newlines(bytes);
}

}  // namespace quillbox::detail
