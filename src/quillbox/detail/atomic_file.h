#pragma once
// Replacing a file's content in one step: a reader sees the whole old or the whole new file,
// and after a crash the file holds one of the two. The new content goes to a temporary file
// beside the target (created exclusively, never through a link), which is given the target's
// permission bits and owner, synced, and renamed over the target; then the directory is
// synced. Header-only so that every module can use it without a link dependency.

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "quillbox/detail/confine.h"
#include "quillbox/detail/fd.h"

namespace quillbox::detail {

// A failed step of a replacement. The path is the one the step acted on (the temporary file,
// or the target for the rename); code() holds the errno.
class FileReplaceError : public std::filesystem::filesystem_error {
public:
    enum class Step { create, write, permissions, times, sync, close, rename };
    FileReplaceError(Step step, const std::string& what, const std::filesystem::path& p, int err)
        : std::filesystem::filesystem_error(what, p, std::error_code(err, std::generic_category())),
          step_(step) {}
    Step step() const noexcept { return step_; }

private:
    Step step_;
};

// The process umask, read without changing it (umask() would race with other threads).
inline mode_t current_umask() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Umask:", 0) == 0) {
            try {
                return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
            } catch (const std::exception&) {
                break;
            }
        }
    }
    return 022;
}

// Where a write to `p` should go so that a symbolic link stays a link: the file it points
// to (for a dangling link, the path it names). Any other path is returned as it is.
inline std::filesystem::path link_target(const std::filesystem::path& p) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(p, ec))) return p;
    fs::path resolved = fs::canonical(p, ec);
    if (!ec) return resolved;
    fs::path link = fs::read_symlink(p, ec);
    if (ec) return p;
    return link.is_absolute() ? link : p.parent_path() / link;
}

struct ReplaceOptions {
    // The temporary file. Empty: a fresh unique name beside the target. Otherwise this exact
    // path; whatever stands there (a stale temporary file, a planted link) is removed first.
    std::filesystem::path temporary{};
    // Mode, owner and, with copy_times, access and modification times of the new file.
    // Nothing: those of the target when it exists, else 0666 minus the umask.
    const struct stat* like = nullptr;
    bool copy_times = false;
};

// Writes `data` to the open file `fd`, gives it the mode, owner and (with copy_times) times of
// `like` (nothing: 0666 minus the umask) and syncs it. `path` names the file in errors.
inline void write_synced(int fd, std::string_view data, const struct stat* like, bool copy_times,
                         const std::filesystem::path& path) {
    using Step = FileReplaceError::Step;
    if (int err = write_fully(fd, data)) throw FileReplaceError(Step::write, "cannot write", path, err);
    mode_t mode = like ? (like->st_mode & 07777) : (0666 & ~current_umask());
    if (like) {
        // Owner first: chown may clear set-id bits that fchmod then puts back. Only root
        // may give a file away; for anyone else this is a no-op or refused, which is fine.
        if (::fchown(fd, like->st_uid, like->st_gid) != 0) { /* keep our own ownership */ }
    }
    if (::fchmod(fd, mode) != 0) throw FileReplaceError(Step::permissions, "cannot set permissions", path, errno);
    if (like && copy_times) {
        struct timespec times[2] = {like->st_atim, like->st_mtim};
        if (::futimens(fd, times) != 0) throw FileReplaceError(Step::times, "cannot set times", path, errno);
    }
    if (::fsync(fd) != 0) throw FileReplaceError(Step::sync, "cannot sync", path, errno);
}

// The first half of a replacement: the new content written to a synced temporary file.
// commit() renames it over the target; a caller can check anything it needs in between.
// Destroyed without a commit (or after a failed one), it removes the temporary file and the
// target stays as it was.
class PendingReplace {
public:
    PendingReplace(std::filesystem::path target, std::string_view data, const ReplaceOptions& opt = {})
        : target_(std::move(target)), name_(target_.filename()) {
        dir_ = open_dir(target_.parent_path());
        int fd = -1;
        try {
            fd = create(opt);
        } catch (...) {
            ::close(dir_);
            throw;
        }
        try {
            fill(fd, data, opt);
        } catch (...) {
            discard();
            ::close(dir_);
            throw;
        }
    }
    ~PendingReplace() {
        discard();
        if (dir_ >= 0) ::close(dir_);
    }
    PendingReplace(const PendingReplace&) = delete;
    PendingReplace& operator=(const PendingReplace&) = delete;

