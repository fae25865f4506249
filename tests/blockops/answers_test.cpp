// Answers that never lose a byte and never waste one: lines longer than a page, answers that
// cannot page, offsets past the end, misses of md_edit, write answers that carry only news.

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <random>
#include <regex>

#include "fixture.h"
#include "host/tools.h"
#include "quillbox/blockops/budget.h"
#include "quillbox/blockops/pages.h"
#include "quillbox/detail/lines.h"
#include "quillbox/detail/utf8.h"

using namespace quillbox;
using qbtest::Project;

namespace {

std::shared_ptr<MemoryConfig> set_budget(Session& session, long long budget) {
    auto cfg = std::make_shared<MemoryConfig>();
    cfg->set("result_budget_tokens", std::to_string(budget));
    session.config = cfg;
    return cfg;
}

long long named(const std::string& text, const std::string& name) {
    std::smatch m;
    if (!std::regex_search(text, m, std::regex(name + "=(\\d+)"))) return -1;
    return std::stoll(m[1]);
}

// Reads every page as an agent following the answers would: each page's text between the ---
// lines; a page ending in a cut marker goes on in the same line, so the marker is dropped and
// the next page joined without a line break. `read(offset, column)` gives one answer.
std::string join_pages(const std::function<std::string(std::optional<long long>, std::optional<long long>)>& read,
                       long long budget, int* pages = nullptr) {
    std::string all;
    std::optional<long long> offset, column;
    bool same_line = true;
    for (int page = 0; page < 10000; ++page) {
        const std::string out = read(offset, column);
        EXPECT_LE(budget_tokens(out, "sonnet"), budget) << out.substr(0, 300);
        const std::size_t a = out.find("\n---\n");
        const std::size_t b = out.rfind("\n---");
        if (a == std::string::npos || b <= a) {
            ADD_FAILURE() << out.substr(0, 300);
            return all;
        }
        std::string body = out.substr(a + 5, b - a - 5);
        if (!same_line) all += '\n';
        const std::size_t mark = body.find(CUT_MARK);
        same_line = mark != std::string::npos;
        if (same_line) body.erase(mark);
        all += body;
        const std::string last = out.substr(b + 4);
        if (pages) *pages = page + 1;
        if (last.find("offset=") == std::string::npos) return all;
        offset = named(last, "offset");
        const long long c = named(last, "column");
        column = c > 0 ? std::optional<long long>(c) : std::nullopt;
        EXPECT_EQ(same_line, column.has_value()) << last;
    }
    ADD_FAILURE() << "no last page";
    return all;
}

std::string data_uri_doc() {
    std::string uri = "![logo](data:image/png;base64,";
    std::mt19937 rng(22);
    const char* b64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    while (uri.size() < 100030) uri += b64[rng() % 64];
    uri += ")";
    return "# Logo\n\nThe old word here.\n\n" + uri + "\n\nThe end.\n";
}

}  // namespace

// ---- Lines longer than a page -----------------------------------------------------------

