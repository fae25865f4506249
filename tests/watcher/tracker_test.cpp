// Path keys and the write tracker (and with it Signal).
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <thread>

#include "quillbox/watcher.h"
#include "common/temp_dir.h"

namespace fs = std::filesystem;
using namespace quillbox;
using qbtest::CurrentDir;
using qbtest::TempDir;
using namespace std::chrono_literals;

TEST(WriteTracker, SpellingsOfOneFileShareAKeyAndAMark) {
    TempDir dir;
    fs::path file = dir.path / "a.md";
    std::ofstream(file) << "x\n";
    fs::create_directory_symlink(dir.path, dir.path / "link");
    EXPECT_EQ(watcher_path_key(dir.path / "link" / "sub" / ".." / "a.md"), file.string());
    // A missing tail stays as written under the resolved part.
    EXPECT_EQ(watcher_path_key(dir.path / "link" / "gone.md"), (dir.path / "gone.md").string());

    WriteTracker t;
    t.mark_write_done(file);  // unknown: harmless
    EXPECT_TRUE(t.wait_for_write_quiet(file, 0.0));
    t.mark_write_start(dir.path / "link" / "a.md");
    CurrentDir cd(dir.path);
    EXPECT_FALSE(t.wait_for_write_quiet("a.md", 0.0));
    t.mark_write_done("./a.md");
    EXPECT_TRUE(t.wait_for_write_quiet(file, 0.0));
}

TEST(WriteTracker, ANewMarkReleasesEarlierWaitersAndDoneReleasesTheRest) {
    WriteTracker t;
    t.mark_write_start("/p/a.md");
    EXPECT_FALSE(t.wait_for_write_quiet("/p/a.md", 0.02));
    EXPECT_FALSE(t.wait_for_write_quiet("/p/a.md", -1.0));
    auto first = std::async(std::launch::async, [&] { return t.wait_for_write_quiet("/p/a.md", 10.0); });
    std::this_thread::sleep_for(50ms);
    t.mark_write_start("/p/a.md");
    EXPECT_TRUE(first.get());
    EXPECT_FALSE(t.wait_for_write_quiet("/p/a.md", 0.02));  // the new mark holds
    auto second = std::async(std::launch::async, [&] { return t.wait_for_write_quiet("/p/a.md", 10.0); });
    std::this_thread::sleep_for(50ms);
    t.mark_write_done("/p/a.md");
    EXPECT_TRUE(second.get());
    EXPECT_TRUE(t.wait_for_write_quiet("/p/a.md", 0.0));
}
