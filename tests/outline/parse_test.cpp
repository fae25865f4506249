// Parsing files into heading blocks: CommonMark structure, raw titles, line ends, limits.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <tuple>

#include "quillbox/outline.h"
#include "quillbox/detail/lines.h"
#include "quillbox/detail/sha256.h"

using namespace quillbox;
namespace fs = std::filesystem;

namespace {

// A section's hash as its definition gives it: the SHA-256 of lines [first, last] (1-based)
// joined by line feeds, one line at a time.
std::string hash_of_lines(const std::vector<std::string>& lines, int first, int last) {
    return detail::sha256_hex(detail::join_lines(lines, static_cast<std::size_t>(first - 1),
                                                 static_cast<std::size_t>(last)));
}

class Parse : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "qb-outline-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path write(const std::string& bytes, const std::string& name = "doc.md") {
        fs::path p = dir_ / name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }

    std::vector<Block> parse(const std::string& bytes) { return parse_markdown_to_blocks(write(bytes)); }

    using Row = std::tuple<int, int, int, std::string>;  // level, start, end, title
    std::vector<Row> rows(const std::string& bytes) {
        std::vector<Row> out;
        for (const Block& b : parse(bytes)) out.emplace_back(b.level, b.start_line, b.end_line, b.title);
        return out;
    }

    fs::path dir_;
};

using R = std::tuple<int, int, int, std::string>;

}  // namespace

TEST_F(Parse, NestedBlocksAndTheirRecords) {
    fs::path p = write("# A\n## B\n# C\n");
    fs::create_symlink(p, dir_ / "link.md");
    auto bs = parse_markdown_to_blocks(dir_ / "link.md");
    ASSERT_EQ(bs.size(), 3u);
    EXPECT_EQ(rows("# A\n## B\n# C\n"),
              (std::vector<R>{{1, 1, 2, "A"}, {2, 2, 2, "B"}, {1, 3, 3, "C"}}));
    EXPECT_EQ(bs[0].content_hash, "243e7c0253a0bd3eb2c880be12f830388cf6587b6ef0a2aed3a043cd15a13fcc");
    EXPECT_EQ(bs[0].file_path, fs::canonical(p));  // symbolic link resolved
    EXPECT_TRUE(bs[0].file_path.is_absolute());
    const std::regex v4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::set<std::string> ids;
    for (const Block& b : bs) {
        EXPECT_TRUE(std::regex_match(b.uuid, v4)) << b.uuid;
        EXPECT_EQ(b.block_type, "heading");
        ids.insert(b.uuid);
        EXPECT_EQ(b.content_hash,
                  hash_of_lines(detail::split_lines("# A\n## B\n# C\n"), b.start_line, b.end_line));
    }
    EXPECT_EQ(ids.size(), 3u);

    // A second parse differs only in the identifiers.
    auto again = parse_markdown_to_blocks(p);
    ASSERT_EQ(again.size(), bs.size());
    for (std::size_t i = 0; i < bs.size(); ++i) {
        EXPECT_NE(again[i].uuid, bs[i].uuid);
        again[i].uuid = bs[i].uuid;
        EXPECT_EQ(again[i], bs[i]);
    }
}

TEST_F(Parse, EmptyAndHeadinglessFiles) {
    EXPECT_TRUE(parse("").empty());
    EXPECT_TRUE(parse("just text\n\n    # indented code\n##### five\n###### six\n").empty());
    EXPECT_EQ(rows("# A\n"), (std::vector<R>{{1, 1, 1, "A"}}));
    EXPECT_EQ(rows("#"), (std::vector<R>{{1, 1, 1, ""}}));
    // The last block keeps trailing blank lines.
    EXPECT_EQ(rows("intro\n# A\ntext\n\n\n"), (std::vector<R>{{1, 2, 5, "A"}}));
}

TEST_F(Parse, LevelsFiveAndSixAreNeitherBlocksNorBoundaries) {
    EXPECT_EQ(rows("# A\n##### E\ntext\n###### F\n## B\n"),
              (std::vector<R>{{1, 1, 5, "A"}, {2, 5, 5, "B"}}));
    EXPECT_EQ(rows("## A\n### B\n#### C\n## D\n"),
              (std::vector<R>{{2, 1, 3, "A"}, {3, 2, 3, "B"}, {4, 3, 3, "C"}, {2, 4, 4, "D"}}));
}

