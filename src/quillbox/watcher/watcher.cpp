// Signals and the per-file writes (FileWrites). The inotify observer and FileWatcher live in
// observer.cpp, the debounced handler in handler.cpp.
#include "quillbox/watcher.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <system_error>

#include "quillbox/detail/regular_file.h"
#include "quillbox/detail/sha256.h"

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

void FileWrites::mark_write_start(const fs::path& path) {
    std::string key = watcher_path_key(path);
    std::lock_guard<std::mutex> lk(lock_);
    auto& slot = writing_[key];
    if (slot) slot->set();  // whoever waited on the earlier mark is released
    slot = std::make_shared<Signal>();
}

void FileWrites::mark_write_done(const fs::path& path) {
    std::string key = watcher_path_key(path);
    std::lock_guard<std::mutex> lk(lock_);
    auto it = writing_.find(key);
    if (it == writing_.end()) return;
    it->second->set();
    writing_.erase(it);
}

bool FileWrites::wait_for_write_quiet(const fs::path& path, double timeout) {
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

void FileWrites::own_write_start(const fs::path& path) {
    std::string key = watcher_path_key(path);
    std::lock_guard<std::mutex> lk(lock_);
    Own& own = own_[key];
    if (own.in_place) own.in_place->set();  // an earlier write that never said it was done
    own.in_place = std::make_shared<Signal>();
    own.written.reset();
}

void FileWrites::own_write_done(const fs::path& path, std::optional<WrittenFile> written) {
    std::string key = watcher_path_key(path);
    std::lock_guard<std::mutex> lk(lock_);
    auto it = own_.find(key);
    if (it == own_.end()) return;
    if (written) {
        it->second.written = std::move(written);
        it->second.in_place->set();
    } else {
        it->second.in_place->set();
        own_.erase(it);
    }
}

std::optional<WrittenFile> FileWrites::own_write(const fs::path& path) {
    try {
        std::string key = watcher_path_key(path);
        std::lock_guard<std::mutex> lk(lock_);
        auto it = own_.find(key);
        if (it == own_.end() || !it->second.in_place->is_set()) return std::nullopt;
        return it->second.written;
    } catch (...) {
        return std::nullopt;
    }
}

void FileWrites::forget_own_write(const fs::path& path) {
    std::string key = watcher_path_key(path);
    std::lock_guard<std::mutex> lk(lock_);
    own_.erase(key);
}

namespace {

// The file's figures and the SHA-256 of its bytes, read through one descriptor; nothing when it
// cannot be read.
std::optional<WrittenFile> on_disk(const fs::path& path, const WrittenFile& expected) {
    struct stat st {};
    detail::FileHandle fd = detail::open_regular_for_reading(path, &st);
    WrittenFile now;
    now.inode = static_cast<std::int64_t>(st.st_ino);
    now.size = static_cast<std::int64_t>(st.st_size);
    now.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    // Other figures: no need to read the bytes.
    if (now.inode != expected.inode || now.size != expected.size || now.mtime_ns != expected.mtime_ns) return now;
    detail::Sha256 hash;
    std::string buffer(1 << 16, '\0');
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        hash.update(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
    }
    now.sha256 = hash.hex();
    return now;
}

}  // namespace

bool FileWrites::is_own_write(const fs::path& path) {
    std::string key;
    std::shared_ptr<Signal> in_place;
    try {
        key = watcher_path_key(path);
        std::lock_guard<std::mutex> lk(lock_);
        auto it = own_.find(key);
        if (it == own_.end()) return false;
        in_place = it->second.in_place;
    } catch (...) {
        return false;
    }
    // A write of ours under way: its event may come before it says what it left.
    if (!in_place->wait(OWN_WRITE_WAIT)) return false;
    std::optional<WrittenFile> expected;
    {
        std::lock_guard<std::mutex> lk(lock_);
        auto it = own_.find(key);
        if (it == own_.end() || it->second.in_place != in_place) return false;
        expected = it->second.written;
    }
    if (!expected) return false;
    std::optional<WrittenFile> now;
    try {
        now = on_disk(path, *expected);
    } catch (...) {
    }
    if (now && *now == *expected) return true;
    // Changed, gone or unreadable: someone else's doing. The record goes, unless a newer write
    // of ours replaced it meanwhile.
    std::lock_guard<std::mutex> lk(lock_);
    auto it = own_.find(key);
    if (it != own_.end() && it->second.in_place == in_place) own_.erase(it);
    return false;
}

}  // namespace quillbox
