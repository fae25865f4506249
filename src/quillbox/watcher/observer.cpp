// The inotify observer and FileWatcher.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "quillbox/watcher.h"

namespace quillbox {

namespace fs = std::filesystem;

namespace {

// Directories: file creations, every write and the close after writing (the debounce merges
// them, so a save gives one callback however it is written), deletions, and moves: a file
// renamed onto a path is a modification there, one renamed away a deletion. IN_EXCL_UNLINK: no events for files already unlinked.
constexpr std::uint32_t kDirMask = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_DELETE |
                                   IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR | IN_EXCL_UNLINK;

bool is_under(const std::string& p, const std::string& dir) {
    return p.size() >= dir.size() && p.compare(0, dir.size(), dir) == 0 &&
           (p.size() == dir.size() || p[dir.size()] == '/' || dir == "/");
}

// One inotify instance with watches on a directory tree and the thread that reads it.
class InotifyObserver {
public:
    using Sink = std::function<void(const FileEvent&)>;

    InotifyObserver(fs::path root, Sink sink, FileWatcher::FolderFilter skip)
        : root_(std::move(root)), sink_(std::move(sink)), skip_(std::move(skip)) {}
    ~InotifyObserver() { stop(); }

    bool running() const { return thread_.joinable(); }
    std::size_t watch_count() const { return watch_count_.load(); }

    void start() {
        if (thread_.joinable()) return;
        ifd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (ifd_ < 0) fail("cannot create an inotify instance");
        efd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (efd_ < 0) fail("cannot create the watcher's wake-up descriptor");
        int wd = inotify_add_watch(ifd_, root_.c_str(), kDirMask);
        if (wd < 0) fail("cannot watch directory");
        root_wd_ = wd;
        wds_[wd] = root_;
        watch_count_.store(1);
        add_subtree(root_, /*report=*/false);
        try {
            thread_ = std::thread([this] { loop(); });
        } catch (...) {
            close_fds();
            throw;
        }
    }

    void stop() {
        if (!thread_.joinable()) return;
        std::uint64_t one = 1;
        while (::write(efd_, &one, sizeof one) < 0 && errno == EINTR) {
        }
        thread_.join();
        close_fds();
    }

private:
    [[noreturn]] void fail(const char* what) {
        int err = errno;
        close_fds();
        throw fs::filesystem_error(std::string("file watcher: ") + what, root_,
                                   std::error_code(err, std::generic_category()));
    }

    void close_fds() {
        if (ifd_ >= 0) ::close(ifd_);
        if (efd_ >= 0) ::close(efd_);
        ifd_ = efd_ = -1;
        wds_.clear();
        watch_count_.store(0);
        root_wd_ = -1;
    }

    void emit(FileEvent::Kind kind, const fs::path& p, bool is_dir) {
        try {
            sink_(FileEvent{kind, p, is_dir});
        } catch (const std::exception& e) {
            std::fprintf(stderr, "quillbox watcher: handling an event for %s failed: %s\n", p.c_str(),
                         e.what());
        } catch (...) {
            std::fprintf(stderr, "quillbox watcher: handling an event for %s failed\n", p.c_str());
        }
    }

    bool skipped(const fs::path& dir) const {
        if (!skip_) return false;
        try {
            return skip_(dir);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "quillbox watcher: cannot tell whether to watch %s: %s\n", dir.c_str(), e.what());
            return false;
        }
    }

    // Watches `dir` unless it is skipped; false when it gets no watch.
    bool watch(const fs::path& dir) {
        if (skipped(dir)) return false;
        int wd = inotify_add_watch(ifd_, dir.c_str(), kDirMask);
        if (wd >= 0) {
            wds_[wd] = dir;  // the same directory seen again keeps its wd; the path is refreshed
            watch_count_.store(wds_.size());
            return true;
        }
        // Gone again or not a directory any more: nothing to watch.
        if (errno == ENOENT || errno == ENOTDIR) return false;
        if (errno == ENOSPC) {
            if (!warned_limit_) {
                std::fprintf(stderr,
                             "quillbox watcher: inotify watch limit reached (fs.inotify."
                             "max_user_watches); changes under %s are not seen\n",
                             dir.c_str());
                warned_limit_ = true;
            }
            return false;
        }
        std::fprintf(stderr, "quillbox watcher: cannot watch %s: %s\n", dir.c_str(),
                     std::strerror(errno));
        return false;
    }

