// Anchors against the renderers' published examples, and the links a document makes.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "quillbox/outline.h"

namespace quillbox {
namespace {

std::vector<std::string> anchors_of(const std::string& text, AnchorStyle style) {
    std::vector<std::string> out;
    for (const auto& h : document_anchors(text, style).headings) out.push_back(h.anchor);
    return out;
}

// GitHub's slugger fixtures, fed in their order through one slugger (duplicates count
// across the whole sequence, as over one document).
TEST(Anchors, GithubSluggerFixtures) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"alpha", "alpha"},
        {"alpha", "alpha-1"},
        {"bravoCharlieDelta", "bravocharliedelta"},
        {"__proto__", "__proto__"},
        {"__proto__", "__proto__-1"},
        {"echo", "echo"},
        {"echo", "echo-1"},
        {"echo 1", "echo-1-1"},
        {"echo-1", "echo-1-2"},
        {"echo", "echo-2"},
        {"foxtrot-1", "foxtrot-1"},
        {"foxtrot", "foxtrot"},
        {"foxtrot", "foxtrot-2"},
        {"heading with a - dash", "heading-with-a---dash"},
        {"heading with an _ underscore", "heading-with-an-_-underscore"},
        {"heading with a period.txt", "heading-with-a-periodtxt"},
        {"exchange.bind_headers(exchange, routing [, bindCallback])",
         "exchangebind_headersexchange-routing--bindcallback"},
        {" ", "-"},
        {" a", "-a"},
        {"a ", "a-"},
        {" a ", "-a-"},
        {"-a-", "-a--1"},
        {"apostrophe\u2019s should be trimmed", "apostrophes-should-be-trimmed"},
        {"I \u2665 unicode", "i--unicode"},
        {"en\u2013dash", "endash"},
        {"\U0001F604 unicode emoji", "-unicode-emoji"},
        {"\U0001F604-\U0001F604 unicode emoji", "--unicode-emoji"},
        {"\U0001F604_\U0001F604 unicode emoji", "_-unicode-emoji"},
        {":smile: - a gemoji", "smile---a-gemoji"},
        {"\u041F\u0440\u0438\u0432\u0435\u0442 non-latin \u4F60\u597D",
         "\u043F\u0440\u0438\u0432\u0435\u0442-non-latin-\u4F60\u597D"},
        {":ok_hand::hatched_chick: Two in a row with no spaces", "ok_handhatched_chick-two-in-a-row-with-no-spaces"},
        // Categories: marks and letter numbers stay, other numbers and symbols go, circled
        // letters (Alphabetic) stay, non-ASCII spaces and separators go.
        {"a\u0300 \u2160 \u00B2 \u24BA \u2028b", "a\u0300-\u2170--\u24D4-b"},
        {"a\u00A0\u3000b", "ab"},
    };
    AnchorSlugger slugger(AnchorStyle::github);
    for (const auto& [input, expected] : cases) EXPECT_EQ(slugger.slug(input), expected) << input;
}

// The headings the TOC got wrong, through the parser: rendered text, not source.
TEST(Anchors, GithubHeadingsFromSource) {
    const std::string doc =
        "# Limits & Retries\n\n## my_func arguments\n\n## Ma\u00EEtre d'h\u00F4tel\n\n"
        "## \U0001F604 emoji\n\n## See [the docs](https://example.com/x)\n\n"
        "## Multiple  spaces and --- hyphens\n\n## The `--force` *flag* ![logo](l.png)\n";
    EXPECT_EQ(anchors_of(doc, AnchorStyle::github),
              (std::vector<std::string>{"limits--retries", "my_func-arguments", "ma\u00EEtre-dh\u00F4tel", "-emoji",
                                        "see-the-docs", "multiple--spaces-and-----hyphens", "the---force-flag-"}));
}

