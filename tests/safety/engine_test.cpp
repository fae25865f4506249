// The verified write protocol: backups, atomic replacement, read-back and rollback.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "quillbox/safety.h"
#include "quillbox/watcher.h"
#include "test_util.h"

using namespace quillbox;
using qbtest::count_files;
using qbtest::slurp;
using qbtest::TempDir;
using qbtest::write_file;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

struct Fixture : ::testing::Test {
    TempDir dir;
    fs::path file = dir / "notes.md";
    fs::path backups = dir / "data" / "backups";
    SafetyEngine engine{backups};

    std::string only_backup() {
        EXPECT_EQ(count_files(backups), 1u);
        for (auto& e : fs::directory_iterator(backups)) return slurp(e.path());
        return {};
    }
    bool no_tmp() { return !fs::exists(dir / "notes.md.quillbox-tmp"); }
};

mode_t mode_of(const fs::path& p) {
    struct stat st {};
    ::stat(p.c_str(), &st);
    return st.st_mode & 07777;
}

template <class F>
std::string modification_error(F&& f) {
    try {
        f();
    } catch (const ModificationError& e) {
        return e.what();
    }
    return "(no ModificationError)";
}

}  // namespace

using SafetyEngineTest = Fixture;

TEST_F(SafetyEngineTest, ReplaceInsertAndDeleteWriteLineFeedText) {
    EXPECT_TRUE(fs::is_directory(backups));  // made with its parents
    write_file(file, "1\n2\n3\n4\n5\n6\n");
    engine.apply_replace(file, 3, 4, {"a", "b", "c"});
    EXPECT_EQ(slurp(file), "1\n2\na\nb\nc\n5\n6\n");
    EXPECT_EQ(only_backup(), "1\n2\n3\n4\n5\n6\n");
    EXPECT_TRUE(no_tmp());

    engine.apply_replace(file, 1, 0, {"top"});  // insert before line 1
    engine.apply_replace(file, 9, 8, {"end"});  // append after the last line
    engine.apply_replace(file, 4, 6, {});       // delete a, b, c
    EXPECT_EQ(slurp(file), "top\n1\n2\n5\n6\nend\n");
}

TEST_F(SafetyEngineTest, LineEndsAreNormalisedAndStillVerify) {
    write_file(file, "a\r\nb\r\nc");  // CRLF, no final line feed
    engine.apply_replace(file, 2, 2, {"B"});
    EXPECT_EQ(slurp(file), "a\nB\nc\n");
    write_file(file, "x\fy\n");  // the form-feed line keeps its end, followed by a line feed
    engine.apply_replace(file, 2, 2, {"Y"});
    EXPECT_EQ(slurp(file), "x\f\nY\n");
}

TEST_F(SafetyEngineTest, KeepsPermissionBitsAndBackupCarriesMetadata) {
    write_file(file, "a\nb\n");
    ::chmod(file.c_str(), 0751);
    auto old_time = fs::file_time_type::clock::now() - std::chrono::hours(30);
    fs::last_write_time(file, old_time);
    auto backup = engine.create_backup(file);
    EXPECT_EQ(backup.parent_path(), backups);
    auto name = backup.filename().string();
    ASSERT_EQ(name.size(), 19 + std::string("_notes.md.bak").size());
    EXPECT_EQ(name.substr(19), "_notes.md.bak");
    EXPECT_EQ(name[4], '-');
    EXPECT_EQ(name[10], '_');
    EXPECT_EQ(name[13], '-');
    EXPECT_EQ(mode_of(backup), 0751u);
    EXPECT_EQ(fs::last_write_time(backup), old_time);

    engine.apply_replace(file, 1, 1, {"A"});
    EXPECT_EQ(mode_of(file), 0751u);
    ::chmod(file.c_str(), 0600);
    engine.apply_replace(file, 1, 1, {"AA"});
    EXPECT_EQ(mode_of(file), 0600u);

    // No extension: the suffix is appended to the name.
    auto plain = dir / "README";
    write_file(plain, "x\n");
    bool checked = false;
    engine.set_after_rename_hook([&](const fs::path&) {
        checked = true;
        EXPECT_FALSE(fs::exists(dir / "README.quillbox-tmp"));  // renamed into place
        EXPECT_EQ(slurp(plain), "y\n");  // complete once it is visible
    });
    engine.apply_replace(plain, 1, 1, {"y"});
    EXPECT_TRUE(checked);
}