// The 100,031-character data-URI line: read in pages, the pages joined as the markers say, one
// word changed and sent back, the file is exact; sent back with a marker left in, the write is
// refused and the file keeps every byte. Then the same line read with read_file.
TEST_F(Project, LongLineComesInPagesThatJoinExactlyAndAMarkerSentBackIsRefused) {
    const std::string doc = data_uri_doc();
    const auto p = md("logo.md", doc);
    const std::string id = id_of(p, "Logo");
    const long long budget = result_budget(*session->config);
    int pages = 0;
    const std::string section = join_pages(
        [&](auto offset, auto column) {
            const std::string out = do_read_block(*session, p, id, LineWindow{offset, std::nullopt, column});
            // The header never claims the whole line for a piece of it.
            if (out.find(CUT_MARK) != std::string::npos) {
                EXPECT_NE(out.find("(showing line 5, characters "), std::string::npos) << out.substr(0, 200);
            }
            return out;
        },
        budget, &pages);
    EXPECT_GE(pages, 2);
    ASSERT_TRUE(section + "\n" == doc);

    // The pages joined by an agent that did not heed the markers, one word changed: refused,
    // nothing written.
    std::string page_text;
    for (std::optional<long long> offset;;) {
        const std::string out = do_read_block(*session, p, id, LineWindow{offset});
        const std::size_t a = out.find("\n---\n"), b = out.rfind("\n---");
        if (!page_text.empty()) page_text += '\n';
        page_text += out.substr(a + 5, b - a - 5);
        const long long next = named(out.substr(b), "offset");
        if (next < 0) break;
        offset = next == offset ? next + 1 : next;
    }
    ASSERT_NE(page_text.find(CUT_MARK), std::string::npos);
    page_text.replace(page_text.find("old"), 3, "new");
    const Reply refused = do_replace_block(*session, p, id, page_text);
    EXPECT_TRUE(refused.refused()) << refused;
    EXPECT_NE(refused.find("⟦✂ …⟧"), std::string::npos) << refused;
    EXPECT_TRUE(qbtest::read_file(p) == doc);
    const Reply patch_refused = do_patch_block(*session, p, id, "old", page_text.substr(page_text.find(CUT_MARK)));
    EXPECT_TRUE(patch_refused.refused()) << patch_refused;
    EXPECT_TRUE(qbtest::read_file(p) == doc);

    // The joined pages with one word changed: exactly that word changes.
    std::string edited = section;
    edited.replace(edited.find("old"), 3, "new");
    const Reply done = do_replace_block(*session, p, id, edited);
    EXPECT_FALSE(done.refused()) << done.substr(0, 300);
    std::string expected = doc;
    expected.replace(expected.find("old"), 3, "new");
    EXPECT_TRUE(qbtest::read_file(p) == expected);

    // read_file pages the same line the same way.
    const std::string file = join_pages(
        [&](auto offset, auto column) {
            return std::string(do_read_file(*session, p.string(), LineWindow{offset, std::nullopt, column}));
        },
        budget);
    EXPECT_TRUE(file + "\n" == expected);
}

// Random files of short, long and huge lines in several scripts, read with random budgets:
// every page is under the budget, its header names only lines it holds, and the pages join to
// the file, whichever line they cut.
TEST_F(Project, RandomFilesReadInPagesJoinToTheFile) {
    std::mt19937 rng(2025);
    const std::vector<std::string> alphabet = {"a", "Z", " ", "9", "/", "文", "한", "😀", "ก"};
    for (int round = 0; round < 25; ++round) {
        std::string text;
        const int lines = std::uniform_int_distribution<int>(1, 30)(rng);
        for (int l = 0; l < lines; ++l) {
            const int kind = static_cast<int>(rng() % 10);
            const int len = kind == 0 ? std::uniform_int_distribution<int>(500, 4000)(rng)
                                      : std::uniform_int_distribution<int>(0, 80)(rng);
            for (int c = 0; c < len; ++c) text += alphabet[rng() % alphabet.size()];
            text += '\n';
        }
        const long long budget = std::uniform_int_distribution<long long>(200, 1500)(rng);
        set_budget(*session, budget);
        const auto p = md("r" + std::to_string(round) + ".txt", text);
        int pages = 0;
        const std::string joined = join_pages(
            [&](auto offset, auto column) {
                const std::string out = do_read_file(*session, p.string(), LineWindow{offset, std::nullopt, column});
                std::smatch m;
                // "(lines A-B of N)": the body holds exactly lines A..B.
                if (std::regex_search(out, m, std::regex("\\(lines (\\d+)-(\\d+) of"))) {
                    const std::size_t a = out.find("\n---\n"), b = out.rfind("\n---");
                    const std::string body = out.substr(a + 5, b - a - 5);
                    const auto shown = std::count(body.begin(), body.end(), '\n') + 1;
                    EXPECT_EQ(shown, std::stoll(m[2]) - std::stoll(m[1]) + 1) << out.substr(0, 200);
                }
                return out;
            },
            budget, &pages);
        // A file that fits comes whole, its last line end included; pages hold lines.
        EXPECT_EQ(pages == 1 && joined.ends_with('\n') ? joined : joined + "\n", text) << "round " << round;
    }
}

