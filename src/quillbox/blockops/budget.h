#pragma once
// The result budget: how big one answer may be, the cautious token count that keeps it there,
// and cutting an answer at a line boundary.
// Private to blockops and its tests.

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "quillbox/blockops.h"

namespace quillbox {

// Clients refuse over-long tool results (Claude Code: 25,000 tokens unless
// MAX_MCP_OUTPUT_TOKENS says otherwise), so every answer is kept under a token budget.
inline constexpr long long DEFAULT_RESULT_BUDGET = 20000;
// Smallest budget honoured: below it a cut answer would be little more than its hint.
inline constexpr long long MIN_RESULT_BUDGET = 200;

// The budget of one answer, in estimated tokens: the configuration key
// "result_budget_tokens" (default 20,000), and when the environment sets
// MAX_MCP_OUTPUT_TOKENS, at most four fifths of it (the estimate is not the client's count).
long long result_budget(const ConfigSource& config);

// The cautious token count used to keep answers under the budget, for a text built piece by
// piece: tokens() is budget_tokens of the concatenation of everything added. Never below
// _count_tokens (the pricing estimate, a quarter token an English character), and higher for
// digits, punctuation, line feeds, letters and digits mixed at random (base64) and every other
// script, which a real tokenizer splits finely: never below the Claude tokenizer's count, by
// weights measured per kind of character (bench/calibrate_tally.py).
class TokenTally {
public:
    explicit TokenTally(std::string_view model);
    void add(std::string_view text);
    long long tokens() const;
    // What tokens() would be after add(text), without adding it.
    long long tokens_with(std::string_view text) const;
    // The most tokens one byte of any text can add.
    double max_weight() const;

    // The kinds of non-ASCII character it weighs apart.
    enum class Script : unsigned char { wide2, indic, thai, hangul, kana, cjk, supplementary, other, count };

private:
    double coeff_cn_;
    double coeff_en_;
    long long alpha_ = 0, digit_ = 0, space_ = 0, newline_ = 0, punct_ = 0, switch_ = 0;
    std::array<long long, static_cast<std::size_t>(Script::count)> scripts_{};
    unsigned char last_case_ = 0;  // of the last character added, for the switches
};

// The cautious count of `text` (see TokenTally) for `model`.
long long budget_tokens(std::string_view text, std::string_view model);
// budget_tokens(text, model) <= budget, without counting a text too short to reach it.
bool fits_budget(std::string_view text, long long budget, std::string_view model);

// How many of lines[first, last) fit, each preceded by a line feed, after the text counted in
// `base`, while the whole stays within `budget`.
std::size_t lines_that_fit(const TokenTally& base, const std::vector<std::string>& lines, std::size_t first,
                           std::size_t last, long long budget);

// The longest prefix of `text` (whole code points) that `base` plus the prefix keeps within
// `budget`; for a single line that is too long on its own.
std::string_view prefix_that_fits(const TokenTally& base, std::string_view text, long long budget);

// `text` when it fits the budget; otherwise its longest prefix of whole lines that fits
// together with one more line, hint(kept_lines), which tells the agent how to get the rest.
// When not even the first line fits, that line is cut at a character boundary.
std::string fit_to_budget(std::string_view text, long long budget, std::string_view model,
                          const std::function<std::string(std::size_t kept_lines)>& hint);

}  // namespace quillbox