    // Watches every directory below `top` (already watched itself). With `report`, everything
    // found is reported as created: it may have appeared before its directory's watch existed.
    void add_subtree(const fs::path& top, bool report) {
        std::vector<fs::path> pending{top};
        while (!pending.empty()) {
            fs::path dir = std::move(pending.back());
            pending.pop_back();
            std::error_code ec;
            fs::directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec);
            for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
                const fs::directory_entry& entry = *it;
                std::error_code sec;
                bool is_dir = entry.is_directory(sec) && !entry.is_symlink(sec);
                if (is_dir) {
                    if (!watch(entry.path())) continue;  // skipped: nothing inside is seen either
                    pending.push_back(entry.path());
                }
                if (report) emit(FileEvent::Kind::created, entry.path(), is_dir);
            }
        }
    }

    void forget_subtree(const fs::path& dir) {
        const std::string& d = dir.native();
        for (auto it = wds_.begin(); it != wds_.end();) {
            if (is_under(it->second.native(), d)) {
                inotify_rm_watch(ifd_, it->first);
                it = wds_.erase(it);
            } else {
                ++it;
            }
        }
        watch_count_.store(wds_.size());
    }

    void handle(const inotify_event& ev) {
        if (ev.mask & IN_Q_OVERFLOW) {
            std::fprintf(stderr,
                         "quillbox watcher: inotify event queue overflowed under %s; some "
                         "changes were missed\n",
                         root_.c_str());
            // Directories created meanwhile may have gone unseen: pick up their watches.
            if (wds_.count(root_wd_)) add_subtree(root_, /*report=*/false);
            return;
        }
        if (ev.mask & IN_IGNORED) {
            if (ev.wd == root_wd_ && wds_.count(ev.wd))
                std::fprintf(stderr, "quillbox watcher: %s is no longer watched (removed?)\n",
                             root_.c_str());
            wds_.erase(ev.wd);
            watch_count_.store(wds_.size());
            return;
        }
        auto it = wds_.find(ev.wd);
        if (it == wds_.end() || ev.len == 0 || ev.name[0] == '\0') return;
        fs::path p = it->second / ev.name;
        bool is_dir = (ev.mask & IN_ISDIR) != 0;

        if (ev.mask & IN_CREATE) {
            emit(FileEvent::Kind::created, p, is_dir);
            if (is_dir && watch(p)) add_subtree(p, /*report=*/true);
        } else if (ev.mask & (IN_MODIFY | IN_CLOSE_WRITE)) {
            emit(FileEvent::Kind::modified, p, is_dir);
        } else if (ev.mask & IN_DELETE) {
            emit(FileEvent::Kind::deleted, p, is_dir);
        } else if (ev.mask & IN_MOVED_FROM) {
            // Renamed or moved away: the file is gone from this path.
            if (is_dir) forget_subtree(p);  // moved within the tree it comes back with IN_MOVED_TO
            else emit(FileEvent::Kind::deleted, p, false);
        } else if (ev.mask & IN_MOVED_TO) {
            // Renamed onto this path (an editor's save through a temporary file): new content.
            if (is_dir) {
                if (watch(p)) add_subtree(p, /*report=*/true);
            } else {
                emit(FileEvent::Kind::modified, p, false);
            }
        }
    }

    void loop() {
        alignas(inotify_event) char buf[64 * 1024];
        pollfd fds[2] = {{efd_, POLLIN, 0}, {ifd_, POLLIN, 0}};
        for (;;) {
            int n = ::poll(fds, 2, -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                std::fprintf(stderr, "quillbox watcher: poll failed: %s; watching ends\n",
                             std::strerror(errno));
                return;
            }
            if (fds[0].revents) return;
            if (!(fds[1].revents & POLLIN)) continue;
            for (;;) {
                ssize_t len = ::read(ifd_, buf, sizeof buf);
                if (len < 0) {
                    if (errno == EINTR) continue;
                    if (errno == EAGAIN) break;
                    std::fprintf(stderr, "quillbox watcher: reading inotify events failed: %s; "
                                 "watching ends\n", std::strerror(errno));
                    return;
                }
                if (len == 0) break;
                for (char* p = buf; p < buf + len;) {
                    auto* ev = reinterpret_cast<inotify_event*>(p);
                    handle(*ev);
                    p += sizeof(inotify_event) + ev->len;
                }
            }
        }
    }

    fs::path root_;
    Sink sink_;
    FileWatcher::FolderFilter skip_;
    std::atomic<std::size_t> watch_count_{0};
    int ifd_ = -1;
    int efd_ = -1;
    int root_wd_ = -1;
    bool warned_limit_ = false;
    std::unordered_map<int, fs::path> wds_;  // observer thread only (and start/stop around it)
    std::thread thread_;
};

}  // namespace

