// FileWatcher over a real directory tree (inotify), and its re-index marks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "quillbox/watcher.h"
#include "watcher/recorder.h"
#include "watcher/temp_dir.h"

namespace fs = std::filesystem;
using namespace quillbox;
using namespace std::chrono_literals;

namespace {

constexpr double kWindow = 0.15;

void write(const fs::path& p, const std::string& text) { std::ofstream(p) << text; }

// Lets the watcher settle: nothing more arrives for a few windows.
void settle() { std::this_thread::sleep_for(std::chrono::duration<double>(4 * kWindow)); }

struct Watched {
    TempDir dir;
    Recorder rec;
    FileWatcher watcher{dir.path(), [this](const fs::path& p) { rec(p); }, kWindow};
    Watched() { watcher.start(); }
};

}  // namespace

TEST(FileWatcher, RootMustBeAReadableDirectory) {
    TempDir dir;
    auto cb = [](const fs::path&) {};
    try {
        FileWatcher w(dir.path() / "missing", cb);
        FAIL() << "no error";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
        EXPECT_EQ(e.path1(), dir.path() / "missing");
        EXPECT_NE(std::string(e.what()).find("missing"), std::string::npos);
    }
    write(dir.path() / "f.md", "x");
    try {
        FileWatcher w(dir.path() / "f.md", cb);
        FAIL() << "no error";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code(), std::errc::not_a_directory);
    }
    EXPECT_THROW(FileWatcher(dir.path(), cb, -0.5), std::invalid_argument);
}

TEST(FileWatcher, WritesCreatesAndDeletesGiveOneCallbackPerFile) {
    Watched w;
    fs::path a = w.dir.path() / "a.md", b = w.dir.path() / "b.md";
    // A save written in several pieces and re-opened a few times is one burst.
    for (int i = 0; i < 5; ++i) {
        std::ofstream out(a, std::ios::app);
        out << "line " << i << "\n" << std::flush;
        out << "more\n";
    }
    write(b, "# B\n");
    write(w.dir.path() / "notes.txt", "ignored");
    write(w.dir.path() / "UPPER.MD", "ignored");
    ASSERT_TRUE(w.rec.wait_for(2));
    settle();
    EXPECT_EQ(w.rec.count(), 2u);
    EXPECT_EQ(w.rec.count_of(a), 1u);
    EXPECT_EQ(w.rec.count_of(b), 1u);
    EXPECT_TRUE(w.watcher.wait_for_write_quiet(a, 0.0));

    fs::remove(a);
    ASSERT_TRUE(w.rec.wait_for(3));
    settle();
    EXPECT_EQ(w.rec.count_of(a), 2u);  // the deletion, with the deleted file's path
}

