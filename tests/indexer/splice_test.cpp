// Updating only the rows an edit touched must leave exactly the rows a whole pass over the
// written file gives: same identifiers, lines, hashes and byte ranges.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "helpers.h"
#include "quillbox/detail/lines.h"
#include "quillbox/detail/sha256.h"

using namespace quillbox;
namespace fs = std::filesystem;

namespace {

// Every stored field of a file's rows, in document order.
using Row = std::tuple<std::string, int, int, std::string, int, std::string, std::string, int64_t, int64_t>;
std::vector<Row> rows_of(const Indexer& ix, const fs::path& f) {
    SQLite::Database db = side_connection(ix);
    SQLite::Statement q(db, "SELECT id, start_line, end_line, title, level, heading_path, content_hash, byte_start, "
                            "byte_end FROM blocks WHERE file_path = ? ORDER BY start_line");
    q.bind(1, f.string());
    std::vector<Row> out;
    while (q.executeStep())
        out.emplace_back(q.getColumn(0).getString(), q.getColumn(1).getInt(), q.getColumn(2).getInt(),
                         q.getColumn(3).getString(), q.getColumn(4).getInt(), q.getColumn(5).getString(),
                         q.getColumn(6).getString(), q.getColumn(7).getInt64(), q.getColumn(8).getInt64());
    return out;
}

// Pieces of Markdown that change how the lines around them parse when put in the wrong place.
const std::vector<std::string> kPieces = {
    "Plain prose line.",
    "",
    "```",
    "~~~ python",
    "<div>",
    "<!-- open comment",
    "-->",
    "> quoted",
    "> ## Quoted heading",
    "- item",
    "  ## Heading in an item",
    "    indented code",
    "[ref]: /url \"title\"",
    "Setext title",
    "===",
    "---",
    "#NoSpace",
    "##### Deep heading",
    "#",
};

std::string heading(std::mt19937& rng, int n) {
    const int level = static_cast<int>(rng() % 4) + 1;
    return std::string(static_cast<std::size_t>(level), '#') + " Section " + std::to_string(n);
}

std::vector<std::string> random_doc(std::mt19937& rng) {
    std::vector<std::string> lines;
    const int sections = 3 + static_cast<int>(rng() % 10);
    for (int s = 0; s < sections; ++s) {
        lines.push_back(heading(rng, s));
        const int body = static_cast<int>(rng() % 5);
        for (int k = 0; k < body; ++k)
            lines.push_back(rng() % 4 == 0 ? kPieces[rng() % kPieces.size()] : "Body " + std::to_string(k) + ".");
    }
    return lines;
}

std::string joined(const std::vector<std::string>& lines, bool final_lf) {
    std::string out = detail::join_lines(lines);
    if (final_lf) out += '\n';
    return out;
}

FileState state_of(const fs::path& f, const std::string& bytes) { return file_state_of(f, detail::sha256_hex(bytes)); }

// Writes `text` and indexes it with its record.
void index_text(Indexer& ix, const fs::path& f, const std::string& text) {
    write_file(f, text);
    ix.index_file({.file = f, .state = state_of(f, text)});
}

// Writes `after` and brings the index up to date as an operation that rewrote block `b` of
// `before` would; true when only the touched rows were updated.
bool write_over(Indexer& ix, const fs::path& f, const std::string& before, const std::string& after, const Block& b,
                long long tokens_saved = 0) {
    write_file(f, after);
    const Indexer::LineSplice splice{before, after, detail::sha256_hex(before), b.start_line, b.end_line,
                                     state_of(f, after)};
    const Indexer::OperationRecord op{"2026-12-08", "replace_block", f.string(), b.uuid, tokens_saved};
    return ix.index_file({.file = f, .at_rest = true, .rewritten = {{b.uuid, b.start_line}}, .splice = splice, .op = op})
        .spliced;
}

}  // namespace

