// Anchors in the table of contents, and the project-wide link check.

#include <memory>
#include <set>

#include "fixture.h"
#include "quillbox/blockops/budget.h"

namespace qbtest {
namespace {

class Links : public StructureTest {
protected:
    void SetUp() override {
        StructureTest::SetUp();
        session->paths = std::make_shared<quillbox::ProjectPathResolver>(root);
        config = std::make_shared<quillbox::MemoryConfig>();
        session->config = config;
    }
    std::string toc(const fs::path& p) {
        return quillbox::do_generate_toc(*session, p.string(), true, true, 6);
    }
    std::shared_ptr<quillbox::MemoryConfig> config;
};

// The headings whose TOC links led nowhere on GitHub; the entry titles nest no links.
TEST_F(Links, TocLinksAsGithubRendersAnchors) {
    auto p = md("a.md",
                "# Limits & Retries\n## my_func arguments\n## Ma\u00EEtre d'h\u00F4tel\n## \U0001F604 emoji\n"
                "## See [the docs](https://example.com/x)\n## Multiple  spaces and --- hyphens\n"
                "##### Deep\n## Deep\n");
    toc(p);
    EXPECT_EQ(read_file(p).substr(0, read_file(p).find("<!-- tocstop -->")),
              "<!-- toc -->\n- [Limits & Retries](#limits--retries)\n  - [my_func arguments](#my_func-arguments)\n"
              "  - [Ma\u00EEtre d'h\u00F4tel](#ma\u00EEtre-dh\u00F4tel)\n  - [\U0001F604 emoji](#-emoji)\n"
              "  - [See the docs](#see-the-docs)\n"
              "  - [Multiple  spaces and --- hyphens](#multiple--spaces-and-----hyphens)\n"
              "  - [Deep](#deep-1)\n");
    // Every TOC link resolves: the link check agrees with the table.
    EXPECT_EQ(quillbox::do_check_links(*session, "a.md"), quillbox::get_message("links_ok", {{"files", 1}, {"links", 7}}));
}

TEST_F(Links, TocFollowsTheAnchorSetting) {
    config->set("anchors", "gitlab");
    auto p = md("a.md", "# Limits & Retries\n# Limits & Retries\n");
    toc(p);
    EXPECT_NE(read_file(p).find("(#limits-retries)\n- [Limits & Retries](#limits-retries-1)"), std::string::npos);
    config->set("anchors", "mkdocs");
    toc(p);
    EXPECT_NE(read_file(p).find("(#limits-retries)\n- [Limits & Retries](#limits-retries_1)"), std::string::npos);
}

// A planted broken anchor, a missing file and a case slip are reported, each once, at its
// line; nothing valid is.
TEST_F(Links, CheckReportsOnlyBrokenLinks) {
    fs::create_directories(root / "docs" / "img");
    md("docs/Guide.md", "# Install\n## Linux Setup\n<a id=\"custom\"></a>\n");
    write_file(root / "docs" / "img" / "x.png", "png");
    md("README.md",
       "# Top\n\n[ok](docs/Guide.md#linux-setup) [own](#top) [html](docs/Guide.md#custom)\n"
       "![img](docs/img/x.png) [dir](docs/) [web](https://example.com/nowhere.md) [mail](mailto:a@b.c)\n"
       "[q](docs/Guide.md?plain=1#install) [pct](docs/Guide.md#linux%2Dsetup) [abs](/docs/Guide.md)\n"
       "[ref-ok][r1] [ref-bad][r2] [ref-bad-again][r2]\n\n"
       "[bad anchor](docs/Guide.md#linux-set-up)\n"
       "[missing](docs/Missing.md)\n"
       "[case](docs/guide.md)\n"
       "```\n[in code](nowhere.md)\n```\n\n"
       "[r1]: docs/Guide.md#install\n[r2]: gone.md\n");
    md("docs/sub.md", "[up](../README.md#top) [self](#nothing)\n");
    const std::string out = quillbox::do_check_links(*session);
    EXPECT_EQ(out,
              quillbox::get_message("links_problems", {{"count", 5}, {"files", 3}, {"links", 15}}) + "\n" +
                  "README.md:8: docs/Guide.md#linux-set-up: no such anchor; the nearest is #linux-setup\n"
                  "README.md:9: docs/Missing.md: no such file\n"
                  "README.md:10: docs/guide.md: no such file; docs/Guide.md differs only in letter case "
                  "(GitHub's links are case-sensitive)\n"
                  "README.md:16: gone.md: no such file\n"
                  "docs/sub.md:1: #nothing: no such anchor in that file, which has no headings");
    // One file only.
    EXPECT_EQ(quillbox::do_check_links(*session, "docs/sub.md"),
              quillbox::get_message("links_problems", {{"count", 1}, {"files", 1}, {"links", 2}}) +
                  "\ndocs/sub.md:1: #nothing: no such anchor in that file, which has no headings");
    EXPECT_TRUE(quillbox::do_check_links(*session, "docs/img/x.png").refused());
}

// Many problems: the pages stay under the budget and, followed by their offsets, list
// every problem exactly once.
TEST_F(Links, PagesCoverEveryProblemOnce) {
    config->set("result_budget_tokens", "400");
    std::string text;
    for (int i = 0; i < 150; ++i) text += "[x](missing-" + std::to_string(i) + ".md)\n";
    md("many.md", text);
    std::set<std::string> seen;
    long long offset = 0;
    for (int page = 0; page < 100; ++page) {
        const std::string out = quillbox::do_check_links(*session, "many.md", offset);
        EXPECT_LE(quillbox::budget_tokens(out, "sonnet"), 400);
        std::size_t next = out.find("offset=");
        std::istringstream lines(out);
        std::string line;
        while (std::getline(lines, line))
            if (line.starts_with("many.md:")) {
                EXPECT_TRUE(seen.insert(line).second) << line;
            }
        if (next == std::string::npos) break;
        offset = std::stoll(out.substr(next + 7));
    }
    EXPECT_EQ(seen.size(), 150u);
}

}  // namespace
}  // namespace qbtest
