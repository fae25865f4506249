#pragma once
// File watcher: inotify observer over a project tree, per-file trailing-edge debounce, and the
// per-file write and re-index marks that other components wait on.

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace quillbox {

// A one-shot waitable flag. Setting wakes every waiter; it is never cleared.
class Signal {
public:
    void set();
    bool is_set() const;
    // True when set, false when `timeout_seconds` ran out first.
    bool wait(double timeout_seconds) const;

private:
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    bool set_ = false;
};

// Absolute, normalised, symbolic links resolved as far as the path exists.
std::string watcher_path_key(const std::filesystem::path& path);

class WriteTracker {
public:
    void mark_write_start(const std::filesystem::path& path);
    void mark_write_done(const std::filesystem::path& path);
    bool wait_for_write_quiet(const std::filesystem::path& path, double timeout = 3.0);

private:
    std::mutex _lock;
    std::map<std::string, std::shared_ptr<Signal>> _writing;
};

// A file-system event as the observer delivers it.
struct FileEvent {
    enum class Kind { created, modified, deleted };
    Kind kind;
    std::filesystem::path src_path;
    bool is_directory = false;
};

class FileWatcher {
public:
    using ChangeCallback = std::function<void(const std::filesystem::path&)>;

    // Fails (filesystem_error) when `project_root` does not exist or is not a directory.
    FileWatcher(std::filesystem::path project_root, ChangeCallback on_change,
                double debounce_seconds = 0.5);
    ~FileWatcher();  // stops
    FileWatcher(const FileWatcher&) = delete;
    FileWatcher& operator=(const FileWatcher&) = delete;

    void start();
    void stop();  // idempotent

    const std::filesystem::path& project_root() const;
    WriteTracker& write_tracker();

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
