// Property check of the raw titles: for generated documents mixing containers, code, HTML
// and line ends, each title parsed on its own must give the same inline
// content as its heading inside the document.

#include <cmark.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>

#include "quillbox/outline.h"
#include "quillbox/detail/lines.h"

namespace fs = std::filesystem;

namespace {

std::string inline_html(cmark_node* heading) {
    std::string out;
    for (cmark_node* c = cmark_node_first_child(heading); c; c = cmark_node_next(c)) {
        char* r = cmark_render_html(c, CMARK_OPT_DEFAULT);
        out += r;
        std::free(r);
    }
    // The titles are trimmed; the parser keeps some spaces at line ends.
    std::string trimmed, line;
    for (char ch : out + "\n") {
        if (ch != '\n') {
            line += ch;
            continue;
        }
        std::size_t a = line.find_first_not_of(" \t"), z = line.find_last_not_of(" \t");
        if (a != std::string::npos) trimmed += line.substr(a, z - a + 1);
        trimmed += '\n';
        line.clear();
    }
    while (!trimmed.empty() && trimmed.back() == '\n') trimmed.pop_back();
    return trimmed;
}

std::vector<std::string> heading_contents(const std::string& text) {
    std::vector<std::string> out;
    cmark_node* doc = cmark_parse_document(text.data(), text.size(), CMARK_OPT_DEFAULT);
    cmark_iter* it = cmark_iter_new(doc);
    for (cmark_event_type ev; (ev = cmark_iter_next(it)) != CMARK_EVENT_DONE;) {
        cmark_node* n = cmark_iter_get_node(it);
        if (ev == CMARK_EVENT_ENTER && cmark_node_get_type(n) == CMARK_NODE_HEADING &&
            cmark_node_get_heading_level(n) <= 4)
            out.push_back(inline_html(n));
    }
    cmark_iter_free(it);
    cmark_node_free(doc);
    return out;
}

}  // namespace

TEST(TitleProperty, TitlesReparseToTheSameInlineContent) {
    const std::vector<std::string> pieces = {
        "# ", "## ", "#### ", "##### ", "> ", "- ", "1. ", "  ", "    ", "\t", "```\n", "~~~\n",
        "===\n", "---\n", "-\n", "Foo", "bar *em*", "`code`", "[l](/u)", "\\#", "#", "\n", "\n",
        "\n\n", "<div>\n", "</div>\n", "\r\n", "\r", "中文", "é", std::string(1, '\0'), " #", "  ##",
        " \\", "'title'\n"};
    std::string tmpl = (fs::temp_directory_path() / "qb-title-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    const fs::path file = fs::path(tmpl) / "doc.md";
    std::mt19937 rng(20241208);
    int headings = 0;
    for (int round = 0; round < 500; ++round) {
        std::string text;
        for (int n = static_cast<int>(rng() % 80); n > 0; --n) text += pieces[rng() % pieces.size()];
        std::ofstream(file, std::ios::binary) << text;
        auto blocks = quillbox::parse_markdown_to_blocks(file);
        // Front matter at the top is data: the bare parser gets its lines blank.
        std::string plain = quillbox::detail::normalize_newlines(text);
        std::vector<std::string> lines;
        for (std::size_t at = 0; at <= plain.size();) {
            const std::size_t nl = std::min(plain.find('\n', at), plain.size());
            lines.push_back(plain.substr(at, nl - at));
            at = nl + 1;
        }
        if (const int fm = quillbox::find_frontmatter_end(lines); fm > 0) {
            std::size_t at = 0;
            for (int k = 0; k < fm; ++k) at = std::min(plain.find('\n', at), plain.size() - 1) + 1;
            plain = std::string(static_cast<std::size_t>(fm), '\n') + plain.substr(at);
        }
        auto expected = heading_contents(plain);
        ASSERT_EQ(blocks.size(), expected.size()) << text;
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            const std::string& title = blocks[i].title;
            // A single-line title as an ATX heading (the extra closing run keeps a title of
            // hashes intact), a multi-line one as a setext heading.
            std::string alone = title.find('\n') == std::string::npos ? "# " + title + " #" : title + "\n===";
            auto got = heading_contents(alone);
            ASSERT_EQ(got.size(), 1u) << "title [" << title << "] of\n" << text;
            EXPECT_EQ(got[0], expected[i]) << "title [" << title << "] of\n" << text;
            ++headings;
        }
    }
    EXPECT_GT(headings, 300);
    fs::remove_all(tmpl);
}
