// FileWatcher over a real directory tree (inotify), and its re-index marks.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <stdexcept>
#include <thread>

#include "quillbox/watcher.h"
#include "watcher/recorder.h"
#include "common/temp_dir.h"

namespace fs = std::filesystem;
using namespace quillbox;
using qbtest::CurrentDir;
using qbtest::TempDir;
using namespace std::chrono_literals;

namespace {

constexpr double kWindow = 0.15;

void write(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::app) << text; }
void settle() { std::this_thread::sleep_for(std::chrono::duration<double>(4 * kWindow)); }
std::size_t count_of(Recorder& r, const fs::path& p) {
    auto v = r.paths();
    return static_cast<std::size_t>(std::count(v.begin(), v.end(), p));
}
// Until the observer has seen an event for `p` (its write mark shows it).
bool marked(FileWatcher& w, const fs::path& p) {
    for (int i = 0; i < 400; ++i, std::this_thread::sleep_for(5ms))
        if (!w.wait_for_write_quiet(p, 0.0)) return true;
    return false;
}

struct Watched {
    TempDir dir;
    Recorder rec;
    FileWatcher watcher{dir.path, [this](const fs::path& p) { rec(p); }, kWindow};
    Watched() { watcher.start(); }
};

}  // namespace

TEST(FileWatcher, RootMustBeADirectory) {
    TempDir dir;
    write(dir.path / "f.md", "x");
    for (auto [p, err] : {std::pair{dir.path / "missing", std::errc::no_such_file_or_directory},
                          {dir.path / "f.md", std::errc::not_a_directory}}) {
        try {
            FileWatcher w(p, [](const fs::path&) {});
            ADD_FAILURE() << p;
        } catch (const fs::filesystem_error& e) {
            EXPECT_EQ(e.code(), err);
            EXPECT_EQ(e.path1(), p);
        }
    }
}

TEST(FileWatcher, WritesCreatesAndDeletesGiveOneCallbackPerFile) {
    Watched w;
    fs::path a = w.dir.path / "a.md", b = w.dir.path / "b.md";
    for (int i = 0; i < 5; ++i) write(a, "line\n");  // several opens, writes and closes: one save
    write(b, "# B\n");
    write(w.dir.path / "notes.txt", "ignored");
    ASSERT_TRUE(w.rec.wait_for(2));
    settle();
    EXPECT_EQ(w.rec.paths().size(), 2u);
    EXPECT_EQ(count_of(w.rec, a), 1u);
    fs::remove(a);
    ASSERT_TRUE(w.rec.wait_for(3));
    EXPECT_EQ(count_of(w.rec, a), 2u);  // the deletion, with the deleted file's path
}

TEST(FileWatcher, NewAndMovedDirectoriesAreWatched) {
    Watched w;
    fs::path root = w.dir.path, deep = root / "x" / "y";
    fs::create_directories(deep);
    write(deep / "early.md", "# E\n");  // may predate the new directory's watch
    fs::create_directory(root / "dir.md");
    ASSERT_TRUE(w.rec.wait_for(1));
    settle();
    EXPECT_EQ(w.rec.paths(), std::vector<fs::path>{deep / "early.md"});

    // A directory moved in (or within) brings its files along: they are new at their paths.
    fs::rename(root / "x", root / "x2");
    TempDir outside;
    fs::create_directory(outside.path / "o");
    write(outside.path / "o" / "brought.md", "# B\n");
    fs::rename(outside.path / "o", root / "o");
    ASSERT_TRUE(w.rec.wait_for(3));
    EXPECT_EQ(count_of(w.rec, root / "x2" / "y" / "early.md"), 1u);
    EXPECT_EQ(count_of(w.rec, root / "o" / "brought.md"), 1u);
    write(root / "x2" / "y" / "in.md", "# In\n");
    write(root / "o" / "out.md", "# Out\n");
    ASSERT_TRUE(w.rec.wait_for(5));
    EXPECT_EQ(count_of(w.rec, root / "x2" / "y" / "in.md"), 1u);
    EXPECT_EQ(count_of(w.rec, root / "o" / "out.md"), 1u);
}