TEST_F(Parse, CodeHtmlAndNonHeadings) {
    EXPECT_EQ(rows("# A\n```\n# Not a heading\n```\n~~~md\n## nor this\n~~~\n"
                   "    # indented code\n\n<div>\n# inside html\n</div>\n\n#nospace\n\\# escaped\n"),
              (std::vector<R>{{1, 1, 15, "A"}}));
    // An unclosed fence runs to the end of the document.
    EXPECT_EQ(rows("# A\n```\n# B\n"), (std::vector<R>{{1, 1, 3, "A"}}));
}

TEST_F(Parse, AtxTitlesAreRawInlineText) {
    EXPECT_EQ(rows("# **Bold** `code` [link](/x) ##\n"
                   "##   spaced   #####   \n"
                   "### foo#\n"
                   "#### foo \\#\n"
                   "# ###\n"
                   "#\tTab\n"
                   "   # Indented\n"),
              (std::vector<R>{{1, 1, 4, "**Bold** `code` [link](/x)"},
                              {2, 2, 4, "spaced"},
                              {3, 3, 4, "foo#"},
                              {4, 4, 4, "foo \\#"},
                              {1, 5, 5, ""},
                              {1, 6, 6, "Tab"},
                              {1, 7, 7, "Indented"}}));
    auto bs = parse("# Hello, World!\n# Hello, World!\n");
    ASSERT_EQ(bs.size(), 2u);
    EXPECT_EQ(bs[0].heading_path, "hello-world");
    EXPECT_EQ(bs[1].heading_path, bs[0].heading_path);
    EXPECT_NE(bs[1].uuid, bs[0].uuid);
    EXPECT_EQ(parse("# !!!\n")[0].heading_path, "");
}

TEST_F(Parse, HeadingsInsideContainers) {
    EXPECT_EQ(rows("> # Quoted\n>\n> ## Deeper ##\n"
                   "- # In item\n"
                   "  ## Continued\n"
                   "1.  ### Ordered\n"
                   ">\t# Tab quote\n"
                   "> - > # Nested\n"),
              (std::vector<R>{{1, 1, 3, "Quoted"},
                              {2, 3, 3, "Deeper"},
                              {1, 4, 6, "In item"},
                              {2, 5, 6, "Continued"},
                              {3, 6, 6, "Ordered"},
                              {1, 7, 7, "Tab quote"},
                              {1, 8, 8, "Nested"}}));
}

TEST_F(Parse, SetextHeadings) {
    EXPECT_EQ(rows("Title\n=====\ntext\n"), (std::vector<R>{{1, 1, 3, "Title"}}));
    // Several text lines keep their line feeds and their inner indentation.
    EXPECT_EQ(rows("  First  \n    second\n---\n"), (std::vector<R>{{2, 1, 3, "First  \n    second"}}));
    // Closed by the end of the file, a blank line, another block or a second underline.
    EXPECT_EQ(rows("A\n=\nB\n-\n\nC\n===\n# D\nE\n---\n---\nF\n==="),
              (std::vector<R>{{1, 1, 5, "A"}, {2, 3, 5, "B"}, {1, 6, 7, "C"},
                              {1, 8, 11, "D"}, {2, 9, 11, "E"}, {1, 12, 13, "F"}}));
    EXPECT_EQ(rows("Foo\n===\n===\n"), (std::vector<R>{{1, 1, 3, "Foo"}}));
    // Text starting with '#' but no ATX heading.
    EXPECT_EQ(rows("#hashtag\n===\n"), (std::vector<R>{{1, 1, 2, "#hashtag"}}));
}

TEST_F(Parse, SetextAfterLinkReferenceDefinitions) {
    EXPECT_EQ(rows("[a]: /b\nFoo\n===\n"), (std::vector<R>{{1, 2, 3, "Foo"}}));
    EXPECT_EQ(rows("[a]: /b\n[c]: /d \"multi\nline title\"\nFoo\nBar\n---\nx\n"),
              (std::vector<R>{{2, 4, 7, "Foo\nBar"}}));
    // A definition whose title is followed by text on its line ends after the destination.
    EXPECT_EQ(rows("[a]: /b\n\"not a title\" text\n===\n"),
              (std::vector<R>{{1, 2, 3, "\"not a title\" text"}}));
    // An underline after definitions alone is text; the heading starts there.
    EXPECT_EQ(rows("[a]: /b\n===\n===\n"), (std::vector<R>{{1, 2, 3, "==="}}));
    EXPECT_EQ(rows("> [a]: /b\n> Foo\n> ===\n"), (std::vector<R>{{1, 2, 3, "Foo"}}));
    EXPECT_EQ(rows("[link] text\nmore\n===\n"), (std::vector<R>{{1, 1, 3, "[link] text\nmore"}}));
}

