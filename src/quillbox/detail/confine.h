#pragma once
// Confinement at the moment of use. While a root is set (a server's project root, unless the
// user allows files outside it), a file or folder under that root is opened only if its real
// path lies inside the root when it is opened: it is opened from a handle of the root with
// the kernel keeping every step beneath it, or else resolved, checked, and the real path
// opened from that handle without following any link. A link swapped in between the check
// and the open makes the open fail instead of leading elsewhere. Paths
// outside the root (configuration, models, caches) are opened as they are.

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>

#include "quillbox/detail/file_key.h"

namespace quillbox::detail {

// The path leads outside the confinement root (code: cross_device_link).
class OutsideRootError : public std::filesystem::filesystem_error {
public:
    OutsideRootError(const std::filesystem::path& p, const std::filesystem::path& root)
        : std::filesystem::filesystem_error("Path " + p.string() + " leads outside the project root " + root.string(),
                                            p, std::make_error_code(std::errc::cross_device_link)) {}
};

struct ConfinementState {
    std::mutex mu;
    std::filesystem::path root;
    int root_fd = -1;  // the root, held open while it is set
    dev_t dev = 0;     // and the folder it was when set
    ino_t ino = 0;
};

// One per process (the shared libraries that include this header share it).
inline ConfinementState& confinement_state() {
    static ConfinementState state;
    return state;
}

// Sets the root (empty: no confinement).
inline void set_confinement_root(const std::filesystem::path& root) {
    auto& s = confinement_state();
    std::lock_guard lk(s.mu);
    if (s.root_fd >= 0) ::close(s.root_fd);
    s.root = root.empty() ? root : file_key(root);
    s.root_fd = s.root.empty() ? -1 : ::open(s.root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat st {};
    if (s.root_fd >= 0 && ::fstat(s.root_fd, &st) == 0) {
        s.dev = st.st_dev;
        s.ino = st.st_ino;
    }
}

// Whether the root's path still names the folder the root was set to. A project folder
// renamed while the process runs (and another made under its name) would otherwise take the
// writes through the held handle while the answers name the path.
inline bool confinement_root_replaced() {
    auto& s = confinement_state();
    std::lock_guard lk(s.mu);
    if (s.root_fd < 0) return false;
    struct stat st {};
    return ::stat(s.root.c_str(), &st) != 0 || st.st_dev != s.dev || st.st_ino != s.ino;
}

inline std::filesystem::path confinement_root() {
    auto& s = confinement_state();
    std::lock_guard lk(s.mu);
    return s.root;
}

// The root and its handle (-1 when it could not be opened).
inline std::pair<std::filesystem::path, int> confinement_root_and_fd() {
    auto& s = confinement_state();
    std::lock_guard lk(s.mu);
    return {s.root, s.root_fd};
}

// `path` under `root` relative to it ("." for the root itself), opened from the root's handle
// with openat2 and `resolve`; -1 with errno set on failure.
inline int open_beneath(int root_fd, const std::filesystem::path& root, const std::filesystem::path& path, int flags,
                        mode_t mode, unsigned long long resolve) {
    const std::filesystem::path rel = path == root ? std::filesystem::path(".") : path.lexically_relative(root);
    open_how how{};
    how.flags = static_cast<unsigned long long>(flags | O_CLOEXEC);
    how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
    how.resolve = resolve;
    int fd = static_cast<int>(::syscall(SYS_openat2, root_fd, rel.c_str(), &how, sizeof how));
    if (fd < 0 && errno == ENOSYS && (resolve & RESOLVE_NO_SYMLINKS)) {
        // Kernels before 5.6: the last component at least is not followed.
        fd = ::openat(root_fd, rel.c_str(), flags | O_CLOEXEC | (rel == "." ? 0 : O_NOFOLLOW), mode);
    }
    return fd;
}

// Opens `p` with `flags` (and `mode` for a new file). Under the confinement root the real path
// must lie inside it and no link is followed while opening it; -1 with errno set on failure,
// errno EXDEV when the path leads outside. Anywhere else a plain open.
inline int open_confined(const std::filesystem::path& p, int flags, mode_t mode = 0) {
    const auto [root, root_fd] = confinement_root_and_fd();
    const std::filesystem::path abs = p.is_absolute() ? p : std::filesystem::absolute(p);
    if (root.empty() || !path_within(abs.lexically_normal(), root)) return ::open(p.c_str(), flags | O_CLOEXEC, mode);
    if (confinement_root_replaced()) {
        errno = ESTALE;
        return -1;
    }

    // First straight from the root's handle: the kernel follows links only while they stay
    // beneath it, so one call does what resolving each component would. A link that leaves
    // the root, or an absolute one, fails here and takes the long way below, which tells the
    // two apart.
    if (root_fd >= 0 && abs == abs.lexically_normal()) {
        const int fd = open_beneath(root_fd, root, abs, flags, mode, RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS);
        if (fd >= 0) return fd;
        if (errno != EXDEV && errno != ELOOP && errno != ENOSYS && errno != EAGAIN) return -1;
    }

    // The real path of what exists; a file about to be created is not resolved itself.
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(p.c_str(), nullptr), &std::free);
    std::filesystem::path resolved;
    if (real) {
        resolved = real.get();
    } else if (errno == ENOENT && (flags & O_CREAT)) {
        std::unique_ptr<char, decltype(&std::free)> dir(::realpath(abs.parent_path().c_str(), nullptr), &std::free);
        if (!dir) return -1;
        resolved = std::filesystem::path(dir.get()) / abs.filename();
    } else {
        return -1;
    }
    if (!path_within(resolved, root)) {
        errno = EXDEV;
        return -1;
    }
    if (root_fd < 0) {
        errno = ENOENT;
        return -1;
    }
    const int fd =
        open_beneath(root_fd, root, resolved, flags, mode, RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS);
    const int err = errno;
    // A link met on the way was swapped in after the path was resolved.
    errno = fd < 0 && err == ELOOP ? EXDEV : err;
    return fd;
}

// open_confined that raises: OutsideRootError for a path leading outside, else
// filesystem_error with the errno.
inline int open_confined_or_throw(const std::filesystem::path& p, int flags, mode_t mode, const char* what) {
    const int fd = open_confined(p, flags, mode);
    if (fd >= 0) return fd;
    const int err = errno;
    if (err == EXDEV) throw OutsideRootError(p, confinement_root());
    throw std::filesystem::filesystem_error(what, p, std::error_code(err, std::generic_category()));
}

}  // namespace quillbox::detail
