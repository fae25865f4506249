// Hashing and numbered line access.

#include <gtest/gtest.h>

#include <random>

#include "quillbox/safety.h"
#include "quillbox/detail/lines.h"
#include "common/temp_dir.h"

using namespace quillbox;
using qbtest::TempDir;
using qbtest::write_file;
using Lines = std::vector<std::string>;
using Range = std::optional<std::pair<int, int>>;

static std::string join(const Lines& l, std::size_t i, std::size_t k) {
    return detail::join_lines(l, i, i + k);
}

TEST(ComputeHash, KnownDigestsAndNoNormalisation) {
    EXPECT_EQ(compute_hash(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(compute_hash("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_NE(compute_hash("a\nb"), compute_hash("a\nb\n"));
}

TEST(ReadLines, RangesAndLineEnds) {
    TempDir d;
    auto p = d / "a.md";
    write_file(p, "one\ntwo\nthree\nfour\n");
    EXPECT_EQ(read_lines(p, 3, 5), (Lines{"three", "four"}));
    EXPECT_TRUE(read_lines(p, 6, 9).empty());
    EXPECT_TRUE(read_lines(p, 3, 2).empty());
    EXPECT_EQ(read_lines(p, -4, 1), (Lines{"one"}));
    // Form feeds and U+2028 are characters inside a line; the last line may have no end.
    write_file(p, "a\fb\xe2\x80\xa8" "c\n\nd");
    EXPECT_EQ(read_lines(p, 1, 10), (Lines{"a\fb\xe2\x80\xa8" "c", "", "d"}));
    // CRLF and lone CR read like LF.
    write_file(d / "lf.md", "# T\n\nbody\nend\n");
    write_file(d / "crlf.md", "# T\r\n\r\nbody\r\nend\r\n");
    write_file(d / "cr.md", "# T\r\rbody\rend\r");
    for (auto name : {"crlf.md", "cr.md"}) {
        EXPECT_EQ(read_lines(d / name, 1, 10), read_lines(d / "lf.md", 1, 10)) << name;
        EXPECT_EQ(find_block_by_content_hash(d / name, compute_hash("body\nend"), 2), Range({3, 4}));
    }
}

TEST(ReadLines, BadFilesRaiseTheReadError) {
    TempDir d;
    write_file(d / "bad.md", "ok\n\xff\xfe\n");
    EXPECT_THROW(read_lines(d / "bad.md", 1, 1), DecodeError);
    EXPECT_THROW(find_block_by_content_hash(d / "bad.md", compute_hash("ok"), 1), DecodeError);
    try {
        read_lines(d / "missing.md", 1, 1);
        FAIL();
    } catch (const std::filesystem::filesystem_error& e) {
        EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
    }
    EXPECT_THROW(read_lines(d.path, 1, 1), std::filesystem::filesystem_error);
}

TEST(FindBlock, ShiftedDuplicatedAndImpossibleWindows) {
    TempDir d;
    auto p = d / "a.md";
    const auto h = compute_hash("# H\nbody\nmore");
    write_file(p, "x\ny\nz\n# H\nbody\nmore\n");
    EXPECT_EQ(find_block_by_content_hash(p, h, 3), Range({4, 6}));  // three lines lower
    write_file(p, "# H\nbody\nmore\nmid\n# H\nbody\nmore\n");
    EXPECT_EQ(find_block_by_content_hash(p, h, 3), Range({1, 3}));  // upper occurrence
    EXPECT_EQ(find_block_by_content_hash(p, h, 8), std::nullopt);
    std::string upper = h;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(find_block_by_content_hash(p, upper, 3), std::nullopt);
    EXPECT_EQ(find_block_by_content_hash(p, compute_hash(""), 0), Range({1, 0}));
    write_file(p, "x\na\fb\r\n");  // a form feed stays in its line; CRLF is a line end
    EXPECT_EQ(find_block_by_content_hash(p, compute_hash("a\nb"), 2), std::nullopt);
    EXPECT_EQ(find_block_by_content_hash(p, compute_hash("x\na\fb"), 2), Range({1, 2}));
}

TEST(FindBlock, AgreesWithExhaustiveSearch) {
    // Few distinct lines, so windows repeat and the first-from-the-top rule matters.
    TempDir d;
    std::mt19937 rng(7);
    const char* words[] = {"a", "b", "", "# h", "中文"};
    for (int round = 0; round < 20; ++round) {
        Lines lines;
        std::string text;
        for (int i = 0, n = 1 + rng() % 40; i < n; ++i) {
            lines.push_back(words[rng() % 5]);
            text += lines.back() + (rng() % 4 ? "\n" : "\r\n");
        }
        write_file(d / "r.md", text);
        for (int probe = 0; probe < 10; ++probe) {
            std::size_t k = 1 + rng() % 5, at = rng() % lines.size();
            if (at + k > lines.size()) continue;
            auto h = compute_hash(join(lines, at, k));
            Range want;
            for (std::size_t i = 0; i + k <= lines.size() && !want; ++i)
                if (compute_hash(join(lines, i, k)) == h) want = {{int(i + 1), int(i + k)}};
            EXPECT_EQ(find_block_by_content_hash(d / "r.md", h, long(k)), want);
            // With a hint, right or wrong: the nearest match, none when two are equally near.
            const long hint = 1 + long(rng() % (lines.size() + 1));
            const long h0 = std::min<long>(hint - 1, long(lines.size() - k));
            Range nearest;
            long best = -1;
            bool tie = false;
            for (std::size_t i = 0; i + k <= lines.size(); ++i) {
                if (compute_hash(join(lines, i, k)) != h) continue;
                const long dist = std::labs(long(i) - h0);
                if (best < 0 || dist < best) {
                    best = dist;
                    nearest = {{int(i + 1), int(i + k)}};
                    tie = false;
                } else if (dist == best) {
                    tie = true;
                }
            }
            EXPECT_EQ(find_block_by_content_hash(d / "r.md", h, long(k), hint), tie ? Range{} : nearest);
        }
    }
}

TEST(FindBlock, LargeSearchFindsTheFirstOfSeveralOccurrencesOrTheOneNearTheHint) {
    // Large enough for the search to be spread over worker threads.
    TempDir d;
    Lines block;
    std::string text;
    for (int i = 0; i < 300; ++i) block.push_back("block line " + std::to_string(i));
    for (int i = 0; i < 30000; ++i) text += "filler " + std::to_string(i) + " dolor sit amet\n";
    for (int rep = 0; rep < 3; ++rep)
        text += join(block, 0, 300) + "\n" + std::string(rep + 1, '\n');
    write_file(d / "big.md", text);
    EXPECT_EQ(find_block_by_content_hash(d / "big.md", compute_hash(join(block, 0, 300)), 300),
              Range({30001, 30300}));
    EXPECT_EQ(find_block_by_content_hash(d / "big.md", compute_hash("nothing"), 300), std::nullopt);
    // With a hint, the occurrence nearest to it.
    EXPECT_EQ(find_block_by_content_hash(d / "big.md", compute_hash(join(block, 0, 300)), 300, 30602),
              Range({30604, 30903}));
}

TEST(GetSnippet, NumberedContextAndNeverFails) {
    TempDir d;
    auto p = d / "a.md";
    write_file(p, "l1\nl2\nl3\n");
    EXPECT_EQ(get_snippet(p, 1, 1), "  1: l1\n  2: l2\n  3: l3");
    std::string text;
    for (int i = 1; i <= 30; ++i) text += "line " + std::to_string(i) + "\n";
    write_file(p, text);
    auto s = get_snippet(p, 10, 12);
    EXPECT_EQ(s.substr(0, 11), "  5: line 5");
    EXPECT_EQ(s.substr(s.size() - 13), "  17: line 17");
    EXPECT_EQ(get_snippet(d / "missing.md", 1, 1), "");
    write_file(p, "\xc3");
    EXPECT_EQ(get_snippet(p, 1, 1), "");
}
