// The link tools through the tool table: dry_run on every writing tool, front matter values
// from JSON, and the rename's arguments.

#include "fixture.h"
#include "host/tools.h"

namespace qbtest {
namespace {

using quillbox::host::json;

class LinkTools : public ToolsTest {
protected:
    void SetUp() override {
        ToolsTest::SetUp();
        session->paths = std::make_shared<quillbox::ProjectPathResolver>(root);
    }
    quillbox::host::ToolOutcome call(const std::string& name, const json& args) {
        const auto* spec = registry.find(name);
        EXPECT_NE(spec, nullptr) << name;
        return quillbox::host::run_tool(*spec, ctx, args);
    }
};

// Every tool that writes takes dry_run; with it a write answers with its diff and the file
// keeps its bytes.
TEST_F(LinkTools, EveryWritingToolTakesDryRun) {
    for (const auto& spec : registry.all()) {
        const json schema = quillbox::host::ToolRegistry::describe(spec)["inputSchema"]["properties"];
        EXPECT_EQ(schema.contains("dry_run"), !spec.annotations.read_only) << spec.name;
    }
    auto p = md("a.md", "# A\nold line\n## B\nb\n");
    const std::string id = id_of(p, "A");
    const auto read = call("md_read_block", {{"file_path", p.string()}, {"block_id", id}});
    const auto out = call("md_patch_block", {{"file_path", p.string()}, {"block_id", id}, {"old_text", "old"},
                                             {"new_text", "new"}, {"dry_run", true}});
    EXPECT_FALSE(out.is_error) << out.text;
    EXPECT_NE(out.text.find("-old line\n+new line"), std::string::npos) << out.text;
    EXPECT_EQ(read_file(p), "# A\nold line\n## B\nb\n");
    const auto toc = call("md_generate_toc", {{"file_path", p.string()}, {"force_insert", true}, {"dry_run", true}});
    EXPECT_NE(toc.text.find("+- [A](#a)"), std::string::npos) << toc.text;
    EXPECT_EQ(read_file(p), "# A\nold line\n## B\nb\n");
    EXPECT_EQ(backup_count(), 0u);
}

TEST_F(LinkTools, FrontMatterValuesFromJson) {
    auto p = md("f.md", "---\nkeep: 1 # note\n---\nbody\n");
    const auto out = call("md_frontmatter", {{"file_path", p.string()},
                                             {"set", {{"count", 3}, {"tags", {"a", "b"}}, {"title", "x: y"}, {"ok", true}}}});
    EXPECT_FALSE(out.is_error) << out.text;
    EXPECT_EQ(read_file(p), "---\nkeep: 1 # note\ncount: 3\nok: true\ntags: [\"a\",\"b\"]\ntitle: \"x: y\"\n---\nbody\n");
    EXPECT_TRUE(call("md_frontmatter", {{"file_path", p.string()}, {"set", "x"}}).is_error);
    EXPECT_FALSE(call("md_undo", {{"file_path", p.string()}}).is_error);
    EXPECT_EQ(read_file(p), "---\nkeep: 1 # note\n---\nbody\n");
}

TEST_F(LinkTools, RenameNeedsAHeading) {
    auto p = md("r.md", "# Old\n");
    EXPECT_TRUE(call("md_rename_heading", {{"file_path", p.string()}, {"new_title", "New"}}).is_error);
    const auto out = call("md_rename_heading", {{"file_path", p.string()}, {"heading", "# Old"}, {"new_title", "New"}});
    EXPECT_FALSE(out.is_error) << out.text;
    EXPECT_EQ(read_file(p), "# New\n");
}

}  // namespace
}  // namespace qbtest
