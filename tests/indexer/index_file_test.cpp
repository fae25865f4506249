// index_file: identifier survival, removals, failures, re-index marks and path spellings.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "indexer/helpers.h"
#include "quillbox/watcher.h"

namespace fs = std::filesystem;
using namespace quillbox;

namespace {

struct IndexFile : ::testing::Test {
    TempDir dir;
    fs::path md = dir.path / "doc.md";
    Indexer ix{dir.path / "index.db"};
    FileWatcher w{dir.path, [](const fs::path&) {}};

    std::map<std::string, std::string> index(const std::string& text) {
        write_file(md, text);
        ix.index_file(md, &w);
        return ids_by_title(ix, md);
    }
};

}  // namespace

TEST_F(IndexFile, FirstPassStoresTheParsedBlocksAndAnUnchangedPassKeepsThem) {
    write_file(md, "intro\n# A\ntext\n## B\n# C\n");
    EXPECT_EQ(ix.index_file(md), 3);
    auto parsed = parse_markdown_to_blocks(md);
    auto stored = ix.list_blocks(md);
    ASSERT_EQ(stored.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        parsed[i].uuid = stored[i].uuid;  // only the identifiers differ
        EXPECT_EQ(stored[i], parsed[i]);
    }
    // An unchanged pass rewrites no row; a changed text rewrites the rows whose fields changed
    // (A holds the changed line; B and C do not).
    exec_sql(ix, "UPDATE blocks SET last_seen = 1, updated_at = '2000-01-01 00:00:00'");
    EXPECT_EQ(ix.index_file(md), 3);
    EXPECT_EQ(ix.list_blocks(md), stored);
    const std::string untouched = "SELECT group_concat(title) FROM (SELECT title FROM blocks WHERE last_seen = 1 "
                                  "AND updated_at = '2000-01-01 00:00:00' ORDER BY title)";
    EXPECT_EQ(query1(ix, untouched), "A,B,C");
    write_file(md, "intro\n# A\nTEXT\n## B\n# C\n");  // same length: B and C keep their bytes
    EXPECT_EQ(ix.index_file(md), 3);
    EXPECT_EQ(query1(ix, untouched), "B,C");
    EXPECT_NE(ix.get_block(stored[0].uuid)->content_hash, stored[0].content_hash);
}

// An outside edit keeps the id of a section whose text moved or whose place in the outline
// stayed; a heading rewritten (retitled, or a level that puts it elsewhere) is a new section to
// whoever holds the old id.
TEST_F(IndexFile, IdentifiersFollowSectionsThroughMovesAndEditsButNotRetitles) {
    auto v1 = index("# Intro\n## Setup\n## Usage\n### Notes\n## Installation\n## Deep\n# End\n");
    auto v2 = index("# End\n# Intro\n### Setup\n## Usage\ntext\n### Notes\n## Installation guide\n");
    EXPECT_EQ(v2.at("End"), v1.at("End"));      // moved
    EXPECT_EQ(v2.at("Intro"), v1.at("Intro"));  // its text changed, its place did not
    EXPECT_EQ(v2.at("Usage"), v1.at("Usage"));
    EXPECT_EQ(v2.at("Notes"), v1.at("Notes"));
    EXPECT_NE(v2.at("Setup"), v1.at("Setup"));  // level changed
    EXPECT_NE(v2.at("Installation guide"), v1.at("Installation"));
    for (auto* gone : {"Setup", "Installation", "Deep"}) EXPECT_FALSE(ix.get_block(v1.at(gone))) << gone;
    EXPECT_EQ(ix.list_blocks(md).size(), 6u);
}

// Twins keep their own rows by their text: a section added before them takes no row of theirs.
TEST_F(IndexFile, TwinsKeepTheirRowsByTheirText) {
    write_file(md, "# Intro\none\n# Intro\ntwo\n");
    ix.index_file(md);
    auto rows = ix.list_blocks(md);
    ASSERT_NE(rows.at(0).uuid, rows.at(1).uuid);
    write_file(md, "# Intro\nzero\n# Intro\none\n# Intro\ntwo\n");
    ix.index_file(md);
    auto three = ix.list_blocks(md);
    EXPECT_EQ(three.at(1).uuid, rows[0].uuid);
    EXPECT_EQ(three.at(2).uuid, rows[1].uuid);
    EXPECT_NE(three.at(0).uuid, rows[0].uuid);
    EXPECT_NE(three.at(0).uuid, rows[1].uuid);
}

