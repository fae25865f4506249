// Refusals through the tool table: every operation's refusal comes back as an error result with
// the operation's own text, and a read-only file is refused alike by every writing tool.

#include <sys/stat.h>

#include "fixture.h"
#include "host/tools.h"
#include "quillbox/i18n.h"

namespace qbtest {
namespace {

using quillbox::get_message;
using quillbox::host::json;

class Refusals : public ToolsTest {
protected:
    void SetUp() override {
        ToolsTest::SetUp();
        session->data_dir = root / ".quillbox";
    }
    // The text of a call that must be refused.
    std::string refused(const std::string& name, const json& args) {
        auto out = quillbox::host::run_tool(*registry.find(name), ctx, args);
        EXPECT_TRUE(out.is_error) << name << " " << args.dump() << " -> " << out.text;
        return out.text;
    }
};

TEST_F(Refusals, EveryRefusalIsAnErrorWithItsOwnText) {
    const auto p = md("guide.md", "# Guide\n## Alpha\nText\n### Deep\nMore\n## Beta\nEnd\n");
    write_file(root / "notes.txt", "plain\n");
    const std::string missing = (root / "missing.md").string();
    const std::string notes = (root / "notes.txt").string();
    const std::string md_only = get_message("md_only_error");
    const std::string not_found = get_message("file_not_found", {{"path", missing}});

    for (const char* tool : {"md_list_blocks", "md_edit", "md_generate_toc", "md_find_blocks"}) {
        json args{{"file_path", notes}};
        if (std::string(tool) == "md_edit") args["instruction"] = "change a to b";
        if (std::string(tool) == "md_find_blocks") args["query"] = "a";
        EXPECT_EQ(refused(tool, args), md_only) << tool;
        args["file_path"] = missing;
        EXPECT_EQ(refused(tool, args), not_found) << tool;
    }
    const std::string unknown = "00000000-0000-4000-8000-000000000000";
    EXPECT_EQ(refused("md_read_block", {{"file_path", p.string()}, {"block_id", unknown}}),
              get_message("block_not_found_guidance", {{"file_path", p}}));
    EXPECT_EQ(refused("md_replace_block", {{"file_path", p.string()}, {"block_id", unknown}, {"new_content", "x"}}),
              get_message("block_not_found_guidance", {{"file_path", p}}));
    EXPECT_EQ(refused("md_adjust_level", {{"block_id", unknown}, {"delta", 1}}),
              get_message("block_not_found", {{"block_id", unknown}}));
    EXPECT_EQ(refused("md_move_block", {{"block_id", unknown}}), get_message("block_not_found", {{"block_id", unknown}}));

    // Level limits, conflicts and invalid targets.
    EXPECT_EQ(refused("md_adjust_level", {{"block_id", id_of(p, "Guide")}, {"delta", -1}}),
              get_message("level_boundary_warning", {{"direction", "upgrade"}, {"level", 1}}));
    EXPECT_EQ(refused("md_move_block", {{"block_id", id_of(p, "Alpha")}, {"target_block_id", id_of(p, "Deep")},
                                        {"position", "as_first_child"}}),
              get_message("block_level_conflict", {{"error", "Cannot move a section into its own subtree"}}));
    EXPECT_EQ(refused("md_move_block", {{"block_id", id_of(p, "Beta")}, {"target_block_id", id_of(p, "Alpha")},
                                        {"position", "sideways"}}),
              get_message("block_move_invalid_target"));
    EXPECT_EQ(refused("md_generate_toc", {{"file_path", p.string()}}), get_message("toc_no_marker"));

    // The block changed on disk since it was listed, with its range still in place.
    const std::string beta = id_of(p, "Beta");
    write_file(p, "# Guide\n## Alpha\nText\n### Deep\nMore\n## Beta\nChanged\n");
    EXPECT_EQ(refused("md_replace_block", {{"file_path", p.string()}, {"block_id", beta}, {"new_content", "## Beta\nNew\n"}}),
              get_message("file_changed"));

    // What succeeds is not an error; nor is an answer that only finds nothing.
    auto out = quillbox::host::run_tool(*registry.find("md_find_blocks"), ctx, {{"file_path", p.string()}, {"query", "zzz"}});
    EXPECT_FALSE(out.is_error) << out.text;
}

TEST_F(Refusals, AReadOnlyFileGetsOneMessageFromEveryWritingToolInTheSessionLanguage) {
    const auto p = md("guide.md", "<!-- toc -->\n<!-- tocstop -->\n# Guide\n## Alpha\nfoo\n## Beta\nEnd\n");
    const std::string alpha = id_of(p, "Alpha");
    const std::string before = read_file(p);
    ASSERT_EQ(::chmod(p.c_str(), 0444), 0);

    for (const char* language : {"en", "zh"}) {
        quillbox::set_language(language);
        const std::string expected = get_message("file_read_only", {{"path", p}});
        EXPECT_EQ(refused("md_replace_block", {{"file_path", p.string()}, {"block_id", alpha},
                                               {"new_content", "## Alpha\nbar\n"}}),
                  expected);
        EXPECT_EQ(refused("md_generate_toc", {{"file_path", p.string()}}), expected);
        EXPECT_EQ(refused("md_adjust_level", {{"block_id", alpha}, {"delta", 1}}), expected);
        EXPECT_EQ(refused("md_move_block", {{"block_id", alpha}}), expected);
        const std::string edit = refused("md_edit", {{"file_path", p.string()}, {"instruction", "change foo to bar"}});
        EXPECT_NE(edit.find(expected), std::string::npos) << edit;
    }
    quillbox::set_language("en");  // the language is process-wide; later suites expect English
    EXPECT_EQ(read_file(p), before);
    ::chmod(p.c_str(), 0644);
}

}  // namespace
}  // namespace qbtest
