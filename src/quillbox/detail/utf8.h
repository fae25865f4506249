#pragma once
// Strict UTF-8: validation, code points, trimming.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "quillbox/decode_error.h"

namespace quillbox::detail {

// True when all eight bytes at `p` are ASCII.
inline bool all_ascii8(const unsigned char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return (w & 0x8080808080808080ULL) == 0;
}

// Length of the sequence a lead byte announces (1 for ASCII and for bytes that lead nothing).
inline std::size_t sequence_length(unsigned char c) noexcept {
    return (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 1;
}

// Byte offset of the first invalid UTF-8 sequence, or npos when `s` is valid. Rejects
// overlong forms, surrogates and code points above U+10FFFF.
inline std::size_t find_invalid_utf8(std::string_view s) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        if (i + 8 <= n && all_ascii8(p + i)) {
            i += 8;
            continue;
        }
        unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        std::uint32_t min;
        std::uint32_t cp;
        if ((c & 0xE0) == 0xC0) {
            len = 2; min = 0x80; cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3; min = 0x800; cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4; min = 0x10000; cp = c & 0x07;
        } else {
            return i;
        }
        if (i + len > n) return i;
        for (std::size_t k = 1; k < len; ++k) {
            unsigned char cc = p[i + k];
            if ((cc & 0xC0) != 0x80) return i;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return i;
        i += len;
    }
    return std::string_view::npos;
}

// Throws DecodeError naming the offset of the first bad byte. `source` names the text.
inline void validate_utf8(std::string_view s, const std::string& source = "text") {
    std::size_t bad = find_invalid_utf8(s);
    if (bad != std::string_view::npos) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned char>(s[bad]));
        throw DecodeError(bad, "'utf-8' codec can't decode byte " + std::string(hex) +
                                   " in position " + std::to_string(bad) + " of " + source +
                                   ": invalid UTF-8");
    }
}

// Decodes one code point of valid UTF-8 at `i` and advances `i`.
inline char32_t next_code_point(std::string_view s, std::size_t& i) noexcept {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) { ++i; return c; }
    int len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
    char32_t cp = c & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
    for (int k = 1; k < len && i + k < s.size(); ++k)
        cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += len;
    return cp;
}

// `s` (valid UTF-8) without the trailing code points for which `is_space` holds.
template <class Pred>
std::string_view trim_right_code_points(std::string_view s, Pred&& is_space) {
    std::size_t end = s.size();
    while (end > 0) {
        // Step back over one UTF-8 sequence.
        std::size_t start = end - 1;
        while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
        std::size_t i = start;
        if (!is_space(next_code_point(s, i))) break;
        end = start;
    }
    return s.substr(0, end);
}

// `s` (valid UTF-8) without the leading and trailing code points for which `is_space` holds.
template <class Pred>
std::string_view trim_code_points(std::string_view s, Pred&& is_space) {
    std::size_t begin = 0;
    while (begin < s.size()) {
        std::size_t i = begin;
        if (!is_space(next_code_point(s, i))) break;
        begin = i;
    }
    return trim_right_code_points(s.substr(begin), is_space);
}

// White space as Python's str.strip() and str.split() see it: tab to carriage return, U+001C
// to space, U+0085 and the Unicode space, line and paragraph separators.
constexpr bool is_white_space(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// `s` (valid UTF-8) without leading and trailing white space.
inline std::string_view strip_white_space(std::string_view s) { return trim_code_points(s, is_white_space); }

inline std::u32string to_u32(std::string_view s) {
    std::u32string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) out.push_back(next_code_point(s, i));
    return out;
}

inline void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

inline std::string to_utf8(std::u32string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char32_t cp : s) append_utf8(out, cp);
    return out;
}

// Number of code points in valid UTF-8.
inline std::size_t code_point_count(std::string_view s) noexcept {
    std::size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

}  // namespace quillbox::detail