TEST_F(IndexFile, RemovedSectionsLoseTheirRows) {
    std::string many;
    for (int i = 0; i < 1200; ++i) many += "## Section number " + std::to_string(i) + "\n";
    index(many + "# Keep\n");
    EXPECT_EQ(index("# Keep\n").size(), 1u);  // more left-overs than one statement binds at once
    write_file(md, "no headings any more\n");
    EXPECT_EQ(ix.index_file(md), 0);
    EXPECT_EQ(query1(ix, "SELECT count(*) FROM blocks"), "0");
}

TEST_F(IndexFile, FailedPassesKeepTheRowsAndClearTheMark) {
    index("# A\n# B\n# C\n");
    auto before = ix.list_blocks(md);
    write_file(md, std::string(static_cast<std::size_t>(MAX_FILE_SIZE) + 1, 'x'));
    EXPECT_THROW(ix.index_file(md, &w), FileTooLargeError);
    write_file(md, "# A\n\xff\n");
    EXPECT_THROW(ix.index_file(md, &w), DecodeError);
    exec_sql(ix, "CREATE TRIGGER no_boom BEFORE INSERT ON blocks WHEN NEW.title = 'boom' "
                   "BEGIN SELECT RAISE(ABORT, 'boom refused'); END");
    write_file(md, "# B\nmoved\n# A\n# boom\n");  // fails after updating A and B
    EXPECT_THROW(ix.index_file(md, &w), SQLite::Exception);
    fs::path gone = dir.path / "gone.md";
    EXPECT_THROW(ix.index_file(gone, &w), fs::filesystem_error);
    EXPECT_TRUE(w.wait_for_reindex(md, 0.0));
    EXPECT_TRUE(w.wait_for_reindex(gone, 0.0));
    EXPECT_EQ(ix.list_blocks(md), before);
    exec_sql(ix, "DROP TRIGGER no_boom");
    EXPECT_EQ(ix.index_file(md, &w), 3);  // the connection is fine afterwards
}

