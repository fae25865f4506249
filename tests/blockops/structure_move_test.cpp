// Moving sections: the insertion table, subtree and level checks, no-op moves and refusals.

#include "fixture.h"

namespace qbtest {
namespace {

constexpr const char* DOC =
    "# Doc\n"      // 1
    "intro\n"      // 2
    "## A\n"       // 3
    "a text\n"     // 4
    "### A1\n"     // 5
    "#### A1a\n"   // 6
    "#### A1b\n"   // 7
    "## B\n"       // 8
    "b text\n"     // 9
    "### B1\n";    // 10

class Move : public StructureTest {
protected:
    void SetUp() override {
        StructureTest::SetUp();
        p = md("doc.md", DOC);
    }
    std::string move(const std::string& title, const std::string& target_title, const std::string& position) {
        std::string target = target_title.empty() ? "" : id_of(p, target_title);
        return quillbox::do_move_block(*session, id_of(p, title), target, position);
    }
    fs::path p;
};

TEST_F(Move, SectionWithChildrenAfterALaterSection) {
    auto before = list(p);
    EXPECT_EQ(move("A1", "B", "after"),
              "Section 'A1' moved after 'B'.\n  Lines: 5-7 -> updated\n  Subsections moved: 2");
    EXPECT_EQ(read_file(p),
              "# Doc\nintro\n## A\na text\n## B\nb text\n### B1\n### A1\n#### A1a\n#### A1b\n");
    // Every section keeps its identifier, in its new place.
    auto after = list(p);
    ASSERT_EQ(after.size(), 7u);
    EXPECT_EQ(after[4].uuid, before[2].uuid);
    EXPECT_EQ(after[4].title, "A1");
}

TEST_F(Move, ChildPositions) {
    // First child: right after the heading line, ahead of the target's own text.
    EXPECT_EQ(move("B1", "A", "as_first_child"),
              "Section 'B1' moved as_first_child 'A'.\n  Lines: 10-10 -> updated\n  Subsections moved: 0");
    EXPECT_EQ(read_file(p), "# Doc\nintro\n## A\n### B1\na text\n### A1\n#### A1a\n#### A1b\n## B\nb text\n");
    // Last child: after the target's last descendant. B1 now owns "a text" and takes it along.
    move("B1", "A", "as_last_child");
    EXPECT_EQ(read_file(p), "# Doc\nintro\n## A\n### A1\n#### A1a\n#### A1b\n### B1\na text\n## B\nb text\n");
}

TEST_F(Move, DocumentStartAndEnd) {
    EXPECT_EQ(move("A", "", "after"),
              "Section 'A' moved after 'document end'.\n  Lines: 3-7 -> updated\n  Subsections moved: 3");
    EXPECT_EQ(read_file(p), "# Doc\nintro\n## B\nb text\n### B1\n## A\na text\n### A1\n#### A1a\n#### A1b\n");

    auto fm = md("fm.md", "---\nkey: v\n---\n# One\n# Two\n");
    auto two = id_of(fm, "Two");
    quillbox::do_move_block(*session, two, "", "before");
    EXPECT_EQ(read_file(fm), "---\nkey: v\n---\n# Two\n# One\n");
}

TEST_F(Move, AmongSiblingsOfTheSameLevel) {
    // B before A: the sections swap, each with its subsections.
    EXPECT_EQ(move("B", "A", "before"),
              "Section 'B' moved before 'A'.\n  Lines: 8-10 -> updated\n  Subsections moved: 1");
    EXPECT_EQ(read_file(p), "# Doc\nintro\n## B\nb text\n### B1\n## A\na text\n### A1\n#### A1a\n#### A1b\n");
    // And back, with "after".
    EXPECT_EQ(move("B", "A", "after"),
              "Section 'B' moved after 'A'.\n  Lines: 3-5 -> updated\n  Subsections moved: 1");
    EXPECT_EQ(read_file(p), DOC);
    // Deepest level: two h4 siblings.
    move("A1b", "A1a", "before");
    EXPECT_EQ(read_file(p), "# Doc\nintro\n## A\na text\n### A1\n#### A1b\n#### A1a\n## B\nb text\n### B1\n");
}

// In a Chinese project the whole answer is Chinese, the position word too.
TEST_F(Move, TheAnswerIsInTheProjectsLanguage) {
    quillbox::set_language("zh");
    const std::string before = move("B", "A", "before"), after = move("B", "A", "after");
    const std::string first = move("B1", "A", "as_first_child");
    quillbox::set_language("en");
    EXPECT_EQ(before.substr(0, before.find('\n')), "章节 'B' 已移动到 'A' 之前。");
    EXPECT_EQ(after.substr(0, after.find('\n')), "章节 'B' 已移动到 'A' 之后。");
    EXPECT_EQ(first.substr(0, first.find('\n')), "章节 'B1' 已移动到 'A' 下，作为第一个子章节。");
}

TEST_F(Move, NothingToDo) {
    // A section relative to itself, or already in the asked place.
    EXPECT_EQ(move("A", "A", "after"), "✅ TOC is already up to date.");
    EXPECT_EQ(move("A", "B", "before"), "✅ TOC is already up to date.");
    // B is Doc's last section: after Doc, or as its last child, it stays where it is.
    EXPECT_EQ(move("B", "Doc", "after"), "✅ TOC is already up to date.");
    EXPECT_EQ(move("B", "Doc", "as_last_child"), "✅ TOC is already up to date.");
    EXPECT_EQ(move("A1", "A", "as_last_child"), "✅ TOC is already up to date.");
    EXPECT_EQ(read_file(p), DOC);
    EXPECT_EQ(backup_count(), 0u);
}

TEST_F(Move, RefusalsLeaveTheFileAlone) {
    EXPECT_EQ(move("A", "A1", "as_first_child"), "Cannot move a section into its own subtree");
    EXPECT_EQ(move("A", "B1", "before"), "Level conflict: moving h2 before h3 would create invalid hierarchy");
    EXPECT_EQ(move("A1", "B1", "as_last_child"), "Level conflict: child heading (h3) must be deeper than parent (h3)");
    EXPECT_EQ(move("A1", "B", "inside"), "Invalid target block or position.");
    EXPECT_EQ(move("A1", "", "as_first_child"), "Invalid target block or position.");
    EXPECT_EQ(move("A1", "", ""), "Invalid target block or position.");

    EXPECT_EQ(quillbox::do_move_block(*session, "nope", "", "after"), "Block nope not found");
    EXPECT_EQ(quillbox::do_move_block(*session, id_of(p, "A1"), "gone", "after"),
              "Block gone not found");

    // A target in another file.
    auto other = md("other.md", "# Elsewhere\n");
    auto foreign = id_of(other, "Elsewhere");
    EXPECT_EQ(quillbox::do_move_block(*session, id_of(p, "A1"), foreign, "after"),
              "Invalid target block or position.");

    EXPECT_EQ(read_file(p), DOC);
    EXPECT_EQ(backup_count(), 0u);
}

TEST_F(Move, IdentifiersAfterAnOutsideChange) {
    auto a1 = id_of(p, "A1");
    auto b = id_of(p, "B");
    // A section deleted outside: its identifier is refused as a change of the file.
    std::string changed = "# Doc\nintro\n## A\na text\n## B\nb text\n### B1\n";
    write_file(p, changed);
    fs::last_write_time(p, fs::last_write_time(p) + std::chrono::seconds(5));
    EXPECT_EQ(quillbox::do_move_block(*session, a1, b, "after"), quillbox::get_message("file_changed"));
    EXPECT_EQ(read_file(p), changed);
    // Text added around the sections leaves their identifiers naming them.
    write_file(p, DOC);
    a1 = id_of(p, "A1");
    changed = std::string("preface\n") + DOC;
    write_file(p, changed);
    fs::last_write_time(p, fs::last_write_time(p) + std::chrono::seconds(10));
    EXPECT_FALSE(quillbox::do_move_block(*session, a1, b, "after").refused());
    EXPECT_EQ(read_file(p), "preface\n# Doc\nintro\n## A\na text\n## B\nb text\n### B1\n### A1\n#### A1a\n#### A1b\n");
}

}  // namespace
}  // namespace qbtest