// Editors that save through a temporary file rename it over the document: that is a change of
// the document, with the same debounce and write mark as an in-place save. A file renamed or
// moved away is gone from its path.
TEST(FileWatcher, RenamesAreChanges) {
    Watched w;
    fs::path root = w.dir.path, doc = root / "doc.md";
    write(doc, "# Doc\n");
    ASSERT_TRUE(w.rec.wait_for(1));
    settle();

    write(root / ".doc.md.swp", "# Doc\nsaved\n");
    fs::rename(root / ".doc.md.swp", doc);
    EXPECT_TRUE(marked(w.watcher, doc));
    ASSERT_TRUE(w.rec.wait_for(2));
    settle();
    EXPECT_EQ(count_of(w.rec, doc), 2u);

    fs::rename(doc, root / "renamed.md");
    ASSERT_TRUE(w.rec.wait_for(4));
    settle();
    EXPECT_EQ(count_of(w.rec, doc), 3u);  // the deletion at the old path
    EXPECT_EQ(count_of(w.rec, root / "renamed.md"), 1u);

    TempDir outside;
    fs::rename(root / "renamed.md", outside.path / "away.md");
    write(outside.path / "in.md", "# In\n");
    fs::rename(outside.path / "in.md", root / "in.md");
    ASSERT_TRUE(w.rec.wait_for(6));
    settle();
    EXPECT_EQ(count_of(w.rec, root / "renamed.md"), 2u);
    EXPECT_EQ(count_of(w.rec, root / "in.md"), 1u);
    EXPECT_EQ(w.rec.paths().size(), 6u);
}

TEST(FileWatcher, SurvivesChurnAndTheRootsRemoval) {
    auto w = std::make_unique<Watched>();
    fs::path root = w->dir.path;
    for (int i = 0; i < 20; ++i) {
        const fs::path d = root / std::string("d").append(std::to_string(i % 3));
        fs::create_directories(d / "sub");
        write(d / "sub" / "f.md", "x");
        fs::rename(d / "sub", d / "sub2");
        fs::remove_all(i % 2 ? d : d / "sub2");
    }
    settle();
    std::size_t before = w->rec.paths().size();
    fs::create_directory(root / "d0");
    write(root / "d0" / "after.md", "# ok\n");
    ASSERT_TRUE(w->rec.wait_for(before + 1));
    EXPECT_EQ(w->rec.paths().back(), root / "d0" / "after.md");

    testing::internal::CaptureStderr();
    fs::remove_all(root);
    settle();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("no longer watched"), std::string::npos);
    w->watcher.stop();
}

TEST(FileWatcher, StopCancelsPendingTimersIsIdempotentAndAllowsARestart) {
    TempDir dir;
    Recorder rec;
    FileWatcher w(dir.path, [&](const fs::path& p) { rec(p); }, 0.3);
    w.start();
    w.start();  // already running
    write(dir.path / "a.md", "x");
    ASSERT_TRUE(marked(w, dir.path / "a.md"));
    w.stop();
    w.stop();
    EXPECT_FALSE(w.running());
    write(dir.path / "b.md", "not seen while stopped");
    std::this_thread::sleep_for(600ms);
    EXPECT_TRUE(rec.paths().empty());
    EXPECT_FALSE(w.wait_for_write_quiet(dir.path / "a.md", 0.05));  // a cancelled burst keeps its mark

    {
        auto scope = w.scoped();
        write(dir.path / "c.md", "x");
        ASSERT_TRUE(rec.wait_for(1));
        EXPECT_EQ(rec.paths(), std::vector<fs::path>{dir.path / "c.md"});
    }
    EXPECT_FALSE(w.running());
    EXPECT_THROW(
        {
            auto scope = w.scoped();
            throw std::runtime_error("boom");
        },
        std::runtime_error);
    EXPECT_FALSE(w.running());
}

TEST(ReindexMarks, DoneReleasesWaitersAndASecondStartStrandsEarlierOnes) {
    TempDir dir;
    fs::path a = dir.path / "a.md";
    write(a, "# A\n");
    fs::create_symlink(a, dir.path / "link.md");
    FileWatcher w(dir.path, [](const fs::path&) {});
    EXPECT_TRUE(w.wait_for_reindex(a, 0.0));  // never marked
    w.mark_reindex_done(a);                   // harmless

    w.mark_reindex_start(dir.path / "link.md");
    EXPECT_FALSE(w.wait_for_reindex(a, 0.02));
    auto early = std::async(std::launch::async, [&] { return w.wait_for_reindex(a, 0.6); });
    std::this_thread::sleep_for(100ms);
    w.mark_reindex_start(a);
    auto late = std::async(std::launch::async, [&] { return w.wait_for_reindex(a, 10.0); });
    std::this_thread::sleep_for(100ms);
    {
        CurrentDir cd(dir.path);
        w.mark_reindex_done("./a.md");
    }
    EXPECT_TRUE(late.get());
    EXPECT_FALSE(early.get());
    EXPECT_TRUE(w.wait_for_reindex(dir.path / "link.md", 0.0));
}