TEST_F(SafetyEngineTest, TwoBackupsInOneSecondLeaveTheLaterState) {
    // Start right after a second boundary; retry when a slow disk pushed the pair apart.
    for (int attempt = 0; attempt < 5; ++attempt) {
        fs::remove_all(backups);
        write_file(file, "v1\n");
        auto now = std::chrono::system_clock::now();
        std::this_thread::sleep_until(std::chrono::ceil<std::chrono::seconds>(now));
        std::time_t before = std::time(nullptr);
        engine.apply_replace(file, 1, 1, {"v2"});
        engine.apply_replace(file, 1, 1, {"v3"});
        if (std::time(nullptr) != before) continue;
        EXPECT_EQ(only_backup(), "v2\n");
        return;
    }
    GTEST_SKIP() << "could not fit two writes into one second";
}

TEST_F(SafetyEngineTest, BusyWriterCancelsTheWriteButNotTheCheck) {
    WriteTracker tracker;
    SafetyEngine guarded(backups, &tracker);
    write_file(file, "a\nb\n");
    tracker.mark_write_start(file);
    auto msg = modification_error([&] { guarded.apply_replace(file, 1, 1, {"x"}); });
    EXPECT_EQ(msg, "文件 " + file.string() + " 正在被持续写入（超时 3s），操作已取消。请稍后重试。");
    EXPECT_FALSE(fs::exists(backups) && count_files(backups) > 0);
    EXPECT_EQ(slurp(file), "a\nb\n");
    EXPECT_TRUE(guarded.verify_before_modify(file, 1, 2, compute_hash("a\nb")));

    // A writer that finishes within the wait lets the write go ahead.
    std::thread done([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        tracker.mark_write_done(file);
    });
    guarded.apply_replace(file, 1, 1, {"x"});
    done.join();
    EXPECT_EQ(slurp(file), "x\nb\n");
}

TEST_F(SafetyEngineTest, VerifyBeforeModify) {
    write_file(file, "# T\r\nbody\r\n");
    EXPECT_TRUE(engine.verify_before_modify(file, 1, 2, compute_hash("# T\nbody")));
    EXPECT_FALSE(engine.verify_before_modify(file, 1, 1, compute_hash("# T\nbody")));
    auto missing = dir / "gone.md";
    try {
        engine.verify_before_modify(missing, 1, 1, "");
        FAIL();
    } catch (const std::filesystem::filesystem_error& e) {
        EXPECT_STREQ(e.what(), ("文件不存在: " + missing.string()).c_str());
        EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
    }
}

TEST_F(SafetyEngineTest, ChangesBetweenRenameAndReadBackAreRolledBack) {
    const std::string original = "p1\np2\nold\ns1\ns2\n";
    struct Case {
        std::string disturbed;
        const char* message;
    } cases[] = {
        {"p1\np2\nnew\ns1\nXX\n", "后缀区域被意外修改，已自动回滚"},
        {"p1\nXX\nnew\ns1\ns2\n", "前缀区域被意外修改，已自动回滚"},
        {"p1\np2\nnot new\ns1\ns2\n", "写入内容与预期不匹配，已自动回滚"},
        {"p1\np2\n", "写入内容与预期不匹配，已自动回滚"},             // too short
        {"p1\np2\nnew\ns1\ns2\xff\n", "写入内容与预期不匹配，已自动回滚"},  // not UTF-8
        {"", nullptr},                                                     // deleted
    };
    auto old_time = fs::file_time_type::clock::now() - std::chrono::hours(2);
    for (const auto& c : cases) {
        write_file(file, original);
        ::chmod(file.c_str(), 0640);
        fs::last_write_time(file, old_time);
        engine.set_after_rename_hook([&](const fs::path& p) {
            if (c.message) write_file(p, c.disturbed);
            else fs::remove(p);
        });
        auto msg = modification_error([&] { engine.apply_replace(file, 3, 3, {"new"}); });
        EXPECT_EQ(msg, c.message ? c.message : "写入内容与预期不匹配，已自动回滚");
        EXPECT_EQ(slurp(file), original);
        EXPECT_EQ(fs::last_write_time(file), old_time);
        EXPECT_EQ(mode_of(file), 0640u);
        EXPECT_TRUE(no_tmp());
    }
    // A read-back that equals the new lines after normalisation is accepted.
    engine.set_after_rename_hook([](const fs::path& p) { write_file(p, "p1\r\np2\r\nnew\r\ns1\r\ns2"); });
    write_file(file, original);
    engine.apply_replace(file, 3, 3, {"new"});
}

