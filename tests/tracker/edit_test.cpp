// Per-user activity rows and the once-per-UTC-day milestone.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/utsname.h>

#include <SQLiteCpp/SQLiteCpp.h>

#include <filesystem>
#include <fstream>

#include "quillbox/detail/sha256.h"
#include "quillbox/tracker.h"

using namespace quillbox;
namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

struct TrackerTest : ::testing::Test {
    fs::path dir;
    fs::path db;
    system_clock::time_point now = sys_days{2025y / 3 / 1} + 23h + 58min + 30s;
    ActivityRecord::Clock clock = [this] { return now; };

    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "qb-tracker-XXXXXX").string();
        ASSERT_TRUE(::mkdtemp(tmpl.data()));
        dir = tmpl;
        db = dir / "activity.db";
    }
    void TearDown() override { fs::remove_all(dir); }

    int rows() {
        SQLite::Database c(db.string());
        return c.execAndGet("SELECT COUNT(*) FROM aha_events").getInt();
    }
};

std::string fingerprint() {
    struct utsname u {};
    ::uname(&u);
    return detail::sha256_hex(std::string(u.nodename) + ":" + u.machine);
}

}  // namespace

TEST_F(TrackerTest, CreatesTableAndOneRowPerUser) {
    {
        ActivityRecord t(db, std::nullopt, clock);
        EXPECT_EQ(t.user_id(), fingerprint().substr(0, 16));
        SQLite::Statement q(t.conn(), "SELECT * FROM aha_events");
        ASSERT_TRUE(q.executeStep());
        EXPECT_EQ(q.getColumn("first_edit_at").getString(), "2025-03-01T23:58:30+00:00");
        EXPECT_EQ(q.getColumn("last_active_at").getString(), "2025-03-01T23:58:30+00:00");
        EXPECT_TRUE(q.getColumn("aha_triggered_at").isNull());
        EXPECT_TRUE(q.getColumn("aha_method").isNull());
        EXPECT_TRUE(q.getColumn("edits_to_aha").isNull());
    }
    now += 1h + 250ms;
    ActivityRecord again(db, std::nullopt, clock);  // finds the row
    again.record_edit();
    EXPECT_EQ(rows(), 1);
    auto last = again.conn().execAndGet("SELECT last_active_at FROM aha_events").getString();
    EXPECT_EQ(last, "2025-03-02T00:58:30.250000+00:00");
    auto first = again.conn().execAndGet("SELECT first_edit_at FROM aha_events").getString();
    EXPECT_EQ(first, "2025-03-01T23:58:30+00:00");
}

TEST_F(TrackerTest, MilestoneOncePerUtcDay) {
    // A zone far from UTC: its midnight must not matter.
    std::string old_tz = getenv("TZ") ? getenv("TZ") : "";
    bool had_tz = getenv("TZ") != nullptr;
    setenv("TZ", "Asia/Shanghai", 1);
    tzset();
    struct RestoreTz {
        std::string tz;
        bool had;
        ~RestoreTz() {
            if (had) setenv("TZ", tz.c_str(), 1);
            else unsetenv("TZ");
            tzset();
        }
    } restore_tz{old_tz, had_tz};

    ActivityRecord t(db, std::nullopt, clock);
    EXPECT_EQ(t.check_aha_trigger(2, 4999), std::nullopt);
    EXPECT_FALSE(t.has_seen_aha_today());
    EXPECT_TRUE(t.conn().execAndGet("SELECT aha_triggered_at FROM aha_events").isNull());

    now += 30s + 123456us;  // 23:59:00.123456 UTC
    auto hit = t.check_aha_trigger(3, 9000);  // both met: the edit count wins
    ASSERT_TRUE(hit);
    EXPECT_EQ(*hit, (AhaTrigger{true, "edit_count", 3, 9000}));
    SQLite::Statement q(t.conn(), "SELECT * FROM aha_events");
    ASSERT_TRUE(q.executeStep());
    EXPECT_EQ(q.getColumn("aha_triggered_at").getString(), "2025-03-01T23:59:00.123456+00:00");
    EXPECT_EQ(q.getColumn("edits_to_aha").getInt64(), 3);
    EXPECT_EQ(q.getColumn("tokens_to_aha").getInt64(), 9000);
    q.reset();

    EXPECT_TRUE(t.has_seen_aha_today());
    EXPECT_EQ(t.check_aha_trigger(50, 50000), std::nullopt);
    now += 59s;  // 23:59:59: still the same UTC day
    EXPECT_EQ(t.check_aha_trigger(50, 50000), std::nullopt);
    now += 1s;  // 00:00:00 UTC, whatever the local time zone says
    EXPECT_FALSE(t.has_seen_aha_today());
    EXPECT_EQ(t.check_aha_trigger(2, 5000), (AhaTrigger{true, "token_threshold", 2, 5000}));
    EXPECT_EQ(t.conn().execAndGet("SELECT aha_method FROM aha_events").getString(), "token_threshold");
}

