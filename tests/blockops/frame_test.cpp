// Token estimate, savings footer, listing format and the index freshness check.

#include <SQLiteCpp/SQLiteCpp.h>

#include <algorithm>

#include "fixture.h"
#include "quillbox/blockops/frame.h"
#include "quillbox/detail/lines.h"
#include "quillbox/detail/sha256.h"

using namespace quillbox;
using qbtest::Project;

namespace {

std::string repeat(std::string_view s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

const char* kDoc = "# Intro\ntext\n## Setup\nstep one\nstep two\n";

}  // namespace

TEST(CountTokens, CountsCodePointsWithModelCoefficients) {
    const std::string ascii(1000, 'a');
    const std::string cjk = repeat("中", 100);
    EXPECT_EQ(_count_tokens(ascii, "gpt4o"), 220);
    EXPECT_EQ(_count_tokens(cjk, "opus"), 180);
    EXPECT_EQ(_count_tokens(ascii + cjk, "opus"), 430);
    EXPECT_EQ(_count_tokens(""), 1);
    EXPECT_EQ(_count_tokens("ab", "no-such-model"), 1);
    EXPECT_EQ(_count_tokens(repeat("\uFF01", 100), "default"), 150);  // full-width counts as CJK
    EXPECT_EQ(_count_tokens(repeat("\uAC00", 100), "default"), 25);   // Hangul does not
    EXPECT_EQ(_count_tokens(repeat("a", 8), "Opus"), 2);              // names are case-sensitive
}

TEST(BudgetTokens, LinkDenseLinesCountAtLeastWhatARealTokenizerCounts) {
    // Real counts from the Claude tokenizer (anthropic 0.34.2's tokenizer.json): the pricing
    // estimate gives the changelog line 23 tokens, half its real count.
    const std::string link =
        "* [#4123](https://github.com/nodejs/node/pull/4123) fs: fix 0x1f2e3d4c in v20.11.1 (@user-42)\n";
    const std::string table = "| 0.1.2 | 2024-01-02 | 3 | 45.6 % |\n";
    EXPECT_GE(_budget_tokens(repeat(link, 100), "sonnet"), 4700);
    EXPECT_GE(_budget_tokens(repeat(table, 100), "sonnet"), 2200);
    // Never below the pricing estimate, whatever the model.
    for (const char* model : {"sonnet", "opus", "gpt4o", "default"}) {
        for (const std::string& text : {repeat("plain words ", 50), repeat("中文", 50), link})
            EXPECT_GE(_budget_tokens(text, model), _count_tokens(text, model)) << model;
    }

    // A cut answer of such lines stays under a client limit of 25,000 real tokens.
    const std::string cut =
        _fit_to_budget(repeat(link, 2000), 20000, "sonnet", [](std::size_t) { return "(cut)"; });
    const auto kept = static_cast<long long>(std::count(cut.begin(), cut.end(), '\n'));
    EXPECT_LE(kept * 47, 20000);
}

// The footer compares against the agent's own route: its Read tool (a page of 2,000 lines for a
// long file) and one Edit; it claims nothing when the route would have cost no more.
TEST(SavingsFooter, ComparesAgainstReadAndOneEditAndClaimsNoSavingThatWasNot) {
    const std::string line = "a line of ordinary English text in a long document\n";
    std::string big;
    for (int i = 0; i < 5000; ++i) big += line;
    const std::string section = "## Part\n" + line + line;
    RouteFigures route{big, 100, section, "old words", "new words", "old wordsnew words", 40};
    const TokenSavings paged = _route_savings("sonnet", route, {"$", 3, 15});
    EXPECT_TRUE(paged.paged);
    EXPECT_LE(paged.full_tok, READ_TOOL_TOKENS);
    EXPECT_EQ(paged.full_tok,
              std::min(_count_tokens(detail::join_lines(detail::split_lines(big), 99, 2099), "sonnet"), READ_TOOL_TOKENS));
    EXPECT_EQ(paged.tokens_saved, paged.read_savings + paged.write_savings);
    EXPECT_GT(paged.tokens_saved, 0);
    EXPECT_NE(_savings_footer(paged, {"¥", 2, 8}).find("against reading the file's 2,000-line page and one Edit"),
              std::string::npos);

    // A small file whose section is most of it: reading the section and the answer cost as
    // much as the whole file, so nothing is claimed.
    const std::string small = "# A\nx\n" + section;
    route = RouteFigures{small, 3, section, "old words", "new words", "old wordsnew words", 40};
    const TokenSavings none = _route_savings("sonnet", route, {"$", 3, 15});
    EXPECT_EQ(none.tokens_saved, 0);
    EXPECT_EQ(_savings_footer(none, {"$", 3, 15}), "[QUILLBOX_META] No saving here against reading the file and one Edit.");
}

TEST(FormatBlocks, HeaderCountAndLines) {
    Block intro{"11111111-1111-4111-8111-111111111111", "/docs/a.md", 1, 9, "Intro", 1, "Intro", "heading", ""};
    Block setup{"22222222-2222-4222-8222-222222222222", "/docs/a.md", 3, 9, "Setup", 2, "Intro/Setup", "heading", ""};
    Block fm{"33333333-3333-4333-8333-333333333333", "/docs/a.md", 1, 2, "front", 0, "", "frontmatter", ""};
    EXPECT_EQ(_format_blocks({intro, setup}, "/docs/a.md"),
              "✅ File: /docs/a.md\n2 blocks:\n"
              "  id=\"11111111-1111-4111-8111-111111111111\" # Intro lines=1-9\n"
              "  id=\"22222222-2222-4222-8222-222222222222\" ## Setup lines=3-9");
    EXPECT_EQ(_format_blocks({fm}, "/x.md"),
              "✅ File: /x.md\n1 blocks:\n  id=\"33333333-3333-4333-8333-333333333333\" FM front lines=1-2");
    EXPECT_EQ(_format_blocks({}, "/x.md"), "✅ File: /x.md\n0 blocks:\n");
}

TEST_F(Project, ListBlocksChecksPathsAndListsIndexedBlocks) {
    EXPECT_EQ(do_list_blocks(*session, (root / "missing.MD").string()), get_message("md_only_error"));
    EXPECT_EQ(do_list_blocks(*session, (root / "a.markdown").string()), get_message("md_only_error"));
    EXPECT_EQ(do_list_blocks(*session, (root / "missing.md").string()),
              "File not found: " + (root / "missing.md").string());

    const auto p = md("a.md", kDoc);
    logs.clear();
    const std::string out = do_list_blocks(*session, p.string());
    const auto blocks = indexer->list_blocks(p);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(out, _format_blocks(blocks, p));
    EXPECT_EQ(blocks[0].start_line, 1);
    EXPECT_EQ(blocks[1].start_line, 3);
    EXPECT_NE(out.find("## Setup lines=3-5"), std::string::npos);
    EXPECT_EQ(logs.front().templ, "list_blocks: %s");
    EXPECT_EQ(logs.front().message, "list_blocks: " + p.string());

    // A relative path is resolved first: messages show the resolved path.
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(root);
    EXPECT_EQ(do_list_blocks(*session, "a.md"), out);
    std::filesystem::current_path(cwd);
}

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
    EXPECT_DOUBLE_EQ(row().first, _file_mtime(p));
    EXPECT_EQ(row().second, detail::sha256_hex(kDoc));
    EXPECT_EQ(list(p), first);  // fast path

    // Touch: new time, same bytes -> time refreshed, identifiers kept.
    std::filesystem::last_write_time(p, std::filesystem::last_write_time(p) + std::chrono::seconds(5));
    EXPECT_EQ(list(p), first);
    EXPECT_DOUBLE_EQ(row().first, _file_mtime(p));

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
