#pragma once
// Collects change callbacks from timer threads; tests wait for them.
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <vector>

struct Recorder {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::filesystem::path> calls;

    void operator()(const std::filesystem::path& p) {
        std::lock_guard<std::mutex> lk(mu);
        calls.push_back(p);
        cv.notify_all();
    }
    bool wait_for(std::size_t n, double seconds = 10.0) {
        std::unique_lock<std::mutex> lk(mu);
        return cv.wait_for(lk, std::chrono::duration<double>(seconds), [&] { return calls.size() >= n; });
    }
    std::vector<std::filesystem::path> paths() {
        std::lock_guard<std::mutex> lk(mu);
        return calls;
    }
};
