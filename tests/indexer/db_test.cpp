// Opening the index database, migrations, the version step, errors and the block queries.
#include <gtest/gtest.h>

#include <set>

#include "indexer/helpers.h"

namespace fs = std::filesystem;
using namespace quillbox;

namespace {

std::set<std::string> names(SQLite::Database& db, const char* type) {
    SQLite::Statement q(db, "SELECT name FROM sqlite_master WHERE type = ? AND name NOT LIKE 'sqlite_%'");
    q.bind(1, type);
    std::set<std::string> out;
    while (q.executeStep()) out.insert(q.getColumn(0).getString());
    return out;
}

std::string text(SQLite::Database& db, const std::string& sql) {
    SQLite::Statement q(db, sql);
    if (!q.executeStep()) return "<no row>";
    return q.getColumn(0).getString();
}

}  // namespace

TEST(InitDb, NewFileGetsTheSchemaWalAndTheVersionRow) {
    TempDir dir;
    auto db = _init_db(dir.path() / "index.db");
    EXPECT_EQ(names(*db, "table"),
              (std::set<std::string>{"blocks", "projects", "stats", "backups", "schema_version"}));
    EXPECT_EQ(names(*db, "index"),
              (std::set<std::string>{"idx_blocks_file", "idx_blocks_title", "idx_blocks_uuid"}));
    EXPECT_EQ(text(*db, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(text(*db, "PRAGMA busy_timeout"), "5000");
    EXPECT_EQ(text(*db, "SELECT value FROM schema_version WHERE key='quillbox_version'"), quillbox_version());
    EXPECT_EQ(text(*db, "SELECT count(*) FROM schema_version"), "1");
    EXPECT_FALSE(quillbox_version().empty());
}

TEST(InitDb, ReopeningKeepsBlocksAndAVersionChangeClearsThem) {
    TempDir dir;
    fs::path dbp = dir.path() / "index.db", md = dir.path() / "a.md";
    write_file(md, "# A\n## B\n");
    {
        Indexer ix(dbp);
        ix.index_file(md);
    }
    {
        Indexer ix(dbp);
        EXPECT_EQ(ix.list_blocks(md).size(), 2u);
        ix.conn().exec("UPDATE schema_version SET value = 'old-release' WHERE key = 'quillbox_version'");
    }
    Indexer ix(dbp);
    EXPECT_TRUE(ix.list_blocks(md).empty());
    EXPECT_EQ(text(ix.conn(), "SELECT value FROM schema_version"), quillbox_version());
}

TEST(InitDb, OldSchemaGainsColumnsAndKeepsRowsWithoutAVersionRow) {
    TempDir dir;
    fs::path dbp = dir.path() / "old.db";
    {
        SQLite::Database db(dbp, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        db.exec(
            "CREATE TABLE blocks (id TEXT PRIMARY KEY, file_path TEXT NOT NULL, start_line INTEGER NOT NULL,"
            " end_line INTEGER NOT NULL, title TEXT NOT NULL, level INTEGER NOT NULL,"
            " content_hash TEXT NOT NULL, created_at TIMESTAMP DEFAULT CURRENT_TIMESTAMP,"
            " updated_at TIMESTAMP DEFAULT CURRENT_TIMESTAMP);"
            "INSERT INTO blocks (id, file_path, start_line, end_line, title, level, content_hash)"
            " VALUES ('u1', '/x/a.md', 1, 3, 'Old', 2, 'h');");
        // Rows read before the migration have no heading_path/block_type columns.
        SQLite::Statement q(db, "SELECT * FROM blocks");
        ASSERT_TRUE(q.executeStep());
        Block b = _row_to_block(q);
        EXPECT_EQ(b.heading_path, "");
        EXPECT_EQ(b.block_type, "heading");
        EXPECT_EQ(b.title, "Old");
        EXPECT_EQ(b.file_path, fs::path("/x/a.md"));
    }
    Indexer ix(dbp);
    EXPECT_EQ(text(ix.conn(), "SELECT heading_path || '|' || block_type || '|' || last_seen FROM blocks"),
              "|heading|0");
    auto b = ix.get_block("u1");
    ASSERT_TRUE(b);
    EXPECT_EQ(b->start_line, 1);
    EXPECT_EQ(b->end_line, 3);
    EXPECT_EQ(b->level, 2);
    EXPECT_EQ(text(ix.conn(), "SELECT value FROM schema_version"), quillbox_version());
}

TEST(InitDb, BadFilesRaiseAnErrorNamingTheFile) {
    TempDir dir;
    fs::path missing = dir.path() / "no-such-dir" / "index.db";
    try {
        Indexer ix(missing);
        FAIL() << "opened";
    } catch (const IndexDatabaseError& e) {
        EXPECT_NE(std::string(e.what()).find(missing.string()), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("does not exist"), std::string::npos) << e.what();
        EXPECT_EQ(e.db_path(), missing);
    }
    fs::path junk = dir.path() / "junk.db";
    write_file(junk, std::string(4096, 'x'));
    try {
        Indexer ix(junk);
        FAIL() << "opened";
    } catch (const SQLite::Exception& e) {
        EXPECT_NE(std::string(e.what()).find(junk.string()), std::string::npos) << e.what();
    }
}

TEST(Indexer, CloseIsIdempotentAndLaterCallsFailClearly) {
    TempDir dir;
    Indexer ix(dir.path() / "index.db");
    ix.close();
    ix.close();
    try {
        ix.list_blocks(dir.path() / "a.md");
        FAIL() << "no error";
    } catch (const IndexDatabaseError& e) {
        EXPECT_NE(std::string(e.what()).find("closed"), std::string::npos);
    }
    EXPECT_THROW(ix.get_block("x"), SQLite::Exception);
    EXPECT_THROW(ix.index_file(dir.path() / "a.md"), std::exception);
    EXPECT_THROW(ix.conn(), IndexDatabaseError);
}

TEST(Indexer, StatsAndLineUpdates) {
    TempDir dir;
    fs::path md = dir.path() / "a.md";
    write_file(md, "# A\ntext\n# B\n");
    Indexer ix(dir.path() / "index.db");
    ix.index_file(md);
    auto a = ix.list_blocks(md).at(0);

    ix.record_operation("2026-01-02", "replace_block", md.string(), a.uuid, 42);
    EXPECT_EQ(text(ix.conn(), "SELECT date || '|' || operation_type || '|' || block_id || '|' || tokens_saved FROM stats"),
              "2026-01-02|replace_block|" + a.uuid + "|42");

    ix.conn().exec("UPDATE blocks SET updated_at = '2000-01-01 00:00:00', last_seen = 7");
    ix.update_block_lines(a.uuid, 5, 9);
    ix.update_block_lines("no-such-id", 1, 1);  // no error
    auto moved = ix.get_block(a.uuid);
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->start_line, 5);
    EXPECT_EQ(moved->end_line, 9);
    EXPECT_EQ(moved->content_hash, a.content_hash);
    EXPECT_EQ(moved->title, a.title);
    SQLite::Statement q(ix.conn(), "SELECT last_seen, updated_at FROM blocks WHERE id = ?");
    q.bind(1, a.uuid);
    ASSERT_TRUE(q.executeStep());
    EXPECT_EQ(q.getColumn(0).getInt(), 7);
    EXPECT_NE(q.getColumn(1).getString(), "2000-01-01 00:00:00");
    EXPECT_FALSE(ix.get_block("no-such-id"));
}

TEST(Indexer, TitleSearchEscapesLikeAndFoldsAsciiCaseOnly) {
    TempDir dir;
    fs::path md = dir.path() / "a.md", other = dir.path() / "b.md";
    write_file(md,
               "# 50% done\n# 500 items\n# a_b\n# axb\n# back\\slash\n# API Reference\n# \xC3\x89t\xC3\xA9\n");
    write_file(other, "# Other API\n");
    Indexer ix(dir.path() / "index.db");
    ix.index_file(md);
    ix.index_file(other);
    auto titles = [](const std::vector<Block>& bs) {
        std::vector<std::string> t;
        for (auto& b : bs) t.push_back(b.title);
        return t;
    };
    EXPECT_EQ(titles(ix.search_blocks_by_title("50%")), std::vector<std::string>{"50% done"});
    EXPECT_EQ(titles(ix.search_blocks_by_title("a_b")), std::vector<std::string>{"a_b"});
    EXPECT_EQ(titles(ix.search_blocks_by_title("k\\s")), std::vector<std::string>{"back\\slash"});
    EXPECT_EQ(titles(ix.search_blocks_by_title("api", md)), std::vector<std::string>{"API Reference"});
    EXPECT_EQ(ix.search_blocks_by_title("api").size(), 2u);
    EXPECT_TRUE(ix.search_blocks_by_title("\xC3\xA9t\xC3\xA9").empty());  // é does not fold to É
    EXPECT_EQ(titles(ix.search_blocks_by_title("t\xC3\xA9")), std::vector<std::string>{"\xC3\x89t\xC3\xA9"});
    EXPECT_EQ(ix.search_blocks_by_title("", md).size(), 7u);
    EXPECT_EQ(ix.search_blocks_by_title("").size(), 8u);
}
