// The result budget: how big one answer may be, and cutting an answer at a line boundary.

#include <algorithm>
#include <array>
#include <cstdlib>
#include <charconv>

#include "quillbox/blockops.h"
#include "quillbox/detail/lines.h"
#include "quillbox/detail/utf8.h"
#include "quillbox/blockops/tokens.h"
#include "quillbox/blockops/budget.h"
#include "quillbox/i18n.h"

namespace quillbox {

namespace {

std::optional<long long> parse_count(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    if (text.empty()) return std::nullopt;
    long long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value <= 0) {
        // Configuration numbers may be written with a fraction ("20000.0").
        double d = 0;
        auto [dend, dec] = std::from_chars(text.data(), text.data() + text.size(), d);
        if (dec != std::errc() || dend != text.data() + text.size() || !(d >= 1) || d > 1e15) return std::nullopt;
        return static_cast<long long>(d);
    }
    return value;
}

}  // namespace

long long result_budget(const ConfigSource& config) {
    long long budget = parse_count(config.get("result_budget_tokens")).value_or(DEFAULT_RESULT_BUDGET);
    if (const char* env = std::getenv("MAX_MCP_OUTPUT_TOKENS")) {
        if (auto limit = parse_count(env)) budget = std::min(budget, *limit / 5 * 4);
    }
    return std::max(budget, MIN_RESULT_BUDGET);
}

TokenTally::TokenTally(std::string_view model) {
    const auto& row = token_coeffs(model);
    coeff_cn_ = row.cn;
    coeff_en_ = row.en;
}

namespace {

// Tokens a character of each kind may take at most. ASCII: measured against the Claude
// tokenizer on the Markdown that Debian packages install (changelogs full of links, tables,
// code), and a switch between lower case, upper case and digits inside a word costs extra, so
// that base64 and hashes count what they take. Other scripts: the most a character of each took
// in random text of that script (bench/calibrate_tally.py), with a tenth more (kana more: mixed
// with ASCII, its runs split into more tokens than alone).
constexpr double CUT_ALPHA = 0.3, CUT_DIGIT = 0.7, CUT_SPACE = 0.35, CUT_NEWLINE = 0.8, CUT_PUNCT = 0.8,
                 CUT_SWITCH = 0.8;
constexpr double CUT_WIDE2 = 1.95, CUT_INDIC = 2.25, CUT_THAI = 2.8, CUT_HANGUL = 2.8, CUT_KANA = 2.1,
                 CUT_CJK = 2.6, CUT_SUPPLEMENTARY = 3.25, CUT_OTHER = 2.8;

// The class of each ASCII character, as TokenTally counts it; letters and digits also have a
// case class (1 lower, 2 upper, 3 digit) for the switches.
enum AsciiClass : unsigned char { kAlpha, kDigit, kSpace, kNewline, kPunct };

constexpr std::array<unsigned char, 128> ascii_classes() {
    std::array<unsigned char, 128> t{};
    for (int c = 0; c < 128; ++c) {
        if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') t[c] = kAlpha;
        else if (c >= '0' && c <= '9') t[c] = kDigit;
        else if (c == ' ' || c == '\t') t[c] = kSpace;
        else if (c == '\n') t[c] = kNewline;
        else t[c] = kPunct;
    }
    return t;
}

constexpr std::array<unsigned char, 128> case_classes() {
    std::array<unsigned char, 128> t{};
    for (int c = 0; c < 128; ++c) {
        if (c >= 'a' && c <= 'z') t[c] = 1;
        else if (c >= 'A' && c <= 'Z') t[c] = 2;
        else if (c >= '0' && c <= '9') t[c] = 3;
    }
    return t;
}

constexpr std::array<unsigned char, 128> kAsciiClass = ascii_classes();
constexpr std::array<unsigned char, 128> kCaseClass = case_classes();

TokenTally::Script script_of(char32_t cp) noexcept {
    using S = TokenTally::Script;
    if (cp < 0x800) return S::wide2;
    if (cp >= 0x10000) return S::supplementary;
    if (cp >= 0x0900 && cp <= 0x0DFF) return S::indic;
    if (cp >= 0x0E00 && cp <= 0x0EFF) return S::thai;
    if ((cp >= 0xAC00 && cp <= 0xD7AF) || (cp >= 0x1100 && cp <= 0x11FF) || (cp >= 0x3130 && cp <= 0x318F))
        return S::hangul;
    if (cp >= 0x3040 && cp <= 0x30FF) return S::kana;
    if (is_cjk(cp) || (cp >= 0x3400 && cp <= 0x4DBF) || (cp >= 0xF900 && cp <= 0xFAFF)) return S::cjk;
    return S::other;
}

}  // namespace

void TokenTally::add(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    long long ascii[5] = {0, 0, 0, 0, 0};
    long long switches = 0;
    unsigned char last = last_case_;
    for (std::size_t i = 0; i < text.size();) {
        if (p[i] < 0x80) {
            ++ascii[kAsciiClass[p[i]]];
            const unsigned char c = kCaseClass[p[i]];
            switches += (c != 0 && last != 0 && c != last);
            last = c;
            ++i;
        } else {
            ++scripts_[static_cast<std::size_t>(script_of(detail::next_code_point(text, i)))];
            last = 0;
        }
    }
    last_case_ = last;
    alpha_ += ascii[kAlpha];
    digit_ += ascii[kDigit];
    space_ += ascii[kSpace];
    newline_ += ascii[kNewline];
    punct_ += ascii[kPunct];
    switch_ += switches;
}