    const std::filesystem::path& target() const noexcept { return target_; }
    const std::filesystem::path& temporary() const noexcept { return tmp_; }

    // Renames the temporary file over the target and syncs the directory (best effort: some
    // file systems refuse, and the rename has happened either way).
    void commit() {
        if (::renameat(dir_, tmp_name_.c_str(), dir_, name_.c_str()) != 0) {
            int err = errno;
            discard();
            throw FileReplaceError(FileReplaceError::Step::rename, "cannot replace", target_, err);
        }
        tmp_.clear();
        tmp_name_.clear();
        (void)::fsync(dir_);
    }

    // Exchanges the temporary file and the target in one step (renameat2 RENAME_EXCHANGE) and
    // syncs the directory: afterwards temporary() names what the target held, so a caller can
    // check what it replaced, and exchange back. False, with nothing changed, on a file system
    // that cannot exchange; a plain commit() is then the way.
    bool exchange() {
        if (::renameat2(dir_, tmp_name_.c_str(), dir_, name_.c_str(), RENAME_EXCHANGE) != 0) {
            if (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP) return false;
            throw FileReplaceError(FileReplaceError::Step::rename, "cannot exchange", target_, errno);
        }
        (void)::fsync(dir_);
        return true;
    }

    // Leaves the temporary file where it is (no longer removed by the destructor).
    void keep() noexcept {
        tmp_.clear();
        tmp_name_.clear();
    }

private:
    using Step = FileReplaceError::Step;

    // The target's folder, held open: the temporary file is made, and renamed, in the folder
    // that was checked, whatever is swapped in at its path meanwhile.
    static int open_dir(const std::filesystem::path& dir) {
        const std::filesystem::path d = dir.empty() ? std::filesystem::path(".") : dir;
        const int fd = open_confined(d, O_RDONLY | O_DIRECTORY);
        if (fd >= 0) return fd;
        if (errno == EXDEV) throw OutsideRootError(d, confinement_root());
        throw FileReplaceError(Step::create, "cannot create a temporary file", d, errno);
    }

    [[noreturn]] void fail(Step step, const char* what, int err) { throw FileReplaceError(step, what, tmp_, err); }

