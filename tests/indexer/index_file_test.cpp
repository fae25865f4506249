// index_file: identifier survival, removals, failures, re-index marks and path spellings.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "indexer/helpers.h"
#include "quillbox/watcher.h"

namespace fs = std::filesystem;
using namespace quillbox;

namespace {

struct Fixture : ::testing::Test {
    TempDir dir;
    fs::path md = dir.path() / "doc.md";
    Indexer ix{dir.path() / "index.db"};

    std::map<std::string, std::string> index(const std::string& text) {
        write_file(md, text);
        ix.index_file(md);
        return ids_by_title(ix, md);
    }
};

using IndexFile = Fixture;

}  // namespace

TEST_F(IndexFile, FirstPassStoresTheParsedBlocks) {
    write_file(md, "intro\n# A\ntext\n## B\n# C\n");
    EXPECT_EQ(ix.index_file(md), 3);
    auto parsed = parse_markdown_to_blocks(md);
    auto stored = ix.list_blocks(md);
    ASSERT_EQ(stored.size(), parsed.size());
    for (std::size_t i = 0; i < stored.size(); ++i) {
        parsed[i].uuid = stored[i].uuid;  // only the identifiers differ
        EXPECT_EQ(stored[i], parsed[i]);
    }
    EXPECT_EQ(stored[0].file_path, fs::canonical(md));
    EXPECT_EQ(scalar(ix, "SELECT count(*) FROM blocks WHERE last_seen > 0"), 3);
}

TEST_F(IndexFile, UnchangedFileKeepsEveryIdentifierAndRefreshesTheRows) {
    auto first = index("# A\n## B\n### C\n");
    ix.conn().exec("UPDATE blocks SET last_seen = 1, updated_at = '2000-01-01 00:00:00'");
    EXPECT_EQ(ix.reindex_file(md), 3);
    EXPECT_EQ(ids_by_title(ix, md), first);
    EXPECT_EQ(scalar(ix, "SELECT count(*) FROM blocks WHERE last_seen > 1 AND updated_at > '2000-01-01 00:00:00'"), 3);
}

TEST_F(IndexFile, IdentifiersFollowTheirHeadingsThroughMovesAndLevelChanges) {
    auto v1 = index("# Intro\n## Setup\n## Usage\n### Notes\n# End\n");
    // End moved to the top, Setup and Notes changed level, a new close title "Set up" appears,
    // Usage retitled beyond recognition.
    auto v2 = index("# End\n# Intro\n### Setup\n## Set up\n## Usage notes\n#### Notes\n");
    EXPECT_EQ(v2.at("End"), v1.at("End"));
    EXPECT_EQ(v2.at("Intro"), v1.at("Intro"));
    EXPECT_EQ(v2.at("Notes"), v1.at("Notes"));
    // The exact match ignores levels and comes first, so "Set up" finds no Setup row left.
    EXPECT_EQ(v2.at("Setup"), v1.at("Setup"));
    EXPECT_NE(v2.at("Set up"), v1.at("Setup"));
    EXPECT_NE(v2.at("Usage notes"), v1.at("Usage"));  // "usage-notes" vs "usage": 0.625
    EXPECT_FALSE(ix.get_block(v1.at("Usage")));
    EXPECT_EQ(ix.list_blocks(md).size(), 6u);
}

TEST_F(IndexFile, CloseRetitleKeepsAndLevelChangePlusRetitleLoses) {
    auto v1 = index("# Top\n## Setup\n## Installation\n### Deep\n");
    auto v2 = index("# Top\n## Set up\n## Installation guide\n## Deeper\n");
    EXPECT_EQ(v2.at("Set up"), v1.at("Setup"));                   // 0.91 at the same level
    EXPECT_NE(v2.at("Installation guide"), v1.at("Installation"));  // exactly 0.8: no match
    EXPECT_NE(v2.at("Deeper"), v1.at("Deep"));                     // retitled and moved up
    EXPECT_FALSE(ix.get_block(v1.at("Installation")));
    EXPECT_FALSE(ix.get_block(v1.at("Deep")));
    EXPECT_EQ(ix.list_blocks(md).size(), 4u);
}

TEST_F(IndexFile, DuplicateTitlesKeepTheirRowsInInsertionOrder) {
    write_file(md, "# Intro\none\n# Intro\ntwo\n");
    ix.index_file(md);
    auto rows = ix.list_blocks(md);
    ASSERT_EQ(rows.size(), 2u);
    ASSERT_NE(rows[0].uuid, rows[1].uuid);
    ix.index_file(md);
    auto again = ix.list_blocks(md);
    EXPECT_EQ(again[0].uuid, rows[0].uuid);
    EXPECT_EQ(again[1].uuid, rows[1].uuid);

    // A third Intro on top: the first-inserted row goes to the first section.
    write_file(md, "# Intro\nzero\n# Intro\none\n# Intro\ntwo\n");
    ix.index_file(md);
    auto three = ix.list_blocks(md);
    ASSERT_EQ(three.size(), 3u);
    EXPECT_EQ(three[0].uuid, rows[0].uuid);
    EXPECT_EQ(three[1].uuid, rows[1].uuid);
    EXPECT_NE(three[2].uuid, rows[0].uuid);
    EXPECT_NE(three[2].uuid, rows[1].uuid);
}