TEST(FileWatcher, MarksTheFileAsBeingWrittenUntilTheFiring) {
    TempDir dir;
    std::atomic<bool> quiet_in_callback{false};
    Recorder rec;
    FileWatcher* self = nullptr;
    FileWatcher w(dir.path(),
                  [&](const fs::path& p) {
                      quiet_in_callback = self->wait_for_write_quiet(p, 0.0);
                      rec(p);
                  },
                  0.5);
    self = &w;
    auto scope = w.scoped();
    fs::path a = dir.path() / "a.md";
    write(a, "# A\n");
    // The mark appears once the observer saw the event, and is gone by the callback.
    bool marked = false;
    for (int i = 0; i < 400 && !marked; ++i) {
        marked = !w.wait_for_write_quiet(a, 0.0);
        if (!marked) std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(marked);
    EXPECT_TRUE(w.wait_for_write_quiet(a, 5.0));
    ASSERT_TRUE(rec.wait_for(1));
    EXPECT_TRUE(quiet_in_callback);
}

TEST(FileWatcher, NewDirectoriesAreWatchedAndTheirEarlyFilesReported) {
    Watched w;
    fs::path deep = w.dir.path() / "x" / "y" / "z";
    fs::create_directories(deep);
    write(deep / "early.md", "# E\n");
    fs::create_directory(w.dir.path() / "dir.md");  // a directory named like a Markdown file
    ASSERT_TRUE(w.rec.wait_for(1));
    settle();
    EXPECT_EQ(w.rec.paths(), std::vector<fs::path>{deep / "early.md"});

    write(deep / "later.md", "# L\n");
    ASSERT_TRUE(w.rec.wait_for(2));
    EXPECT_EQ(w.rec.paths().back(), deep / "later.md");
}

TEST(FileWatcher, RenamesAreNotReportedButMovedDirectoriesStayWatched) {
    Watched w;
    fs::path a = w.dir.path() / "a.md";
    fs::create_directory(w.dir.path() / "d1");
    write(a, "# A\n");
    ASSERT_TRUE(w.rec.wait_for(1));
    settle();

    fs::rename(a, w.dir.path() / "renamed.md");
    fs::rename(w.dir.path() / "d1", w.dir.path() / "d2");
    settle();
    EXPECT_EQ(w.rec.count(), 1u);

    // The moved directory is watched under its new name.
    write(w.dir.path() / "d2" / "in.md", "# In\n");
    ASSERT_TRUE(w.rec.wait_for(2));
    EXPECT_EQ(w.rec.paths().back(), w.dir.path() / "d2" / "in.md");

    // A directory moved in from outside is watched too.
    TempDir outside;
    fs::create_directory(outside.path() / "o");
    fs::rename(outside.path() / "o", w.dir.path() / "o");
    settle();
    write(w.dir.path() / "o" / "x.md", "# X\n");
    ASSERT_TRUE(w.rec.wait_for(3));
    EXPECT_EQ(w.rec.paths().back(), w.dir.path() / "o" / "x.md");
}

TEST(FileWatcher, SurvivesChurnUnderTheRoot) {
    Watched w;
    fs::path root = w.dir.path();
    for (int i = 0; i < 30; ++i) {
        fs::path d = root / ("d" + std::to_string(i % 3));
        fs::create_directories(d / "sub");
        write(d / "sub" / "f.md", "x");
        fs::rename(d / "sub", d / "sub2");
        std::error_code ec;
        fs::remove_all(i % 2 ? d : d / "sub2", ec);
        write(root / "tmp.md", "y");
        fs::remove(root / "tmp.md", ec);
    }
    fs::remove_all(root / "d0");
    fs::create_directory(root / "d0");
    settle();
    std::size_t before = w.rec.count();
    write(root / "d0" / "after.md", "# ok\n");
    ASSERT_TRUE(w.rec.wait_for(before + 1));
    EXPECT_EQ(w.rec.paths().back(), root / "d0" / "after.md");
}

TEST(FileWatcher, RemovingTheRootIsReportedAndStopStillWorks) {
    auto dir = std::make_unique<TempDir>();
    Recorder rec;
    FileWatcher w(dir->path(), [&](const fs::path& p) { rec(p); }, kWindow);
    w.start();
    write(dir->path() / "a.md", "x");
    testing::internal::CaptureStderr();
    dir.reset();
    settle();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("no longer watched"), std::string::npos) << err;
    w.stop();
    EXPECT_FALSE(w.running());
}

TEST(FileWatcher, StopCancelsPendingTimersAndIsIdempotent) {
    TempDir dir;
    Recorder rec;
    FileWatcher w(dir.path(), [&](const fs::path& p) { rec(p); }, 0.3);
    w.start();
    EXPECT_TRUE(w.running());
    w.start();  // already running: nothing happens
    fs::path a = dir.path() / "a.md";
    write(a, "x");
    // Once the event is in (the write mark shows it), stop before the window closes.
    for (int i = 0; i < 200 && w.wait_for_write_quiet(a, 0.0); ++i) std::this_thread::sleep_for(5ms);
    w.stop();
    w.stop();
    EXPECT_FALSE(w.running());
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(rec.count(), 0u);
    EXPECT_FALSE(w.wait_for_write_quiet(a, 0.05));  // its mark was left behind

    write(dir.path() / "b.md", "stopped: not seen");
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(rec.count(), 0u);

    w.start();  // a stopped watcher can run again
    write(dir.path() / "c.md", "x");
    ASSERT_TRUE(rec.wait_for(1));
    EXPECT_EQ(rec.paths().back(), dir.path() / "c.md");
}

