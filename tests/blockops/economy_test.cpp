// Token economy: text patches inside a block, several blocks in one read, short ids, the
// result budget with the follow-up calls that fetch the rest, and the honest savings footer.

#include <SQLiteCpp/SQLiteCpp.h>

#include <cstdlib>
#include <random>
#include <regex>
#include <set>

#include "fixture.h"
#include "host/tools.h"
#include "quillbox/blockops/tokens.h"
#include "quillbox/blockops/budget.h"
#include "quillbox/detail/lines.h"

using namespace quillbox;
using qbtest::Project;

namespace {

const char* kDoc =
    "# Guide\n"
    "intro\n"
    "## Install\n"
    "line a\n"
    "line b\n"
    "Run make to build.\n"
    "line d\n"
    "line e\n"
    "## Usage\n"
    "run it\n"
    "run it again\n";

std::shared_ptr<MemoryConfig> install_config(Session& session, const std::string& budget) {
    auto cfg = std::make_shared<MemoryConfig>();
    if (!budget.empty()) cfg->set("result_budget_tokens", budget);
    session.config = cfg;
    return cfg;
}

// A file of `sections` level-2 sections of `lines` lines each, under one title.
std::string big_doc(int sections, int lines) {
    std::string s = "# Big\n";
    for (int i = 0; i < sections; ++i) {
        s += "## Section " + std::to_string(i) + "\n";
        for (int l = 0; l < lines; ++l) s += "text " + std::to_string(i) + "." + std::to_string(l) + " of the section\n";
    }
    return s;
}

ListOptions with_short_ids() {
    ListOptions o;
    o.short_ids = true;
    return o;
}
ListOptions with_level(long long level) {
    ListOptions o;
    o.max_level = level;
    return o;
}
ListOptions with_under(std::string id) {
    ListOptions o;
    o.under = std::move(id);
    return o;
}
ListOptions with_page(long long offset, long long limit) {
    ListOptions o;
    o.offset = offset;
    o.limit = limit;
    return o;
}

long long tokens(const std::string& text) { return _count_tokens(text, "sonnet"); }

// The number a cut answer's last line names after "offset=".
long long offset_named(const std::string& answer) {
    std::smatch m;
    const std::string last = answer.substr(answer.rfind('\n') + 1);
    EXPECT_TRUE(std::regex_search(last, m, std::regex("offset=(\\d+)"))) << last;
    return m.empty() ? -1 : std::stoll(m[1]);
}

// The lines between the first two "---" lines of a read answer.
std::string between_separators(const std::string& answer) {
    const auto a = answer.find("\n---\n");
    const auto b = answer.find("\n---", a + 5);
    return answer.substr(a + 5, b - a - 5);
}

struct EnvVar {
    EnvVar(const char* name, const char* value) : name_(name) { ::setenv(name, value, 1); }
    ~EnvVar() { ::unsetenv(name_); }
    const char* name_;
};

}  // namespace

// ---- md_patch_block ---------------------------------------------------------------------

TEST_F(Project, PatchReplacesOneOccurrenceAndShowsOnlyTheChangedLines) {
    const auto p = md("g.md", kDoc);
    const std::string id = id_of(p, "Install");
    const std::string out = do_patch_block(*session, p, id, "make", "ninja");
    EXPECT_EQ(qbtest::read_file(p), std::string(kDoc).replace(std::string(kDoc).find("make"), 4, "ninja"));
    EXPECT_EQ(out.substr(0, out.find("\n[QUILLBOX_META]")),
              "✅ Block 'Install' patched (1 replacement).\n-6: Run make to build.\n+6: Run ninja to build.");
    EXPECT_NE(out.find("\n[QUILLBOX_META] "), std::string::npos);
    EXPECT_EQ(backup_count(), 1u);

    // The block keeps its id and the index its new content: a second patch works on it.
    EXPECT_NE(do_patch_block(*session, p, id, "ninja", "cmake").find("patched"),
              std::string::npos);
    EXPECT_NE(qbtest::read_file(p).find("Run cmake to build."), std::string::npos);
}

