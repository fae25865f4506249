// Front matter edits keep every other byte; undo puts back exactly the bytes before the last
// write; dry runs show the diff and write nothing.

#include <random>
#include <sstream>

#include "fixture.h"

namespace qbtest {
namespace {

class FrontMatter : public StructureTest {
protected:
    void SetUp() override {
        StructureTest::SetUp();
        session->paths = std::make_shared<quillbox::ProjectPathResolver>(root);
    }
    quillbox::Reply fm(const fs::path& p, quillbox::FrontMatterChange change = {}) {
        return quillbox::do_frontmatter(*session, p.string(), change);
    }
    quillbox::Reply undo(const fs::path& p) { return quillbox::do_undo(*session, p.string()); }
};

const std::string DOC =
    "---\r\n"
    "# kept comment\r\n"
    "title: 'Old'   # inline note\r\n"
    "tags:\r\n"
    "  - a\r\n"
    "  - b\r\n"
    "\"quoted key\": {x: 1}\r\n"
    "draft: true\r\n"
    "---\r\n"
    "# Body\r\n";

TEST_F(FrontMatter, ReadsSetsAndRemovesKeepingEveryOtherByte) {
    auto p = md("a.md", DOC);
    const std::string read = fm(p);
    EXPECT_NE(read.find("lines 1-9, 4 keys: title, tags, quoted key, draft"), std::string::npos) << read;

    quillbox::FrontMatterChange change;
    change.set = {{"title", quillbox::yaml_string_value("New: title")}, {"author", "Ann"}, {"tags", "[c]"}};
    change.remove = {"draft", "missing"};
    const quillbox::Reply r = fm(p, change);
    EXPECT_FALSE(r.refused()) << r;
    EXPECT_NE(r.find("not present: missing"), std::string::npos) << r;
    EXPECT_EQ(read_file(p),
              "---\r\n# kept comment\r\ntitle: \"New: title\"   # inline note\r\ntags: [c]\r\n"
              "\"quoted key\": {x: 1}\r\nauthor: Ann\r\n---\r\n# Body\r\n");
    // The same values again: nothing to write.
    change.remove.clear();
    EXPECT_EQ(fm(p, {{{"author", "Ann"}}, {}}), quillbox::get_message("frontmatter_unchanged", {{"path", "a.md"}}));
}

TEST_F(FrontMatter, InvalidYamlIsRefusedWithTheFileLineAndColumn) {
    auto p = md("b.md", "---\ntitle: ok\nlist: [a, b\nnext: 1\n---\ntext\n");
    const std::string before = read_file(p);
    const quillbox::Reply r = fm(p, {{{"title", "x"}}, {}});
    ASSERT_TRUE(r.refused());
    EXPECT_NE(r.find("(line 4, column 5)"), std::string::npos) << r;
    EXPECT_EQ(read_file(p), before);
    EXPECT_TRUE(fm(p).refused());
}

TEST_F(FrontMatter, AFileWithoutOneGetsOne) {
    auto p = md("c.md", "# Title\n");
    EXPECT_EQ(fm(p), quillbox::get_message("frontmatter_none", {{"path", "c.md"}}));
    EXPECT_FALSE(fm(p, {{{"title", quillbox::yaml_string_value("yes")}}, {}}).refused());
    EXPECT_EQ(read_file(p), "---\ntitle: \"yes\"\n---\n# Title\n");
}

// Undo restores the bytes before the last write, redoes by undoing again, and refuses once
// someone else changed the file.
TEST_F(FrontMatter, UndoRestoresExactBytesOnlyWhileTheFileIsAsWritten) {
    auto p = md("d.md", DOC);
    EXPECT_TRUE(undo(p).refused());  // nothing on record
    ASSERT_FALSE(fm(p, {{{"title", "B"}}, {}}).refused());
    const std::string written = read_file(p);
    EXPECT_FALSE(undo(p).refused());
    EXPECT_EQ(read_file(p), DOC);
    EXPECT_FALSE(undo(p).refused());  // undo of the undo
    EXPECT_EQ(read_file(p), written);

    write_file(p, written + "edited by hand\n");
    const quillbox::Reply r = undo(p);
    EXPECT_TRUE(r.refused());
    EXPECT_NE(r.find("changed after"), std::string::npos) << r;
    EXPECT_EQ(read_file(p), written + "edited by hand\n");
}

TEST_F(FrontMatter, DryRunShowsTheDiffAndWritesNothing) {
    auto p = md("e.md", DOC);
    const std::size_t backups = backup_count();
    const std::string out = quillbox::dry_run(*session, [&] { return fm(p, {{{"title", "B"}}, {"draft"}}); });
    EXPECT_EQ(out, quillbox::get_message("dry_run_header", {{"files", 1}}) +
                       "\n--- a/e.md\n+++ b/e.md\n@@ -1,10 +1,9 @@\n ---\n # kept comment\n"
                       "-title: 'Old'   # inline note\n+title: B   # inline note\n tags:\n   - a\n   - b\n"
                       " \"quoted key\": {x: 1}\n-draft: true\n ---\n # Body");
    EXPECT_EQ(read_file(p), DOC);
    EXPECT_EQ(backup_count(), backups);
    // A refusal stays a refusal.
    EXPECT_TRUE(quillbox::dry_run(*session, [&] { return undo(p); }).refused());
}

// Applies a unified diff the way patch does, to check the diff against its texts.
std::string apply_diff(const std::string& before, const std::string& diff) {
    std::vector<std::string> src;
    std::istringstream in(before);
    for (std::string l; std::getline(in, l);) src.push_back(l);
    std::vector<std::string> out;
    std::size_t at = 0;
    std::istringstream d(diff);
    std::string line;
    std::getline(d, line);
    std::getline(d, line);
    while (std::getline(d, line)) {
        if (line.starts_with("@@")) {
            std::size_t a0 = std::stoul(line.substr(4));
            std::size_t na = std::stoul(line.substr(line.find(',') + 1));
            std::size_t first = na ? a0 - 1 : a0;
            while (at < first) out.push_back(src[at++]);
        } else if (line[0] == ' ') {
            out.push_back(src[at++]);
        } else if (line[0] == '-') {
            ++at;
        } else if (line[0] == '+') {
            out.push_back(line.substr(1));
        }
    }
    while (at < src.size()) out.push_back(src[at++]);
    std::string text;
    for (const auto& l : out) text += l + "\n";
    return text;
}

TEST(UnifiedDiff, PatchingTheBeforeTextGivesTheAfterText) {
    std::mt19937 rng(28);
    for (int round = 0; round < 300; ++round) {
        std::vector<std::string> a;
        const int n = static_cast<int>(rng() % 40);
        for (int i = 0; i < n; ++i) a.push_back(std::string(1, static_cast<char>('a' + rng() % 5)));
        std::vector<std::string> b = a;
        const int edits = static_cast<int>(rng() % 6);
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = b.empty() ? 0 : rng() % (b.size() + 1);
            switch (rng() % 3) {
                case 0: b.insert(b.begin() + static_cast<long>(at), "new" + std::to_string(e)); break;
                case 1: if (at < b.size()) b.erase(b.begin() + static_cast<long>(at)); break;
                default: if (at < b.size()) b[at] = "chg" + std::to_string(e);
            }
        }
        std::string before, after;
        for (const auto& l : a) before += l + "\n";
        for (const auto& l : b) after += l + "\n";
        const std::string diff = quillbox::unified_diff(before, after, "f.md");
        EXPECT_EQ(apply_diff(before, diff), after) << diff;
        if (before == after) {
            EXPECT_EQ(diff, "--- a/f.md\n+++ b/f.md\n");
        }
    }
}

// The parser's front matter is the one edited: TOML is refused instead of getting a YAML
// block in front of it.
TEST_F(FrontMatter, TomlFrontMatterIsRefusedNotDoubled) {
    const std::string doc = "+++\ntitle = \"x\"\n+++\n# Body\n";
    auto p = md("t.md", doc);
    EXPECT_TRUE(fm(p).refused());
    EXPECT_TRUE(fm(p, {{{"draft", "true"}}, {}}).refused());
    EXPECT_EQ(read_file(p), doc);
}

}  // namespace
}  // namespace qbtest
