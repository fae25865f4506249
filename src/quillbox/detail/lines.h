#pragma once
// The line-split rule shared by every module: which bytes end a line, how a text splits into
// lines and how lines join again.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace quillbox::detail {

// CRLF pairs and lone CRs become LF.
inline std::string normalize_newlines(std::string_view s) {
    if (std::memchr(s.data(), '\r', s.size()) == nullptr) return std::string(s);
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r') {
            out.push_back('\n');
            if (i + 1 < s.size() && s[i + 1] == '\n') ++i;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

// Length in bytes of the line end starting at `i`, or 0 when none starts there.
// Line ends are those of CommonMark: LF, CR and CRLF. Form feed, vertical tab, U+001C..U+001E,
// U+0085, U+2028 and U+2029 are characters inside a line, for the parser, the hashes, line
// access, the limits and writing alike.
inline std::size_t line_end_length(std::string_view s, std::size_t i) noexcept {
    switch (s[i]) {
        case '\n':
            return 1;
        case '\r':
            return (i + 1 < s.size() && s[i + 1] == '\n') ? 2 : 1;
        default:
            return 0;
    }
}

// Calls f(at, len) for every line end of the rule above, in order. Runs of eight printable
// ASCII bytes, which hold no line end, are skipped at once.
template <class F>
void for_each_line_end(std::string_view s, F&& f) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    for (std::size_t i = 0; i < n;) {
        if (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            // Zero when every byte lies in 0x20..0x7F.
            if (((w | (w - 0x2020202020202020ULL)) & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        std::size_t len = line_end_length(s, i);
        if (len == 0) {
            ++i;
            continue;
        }
        f(i, len);
        i += len;
    }
}

// One line of a text: bytes [begin, begin + len) without its end, followed by end_len bytes
// of line end (0 for a last line without one).
struct LineSpan {
    std::size_t begin;
    std::size_t len;
    std::size_t end_len;
};

// The lines of `s` by the rule above. A line end at the very end starts no further line; an
// empty text has no lines.
inline std::vector<LineSpan> line_spans(std::string_view s) {
    std::vector<LineSpan> spans;
    std::size_t start = 0;
    for_each_line_end(s, [&](std::size_t at, std::size_t len) {
        spans.push_back({start, at - start, len});
        start = at + len;
    });
    if (start < s.size()) spans.push_back({start, s.size() - start, 0});
    return spans;
}

// Lines [first, last) of `s`, as `spans` (its line_spans) locate them, joined by line feeds;
// `last` is cut to the lines there are.
inline std::string join_spans(std::string_view s, const std::vector<LineSpan>& spans, std::size_t first,
                              std::size_t last) {
    std::string out;
    for (std::size_t i = first; i < std::min(last, spans.size()); ++i) {
        if (i > first) out.push_back('\n');
        out.append(s.substr(spans[i].begin, spans[i].len));
    }
    return out;
}

// The lines of `s` as texts; with `keep_ends` each line keeps its terminator.
inline std::vector<std::string> split_lines(std::string_view s, bool keep_ends = false) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for_each_line_end(s, [&](std::size_t at, std::size_t len) {
        lines.emplace_back(s.substr(start, (keep_ends ? at + len : at) - start));
        start = at + len;
    });
    if (start < s.size()) lines.emplace_back(s.substr(start));
    return lines;
}

// Lines [first, last) joined by line feeds.
inline std::string join_lines(const std::vector<std::string>& lines, std::size_t first = 0,
                              std::size_t last = std::string::npos) {
    if (last > lines.size()) last = lines.size();
    std::string out;
    std::size_t total = 0;
    for (std::size_t i = first; i < last; ++i) total += lines[i].size() + 1;
    out.reserve(total);
    for (std::size_t i = first; i < last; ++i) {
        if (i > first) out.push_back('\n');
        out += lines[i];
    }
    return out;
}

}  // namespace quillbox::detail
