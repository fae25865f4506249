// Hashing and numbered line access.

#include <gtest/gtest.h>

#include <random>

#include "quillbox/safety.h"
#include "test_util.h"

using namespace quillbox;
using qbtest::TempDir;
using qbtest::write_file;
using Lines = std::vector<std::string>;

namespace {

std::string naive_join(const Lines& lines, std::size_t i, std::size_t k) {
    std::string s;
    for (std::size_t j = i; j < i + k; ++j) {
        if (j > i) s += '\n';
        s += lines[j];
    }
    return s;
}

}  // namespace

TEST(ComputeHash, KnownDigestsAndNoNormalisation) {
    EXPECT_EQ(compute_hash(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(compute_hash("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_NE(compute_hash("a\nb"), compute_hash("a\nb\n"));
    EXPECT_NE(compute_hash("a\nb"), compute_hash("a\r\nb"));
}

TEST(ReadLines, RangesAreClampedAndOnlyLineFeedsRemoved) {
    TempDir d;
    auto p = d / "a.md";
    write_file(p, "one\ntwo\nthree\nfour\n");
    EXPECT_EQ(read_lines(p, 3, 5), (Lines{"three", "four"}));
    EXPECT_TRUE(read_lines(p, 6, 9).empty());
    EXPECT_TRUE(read_lines(p, 3, 2).empty());
    EXPECT_EQ(read_lines(p, -4, 1), (Lines{"one"}));

    // Other line ends stay on the line; the last line may have none.
    write_file(p, "a\fb\xe2\x80\xa8" "c\n\nd");
    EXPECT_EQ(read_lines(p, 1, 10), (Lines{"a\f", "b\xe2\x80\xa8", "c", "", "d"}));
    EXPECT_EQ(read_all_lines(p), (Lines{"a\f", "b\xe2\x80\xa8", "c\n", "\n", "d"}));
}

TEST(ReadLines, CrlfAndCrFilesMatchLfFiles) {
    TempDir d;
    write_file(d / "lf.md", "# T\n\nbody\nend\n");
    write_file(d / "crlf.md", "# T\r\n\r\nbody\r\nend\r\n");
    write_file(d / "cr.md", "# T\r\rbody\rend\r");
    for (auto name : {"crlf.md", "cr.md"}) {
        EXPECT_EQ(read_lines(d / name, 1, 99), read_lines(d / "lf.md", 1, 99)) << name;
        EXPECT_EQ(read_all_lines(d / name), read_all_lines(d / "lf.md")) << name;
        EXPECT_EQ(find_block_by_content_hash(d / name, compute_hash("body\nend"), 2),
                  std::make_pair(3, 4));
    }
}

TEST(ReadLines, BadFilesRaiseTheReadError) {
    TempDir d;
    write_file(d / "bad.md", "ok\n\xff\xfe\n");
    EXPECT_THROW(read_lines(d / "bad.md", 1, 1), DecodeError);
    EXPECT_THROW(read_all_lines(d / "bad.md"), DecodeError);
    EXPECT_THROW(find_block_by_content_hash(d / "bad.md", compute_hash("ok"), 1), DecodeError);
    try {
        read_lines(d / "missing.md", 1, 1);
        FAIL();
    } catch (const std::filesystem::filesystem_error& e) {
        EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
    }
    EXPECT_THROW(read_all_lines(d.path()), std::filesystem::filesystem_error);
}

TEST(FindBlock, ShiftedDuplicatedAndImpossibleWindows) {
    TempDir d;
    auto p = d / "a.md";
    write_file(p, "x\ny\nz\n# H\nbody\nmore\n");
    const auto h = compute_hash("# H\nbody\nmore");
    EXPECT_EQ(find_block_by_content_hash(p, h, 3), std::make_pair(4, 6));  // was 1..3
    write_file(p, "# H\nbody\nmore\nmid\n# H\nbody\nmore\n");
    EXPECT_EQ(find_block_by_content_hash(p, h, 3), std::make_pair(1, 3));
    EXPECT_EQ(find_block_by_content_hash(p, h, 8), std::nullopt);
    EXPECT_EQ(find_block_by_content_hash(p, h, 2), std::nullopt);
    // Only the lower-case form compute_hash produces can match.
    std::string upper = h;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(find_block_by_content_hash(p, upper, 3), std::nullopt);
    // A form feed ends a line: the window's lines are compared without it.
    write_file(p, "a\fb\n");
    EXPECT_EQ(find_block_by_content_hash(p, compute_hash("a\nb"), 2), std::make_pair(1, 2));
    // Zero lines: the empty window at the top.
    EXPECT_EQ(find_block_by_content_hash(p, compute_hash(""), 0), std::make_pair(1, 0));
}

TEST(FindBlock, AgreesWithExhaustiveSearchOnRandomFiles) {
    // Few distinct lines, so windows repeat and the first-from-the-top rule is exercised.
    TempDir d;
    auto p = d / "r.md";
    std::mt19937 rng(7);
    const char* words[] = {"a", "b", "", "# h", "中文"};
    for (int round = 0; round < 20; ++round) {
        Lines lines;
        std::string text;
        int n = 1 + static_cast<int>(rng() % 40);
        for (int i = 0; i < n; ++i) {
            lines.push_back(words[rng() % 5]);
            text += lines.back() + (rng() % 4 == 0 ? "\r\n" : "\n");
        }
        write_file(p, text);
        for (int probe = 0; probe < 10; ++probe) {
            std::size_t k = 1 + rng() % 5;
            std::size_t at = rng() % n;
            if (at + k > lines.size()) continue;
            auto h = compute_hash(naive_join(lines, at, k));
            std::optional<std::pair<int, int>> want;
            for (std::size_t i = 0; i + k <= lines.size() && !want; ++i)
                if (compute_hash(naive_join(lines, i, k)) == h)
                    want = std::make_pair(int(i + 1), int(i + k));
            EXPECT_EQ(find_block_by_content_hash(p, h, long(k)), want);
        }
    }
}

TEST(FindBlock, LargeSearchReturnsTheFirstOfSeveralOccurrences) {
    // Large enough for the search to be spread over worker threads.
    TempDir d;
    auto p = d / "big.md";
    Lines block;
    for (int i = 0; i < 300; ++i) block.push_back("block line " + std::to_string(i) + " lorem ipsum");
    std::string text;
    auto add = [&](const std::string& l) { text += l + "\n"; };
    for (int i = 0; i < 30000; ++i) add("filler " + std::to_string(i) + " dolor sit amet");
    for (int rep = 0; rep < 3; ++rep) {
        for (auto& l : block) add(l);
        for (int i = 0; i < 500; ++i) add("gap " + std::to_string(rep) + "-" + std::to_string(i));
    }
    write_file(p, text);
    EXPECT_EQ(find_block_by_content_hash(p, compute_hash(naive_join(block, 0, 300)), 300),
              std::make_pair(30001, 30300));
    EXPECT_EQ(find_block_by_content_hash(p, compute_hash("no such content"), 300), std::nullopt);
}

TEST(GetSnippet, NumberedContextAndNeverFails) {
    TempDir d;
    auto p = d / "a.md";
    write_file(p, "l1\nl2\nl3\n");
    EXPECT_EQ(get_snippet(p, 1, 1), "  1: l1\n  2: l2\n  3: l3");
    EXPECT_EQ(get_snippet(p, 2, 2, 0), "  2: l2");
    std::string text;
    for (int i = 1; i <= 30; ++i) text += "line " + std::to_string(i) + "\n";
    write_file(p, text);
    auto s = get_snippet(p, 10, 12);
    EXPECT_EQ(s.substr(0, 11), "  5: line 5");
    EXPECT_EQ(s.substr(s.size() - 13), "  17: line 17");
    EXPECT_EQ(get_snippet(d / "missing.md", 1, 1), "");
    write_file(p, "\xc3");
    EXPECT_EQ(get_snippet(p, 1, 1), "");
    EXPECT_EQ(get_snippet(d.path(), 1, 1), "");
}