TEST_F(Project, PatchRefusesMissingOrRepeatedTextUnlessReplaceAll) {
    const auto p = md("g.md", kDoc);
    const std::string id = id_of(p, "Install");
    const std::string before = qbtest::read_file(p);

    std::string out = do_patch_block(*session, p, id, "run it", "go");
    EXPECT_NE(out.find("old_text was not found in block 'Install' (lines 3-8)"), std::string::npos) << out;
    out = do_patch_block(*session, p, id, "line", "row");
    EXPECT_NE(out.find("old_text occurs 4 times"), std::string::npos) << out;
    EXPECT_NE(out.find("replace_all"), std::string::npos);
    out = do_patch_block(*session, p, id, "", "x");
    EXPECT_NE(out.find("old_text is empty"), std::string::npos);
    EXPECT_EQ(qbtest::read_file(p), before);
    EXPECT_EQ(backup_count(), 0u);

    out = do_patch_block(*session, p, id, "line", "row", true);
    EXPECT_NE(out.find("(4 replacements)"), std::string::npos);
    EXPECT_EQ(qbtest::read_file(p).find("line "), std::string::npos);
    EXPECT_NE(qbtest::read_file(p).find("row a\nrow b\nRun make to build.\nrow d\nrow e\n"), std::string::npos);
}

TEST_F(Project, PatchKeepsTheReplaceGuarantees) {
    const auto p = md("g.md", kDoc);
    const std::string id = id_of(p, "Install");

    // Same text: no write, no backup, nothing claimed.
    EXPECT_EQ(do_patch_block(*session, p, id, "make", "make"),
              "✅ " + get_message("replace_idempotent", {{"file_path", p}}));
    EXPECT_EQ(backup_count(), 0u);

    // Lines inserted above: the block is found lower down and patched there.
    qbtest::write_file(p, "new first line\nand another\n" + std::string(kDoc));
    std::string out = do_patch_block(*session, p, id, "make", "ninja");
    EXPECT_NE(out.find("+8: Run ninja to build."), std::string::npos) << out;

    // The block's own text changed behind our back: refused, file untouched.
    std::string changed = qbtest::read_file(p);
    changed.replace(changed.find("line b"), 6, "LINE B");
    qbtest::write_file(p, changed);
    EXPECT_EQ(do_patch_block(*session, p, id, "ninja", "make"),
              get_message("file_changed"));
    EXPECT_EQ(qbtest::read_file(p), changed);

    EXPECT_EQ(do_patch_block(*session, "x.md", "no-such-id", "a", "b"),
              get_message("block_not_found_guidance", {{"file_path", "x.md"}}));
}

TEST_F(Project, PatchMatchesAcrossLinesAndCanAddOrRemoveLines) {
    const auto p = md("g.md", kDoc);
    const std::string id = id_of(p, "Install");
    // CRLF in the agent's text matches the block's line feeds; the new text adds a line.
    std::string out =
        do_patch_block(*session, p, id, "line a\r\nline b", "line a\nnew line\nline b");
    EXPECT_NE(out.find("\n+5: new line\n"), std::string::npos) << out;
    EXPECT_NE(qbtest::read_file(p).find("line a\nnew line\nline b\nRun make"), std::string::npos);
    // Removing lines.
    out = do_patch_block(*session, p, id, "\nline d\nline e", "");
    EXPECT_NE(qbtest::read_file(p).find("Run make to build.\n## Usage\n"), std::string::npos) << qbtest::read_file(p);
    EXPECT_NE(out.find("patched"), std::string::npos);
    // The listing sees the new ranges.
    const auto blocks = list(p);
    EXPECT_EQ(blocks[1].end_line, 7);
    EXPECT_EQ(blocks[2].start_line, 8);
}

// ---- Honest footer -------------------------------------------------------------------

