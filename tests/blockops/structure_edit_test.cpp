// Natural-language edit: instruction parsing, the three substitution steps, and md_edit on
// real files.

#include <SQLiteCpp/SQLiteCpp.h>

#include "fixture.h"
#include "quillbox/blockops/edit.h"

namespace qbtest {
namespace {

using quillbox::_apply_pattern;
using quillbox::_parse_instruction;
using quillbox::EditRequest;

EditRequest req(std::string target, std::string replacement) {
    return EditRequest{"replace", std::move(target), std::move(replacement)};
}

// ---------------------------------------------------------------------------------------
// _parse_instruction
// ---------------------------------------------------------------------------------------

TEST(ParseInstruction, EnglishVerbsArticleAndConnector) {
    EXPECT_EQ(_parse_instruction("change the version to 2.0"), req("version", "2.0"));
    EXPECT_EQ(_parse_instruction("Please REPLACE Foo Bar WITH  baz qux  "), req("Foo Bar", "baz qux"));
    EXPECT_EQ(_parse_instruction("swap red into blue"), req("red", "blue"));
    // The verbs are not bound to word boundaries: "reset" matches through "set".
    EXPECT_EQ(_parse_instruction("reset the count to 0"), req("count", "0"));
    // The shortest target wins; the replacement runs to the end of the line only.
    EXPECT_EQ(_parse_instruction("modify a to b to c\nand more"), req("a", "b to c"));
}

TEST(ParseInstruction, ArrowsAndPatternOrder) {
    EXPECT_EQ(_parse_instruction("old -> new"), req("old", "new"));
    EXPECT_EQ(_parse_instruction("α→β"), req("α", "β"));
    EXPECT_EQ(_parse_instruction("x ⇒ y z"), req("x", "y z"));
    // White space between target and arrow may include a line feed.
    EXPECT_EQ(_parse_instruction("old\n-> new"), req("old", "new"));
    // Pattern 1 needs a connector word; without one the arrow pattern takes the whole head.
    EXPECT_EQ(_parse_instruction("update title -> new"), req("update title", "new"));
    EXPECT_EQ(_parse_instruction("change a to b -> c"), req("a", "b -> c"));
}

TEST(ParseInstruction, ChineseAndTrailingDe) {
    EXPECT_EQ(_parse_instruction("把标题改为新标题"), req("标题", "新标题"));
    EXPECT_EQ(_parse_instruction("将版本号的 改成 3.0"), req("版本号", "3.0"));
    EXPECT_EQ(_parse_instruction("请把作者替换为张三"), req("作者", "张三"));
    // Only blanks and 的 captured: the target ends up empty.
    EXPECT_EQ(_parse_instruction("把 的 改为 X"), req("", "X"));
}

TEST(ParseInstruction, NoMatchAndBadInput) {
    EXPECT_EQ(_parse_instruction("make it better"), std::nullopt);
    EXPECT_EQ(_parse_instruction(""), std::nullopt);
    EXPECT_EQ(_parse_instruction("change to"), std::nullopt);
    EXPECT_THROW(_parse_instruction("change \xff to y"), quillbox::DecodeError);
}

TEST(ParseInstruction, HugeInstructionsNeverHang) {
    // Long but harmless: no connector anywhere, or one clear match with a huge replacement.
    EXPECT_EQ(_parse_instruction(std::string(1 << 20, 'a')), std::nullopt);
    std::string big_replacement(200000, 'z');
    EXPECT_EQ(_parse_instruction("change x to " + big_replacement), req("x", big_replacement));
    // Pathological: every word a verb and no connector, which backtracks quadratically.
    std::string evil;
    for (int i = 0; i < 40000; ++i) evil += "change ";
    try {
        EXPECT_EQ(_parse_instruction(evil), std::nullopt);
    } catch (const quillbox::InstructionTooComplexError& e) {
        EXPECT_NE(std::string(e.what()).find("too long"), std::string::npos);
    }
}

// ---------------------------------------------------------------------------------------
// _apply_pattern
// ---------------------------------------------------------------------------------------

TEST(ApplyPattern, ExactReplacesEveryOccurrenceLiterally) {
    EXPECT_EQ(_apply_pattern("version 1, version 2", req("version", "v")), "v 1, v 2");
    // Exact matches take the replacement as plain text, backslashes and all.
    EXPECT_EQ(_apply_pattern("a x b", req("x", R"(\n$1\g<0>\g<name>)")), R"(a \n$1\g<0>\g<name> b)");
    // Regex-hostile targets are plain text too.
    EXPECT_EQ(_apply_pattern("see a.b*(c)[d]\\$ here", req("a.b*(c)[d]\\$", "ok")), "see ok here");
    EXPECT_EQ(_apply_pattern("🎉 party 🎉", req("🎉", "🎊")), "🎊 party 🎊");
}

TEST(ApplyPattern, CaseInsensitiveWithTemplate) {
    EXPECT_EQ(_apply_pattern("Version: 1\nVERSION notes", req("version", "ver")), "ver: 1\nver notes");
    EXPECT_EQ(_apply_pattern("Foo and fOO", req("FOO", "[\\g<0>]")), "[Foo] and [fOO]");
    // Escapes: control characters, a doubled backslash, octal forms; other backslashes stay.
    EXPECT_EQ(_apply_pattern("Key", req("KEY", R"(a\tb\\c\$d\101\0e\é)")),
              std::string("a\tb\\c\\$dA") + '\0' + "e\\é");
    EXPECT_EQ(_apply_pattern("Key", req("KEY", R"(x\ny)")), "x\ny");
    EXPECT_EQ(_apply_pattern("A.B*(C)[D] and a.b*(c)[d]", req("a.B*(c)[D]", "z")), "z and z");
    EXPECT_EQ(_apply_pattern("ÄRGER und ärger", req("Ärger", "x")), "x und x");
}

TEST(ApplyPattern, TemplateErrorsFallBackToFirstLine) {
    const std::string content = "Hello World\nworld again";
    // Each of these is an unusable template: the line step puts the replacement in literally
    // in the first hit line, and keeps the rest of the text as it was.
    for (const char* repl : {R"(x\d)", R"(x\1)", R"(x\18)", R"(x\400)", R"(x\g<1>)", R"(x\g<0)",
                             R"(x\g<>)", R"(x\g<a-b>)", "x\\"}) {
        SCOPED_TRACE(repl);
        EXPECT_EQ(_apply_pattern(content, req("WORLD", repl)), "Hello " + std::string(repl) + "\nworld again");
    }
}

TEST(ApplyPattern, NamedGroupReferenceFails) {
    EXPECT_THROW(_apply_pattern("Title", req("TITLE", R"(\g<name>)")), quillbox::ReplacementGroupNameError);
    EXPECT_THROW(_apply_pattern("Title", req("TITLE", R"(\g<_x1>)")), quillbox::ReplacementGroupNameError);
    // Only when the case-insensitive step is reached with a hit.
    EXPECT_EQ(_apply_pattern("TITLE", req("TITLE", R"(\g<name>)")), R"(\g<name>)");
    EXPECT_EQ(_apply_pattern("nothing here", req("TITLE", R"(\g<name>)")), std::nullopt);
}

TEST(ApplyPattern, NotFoundAndEmptyTarget) {
    EXPECT_EQ(_apply_pattern("abc", req("xyz", "q")), std::nullopt);
    EXPECT_EQ(_apply_pattern("abc", req("", "q")), std::nullopt);
    EXPECT_EQ(_apply_pattern("", req("a", "q")), std::nullopt);
}

TEST(ApplyPattern, LineStepUsesFullLowerCase) {
    // İ lower-cases to i + combining dot in full mapping but to i alone in the simple one, so
    // only the line step finds "i̇stanbul".
    EXPECT_EQ(_apply_pattern("Go to İSTANBUL now\nİstanbul", req("i\u0307stanbul", "X")), "Go to X now\nİstanbul");
    // A defect once lower-cased the rest of the line.
    EXPECT_EQ(_apply_pattern("Hello World, Alice.", req("world", R"(C:\data\new)")), R"(Hello C:\data\new, Alice.)");
    EXPECT_EQ(_apply_pattern("ÄÖ İSTANBUL ÜBER", req("i\u0307stanbul", "x")), "ÄÖ x ÜBER");
}

// ---------------------------------------------------------------------------------------
// do_md_edit and _do_replace_direct
// ---------------------------------------------------------------------------------------

class MdEdit : public StructureTest {
protected:
    std::string edit(const fs::path& p, std::string_view instruction) {
        return quillbox::do_md_edit(*session, p.string(), instruction);
    }
    int stats_rows() {
        SQLite::Database db(indexer->db_path().string());
        SQLite::Statement q(db, "SELECT COUNT(*) FROM stats WHERE operation_type = 'replace_block'");
        q.executeStep();
        return q.getColumn(0).getInt();
    }
};

TEST_F(MdEdit, EditsTheBestScoringSection) {
    auto p = md("doc.md", "# Install\nRun the version check.\n# Version history\nThe version is 1.0.\n");
    // The answer names the section and shows the changed line, before and after.
    const std::string out = edit(p, "change the version to 2.0");
    EXPECT_EQ(out.rfind("✅ md_edit completed: 1 section(s) updated.\n\n✅ Updated **Version history** (lines 3-4)\n"
                        "-4: The version is 1.0.\n+4: ",
                        0),
              0u)
        << out;
    EXPECT_EQ(read_file(p), "# Install\nRun the version check.\n# Version history\nThe 2.0 is 1.0.\n");
    EXPECT_EQ(backup_count(), 1u);
    EXPECT_EQ(stats_rows(), 1);
}

TEST_F(MdEdit, WithoutOverlapTheLongestSectionIsEdited) {
    auto p = md("zh.md", "# 甲\n旧名称\n# 乙\n一\n二\n旧名称\n");
    std::string out = edit(p, "把旧名称改为新名称");
    EXPECT_NE(out.find("✅ Updated **乙** (lines 3-6)"), std::string::npos) << out;
    EXPECT_EQ(read_file(p), "# 甲\n旧名称\n# 乙\n一\n二\n新名称\n");
}

TEST_F(MdEdit, TiedSectionsAreAllEditedEvenWhenTheFirstGrows) {
    // The first rewrite adds lines, moving the second section down before it is edited.
    auto p = md("t.md", "# Old alpha\nold value\n# Old beta\nold value\n");
    std::string out = edit(p, "change OLD to first\\nsecond");
    EXPECT_EQ(out.rfind("✅ md_edit completed: 2 section(s) updated.\n\n✅ Updated **Old alpha** (lines 1-2)\n", 0), 0u)
        << out;
    EXPECT_NE(out.find("\n✅ Updated **Old beta** (lines 3-4)\n-5: # Old beta\n"), std::string::npos) << out;
    EXPECT_EQ(read_file(p),
              "# first\nsecond alpha\nfirst\nsecond value\n# first\nsecond beta\nfirst\nsecond value\n");
}

TEST_F(MdEdit, SuggestionsWhenNothingCanBeRewritten) {
    const std::string text = "# Notes\nkeep this\n";
    auto p = md("n.md", text);
    auto id = id_of(p, "Notes");
    const std::string suggestion = "📝 Found section: **Notes** (lines 1-2)\nBlock ID: `" + id +
                                   "`\nContent:\n---\n# Notes\nkeep this\n---\nUse md_replace_block(block_id=\"" +
                                   id + "\", new_content=\"...\") to edit.";
    const std::string expected = "ℹ️  Could not auto-edit. Found 1 matching section(s):\n\n" + suggestion;
    EXPECT_EQ(edit(p, "please improve the wording"), expected);  // no pattern
    // A phrase that is not in the file is a refusal, not a section to look at.
    EXPECT_EQ(edit(p, "old -> new"),
              quillbox::get_message("edit_phrase_missing", {{"phrase", "old"}, {"path", p}}));
    EXPECT_EQ(edit(p, "把 的 改为 X"), expected);                // empty target
    EXPECT_EQ(edit(p, "change keep this to keep this"), expected);  // same text again
    EXPECT_EQ(read_file(p), text);
    EXPECT_EQ(backup_count(), 0u);
}

TEST_F(MdEdit, NamedGroupFailsTheCallBeforeAnyWrite) {
    // No section holds the text exactly: both tied sections reach the template step.
    const std::string text = "# Foo one\nFOO here\n# Foo two\nFOO there\n";
    auto p = md("g.md", text);
    EXPECT_THROW(edit(p, "change foo to \\g<name>"), quillbox::ReplacementGroupNameError);
    EXPECT_EQ(read_file(p), text);
    EXPECT_EQ(backup_count(), 0u);
}

// Agents quote the phrases; and the section that holds the exact text is the one to edit, even
// when another one's heading shares more words with the instruction.
TEST_F(MdEdit, QuotedPhrasesEditTheSectionHoldingTheText) {
    auto p = md("q.md", "# Intro\nShort file.\n# Short file format\nThe format.\n## Short file fields\nNone.\n");
    std::string out = edit(p, "change \"Short file.\" to \"A short file.\"");
    EXPECT_NE(out.find("Updated **Intro**"), std::string::npos) << out;
    out = edit(p, "change 'The format.' to 'The layout.'");
    EXPECT_NE(out.find("Updated **Short file format**"), std::string::npos) << out;
    out = edit(p, "把「None.」改为「Two.」");
    EXPECT_NE(out.find("Updated **Short file fields**"), std::string::npos) << out;  // the innermost
    EXPECT_EQ(read_file(p), "# Intro\nA short file.\n# Short file format\nThe layout.\n## Short file fields\nTwo.\n");

    for (const auto& [instruction, target, replacement] :
         {std::tuple{"change \"a\" and \"b\" to c", "\"a\" and \"b\"", "c"},
          std::tuple{"change `x` to “y”", "x", "y"}, std::tuple{"change \"\" to 'q'", "\"\"", "q"},
          std::tuple{"change \"half to done\"", "\"half", "done\""}}) {
        auto parsed = quillbox::_parse_instruction(instruction);
        ASSERT_TRUE(parsed) << instruction;
        EXPECT_EQ(parsed->target, target) << instruction;
        EXPECT_EQ(parsed->replacement, replacement) << instruction;
    }
}

TEST_F(MdEdit, RegexHostileTextAndEmojiAreLiteral) {
    auto p = md("r.md", "# Price list\nCost: $5 [approx] (\\d+) 🎉\n");
    // No word hits a title, so the only (longest) section is taken; the target is found exactly.
    edit(p, "change $5 [approx] (\\d+) 🎉 to $6 \\1 🚀");
    EXPECT_EQ(read_file(p), "# Price list\nCost: $6 \\1 🚀\n");
}

TEST_F(MdEdit, Refusals) {
    auto txt = md("notes.txt", "# A\n");
    EXPECT_EQ(edit(txt, "change a to b"), quillbox::get_message("md_only_error"));
    EXPECT_EQ(edit(root / "missing.md", "change a to b"), "File not found: " + (root / "missing.md").string());
    auto empty = md("plain.md", "no headings here\n");
    EXPECT_EQ(edit(empty, "change a to b"), "❌ Error: No sections found in " + empty.string() + ".");
}

TEST_F(MdEdit, ReplaceDirectRelocatesRefusesAndFails) {
    auto p = md("d.md", "# A\nalpha\n# B\nbeta\n");
    auto id_b = id_of(p, "B");
    EXPECT_THROW(quillbox::_do_replace_direct(*session, "no-such-id", "x"),
                 std::invalid_argument);

    // Lines inserted above B behind the index's back: B is found by its content.
    write_file(p, "intro\n\n# A\nalpha\n# B\nbeta\n");
    quillbox::_do_replace_direct(*session, id_b, "# B\nBETA\nmore");
    EXPECT_EQ(read_file(p), "intro\n\n# A\nalpha\n# B\nBETA\nmore\n");
    auto stored = indexer->get_block(id_b);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->start_line, 5);
    EXPECT_EQ(stored->end_line, 7);
    EXPECT_EQ(stats_rows(), 1);

    // Content gone and recorded lines different: refused, file untouched.
    auto id_a = id_of(p, "A");
    const std::string changed = "# A\nsomething else\n# B\nBETA\nmore\n";
    write_file(p, changed);
    EXPECT_THROW(quillbox::_do_replace_direct(*session, id_a, "# A\nnew"), quillbox::FileChangedError);
    EXPECT_EQ(read_file(p), changed);
}

}  // namespace
}  // namespace qbtest
