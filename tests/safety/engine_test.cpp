// The verified write protocol: backups, atomic replacement, read-back and rollback.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "quillbox/safety.h"
#include "quillbox/watcher.h"
#include "common/temp_dir.h"

using namespace quillbox;
using qbtest::read_file;
using qbtest::write_file;
namespace fs = std::filesystem;

namespace {

struct SafetyEngineTest : ::testing::Test {
    qbtest::TempDir dir;
    fs::path file = dir / "notes.md";
    fs::path backups = dir / "data" / "backups";
    SafetyEngine engine{backups};

    std::vector<fs::path> backup_files() {
        std::vector<fs::path> out;
        if (fs::is_directory(backups))
            for (auto& e : fs::directory_iterator(backups)) out.push_back(e.path());
        return out;
    }
    bool no_tmp() { return !fs::exists(dir / "notes.md.quillbox-tmp"); }
};

mode_t mode_of(const fs::path& p) {
    struct stat st {};
    ::stat(p.c_str(), &st);
    return st.st_mode & 07777;
}

template <class F>
std::string error_text(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

template <class F>
std::error_code fs_error_code(F&& f) {
    try {
        f();
    } catch (const std::filesystem::filesystem_error& e) {
        return e.code();
    }
    return {};
}

}  // namespace

TEST_F(SafetyEngineTest, ReplaceInsertDeleteAndLineEnds) {
    write_file(file, "1\n2\n3\n4\n5\n6\n");
    engine.apply_replace(file, 3, 4, {"a", "b", "c"});
    EXPECT_EQ(read_file(file), "1\n2\na\nb\nc\n5\n6\n");
    ASSERT_EQ(backup_files().size(), 1u);
    EXPECT_EQ(read_file(backup_files()[0]), "1\n2\n3\n4\n5\n6\n");
    engine.apply_replace(file, 1, 0, {"top"});  // insert before line 1
    engine.apply_replace(file, 9, 8, {"end"});  // append after the last line
    engine.apply_replace(file, 4, 6, {});       // delete a, b, c
    EXPECT_EQ(read_file(file), "top\n1\n2\n5\n6\nend\n");
    EXPECT_TRUE(no_tmp());

    write_file(file, "a\r\nb\r\nc");  // CRLF, no final line feed
    engine.apply_replace(file, 2, 2, {"B"});
    EXPECT_EQ(read_file(file), "a\nB\nc\n");
    write_file(file, "x\fy\n");  // a form-feed line end is followed by a line feed
    engine.apply_replace(file, 2, 2, {"Y"});
    EXPECT_EQ(read_file(file), "x\f\nY\n");

    fs::create_symlink(file, dir / "link.md");  // the target changes, the link stays
    engine.apply_replace(dir / "link.md", 1, 1, {"via link"});
    EXPECT_TRUE(fs::is_symlink(dir / "link.md"));
    EXPECT_EQ(read_file(file), "via link\n\nY\n");
}

TEST_F(SafetyEngineTest, PermissionsAndBackupMetadataSurvive) {
    write_file(file, "a\nb\n");
    ::chmod(file.c_str(), 0751);
    auto old_time = fs::file_time_type::clock::now() - std::chrono::hours(30);
    fs::last_write_time(file, old_time);
    auto backup = engine.create_backup(file);
    EXPECT_EQ(backup.parent_path(), backups);
    EXPECT_EQ(mode_of(backup), 0751u);
    EXPECT_EQ(fs::last_write_time(backup), old_time);

    engine.apply_replace(file, 1, 1, {"A"});
    EXPECT_EQ(mode_of(file), 0751u);
    ::chmod(file.c_str(), 0600);
    engine.apply_replace(file, 1, 1, {"AA"});
    EXPECT_EQ(mode_of(file), 0600u);

    // A name without extension gets the suffix appended; the file is whole once visible.
    // A stale temporary file that is a symbolic link is replaced, not written through.
    auto plain = dir / "README";
    write_file(plain, "x\n");
    write_file(dir / "victim", "keep");
    fs::create_symlink(dir / "victim", dir / "README.quillbox-tmp");
    int calls = 0;
    engine.set_after_rename_hook([&](const fs::path&) {
        ++calls;
        EXPECT_FALSE(fs::exists(dir / "README.quillbox-tmp"));
        EXPECT_EQ(read_file(plain), "y\n");
    });
    engine.apply_replace(plain, 1, 1, {"y"});
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(read_file(dir / "victim"), "keep");
}

TEST_F(SafetyEngineTest, TwoBackupsInOneSecondLeaveTheLaterState) {
    std::tm local{};
    local.tm_year = 125, local.tm_mon = 2, local.tm_mday = 1;
    local.tm_hour = 14, local.tm_min = 5, local.tm_sec = 9, local.tm_isdst = -1;
    const std::time_t at = std::mktime(&local);
    engine.set_clock([&] { return at; });
    write_file(file, "v1\n");
    engine.apply_replace(file, 1, 1, {"v2"});
    engine.apply_replace(file, 1, 1, {"v3"});
    ASSERT_EQ(backup_files().size(), 1u);
    EXPECT_EQ(backup_files()[0], backups / "2025-03-01_14-05-09_notes.md.bak");
    EXPECT_EQ(read_file(backup_files()[0]), "v2\n");
}

TEST_F(SafetyEngineTest, BusyWriterCancelsTheWriteButNotTheCheck) {
    WriteTracker tracker;
    SafetyEngine guarded(backups, &tracker);
    write_file(file, "a\nb\n");
    tracker.mark_write_start(file);
    EXPECT_EQ(error_text([&] { guarded.apply_replace(file, 1, 1, {"x"}); }),
              "文件 " + file.string() + " 正在被持续写入（超时 3s），操作已取消。请稍后重试。");
    EXPECT_TRUE(backup_files().empty());
    EXPECT_EQ(read_file(file), "a\nb\n");
    EXPECT_TRUE(guarded.verify_before_modify(file, 1, 2, compute_hash("a\nb")));

    std::thread done([&] {  // a writer that finishes within the wait
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        tracker.mark_write_done(file);
    });
    guarded.apply_replace(file, 1, 1, {"x"});
    done.join();
    EXPECT_EQ(read_file(file), "x\nb\n");
}

TEST_F(SafetyEngineTest, VerifyBeforeModify) {
    write_file(file, "# T\r\nbody\r\n");
    EXPECT_TRUE(engine.verify_before_modify(file, 1, 2, compute_hash("# T\nbody")));
    EXPECT_FALSE(engine.verify_before_modify(file, 1, 1, compute_hash("# T\nbody")));
    auto missing = dir / "gone.md";
    auto call = [&] { engine.verify_before_modify(missing, 1, 1, ""); };
    EXPECT_EQ(error_text(call), "文件不存在: " + missing.string());
    EXPECT_EQ(fs_error_code(call), std::errc::no_such_file_or_directory);
}

TEST_F(SafetyEngineTest, ChangesBetweenRenameAndReadBackAreRolledBack) {
    const std::string original = "p1\np2\nold\ns1\ns2\n";
    const std::pair<const char*, const char*> cases[] = {
        {"p1\np2\nnew\ns1\nXX\n", "后缀区域被意外修改，已自动回滚"},
        {"p1\nXX\nnew\ns1\ns2\n", "前缀区域被意外修改，已自动回滚"},
        {"p1\np2\nnot new\ns1\ns2\n", "写入内容与预期不匹配，已自动回滚"},
        {"p1\np2\n", "写入内容与预期不匹配，已自动回滚"},               // too short
        {"p1\np2\nnew\ns1\ns2\xff\n", "写入内容与预期不匹配，已自动回滚"},  // not UTF-8
        {nullptr, "写入内容与预期不匹配，已自动回滚"},                       // deleted
    };
    auto old_time = fs::file_time_type::clock::now() - std::chrono::hours(2);
    for (const auto& [disturbed, message] : cases) {
        write_file(file, original);
        ::chmod(file.c_str(), 0640);
        fs::last_write_time(file, old_time);
        engine.set_after_rename_hook([&](const fs::path& p) {
            if (disturbed) write_file(p, disturbed);
            else fs::remove(p);
        });
        std::string got;
        try {
            engine.apply_replace(file, 3, 3, {"new"});
        } catch (const ModificationError& e) {
            got = e.what();
        }
        EXPECT_EQ(got, message);
        EXPECT_EQ(read_file(file), original);
        EXPECT_EQ(fs::last_write_time(file), old_time);
        EXPECT_EQ(mode_of(file), 0640u);
        EXPECT_TRUE(no_tmp());
    }
    // When the restore itself fails, its error (naming the backup) replaces the rollback text.
    engine.set_after_rename_hook([&](const fs::path& p) {
        write_file(p, "changed\n");
        for (auto& b : backup_files()) fs::remove(b);
    });
    EXPECT_NE(fs_error_code([&] { engine.apply_replace(file, 3, 3, {"new"}); }), std::error_code());
    // A read-back equal to the new lines after normalisation passes.
    engine.set_after_rename_hook([](const fs::path& p) { write_file(p, "p1\r\np2\r\nnew\r\ns1\r\ns2"); });
    write_file(file, original);
    engine.apply_replace(file, 3, 3, {"new"});
}

TEST_F(SafetyEngineTest, BadInputLeavesTheFileUntouched) {
    EXPECT_EQ(fs_error_code([&] { engine.apply_replace(dir / "missing.md", 1, 1, {"x"}); }),
              std::errc::no_such_file_or_directory);
    fs::create_directory(dir / "sub.md");
    EXPECT_EQ(fs_error_code([&] { engine.apply_replace(dir / "sub.md", 1, 0, {"x"}); }),
              std::errc::is_a_directory);
    write_file(file, "a\nb\n");
    ::chmod(file.c_str(), 0444);
    EXPECT_EQ(fs_error_code([&] { engine.apply_replace(file, 1, 1, {"x"}); }),
              std::errc::permission_denied);
    ::chmod(file.c_str(), 0644);
    EXPECT_TRUE(backup_files().empty());

    EXPECT_THROW(engine.apply_replace(file, 0, 1, {"x"}), std::invalid_argument);
    EXPECT_THROW(engine.apply_replace(file, 3, 1, {"x"}), std::invalid_argument);
    EXPECT_THROW(engine.apply_replace(file, 2, 3, {"x"}), std::invalid_argument);  // past the end
    EXPECT_THROW(engine.apply_replace(file, 1, 1, {"x\ny"}), std::invalid_argument);
    EXPECT_THROW(engine.apply_replace(file, 1, 1, {"\xc3("}), std::invalid_argument);
    EXPECT_EQ(read_file(file), "a\nb\n");
    write_file(file, "a\n\xff\n");
    EXPECT_THROW(engine.apply_replace(file, 1, 1, {"x"}), DecodeError);
    EXPECT_EQ(read_file(file), "a\n\xff\n");
    EXPECT_TRUE(no_tmp());
}

TEST_F(SafetyEngineTest, UnwritableBackupOrFullDiskLeavesTheFileUntouched) {
    write_file(file, "a\nb\n");
    fs::remove_all(backups);
    write_file(backups, "a file where the backup directory should be");
    EXPECT_NE(fs_error_code([&] { engine.apply_replace(file, 1, 1, {"x"}); }), std::error_code());
    EXPECT_EQ(read_file(file), "a\nb\n");
    fs::remove(backups);

    // A file size limit stands in for a full disk (it binds root too).
    const std::string big(4000, 'z');
    write_file(file, big + "\n");
    struct rlimit old {};
    ::getrlimit(RLIMIT_FSIZE, &old);
    auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
    auto attempt = [&](rlim_t limit, std::vector<std::string> lines) {
        struct rlimit r = old;
        r.rlim_cur = limit;
        ::setrlimit(RLIMIT_FSIZE, &r);
        auto ec = fs_error_code([&] { engine.apply_replace(file, 1, 1, lines); });
        ::setrlimit(RLIMIT_FSIZE, &old);
        return ec;
    };
    EXPECT_EQ(attempt(1000, {"x"}), std::errc::file_too_large);        // the backup fails
    EXPECT_EQ(attempt(4500, {big, big}), std::errc::file_too_large);   // the new text fails
    ::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(read_file(file), big + "\n");
    EXPECT_TRUE(no_tmp());
    ASSERT_EQ(backup_files().size(), 1u);  // no partial backup from the first attempt
    EXPECT_EQ(read_file(backup_files()[0]), big + "\n");
}