TEST_F(TrackerTest, InstallSecretKeysTheUserId) {
    // Reference value: HMAC-SHA256(key "s3cret", "user_id:" + 64 x "f"), first 16 hex digits.
    EXPECT_EQ(ActivityRecord::_compute_user_id(std::string(64, 'f'), "s3cret"), "a48efdab92b6bd9a");
    auto secret = dir / ActivityRecord::INSTALL_SECRET_FILE_NAME;
    std::ofstream(secret) << "  s3cret\n";  // surrounding white space is not part of it
    ActivityRecord keyed(db, secret, clock);
    EXPECT_EQ(keyed.user_id(), ActivityRecord::_compute_user_id(fingerprint(), "s3cret"));
    EXPECT_NE(keyed.user_id(), ActivityRecord::_compute_user_id(fingerprint(), "other"));

    // Missing, empty or unreadable secrets fall back to the fingerprint form.
    const auto plain = fingerprint().substr(0, 16);
    EXPECT_NE(keyed.user_id(), plain);
    EXPECT_EQ(ActivityRecord(db, dir / "missing", clock).user_id(), plain);
    std::ofstream(dir / "empty") << " \n";
    EXPECT_EQ(ActivityRecord(db, dir / "empty", clock).user_id(), plain);
    EXPECT_EQ(ActivityRecord(db, dir, clock).user_id(), plain);  // a directory
    EXPECT_EQ(rows(), 2);
}

TEST_F(TrackerTest, CloseIsIdempotentAndFailuresAreClear) {
    ActivityRecord t(db, std::nullopt, clock);
    t.close();
    t.close();
    EXPECT_FALSE(t.is_open());
    EXPECT_THROW(t.record_edit(), std::logic_error);
    EXPECT_THROW(ActivityRecord(dir / "no" / "such" / "dir.db"), SQLite::Exception);
}

TEST_F(TrackerTest, ActivityKeptInTheIndexDatabaseByEarlierVersionsIsCarriedOver) {
    const fs::path older = dir / "index.db";
    {
        // An earlier version's index database: the indexer's tables beside aha_events.
        ActivityRecord t(older, std::nullopt, clock);
        t.conn().exec("CREATE TABLE blocks (id TEXT)");
        now -= 24h * 30;
        t.conn().exec("UPDATE aha_events SET first_edit_at = '2025-01-30T00:00:00+00:00'");
        now += 24h * 30;
        ASSERT_TRUE(t.check_aha_trigger(3, 0));
    }
    ActivityRecord t(db, std::nullopt, clock);
    EXPECT_EQ(t.import_from(dir / "missing.db"), 0);
    EXPECT_EQ(t.import_from(older), 1);
    EXPECT_EQ(rows(), 1);
    // Today's milestone was already shown: it is not shown twice.
    EXPECT_TRUE(t.has_seen_aha_today());
    EXPECT_FALSE(t.check_aha_trigger(10, 0));
    EXPECT_EQ(t.conn().execAndGet("SELECT first_edit_at FROM aha_events").getString(), "2025-01-30T00:00:00+00:00");
    // The older file is only read.
    SQLite::Database o(older.string());
    EXPECT_EQ(o.execAndGet("SELECT COUNT(*) FROM aha_events").getInt(), 1);
}