long long TokenTally::tokens() const {
    auto at_least = [&](double w) { return std::max(w, coeff_en_); };
    using S = Script;
    auto n = [&](S s) { return static_cast<double>(scripts_[static_cast<std::size_t>(s)]); };
    const double t = n(S::cjk) * std::max(CUT_CJK, coeff_cn_) + static_cast<double>(alpha_) * at_least(CUT_ALPHA) +
                     static_cast<double>(digit_) * at_least(CUT_DIGIT) +
                     static_cast<double>(space_) * at_least(CUT_SPACE) +
                     static_cast<double>(newline_) * at_least(CUT_NEWLINE) +
                     static_cast<double>(punct_) * at_least(CUT_PUNCT) + static_cast<double>(switch_) * CUT_SWITCH +
                     n(S::wide2) * at_least(CUT_WIDE2) + n(S::indic) * at_least(CUT_INDIC) +
                     n(S::thai) * at_least(CUT_THAI) + n(S::hangul) * at_least(CUT_HANGUL) +
                     n(S::kana) * at_least(CUT_KANA) + n(S::supplementary) * at_least(CUT_SUPPLEMENTARY) +
                     n(S::other) * at_least(CUT_OTHER);
    const auto whole = static_cast<long long>(t);
    return whole > 1 ? whole : 1;
}

long long budget_tokens(std::string_view text, std::string_view model) {
    TokenTally tally(model);
    tally.add(text);
    return tally.tokens();
}

bool fits_budget(std::string_view text, long long budget, std::string_view model) {
    TokenTally tally(model);
    // No byte counts for more than the largest weight of any character: a text short enough
    // fits without being counted.
    if (static_cast<double>(text.size()) * tally.max_weight() + 1 <= static_cast<double>(budget)) return true;
    tally.add(text);
    return tally.tokens() <= budget;
}

double TokenTally::max_weight() const {
    // Per byte: an ASCII character with a switch before it, or a character of another script
    // over the bytes it takes in UTF-8.
    return std::max({CUT_DIGIT + CUT_SWITCH, CUT_PUNCT, CUT_NEWLINE, CUT_WIDE2 / 2, CUT_INDIC / 3, CUT_THAI / 3,
                     CUT_HANGUL / 3, CUT_KANA / 3, std::max(CUT_CJK, coeff_cn_) / 3, CUT_SUPPLEMENTARY / 4,
                     CUT_OTHER / 3, coeff_en_ + CUT_SWITCH});
}

long long TokenTally::tokens_with(std::string_view text) const {
    TokenTally copy = *this;
    copy.add(text);
    return copy.tokens();
}

std::size_t lines_that_fit(const TokenTally& base, const std::vector<std::string>& lines, std::size_t first,
                           std::size_t last, long long budget) {
    TokenTally tally = base;
    std::size_t n = 0;
    for (std::size_t i = first; i < last && i < lines.size(); ++i) {
        tally.add("\n");
        tally.add(lines[i]);
        if (tally.tokens() > budget) break;
        ++n;
    }
    return n;
}

std::string_view prefix_that_fits(const TokenTally& base, std::string_view text, long long budget) {
    TokenTally tally = base;
    std::size_t keep = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t before = i;
        detail::next_code_point(text, i);
        tally.add(text.substr(before, i - before));
        if (tally.tokens() > budget) break;
        keep = i;
    }
    return text.substr(0, keep);
}

std::string fit_to_budget(std::string_view text, long long budget, std::string_view model,
                          const std::function<std::string(std::size_t kept_lines)>& hint) {
    if (fits_budget(text, budget, model)) return std::string(text);
    // Our own answers end lines with line feeds only; other characters stay inside a line.
    std::vector<std::string> lines;
    for (std::size_t start = 0;;) {
        const std::size_t nl = text.find('\n', start);
        lines.emplace_back(text.substr(start, nl - start));
        if (nl == std::string_view::npos) break;
        start = nl + 1;
    }
    // The hint's length hardly depends on the count it names: size it for the largest count,
    // then keep what fits beside it.
    TokenTally reserve(model);
    reserve.add(hint(lines.size()));
    reserve.add("\n");  // between the kept lines and the hint
    std::size_t kept = 0;
    if (!lines.empty()) {
        TokenTally tally = reserve;
        tally.add(lines[0]);
        if (tally.tokens() <= budget) kept = 1 + lines_that_fit(tally, lines, 1, lines.size(), budget);
    }
    std::string out;
    if (kept == 0) {
        if (!lines.empty()) out += prefix_that_fits(reserve, lines[0], budget - 1);
    } else {
        out = detail::join_lines(lines, 0, kept);
    }
    out += '\n';
    out += hint(kept);
    return out;
}

}  // namespace quillbox
