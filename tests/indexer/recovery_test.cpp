// A healing index: a damaged file is moved aside and begun afresh, one that cannot be opened is
// kept in memory, and corruption met by an operation renews the index before it runs again.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "indexer/helpers.h"

namespace fs = std::filesystem;
using namespace quillbox;
using qbtest::read_file;

namespace {

// The rows the index holds for `f` as (title, lines) against what a parse of the file gives.
void expect_rows_match_file(Indexer& ix, const fs::path& f) {
    const auto rows = ix.list_blocks(f);
    const auto parsed = parse_markdown_file(f).blocks;
    ASSERT_EQ(rows.size(), parsed.size()) << f;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].title, parsed[i].title);
        EXPECT_EQ(rows[i].start_line, parsed[i].start_line);
        EXPECT_EQ(rows[i].end_line, parsed[i].end_line);
    }
}

void overwrite(const fs::path& p, off_t at, const std::string& bytes) {
    const int fd = ::open(p.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), at), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

struct Project {
    TempDir dir;
    fs::path db = dir.path / "index.db";
    std::vector<fs::path> docs;
    Project() {
        for (int i = 0; i < 12; ++i) {
            std::string text;
            for (int j = 0; j < 40; ++j) text += "# Section " + std::to_string(i) + "-" + std::to_string(j) + "\n\nbody\n\n";
            docs.push_back(write_file(dir.path / ("d" + std::to_string(i) + ".md"), text));
        }
        Indexer ix(db);
        for (const auto& d : docs) ix.index_file(d);
    }
};

}  // namespace

TEST(IndexRecovery, ADamagedFileIsMovedAsideAndTheIndexBegunAfresh) {
    const std::vector<std::pair<std::string, std::function<void(const fs::path&)>>> damages = {
        {"zeroed page", [](const fs::path& db) { overwrite(db, 4096 * 3, std::string(4096, '\0')); }},
        {"garbage header", [](const fs::path& db) { overwrite(db, 0, std::string(100, 'x')); }},
        {"truncated", [](const fs::path& db) { fs::resize_file(db, 4096 * 2 + 100); }},
        {"not a database", [](const fs::path& db) { write_file(db, std::string(5000, 't')); }},
    };
    for (const auto& [what, damage] : damages) {
        SCOPED_TRACE(what);
        Project p;
        damage(p.db);
        const std::string damaged_bytes = read_file(p.db);
        Indexer ix(p.db, Recovery::heal);
        EXPECT_FALSE(ix.in_memory());
        const auto notice = ix.take_notice();
        ASSERT_TRUE(notice);
        EXPECT_EQ(notice->kind, IndexNotice::Kind::renewed);
        EXPECT_TRUE(read_file(notice->moved_to) == damaged_bytes);  // kept as it was
        EXPECT_NE(notice->moved_to.filename().string().find("index.db.damaged-"), std::string::npos);
        EXPECT_FALSE(ix.take_notice());  // said once
        for (const auto& d : p.docs) ix.index_file(d);
        for (const auto& d : p.docs) expect_rows_match_file(ix, d);
        EXPECT_EQ(query1(ix, "PRAGMA quick_check"), "ok");
    }
}

TEST(IndexRecovery, AnIndexLinkedElsewhereIsNeverWrittenThrough) {
    Project p;
    TempDir outside;
    const fs::path foreign = outside.path / "other.db";
    {
        SQLite::Database other(foreign.string(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        other.exec("CREATE TABLE mine (x); INSERT INTO mine VALUES (1)");
    }
    const std::string before = read_file(foreign);
    fs::remove(p.db);
    fs::create_symlink(foreign, p.db);

    EXPECT_THROW((Indexer(p.db)), SQLite::Exception);
    Indexer ix(p.db, Recovery::heal);
    ix.index_file(p.docs[0]);
    EXPECT_EQ(read_file(foreign), before);
    EXPECT_FALSE(fs::is_symlink(p.db));
    const auto notice = ix.take_notice();
    ASSERT_TRUE(notice);
    EXPECT_TRUE(fs::is_symlink(notice->moved_to));  // the link itself, moved aside
}

TEST(IndexRecovery, AnIndexThatCannotBeOpenedIsKeptInMemory) {
    TempDir dir;
    const fs::path md = write_file(dir.path / "a.md", "# A\n## B\n");
    write_file(dir.path / "not-a-folder", "x");
    EXPECT_THROW((Indexer(dir.path / "not-a-folder" / "index.db")), IndexDatabaseError);
    Indexer ix(dir.path / "not-a-folder" / "index.db", Recovery::heal);
    EXPECT_TRUE(ix.in_memory());
    const auto notice = ix.take_notice();
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->kind, IndexNotice::Kind::memory);
    EXPECT_FALSE(notice->reason.empty());
    ix.index_file(md);
    expect_rows_match_file(ix, md);
}

TEST(IndexRecovery, CorruptionMetByAnOperationRenewsTheIndexAndTheOperationRunsAgain) {
    Project p;
    Indexer ix(p.db, Recovery::heal);
    ASSERT_FALSE(ix.take_notice());
    const auto rows = ix.list_blocks(p.docs[5]);
    ASSERT_FALSE(rows.empty());
    {
        SQLite::Database side = side_connection(ix);
        side.exec("PRAGMA wal_checkpoint(TRUNCATE)");
    }
    // Every page but the schema's zeroed; a commit through another connection then makes the
    // Indexer's connection drop its cached pages and read the damaged ones.
    const auto size = static_cast<off_t>(fs::file_size(p.db));
    for (off_t at = 4096; at < size; at += 4096) overwrite(p.db, at, std::string(4096, '\0'));
    {
        SQLite::Database side(p.db.string(), SQLite::OPEN_READWRITE);
        side.exec("PRAGMA user_version = 1");  // a commit that needs no page but the first
    }
    EXPECT_FALSE(ix.get_block(rows[0].uuid));  // no exception: a fresh index has no such id
    const auto notice = ix.take_notice();
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->kind, IndexNotice::Kind::renewed);
    ix.index_file(p.docs[5]);
    expect_rows_match_file(ix, p.docs[5]);
}
