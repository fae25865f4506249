// The verified write protocol: backups, atomic replacement, read-back and rollback.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <set>
#include <ctime>
#include <optional>
#include <thread>

#include "quillbox/detail/confine.h"
#include "quillbox/detail/limits.h"
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

// The kind of the ModificationError `f` raises, with its file and backup.
template <class F>
std::optional<ModificationError> write_failure(F&& f) {
    try {
        f();
    } catch (const ModificationError& e) {
        return e;
    }
    return std::nullopt;
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

    write_file(file, "x\ny\n");
    fs::create_symlink(file, dir / "link.md");  // the target changes, the link stays
    engine.apply_replace(dir / "link.md", 1, 1, {"via link"});
    EXPECT_TRUE(fs::is_symlink(dir / "link.md"));
    EXPECT_EQ(read_file(file), "via link\ny\n");
}

TEST_F(SafetyEngineTest, UntouchedLinesKeepTheirEndsAndNewLinesTakeTheCommonOne) {
    struct Case {
        const char* before;
        long start, end;
        std::vector<std::string> lines;
        const char* after;
    };
    const Case cases[] = {
        // CRLF and CR files stay what they are.
        {"a\r\nb\r\nc\r\n", 2, 2, {"B"}, "a\r\nB\r\nc\r\n"},
        {"a\r\nb\r\nc\r\n", 2, 2, {"B", "new"}, "a\r\nB\r\nnew\r\nc\r\n"},
        {"a\rb\rc\r", 2, 2, {"B"}, "a\rB\rc\r"},
        // Mixed: a changed line keeps its end, an added one takes the most common end.
        {"a\r\nb\nc\r\nd\r\n", 2, 2, {"B"}, "a\r\nB\nc\r\nd\r\n"},
        {"a\r\nb\nc\r\nd\r\n", 2, 2, {"B", "x"}, "a\r\nB\nx\r\nc\r\nd\r\n"},
        {"a\nb\r\n", 3, 2, {"c"}, "a\nb\r\nc\n"},  // a tie goes to the line feed
        // Lines that only move keep their ends.
        {"1\r\n2\n3\r\n", 1, 3, {"3", "1", "2"}, "3\r\n1\r\n2\n"},
        // A missing final line end stays missing, wherever the last line comes from.
        {"a\nb", 2, 2, {"B"}, "a\nB"},
        {"a\r\nb", 3, 2, {"c"}, "a\r\nb\r\nc"},
        {"a\nb", 2, 2, {}, "a"},
        {"a\nb", 1, 1, {"A", "A2"}, "A\nA2\nb"},
        {"a\nb", 2, 2, {"B", ""}, "a\nB\n\n"},  // an empty last line needs its end
        {"a\n", 1, 1, {}, ""},
        {"", 1, 0, {"a"}, "a\n"},
        // A lone CR end never pairs with a following line feed into one line end.
        {"a\rb\nc\n", 2, 2, {""}, "a\r\n\nc\n"},
        {"a\rb\n\nc\n", 2, 2, {}, "a\r\n\nc\n"},
        // A byte-order mark and white space at line ends are part of the lines.
        {"\xEF\xBB\xBF# T \r\nx\t\r\n", 2, 2, {"y\t"}, "\xEF\xBB\xBF# T \r\ny\t\r\n"},
    };
    for (const auto& c : cases) {
        write_file(file, c.before);
        engine.apply_replace(file, c.start, c.end, c.lines);
        EXPECT_EQ(read_file(file), c.after) << "before: " << ::testing::PrintToString(std::string(c.before));
    }
}

