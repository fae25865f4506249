// The token estimate and the savings of block-wise work.

#include <algorithm>
#include <string>
#include <vector>

#include "quillbox/blockops/tokens.h"
#include "quillbox/detail/lines.h"
#include "quillbox/detail/utf8.h"
#include "quillbox/i18n.h"

namespace quillbox {

const PricingModel& token_coeffs(std::string_view model) {
    for (const auto& row : PRICING_MODELS)
        if (row.name == model) return row;
    return PRICING_MODELS.back();  // "default"
}

long long _count_tokens(std::string_view text, std::string_view model) {
    long long cn = 0;
    long long total = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        ++total;
        if (p[i] < 0x80) {  // ASCII, never CJK
            ++i;
            continue;
        }
        if (is_cjk(detail::next_code_point(text, i))) ++cn;
    }
    const long long en = total - cn;
    const auto& row = token_coeffs(model);
    const double estimate = static_cast<double>(cn) * row.cn + static_cast<double>(en) * row.en;
    const auto truncated = static_cast<long long>(estimate);
    return truncated > 1 ? truncated : 1;
}

TokenSavings no_savings(TokenSavings savings) {
    savings.read_savings = 0;
    savings.write_savings = 0;
    savings.tokens_saved = 0;
    return savings;
}

bool block_is_whole_file(std::string_view full_text, int start, int end) {
    const std::vector<std::string> lines = detail::split_lines(full_text);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const long line = static_cast<long>(i) + 1;
        if (line >= start && line <= end) continue;
        if (lines[i].find_first_not_of(" \t") != std::string::npos) return false;
    }
    return true;
}

namespace {

double amount_of(const TokenSavings& savings, const PricingRates& rates) {
    return (static_cast<double>(savings.read_savings) * rates.input +
            static_cast<double>(savings.write_savings) * rates.output) /
           1000000.0;
}

}  // namespace

TokenSavings route_savings(std::string_view model, const RouteFigures& f, const PricingRates& rates) {
    TokenSavings s;
    const std::vector<std::string> lines = detail::split_lines(f.full_text);
    s.full_tok = _count_tokens(f.full_text, model);
    if (static_cast<long long>(lines.size()) > READ_TOOL_LINES || s.full_tok > READ_TOOL_TOKENS) {
        // One page of the Read tool, from the section on.
        const auto from = static_cast<std::size_t>(std::max(f.start, 1) - 1);
        const std::string page = detail::join_lines(lines, from, from + static_cast<std::size_t>(READ_TOOL_LINES));
        s.full_tok = std::min(_count_tokens(page, model), READ_TOOL_TOKENS);
        s.paged = true;
    }
    s.block_tok = f.section.empty() ? 0 : _count_tokens(f.section, model);
    s.new_tok = _count_tokens(f.sent, model);
    const long long edit_tok = _count_tokens(f.edit_old, model) + _count_tokens(f.edit_new, model);
    s.read_savings = s.full_tok - s.block_tok - f.answer_tokens;
    s.write_savings = edit_tok - s.new_tok;
    s.tokens_saved = s.read_savings + s.write_savings;
    if (s.tokens_saved <= 0 || amount_of(s, rates) <= 0) return no_savings(s);
    return s;
}

std::string savings_footer(const TokenSavings& savings, const PricingRates& rates) {
    if (savings.tokens_saved <= 0) return get_message("aha_meta_none");
    return get_message(savings.paged ? "aha_meta_page" : "aha_meta", {{"tokens", savings.tokens_saved},
                                                                     {"currency", rates.currency},
                                                                     {"amount", amount_of(savings, rates)}});
}

}  // namespace quillbox