TEST_F(Parse, SetextAfterLongRunOfDefinitions) {
    // Definitions with titles on their own lines and over several lines, so that some of
    // them straddle any fixed grouping of lines.
    std::string text;
    int line = 0;
    for (int i = 0; i < 150; ++i) {
        text += "[d" + std::to_string(i) + "]: /u" + std::to_string(i) + "\n";
        ++line;
        if (i % 5 == 1) {
            text += "  \"title\"\n";
            ++line;
        } else if (i % 7 == 3) {
            text += "'two\n[lines]'\n";
            line += 2;
        }
    }
    text += "[not a definition] Foo\nBar\n---\n";
    EXPECT_EQ(rows(text), (std::vector<R>{{2, line + 1, line + 3, "[not a definition] Foo\nBar"}}));
}

TEST_F(Parse, SetextInsideContainersAndLazyLines) {
    EXPECT_EQ(rows("> Foo\n> bar\n> ===\n"), (std::vector<R>{{1, 1, 3, "Foo\nbar"}}));
    EXPECT_EQ(rows("> Foo\nlazy\n> ===\n"), (std::vector<R>{{1, 1, 3, "Foo\nlazy"}}));
    EXPECT_EQ(rows("- Foo\n  bar\n  ---\n- next\n"), (std::vector<R>{{2, 1, 4, "Foo\nbar"}}));
    EXPECT_EQ(rows("> 1. Foo\n>    bar\n>    ===\n"), (std::vector<R>{{1, 1, 3, "Foo\nbar"}}));
    // Without its markers the underline is lazy text, not a heading.
    EXPECT_TRUE(parse("> Foo\n===\n").empty());
    EXPECT_TRUE(parse("- Foo\n===\n").empty());
}

TEST_F(Parse, FrontMatterIsNoHeading) {
    EXPECT_EQ(rows("---\ntitle: x\n---\n# A\n"), (std::vector<R>{{1, 4, 4, "A"}}));
    // Unclosed, it is Markdown: a thematic break and a paragraph.
    EXPECT_EQ(rows("---\ntitle: x\n# A\n"), (std::vector<R>{{1, 3, 3, "A"}}));
}

TEST_F(Parse, LineEndsAndByteOrderMark) {
    const auto lf = rows("# A\ntext\n## B\n");
    EXPECT_EQ(rows("# A\r\ntext\r\n## B\r\n"), lf);
    EXPECT_EQ(rows("# A\rtext\r## B\r"), lf);
    auto crlf = parse("# A\r\ntext\r\n## B\r\n");
    EXPECT_EQ(crlf[0].content_hash, parse("# A\ntext\n## B\n")[0].content_hash);

    // The mark stays in the text and in the hashed line, not in the title.
    auto bom = parse("\xEF\xBB\xBF# A\nx\n");
    ASSERT_EQ(bom.size(), 1u);
    EXPECT_EQ(bom[0].title, "A");
    EXPECT_EQ(bom[0].content_hash, hash_of_lines({"\xEF\xBB\xBF# A", "x"}, 1, 2));
    EXPECT_EQ(rows("\xEF\xBB\xBFTitle\n==\n"), (std::vector<R>{{1, 1, 2, "Title"}}));
    EXPECT_EQ(parse_markdown_file(write("\xEF\xBB\xBF" "a\r\nb\rc")).text, "\xEF\xBB\xBF" "a\nb\nc");
}

TEST_F(Parse, FormFeedsAndUnicodeSeparatorsStayInsideLines) {
    // The parser and the block lines count the same lines: only LF, CR and CRLF end one.
    EXPECT_EQ(rows("# A\n\f# B\n# C\n"), (std::vector<R>{{1, 1, 2, "A"}, {1, 3, 3, "C"}}));
    EXPECT_EQ(rows("# A\nx\xE2\x80\xA8y\n# C\nz\n"), (std::vector<R>{{1, 1, 2, "A"}, {1, 3, 4, "C"}}));
    auto bs = parse("# A\vB\n");
    ASSERT_EQ(bs.size(), 1u);
    EXPECT_EQ(bs[0].title, "A\vB");
    EXPECT_EQ(bs[0].end_line, 1);
    EXPECT_EQ(bs[0].content_hash, hash_of_lines({"# A\vB"}, 1, 1));
    auto cs = parse("# A\nx\fy\n# B\nb\n");
    ASSERT_EQ(cs.size(), 2u);
    EXPECT_EQ(cs[0].content_hash, hash_of_lines({"# A", "x\fy"}, 1, 2));
    EXPECT_EQ(cs[1].start_line, 3);
}