TEST_F(SafetyEngineTest, WritesOverTheLimitsAreRefusedBeforeAnything) {
    write_file(file, "a\nb\n");
    const std::string big(MAX_FILE_SIZE, 'x');
    EXPECT_THROW(engine.apply_replace(file, 1, 1, {big}), FileTooLargeError);
    std::vector<std::string> many(MAX_FILE_LINES, "l");
    EXPECT_THROW(engine.apply_replace(file, 1, 1, many), FileTooLargeError);  // one line more
    EXPECT_EQ(read_file(file), "a\nb\n");
    EXPECT_TRUE(backup_files().empty());
    EXPECT_TRUE(no_tmp());
    // Exactly at the limits is accepted.
    engine.apply_replace(file, 1, 2, many);
    EXPECT_EQ(fs::file_size(file), 2 * MAX_FILE_LINES);
    engine.apply_replace(file, 1, MAX_FILE_LINES, {std::string(MAX_FILE_SIZE - 1, 'y')});
    EXPECT_EQ(fs::file_size(file), MAX_FILE_SIZE);
}

TEST_F(SafetyEngineTest, PermissionsAndBackupMetadataSurvive) {
    write_file(file, "a\nb\n");
    ::chmod(file.c_str(), 0751);
    auto old_time = fs::file_time_type::clock::now() - std::chrono::hours(30);
    fs::last_write_time(file, old_time);
    engine.apply_replace(file, 1, 1, {"A"});
    // The write's backup keeps the mode and time of the bytes it holds.
    const auto last = engine.last_write(file);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->backup.parent_path(), backups);
    EXPECT_EQ(mode_of(last->backup), 0751u);
    EXPECT_EQ(fs::last_write_time(last->backup), old_time);
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

// Several writes within one second (or one clock tick) each keep their own backup: the first
// one still holds the original. Files of one name in different folders never share one.
TEST_F(SafetyEngineTest, BackupsNeverOverwriteEachOther) {
    std::tm local{};
    local.tm_year = 125, local.tm_mon = 2, local.tm_mday = 1;
    local.tm_hour = 14, local.tm_min = 5, local.tm_sec = 9, local.tm_isdst = -1;
    const std::time_t at = std::mktime(&local);
    engine.set_clock([&] { return at; });
    write_file(file, "v1\n");
    engine.apply_replace(file, 1, 1, {"v2"});
    engine.apply_replace(file, 1, 1, {"v3"});
    engine.apply_replace(file, 1, 1, {"v4"});
    auto names = backup_files();
    ASSERT_EQ(names.size(), 3u);
    const fs::path original = backups / ("2025-03-01_14-05-09.000000" + names[0].filename().string().substr(
                                                      names[0].filename().string().find('_', 11)));
    ASSERT_TRUE(fs::exists(original));
    EXPECT_EQ(read_file(original), "v1\n");
    EXPECT_TRUE(original.filename().string().ends_with("_notes.md.bak"));
    std::multiset<std::string> contents;
    for (auto& n : names) contents.insert(read_file(n));
    EXPECT_EQ(contents, (std::multiset<std::string>{"v1\n", "v2\n", "v3\n"}));

    fs::create_directory(dir / "other");
    write_file(dir / "other" / "notes.md", "elsewhere\n");
    engine.apply_replace(dir / "other" / "notes.md", 1, 1, {"x"});
    EXPECT_EQ(backup_files().size(), 4u);
    std::set<std::string> tails;  // what follows the stamp names the folder and the file
    for (auto& n : backup_files()) {
        std::string name = n.filename().string();
        tails.insert(name.substr(name.find('_', 11)));
    }
    EXPECT_EQ(tails.size(), 2u);
}