// GitLab's documented examples.
TEST(Anchors, GitlabDocumentedExamples) {
    const std::string doc =
        "# This heading has spaces in it\n"
        "## This heading has a :thumbsup: in it\n"
        "# This heading has Unicode in it: \uD55C\uAE00\n"
        "## This heading has spaces in it\n"
        "### This heading has spaces in it\n"
        "## This heading has 3.5 in it (and parentheses)\n"
        "## This heading has  multiple spaces and --- hyphens\n"
        "### 1. This is my Header\n";
    EXPECT_EQ(anchors_of(doc, AnchorStyle::gitlab),
              (std::vector<std::string>{"this-heading-has-spaces-in-it", "this-heading-has-a-thumbsup-in-it",
                                        "this-heading-has-unicode-in-it-\uD55C\uAE00",
                                        "this-heading-has-spaces-in-it-1", "this-heading-has-spaces-in-it-2",
                                        "this-heading-has-35-in-it-and-parentheses",
                                        "this-heading-has-multiple-spaces-and-hyphens", "1-this-is-my-header"}));
}

TEST(Anchors, MkdocsCountsWithUnderscoreAndKeepsAscii) {
    const std::string doc = "# Ma\u00EEtre d'h\u00F4tel\n# Foo -- Bar\n# Foo Bar\n# Foo Bar\n# \u4F60\u597D\n# \u4F60\u597D\n";
    EXPECT_EQ(anchors_of(doc, AnchorStyle::mkdocs),
              (std::vector<std::string>{"maitre-dhotel", "foo-bar", "foo-bar_1", "foo-bar_2", "_1", "_2"}));
}

// Every level counts toward duplicates; front matter is no heading; explicit ids are kept
// and never taken by a generated one.
TEST(Anchors, DuplicatesExplicitIdsAndFrontMatter) {
    const std::string doc =
        "---\ntitle: x\n---\n# Intro\n###### Intro\n## Setup {#intro-1}\n### Intro\n"
        "<a id=\"custom\"></a>\n\n## Custom\n## Custom\n";
    const DocumentAnchors a = document_anchors(doc, AnchorStyle::github);
    EXPECT_EQ(anchors_of(doc, AnchorStyle::github),
              (std::vector<std::string>{"intro", "intro-2", "intro-1", "intro-3", "custom-1", "custom-2"}));
    ASSERT_EQ(a.headings.size(), 6u);
    EXPECT_EQ(a.headings[0].line, 4);
    EXPECT_TRUE(a.headings[2].explicit_id);
    EXPECT_EQ(a.headings[2].text, "Setup");
    EXPECT_TRUE(a.has("custom"));
}

TEST(Anchors, TocEntryTitleDropsLinkMarkupOnly) {
    EXPECT_EQ(toc_entry_title("See [the docs](https://example.com/x)"), "See the docs");
    EXPECT_EQ(toc_entry_title("[a [nested] b][ref] and <https://x.org>"), "a [nested] b and https://x.org");
    EXPECT_EQ(toc_entry_title("`[not](a link)` ![img](i.png) *em*"), "`[not](a link)` ![img](i.png) *em*");
    EXPECT_EQ(toc_entry_title("[![badge](b.svg)](x) \\[x](y)"), "![badge](b.svg) \\[x](y)");
}

TEST(Anchors, DocumentLinksInlineImagesAndDefinitions) {
    const std::string doc =
        "# T\n\nSee [a](x.md#y) and ![i](img.png)\nand [r][ref] and [again][ref].\n\n"
        "```\n[not](code.md)\n[ref2]: code.md\n```\n\n[ref]: other.md#z\n> [q]: <quoted file.md>\n";
    const auto links = document_links(doc);
    ASSERT_EQ(links.size(), 4u);
    EXPECT_EQ(links[0], (MarkdownLink{3, "x.md#y", false, false, doc.find("x.md#y")}));
    EXPECT_EQ(links[1], (MarkdownLink{3, "img.png", true, false, doc.find("img.png")}));
    EXPECT_EQ(links[2], (MarkdownLink{11, "other.md#z", false, true, doc.find("other.md#z")}));
    EXPECT_EQ(links[3], (MarkdownLink{12, "quoted file.md", false, true, doc.find("quoted file.md")}));
    // Escapes keep the destination from standing verbatim in the source.
    EXPECT_EQ(document_links("[a](x\\_y.md)\n")[0].dest_begin, std::string::npos);
}

}  // namespace
}  // namespace quillbox