// ---- Offsets past the end ----------------------------------------------------------------

TEST_F(Project, OffsetsPastTheEndAreRefusedWithTheValidRange) {
    std::string ten;
    for (int i = 1; i <= 10; ++i) ten += "line " + std::to_string(i) + "\n";
    const auto txt = md("ten.txt", ten);
    Reply r = do_read_file(*session, txt.string(), LineWindow{500});
    EXPECT_TRUE(r.refused());
    EXPECT_NE(r.find("its lines are 1-10"), std::string::npos) << r;
    EXPECT_FALSE(do_read_file(*session, txt.string(), LineWindow{10}).refused());
    r = do_read_file(*session, txt.string(), LineWindow{3, std::nullopt, 9});
    EXPECT_TRUE(r.refused());
    EXPECT_NE(r.find("its characters are 1-6"), std::string::npos) << r;

    const auto p = md("g.md", "# A\none\ntwo\n# B\nthree\n");
    const std::string id = id_of(p, "A");
    r = do_read_block(*session, p, id, LineWindow{4});
    EXPECT_TRUE(r.refused());
    EXPECT_NE(r.find("its lines are 1-3"), std::string::npos) << r;

    ListOptions options;
    options.offset = 2;
    r = do_list_blocks(*session, p.string(), options);
    EXPECT_TRUE(r.refused());
    EXPECT_NE(r.find("it has 2 blocks (offset 0-1)"), std::string::npos) << r;
}

// ---- Answers that cannot page keep their shape -----------------------------------------------

// A write whose new text holds a 20,000-character line answers with the changed lines, that
// line shortened with a marker, and keeps its savings line; a heading longer than the budget
// still lists, shortened, and the listing moves on; a search with a long line in a result keeps
// every result.
TEST_F(Project, AnswersThatCannotPageShortenTheirContentAndKeepTheirShape) {
    std::string doc = "# Guide\nintro\n";
    for (int i = 0; i < 40; ++i) doc += "## Part " + std::to_string(i) + "\nsome text about quokka habitats " + std::to_string(i) + "\n";
    const auto p = md("g.md", doc);
    const std::string id = id_of(p, "Part 3");
    const std::string long_line(20000, 'q');
    const Reply out = do_replace_block(*session, p, id, "## Part 3\n" + long_line + "\n");
    EXPECT_FALSE(out.refused());
    EXPECT_LT(out.size(), 1500u) << out.substr(0, 400);
    EXPECT_NE(out.find("+10: qqqq"), std::string::npos) << out.substr(0, 400);
    EXPECT_NE(out.find(CUT_MARK), std::string::npos);
    EXPECT_NE(out.find("\n[QUILLBOX_META] "), std::string::npos);
    EXPECT_NE(qbtest::read_file(p).find(long_line), std::string::npos);

    set_budget(*session, 300);
    const auto q = md("h.md", "# " + std::string(3000, 'H') + "\ntext\n## Short\nmore\n");
    ListOptions options;
    Reply listing = do_list_blocks(*session, q.string(), options);
    EXPECT_LE(budget_tokens(listing, "sonnet"), 300);
    EXPECT_NE(listing.find(CUT_MARK), std::string::npos) << listing;
    EXPECT_EQ(named(listing.substr(listing.rfind('\n')), "offset"), 1) << listing;
    options.offset = 1;
    listing = do_list_blocks(*session, q.string(), options);
    EXPECT_NE(listing.find("## Short"), std::string::npos) << listing;

    set_budget(*session, 1000);
    md("a.md", "# Quokka care " + std::string(30000, 'w') + "\nquokka " + std::string(30000, 'w') + " quokka\n");
    md("b.md", "# Quokka food\nquokka eat leaves\n");
    md("c.md", "# Quokka homes\nquokka live on islands\n");
    for (const char* f : {"a.md", "b.md", "c.md"}) list(root / f);
    const Reply found = do_search_blocks(*session, "quokka");
    EXPECT_LE(budget_tokens(found, "sonnet"), 1000) << found.substr(0, 300);
    for (const char* title : {"Quokka care", "Quokka food", "Quokka homes"})
        EXPECT_NE(found.find(title), std::string::npos) << found.substr(0, 600);
}

