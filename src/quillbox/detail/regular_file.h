#pragma once
// Opening a file for reading only when it is a regular file. The open never blocks (a FIFO
// without a writer would hang the caller, and with it the whole server), and the check is made
// on what was opened, so a path swapped between a check and the open cannot slip through.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

#include "quillbox/detail/confine.h"

namespace quillbox::detail {

// The path names a directory, FIFO, socket or device. code() is is_a_directory for a
// directory and invalid_argument for the others; kind() names what it is.
class NotRegularFileError : public std::filesystem::filesystem_error {
public:
    NotRegularFileError(const std::filesystem::path& p, const char* kind)
        : std::filesystem::filesystem_error(std::string("Not a regular file (") + kind + ")", p,
                                            std::make_error_code(std::string_view(kind) == "directory"
                                                                     ? std::errc::is_a_directory
                                                                     : std::errc::invalid_argument)),
          kind_(kind) {}
    const char* kind() const noexcept { return kind_; }

private:
    const char* kind_;
};

// What a file of this mode is, in a word; nullptr for a regular file.
inline const char* non_regular_kind(mode_t mode) noexcept {
    if (S_ISREG(mode)) return nullptr;
    if (S_ISDIR(mode)) return "directory";
    if (S_ISFIFO(mode)) return "FIFO";
    if (S_ISSOCK(mode)) return "socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "device";
    return "special file";
}

// Owns a descriptor; closes it on scope exit.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) noexcept : fd_(fd) {}
    FileHandle(FileHandle&& o) noexcept : fd_(o.release()) {}
    FileHandle& operator=(FileHandle&& o) noexcept {
        if (this != &o) {
            reset();
            fd_ = o.release();
        }
        return *this;
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset() noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// Checks an open descriptor: NotRegularFileError unless it is a regular file; fills `st`.
inline void require_regular(int fd, const std::filesystem::path& p, struct stat& st) {
    if (::fstat(fd, &st) != 0)
        throw std::filesystem::filesystem_error("Cannot read the file status", p,
                                                std::error_code(errno, std::generic_category()));
    if (const char* kind = non_regular_kind(st.st_mode)) throw NotRegularFileError(p, kind);
}

// Opens `p` for reading (links followed) without blocking, and refuses what is not a regular
// file. A missing file raises filesystem_error(no_such_file_or_directory). The descriptor is
// back in blocking mode.
inline FileHandle open_regular_for_reading(const std::filesystem::path& p, struct stat* st_out = nullptr) {
    FileHandle fd(open_confined(p, O_RDONLY | O_NONBLOCK | O_NOCTTY));
    if (!fd) {
        const int err = errno;
        if (err == EXDEV) throw OutsideRootError(p, confinement_root());
        if (err == ENOENT || err == ENOTDIR)
            throw std::filesystem::filesystem_error("No such file or directory", p,
                                                    std::make_error_code(std::errc::no_such_file_or_directory));
        if (err == ENXIO) throw NotRegularFileError(p, "socket");  // sockets cannot be opened
        throw std::filesystem::filesystem_error("Cannot open file", p, std::error_code(err, std::generic_category()));
    }
    struct stat st {};
    require_regular(fd.get(), p, st);
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    if (st_out) *st_out = st;
    return fd;
}

// Whether `p` (links followed) is something other than a regular file, without opening it:
// the kind, or nullptr for a regular file or a path that cannot be examined.
inline const char* non_regular_kind(const std::filesystem::path& p) noexcept {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) return nullptr;
    return non_regular_kind(st.st_mode);
}

}  // namespace quillbox::detail
