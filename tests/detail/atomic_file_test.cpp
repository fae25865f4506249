#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>

#include "common/temp_dir.h"
#include "quillbox/detail/atomic_file.h"

namespace fs = std::filesystem;
using namespace quillbox::detail;
using qbtest::read_file;
using qbtest::write_file;

namespace {

mode_t mode_of(const fs::path& p) {
    struct stat st {};
    ::stat(p.c_str(), &st);
    return st.st_mode & 07777;
}

std::size_t entries(const fs::path& dir) {
    std::size_t n = 0;
    for ([[maybe_unused]] auto& e : fs::directory_iterator(dir)) ++n;
    return n;
}

FileReplaceError::Step failed_step(const std::function<void()>& f) {
    try {
        f();
    } catch (const FileReplaceError& e) {
        return e.step();
    }
    ADD_FAILURE() << "no FileReplaceError";
    return FileReplaceError::Step::create;
}

}  // namespace

TEST(AtomicFile, KeepsModeAndCreatesWithTheUmask) {
    qbtest::TempDir dir;
    const fs::path f = dir.write("a.txt", "old");
    ::chmod(f.c_str(), 0751);
    replace_file(f, "new");
    EXPECT_EQ(read_file(f), "new");
    EXPECT_EQ(mode_of(f), 0751u);

    const mode_t old = ::umask(027);
    replace_file(dir.path / "fresh.txt", "x");
    ::umask(old);
    EXPECT_EQ(mode_of(dir.path / "fresh.txt"), 0640u);
    EXPECT_EQ(entries(dir.path), 2u);  // no temporary file left

    // Mode and times taken from another file.
    const fs::path model = dir.write("model.txt", "m");
    ::chmod(model.c_str(), 0604);
    const auto t = fs::file_time_type::clock::now() - std::chrono::hours(3);
    fs::last_write_time(model, t);
    struct stat st {};
    ::stat(model.c_str(), &st);
    replace_file(f, "copied", {.like = &st, .copy_times = true});
    EXPECT_EQ(mode_of(f), 0604u);
    EXPECT_EQ(fs::last_write_time(f), t);
}

TEST(AtomicFile, CheckBeforeRenameCanAbandonTheReplacement) {
    qbtest::TempDir dir;
    const fs::path f = dir.write("a.md", "v1");
    {
        PendingReplace p(f, "v2");
        EXPECT_EQ(read_file(p.temporary()), "v2");
        EXPECT_EQ(p.temporary().parent_path(), dir.path);
        EXPECT_EQ(read_file(f), "v1");  // nothing visible before the commit
    }
    EXPECT_EQ(read_file(f), "v1");
    EXPECT_EQ(entries(dir.path), 1u);

    PendingReplace p(f, "v3");
    p.commit();
    EXPECT_EQ(read_file(f), "v3");
    EXPECT_EQ(entries(dir.path), 1u);
}

TEST(AtomicFile, NamedTemporaryNeverWritesThroughAPlantedLink) {
    qbtest::TempDir dir;
    const fs::path f = dir.write("a.md", "old");
    const fs::path victim = dir.write("victim", "keep");
    fs::create_symlink(victim, dir.path / "a.md.tmp");
    replace_file(f, "new", {.temporary = dir.path / "a.md.tmp"});
    EXPECT_EQ(read_file(f), "new");
    EXPECT_EQ(read_file(victim), "keep");
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.path / "a.md.tmp")));
}

TEST(AtomicFile, FailuresLeaveTheTargetAndNoTemporaryFile) {
    qbtest::TempDir dir;
    const fs::path f = dir.write("a.md", "old");

    // A file size limit stands in for a full disk.
    struct rlimit old {};
    ::getrlimit(RLIMIT_FSIZE, &old);
    auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit r = old;
    r.rlim_cur = 100;
    ::setrlimit(RLIMIT_FSIZE, &r);
    auto step = failed_step([&] { replace_file(f, std::string(1000, 'z')); });
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(step, FileReplaceError::Step::write);

    // A non-empty directory where the file should go: the rename fails.
    write_file(dir.path / "d" / "x", "");
    EXPECT_EQ(failed_step([&] { replace_file(dir.path / "d", "text"); }), FileReplaceError::Step::rename);
    // No directory to create the temporary file in.
    EXPECT_EQ(failed_step([&] { replace_file(dir.path / "none" / "a.md", "text"); }),
              FileReplaceError::Step::create);

    EXPECT_EQ(read_file(f), "old");
    EXPECT_EQ(entries(dir.path), 2u);  // a.md and d
}

TEST(AtomicFile, LinkTargetKeepsLinksLinks) {
    qbtest::TempDir dir;
    const fs::path real = dir.write("real.md", "x");
    fs::create_symlink("real.md", dir.path / "link.md");
    fs::create_symlink("later.md", dir.path / "dangling.md");
    EXPECT_EQ(link_target(dir.path / "link.md"), real);
    EXPECT_EQ(link_target(dir.path / "dangling.md"), dir.path / "later.md");
    EXPECT_EQ(link_target(real), real);
}

TEST(AtomicFile, NewFileTakesTheFirstFreeNameAndLeavesNoTemporary) {
    qbtest::TempDir dir;
    write_file(dir / "a-0", "taken");
    struct stat like {};
    ASSERT_EQ(::stat((dir / "a-0").c_str(), &like), 0);
    like.st_mtim.tv_sec -= 3600;
    auto name = [](int k) { return "a-" + std::to_string(k); };
    const fs::path got = create_new_file(dir.path, name, "new\n", ReplaceOptions{.like = &like, .copy_times = true});
    EXPECT_EQ(got, dir / "a-1");
    EXPECT_EQ(read_file(dir / "a-0"), "taken");  // never replaced
    EXPECT_EQ(read_file(got), "new\n");
    struct stat st {};
    ASSERT_EQ(::stat(got.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, like.st_mtim.tv_sec);
    EXPECT_EQ(entries(dir.path), 2u);

    // Every name taken: refused, nothing left behind.
    EXPECT_THROW(create_new_file(dir.path, name, "x", ReplaceOptions{}, 2), FileReplaceError);
    EXPECT_EQ(entries(dir.path), 2u);
}