struct FileWatcher::Impl {
    fs::path project_root;
    std::shared_ptr<FileWrites> file_writes = std::make_shared<FileWrites>();
    std::mutex reindex_lock;
    std::map<std::string, std::shared_ptr<Signal>> reindexing;
    std::unique_ptr<MdFileHandler> handler;
    std::unique_ptr<InotifyObserver> observer;
    std::mutex run_lock;  // serialises start and stop
};

FileWatcher::FileWatcher(fs::path project_root, ChangeCallback on_change, double debounce_seconds,
                         FolderFilter skip_folder)
    : impl_(std::make_unique<Impl>()) {
    std::error_code ec;
    auto st = fs::status(project_root, ec);
    if (!fs::exists(st))
        throw fs::filesystem_error("file watcher: project root does not exist", project_root,
                                   std::make_error_code(std::errc::no_such_file_or_directory));
    if (!fs::is_directory(st))
        throw fs::filesystem_error("file watcher: project root is not a directory", project_root,
                                   std::make_error_code(std::errc::not_a_directory));
    if (::access(project_root.c_str(), R_OK | X_OK) != 0)
        throw fs::filesystem_error("file watcher: project root cannot be read", project_root,
                                   std::error_code(errno, std::generic_category()));
    impl_->project_root = std::move(project_root);
    impl_->handler = std::make_unique<MdFileHandler>(std::move(on_change), debounce_seconds,
                                                      impl_->file_writes);
    MdFileHandler* h = impl_->handler.get();
    impl_->observer = std::make_unique<InotifyObserver>(
        impl_->project_root, [h](const FileEvent& ev) { h->dispatch(ev); }, std::move(skip_folder));
}

FileWatcher::~FileWatcher() {
    stop();
    impl_->observer.reset();
    impl_->handler.reset();  // waits for a callback still running on a timer thread
}

void FileWatcher::start() {
    std::lock_guard<std::mutex> lk(impl_->run_lock);
    impl_->observer->start();
}

void FileWatcher::stop() {
    std::lock_guard<std::mutex> lk(impl_->run_lock);
    impl_->observer->stop();
    impl_->handler->stop();
}

bool FileWatcher::running() const {
    std::lock_guard<std::mutex> lk(impl_->run_lock);
    return impl_->observer->running();
}

std::size_t FileWatcher::watch_count() const {
    std::lock_guard<std::mutex> lk(impl_->run_lock);
    return impl_->observer->watch_count();
}

const fs::path& FileWatcher::project_root() const { return impl_->project_root; }

FileWrites& FileWatcher::file_writes() { return *impl_->file_writes; }

void FileWatcher::mark_write_start(const fs::path& path) { impl_->file_writes->mark_write_start(path); }

void FileWatcher::mark_write_done(const fs::path& path) { impl_->file_writes->mark_write_done(path); }

bool FileWatcher::wait_for_write_quiet(const fs::path& path, double timeout) {
    return impl_->file_writes->wait_for_write_quiet(path, timeout);
}

void FileWatcher::mark_reindex_start(const fs::path& file_path) {
    std::string key = watcher_path_key(file_path);
    std::lock_guard<std::mutex> lk(impl_->reindex_lock);
    // Replaced without being set: whoever waited on the earlier pass waits out its time-out.
    impl_->reindexing[key] = std::make_shared<Signal>();
}

void FileWatcher::mark_reindex_done(const fs::path& file_path) {
    std::string key = watcher_path_key(file_path);
    std::lock_guard<std::mutex> lk(impl_->reindex_lock);
    auto it = impl_->reindexing.find(key);
    if (it == impl_->reindexing.end()) return;
    it->second->set();
    impl_->reindexing.erase(it);
}

bool FileWatcher::wait_for_reindex(const fs::path& file_path, double timeout) {
    std::shared_ptr<Signal> sig;
    try {
        std::string key = watcher_path_key(file_path);
        std::lock_guard<std::mutex> lk(impl_->reindex_lock);
        auto it = impl_->reindexing.find(key);
        if (it == impl_->reindexing.end()) return true;
        sig = it->second;
    } catch (...) {
        return true;  // waits never fail
    }
    return sig->wait(timeout);
}

}  // namespace quillbox
