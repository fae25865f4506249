// The index freshness check.

#include <SQLiteCpp/SQLiteCpp.h>

#include "fixture.h"
#include "quillbox/blockops/freshness.h"
#include "quillbox/detail/sha256.h"

using namespace quillbox;
using qbtest::Project;

namespace {

const char* kDoc = "# Intro\ntext\n## Setup\nstep one\nstep two\n";

}  // namespace

TEST_F(Project, FreshnessFollowsTouchesAndOutsideChanges) {
    const auto p = md("a.md", kDoc);
    const auto first = list(p);
    ASSERT_EQ(first.size(), 2u);

    SQLite::Database db((root / "index.db").string());
    auto row = [&] {
        SQLite::Statement q(db, "SELECT mtime, file_hash FROM file_index WHERE file_path = ?");
        q.bind(1, p.string());
        EXPECT_TRUE(q.executeStep());
        return std::pair{q.getColumn("mtime").getDouble(), q.getColumn("file_hash").getString()};
    };
    EXPECT_DOUBLE_EQ(row().first, file_state_of(p, {}).mtime);
    EXPECT_EQ(row().second, detail::sha256_hex(kDoc));
    EXPECT_EQ(list(p), first);  // fast path

    // Touch: new time, same bytes -> time refreshed, identifiers kept.
    std::filesystem::last_write_time(p, std::filesystem::last_write_time(p) + std::chrono::seconds(5));
    EXPECT_EQ(list(p), first);
    EXPECT_DOUBLE_EQ(row().first, file_state_of(p, {}).mtime);

    // Outside change: the sections still in their places keep their identifiers, a new one
    // gets its own.
    qbtest::write_file(p, "# Intro\ntext\n## Setup\nstep\n## Usage\nrun\n");
    std::filesystem::last_write_time(p, std::filesystem::last_write_time(p) + std::chrono::seconds(10));
    const auto changed = list(p);
    ASSERT_EQ(changed.size(), 3u);
    EXPECT_EQ(changed[0].uuid, first[0].uuid);
    EXPECT_EQ(changed[1].uuid, first[1].uuid);
    EXPECT_NE(changed[2].uuid, first[0].uuid);
    EXPECT_NE(changed[2].uuid, first[1].uuid);
    EXPECT_EQ(row().second, detail::sha256_hex(qbtest::read_file(p)));
    EXPECT_EQ(count_logs(LogLevel::warning), 0);
}

// A change that keeps the size and lands within a second of the recorded modification time,
// as two quick saves or a write cut short by a crash do, must not leave a stale listing.
TEST_F(Project, ANearbyModificationTimeIsNoReasonToTrustTheIndex) {
    const auto p = md("a.md", "# Intro\ntext\n## Setup\nstep\n");
    const auto first = list(p);
    const auto t = std::filesystem::last_write_time(p);
    qbtest::write_file(p, "# Intro\n## Setup\ntext\nstep\n");  // same size, other lines
    std::filesystem::last_write_time(p, t + std::chrono::milliseconds(300));
    const auto now = list(p);
    ASSERT_EQ(now.size(), 2u);
    EXPECT_EQ(now[1].start_line, 2);
}

// Equal figures are trusted only when the record was taken well after the last change: a
// change within the same tick of the clock would keep the time ("racily clean").
TEST_F(Project, EqualFiguresRecordedRightAfterAChangeAreCheckedByHash) {
    const auto p = md("a.md", "# Intro\ntext\n## Setup\nstep\n");
    const auto first = list(p);
    const auto t = std::filesystem::last_write_time(p);
    qbtest::write_file(p, "# Intro\n## Setup\ntext\nstep\n");
    std::filesystem::last_write_time(p, t);  // same time, size and inode
    ASSERT_EQ(list(p).at(1).start_line, 2);

    // Recorded long after the last change, equal figures are trusted without reading.
    std::filesystem::last_write_time(p, t - std::chrono::seconds(10));
    const auto again = list(p);  // figures changed, same bytes: rows kept, record refreshed
    SQLite::Database db((root / "index.db").string(), SQLite::OPEN_READWRITE);
    db.exec("UPDATE file_index SET file_hash = 'stale'");
    EXPECT_EQ(list(p), again);  // not re-hashed, or the stale hash would have rebuilt it
}

// An old record without the stat figures is re-hashed once, then trusted.
TEST_F(Project, ARecordFromBeforeTheFiguresIsRehashedOnce) {
    const auto p = md("a.md", kDoc);
    std::filesystem::last_write_time(p, std::filesystem::last_write_time(p) - std::chrono::seconds(10));
    const auto first = list(p);
    SQLite::Database db((root / "index.db").string(), SQLite::OPEN_READWRITE);
    db.exec("UPDATE file_index SET mtime_ns = -1, size = -1, inode = 0, recorded_at = 0");
    EXPECT_EQ(list(p), first);  // same bytes: identifiers kept
    EXPECT_EQ(db.execAndGet("SELECT size FROM file_index").getInt64(), static_cast<int64_t>(std::string(kDoc).size()));
}

// A re-index that fails halfway must not leave the file with no rows under a record that
// still vouches for its bytes: restoring those bytes would then list "0 blocks" for good.
TEST_F(Project, AFailedRebuildKeepsRowsAndRecordTogether) {
    const auto p = md("a.md", kDoc);
    const auto first = list(p);
    ASSERT_FALSE(first.empty());
    SQLite::Database db((root / "index.db").string(), SQLite::OPEN_READWRITE);
    db.exec("CREATE TRIGGER no_insert BEFORE INSERT ON blocks BEGIN SELECT RAISE(ABORT, 'refused'); END");
    qbtest::write_file(p, std::string(kDoc) + "## Extra\n");
    std::filesystem::last_write_time(p, std::filesystem::last_write_time(p) + std::chrono::seconds(5));
    EXPECT_EQ(list(p).size(), first.size() + 1);  // a parse answers meanwhile
    db.exec("DROP TRIGGER no_insert");
    qbtest::write_file(p, kDoc);  // back to the recorded bytes, as an undo does
    std::filesystem::last_write_time(p, std::filesystem::last_write_time(p) + std::chrono::seconds(9));
    EXPECT_EQ(list(p), first);
}

TEST_F(Project, UnusableIndexFallsBackToParse) {
    const auto p = md("a.md", kDoc);
    indexer->close();
    const std::string out = do_list_blocks(*session, p.string());
    EXPECT_NE(out.find("2 blocks:"), std::string::npos);
    ASSERT_EQ(count_logs(LogLevel::warning), 1);
    for (const auto& l : logs) {
        if (l.level == LogLevel::warning) {
            EXPECT_EQ(l.templ, "Index freshness check failed for %s: %s");
        }
    }

    // The fallback parse's own failure propagates.
    qbtest::write_file(p, "# bad \xff\n");
    EXPECT_THROW(do_list_blocks(*session, p.string()), DecodeError);
}
