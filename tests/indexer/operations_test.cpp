// The index database's operations beyond a plain re-index: identifier matching on its own,
// taking over an identifier, rebuilding and dropping a file with its freshness record, and the
// usage figures.
#include <gtest/gtest.h>

#include "indexer/helpers.h"
#include "quillbox/indexer/matching.h"

namespace fs = std::filesystem;
using namespace quillbox;

namespace {

Block heading(std::string path, int level, std::string uuid) {
    Block b;
    b.heading_path = std::move(path);
    b.title = b.heading_path;
    b.level = level;
    b.uuid = std::move(uuid);
    return b;
}

}  // namespace

TEST(MatchIdentifiers, ExactPathsFirstInOrderThenFuzzyAtTheSameLevelElseFresh) {
    const std::vector<OldHeading> old{{"intro", 1, "o1"}, {"notes", 2, "o2"}, {"notes", 2, "o3"}, {"setup", 2, "o4"}};
    const std::vector<Block> blocks{heading("notes", 3, "n1"), heading("set-up", 2, "n2"), heading("notes", 2, "n3"),
                                    heading("notes", 2, "n4"), heading("set-up", 3, "n5"), heading("intro", 1, "n6")};
    // Twins take the old rows in order; the third "notes" finds none left. "set-up" is close
    // to "setup" at level 2 only, and each old row is used once.
    EXPECT_EQ(indexer::match_identifiers(old, blocks),
              (std::vector<std::string>{"o2", "o4", "o3", "n4", "n5", "o1"}));
    EXPECT_EQ(indexer::match_identifiers({}, blocks).at(0), "n1");
}

class IndexOperations : public ::testing::Test {
protected:
    TempDir dir;
    fs::path md = dir.path / "a.md";
    Indexer ix{dir.path / "index.db"};
};

TEST_F(IndexOperations, ARewrittenHeadingTakesOverTheIdentifierAtItsLine) {
    write_file(md, "# Top\n## Old name\ntext\n## Other\n");
    ix.index_file(md);
    auto before = ids_by_title(ix, md);
    write_file(md, "# Top\n## Completely different\ntext\n## Other\n");
    ix.index_file_keeping(md, nullptr, before.at("Old name"), 2, file_state_of(md, "h"));
    auto after = ids_by_title(ix, md);
    EXPECT_EQ(after.at("Completely different"), before.at("Old name"));
    EXPECT_EQ(after.at("Other"), before.at("Other"));
    EXPECT_EQ(after.at("Top"), before.at("Top"));

    // No block at the line, or a block that kept an old identifier: nothing is taken over.
    write_file(md, "# Top\n## Third\n## Other\n");
    ix.index_file_keeping(md, nullptr, after.at("Completely different"), 9, file_state_of(md, "h"));
    EXPECT_FALSE(ix.get_block(after.at("Completely different")));
    EXPECT_EQ(ix.list_blocks(md).size(), 3u);
}

TEST_F(IndexOperations, RebuildAndDropKeepRowsAndFreshnessRecordTogether) {
    write_file(md, "# A\n# B\n");
    const FileState h1 = file_state_of(md, "h1");
    ix.index_file(md, nullptr, h1);
    const auto first = ix.list_blocks(md);
    EXPECT_EQ(ix.file_state(md), h1);

    const FileState h2 = file_state_of(md, "h2");
    const auto rebuilt = ix.rebuild_file(md, nullptr, h2);
    ASSERT_EQ(rebuilt.size(), 2u);
    EXPECT_NE(rebuilt[0].uuid, first[0].uuid);  // afresh
    auto [rows, state] = ix.indexed_state(md);
    EXPECT_EQ(rows, rebuilt);
    EXPECT_EQ(state, h2);

    // A rebuild that fails keeps the old rows and the old record.
    write_file(md, "# A\n\xff\n");
    EXPECT_THROW(ix.rebuild_file(md, nullptr, file_state_of(md, "h3")), DecodeError);
    EXPECT_EQ(ix.indexed_state(md), std::make_pair(rebuilt, std::optional<FileState>(h2)));

    // A state taken before a change that lands before the parse describes other bytes than
    // the rows: it is not recorded. Nor is anything after a pass that brings no state, or a
    // change to one block's row.
    write_file(md, "# A\n# B\n# C\n");
    ix.index_file(md, nullptr, h2);
    EXPECT_FALSE(ix.file_state(md));
    const FileState h4 = file_state_of(md, "h4");
    ix.index_file(md, nullptr, h4);
    EXPECT_EQ(ix.file_state(md), h4);
    ix.index_file(md);
    EXPECT_FALSE(ix.file_state(md));
    ix.index_file(md, nullptr, h4);
    ix.set_block_hash(ix.list_blocks(md).at(0).uuid, "x");
    EXPECT_FALSE(ix.file_state(md));
    ix.index_file(md, nullptr, h4);
    ix.update_block_lines(ix.list_blocks(md).at(0).uuid, 1, 1);
    EXPECT_FALSE(ix.file_state(md));

    // A deleted file leaves neither rows nor a record that could vouch for rows.
    ix.index_file(md, nullptr, h4);
    fs::remove(md);
    EXPECT_EQ(ix.drop_file(md), 3);
    EXPECT_TRUE(ix.list_blocks(md).empty());
    EXPECT_FALSE(ix.file_state(md));
    EXPECT_TRUE(ix.indexed_files().empty());
}

TEST_F(IndexOperations, UsageSummaryCountsFilesBlocksAndOperationsWithoutWriting) {
    write_file(md, "# A\n# B\n");
    write_file(dir.path / "b.md", "# C\n");
    ix.index_file(md);
    ix.index_file(dir.path / "b.md");
    ix.record_operation(today_local_date(), "replace_block", md.string(), "x", 10);
    ix.record_operation("2000-01-01", "replace_block", md.string(), "y", 5);
    ix.record_operation(today_local_date(), "md_edit", md.string(), "z", 1);
    UsageSummary u = Indexer::usage_summary(ix.db_path());
    EXPECT_EQ(u, (UsageSummary{2, 3, 3, 16, 2, {{"md_edit", 1}, {"replace_block", 2}}, 11}));

    // Read-only: an index of another version is reported as it is, not cleared.
    exec_sql(ix, "UPDATE schema_version SET value = 'other'");
    EXPECT_EQ(Indexer::usage_summary(ix.db_path()).blocks, 3);
    EXPECT_EQ(query1(ix, "SELECT value FROM schema_version"), "other");
}

TEST_F(IndexOperations, InspectNamesFilesWithRowsOrOnlyARecordWithoutWriting) {
    write_file(md, "# A\n# B\n");
    write_file(dir.path / "plain.md", "no headings\n");
    ix.index_file(md);
    ix.index_file(dir.path / "plain.md", nullptr, file_state_of(dir.path / "plain.md", "h"));
    const std::string before = query1(ix, "SELECT COUNT(*) FROM file_index");
    IndexHealth h = Indexer::inspect(ix.db_path());
    EXPECT_EQ(h, (IndexHealth{"ok", {md.string(), (dir.path / "plain.md").string()}}));
    EXPECT_EQ(query1(ix, "SELECT COUNT(*) FROM file_index"), before);

    // An index of an older release without the freshness table still names its files.
    exec_sql(ix, "DROP TABLE file_index");
    EXPECT_EQ(Indexer::inspect(ix.db_path()).indexed_files, std::set<std::string>{md.string()});

    write_file(dir.path / "not.db", "this is not a database, only text long enough to look like one\n");
    EXPECT_THROW(Indexer::inspect(dir.path / "not.db"), SQLite::Exception);
}
