#pragma once
// The token estimate of a text, and what block-wise work saved against whole-file work: the
// savings figures and the footer of a write's answer.
// Private to blockops and its tests.

#include <string>
#include <string_view>

#include "quillbox/blockops.h"

namespace quillbox {

// The PRICING_MODELS row of `model`, or the "default" row for an unknown name (exact,
// case-sensitive).
const PricingModel& token_coeffs(std::string_view model);

// U+4E00..U+9FFF, U+3000..U+303F, U+FF00..U+FFEF. Inline: it runs once per character of
// every text whose tokens are counted.
inline bool is_cjk(char32_t cp) noexcept {
    return (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0x3000 && cp <= 0x303F) || (cp >= 0xFF00 && cp <= 0xFFEF);
}

// Token estimate of a UTF-8 text; at least 1.
long long _count_tokens(std::string_view text, std::string_view model = "sonnet");

// Token figures of a block-wise modification against whole-file work.
struct TokenSavings {
    long long full_tok = 0;
    long long block_tok = 0;
    long long new_tok = 0;
    long long read_savings = 0;
    long long write_savings = 0;
    long long tokens_saved = 0;
    bool paged = false;  // the route compared reads one page of the file, not all of it

    bool operator==(const TokenSavings&) const = default;
};

// What the agent would otherwise do for a change: read the file with its Read tool (all of it,
// or for a file over READ_TOOL_LINES lines or READ_TOOL_TOKENS tokens the page of
// READ_TOOL_LINES lines that starts at the section, within READ_TOOL_TOKENS) and send one Edit
// with the changed text, old and new. Against it, what this write cost: reading the section
// first (when it had to be read), what the call sent and what it answered.
inline constexpr long long READ_TOOL_LINES = 2000, READ_TOOL_TOKENS = 25000;
struct RouteFigures {
    std::string_view full_text;  // the file before the write
    int start = 0;               // the section's first line
    std::string_view section;    // the section as reading it showed it; empty when not read
    std::string_view edit_old;   // the changed stretch before
    std::string_view edit_new;   // and after
    std::string_view sent;       // what the call sent
    long long answer_tokens = 0;
};
// full_tok: the route's read; block_tok: the section's read; new_tok: what was sent;
// read_savings: the route's read less the section read and the answer (input tokens);
// write_savings: the Edit less what was sent (output tokens); tokens_saved: their sum when
// positive, else 0 (and then both parts 0: nothing is claimed).
TokenSavings route_savings(std::string_view model, const RouteFigures& figures, const PricingRates& rates);

// The figures with nothing claimed: for a write that changed nothing, and for a block
// that is the whole file (block-wise work saved nothing there).
TokenSavings no_savings(TokenSavings savings);
// Whether every line of `full_text` outside lines start..end (1-based) is blank.
bool block_is_whole_file(std::string_view full_text, int start, int end);
// The "[QUILLBOX_META] ..." footer priced with `rates`: the saving and what it is against
// (aha_meta, aha_meta_page), or that there was none (aha_meta_none).
std::string savings_footer(const TokenSavings& savings, const PricingRates& rates);

}  // namespace quillbox
