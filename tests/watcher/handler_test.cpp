// The debounced handler, driven directly with events (no inotify).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "quillbox/watcher.h"
#include "watcher/recorder.h"

namespace fs = std::filesystem;
using namespace quillbox;
using namespace std::chrono_literals;

namespace {

FileEvent ev(FileEvent::Kind k, fs::path p, bool dir = false) { return FileEvent{k, std::move(p), dir}; }

}  // namespace

TEST(MDFileHandler, KeepsOnlyMarkdownFilesAndDebouncesEachFile) {
    Recorder rec;
    _MDFileHandler h([&](const fs::path& p) { rec(p); }, 0.1);
    using K = FileEvent::Kind;
    h.dispatch(ev(K::modified, "/p/notes.txt"));
    h.dispatch(ev(K::modified, "/p/NOTES.MD"));
    h.dispatch(ev(K::modified, "/p/a.markdown"));
    h.dispatch(ev(K::created, "/p/x.md", /*dir=*/true));
    h.dispatch(ev(K::created, "/p/a.md"));
    h.dispatch(ev(K::modified, "/p/b.md"));
    h.dispatch(ev(K::deleted, "/p/c.md"));
    ASSERT_TRUE(rec.wait_for(3));
    std::this_thread::sleep_for(300ms);
    auto got = rec.paths();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<fs::path>{"/p/a.md", "/p/b.md", "/p/c.md"}));
}

TEST(MDFileHandler, BurstGivesOneCallbackWithTheLastPathAfterTheMarkIsCleared) {
    auto tracker = std::make_shared<WriteTracker>();
    Recorder rec;
    std::atomic<bool> quiet_in_callback{false};
    _MDFileHandler h(
        [&](const fs::path& p) {
            quiet_in_callback = tracker->wait_for_write_quiet(p, 0.0);
            rec(p);
        },
        0.3, tracker);

    // Two spellings of one file share a timer; the callback gets the last one as reported.
    for (int i = 0; i < 10; ++i) {
        h._debounce("/p/dir/../a.md");
        std::this_thread::sleep_for(5ms);
    }
    h._debounce("/p/a.md");
    EXPECT_FALSE(tracker->wait_for_write_quiet("/p/a.md", 0.0));
    ASSERT_TRUE(rec.wait_for(1));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(rec.paths(), std::vector<fs::path>{"/p/a.md"});
    EXPECT_TRUE(quiet_in_callback);
    EXPECT_TRUE(tracker->wait_for_write_quiet("/p/a.md", 0.0));
}

TEST(MDFileHandler, WriteQuietWaitEndsAtTheNextEventOfABurst) {
    auto tracker = std::make_shared<WriteTracker>();
    _MDFileHandler h([](const fs::path&) {}, 5.0, tracker);
    h._debounce("/p/a.md");
    std::atomic<int> result{-1};
    std::thread waiter([&] { result = tracker->wait_for_write_quiet("/p/a.md", 10.0); });
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(result.load(), -1);
    h._debounce("/p/a.md");
    waiter.join();
    EXPECT_EQ(result.load(), 1);
    // Stopping cancels the timer; its mark stays, so a later wait runs out.
    h.stop();
    EXPECT_FALSE(tracker->wait_for_write_quiet("/p/a.md", 0.05));
}

TEST(MDFileHandler, AFailingCallbackIsReportedAndLaterEventsStillFire) {
    Recorder rec;
    std::atomic<int> calls{0};
    _MDFileHandler h(
        [&](const fs::path& p) {
            if (calls++ == 0) throw std::runtime_error("disk on fire");
            rec(p);
        },
        0.05);
    testing::internal::CaptureStderr();
    h._debounce("/p/a.md");
    while (calls.load() == 0) std::this_thread::sleep_for(5ms);
    std::this_thread::sleep_for(50ms);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("/p/a.md"), std::string::npos) << err;
    EXPECT_NE(err.find("disk on fire"), std::string::npos) << err;
    h._debounce("/p/a.md");
    EXPECT_TRUE(rec.wait_for(1));
}

TEST(MDFileHandler, DestructionCancelsPendingTimersAndWaitsForARunningCallback) {
    std::atomic<int> calls{0};
    std::atomic<bool> finished{false};
    {
        _MDFileHandler h([&](const fs::path&) { ++calls; }, 0.2);
        h._debounce("/p/a.md");
    }
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(calls.load(), 0);

    {
        _MDFileHandler h(
            [&](const fs::path&) {
                ++calls;
                std::this_thread::sleep_for(200ms);
                finished = true;
            },
            0.0);
        h._debounce("/p/a.md");
        while (calls.load() == 0) std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(finished);
}

TEST(MDFileHandler, RejectsABadWindow) {
    EXPECT_THROW(_MDFileHandler([](const fs::path&) {}, -1.0), std::invalid_argument);
    EXPECT_THROW(_MDFileHandler([](const fs::path&) {}, std::nan("")), std::invalid_argument);
}
