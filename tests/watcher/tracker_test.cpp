// Signals, path keys and the write tracker.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "quillbox/watcher.h"
#include "watcher/temp_dir.h"

namespace fs = std::filesystem;
using namespace quillbox;
using namespace std::chrono_literals;

TEST(Signal, WaitReportsSetOrTimeOut) {
    Signal s;
    EXPECT_FALSE(s.is_set());
    EXPECT_FALSE(s.wait(0.02));
    EXPECT_FALSE(s.wait(0.0));
    EXPECT_FALSE(s.wait(-1.0));
    std::thread t([&] {
        std::this_thread::sleep_for(20ms);
        s.set();
    });
    EXPECT_TRUE(s.wait(10.0));
    t.join();
    EXPECT_TRUE(s.is_set());
    EXPECT_TRUE(s.wait(0.0));
    EXPECT_TRUE(s.wait(std::numeric_limits<double>::infinity()));
}

TEST(PathKey, SpellingsOfOneFileShareAKey) {
    TempDir dir;
    fs::path file = dir.path() / "a.md";
    std::ofstream(file) << "# A\n";
    fs::create_directory_symlink(dir.path(), dir.path() / "link");

    std::string key = watcher_path_key(file);
    EXPECT_EQ(key, fs::canonical(file).string());
    EXPECT_EQ(watcher_path_key(dir.path() / "link" / "a.md"), key);
    EXPECT_EQ(watcher_path_key(dir.path() / "sub" / ".." / "a.md"), key);
    {
        CurrentDir cd(dir.path());
        EXPECT_EQ(watcher_path_key("a.md"), key);
        EXPECT_EQ(watcher_path_key("./link/a.md"), key);
    }
    // A missing tail stays as written under the resolved existing part.
    EXPECT_EQ(watcher_path_key(dir.path() / "link" / "gone.md"),
              (fs::canonical(dir.path()) / "gone.md").string());
}

TEST(WriteTracker, UnknownPathIsQuietAndDoneIsHarmless) {
    WriteTracker t;
    t.mark_write_done("/nowhere/x.md");
    EXPECT_TRUE(t.wait_for_write_quiet("/nowhere/x.md", 0.0));
}

TEST(WriteTracker, MarkLifecycle) {
    TempDir dir;
    fs::path file = dir.path() / "a.md";
    WriteTracker t;

    t.mark_write_start(file);
    EXPECT_FALSE(t.wait_for_write_quiet(file, 0.02));

    // A waiter on the first mark is released (true) by the next start; the new mark holds.
    std::atomic<int> result{-1};
    std::thread waiter([&] { result = t.wait_for_write_quiet(file, 10.0) ? 1 : 0; });
    std::this_thread::sleep_for(50ms);
    t.mark_write_start(file);
    waiter.join();
    EXPECT_EQ(result.load(), 1);
    EXPECT_FALSE(t.wait_for_write_quiet(file, 0.02));

    // Done releases waiters on the current mark and leaves the file quiet.
    std::thread waiter2([&] { result = t.wait_for_write_quiet(file, 10.0) ? 1 : 0; });
    std::this_thread::sleep_for(50ms);
    t.mark_write_done(file);
    waiter2.join();
    EXPECT_EQ(result.load(), 1);
    EXPECT_TRUE(t.wait_for_write_quiet(file, 0.0));
}

TEST(WriteTracker, RelativeAndLinkedSpellingsSeeTheSameMark) {
    TempDir dir;
    fs::path file = dir.path() / "a.md";
    std::ofstream(file) << "x\n";
    fs::create_symlink(file, dir.path() / "alias.md");
    WriteTracker t;
    t.mark_write_start(dir.path() / "alias.md");
    EXPECT_FALSE(t.wait_for_write_quiet(file, 0.0));
    {
        CurrentDir cd(dir.path());
        EXPECT_FALSE(t.wait_for_write_quiet("a.md", 0.0));
        t.mark_write_done("a.md");
    }
    EXPECT_TRUE(t.wait_for_write_quiet(file, 0.0));
}