TEST_F(SafetyEngineTest, RetentionAndStartUpCleanup) {
    engine.set_retention({.keep_per_file = 3, .max_age_days = 1});
    write_file(file, "v0\n");
    for (int i = 1; i <= 5; ++i) engine.apply_replace(file, 1, 1, {"v" + std::to_string(i)});
    std::multiset<std::string> kept;
    for (auto& n : backup_files()) kept.insert(read_file(n));
    EXPECT_EQ(kept, (std::multiset<std::string>{"v2\n", "v3\n", "v4\n"}));  // the newest three

    // Left by a killed write: a partial backup and a temporary file beside the document, both
    // older than a minute; and fresh ones, which may belong to a write in progress.
    auto old_time = fs::file_time_type::clock::now() - std::chrono::minutes(2);
    const fs::path partial = backups / ".2025-03-01_14-05-09.000000_abcd1234_notes.md.bak.quillbox-Ab12Cd";
    const fs::path tmp = dir / "sub" / "x.md.quillbox-tmp";
    fs::create_directories(tmp.parent_path());
    for (const auto& p : {partial, tmp}) {
        write_file(p, "partial");
        fs::last_write_time(p, old_time);
    }
    write_file(dir / "y.md.quillbox-tmp", "fresh, but nobody writes y.md");
    const fs::path ancient = backups / "2020-01-01_00-00-00.000000_abcd1234_old.md.bak";
    write_file(ancient, "old");
    fs::last_write_time(ancient, fs::file_time_type::clock::now() - std::chrono::hours(48));

    // Not of Quillbox's naming, though the endings match: left alone however old they are.
    const std::vector<fs::path> foreign = {backups / "notes.bak", backups / "photo.quillbox-tmp",
                                           backups / "2020-01-01_old.bak", backups / ".x.quillbox-tmp"};
    for (const auto& p : foreign) {
        write_file(p, "someone else's");
        fs::last_write_time(p, fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));
    }

    EXPECT_EQ(engine.cleanup(dir.path), 4u);
    for (const auto& p : foreign) {
        EXPECT_TRUE(fs::exists(p)) << p;
        fs::remove(p);
    }
    EXPECT_FALSE(fs::exists(partial));
    EXPECT_FALSE(fs::exists(tmp));
    EXPECT_FALSE(fs::exists(ancient));
    EXPECT_FALSE(fs::exists(dir / "y.md.quillbox-tmp"));
    EXPECT_EQ(backup_files().size(), 3u);

    // A second server starting while this one writes leaves the write's temporary file alone.
    SafetyEngine starting(backups);
    engine.set_before_rename_hook([&](const fs::path&) {
        EXPECT_EQ(starting.cleanup(dir.path), 0u);
        EXPECT_TRUE(fs::exists(dir / "notes.md.quillbox-tmp"));
    });
    engine.apply_replace(file, 1, 1, {"v6"});
    EXPECT_EQ(read_file(file), "v6\n");
}

TEST_F(SafetyEngineTest, ABackupsFolderLinkedOutOfTheRootIsNotCleanedUp) {
    qbtest::TempDir outside;
    const fs::path own = outside.path / "2020-01-01_00-00-00.000000_abcd1234_old.md.bak";
    write_file(own, "old");
    fs::last_write_time(own, fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));
    const fs::path linked = dir / "linked-backups";
    fs::create_symlink(outside.path, linked);
    quillbox::detail::set_confinement_root(dir.path);
    SafetyEngine cloned(linked);
    cloned.set_retention({.keep_per_file = 1, .max_age_days = 1});
    EXPECT_EQ(cloned.cleanup(), 0u);
    quillbox::detail::set_confinement_root({});
    EXPECT_TRUE(fs::exists(own));
}

TEST_F(SafetyEngineTest, BusyWriterCancelsTheWriteButNotTheCheck) {
    FileWrites tracker;
    SafetyEngine guarded(backups, &tracker);
    write_file(file, "a\nb\n");
    tracker.mark_write_start(file);
    const auto busy = write_failure([&] { guarded.apply_replace(file, 1, 1, {"x"}); });
    ASSERT_TRUE(busy);
    EXPECT_EQ(busy->kind(), WriteFailure::writer_busy);
    EXPECT_EQ(busy->file(), file);
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
    EXPECT_EQ(fs_error_code(call), std::errc::no_such_file_or_directory);
}

