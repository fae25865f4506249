// Slugs, the gestalt similarity ratio and fuzzy heading matching.

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/locid.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "quillbox/outline.h"
#include "quillbox/detail/utf8.h"

namespace quillbox {
namespace {

bool is_slug_char(UChar32 c) {
    return (U_GET_GC_MASK(c) & U_GC_L_MASK) != 0 ||
           u_getIntPropertyValue(c, UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

// Appends a hyphen unless the slug is empty or already ends in one: runs of hyphens collapse
// to one and no leading hyphen is produced. The caller drops a trailing one.
inline void push_hyphen(std::string& out) {
    if (!out.empty() && out.back() != '-') out.push_back('-');
}

// Both slug flavours: NFKD, full lower-case mapping, keep letters, numbers and hyphens, turn
// spaces (and tabs, for anchors) into hyphens, collapse and trim hyphens. Trimming white space
// first would change nothing: white space either becomes a hyphen or is dropped, and hyphens
// at the ends are removed anyway.
std::string make_slug(std::string_view text, bool tab_is_hyphen) {
    std::string out;
    out.reserve(text.size());
    bool ascii = std::all_of(text.begin(), text.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) {
        // NFKD and lower-casing are the identity or plain ASCII mapping here.
        for (char ch : text) {
            char c = ch;
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
                out.push_back(c);
            } else if (c == '-' || c == ' ' || (tab_is_hyphen && c == '\t')) {
                push_hyphen(out);
            }
        }
    } else {
        UErrorCode status = U_ZERO_ERROR;
        const icu::Normalizer2* nfkd = icu::Normalizer2::getNFKDInstance(status);
        if (U_FAILURE(status)) throw std::runtime_error("ICU NFKD normaliser unavailable");
        icu::UnicodeString s = icu::UnicodeString::fromUTF8(
            icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
        icu::UnicodeString norm = nfkd->normalize(s, status);
        if (U_FAILURE(status)) throw std::runtime_error("ICU NFKD normalisation failed");
        norm.toLower(icu::Locale::getRoot());
        for (int32_t i = 0; i < norm.length();) {
            UChar32 c = norm.char32At(i);
            i += U16_LENGTH(c);
            if (c == '-' || c == ' ' || (tab_is_hyphen && c == '\t')) {
                push_hyphen(out);
            } else if (is_slug_char(c)) {
                detail::append_utf8(out, static_cast<char32_t>(c));
            }
        }
    }
    if (!out.empty() && out.back() == '-') out.pop_back();
    return out;
}

// Buffers of the gestalt ratio, kept across the candidates of one fuzzy match.
struct RatioWork {
    // Positions of the characters of b: `order` holds b's indices grouped by character (ascending
    // within a group); `ascii` and `groups` give each character's range. Popular characters of
    // a long b have no range.
    std::vector<std::uint64_t> keys;
    std::vector<int> order;
    std::array<std::pair<int, int>, 128> ascii{};
    std::vector<std::pair<char32_t, std::pair<int, int>>> groups;
    // len[j + 1]: length of the run ending at the previous a character and b[j].
    std::vector<std::size_t> len, newlen, touched, newtouched;
    std::vector<std::array<std::size_t, 4>> todo;
};

struct Match {
    std::size_t i, j, k;
};

class Matcher {
public:
    Matcher(RatioWork& w, std::u32string_view a, std::u32string_view b) : w_(w), a_(a), b_(b) {
        const std::size_t n = b.size();
        w_.keys.resize(n);
        for (std::size_t j = 0; j < n; ++j)
            w_.keys[j] = (static_cast<std::uint64_t>(b[j]) << 32) | static_cast<std::uint64_t>(j);
        std::sort(w_.keys.begin(), w_.keys.end());
        const std::size_t popular_over = n >= 200 ? n / 100 + 1 : n + 1;
        w_.ascii.fill({0, 0});
        w_.groups.clear();
        w_.order.clear();
        for (std::size_t s = 0; s < n;) {
            const char32_t c = static_cast<char32_t>(w_.keys[s] >> 32);
            std::size_t e = s;
            while (e < n && static_cast<char32_t>(w_.keys[e] >> 32) == c) ++e;
            if (e - s <= popular_over) {
                auto begin = static_cast<int>(w_.order.size());
                for (std::size_t t = s; t < e; ++t) w_.order.push_back(static_cast<int>(w_.keys[t] & 0xFFFFFFFFu));
                std::pair<int, int> range{begin, static_cast<int>(w_.order.size())};
                if (c < 128) w_.ascii[c] = range;
                else w_.groups.push_back({c, range});
            }
            s = e;
        }
        w_.len.assign(n + 1, 0);
        w_.newlen.assign(n + 1, 0);
    }

    // Longest run a[i..i+k) == b[j..j+k) in the ranges, free of popular characters, smallest
    // i then smallest j; then widened over equal neighbours (popular ones included).
    Match longest(std::size_t alo, std::size_t ahi, std::size_t blo, std::size_t bhi) {
        std::size_t besti = alo, bestj = blo, bestk = 0;
        auto& len = w_.len;
        auto& newlen = w_.newlen;
        w_.touched.clear();
        for (std::size_t i = alo; i < ahi; ++i) {
            w_.newtouched.clear();
            auto [p, e] = positions(a_[i]);
            for (; p != e; ++p) {
                auto j = static_cast<std::size_t>(*p);
                if (j < blo) continue;
                if (j >= bhi) break;
                std::size_t k = len[j] + 1;
                newlen[j + 1] = k;
                w_.newtouched.push_back(j + 1);
                if (k > bestk) {
                    besti = i + 1 - k;
                    bestj = j + 1 - k;
                    bestk = k;
                }
            }
            for (std::size_t t : w_.touched) len[t] = 0;
            std::swap(len, newlen);
            std::swap(w_.touched, w_.newtouched);
        }
        for (std::size_t t : w_.touched) len[t] = 0;
        w_.touched.clear();
        while (besti > alo && bestj > blo && a_[besti - 1] == b_[bestj - 1]) {
            --besti;
            --bestj;
            ++bestk;
        }
        while (besti + bestk < ahi && bestj + bestk < bhi && a_[besti + bestk] == b_[bestj + bestk])
            ++bestk;
        return {besti, bestj, bestk};
    }

    std::size_t matched_total() {
        std::size_t total = 0;
        auto& todo = w_.todo;
        todo.clear();
        todo.push_back({0, a_.size(), 0, b_.size()});
        while (!todo.empty()) {
            auto [alo, ahi, blo, bhi] = todo.back();
            todo.pop_back();
            Match m = longest(alo, ahi, blo, bhi);
            if (m.k == 0) continue;
            total += m.k;
            if (alo < m.i && blo < m.j) todo.push_back({alo, m.i, blo, m.j});
            if (m.i + m.k < ahi && m.j + m.k < bhi) todo.push_back({m.i + m.k, ahi, m.j + m.k, bhi});
        }
        return total;
    }

private:
    // Ascending positions of c in b (empty for absent or popular characters).
    std::pair<const int*, const int*> positions(char32_t c) const {
        std::pair<int, int> r{0, 0};
        if (c < 128) {
            r = w_.ascii[c];
        } else {
            auto it = std::lower_bound(w_.groups.begin(), w_.groups.end(), c,
                                       [](const auto& g, char32_t v) { return g.first < v; });
            if (it != w_.groups.end() && it->first == c) r = it->second;
        }
        return {w_.order.data() + r.first, w_.order.data() + r.second};
    }

    RatioWork& w_;
    std::u32string_view a_, b_;
};

double ratio_with(RatioWork& w, std::u32string_view a, std::u32string_view b) {
    const std::size_t total = a.size() + b.size();
    if (total == 0) return 1.0;
    if (a.empty() || b.empty()) return 0.0;
    Matcher m(w, a, b);
    return 2.0 * static_cast<double>(m.matched_total()) / static_cast<double>(total);
}

}  // namespace

std::string _slug(std::string_view text) { return make_slug(text, false); }

std::string compute_github_slug(std::string_view text,
                                const std::unordered_set<std::string>* existing_slugs) {
    std::string slug = make_slug(text, true);
    if (!existing_slugs || !existing_slugs->count(slug)) return slug;
    for (unsigned long n = 1;; ++n) {
        std::string candidate = slug + "-" + std::to_string(n);
        if (!existing_slugs->count(candidate)) return candidate;
    }
}

double similarity_ratio(std::u32string_view a, std::u32string_view b) {
    RatioWork w;
    return ratio_with(w, a, b);
}

double similarity_ratio(std::string_view a, std::string_view b) {
    return similarity_ratio(std::u32string_view(detail::to_u32(a)),
                            std::u32string_view(detail::to_u32(b)));
}

}  // namespace quillbox