TEST_F(Project, FooterClaimsNothingWhenTheBlockIsTheWholeFileOrNothingChanged) {
    const std::string none = get_message("aha_meta_none");
    const auto p = md("one.md", "\n# Only\nsome text here\nmore text\n");
    const std::string id = id_of(p, "Only");
    std::string out = do_patch_block(*session, p, id, "some", "any");
    EXPECT_NE(out.find(none), std::string::npos) << out;
    out = do_replace_block(*session, p, id, "# Only\nany text here\nless text");
    EXPECT_NE(out.find(none), std::string::npos) << out;

    // A replace whose lines are the block's own (only a trailing line feed differs) writes
    // nothing and claims nothing.
    const auto q = md("two.md", kDoc);
    const std::string install = id_of(q, "Install");
    out = do_replace_block(*session, q, install,
                           "## Install\nline a\nline b\nRun make to build.\nline d\nline e\n");
    EXPECT_EQ(out, "✅ " + get_message("replace_idempotent", {{"file_path", q}}));
    // In a file this small, reading the section and the answer cost what reading it all would.
    out = do_patch_block(*session, q, install, "make", "ninja");
    EXPECT_NE(out.find(none), std::string::npos) << out;

    // A one-word change in one section of a long file claims a saving against reading the
    // file, and the statistics record it.
    const auto r = md("three.md", big_doc(40, 10));
    out = do_patch_block(*session, r, id_of(r, "Section 7"), "text 7.3 of", "text 7.3 in");
    EXPECT_NE(out.find("saved against reading the whole file and one Edit."), std::string::npos) << out;
    SQLite::Database db(indexer->db_path().string(), SQLite::OPEN_READWRITE);
    SQLite::Statement st(db, "SELECT tokens_saved FROM stats WHERE operation_type = 'patch_block' ORDER BY rowid DESC");
    ASSERT_TRUE(st.executeStep());
    EXPECT_GT(st.getColumn(0).getInt64(), 0);
}

// ---- Short ids ----------------------------------------------------------------------------

TEST_F(Project, ShortIdsNameOneBlockOrAreRefusedWithTheCandidates) {
    const auto p = md("g.md", kDoc);
    const auto blocks = list(p);
    const std::string install = blocks[1].uuid;
    EXPECT_EQ(expand_block_id(*indexer, install.substr(0, 8)).id, install);
    EXPECT_EQ(expand_block_id(*indexer, install.substr(0, 13)).id, install);
    EXPECT_EQ(expand_block_id(*indexer, install).id, install);
    // Too short, or nobody's: unchanged, for the operation's not-found answer.
    EXPECT_EQ(expand_block_id(*indexer, install.substr(0, 7)).id, install.substr(0, 7));
    EXPECT_EQ(expand_block_id(*indexer, "ffffffff-none").id, "ffffffff-none");
    // Five characters name a section of the file the call names; alone they are refused.
    EXPECT_EQ(expand_block_id(*session, p.string(), install.substr(0, 5)).id, install);
    EXPECT_NE(expand_block_id(*session, std::nullopt, install.substr(0, 5)).refusal.find("file_path"), std::string::npos);

    // Two blocks that share the first 8 characters: the 8-character prefix is refused with both
    // candidates. The twin differs from `install` at the tenth character, whatever uuid
    // `install` drew.
    const std::string twin =
        install.substr(0, 9) + (install[9] == 'f' ? "e" : "f") + "000-4000-8000-000000000000";
    {
        SQLite::Database db(indexer->db_path().string(), SQLite::OPEN_READWRITE);
        SQLite::Statement up(db, "UPDATE blocks SET id = ? WHERE id = ?");
        up.bind(1, twin);
        up.bind(2, blocks[2].uuid);
        up.exec();
    }
    auto amb = expand_block_id(*indexer, install.substr(0, 8));
    ASSERT_EQ(amb.ambiguous.size(), 2u);
    const std::string msg = ambiguous_block_id_message(install.substr(0, 8), amb.ambiguous);
    EXPECT_NE(msg.find("is ambiguous"), std::string::npos);
    EXPECT_NE(msg.find(install), std::string::npos);
    EXPECT_NE(msg.find(twin), std::string::npos);
    EXPECT_EQ(expand_block_id(*indexer, install.substr(0, 10)).id, install);

    const std::string relisted = do_list_blocks(*session, p.string(), with_short_ids());
    EXPECT_NE(relisted.find("\n" + install.substr(0, 10) + " ## Install 3\n"), std::string::npos) << relisted;
    EXPECT_NE(relisted.find("\n" + twin.substr(0, 10) + " ## Usage 9"), std::string::npos) << relisted;

    const std::string found = do_find_blocks(*session, p.string(), "guide", true);
    EXPECT_NE(found.find("\n" + blocks[0].uuid.substr(0, 5) + " # Guide 1"), std::string::npos) << found;
}

