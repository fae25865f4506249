#pragma once
// Replacing a file's content in one step: a reader sees the whole old or the whole new file,
// and after a crash the file holds one of the two. The new content goes to a temporary file
// beside the target (created exclusively, never through a link), which is given the target's
// permission bits and owner, synced, and renamed over the target; then the directory is
// synced. Header-only so that every module can use it without a link dependency.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

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
        : target_(std::move(target)) {
        int fd = create(opt);
        try {
            fill(fd, data, opt);
        } catch (...) {
            discard();
            throw;
        }
    }
    ~PendingReplace() { discard(); }
    PendingReplace(const PendingReplace&) = delete;
    PendingReplace& operator=(const PendingReplace&) = delete;

    const std::filesystem::path& target() const noexcept { return target_; }
    const std::filesystem::path& temporary() const noexcept { return tmp_; }

    // Renames the temporary file over the target and syncs the directory (best effort: some
    // file systems refuse, and the rename has happened either way).
    void commit() {
        if (::rename(tmp_.c_str(), target_.c_str()) != 0) {
            int err = errno;
            discard();
            throw FileReplaceError(FileReplaceError::Step::rename, "cannot replace", target_, err);
        }
        tmp_.clear();
        sync_dir();
    }

    // Exchanges the temporary file and the target in one step (renameat2 RENAME_EXCHANGE) and
    // syncs the directory: afterwards temporary() names what the target held, so a caller can
    // check what it replaced, and exchange back. False, with nothing changed, on a file system
    // that cannot exchange; a plain commit() is then the way.
    bool exchange() {
        if (::renameat2(AT_FDCWD, tmp_.c_str(), AT_FDCWD, target_.c_str(), RENAME_EXCHANGE) != 0) {
            if (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP) return false;
            throw FileReplaceError(FileReplaceError::Step::rename, "cannot exchange", target_, errno);
        }
        sync_dir();
        return true;
    }

    // Leaves the temporary file where it is (no longer removed by the destructor).
    void keep() noexcept { tmp_.clear(); }

private:
    using Step = FileReplaceError::Step;

    void sync_dir() noexcept {
        std::filesystem::path dir = target_.parent_path();
        int d = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (d >= 0) {
            (void)::fsync(d);
            ::close(d);
        }
    }

    [[noreturn]] void fail(Step step, const char* what, int err) { throw FileReplaceError(step, what, tmp_, err); }

    int create(const ReplaceOptions& opt) {
        int fd;
        if (opt.temporary.empty()) {
            // Appended piece by piece: GCC 12 warns (-Wrestrict, a false positive) on "." + std::string.
            std::string base = ".";
            base += target_.filename().string();
            base += ".quillbox-XXXXXX";
            std::string name = (target_.parent_path() / base).string();
            fd = ::mkostemp(name.data(), O_CLOEXEC);
            if (fd < 0) throw FileReplaceError(Step::create, "cannot create a temporary file", name, errno);
            tmp_ = name;
        } else {
            tmp_ = opt.temporary;
            if (::unlink(tmp_.c_str()) != 0 && errno != ENOENT) {
                int err = errno;
                std::filesystem::path t = std::exchange(tmp_, {});
                throw FileReplaceError(Step::create, "cannot remove a stale temporary file", t, err);
            }
            fd = ::open(tmp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd < 0) {
                int err = errno;
                std::filesystem::path t = std::exchange(tmp_, {});
                throw FileReplaceError(Step::create, "cannot create a temporary file", t, err);
            }
        }
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
        if (!like && ::stat(target_.c_str(), &own) == 0) like = &own;
        write_synced(fd, data, like, opt.copy_times, tmp_);
        closer.fd = -1;
        if (::close(fd) != 0 && errno != EINTR) fail(Step::close, "cannot close", errno);
    }

    void discard() noexcept {
        if (!tmp_.empty()) ::unlink(tmp_.c_str());
        tmp_.clear();
    }

    std::filesystem::path target_;
    std::filesystem::path tmp_;
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
    auto link_first_free = [&](auto&& link) {
        for (int k = 0; k < attempts; ++k) {
            std::filesystem::path name = dir / name_for(k);
            int err = link(name);
            if (err == 0) return name;
            if (err != EEXIST) throw FileReplaceError(Step::rename, "cannot link", name, err);
        }
        throw FileReplaceError(Step::rename, "no free name", dir, EEXIST);
    };
    int fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
        struct Closer {
            int fd;
            ~Closer() { ::close(fd); }
        } closer{fd};
        write_synced(fd, data, opt.like, opt.copy_times, dir);
        const std::string proc = "/proc/self/fd/" + std::to_string(fd);
        bool no_proc = false;
        auto linked = link_first_free([&](const std::filesystem::path& name) {
            if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
            const int err = errno;
            if (err == ENOENT && ::access(proc.c_str(), F_OK) != 0) {
                no_proc = true;
                return 0;
            }
            return err;
        });
        if (!no_proc) {
            int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (d >= 0) {
                (void)::fsync(d);
                ::close(d);
            }
            return linked;
        }
    } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        throw FileReplaceError(Step::create, "cannot create a temporary file", dir, errno);
    }
    // A named temporary file ".name.quillbox-XXXXXX", hard-linked to the free name.
    PendingReplace pending(dir / name_for(0), data, opt);
    return link_first_free([&](const std::filesystem::path& name) {
        return ::link(pending.temporary().c_str(), name.c_str()) == 0 ? 0 : errno;
    });
}

}  // namespace quillbox::detail
