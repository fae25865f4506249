// Path keys and the per-file writes (and with it Signal).
#include <gtest/gtest.h>

#include <sys/stat.h>

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

TEST(FileWrites, SpellingsOfOneFileShareAKeyAndAMark) {
    TempDir dir;
    fs::path file = dir.path / "a.md";
    std::ofstream(file) << "x\n";
    fs::create_directory_symlink(dir.path, dir.path / "link");
    EXPECT_EQ(watcher_path_key(dir.path / "link" / "sub" / ".." / "a.md"), file.string());
    // A missing tail stays as written under the resolved part.
    EXPECT_EQ(watcher_path_key(dir.path / "link" / "gone.md"), (dir.path / "gone.md").string());

    FileWrites t;
    t.mark_write_done(file);  // unknown: harmless
    EXPECT_TRUE(t.wait_for_write_quiet(file, 0.0));
    t.mark_write_start(dir.path / "link" / "a.md");
    CurrentDir cd(dir.path);
    EXPECT_FALSE(t.wait_for_write_quiet("a.md", 0.0));
    t.mark_write_done("./a.md");
    EXPECT_TRUE(t.wait_for_write_quiet(file, 0.0));
}

TEST(FileWrites, ANewMarkReleasesEarlierWaitersAndDoneReleasesTheRest) {
    FileWrites t;
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

namespace {

WrittenFile figures_of(const fs::path& p, std::string sha256) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0);
    return {static_cast<std::int64_t>(st.st_ino), static_cast<std::int64_t>(st.st_size),
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec, std::move(sha256)};
}

constexpr const char* kHelloSha = "5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03";  // "hello\n"

}  // namespace

// A file is our own write only while it holds exactly what the write left: figures and bytes.
// Anything else (other bytes under the same figures, a file gone, a failed write) is someone
// else's change, and the record is dropped for good.
TEST(FileWrites, OwnWriteIsKnownOnlyWhileTheFileHoldsItsFiguresAndBytes) {
    TempDir dir;
    const fs::path file = dir.path / "a.md";
    std::ofstream(file) << "hello\n";
    FileWrites t;
    EXPECT_FALSE(t.is_own_write(file));  // never written by us

    t.own_write_start(file);
    t.own_write_done(file, figures_of(file, kHelloSha));
    EXPECT_TRUE(t.is_own_write(file));
    EXPECT_TRUE(t.is_own_write(file));  // asked again: still ours
    EXPECT_EQ(t.own_write(file), figures_of(file, kHelloSha));

    // Same size and time, other bytes: an in-place save within the clock's tick.
    const auto mtime = fs::last_write_time(file);
    std::ofstream(file, std::ios::in | std::ios::out) << "j";
    fs::last_write_time(file, mtime);
    EXPECT_EQ(figures_of(file, kHelloSha), t.own_write(file));  // figures alone cannot tell
    EXPECT_FALSE(t.is_own_write(file));
    EXPECT_FALSE(t.own_write(file));
    // Restoring the bytes does not bring the record back.
    std::ofstream(file, std::ios::in | std::ios::out) << "h";
    fs::last_write_time(file, mtime);
    EXPECT_FALSE(t.is_own_write(file));

    // A failed write records nothing; a deleted file is not ours.
    t.own_write_start(file);
    t.own_write_done(file, std::nullopt);
    EXPECT_FALSE(t.is_own_write(file));
    t.own_write_start(file);
    t.own_write_done(file, figures_of(file, kHelloSha));
    fs::remove(file);
    EXPECT_FALSE(t.is_own_write(file));
}

// The event of a write may arrive before the write says what it left: the judgement waits.
TEST(FileWrites, AnOwnWriteUnderWayIsWaitedFor) {
    TempDir dir;
    const fs::path file = dir.path / "a.md";
    std::ofstream(file) << "hello\n";
    FileWrites t;
    t.own_write_start(file);
    EXPECT_FALSE(t.own_write(file));
    auto judged = std::async(std::launch::async, [&] { return t.is_own_write(file); });
    EXPECT_EQ(judged.wait_for(50ms), std::future_status::timeout);
    t.own_write_done(file, figures_of(file, kHelloSha));
    EXPECT_TRUE(judged.get());
}
