// The cautious token count that keeps answers under the result budget.

#include <algorithm>

#include "fixture.h"
#include "quillbox/blockops/budget.h"
#include "quillbox/blockops/tokens.h"

using namespace quillbox;

using qbtest::repeat;

TEST(BudgetTokens, LinkDenseLinesCountAtLeastWhatARealTokenizerCounts) {
    // Real counts from the Claude tokenizer (anthropic 0.34.2's tokenizer.json): the pricing
    // estimate gives the changelog line 23 tokens, half its real count.
    const std::string link =
        "* [#4123](https://github.com/nodejs/node/pull/4123) fs: fix 0x1f2e3d4c in v20.11.1 (@user-42)\n";
    const std::string table = "| 0.1.2 | 2024-01-02 | 3 | 45.6 % |\n";
    EXPECT_GE(budget_tokens(repeat(link, 100), "sonnet"), 4700);
    EXPECT_GE(budget_tokens(repeat(table, 100), "sonnet"), 2200);
    // Never below the pricing estimate, whatever the model.
    for (const char* model : {"sonnet", "opus", "gpt4o", "default"}) {
        for (const std::string& text : {repeat("plain words ", 50), repeat("中文", 50), link})
            EXPECT_GE(budget_tokens(text, model), _count_tokens(text, model)) << model;
    }

    // A cut answer of such lines stays under a client limit of 25,000 real tokens.
    const std::string cut =
        fit_to_budget(repeat(link, 2000), 20000, "sonnet", [](std::size_t) { return "(cut)"; });
    const auto kept = static_cast<long long>(std::count(cut.begin(), cut.end(), '\n'));
    EXPECT_LE(kept * 47, 20000);
}
