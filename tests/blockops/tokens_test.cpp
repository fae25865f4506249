// The token estimate and the savings footer.

#include <algorithm>

#include "fixture.h"
#include "quillbox/blockops/tokens.h"
#include "quillbox/detail/lines.h"

using namespace quillbox;

using qbtest::repeat;

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

// The footer compares against the agent's own route: its Read tool (a page of 2,000 lines for a
// long file) and one Edit; it claims nothing when the route would have cost no more.
TEST(SavingsFooter, ComparesAgainstReadAndOneEditAndClaimsNoSavingThatWasNot) {
    const std::string line = "a line of ordinary English text in a long document\n";
    std::string big;
    for (int i = 0; i < 5000; ++i) big += line;
    const std::string section = "## Part\n" + line + line;
    RouteFigures route{big, 100, section, "old words", "new words", "old wordsnew words", 40};
    const TokenSavings paged = route_savings("sonnet", route, {"$", 3, 15});
    EXPECT_TRUE(paged.paged);
    EXPECT_LE(paged.full_tok, READ_TOOL_TOKENS);
    EXPECT_EQ(paged.full_tok,
              std::min(_count_tokens(detail::join_lines(detail::split_lines(big), 99, 2099), "sonnet"), READ_TOOL_TOKENS));
    EXPECT_EQ(paged.tokens_saved, paged.read_savings + paged.write_savings);
    EXPECT_GT(paged.tokens_saved, 0);
    EXPECT_NE(savings_footer(paged, {"¥", 2, 8}).find("against reading the file's 2,000-line page and one Edit"),
              std::string::npos);

    // A small file whose section is most of it: reading the section and the answer cost as
    // much as the whole file, so nothing is claimed.
    const std::string small = "# A\nx\n" + section;
    route = RouteFigures{small, 3, section, "old words", "new words", "old wordsnew words", 40};
    const TokenSavings none = route_savings("sonnet", route, {"$", 3, 15});
    EXPECT_EQ(none.tokens_saved, 0);
    EXPECT_EQ(savings_footer(none, {"$", 3, 15}), "[QUILLBOX_META] No saving here against reading the file and one Edit.");
}