TEST_F(IndexFile, TheReindexMarkSpansThePass) {
    write_file(md, "# A\n");
    SQLite::Database other = side_connection(ix);
    auto hold = std::make_unique<SQLite::Transaction>(other, SQLite::TransactionBehavior::IMMEDIATE);
    std::thread t([&] { ix.index_file(md, &w); });  // waits for the other writer
    bool marked = false;
    for (int i = 0; i < 400 && !marked; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        marked = !w.wait_for_reindex(md, 0.0);
    EXPECT_TRUE(marked);
    hold->commit();
    EXPECT_TRUE(w.wait_for_reindex(md, 10.0));
    t.join();
    EXPECT_EQ(ix.list_blocks(md).size(), 1u);
}

TEST_F(IndexFile, PathSpellingsAddressTheSameRows) {
    fs::create_directory(dir.path / "real");
    fs::path file = dir.path / "real" / "n.md";
    write_file(file, "# One\n# Two\n");
    fs::create_directory_symlink(dir.path / "real", dir.path / "alias");
    ix.index_file(dir.path / "alias" / "n.md");
    auto ids = ids_by_title(ix, file);
    EXPECT_EQ(ix.list_blocks(file).at(0).file_path, file);
    CurrentDir cd(dir.path / "real");
    EXPECT_EQ(ids_by_title(ix, "n.md"), ids);
    ix.index_file("./n.md");
    EXPECT_EQ(ids_by_title(ix, "../alias/n.md"), ids);
    EXPECT_EQ(ix.search_blocks_by_title("One", fs::path("n.md")).size(), 1u);
    EXPECT_EQ(query1(ix, "SELECT count(*) FROM blocks"), "2");
}

// Many files in batches: each committed with its record (the hash of the bytes parsed); a
// file that cannot be parsed is reported and keeps its rows and record; the others are kept.
TEST(IndexFiles, BatchesReportEachFileAndAFailureKeepsItsOldRows) {
    TempDir dir;
    Indexer ix(dir.path / "index.db");
    std::vector<fs::path> files;
    for (int i = 0; i < 5; ++i) {
        files.push_back(dir.path / ("f" + std::to_string(i) + ".md"));
        write_file(files.back(), "# File " + std::to_string(i) + "\n## Part\ntext\n");
    }
    ix.index_file(files[2]);
    const std::vector<Block> before = ix.list_blocks(files[2]);
    ix.record_file_state(files[2], FileState{1.0, "old"});
    write_file(files[2], "# Broken \xC3\x28\n");
    files.push_back(dir.path / "missing.md");

    std::vector<std::tuple<std::size_t, int, bool>> seen;
    ix.index_files(
        files, [&](std::size_t i, int blocks, std::exception_ptr e) { seen.emplace_back(i, blocks, e != nullptr); },
        2);
    EXPECT_EQ(seen, (std::vector<std::tuple<std::size_t, int, bool>>{
                        {0, 2, false}, {1, 2, false}, {2, 0, true}, {3, 2, false}, {4, 2, false}, {5, 0, true}}));
    for (int i : {0, 1, 3, 4}) {
        EXPECT_EQ(ix.list_blocks(files[i]).size(), 2u) << i;
        auto state = ix.file_state(files[i]);
        ASSERT_TRUE(state) << i;
        EXPECT_EQ(state->file_hash, parse_markdown_file(files[i]).file_hash);
        EXPECT_TRUE(state->same_stat(file_state_of(files[i], {})));
    }
    EXPECT_EQ(ix.list_blocks(files[2]), before);
    EXPECT_EQ(ix.file_state(files[2])->file_hash, "old");

    // Again, unchanged: the identifiers stay.
    const auto ids = ids_by_title(ix, files[0]);
    ix.index_files(files, [](std::size_t, int, std::exception_ptr) {});
    EXPECT_EQ(ids_by_title(ix, files[0]), ids);
}

// Each row keeps where its lines lie in the file's bytes (without the last line's end), kept
// up to date by later passes; a file with CR line ends has none.
TEST_F(IndexFile, RowsKeepTheirByteRanges) {
    auto bytes_of = [&](const std::string& title) { return ix.block_place(ids_by_title(ix, md).at(title))->bytes; };
    index("# A\ntext\n## B\n\n# C");
    EXPECT_EQ(bytes_of("A"), (ByteRange{0, 14}));
    EXPECT_EQ(bytes_of("B"), (ByteRange{9, 14}));
    EXPECT_EQ(bytes_of("C"), (ByteRange{15, 18}));
    index("\xEF\xBB\xBF# A\nlonger text\n## B\n\n# C\n");
    EXPECT_EQ(bytes_of("A"), (ByteRange{0, 24}));
    EXPECT_EQ(bytes_of("C"), (ByteRange{25, 28}));
    index("# A\r\ntext\r\n# C\r\n");
    EXPECT_FALSE(bytes_of("A").known());
    EXPECT_FALSE(bytes_of("C").known());
}

// After an operation's write: rows, the file's record (the hash of the bytes parsed) and the
// statistics row commit together, or none of them does.
TEST_F(IndexFile, AfterAWriteRowsRecordAndStatisticsCommitTogether) {
    auto before = index("# A\ntext\n## B\nmore\n");
    const Indexer::OperationRecord op{"2026-12-08", "replace_block", md.string(), before.at("B"), 42};
    write_file(md, "# A\ntext\n## B2\nnew\nlines\n");
    EXPECT_FALSE(ix.index_file({.file = md, .watcher = &w, .at_rest = true, .rewritten = {{before.at("B"), 3}}, .op = op})
                     .spliced);  // a whole pass
    auto after = ids_by_title(ix, md);
    EXPECT_EQ(after.size(), 2u);
    EXPECT_EQ(after.at("B2"), before.at("B"));  // the rewritten block keeps its identifier
    auto state = ix.file_state(md);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->file_hash, parse_markdown_file(md).file_hash);
    EXPECT_TRUE(state->same_stat(file_state_of(md, {})));
    EXPECT_EQ(query1(ix, "SELECT operation_type || ' ' || block_id || ' ' || tokens_saved FROM stats"),
              "replace_block " + before.at("B") + " 42");

    // The statistics row cannot be written: the rows and the record stay as they were.
    exec_sql(ix, "DROP TABLE stats");
    const auto rows = ix.list_blocks(md);
    write_file(md, "# A\nchanged\n## B2\nnew\nlines\n");
    EXPECT_THROW(ix.index_file({.file = md, .watcher = &w, .at_rest = true, .op = op}), SQLite::Exception);
    EXPECT_EQ(ix.list_blocks(md), rows);
    EXPECT_EQ(ix.file_state(md), state);
}
