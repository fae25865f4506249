// Table of contents: insertion, refresh between markers, idempotence, depth and refusals.

#include "fixture.h"

namespace qbtest {
namespace {

class Toc : public StructureTest {
protected:
    std::string toc(const fs::path& p, bool force_insert = false, long long max_depth = 6) {
        return quillbox::do_generate_toc(*session, p.string(), true, force_insert, max_depth);
    }
};

TEST_F(Toc, InsertsAfterFrontMatterWithUniqueSlugs) {
    // Front matter is data, never a heading: the table leaves it out and comes after it.
    auto p = md("a.md", "---\ntitle: x\n---\n# Guide\n## Setup\n### Linux\n## Setup\ntext\n");
    EXPECT_EQ(toc(p), quillbox::get_message("toc_no_marker"));
    EXPECT_EQ(backup_count(), 0u);

    EXPECT_EQ(toc(p, true), "✅ Table of contents generated and inserted.");
    EXPECT_EQ(read_file(p),
              "---\ntitle: x\n---\n"
              "<!-- toc -->\n"
              "- [Guide](#guide)\n"
              "  - [Setup](#setup)\n"
              "    - [Linux](#linux)\n"
              "  - [Setup](#setup-1)\n"
              "<!-- tocstop -->\n"
              "# Guide\n## Setup\n### Linux\n## Setup\ntext\n");

    // Second call: nothing to do, nothing written.
    const std::string before = read_file(p);
    EXPECT_EQ(toc(p, true), "✅ TOC is already up to date.");
    EXPECT_EQ(read_file(p), before);
    EXPECT_EQ(backup_count(), 1u);
}

TEST_F(Toc, WithoutFrontMatterTheTableComesFirst) {
    auto p = md("b.md", "intro\n# One\n");
    EXPECT_EQ(toc(p, true), quillbox::get_message("toc_generated"));
    EXPECT_EQ(read_file(p), "<!-- toc -->\n- [One](#one)\n<!-- tocstop -->\nintro\n# One\n");
}

TEST_F(Toc, RefreshesBetweenLooseMarkersOnly) {
    auto p = md("c.md",
                "# Title\n"
                "<!-- toc --> extra\n"  // not a marker: text after it
                "  <!-- toc -->  \n"
                "- [stale](#stale)\n"
                "\t<!-- tocstop -->\n"
                "## Part\n");
    EXPECT_EQ(toc(p), "✅ Table of contents updated.");
    EXPECT_EQ(read_file(p),
              "# Title\n<!-- toc --> extra\n<!-- toc -->\n- [Title](#title)\n  - [Part](#part)\n"
              "<!-- tocstop -->\n## Part\n");
    EXPECT_EQ(toc(p), quillbox::get_message("toc_unchanged"));
}

TEST_F(Toc, StartMarkerWithoutStopIsNoMarker) {
    const std::string text = "# A\n<!-- toc -->\n";
    auto p = md("d.md", text);
    EXPECT_EQ(toc(p), quillbox::get_message("toc_no_marker"));
    EXPECT_EQ(read_file(p), text);
    EXPECT_EQ(toc(p, true), quillbox::get_message("toc_generated"));
    EXPECT_EQ(read_file(p), "<!-- toc -->\n- [A](#a)\n<!-- tocstop -->\n# A\n<!-- toc -->\n");
}

TEST_F(Toc, DepthAndEmptyDocuments) {
    auto p = md("e.md", "# Top\n## Mid\n### Low\n");
    EXPECT_EQ(toc(p, true, 2), quillbox::get_message("toc_generated"));
    EXPECT_EQ(read_file(p), "<!-- toc -->\n- [Top](#top)\n  - [Mid](#mid)\n<!-- tocstop -->\n# Top\n## Mid\n### Low\n");

    auto only_h2 = md("f.md", "## Mid\n");
    EXPECT_EQ(toc(only_h2, true, 1), "No headings at depth <= 1 found.");
    EXPECT_EQ(toc(only_h2, true, 0), "No headings at depth <= 0 found.");
    EXPECT_EQ(read_file(only_h2), "## Mid\n");

    auto none = md("g.md", "just text\n");
    EXPECT_EQ(toc(none, true), "No headings found in this document.");
    EXPECT_EQ(toc(md("h.txt", "# A\n"), true), quillbox::get_message("md_only_error"));
    EXPECT_EQ(toc(root / "nope.md", true), "File not found: " + (root / "nope.md").string());
}

TEST_F(Toc, RefusesATableThatWouldPushTheFileOverTheLimit) {
    // 90,000 lines with 30,000 headings: the table would take it past 100,000 lines.
    std::string text;
    for (int i = 0; i < 30000; ++i) text += "## S" + std::to_string(i) + "\nx\ny\n";
    auto p = md("big.md", text);
    ASSERT_EQ(list(p).size(), 30000u);
    EXPECT_EQ(toc(p, true), quillbox::get_message("file_too_large"));
    EXPECT_EQ(read_file(p), text);
    EXPECT_EQ(backup_count(), 0u);
}

TEST_F(Toc, LaterOperationsSeeTheShiftedSections) {
    auto p = md("i.md", "# A\nalpha\n# B\nbeta\n");
    list(p);
    ASSERT_EQ(toc(p, true), quillbox::get_message("toc_generated"));
    auto blocks = list(p);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].start_line, 5);  // after the four table lines
    EXPECT_EQ(blocks[1].start_line, 7);
}

}  // namespace
}  // namespace qbtest
