// The four structural MCP tools: schemas, annotations, argument errors and calls end to end.

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
        ctx.indexer = indexer.get();
        ctx.watcher = watcher.get();
        ctx.safety = safety.get();
        ctx.tracker = &tracker;
        ctx.root = root;
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
    auto describe = [&](const char* name) { return ToolRegistry::describe(*registry.find(name)); };

    json edit = describe("md_edit");
    EXPECT_EQ(edit["inputSchema"]["required"], json({"file_path", "instruction"}));
    EXPECT_EQ(edit["annotations"]["readOnlyHint"], false);
    EXPECT_EQ(edit["annotations"]["destructiveHint"], true);
    EXPECT_EQ(edit["annotations"]["idempotentHint"], false);

    json toc = describe("md_generate_toc");
    const json& tp = toc["inputSchema"]["properties"];
    EXPECT_EQ(tp["update"]["default"], true);
    EXPECT_EQ(tp["force_insert"]["default"], false);
    EXPECT_EQ(tp["max_depth"]["default"], 6);
    EXPECT_EQ(tp["max_depth"]["type"], "integer");
    EXPECT_EQ(toc["inputSchema"]["required"], json({"file_path"}));
    EXPECT_EQ(toc["annotations"]["idempotentHint"], true);

    json level = describe("md_adjust_level");
    EXPECT_EQ(level["inputSchema"]["properties"]["recursive"]["default"], true);
    EXPECT_EQ(level["inputSchema"]["required"], json({"block_id", "delta"}));

    json move = describe("md_move_block");
    const json& mp = move["inputSchema"]["properties"];
    EXPECT_EQ(mp["target_block_id"]["default"], "");
    EXPECT_EQ(mp["position"]["default"], "after");
    EXPECT_EQ(mp["position"]["enum"], json({"before", "after", "as_first_child", "as_last_child"}));

    for (const auto& spec : registry.all()) {
        json a = ToolRegistry::describe(spec)["annotations"];
        for (const char* hint : {"readOnlyHint", "destructiveHint", "idempotentHint", "openWorldHint"})
            EXPECT_TRUE(a.contains(hint) && a[hint].is_boolean()) << spec.name << " " << hint;
        EXPECT_EQ(a["readOnlyHint"], false) << spec.name;
        EXPECT_EQ(a["openWorldHint"], false) << spec.name;
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
    EXPECT_FALSE(out.is_error);
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