TEST_F(SafetyEngineTest, BadInputLeavesTheFileUntouched) {
    auto expect_code = [](auto&& f, std::errc code) {
        try {
            f();
            ADD_FAILURE() << "no error";
        } catch (const std::filesystem::filesystem_error& e) {
            EXPECT_EQ(e.code(), code) << e.what();
        }
    };
    expect_code([&] { engine.apply_replace(dir / "missing.md", 1, 1, {"x"}); },
                std::errc::no_such_file_or_directory);
    fs::create_directory(dir / "sub.md");
    expect_code([&] { engine.apply_replace(dir / "sub.md", 1, 0, {"x"}); }, std::errc::is_a_directory);
    EXPECT_EQ(count_files(backups), 0u);

    write_file(file, "a\nb\n");
    ::chmod(file.c_str(), 0444);
    expect_code([&] { engine.apply_replace(file, 1, 1, {"x"}); }, std::errc::permission_denied);
    ::chmod(file.c_str(), 0644);

    EXPECT_THROW(engine.apply_replace(file, 0, 1, {"x"}), std::invalid_argument);
    EXPECT_THROW(engine.apply_replace(file, 3, 1, {"x"}), std::invalid_argument);
    EXPECT_THROW(engine.apply_replace(file, 1, 1, {"x\ny"}), std::invalid_argument);
    EXPECT_THROW(engine.apply_replace(file, 1, 1, {"\xc3("}), std::invalid_argument);
    EXPECT_THROW(engine.apply_replace(file, 2, 3, {"x"}), std::invalid_argument);  // past the end
    EXPECT_EQ(slurp(file), "a\nb\n");

    write_file(file, "a\n\xff\n");
    EXPECT_THROW(engine.apply_replace(file, 1, 1, {"x"}), DecodeError);
    EXPECT_EQ(slurp(file), "a\n\xff\n");
    EXPECT_TRUE(no_tmp());
}

TEST_F(SafetyEngineTest, UnwritableBackupOrFullDiskLeavesTheFileUntouched) {
    write_file(file, "a\nb\n");
    fs::remove_all(backups);
    write_file(backups, "a file where the backup directory should be");
    EXPECT_THROW(engine.apply_replace(file, 1, 1, {"x"}), std::filesystem::filesystem_error);
    EXPECT_EQ(slurp(file), "a\nb\n");
    fs::remove(backups);

    // A file size limit stands in for a full disk (it binds root too).
    std::string big(4000, 'z');
    write_file(file, big + "\n");
    struct rlimit old {};
    ::getrlimit(RLIMIT_FSIZE, &old);
    auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
    auto limit = [&](rlim_t bytes) {
        struct rlimit r = old;
        r.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &r);
    };
    limit(1000);  // the backup cannot be written
    EXPECT_THROW(engine.apply_replace(file, 1, 1, {"x"}), std::filesystem::filesystem_error);
    limit(4500);  // the backup fits, the longer new text does not
    EXPECT_THROW(engine.apply_replace(file, 1, 1, {big, big}), std::filesystem::filesystem_error);
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, old_handler);

    EXPECT_EQ(slurp(file), big + "\n");
    EXPECT_TRUE(no_tmp());
    EXPECT_EQ(only_backup(), big + "\n");  // no partial backup from the first attempt
}

TEST_F(SafetyEngineTest, ReadersSeeWholeOldOrWholeNewFile) {
    std::string a, b;
    for (int i = 0; i < 2000; ++i) {
        a += "alpha " + std::to_string(i) + "\n";
        b += "beta " + std::to_string(i) + "\n";
    }
    write_file(file, a);
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop) {
            auto s = slurp(file);
            if (s != a && s != b) ++torn;
        }
    });
    auto lines_of = [](const std::string& t) { return detail::split_lines(t); };
    for (int i = 0; i < 20; ++i) {
        const auto& next = i % 2 ? a : b;
        engine.apply_replace(file, 1, 2000, lines_of(next));
    }
    stop = true;
    reader.join();
    EXPECT_EQ(torn, 0);
}