// Short ids against a brute-force oracle, on files whose ids are drawn to collide: each listed id
// is the shortest prefix (five at least) that no other section of the file has nor had, it
// names its own section, and no shorter prefix of it names any section.
TEST_F(Project, FileShortIdsAreTheShortestPrefixesNoOtherSectionHasOrHad) {
    std::mt19937 rng(20261210);
    auto draw_id = [&] {
        // Three hex letters, then mostly zeros: prefixes of five to nine characters collide often.
        std::string id;
        for (int k = 0; k < 36; ++k) {
            if (k == 8 || k == 13 || k == 18 || k == 23) id += '-';
            else if (k < 3 || (k < 9 && rng() % 4 == 0)) id += "ab"[rng() % 2];
            else if (k < 9) id += '0';
            else id += "0123456789abcdef"[rng() % 16];
        }
        return id;
    };
    for (int round = 0; round < 12; ++round) {
        std::string doc;
        const int n = 5 + static_cast<int>(rng() % 25);
        for (int i = 0; i < n; ++i) doc += "## S" + std::to_string(i) + "\nbody " + std::to_string(i) + "\n";
        const auto p = md("f" + std::to_string(round) + ".md", doc);
        std::set<std::string> live, gone;
        {
            SQLite::Database db(indexer->db_path().string(), SQLite::OPEN_READWRITE);
            for (const Block& b : list(p)) {
                std::string id;
                do id = draw_id(); while (live.count(id) || gone.count(id));
                SQLite::Statement up(db, "UPDATE blocks SET id = ? WHERE id = ?");
                up.bind(1, id);
                up.bind(2, b.uuid);
                up.exec();
                live.insert(id);
            }
            for (int g = static_cast<int>(rng() % 6); g > 0; --g) {
                std::string id;
                do id = draw_id(); while (live.count(id) || gone.count(id));
                SQLite::Statement ins(db, "INSERT INTO retired_blocks (id, file_path) VALUES (?, ?)");
                ins.bind(1, id);
                ins.bind(2, detail::file_key(p).string());
                ins.exec();
                gone.insert(id);
            }
        }
        const std::string listing = do_list_blocks(*session, p.string(), with_short_ids());
        std::regex line(R"(^([0-9a-f-]+) ## S\d+ \d+$)");
        std::size_t seen = 0;
        for (const std::string& text : detail::split_lines(listing)) {
            std::smatch m;
            if (!std::regex_match(text, m, line)) continue;
            ++seen;
            const std::string shown = m[1];
            auto owners = [&](const std::set<std::string>& ids, std::size_t len) {
                return std::count_if(ids.begin(), ids.end(),
                                     [&](const std::string& id) { return id.compare(0, len, shown, 0, len) == 0; });
            };
            const std::size_t want = [&] {
                std::size_t len = FILE_SHORT_ID_MIN;
                while (len < 36 && owners(live, len) + owners(gone, len) > 1) ++len;
                return len;
            }();
            EXPECT_EQ(shown.size(), want) << text;
            const std::string full = *std::find_if(live.begin(), live.end(), [&](const std::string& id) { return id.starts_with(shown); });
            EXPECT_EQ(expand_block_id(*session, p.string(), shown).id, full) << text;
            // A shorter prefix is shared with another section, living or gone: refused, never
            // taken for either.
            for (std::size_t len = FILE_SHORT_ID_MIN; len < shown.size(); ++len) {
                const BlockIdExpansion e = expand_block_id(*session, p.string(), shown.substr(0, len));
                EXPECT_TRUE(!e.refusal.empty() || !e.ambiguous.empty()) << text << " at " << len;
            }
        }
        EXPECT_EQ(seen, static_cast<std::size_t>(n)) << listing;
    }
}

// ---- Listing options and the budget ----------------------------------------------------------

