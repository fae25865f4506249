// Opening the index database, migrations, the version step, errors and the block queries.
#include <gtest/gtest.h>

#include "indexer/helpers.h"

namespace fs = std::filesystem;
using namespace quillbox;

TEST(InitDb, NewFileGetsTheSchemaWalAndTheVersionRow) {
    TempDir dir;
    auto db = _init_db(dir.path / "index.db");
    auto names = [&](const char* type) {
        return query1(*db, std::string("SELECT group_concat(name) FROM (SELECT name FROM sqlite_master WHERE type='") +
                               type + "' AND name NOT LIKE 'sqlite_%' ORDER BY name)");
    };
    EXPECT_EQ(names("table"),
              "backups,blocks,file_index,projects,retired_blocks,schema_version,sections,sections_fts,"
              "sections_fts_config,sections_fts_data,sections_fts_docsize,sections_fts_idx,sections_gone,sections_vocab,stats");
    EXPECT_EQ(names("index"), "idx_blocks_file_line,idx_blocks_title");
    EXPECT_EQ(names("trigger"), "blocks_after_delete,sections_after_delete,sections_after_insert");
    EXPECT_EQ(query1(*db, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(query1(*db, "PRAGMA busy_timeout"), "5000");
    EXPECT_EQ(query1(*db, "SELECT group_concat(key || '=' || value) FROM (SELECT * FROM schema_version ORDER BY key)"),
              "line_rule=commonmark,quillbox_version=" + quillbox_version());
}

TEST(InitDb, FilesSplitByTheOldLineRuleAreReindexedOnce) {
    TempDir dir;
    fs::path dbp = dir.path / "index.db";
    fs::path ff = dir.path / "ff.md", plain = dir.path / "plain.md", ls = dir.path / "ls.md";
    fs::path gone = dir.path / "gone.md";
    write_file(ff, "# A\nx\fy\n# B\n");
    write_file(ls, "# A\nx\xe2\x80\xa8y\n");
    write_file(plain, "# A\nx\n");
    const FileState state{1.0, "h"};
    {
        Indexer ix(dbp);
        for (const auto& p : {ff, ls, plain, gone}) ix.record_file_state(p, state);
        exec_sql(ix, "DELETE FROM schema_version WHERE key = 'line_rule'");  // an older database
    }
    {
        Indexer ix(dbp);
        EXPECT_FALSE(ix.file_state(ff));
        EXPECT_FALSE(ix.file_state(ls));
        EXPECT_EQ(ix.file_state(plain), state);
        EXPECT_EQ(ix.file_state(gone), state);  // the next check finds it missing anyway
        ix.record_file_state(ff, state);
    }
    Indexer ix(dbp);  // once only
    EXPECT_EQ(ix.file_state(ff), state);
}

TEST(InitDb, AVersionChangeClearsBlocksAndAnOldSchemaIsMigratedKeepingRows) {
    TempDir dir;
    fs::path dbp = dir.path / "index.db", md = dir.path / "a.md";
    write_file(md, "# A\n## B\n");
    {
        Indexer ix(dbp);
        ix.index_file(md);
    }
    {
        Indexer ix(dbp);  // same version: kept
        EXPECT_EQ(ix.list_blocks(md).size(), 2u);
        exec_sql(ix, "UPDATE schema_version SET value = 'old-release'");
    }
    {
        Indexer ix(dbp);
        EXPECT_TRUE(ix.list_blocks(md).empty());
        EXPECT_EQ(query1(ix, "SELECT value FROM schema_version WHERE key = 'quillbox_version'"), quillbox_version());
    }

    // A file from before heading_path, block_type, last_seen and the version table.
    fs::path old = dir.path / "old.db";
    {
        SQLite::Database db(old, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        db.exec("CREATE TABLE blocks (id TEXT PRIMARY KEY, file_path TEXT NOT NULL, start_line INTEGER NOT NULL,"
                " end_line INTEGER NOT NULL, title TEXT NOT NULL, level INTEGER NOT NULL, content_hash TEXT NOT NULL,"
                " created_at TIMESTAMP DEFAULT CURRENT_TIMESTAMP, updated_at TIMESTAMP DEFAULT CURRENT_TIMESTAMP);"
                "INSERT INTO blocks (id, file_path, start_line, end_line, title, level, content_hash)"
                " VALUES ('u1', '/x/a.md', 1, 3, 'Old', 2, 'h');"
                "CREATE INDEX idx_blocks_file ON blocks(file_path); CREATE INDEX idx_blocks_uuid ON blocks(id);");
    }
    Indexer ix(old);
    EXPECT_EQ(query1(ix, "SELECT heading_path || '|' || block_type || '|' || last_seen FROM blocks"),
              "|heading|0");
    EXPECT_EQ(ix.get_block("u1"), (Block{"u1", "/x/a.md", 1, 3, "Old", 2, "", "heading", "h"}));
    // The index on file_path alone and the copy of the primary key are gone.
    EXPECT_EQ(query1(ix, "SELECT group_concat(name) FROM (SELECT name FROM sqlite_master WHERE type = 'index' "
                         "AND name NOT LIKE 'sqlite_%' ORDER BY name)"),
              "idx_blocks_file_line,idx_blocks_title");
    EXPECT_EQ(query1(ix, "SELECT value FROM schema_version WHERE key = 'quillbox_version'"), quillbox_version());
}

TEST(InitDb, BadFilesAndClosedIndexesRaiseErrorsNamingTheFile) {
    TempDir dir;
    fs::path missing = dir.path / "no-such-dir" / "index.db", junk = dir.path / "junk.db";
    write_file(junk, std::string(4096, 'x'));
    for (const fs::path& p : {missing, junk}) {
        try {
            Indexer ix(p);
            ADD_FAILURE() << "opened " << p;
        } catch (const IndexDatabaseError& e) {
            EXPECT_NE(std::string(e.what()).find(p.string()), std::string::npos) << e.what();
        }
    }
    Indexer ix(dir.path / "index.db");
    ix.close();
    ix.close();
    EXPECT_THROW(ix.list_blocks(dir.path / "a.md"), IndexDatabaseError);
    EXPECT_THROW(ix.index_file(dir.path / "a.md"), std::exception);
    try {
        ix.get_block("x");
        ADD_FAILURE();
    } catch (const SQLite::Exception& e) {
        EXPECT_NE(std::string(e.what()).find("index.db is closed"), std::string::npos) << e.what();
    }
}

TEST(Indexer, StatsAndLineUpdates) {
    TempDir dir;
    fs::path md = dir.path / "a.md";
    write_file(md, "# A\ntext\n# B\n");
    Indexer ix(dir.path / "index.db");
    ix.index_file(md);
    Block a = ix.list_blocks(md).at(0);
    ix.record_operation("2026-01-02", "replace_block", md.string(), a.uuid, 42);
    EXPECT_EQ(query1(ix, "SELECT date || operation_type || block_id || tokens_saved FROM stats"),
              "2026-01-02replace_block" + a.uuid + "42");
    exec_sql(ix, "UPDATE blocks SET updated_at = '2000', last_seen = 7");
    ix.update_block_lines(a.uuid, 5, 9);
    ix.update_block_lines("no-such-id", 1, 1);  // no error
    a.start_line = 5;
    a.end_line = 9;
    EXPECT_EQ(ix.get_block(a.uuid), a);  // hash and title untouched
    EXPECT_EQ(query1(ix, "SELECT last_seen || (updated_at > '2000') FROM blocks WHERE start_line = 5"), "71");
    EXPECT_FALSE(ix.get_block("no-such-id"));
}

TEST(Indexer, TitleSearchEscapesLikeAndFoldsAsciiCaseOnly) {
    TempDir dir;
    fs::path md = dir.path / "a.md", other = dir.path / "b.md";
    write_file(md, "# 50% done\n# 500 items\n# a_b\n# axb\n# back\\slash\n# API Reference\n# \xC3\x89t\xC3\xA9\n");
    write_file(other, "# Other API\n");
    Indexer ix(dir.path / "index.db");
    ix.index_file(md);
    ix.index_file(other);
    auto titles = [&](std::string_view q, std::optional<fs::path> f = std::nullopt) {
        std::string t;
        for (auto& b : ix.search_blocks_by_title(q, f)) t += (t.empty() ? "" : "|") + b.title;
        return t;
    };
    EXPECT_EQ(titles("50%"), "50% done");
    EXPECT_EQ(titles("a_b"), "a_b");
    EXPECT_EQ(titles("k\\s"), "back\\slash");
    EXPECT_EQ(titles("api", md), "API Reference");
    EXPECT_EQ(ix.search_blocks_by_title("api").size(), 2u);
    EXPECT_EQ(titles("\xC3\xA9t\xC3\xA9"), "");  // é does not match É
    EXPECT_EQ(ix.search_blocks_by_title("", md).size(), 7u);
    EXPECT_EQ(ix.search_blocks_by_title("").size(), 8u);
}