TEST(FileWatcher, ScopedUseStopsAlsoWhenLeftByAnError) {
    TempDir dir;
    FileWatcher w(dir.path(), [](const fs::path&) {});
    EXPECT_THROW(
        {
            auto scope = w.scoped();
            EXPECT_TRUE(scope->running());
            throw std::runtime_error("boom");
        },
        std::runtime_error);
    EXPECT_FALSE(w.running());
}

TEST(FileWatcher, DestroyedWithATimerPendingNeverCallsBack) {
    std::atomic<int> calls{0};
    TempDir dir;
    {
        FileWatcher w(dir.path(), [&](const fs::path&) { ++calls; }, 0.2);
        w.start();
        fs::path a = dir.path() / "a.md";
        write(a, "x");
        for (int i = 0; i < 200 && w.wait_for_write_quiet(a, 0.0); ++i)
            std::this_thread::sleep_for(5ms);
    }
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(calls.load(), 0);
}

TEST(ReindexMarks, WaitsFollowStartAndDone) {
    TempDir dir;
    FileWatcher w(dir.path(), [](const fs::path&) {});
    fs::path a = dir.path() / "a.md";
    EXPECT_TRUE(w.wait_for_reindex(a, 0.0));  // never marked
    w.mark_reindex_done(a);                   // harmless

    w.mark_reindex_start(a);
    EXPECT_FALSE(w.wait_for_reindex(a, 0.05));
    std::atomic<int> result{-1};
    std::thread waiter([&] { result = w.wait_for_reindex(a, 10.0); });
    std::this_thread::sleep_for(50ms);
    w.mark_reindex_done(a);
    waiter.join();
    EXPECT_EQ(result.load(), 1);
    EXPECT_TRUE(w.wait_for_reindex(a, 0.0));
}

TEST(ReindexMarks, ASecondStartStrandsEarlierWaiters) {
    TempDir dir;
    FileWatcher w(dir.path(), [](const fs::path&) {});
    fs::path a = dir.path() / "a.md";
    w.mark_reindex_start(a);
    std::atomic<int> early{-1}, late{-1};
    std::thread t1([&] { early = w.wait_for_reindex(a, 0.6); });
    std::this_thread::sleep_for(100ms);
    w.mark_reindex_start(a);
    std::thread t2([&] { late = w.wait_for_reindex(a, 10.0); });
    std::this_thread::sleep_for(100ms);
    w.mark_reindex_done(a);
    t2.join();
    t1.join();
    EXPECT_EQ(late.load(), 1);
    EXPECT_EQ(early.load(), 0);
}

TEST(ReindexMarks, SpellingsOfOneFileShareTheMark) {
    TempDir dir;
    fs::path a = dir.path() / "a.md";
    write(a, "# A\n");
    fs::create_symlink(a, dir.path() / "link.md");
    FileWatcher w(dir.path(), [](const fs::path&) {});
    w.mark_reindex_start(dir.path() / "link.md");
    EXPECT_FALSE(w.wait_for_reindex(a, 0.0));
    {
        CurrentDir cd(dir.path());
        EXPECT_FALSE(w.wait_for_reindex("a.md", 0.0));
        w.mark_reindex_done("./a.md");
    }
    EXPECT_TRUE(w.wait_for_reindex(dir.path() / "link.md", 0.0));
}
