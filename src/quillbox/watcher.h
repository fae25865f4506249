#pragma once
// File watcher: inotify observer over a project tree, per-file trailing-edge debounce, and the
// per-file write and re-index marks that other components wait on.

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "quillbox/detail/file_key.h"

namespace quillbox {

// A one-shot waitable flag. Setting wakes every waiter; it is never cleared.
class Signal {
public:
    void set();
    bool is_set() const;
    // True when set, false when `timeout_seconds` ran out first. Zero, negative or NaN only
    // looks; infinity waits for good.
    bool wait(double timeout_seconds) const;

private:
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    bool set_ = false;
};

// The file key (see detail/file_key.h) as the watcher records marks under it.
inline std::string watcher_path_key(const std::filesystem::path& path) { return detail::file_key(path).string(); }

// What a write of this process left on disk: the file's identity, size and modification time
// right after it was put in place, and the SHA-256 (hex) of the bytes written.
struct WrittenFile {
    std::int64_t inode = 0;
    std::int64_t size = -1;
    std::int64_t mtime_ns = -1;
    std::string sha256;

    bool operator==(const WrittenFile&) const = default;
};

// Per file, the writes the watcher and the safety engine must know of: a mark while a burst of
// writes is under way (anyone's: the handler marks it from the first event to the firing), and
// what this process's own last write left.
class FileWrites {
public:
    void mark_write_start(const std::filesystem::path& path);
    void mark_write_done(const std::filesystem::path& path);
    bool wait_for_write_quiet(const std::filesystem::path& path, double timeout = 3.0);

    // This process's own writes. The events a write of ours causes are known: the handler lets
    // them pass without a write mark or a re-index, so that nobody waits for them.
    // own_write_start: a write is about to put the file in place; until own_write_done the
    // handler holds its judgement of the file's events back (at most OWN_WRITE_WAIT seconds).
    void own_write_start(const std::filesystem::path& path);
    // The write is in place and left `written`; nothing when it failed (then the file's events
    // count as anyone's).
    void own_write_done(const std::filesystem::path& path, std::optional<WrittenFile> written);
    // Whether the file holds right now exactly what this process's last write left (same
    // identity, size, modification time and bytes). False for a file gone or changed, and the
    // record is then forgotten: the change was someone else's.
    bool is_own_write(const std::filesystem::path& path);
    // The last own write of the file while no other change has been seen since.
    std::optional<WrittenFile> own_write(const std::filesystem::path& path);
    void forget_own_write(const std::filesystem::path& path);

    static constexpr double OWN_WRITE_WAIT = 3.0;

private:
    struct Own {
        std::shared_ptr<Signal> in_place;  // set by own_write_done
        std::optional<WrittenFile> written;
    };
    std::mutex lock_;
    std::map<std::string, std::shared_ptr<Signal>> writing_;
    std::map<std::string, Own> own_;
};

// A file-system event as the observer delivers it.
struct FileEvent {
    enum class Kind { created, modified, deleted };
    Kind kind;
    std::filesystem::path src_path;
    bool is_directory = false;
};

// Receives file-system events, keeps created/modified/deleted events of files whose path ends
// in ".md" (case-sensitive) and debounces them per file (trailing edge): a burst of events for
// one file, each less than the window after the previous, gives one call of the callback on its
// own timer thread, one window after the last event, with that event's path as reported. From
// the first event of a burst until the firing the file carries a write mark (when a tracker is
// given); the firing clears it and then calls the callback. An exception thrown by the callback
// is reported on stderr and ends only that firing.
class MdFileHandler {
public:
    using Callback = std::function<void(const std::filesystem::path&)>;

    // Throws std::invalid_argument for a window outside 0 to 86400 seconds (or NaN).
    explicit MdFileHandler(Callback callback, double debounce_seconds = 0.5,
                            std::shared_ptr<FileWrites> file_writes = nullptr);
    // Cancels pending timers and waits for firings that already began (unless called from one),
    // so no timer thread ever runs the callback after the handler is gone.
    ~MdFileHandler();
    MdFileHandler(const MdFileHandler&) = delete;
    MdFileHandler& operator=(const MdFileHandler&) = delete;

    void on_created(const FileEvent& event);
    void on_modified(const FileEvent& event);
    void on_deleted(const FileEvent& event);
    void dispatch(const FileEvent& event);  // to the matching on_* above

    void _debounce(const std::filesystem::path& path);
    // Cancels every pending timer and forgets them. A firing that already began is not waited for.
    void stop();

    double debounce_seconds() const { return debounce_seconds_; }

    struct State;

private:
    double debounce_seconds_;
    std::shared_ptr<State> state_;
};

// Watches a directory tree (inotify, recursively; directories that appear later are watched
// too, and files already inside them are reported as created) and feeds an MdFileHandler.
// A file renamed or moved onto a path is reported as modified there, one moved away as
// deleted. Also keeps the per-file re-index marks.
class FileWatcher {
public:
    using ChangeCallback = std::function<void(const std::filesystem::path&)>;
    // True for a folder below the root that gets no watch (nor do the folders inside it).
    using FolderFilter = std::function<bool(const std::filesystem::path&)>;

    // Starts on construction and stops when it goes out of scope, also by an exception.
    class Scope {
    public:
        explicit Scope(FileWatcher& watcher) : watcher_(watcher) { watcher_.start(); }
        ~Scope() { watcher_.stop(); }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        FileWatcher& watcher() const { return watcher_; }
        FileWatcher* operator->() const { return &watcher_; }

    private:
        FileWatcher& watcher_;
    };
    Scope scoped() { return Scope(*this); }

    // Fails (filesystem_error naming the root) when `project_root` does not exist, is not a
    // directory or cannot be read; std::invalid_argument for a bad window (see MdFileHandler).
    FileWatcher(std::filesystem::path project_root, ChangeCallback on_change,
                double debounce_seconds = 0.5, FolderFilter skip_folder = nullptr);
    ~FileWatcher();  // stops, then waits for a callback that is still running
    FileWatcher(const FileWatcher&) = delete;
    FileWatcher& operator=(const FileWatcher&) = delete;

    // Starts the observer thread. Throws filesystem_error when the root cannot be watched (it
    // vanished, no permission, no inotify instance). No-op while running; may restart after stop.
    void start();
    // Stops and joins the observer, then cancels pending timers. Idempotent. A callback that
    // already began may still be running when it returns.
    void stop();
    bool running() const;
    // How many folders hold a watch now (the root included); 0 when not running.
    std::size_t watch_count() const;

    const std::filesystem::path& project_root() const;
    FileWrites& file_writes();

    void mark_write_start(const std::filesystem::path& path);
    void mark_write_done(const std::filesystem::path& path);
    bool wait_for_write_quiet(const std::filesystem::path& path, double timeout = 3.0);

    void mark_reindex_start(const std::filesystem::path& file_path);
    void mark_reindex_done(const std::filesystem::path& file_path);
    bool wait_for_reindex(const std::filesystem::path& file_path, double timeout = 5.0);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quillbox
