// The watcher's debounce under load, with the default 0.5 s window:
//  - 1,000 modifications of one file, each well within 0.1 s of the previous: exactly one
//    callback, about one window after the last write;
//  - 200 files changed at once: 200 callbacks, each about one window after its own last write.
// Counters: callbacks, and the delay past the window (ms) from a file's last write to its
// callback (min / median / max over the files).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common.h"
#include "quillbox/watcher.h"

namespace fs = std::filesystem;
using namespace quillbox;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kWindow = 0.5;

struct Calls {
    std::mutex mu;
    std::condition_variable cv;
    std::multimap<fs::path, Clock::time_point> at;

    void operator()(const fs::path& p) {
        auto now = Clock::now();
        std::lock_guard<std::mutex> lk(mu);
        at.emplace(p, now);
        cv.notify_all();
    }
    bool wait_for(std::size_t n, double seconds) {
        std::unique_lock<std::mutex> lk(mu);
        return cv.wait_for(lk, std::chrono::duration<double>(seconds), [&] { return at.size() >= n; });
    }
};

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void touch(const fs::path& p, int i) {
    std::ofstream out(p, std::ios::app);
    out << "line " << i << "\n";
}

void BM_OneFileThousandWrites(benchmark::State& state) {
    const auto gap = std::chrono::microseconds(state.range(0));
    double callbacks = 0, delay = 0;
    for (auto _ : state) {
        qbbench::TempDir dir("qb-bench-watcher");
        Calls calls;
        FileWatcher w(dir.path, [&](const fs::path& p) { calls(p); }, kWindow);
        auto scope = w.scoped();
        fs::path f = dir.path / "a.md";
        Clock::time_point last;
        for (int i = 0; i < 1000; ++i) {
            touch(f, i);
            last = Clock::now();
            if (gap.count()) std::this_thread::sleep_for(gap);
        }
        calls.wait_for(1, 10.0);
        // Anything more would show within a few windows.
        std::this_thread::sleep_for(std::chrono::duration<double>(3 * kWindow));
        std::lock_guard<std::mutex> lk(calls.mu);
        callbacks = static_cast<double>(calls.at.size());
        delay = calls.at.empty() ? -1 : ms(calls.at.begin()->second - last) - kWindow * 1e3;
    }
    state.counters["callbacks"] = callbacks;
    state.counters["past_window_ms"] = delay;
}

void BM_TwoHundredFilesAtOnce(benchmark::State& state) {
    double callbacks = 0, lo = 0, med = 0, hi = 0;
    std::vector<double> d;  // every file of every iteration
    for (auto _ : state) {
        qbbench::TempDir dir("qb-bench-watcher");
        std::vector<fs::path> files;
        for (int i = 0; i < 200; ++i) {
            files.push_back(dir.path / "f");
            files.back() += std::to_string(i) + ".md";  // not "f" + …: a GCC 12 -Wrestrict false positive
            touch(files.back(), 0);
        }
        Calls calls;
        FileWatcher w(dir.path, [&](const fs::path& p) { calls(p); }, kWindow);
        auto scope = w.scoped();
        std::map<fs::path, Clock::time_point> written;
        for (auto& f : files) {
            touch(f, 1);
            written[f] = Clock::now();
        }
        calls.wait_for(files.size(), 10.0);
        std::this_thread::sleep_for(std::chrono::duration<double>(3 * kWindow));
        std::lock_guard<std::mutex> lk(calls.mu);
        callbacks += static_cast<double>(calls.at.size());
        for (auto& [p, t] : calls.at) d.push_back(ms(t - written[p]) - kWindow * 1e3);
    }
    std::sort(d.begin(), d.end());
    if (!d.empty()) {
        lo = d.front();
        med = d[d.size() / 2];
        hi = d.back();
    }
    state.counters["callbacks_per_run"] = callbacks / static_cast<double>(state.iterations());
    state.counters["past_window_min_ms"] = lo;
    state.counters["past_window_med_ms"] = med;
    state.counters["past_window_max_ms"] = hi;
}

}  // namespace

// Gap between writes in microseconds: back to back, and 2 ms.
BENCHMARK(BM_OneFileThousandWrites)->Arg(0)->Arg(2000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TwoHundredFilesAtOnce)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