TEST_F(IndexFile, RemovedSectionsLoseTheirRows) {
    auto v1 = index("# A\n# B\n# C\n");
    auto v2 = index("# A\n# C\n");
    EXPECT_EQ(v2.size(), 2u);
    EXPECT_FALSE(ix.get_block(v1.at("B")));
    write_file(md, "no headings any more\n");
    EXPECT_EQ(ix.index_file(md), 0);
    EXPECT_TRUE(ix.list_blocks(md).empty());
}

TEST_F(IndexFile, ManyLeftOverRowsAreAllDeleted) {
    std::string big;
    for (int i = 0; i < 1500; ++i) big += "## Section number " + std::to_string(i) + " with words\n";
    index(big);
    EXPECT_EQ(scalar(ix, "SELECT count(*) FROM blocks"), 1500);
    index("# Only\n");
    EXPECT_EQ(scalar(ix, "SELECT count(*) FROM blocks"), 1);
}

TEST_F(IndexFile, AFailedParseLeavesTheRowsAndClearsTheMark) {
    FileWatcher w(dir.path(), [](const fs::path&) {});
    auto v1 = index("# A\n# B\n");
    std::string big(static_cast<std::size_t>(MAX_FILE_SIZE) + 1, 'x');
    write_file(md, big);
    EXPECT_THROW(ix.index_file(md, &w), FileTooLargeError);
    EXPECT_TRUE(w.wait_for_reindex(md, 0.0));
    write_file(md, "# A\n\xff\xfe\n");
    EXPECT_THROW(ix.index_file(md, &w), DecodeError);
    fs::remove(md);
    EXPECT_THROW(ix.index_file(md, &w), fs::filesystem_error);
    EXPECT_TRUE(w.wait_for_reindex(md, 0.0));
    EXPECT_EQ(ids_by_title(ix, md), v1);
}

TEST_F(IndexFile, ADatabaseFailureMidPassRollsEverythingBack) {
    FileWatcher w(dir.path(), [](const fs::path&) {});
    auto v1 = index("# A\n# B\n# C\n");
    auto before = ix.list_blocks(md);
    ix.conn().exec(
        "CREATE TRIGGER no_boom BEFORE INSERT ON blocks WHEN NEW.title = 'boom' "
        "BEGIN SELECT RAISE(ABORT, 'boom refused'); END");
    write_file(md, "# B\nmoved\n# A\n# boom\n");
    EXPECT_THROW(ix.index_file(md, &w), SQLite::Exception);
    EXPECT_TRUE(w.wait_for_reindex(md, 0.0));
    EXPECT_EQ(ix.list_blocks(md), before);  // C not deleted, A and B not moved
    // The connection is usable afterwards.
    ix.conn().exec("DROP TRIGGER no_boom");
    EXPECT_EQ(ix.index_file(md, &w), 3);
}

TEST_F(IndexFile, TheReindexMarkSpansThePass) {
    FileWatcher w(dir.path(), [](const fs::path&) {});
    write_file(md, "# A\n");
    std::unique_lock<std::recursive_mutex> hold(ix.mutex());  // the pass blocks before writing
    std::thread t([&] { ix.index_file(md, &w); });
    bool marked = false;
    for (int i = 0; i < 400 && !marked; ++i) {
        marked = !w.wait_for_reindex(md, 0.0);
        if (!marked) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(marked);
    hold.unlock();
    EXPECT_TRUE(w.wait_for_reindex(md, 10.0));
    t.join();
    EXPECT_EQ(ix.list_blocks(md).size(), 1u);
}

TEST_F(IndexFile, PathSpellingsAddressTheSameRows) {
    fs::create_directory(dir.path() / "real");
    fs::path file = dir.path() / "real" / "n.md";
    write_file(file, "# One\n# Two\n");
    fs::create_directory_symlink(dir.path() / "real", dir.path() / "alias");
    ix.index_file(dir.path() / "alias" / "n.md");
    auto ids = ids_by_title(ix, file);
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_EQ(ix.list_blocks(file).at(0).file_path, fs::canonical(file));
    {
        CurrentDir cd(dir.path() / "real");
        EXPECT_EQ(ids_by_title(ix, "n.md"), ids);
        ix.index_file("./n.md");
        EXPECT_EQ(ids_by_title(ix, "../alias/n.md"), ids);
        EXPECT_EQ(ix.search_blocks_by_title("One", fs::path("n.md")).size(), 1u);
    }
    EXPECT_EQ(scalar(ix, "SELECT count(*) FROM blocks"), 2);
}
