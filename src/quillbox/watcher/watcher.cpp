// Signals and the write tracker. The inotify observer and FileWatcher live in
// observer.cpp, the debounced handler in handler.cpp.
#include "quillbox/watcher.h"

#include <chrono>
#include <cmath>
#include <system_error>

namespace quillbox {

namespace fs = std::filesystem;

void Signal::set() {
    std::lock_guard<std::mutex> lk(mu_);
    set_ = true;
    cv_.notify_all();
}

bool Signal::is_set() const {
    std::lock_guard<std::mutex> lk(mu_);
    return set_;
}

bool Signal::wait(double timeout_seconds) const {
    std::unique_lock<std::mutex> lk(mu_);
    if (set_) return true;
    // NaN and negative time-outs only look; an infinite or absurdly long one waits for good
    // (converting it to a time point would overflow).
    if (!(timeout_seconds > 0.0)) return set_;
    if (!std::isfinite(timeout_seconds) || timeout_seconds > 1e9) {
        cv_.wait(lk, [this] { return set_; });
        return true;
    }
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(timeout_seconds));
    return cv_.wait_until(lk, deadline, [this] { return set_; });
}

void WriteTracker::mark_write_start(const fs::path& path) {
    std::string key = watcher_path_key(path);
    std::lock_guard<std::mutex> lk(lock_);
    auto& slot = writing_[key];
    if (slot) slot->set();  // whoever waited on the earlier mark is released
    slot = std::make_shared<Signal>();
}

void WriteTracker::mark_write_done(const fs::path& path) {
    std::string key = watcher_path_key(path);
    std::lock_guard<std::mutex> lk(lock_);
    auto it = writing_.find(key);
    if (it == writing_.end()) return;
    it->second->set();
    writing_.erase(it);
}

bool WriteTracker::wait_for_write_quiet(const fs::path& path, double timeout) {
    std::shared_ptr<Signal> sig;
    try {
        std::string key = watcher_path_key(path);
        std::lock_guard<std::mutex> lk(lock_);
        auto it = writing_.find(key);
        if (it == writing_.end()) return true;
        sig = it->second;
    } catch (...) {
        return true;  // waits never fail
    }
    return sig->wait(timeout);
}

}  // namespace quillbox