// Another program that changes the file after the rename owns what it wrote: nothing is
// rolled back over it, and the error says where the previous content is.
TEST_F(SafetyEngineTest, ChangesAfterTheRenameAreLeftAlone) {
    const std::string original = "p1\np2\nold\ns1\ns2\n";
    const char* cases[] = {
        "p1\np2\nnew\ns1\nXX\n", "p1\nXX\nnew\ns1\ns2\n", "p1\np2\nnot new\ns1\ns2\n",
        "p1\np2\n", "p1\np2\nnew\ns1\ns2\xff\n", nullptr,  // deleted
    };
    for (const char* disturbed : cases) {
        write_file(file, original);
        engine.set_after_rename_hook([&](const fs::path& p) {
            if (disturbed) write_file(p, disturbed);
            else fs::remove(p);
        });
        const auto got = write_failure([&] { engine.apply_replace(file, 3, 3, {"new"}); });
        ASSERT_TRUE(got);
        EXPECT_EQ(got->kind(), WriteFailure::overwritten);
        EXPECT_EQ(got->backup().parent_path(), backups);
        EXPECT_EQ(read_file(got->backup()), original);
        if (disturbed) EXPECT_EQ(read_file(file), disturbed);
        else EXPECT_FALSE(fs::exists(file));
        EXPECT_TRUE(no_tmp());
    }
    // The read-back must be exactly what was written: other line ends or a lost final line
    // feed are someone else's bytes too, and stay.
    for (const char* other : {"p1\r\np2\r\nnew\r\ns1\r\ns2", "p1\np2\nnew\ns1\ns2"}) {
        write_file(file, original);
        engine.set_after_rename_hook([&](const fs::path& p) { write_file(p, other); });
        const auto got = write_failure([&] { engine.apply_replace(file, 3, 3, {"new"}); });
        EXPECT_TRUE(got && got->kind() == WriteFailure::overwritten);
        EXPECT_EQ(read_file(file), other);
    }
}

// An editor that saves between the read for the write and the rename (in place or by its own
// rename) keeps its save: the write is refused as a changed file, nothing of it lands.
TEST_F(SafetyEngineTest, SavesRacingTheWriteAreNotLost) {
    for (bool by_rename : {false, true}) {
        write_file(file, "a\nb\nc\n");
        engine.set_before_rename_hook([&](const fs::path& p) {
            if (by_rename) {
                write_file(dir / "editor.tmp", "a\nb\nc\nuser\n");
                fs::rename(dir / "editor.tmp", p);
            } else {
                write_file(p, "a\nb\nc\nuser\n");
            }
        });
        EXPECT_THROW(engine.apply_replace(file, 1, 1, {"A"}), FileChangedError);
        EXPECT_EQ(read_file(file), "a\nb\nc\nuser\n");
        EXPECT_TRUE(no_tmp());
    }
    engine.set_before_rename_hook(nullptr);

    // The basis: the range or the whole file must still be what the caller computed from.
    write_file(file, "a\nb\nc\n");
    const auto before = backup_files().size();
    EXPECT_THROW(engine.apply_replace(file, 2, 2, {"B"}, WriteBasis::range(compute_hash("x"))), FileChangedError);
    EXPECT_THROW(engine.apply_replace(file, 1, 3, {"z"}, WriteBasis::file(compute_hash("a\nb\n"))), FileChangedError);
    EXPECT_THROW(engine.apply_replace(file, 2, 9, {"B"}, WriteBasis::range(compute_hash("b"))), FileChangedError);
    EXPECT_EQ(read_file(file), "a\nb\nc\n");
    EXPECT_EQ(backup_files().size(), before);
    engine.apply_replace(file, 2, 2, {"B"}, WriteBasis::range(compute_hash("b")));
    engine.apply_replace(file, 1, 3, {"z"}, WriteBasis::file(compute_hash("a\nB\nc\n")));
    EXPECT_EQ(read_file(file), "z\n");
}