// ---- A miss of md_edit ------------------------------------------------------------------------

// A phrase that is nowhere in the file: a short refusal naming the nearest lines, in either
// language, and nothing written. Before, the whole best-matching section came back as success.
TEST_F(Project, EditMissIsAShortRefusalNamingTheNearestLines) {
    std::string doc = "# Notes\n";
    for (int s = 0; s < 30; ++s) {
        doc += "## Part " + std::to_string(s) + "\n";
        for (int l = 0; l < 40; ++l) doc += "filler line " + std::to_string(l) + " with nothing to see\n";
        if (s == 17) doc += "The quick brown fox jumps over the lazy dog.\n";
    }
    const auto p = md("notes.md", doc);
    list(p);
    Reply out = do_md_edit(*session, p.string(), "change \"quick brwn fox\" to \"slow red fox\"");
    EXPECT_TRUE(out.refused());
    EXPECT_LE(detail::code_point_count(out), 2000u) << out;
    EXPECT_NE(out.find("The quick brown fox jumps"), std::string::npos) << out;
    EXPECT_NE(out.find("nothing was changed"), std::string::npos) << out;
    set_language("zh");
    out = do_md_edit(*session, p.string(), "把 zzzzqqq 改为 b");
    EXPECT_TRUE(out.refused());
    EXPECT_NE(out.find("未做任何修改"), std::string::npos) << out;
    set_language("en");
    EXPECT_TRUE(qbtest::read_file(p) == doc);
    EXPECT_EQ(backup_count(), 0u);

    // Found in another letter case, the edit still happens.
    out = do_md_edit(*session, p.string(), "change \"QUICK brown\" to \"quick red\"");
    EXPECT_FALSE(out.refused()) << out;
    EXPECT_NE(qbtest::read_file(p).find("The quick red fox"), std::string::npos);
}

// ---- The budget's count against a real tokenizer ----------------------------------------------

// Texts of every script the tally weighs apart (Hangul, Thai, Devanagari, kana, CJK, emoji,
// Cyrillic, base64, ...) with the Claude tokenizer's count of each, as bench/calibrate_tally.py
// wrote them: the tally never counts fewer tokens, whole or added in random pieces, so no
// answer under the budget is over the client's limit.
TEST(TallyAgainstTokenizer, NeverBelowTheRealCountForAnyScript) {
    std::ifstream in(std::string(QUILLBOX_SOURCE_DIR) + "/tests/blockops/data/tally_samples.jsonl");
    ASSERT_TRUE(in) << "tests/blockops/data/tally_samples.jsonl";
    std::mt19937 rng(254);
    std::set<std::string> scripts;
    int samples = 0;
    for (std::string row; std::getline(in, row);) {
        const auto sample = nlohmann::json::parse(row);
        const std::string text = sample.at("text");
        const long long real = sample.at("tokens");
        scripts.insert(sample.at("script").get<std::string>());
        ++samples;
        EXPECT_GE(budget_tokens(text, "sonnet"), real) << sample.at("script") << ": " << text.substr(0, 80);
        TokenTally pieces("sonnet");
        for (std::size_t at = 0; at < text.size();) {
            std::size_t next = std::min(text.size(), at + 1 + rng() % 64);
            while (next < text.size() && (static_cast<unsigned char>(text[next]) & 0xC0) == 0x80) ++next;
            pieces.add(std::string_view(text).substr(at, next - at));
            at = next;
        }
        EXPECT_EQ(pieces.tokens(), budget_tokens(text, "sonnet"));
    }
    EXPECT_GE(samples, 100);
    for (const char* s : {"hangul", "thai_lao", "devanagari_indic", "kana", "cjk", "emoji_supplementary", "base64"})
        EXPECT_TRUE(scripts.count(s)) << s;
}
