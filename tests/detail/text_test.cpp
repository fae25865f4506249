#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "quillbox/detail/text.h"

using namespace quillbox;
using namespace quillbox::detail;

TEST(LineSplit, AllLineEndsAndTrailingEnd) {
    EXPECT_TRUE(split_lines("").empty());
    EXPECT_EQ(split_lines("a\n"), (std::vector<std::string>{"a"}));
    EXPECT_EQ(split_lines("a\n\n"), (std::vector<std::string>{"a", ""}));
    EXPECT_EQ(split_lines("a\r\nb\rc"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(split_lines("a\vb\fc\x1c" "d\x1d" "e\x1e" "f"),
              (std::vector<std::string>{"a", "b", "c", "d", "e", "f"}));
    EXPECT_EQ(split_lines("a\xc2\x85" "b\xe2\x80\xa8" "c\xe2\x80\xa9" "d"),
              (std::vector<std::string>{"a", "b", "c", "d"}));
    // U+2027 and U+0084 are not line ends.
    EXPECT_EQ(split_lines("a\xe2\x80\xa7" "b\xc2\x84" "c").size(), 1u);
    EXPECT_EQ(split_lines("a\fb\n", true), (std::vector<std::string>{"a\f", "b\n"}));
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