TEST(Splice, GivesTheRowsOfAWholePassOrStandsAside) {
    TempDir dir("qb-splice");
    Indexer ix(dir / "index.db");
    std::mt19937 rng(20261208);
    int spliced = 0, passes = 0;
    for (int round = 0; round < 1000; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const fs::path f = dir / ("doc" + std::to_string(round) + ".md");
        const bool final_lf = rng() % 8 != 0;
        std::vector<std::string> lines = random_doc(rng);
        const std::string before = joined(lines, final_lf);
        index_text(ix, f, before);
        const std::vector<Block> blocks = ix.list_blocks(f);
        if (blocks.empty()) continue;
        const Block b = blocks[rng() % blocks.size()];

        // The block's lines with some changed, added or dropped; the heading line mostly kept.
        std::vector<std::string> region(lines.begin() + (b.start_line - 1), lines.begin() + b.end_line);
        const int edits = 1 + static_cast<int>(rng() % 3);
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = 1 + rng() % region.size();
            const std::string piece = rng() % 3 == 0 ? kPieces[rng() % kPieces.size()] : "Changed " + std::to_string(e);
            switch (rng() % 4) {
                case 0: if (at < region.size()) region[at] = piece; break;
                case 1: region.insert(region.begin() + static_cast<std::ptrdiff_t>(at), piece); break;
                case 2: if (at < region.size()) region.erase(region.begin() + static_cast<std::ptrdiff_t>(at)); break;
                default: if (rng() % 4 == 0) region[0] = heading(rng, 99); break;
            }
        }
        lines.erase(lines.begin() + (b.start_line - 1), lines.begin() + b.end_line);
        lines.insert(lines.begin() + (b.start_line - 1), region.begin(), region.end());
        const std::string after = joined(lines, final_lf);
        spliced += write_over(ix, f, before, after, b);
        ++passes;
        const std::vector<Row> rows = rows_of(ix, f);
        // A whole pass over the same bytes changes nothing.
        ix.index_file({.file = f, .state = state_of(f, after)});
        ASSERT_EQ(rows, rows_of(ix, f)) << after;
        EXPECT_EQ(ix.file_state(f)->file_hash, detail::sha256_hex(after));
    }
    std::printf("%d of %d edits updated only the touched rows\n", spliced, passes);
    // Most edits keep their headings and go the short way; the rest must have been refused.
    EXPECT_GT(spliced, passes / 3) << spliced << " of " << passes;
    EXPECT_LT(spliced, passes) << "no edit was refused: the pieces that change the parse are not reached";
}

TEST(Splice, StandsAsideWhenTheRowsDoNotDescribeTheTextBefore) {
    TempDir dir("qb-splice");
    const fs::path f = dir / "doc.md";
    Indexer ix(dir / "index.db");
    index_text(ix, f, "# A\n\none\n\n## B\n\ntwo\n");
    const Block b = ix.list_blocks(f)[1];
    // An outside editor changed the file after it was indexed: its rows are not those of `stale`.
    const std::string stale = "# A\n\none more\n\n## B\n\ntwo\n";
    EXPECT_FALSE(write_over(ix, f, stale, "# A\n\none more\n\n## B\n\nthree\nfour\n", b));
    const std::vector<Row> rows = rows_of(ix, f);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(std::get<0>(rows[1]), b.uuid);
    EXPECT_EQ(std::get<2>(rows[1]), 8);  // the whole pass saw the real file
}

TEST(Splice, RowsRecordAndStatisticsCommitTogether) {
    TempDir dir("qb-splice");
    const fs::path f = dir / "doc.md";
    const std::string before = "# A\n\none\n\n## B\n\ntwo\n\n# C\n";
    Indexer ix(dir / "index.db");
    index_text(ix, f, before);
    const Block b = ix.list_blocks(f)[1];
    const std::vector<Row> rows = rows_of(ix, f);
    const auto record = ix.file_state(f);

    const std::string after = "# A\n\none\n\n## B\n\ntwo\nthree\n\n# C\n";
    exec_sql(ix, "ALTER TABLE stats RENAME TO stats_gone");
    EXPECT_THROW(write_over(ix, f, before, after, b, 7), SQLite::Exception);
    EXPECT_EQ(rows_of(ix, f), rows);
    EXPECT_EQ(ix.file_state(f), record);

    exec_sql(ix, "ALTER TABLE stats_gone RENAME TO stats");
    EXPECT_TRUE(write_over(ix, f, before, after, b, 7));
    const std::vector<Row> now = rows_of(ix, f);
    ASSERT_EQ(now.size(), 3u);
    EXPECT_EQ(std::get<2>(now[0]), 9);  // A holds B: it grew by the line
    EXPECT_EQ(std::get<2>(now[1]), 9);
    EXPECT_EQ(std::get<1>(now[2]), 10);  // C moved down
    EXPECT_EQ(std::get<7>(now[2]), static_cast<int64_t>(after.size()) - 4);
    EXPECT_EQ(ix.file_state(f)->file_hash, detail::sha256_hex(after));
    EXPECT_EQ(query1(ix, "SELECT operation_type || ' ' || tokens_saved FROM stats"), "replace_block 7");
}

// Found by fuzzing: an edit at the end of a file that gains a final line feed moves the end of
// the sections holding it by one byte less than the file grew.
TEST(Splice, AFinalLineFeedGainedOrLostAtTheEndIsNotTakenForText) {
    TempDir dir("qb-splice");
    Indexer ix(dir / "index.db");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"# A\ntext\n## B\nlast", "# A\ntext\n## B\nlast\nmore\n"},
        {"# A\ntext\n## B\nlast\n", "# A\ntext\n## B\nlast\nmore"},
    };
    int round = 0;
    for (const auto& [before, after] : cases) {
        const fs::path f = dir / ("end" + std::to_string(round++) + ".md");
        index_text(ix, f, before);
        write_over(ix, f, before, after, ix.list_blocks(f)[1]);
        const std::vector<Row> rows = rows_of(ix, f);
        ix.index_file({.file = f, .state = state_of(f, after)});
        EXPECT_EQ(rows, rows_of(ix, f)) << after;
    }
}
