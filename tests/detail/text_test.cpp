#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "quillbox/detail/utf8.h"
#include "quillbox/detail/lines.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/detail/sha256.h"

using namespace quillbox;
using namespace quillbox::detail;

TEST(LineSplit, AllLineEndsAndTrailingEnd) {
    EXPECT_TRUE(split_lines("").empty());
    EXPECT_EQ(split_lines("a\n"), (std::vector<std::string>{"a"}));
    EXPECT_EQ(split_lines("a\n\n"), (std::vector<std::string>{"a", ""}));
    EXPECT_EQ(split_lines("a\r\nb\rc"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(split_lines("a\r\n\r\rb\n", true), (std::vector<std::string>{"a\r\n", "\r", "\r", "b\n"}));
    // Only LF, CR and CRLF end lines: FF, VT, U+001C..U+001E, U+0085, U+2028 and U+2029 are
    // characters inside a line.
    EXPECT_EQ(split_lines("a\vb\fc\x1c" "d\x1d" "e\x1e" "f\n"),
              (std::vector<std::string>{"a\vb\fc\x1c" "d\x1d" "e\x1e" "f"}));
    EXPECT_EQ(split_lines("a\xc2\x85" "b\xe2\x80\xa8" "c\xe2\x80\xa9" "d").size(), 1u);
    EXPECT_EQ(split_lines("a\fb\n", true), (std::vector<std::string>{"a\fb\n"}));
}

TEST(Utf8, StrictValidation) {
    EXPECT_EQ(find_invalid_utf8("plain ascii"), std::string_view::npos);
    EXPECT_EQ(find_invalid_utf8("中文 \xf0\x9f\x98\x80"), std::string_view::npos);
    EXPECT_EQ(find_invalid_utf8("ab\xff"), 2u);
    EXPECT_EQ(find_invalid_utf8("\xc0\xaf"), 0u);          // overlong
    EXPECT_EQ(find_invalid_utf8("x\xed\xa0\x80"), 1u);     // surrogate
    EXPECT_EQ(find_invalid_utf8("\xf4\x90\x80\x80"), 0u);  // above U+10FFFF
    EXPECT_EQ(find_invalid_utf8("\xe4\xb8"), 0u);          // truncated
    try {
        validate_utf8("abc\x80", "f.md");
        FAIL();
    } catch (const DecodeError& e) {
        EXPECT_EQ(e.offset(), 3u);
        EXPECT_NE(std::string(e.what()).find("position 3"), std::string::npos);
    }
}

TEST(Text, NewlinesCodePointsAndHash) {
    EXPECT_EQ(normalize_newlines("a\r\nb\r\rc"), "a\nb\n\nc");
    EXPECT_EQ(code_point_count("a中\xf0\x9f\x98\x80"), 3u);
    EXPECT_EQ(to_utf8(to_u32("é中😀")), "é中😀");
    EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    Sha256 h;
    h.update("a");
    h.update("bc");
    EXPECT_EQ(h.hex(), sha256_hex("abc"));
}

TEST(Text, ReadFileErrors) {
    auto missing = std::filesystem::temp_directory_path() / "quillbox-no-such-file.md";
    try {
        read_file_bytes(missing);
        FAIL();
    } catch (const std::filesystem::filesystem_error& e) {
        EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
    }
    EXPECT_THROW(read_file_bytes(std::filesystem::temp_directory_path()),
                 std::filesystem::filesystem_error);
}

namespace {

// Byte by byte, without the skip over printable ASCII runs.
std::vector<std::pair<std::size_t, std::size_t>> reference_line_ends(std::string_view s) {
    std::vector<std::pair<std::size_t, std::size_t>> out;
    for (std::size_t i = 0; i < s.size();) {
        std::size_t len = line_end_length(s, i);
        if (len == 0) {
            ++i;
            continue;
        }
        out.emplace_back(i, len);
        i += len;
    }
    return out;
}

}  // namespace

TEST(LineSplit, AsciiRunSkipFindsEveryLineEndAtEveryOffset) {
    // Each line end, and a stray non-ASCII byte, at every offset around two eight-byte words.
    const std::vector<std::string> ends = {"\n", "\r\n", "\r", "\v", "\f", "\x1c", "\x1e",
                                           "\x1f", "\xc2\x85", "\xe2\x80\xa8", "\xe2\x80\xa9",
                                           "\xc3\xa9", "\x7f", "\t"};
    for (const auto& e : ends) {
        for (std::size_t at = 0; at <= 20; ++at) {
            std::string s = std::string(at, 'x') + e + std::string(17, 'y') + e;
            std::vector<std::pair<std::size_t, std::size_t>> got;
            for_each_line_end(s, [&](std::size_t i, std::size_t len) { got.emplace_back(i, len); });
            EXPECT_EQ(got, reference_line_ends(s)) << "offset " << at;
            std::size_t joined = 0;
            for (const LineSpan& sp : line_spans(s)) joined += sp.len + sp.end_len;
            EXPECT_EQ(joined, s.size());
        }
    }
}

TEST(Utf8, BadByteAfterAsciiRunsAndTrimming) {
    for (std::size_t at = 0; at <= 17; ++at) {
        EXPECT_EQ(find_invalid_utf8(std::string(at, 'a') + "\xff" + std::string(9, 'b')), at);
        EXPECT_EQ(find_invalid_utf8(std::string(at, 'a') + "\xe4\xb8"), at);  // truncated at the end
    }
    auto space = [](char32_t c) { return c == ' ' || c == 0x3000; };
    EXPECT_EQ(trim_code_points("\xe3\x80\x80 a b \xe3\x80\x80", space), "a b");
    EXPECT_EQ(trim_right_code_points(" \xe4\xb8\xad \xe3\x80\x80", space), " \xe4\xb8\xad");
    EXPECT_EQ(trim_right_code_points("   ", space), "");
}

// Python's white space: the information separators and NEL are in, the zero-width and
// byte-order marks (and U+180E, a separator only in old Unicode) are not.
TEST(Utf8, WhiteSpaceIsPythonsAndStrippingKeepsInnerText) {
    for (char32_t c : {U'\t', U'\n', U'\v', U'\f', U'\r', U'\x1c', U'\x1f', U' ', U'\x85', U'\xa0', U'\u1680',
                       U'\u2000', U'\u200a', U'\u2028', U'\u2029', U'\u202f', U'\u205f', U'\u3000'})
        EXPECT_TRUE(is_white_space(c)) << static_cast<unsigned>(c);
    for (char32_t c : {U'\x08', U'\x0e', U'\x1b', U'\x21', U'\x84', U'\u180e', U'\u200b', U'\u2060', U'\ufeff', U'a'})
        EXPECT_FALSE(is_white_space(c)) << static_cast<unsigned>(c);
    EXPECT_EQ(strip_white_space("\xc2\x85\t a\xe3\x80\x80" "b \xe2\x80\xa8"), "a\xe3\x80\x80" "b");
    EXPECT_EQ(strip_white_space("\xe2\x80\x8b" "x\xe2\x80\x8b"), "\xe2\x80\x8b" "x\xe2\x80\x8b");
    EXPECT_EQ(strip_white_space(" \x1c "), "");
}

TEST(Sha256, ReusedObjectAndJoinedLines) {
    Sha256 h;
    h.update("abc");
    EXPECT_EQ(h.hex(), sha256_hex("abc"));
    EXPECT_EQ(h.hex(), sha256_hex(""));  // starts over after each digest
    unsigned char target[32];
    const std::string hex = sha256_hex("a\nb");
    for (int i = 0; i < 32; ++i) target[i] = static_cast<unsigned char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    EXPECT_FALSE(h.matches("a\nc", target));
    EXPECT_TRUE(h.matches("a\nb", target));

    const std::vector<std::string> lines = {"a", "b", "c"};
    EXPECT_EQ(sha256_joined(lines, 0, 2), sha256_hex("a\nb"));
    EXPECT_EQ(sha256_joined(lines, 1, 99), sha256_hex("b\nc"));  // clamped
    EXPECT_EQ(sha256_joined(lines, 2, 1), sha256_hex(""));
}
