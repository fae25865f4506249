// The four structural MCP tools: schemas, annotations, argument errors and calls end to end.

#include <map>

#include "fixture.h"
#include "host/tools.h"

namespace qbtest {
namespace {

using quillbox::host::json;
using quillbox::host::ToolRegistry;

class StructureTools : public StructureTest {
protected:
    void SetUp() override {
        StructureTest::SetUp();
        quillbox::host::register_structure_tools(registry);
        ctx.session = session.get();
    }
    quillbox::host::ToolOutcome call(const std::string& name, const json& args) {
        const auto* spec = registry.find(name);
        EXPECT_NE(spec, nullptr) << name;
        return quillbox::host::run_tool(*spec, ctx, args);
    }
    ToolRegistry registry;
    quillbox::host::ToolContext ctx;
};

TEST_F(StructureTools, SchemasDefaultsAndAnnotations) {
    ASSERT_EQ(registry.all().size(), 4u);
    auto props = [&](const char* name) { return ToolRegistry::describe(*registry.find(name))["inputSchema"]; };
    EXPECT_EQ(props("md_edit")["required"], json({"file_path", "instruction"}));
    EXPECT_EQ(props("md_adjust_level")["required"], json({"delta"}));
    const json toc = props("md_generate_toc")["properties"];
    EXPECT_EQ(toc["update"]["default"], true);
    EXPECT_EQ(toc["force_insert"]["default"], false);
    EXPECT_EQ(toc["max_depth"]["default"], 6);
    EXPECT_EQ(props("md_adjust_level")["properties"]["recursive"]["default"], true);
    const json move = props("md_move_block")["properties"];
    EXPECT_EQ(move["target_block_id"]["default"], "");
    EXPECT_EQ(move["position"]["default"], "after");

    // Every hint stated; all four write only local files.
    const std::map<std::string, std::pair<bool, bool>> destructive_idempotent{
        {"md_edit", {true, false}}, {"md_generate_toc", {true, true}},
        {"md_adjust_level", {true, false}}, {"md_move_block", {true, true}}};
    for (const auto& spec : registry.all()) {
        json a = ToolRegistry::describe(spec)["annotations"];
        EXPECT_EQ(a["readOnlyHint"], false) << spec.name;
        EXPECT_EQ(a["openWorldHint"], false) << spec.name;
        EXPECT_EQ(a["destructiveHint"], destructive_idempotent.at(spec.name).first) << spec.name;
        EXPECT_EQ(a["idempotentHint"], destructive_idempotent.at(spec.name).second) << spec.name;
    }
}

TEST_F(StructureTools, BadArgumentsGiveClearErrors) {
    auto out = call("md_adjust_level", {{"block_id", "x"}, {"delta", "one"}});
    EXPECT_TRUE(out.is_error);
    EXPECT_NE(out.text.find("'delta' must be an integer"), std::string::npos) << out.text;

    out = call("md_move_block", {{"position", "after"}});
    EXPECT_TRUE(out.is_error);
    EXPECT_NE(out.text.find("'block_id'"), std::string::npos) << out.text;

    out = call("md_generate_toc", {{"file_path", "a.md"}, {"max_depth", "deep"}});
    EXPECT_TRUE(out.is_error);
    out = call("md_edit", {{"file_path", 3}, {"instruction", "x"}});
    EXPECT_TRUE(out.is_error);

    quillbox::host::ToolContext empty;
    out = quillbox::host::run_tool(*registry.find("md_edit"), empty, {{"file_path", "a.md"}, {"instruction", "x"}});
    EXPECT_TRUE(out.is_error);
}

TEST_F(StructureTools, CallsEndToEnd) {
    const std::string text = "# Guide\n## Alpha\nFoo\n## Beta\nFOO\n";
    auto p = md("guide.md", text);

    // No title word matches, so the whole Guide section is taken; it holds "foo" only in other
    // letter cases, and a named group in the replacement fails the call and leaves the file as it was.
    auto out = call("md_edit", {{"file_path", p.string()}, {"instruction", "change foo to \\g<x>"}});
    EXPECT_TRUE(out.is_error);
    EXPECT_NE(out.text.find("Invalid replacement"), std::string::npos) << out.text;
    EXPECT_EQ(read_file(p), text);

    out = call("md_generate_toc", {{"file_path", p.string()}, {"force_insert", true}, {"max_depth", 1}});
    EXPECT_FALSE(out.is_error);
    EXPECT_EQ(out.text, quillbox::get_message("toc_generated"));
    EXPECT_EQ(read_file(p), "<!-- toc -->\n- [Guide](#guide)\n<!-- tocstop -->\n" + text);

    out = call("md_move_block", {{"block_id", id_of(p, "Beta")}, {"target_block_id", id_of(p, "Alpha")},
                                 {"position", "sideways"}});
    EXPECT_TRUE(out.is_error);
    EXPECT_EQ(out.text, "Invalid target block or position.");

    out = call("md_adjust_level", {{"block_id", id_of(p, "Alpha")}, {"delta", 1}});
    EXPECT_FALSE(out.is_error);
    EXPECT_EQ(out.text, "Heading 'Alpha' adjusted (+1).\n  Headings changed: 1\n  Lines: 5");

    // Default position "after" and default (empty) target: the end of the document.
    out = call("md_move_block", {{"block_id", id_of(p, "Alpha")}});
    EXPECT_FALSE(out.is_error) << out.text;
    EXPECT_EQ(read_file(p), "<!-- toc -->\n- [Guide](#guide)\n<!-- tocstop -->\n# Guide\n## Beta\nFOO\n### Alpha\nFoo\n");
}

}  // namespace
}  // namespace qbtest
