#pragma once
// Header-only text helpers shared by several modules: strict UTF-8, the line-split rule,
// whole-file reads and SHA-256. Everything here is inline so that no module gains a link
// dependency on another one by using it.

#include <openssl/evp.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace quillbox {

// Invalid UTF-8 in a file or text. `offset` is the byte offset of the first bad byte.
class DecodeError : public std::runtime_error {
public:
    DecodeError(std::size_t offset, const std::string& what)
        : std::runtime_error(what), offset_(offset) {}
    std::size_t offset() const noexcept { return offset_; }

private:
    std::size_t offset_;
};

namespace detail {

// Byte offset of the first invalid UTF-8 sequence, or npos when `s` is valid. Rejects
// overlong forms, surrogates and code points above U+10FFFF.
inline std::size_t find_invalid_utf8(std::string_view s) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
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

// Throws DecodeError naming the offset of the first bad byte. `what` names the source.
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

// `s` (valid UTF-8) without the leading and trailing code points for which `is_space` holds.
template <class Pred>
std::string_view trim_code_points(std::string_view s, Pred&& is_space) {
    std::size_t begin = 0;
    while (begin < s.size()) {
        std::size_t i = begin;
        if (!is_space(next_code_point(s, i))) break;
        begin = i;
    }
    std::size_t end = s.size();
    while (end > begin) {
        // Step back over one UTF-8 sequence.
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
        std::size_t i = start;
        if (!is_space(next_code_point(s, i))) break;
        end = start;
    }
    return s.substr(begin, end - begin);
}

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

// CRLF pairs and lone CRs become LF.
inline std::string normalize_newlines(std::string_view s) {
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
// Line ends: LF, CR, CRLF, VT, FF, U+001C..U+001E, U+0085, U+2028, U+2029.
inline std::size_t line_end_length(std::string_view s, std::size_t i) noexcept {
    auto c = static_cast<unsigned char>(s[i]);
    switch (c) {
        case '\n': case '\v': case '\f': case 0x1C: case 0x1D: case 0x1E:
            return 1;
        case '\r':
            return (i + 1 < s.size() && s[i + 1] == '\n') ? 2 : 1;
        case 0xC2:
            return (i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x85) ? 2 : 0;
        case 0xE2:
            if (i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x80) {
                auto d = static_cast<unsigned char>(s[i + 2]);
                if (d == 0xA8 || d == 0xA9) return 3;
            }
            return 0;
        default:
            return 0;
    }
}

// Splits at every line end of the rule above. A line end at the very end starts no further
// line; an empty text has no lines. With `keep_ends` each line keeps its terminator.
inline std::vector<std::string> split_lines(std::string_view s, bool keep_ends = false) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t len = line_end_length(s, i);
        if (len == 0) {
            ++i;
            continue;
        }
        lines.emplace_back(s.substr(start, (keep_ends ? i + len : i) - start));
        i += len;
        start = i;
    }
    if (start < s.size()) lines.emplace_back(s.substr(start));
    return lines;
}

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

// Whole file as bytes. A missing file raises filesystem_error(no_such_file_or_directory);
// a directory or unreadable file raises filesystem_error with the matching code.
inline std::string read_file_bytes(const std::filesystem::path& p) {
    std::error_code ec;
    auto st = std::filesystem::status(p, ec);
    if (ec || !std::filesystem::exists(st)) {
        throw std::filesystem::filesystem_error(
            "No such file or directory", p, std::make_error_code(std::errc::no_such_file_or_directory));
    }
    if (std::filesystem::is_directory(st)) {
        throw std::filesystem::filesystem_error("Is a directory", p,
                                                std::make_error_code(std::errc::is_a_directory));
    }
    std::FILE* f = std::fopen(p.c_str(), "rb");
    if (!f) {
        throw std::filesystem::filesystem_error("Cannot open file", p,
                                                std::error_code(errno, std::generic_category()));
    }
    std::string data;
    char buf[1 << 16];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, got);
    bool failed = std::ferror(f);
    std::fclose(f);
    if (failed) {
        throw std::filesystem::filesystem_error("Read error", p,
                                                std::make_error_code(std::errc::io_error));
    }
    return data;
}

// Whole file as text: strict UTF-8, CRLF and CR turned into LF. The byte-order mark stays.
inline std::string read_text_file(const std::filesystem::path& p) {
    std::string bytes = read_file_bytes(p);
    validate_utf8(bytes, p.string());
    return normalize_newlines(bytes);
}

inline std::string to_hex(const unsigned char* d, std::size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string out(n * 2, '0');
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = digits[d[i] >> 4];
        out[2 * i + 1] = digits[d[i] & 0xF];
    }
    return out;
}

// SHA-256 of the bytes, 64 lower-case hexadecimal characters.
inline std::string sha256_hex(std::string_view data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    return to_hex(md, len);
}

// Incremental SHA-256 for hashing joined line ranges without building the text.
class Sha256 {
public:
    Sha256() : ctx_(EVP_MD_CTX_new()) {
        if (!ctx_ || EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) != 1)
            throw std::runtime_error("SHA-256 init failed");
    }
    ~Sha256() { EVP_MD_CTX_free(ctx_); }
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void update(std::string_view d) { EVP_DigestUpdate(ctx_, d.data(), d.size()); }
    std::string hex() {
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        EVP_DigestFinal_ex(ctx_, md, &len);
        return to_hex(md, len);
    }

private:
    EVP_MD_CTX* ctx_;
};

}  // namespace detail
}  // namespace quillbox
