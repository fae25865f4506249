// The debounced handler, fed with events directly (no inotify).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <stdexcept>
#include <thread>

#include "quillbox/watcher.h"
#include "watcher/recorder.h"

namespace fs = std::filesystem;
using namespace quillbox;
using namespace std::chrono_literals;
using K = FileEvent::Kind;

TEST(MDFileHandler, KeepsMarkdownFilesOnlyAndGivesOneCallbackPerBurst) {
    auto tracker = std::make_shared<FileWrites>();
    Recorder rec;
    std::atomic<bool> quiet_in_callback{false};
    MdFileHandler h(
        [&](const fs::path& p) {
            quiet_in_callback = tracker->wait_for_write_quiet(p, 0.0);
            rec(p);
        },
        0.3, tracker);
    for (auto [k, p, dir] : {std::tuple{K::modified, "/p/notes.txt", false}, {K::modified, "/p/NOTES.MD", false},
                             {K::created, "/p/a.markdown", false}, {K::created, "/p/x.md", true},
                             {K::deleted, "/p/c.md", false}})
        h.dispatch(FileEvent{k, p, dir});
    // A burst over two spellings of one file: one callback, with the last path as reported.
    for (int i = 0; i < 10; ++i) {
        h.dispatch(FileEvent{K::modified, "/p/dir/../a.md", false});
        std::this_thread::sleep_for(5ms);
    }
    h.dispatch(FileEvent{K::created, "/p/a.md", false});
    EXPECT_FALSE(tracker->wait_for_write_quiet("/p/a.md", 0.0));
    ASSERT_TRUE(rec.wait_for(2));
    std::this_thread::sleep_for(500ms);
    auto got = rec.paths();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<fs::path>{"/p/a.md", "/p/c.md"}));
    EXPECT_TRUE(quiet_in_callback);  // the mark is cleared before the callback runs
}

TEST(MDFileHandler, AFailingCallbackIsReportedAndLaterEventsStillFire) {
    Recorder rec;
    std::atomic<int> calls{0};
    MdFileHandler h(
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
    EXPECT_NE(err.find("/p/a.md: disk on fire"), std::string::npos) << err;
    h._debounce("/p/a.md");
    EXPECT_TRUE(rec.wait_for(1));
}

TEST(MDFileHandler, DestructionWaitsForARunningCallback) {
    std::atomic<bool> started{false}, finished{false};
    {
        MdFileHandler h(
            [&](const fs::path&) {
                started = true;
                std::this_thread::sleep_for(200ms);
                finished = true;
            },
            0.0);
        h._debounce("/p/a.md");
        while (!started) std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(finished);
    EXPECT_THROW(MdFileHandler([](const fs::path&) {}, std::nan("")), std::invalid_argument);
}