TEST_F(Project, ListingNarrowsByLevelAndSection) {
    const auto p = md("g.md", "# A\n## B\n### C\n#### D\n## E\n### F\n");
    const auto blocks = list(p);
    const std::string plain = do_list_blocks(*session, p.string());
    EXPECT_EQ(do_list_blocks(*session, p.string(), ListOptions{}), plain);

    std::string out = do_list_blocks(*session, p.string(), with_level(2));
    EXPECT_NE(out.find("\n3 blocks:\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("### C"), std::string::npos);

    out = do_list_blocks(*session, p.string(), with_under(blocks[1].uuid));
    EXPECT_NE(out.find("\n3 blocks:\n"), std::string::npos) << out;
    EXPECT_NE(out.find("## B"), std::string::npos);
    EXPECT_NE(out.find("#### D"), std::string::npos);
    EXPECT_EQ(out.find("## E"), std::string::npos);

    out = do_list_blocks(*session, p.string(), with_under("not-an-id"));
    EXPECT_NE(out.find("Block not found"), std::string::npos);

    // offset and limit page through the selection; the last line names the next offset.
    out = do_list_blocks(*session, p.string(), with_page(1, 2));
    EXPECT_NE(out.find("## B"), std::string::npos);
    EXPECT_NE(out.find("### C"), std::string::npos);
    EXPECT_EQ(out.find("# A "), std::string::npos);
    EXPECT_EQ(offset_named(out), 3);
}

TEST_F(Project, LongListingIsCutUnderTheBudgetAndTheNamedOffsetsFetchTheRest) {
    install_config(*session, "400");
    const auto p = md("big.md", big_doc(120, 1));
    const auto blocks = list(p);
    std::vector<std::string> seen;
    ListOptions options;
    for (int calls = 0; calls < 50; ++calls) {
        const std::string out = do_list_blocks(*session, p.string(), options);
        EXPECT_LE(tokens(out), 400) << out;
        const std::regex id_re("id=\"([0-9a-f-]+)\"");
        for (auto it = std::sregex_iterator(out.begin(), out.end(), id_re);
             it != std::sregex_iterator(); ++it)
            seen.push_back((*it)[1]);
        if (out.find("For the next ones") == std::string::npos) break;
        options.offset = offset_named(out);
    }
    ASSERT_EQ(seen.size(), blocks.size());
    for (std::size_t i = 0; i < blocks.size(); ++i) EXPECT_EQ(seen[i], blocks[i].uuid);
}

TEST_F(Project, BudgetComesFromConfigurationAndTheClientLimit) {
    EXPECT_EQ(result_budget(*session->config), DEFAULT_RESULT_BUDGET);
    install_config(*session, "5000");
    EXPECT_EQ(result_budget(*session->config), 5000);
    {
        EnvVar env("MAX_MCP_OUTPUT_TOKENS", "3000");
        EXPECT_EQ(result_budget(*session->config), 2400);
    }
    {
        EnvVar env("MAX_MCP_OUTPUT_TOKENS", "100000");
        EXPECT_EQ(result_budget(*session->config), 5000);
    }
    {
        EnvVar env("MAX_MCP_OUTPUT_TOKENS", "lots");
        EXPECT_EQ(result_budget(*session->config), 5000);
    }
}

// ---- Reads under the budget -----------------------------------------------------------------

TEST_F(Project, LongFileReadComesInPagesAndDoesNotCountAsHeld) {
    install_config(*session, "500");
    const std::string text = big_doc(20, 10);
    const auto p = md("big.md", text);
    std::string got;
    std::string out = do_read_file(*session, p.string());
    EXPECT_NE(out.find("(lines 1-"), std::string::npos) << out.substr(0, 200);
    for (int calls = 0; calls < 100; ++calls) {
        EXPECT_LE(tokens(out), 500);
        got += between_separators(out) + "\n";
        if (out.find("Call read_file with offset=") == std::string::npos) break;
        out = do_read_file(*session, p.string(), LineWindow{offset_named(out), std::nullopt});
    }
    EXPECT_EQ(got, text);
    // The agent never held the whole file: a read is never answered with the cached marker.
    EXPECT_EQ(do_read_file(*session, p.string()).find("[cached"), std::string::npos);

    // An explicit window on a small file.
    const auto q = md("small.md", "a\nb\nc\nd\n");
    out = do_read_file(*session, q.string(), LineWindow{2, 2});
    EXPECT_EQ(out, "File: " + q.string() + " (lines 2-3 of 4)\n---\nb\nc\n---\n… lines 4-4 of 4 are not shown. "
                                           "Call read_file with offset=4 for the next lines.");
    // Without a window a small file reads exactly as before.
    EXPECT_EQ(do_read_file(*session, q.string()), "File: " + q.string() + "\n---\na\nb\nc\nd\n\n---");
}

TEST_F(Project, HugeSectionReadComesInPagesThatJoinToTheSection) {
    install_config(*session, "300");
    const auto p = md("big.md", big_doc(2, 60));
    const std::string id = id_of(p, "Section 0");
    std::string got;
    std::string out = do_read_block(*session, p, id);
    for (int calls = 0; calls < 100; ++calls) {
        EXPECT_LE(tokens(out), 300);
        EXPECT_NE(out.find("Lines: 2-62 (showing "), std::string::npos) << out;
        got += between_separators(out) + "\n";
        if (out.find("md_read_block with offset=") == std::string::npos) break;
        EXPECT_NE(out.find("md_patch_block"), std::string::npos);
        out = do_read_block(*session, p, id, LineWindow{offset_named(out), std::nullopt});
    }
    EXPECT_EQ(got, detail::join_lines(read_lines(p, 2, 62)) + "\n");

    // A small section with a window shows just those lines.
    out = do_read_block(*session, p, id, LineWindow{10, 2});
    EXPECT_EQ(between_separators(out), detail::join_lines(read_lines(p, 10, 11)));
}

// A page of a section is that version of it: a patch after it is checked against that version,
// not against what an earlier write showed (an outside editor reverted the write meanwhile).
TEST_F(Project, APatchAfterAPageIsCheckedAgainstThePagesVersion) {
    install_config(*session, "300");
    const auto p = md("big.md", big_doc(2, 60));
    const std::string original = qbtest::read_file(p);
    const std::string id = id_of(p, "Section 0");
    std::string out = do_patch_block(*session, p, id, "text 0.5 of", "text 0.5 in");
    ASSERT_NE(out.find("patched"), std::string::npos) << out;
    qbtest::write_file(p, original);
    out = do_read_block(*session, p, id);
    ASSERT_NE(out.find("md_read_block with offset="), std::string::npos) << out;
    out = do_patch_block(*session, p, id, "text 0.3 of", "text 0.3 in");
    EXPECT_NE(out.find("patched"), std::string::npos) << out;
    std::string want = original;
    want.replace(want.find("text 0.3 of"), 11, "text 0.3 in");
    EXPECT_EQ(qbtest::read_file(p), want);
}

TEST_F(Project, ReadBlocksAnswersSeveralAndNamesWhatDidNotFit) {
    const auto p = md("g.md", kDoc);
    const auto blocks = list(p);
    const std::string both = do_read_blocks(*session, p, {blocks[1].uuid, blocks[2].uuid});
    EXPECT_EQ(both, do_read_block(*session, p, blocks[1].uuid) + "\n\n" +
                        do_read_block(*session, p, blocks[2].uuid));

    install_config(*session, "300");
    const auto q = md("big.md", big_doc(6, 8));
    const auto big = list(q);
    std::vector<std::string> ids;
    for (std::size_t i = 1; i < big.size(); ++i) ids.push_back(big[i].uuid);
    const std::string out = do_read_blocks(*session, q, ids);
    EXPECT_LE(tokens(out), 300);
    const std::string last = out.substr(out.rfind('\n') + 1);
    EXPECT_NE(last.find("For the rest call md_read_blocks with block_ids=["), std::string::npos) << last;
    // Short ids: the whole uuids are no news.
    EXPECT_NE(last.find("\"" + ids.back().substr(0, 8) + "\"]"), std::string::npos) << last;
    EXPECT_EQ(last.find(ids.back()), std::string::npos);
    EXPECT_EQ(last.find(ids.front().substr(0, 8)), std::string::npos);
}

// ---- Through the tool table -----------------------------------------------------------------

TEST_F(Project, ToolsAcceptShortIdsAndRefuseAmbiguousOnes) {
    quillbox::host::ToolRegistry registry;
    quillbox::host::register_all_tools(registry);
    quillbox::host::ToolContext ctx;
    ctx.session = session.get();
    auto call = [&](const char* name, const quillbox::host::json& args) {
        return quillbox::host::run_tool(*registry.find(name), ctx, args);
    };
    const auto p = md("g.md", kDoc);
    const auto blocks = list(p);
    const std::string shortid = blocks[1].uuid.substr(0, 8);

    auto r = call("md_read_block", {{"file_path", p.string()}, {"block_id", shortid}});
    EXPECT_FALSE(r.is_error);
    EXPECT_EQ(r.text, do_read_block(*session, p, blocks[1].uuid));
    r = call("md_patch_block", {{"file_path", p.string()}, {"block_id", shortid}, {"old_text", "make"},
                                {"new_text", "ninja"}});
    EXPECT_FALSE(r.is_error) << r.text;
    EXPECT_NE(qbtest::read_file(p).find("Run ninja"), std::string::npos);
    r = call("md_read_blocks", {{"file_path", p.string()}, {"block_ids", {shortid, blocks[2].uuid.substr(0, 9)}}});
    EXPECT_NE(r.text.find("Title: Usage"), std::string::npos) << r.text;
    r = call("md_read_blocks", {{"file_path", p.string()}, {"block_ids", quillbox::host::json::array()}});
    EXPECT_TRUE(r.is_error);

    {
        SQLite::Database db(indexer->db_path().string(), SQLite::OPEN_READWRITE);
        SQLite::Statement up(db, "UPDATE blocks SET id = ? WHERE id = ?");
        up.bind(1, shortid + "-0000-4000-8000-000000000000");
        up.bind(2, blocks[2].uuid);
        up.exec();
    }
    r = call("md_read_block", {{"file_path", p.string()}, {"block_id", shortid}});
    EXPECT_TRUE(r.is_error);
    EXPECT_NE(r.text.find("ambiguous"), std::string::npos);
    r = call("md_list_blocks", {{"file_path", p.string()}, {"under", shortid}});
    EXPECT_TRUE(r.is_error);
    r = call("md_list_blocks", {{"file_path", p.string()}, {"offset", -1}});
    EXPECT_TRUE(r.is_error);

    // The last guard: any answer over the budget is cut and says so.
    install_config(*session, "200");
    const auto big = md("big.txt", std::string(5000, 'x') + "\n");
    r = call("md_find_blocks", {{"file_path", p.string()}, {"query", ""}});
    EXPECT_FALSE(r.is_error);
    r = call("read_file", {{"file_path", big.string()}});
    EXPECT_LE(tokens(r.text), 200) << r.text;
}

TEST_F(Project, EditFallbackShowsTheBeginningOfAHugeSectionAndWhereToReadOn) {
    install_config(*session, "400");
    const auto p = md("big.md", big_doc(1, 200));
    const std::string out = do_md_edit(*session, p.string(), "tidy up section 0");
    EXPECT_LE(tokens(out), 400) << out;
    EXPECT_NE(out.find("Could not auto-edit"), std::string::npos) << out;
    EXPECT_NE(out.find("are not shown: md_read_block(block_id=\""), std::string::npos) << out;
    EXPECT_EQ(out.find("result budget of"), std::string::npos) << "cut by the operation, not the last guard";
}

// Random texts (ASCII and CJK lines of random lengths) against random budgets: a cut answer is
// a prefix of the text's lines plus the hint, and never over the budget.
TEST(BudgetCut, RandomTextsStayUnderTheBudgetAndKeepWholeLines) {
    std::mt19937 rng(20261208);
    const std::string hint = "… cut here; call again with offset=N.";
    for (int round = 0; round < 300; ++round) {
        std::string text;
        const int lines = std::uniform_int_distribution<int>(1, 60)(rng);
        for (int l = 0; l < lines; ++l) {
            if (l) text += '\n';
            const int len = std::uniform_int_distribution<int>(0, 120)(rng);
            for (int c = 0; c < len; ++c) text += (rng() % 7 == 0) ? std::string("\xe6\x96\x87") : std::string(1, 'a' + rng() % 26);
        }
        const long long budget = std::uniform_int_distribution<long long>(40, 800)(rng);
        const std::string out = fit_to_budget(text, budget, "sonnet", [&](std::size_t) { return hint; });
        if (budget_tokens(text, "sonnet") <= budget) {
            EXPECT_EQ(out, text);
            continue;
        }
        EXPECT_LE(budget_tokens(out, "sonnet"), budget) << "round " << round;
        ASSERT_TRUE(out.ends_with("\n" + hint));
        const std::string kept = out.substr(0, out.size() - hint.size() - 1);
        EXPECT_TRUE(text.starts_with(kept)) << "round " << round;
        // Whole lines, unless not even the first line fitted.
        if (kept.find('\n') != std::string::npos || text.starts_with(kept + "\n")) {
            EXPECT_TRUE(kept.empty() || text.size() == kept.size() || text[kept.size()] == '\n');
        }
    }
}