// Two engines (two Quillbox processes) writing one file take turns: the second reads the file
// only after the first finished, so neither loses the other's line.
TEST_F(SafetyEngineTest, WritersOfOneFileTakeTurns) {
    SafetyEngine other(backups);
    write_file(file, "a\nb\nc\n");
    std::thread second;
    std::atomic<bool> second_done{false};
    engine.set_before_rename_hook([&](const fs::path&) {
        second = std::thread([&] {
            other.apply_replace(file, 3, 3, {"C"});
            second_done = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_FALSE(second_done.load());
    });
    engine.apply_replace(file, 1, 1, {"A"});
    second.join();
    EXPECT_EQ(read_file(file), "A\nb\nC\n");

    // A holder that never lets go: the wait is bounded and the refusal says so.
    engine.set_before_rename_hook([&](const fs::path&) {
        const auto got = write_failure([&] { other.apply_replace(file, 2, 2, {"x"}); });
        EXPECT_TRUE(got && got->kind() == WriteFailure::locked);
    });
    engine.apply_replace(file, 2, 2, {"B"});
    EXPECT_EQ(read_file(file), "A\nB\nC\n");
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
    // No partial backup from the first attempt, and none for a new text that could not be
    // written.
    EXPECT_TRUE(backup_files().empty());
}

TEST_F(SafetyEngineTest, AWriteThroughAFolderNowLinkedOutsideTheRootIsRefused) {
    qbtest::TempDir outside;
    outside.write("sub/notes.md", "theirs\n");
    fs::create_symlink(outside / "sub", dir / "sub");
    detail::set_confinement_root(dir.path);
    EXPECT_THROW(engine.apply_replace(dir / "sub" / "notes.md", 1, 1, {"ours"}), detail::OutsideRootError);
    detail::set_confinement_root({});
    EXPECT_EQ(read_file(outside / "sub" / "notes.md"), "theirs\n");
    EXPECT_TRUE(backup_files().empty());
}

// The watcher lets the engine's own writes pass: their events set no write mark and call
// nobody back, so the next write does not wait. Someone else's change is still seen, also
// one that keeps the file's size and time right after our write, or one racing the write.
TEST_F(SafetyEngineTest, OwnWritesMakeNobodyWaitButOthersChangesAreSeen) {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<fs::path> calls;
    auto count = [&](const fs::path& p) {
        std::lock_guard<std::mutex> lk(mu);
        return std::count(calls.begin(), calls.end(), p);
    };
    FileWatcher watcher(dir.path, [&](const fs::path& p) {
        std::lock_guard<std::mutex> lk(mu);
        calls.push_back(p);
        cv.notify_all();
    }, 0.1);
    SafetyEngine guarded(backups, &watcher.file_writes());
    write_file(file, "# A\none\n# B\ntwo\n");
    watcher.start();
    // Events arrive in order and timers of one window fire in order: once a later outside
    // change of another file was called back, an event of ours would have been too.
    const fs::path other = dir / "other.md";
    auto settle = [&] {
        const auto before = count(other);
        write_file(other, "x" + std::to_string(before) + "\n");
        std::unique_lock<std::mutex> lk(mu);
        EXPECT_TRUE(cv.wait_for(lk, std::chrono::seconds(10), [&] {
            return std::count(calls.begin(), calls.end(), other) > before;
        }));
        lk.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    };

    for (const char* line : {"uno", "eins", "one"}) {
        guarded.apply_replace(file, 2, 2, {line});
        EXPECT_TRUE(watcher.wait_for_write_quiet(file, 0.0));
    }
    settle();
    EXPECT_EQ(count(file), 0);
    EXPECT_TRUE(watcher.wait_for_write_quiet(file, 0.0));

    // An in-place save right after ours, same size and time: seen by its bytes.
    guarded.apply_replace(file, 4, 4, {"owt"});
    const auto mtime = fs::last_write_time(file);
    {
        std::fstream f(file, std::ios::in | std::ios::out);
        f.seekp(0);
        f << "#";  // the same byte: the content is unchanged, and no less a change to judge
        f.seekp(static_cast<std::streamoff>(std::string("# A\none\n# B\n").size()));
        f << "TWO";
    }
    fs::last_write_time(file, mtime);
    settle();
    EXPECT_EQ(count(file), 1);
    EXPECT_FALSE(watcher.file_writes().own_write(file));

    // A save racing our write (after the rename) is someone else's, and so is the file after it.
    guarded.set_after_rename_hook([&](const fs::path& p) { write_file(p, "# A\nmine\n"); });
    EXPECT_THROW(guarded.apply_replace(file, 2, 2, {"ours"}), ModificationError);
    guarded.set_after_rename_hook(nullptr);
    settle();
    EXPECT_EQ(count(file), 2);
    EXPECT_EQ(read_file(file), "# A\nmine\n");
}
