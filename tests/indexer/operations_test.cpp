// The index database's operations beyond a plain re-index: identifier matching on its own,
// taking over an identifier, rebuilding and dropping a file with its freshness record, and the
// usage figures.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

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

// A section of an outline as the matcher sees it, with where it came from: its index in the
// old outline, or -1 for a section that is new.
struct Section {
    int level;
    std::string title, body;
    int origin;
};

// The blocks of an outline: a section's text is its heading, its body and its subsections'.
std::vector<Block> blocks_of(const std::vector<Section>& s, const std::string& prefix) {
    std::vector<Block> out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        std::string text = std::to_string(s[i].level) + s[i].title + "|" + s[i].body;
        for (std::size_t k = i + 1; k < s.size() && s[k].level > s[i].level; ++k)
            text += "|" + std::to_string(s[k].level) + s[k].title + "|" + s[k].body;
        Block b = heading(s[i].title, s[i].level, prefix + std::to_string(i));
        b.content_hash = text;
        b.start_line = static_cast<int>(i) + 1;
        out.push_back(b);
    }
    return out;
}

std::string dump(const std::vector<Section>& s) {
    std::string out;
    for (const Section& x : s)
        out += std::string(static_cast<std::size_t>(x.level), '#') + " " + x.title + " [" + x.body + "] from " +
               std::to_string(x.origin) + "\n";
    return out;
}

// Each section's titles from the top down to its own.
std::vector<std::string> outline_of(const std::vector<Section>& s) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        std::string path = std::to_string(s[i].level) + s[i].title;
        int level = s[i].level;
        for (std::size_t k = i; k-- > 0;)
            if (s[k].level < level) {
                path = std::to_string(s[k].level) + s[k].title + "/" + path;
                level = s[k].level;
            }
        out.push_back(path);
    }
    return out;
}

// Random outlines with many twin titles, changed as an editor changes them (sections deleted,
// edited, renamed, swapped with a neighbour, moved, added), matched against their old rows:
// an old identifier only ever goes to the section it named, and a section whose text, place
// and outline are untouched by the change keeps it.
TEST(MatchIdentifiers, AnIdNeverPassesToAnotherSection) {
    std::mt19937 rng(22);
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    const std::vector<std::string> titles{"Example", "Install", "Usage", "Notes"};
    int kept_untouched = 0;
    for (int round = 0; round < 3000; ++round) {
        std::vector<Section> old;
        const std::size_t n = 1 + pick(9);
        for (std::size_t i = 0; i < n; ++i)
            old.push_back({1 + static_cast<int>(pick(3)), titles[pick(titles.size())], "b" + std::to_string(pick(3)),
                           static_cast<int>(i)});
        std::vector<Section> now = old;
        const int edits = 1 + static_cast<int>(pick(3));
        for (int e = 0; e < edits && !now.empty(); ++e) {
            const std::size_t i = pick(now.size());
            switch (pick(6)) {
                case 0: now.erase(now.begin() + static_cast<std::ptrdiff_t>(i)); break;
                case 1: now[i].body += "+"; break;
                case 2: now[i].title = "Renamed " + std::to_string(e); break;
                case 3:
                    if (i + 1 < now.size()) std::swap(now[i], now[i + 1]);
                    break;
                case 4: {
                    const Section moved = now[i];
                    now.erase(now.begin() + static_cast<std::ptrdiff_t>(i));
                    now.insert(now.begin() + static_cast<std::ptrdiff_t>(pick(now.size() + 1)), moved);
                    break;
                }
                default:
                    now.insert(now.begin() + static_cast<std::ptrdiff_t>(pick(now.size() + 1)),
                               Section{1 + static_cast<int>(pick(3)), titles[pick(titles.size())], "b0", -1});
            }
        }
        const std::vector<Block> before = blocks_of(old, "o"), after = blocks_of(now, "n");
        std::vector<OldHeading> rows;
        for (const Block& b : before)
            rows.push_back({b.heading_path, b.level, b.uuid, b.title, b.content_hash, b.start_line});
        std::shuffle(rows.begin(), rows.end(), rng);  // stored rows come in any order
        const std::vector<std::string> ids = indexer::match_identifiers(rows, after);
        const std::vector<std::string> paths_old = outline_of(old), paths_new = outline_of(now);
        ASSERT_EQ(ids.size(), after.size());
        std::set<std::string> given;
        for (std::size_t j = 0; j < ids.size(); ++j) {
            SCOPED_TRACE("round " + std::to_string(round) + ", block " + std::to_string(j));
            EXPECT_TRUE(given.insert(ids[j]).second);
            if (ids[j][0] == 'o' && ids[j] != "o" + std::to_string(now[j].origin)) {
                // Only where the two texts cannot tell them apart: the same place, or the same
                // text, that the section the id named no longer has.
                const std::size_t k = std::stoul(ids[j].substr(1));
                auto still = [&](auto same) {
                    for (std::size_t x = 0; x < now.size(); ++x)
                        if (now[x].origin == static_cast<int>(k) && same(x)) return true;
                    return false;
                };
                const bool same_text = before[k].content_hash == after[j].content_hash;
                const bool same_place = paths_old[k] == paths_new[j];
                const bool left_place = !still([&](std::size_t x) { return paths_new[x] == paths_old[k]; });
                const bool left_text = !still([&](std::size_t x) { return after[x].content_hash == before[k].content_hash; });
                EXPECT_TRUE((same_place && (same_text || left_place)) || (same_text && left_text))
                    << ids[j] << " went to a section from " << now[j].origin << "\n" << dump(old) << "\n" << dump(now);
            } else if (ids[j][0] != 'o') {
                EXPECT_EQ(ids[j], after[j].uuid);
            }
            // Nothing about this section changed and nothing else looks like it: it keeps its id.
            const int o = now[j].origin;
            if (o >= 0 && before[static_cast<std::size_t>(o)].content_hash == after[j].content_hash &&
                std::count_if(before.begin(), before.end(), [&](const Block& b) { return b.content_hash == after[j].content_hash; }) == 1 &&
                std::count_if(after.begin(), after.end(), [&](const Block& b) { return b.content_hash == after[j].content_hash; }) == 1) {
                EXPECT_EQ(ids[j], "o" + std::to_string(o));
                ++kept_untouched;
            }
        }
    }
    EXPECT_GT(kept_untouched, 1000);
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
    ix.index_file({.file = md, .state = file_state_of(md, "h"), .rewritten = {{before.at("Old name"), 2}}});
    auto after = ids_by_title(ix, md);
    EXPECT_EQ(after.at("Completely different"), before.at("Old name"));
    EXPECT_EQ(after.at("Other"), before.at("Other"));
    EXPECT_EQ(after.at("Top"), before.at("Top"));

    // No block at the line, or a block that kept an old identifier: nothing is taken over.
    write_file(md, "# Top\n## Third\n## Other\n");
    ix.index_file({.file = md, .state = file_state_of(md, "h"), .rewritten = {{after.at("Completely different"), 9}}});
    EXPECT_FALSE(ix.get_block(after.at("Completely different")));
    EXPECT_EQ(ix.list_blocks(md).size(), 3u);
}