    int create(const ReplaceOptions& opt) {
        const std::filesystem::path parent = target_.parent_path();
        if (opt.temporary.empty()) {
            // Appended piece by piece: GCC 12 warns (-Wrestrict, a false positive) on "." + std::string.
            std::string base = ".";
            base += target_.filename().string();
            base += ".quillbox-";
            static constexpr char chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
            for (int attempt = 0; attempt < 100; ++attempt) {
                unsigned char rnd[6];
                if (::getrandom(rnd, sizeof rnd, 0) != static_cast<ssize_t>(sizeof rnd)) {
                    for (auto& c : rnd) c = static_cast<unsigned char>(std::rand());
                }
                std::string name = base;
                for (unsigned char c : rnd) name.push_back(chars[c % (sizeof chars - 1)]);
                int fd = ::openat(dir_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
                if (fd >= 0) {
                    tmp_name_ = name;
                    tmp_ = parent / name;
                    return fd;
                }
                if (errno != EEXIST)
                    throw FileReplaceError(Step::create, "cannot create a temporary file", parent / name, errno);
            }
            throw FileReplaceError(Step::create, "cannot create a temporary file", parent / base, EEXIST);
        }
        // An exact name beside the target: whatever stands there (a stale temporary file, a
        // planted link) is removed first.
        const std::string name = opt.temporary.filename().string();
        if (::unlinkat(dir_, name.c_str(), 0) != 0 && errno != ENOENT)
            throw FileReplaceError(Step::create, "cannot remove a stale temporary file", opt.temporary, errno);
        int fd = ::openat(dir_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) throw FileReplaceError(Step::create, "cannot create a temporary file", opt.temporary, errno);
        tmp_name_ = name;
        tmp_ = parent / name;
        return fd;
    }

    void fill(int fd, std::string_view data, const ReplaceOptions& opt) {
        struct Closer {
            int fd;
            ~Closer() {
                if (fd >= 0) ::close(fd);
            }
        } closer{fd};
        struct stat own {};
        const struct stat* like = opt.like;
        if (!like && ::fstatat(dir_, name_.c_str(), &own, 0) == 0) like = &own;
        write_synced(fd, data, like, opt.copy_times, tmp_);
        closer.fd = -1;
        if (::close(fd) != 0 && errno != EINTR) fail(Step::close, "cannot close", errno);
    }

    void discard() noexcept {
        if (!tmp_name_.empty()) ::unlinkat(dir_, tmp_name_.c_str(), 0);
        tmp_.clear();
        tmp_name_.clear();
    }

    std::filesystem::path target_;
    std::string name_;       // the target's name in dir_
    int dir_ = -1;
    std::filesystem::path tmp_;
    std::string tmp_name_;   // the temporary file's name in dir_
};

// Replaces the content of `target` by `data` in one step (see above).
inline void replace_file(const std::filesystem::path& target, std::string_view data,
                         const ReplaceOptions& opt = {}) {
    PendingReplace(target, data, opt).commit();
}

// Writes `data` as a new file in `dir`, complete or not at all, under the first of the names
// name_for(0), name_for(1), ... that is free (an existing file is never replaced); gives up
// with EEXIST after `attempts` names. Returns the path taken. The content goes to an unnamed
// file (O_TMPFILE) that is linked in once synced, so a crash leaves nothing behind; where the
// file system or /proc cannot do that, a named temporary file does the same job.
template <class NameFor>
std::filesystem::path create_new_file(const std::filesystem::path& dir, NameFor name_for, std::string_view data,
                                      const ReplaceOptions& opt, int attempts = 100000) {
    using Step = FileReplaceError::Step;
    const int dir_fd = open_confined(dir, O_RDONLY | O_DIRECTORY);
    if (dir_fd < 0) {
        if (errno == EXDEV) throw OutsideRootError(dir, confinement_root());
        throw FileReplaceError(Step::create, "cannot create a temporary file", dir, errno);
    }
    struct DirCloser {
        int fd;
        ~DirCloser() { ::close(fd); }
    } dir_closer{dir_fd};
    auto link_first_free = [&](auto&& link) {
        for (int k = 0; k < attempts; ++k) {
            const std::string name = name_for(k);
            int err = link(name);
            if (err == 0) return dir / name;
            if (err != EEXIST) throw FileReplaceError(Step::rename, "cannot link", dir / name, err);
        }
        throw FileReplaceError(Step::rename, "no free name", dir, EEXIST);
    };
    int fd = ::openat(dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
        struct Closer {
            int fd;
            ~Closer() { ::close(fd); }
        } closer{fd};
        write_synced(fd, data, opt.like, opt.copy_times, dir);
        const std::string proc = "/proc/self/fd/" + std::to_string(fd);
        bool no_proc = false;
        auto linked = link_first_free([&](const std::string& name) {
            if (::linkat(AT_FDCWD, proc.c_str(), dir_fd, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
            const int err = errno;
            if (err == ENOENT && ::access(proc.c_str(), F_OK) != 0) {
                no_proc = true;
                return 0;
            }
            return err;
        });
        if (!no_proc) {
            (void)::fsync(dir_fd);
            return linked;
        }
    } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        throw FileReplaceError(Step::create, "cannot create a temporary file", dir, errno);
    }
    // A named temporary file ".name.quillbox-XXXXXX", hard-linked to the free name.
    PendingReplace pending(dir / name_for(0), data, opt);
    const std::string tmp_name = pending.temporary().filename().string();
    return link_first_free([&](const std::string& name) {
        return ::linkat(dir_fd, tmp_name.c_str(), dir_fd, name.c_str(), 0) == 0 ? 0 : errno;
    });
}

}  // namespace quillbox::detail