TEST_F(Parse, BadInput) {
    try {
        parse_markdown_to_blocks(dir_ / "missing.md");
        FAIL() << "no error";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
    }
    EXPECT_THROW(parse_markdown_to_blocks(dir_), fs::filesystem_error);
    try {
        parse("# ok\n\xC3\x28");
        FAIL() << "no error";
    } catch (const DecodeError& e) {
        EXPECT_EQ(e.offset(), 5u);
        EXPECT_THAT(e.what(), ::testing::HasSubstr("position 5"));
    }
    EXPECT_THROW(parse("\x89PNG\r\n\x1a\n\xff\xfe"), DecodeError);
    // Valid UTF-8 with control characters and NUL bytes parses.
    std::string nul("# A\0B\n\x01\x02\n## \0\n", 13);
    auto bs = parse(nul);
    ASSERT_EQ(bs.size(), 2u);
    EXPECT_EQ(bs[0].title, std::string("A\0B", 3));
    EXPECT_EQ(bs[1].title, std::string("\0", 1));
}

TEST_F(Parse, SizeAndLineLimits) {
    std::string exact(MAX_FILE_SIZE, 'x');
    exact.replace(0, 4, "# A\n");
    auto bs = parse(exact);
    ASSERT_EQ(bs.size(), 1u);
    EXPECT_EQ(bs[0].end_line, 2);
    try {
        parse(exact + "x");
        FAIL() << "no error";
    } catch (const FileTooLargeError& e) {
        EXPECT_STREQ(e.what(), "FILE_TOO_LARGE");
    }
    EXPECT_THROW(parse(exact + "x"), std::invalid_argument);

    std::string lines;
    for (std::size_t i = 0; i < MAX_FILE_LINES; ++i) lines += i % 1000 == 0 ? "# H\n" : "t\n";
    EXPECT_EQ(parse(lines).size(), 100u);
    EXPECT_THROW(parse(lines + "\n"), FileTooLargeError);  // a blank last line is a line too
    EXPECT_THROW(parse(lines + "x"), FileTooLargeError);
    // Form feeds end no line, so they count no line for the limit; CRs do.
    EXPECT_NO_THROW(parse(std::string(MAX_FILE_LINES + 1, '\f')));
    EXPECT_NO_THROW(parse(std::string(MAX_FILE_LINES, '\r')));
    EXPECT_THROW(parse(std::string(MAX_FILE_LINES + 1, '\r')), FileTooLargeError);
}

TEST_F(Parse, ContentHashIsTheHashOfTheSectionsLinesJoinedByLineFeeds) {
    // sha256("# A\n## B"), worked out apart: the outer section holds both lines, no final LF.
    const auto bs = parse("# A\n## B\n");
    ASSERT_EQ(bs.size(), 2u);
    EXPECT_EQ(bs[0].content_hash, "243e7c0253a0bd3eb2c880be12f830388cf6587b6ef0a2aed3a043cd15a13fcc");
    EXPECT_EQ(bs[1].content_hash, detail::sha256_hex("## B"));
}

// One read for blocks and hash; and the parser's kept memory carries nothing from one parse
// into the next (a large document, a small one, the large one again).
TEST_F(Parse, FileParseHashesTheRawBytesAndParsesAgainAlike) {
    const std::string crlf = "# A\r\ntext\r\n## B\r\n";
    const fs::path p = write(crlf, "crlf.md");
    ParsedFile pf = parse_markdown_file(p);
    EXPECT_EQ(pf.file_hash, detail::sha256_hex(crlf));
    std::vector<Block> plain = parse_markdown_to_blocks(p);
    ASSERT_EQ(pf.blocks.size(), plain.size());
    for (std::size_t i = 0; i < plain.size(); ++i) {
        pf.blocks[i].uuid = plain[i].uuid;
        EXPECT_EQ(pf.blocks[i], plain[i]);
    }
    EXPECT_THROW(parse_markdown_file(write("# ok\n\xC3\x28", "bad.md")), DecodeError);

    std::string big;
    for (int i = 0; i < 12000; ++i)
        big += "## Section " + std::to_string(i) + "\n\n> quote *" + std::to_string(i) + "*\n\n- item\n  - nested\n\n";
    const fs::path large = write(big, "large.md");
    auto strip = [](std::vector<Block> bs) {
        for (Block& b : bs) b.uuid.clear();
        return bs;
    };
    const std::vector<Block> first = strip(parse_markdown_to_blocks(large));
    ASSERT_EQ(first.size(), 12000u);
    EXPECT_EQ(strip(parse_markdown_to_blocks(p)), strip(plain));
    EXPECT_EQ(strip(parse_markdown_to_blocks(large)), first);
}