TEST_F(IndexOperations, RebuildAndDropKeepRowsAndFreshnessRecordTogether) {
    write_file(md, "# A\n# B\n");
    const FileState h1 = file_state_of(md, "h1");
    ix.index_file({.file = md, .state = h1});
    const auto first = ix.list_blocks(md);
    EXPECT_EQ(ix.file_state(md), h1);

    const FileState h2 = file_state_of(md, "h2");
    const auto rebuilt = ix.index_file({.file = md, .state = h2, .want_rows = true}).rows;
    ASSERT_EQ(rebuilt.size(), 2u);
    EXPECT_EQ(rebuilt[0].uuid, first[0].uuid);  // the same sections keep their ids
    EXPECT_EQ(ix.list_blocks(md), rebuilt);
    EXPECT_EQ(ix.file_state(md), h2);

    // A rebuild that fails keeps the old rows and the old record.
    write_file(md, "# A\n\xff\n");
    EXPECT_THROW(ix.index_file({.file = md, .state = file_state_of(md, "h3")}), DecodeError);
    EXPECT_EQ(ix.list_blocks(md), rebuilt);
    EXPECT_EQ(ix.file_state(md), h2);

    // A state taken before a change that lands before the parse describes other bytes than
    // the rows: it is not recorded. Nor is anything after a pass that brings no state, or a
    // change to one block's row.
    write_file(md, "# A\n# B\n# C\n");
    ix.index_file({.file = md, .state = h2});
    EXPECT_FALSE(ix.file_state(md));
    const FileState h4 = file_state_of(md, "h4");
    ix.index_file({.file = md, .state = h4});
    EXPECT_EQ(ix.file_state(md), h4);
    ix.index_file(md);
    EXPECT_FALSE(ix.file_state(md));
    ix.index_file({.file = md, .state = h4});
    ix.set_block_hash(ix.list_blocks(md).at(0).uuid, "x");
    EXPECT_FALSE(ix.file_state(md));
    ix.index_file({.file = md, .state = h4});
    ix.update_block_lines(ix.list_blocks(md).at(0).uuid, 1, 1);
    EXPECT_FALSE(ix.file_state(md));

    // A deleted file leaves neither rows nor a record that could vouch for rows.
    ix.index_file({.file = md, .state = h4});
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
    ix.index_file({.file = dir.path / "plain.md", .state = file_state_of(dir.path / "plain.md", "h")});
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
