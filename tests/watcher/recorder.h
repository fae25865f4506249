#pragma once
// Collects change callbacks from timer threads and lets a test wait for them.
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <vector>

class Recorder {
public:
    void operator()(const std::filesystem::path& p) {
        std::lock_guard<std::mutex> lk(mu_);
        paths_.push_back(p);
        cv_.notify_all();
    }
    // True when at least `n` calls arrived within `seconds`.
    bool wait_for(std::size_t n, double seconds = 10.0) {
        std::unique_lock<std::mutex> lk(mu_);
        return cv_.wait_for(lk, std::chrono::duration<double>(seconds), [&] { return paths_.size() >= n; });
    }
    std::vector<std::filesystem::path> paths() {
        std::lock_guard<std::mutex> lk(mu_);
        return paths_;
    }
    std::size_t count() {
        std::lock_guard<std::mutex> lk(mu_);
        return paths_.size();
    }
    std::size_t count_of(const std::filesystem::path& p) {
        std::lock_guard<std::mutex> lk(mu_);
        std::size_t n = 0;
        for (auto& q : paths_) n += (q == p);
        return n;
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::filesystem::path> paths_;
};
