// The listing format and md_list_blocks.

#include "fixture.h"
#include "quillbox/blockops/listing.h"

using namespace quillbox;
using qbtest::Project;

namespace {

const char* kDoc = "# Intro\ntext\n## Setup\nstep one\nstep two\n";

}  // namespace

TEST(FormatBlocks, HeaderCountAndLines) {
    Block intro{"11111111-1111-4111-8111-111111111111", "/docs/a.md", 1, 9, "Intro", 1, "Intro", "heading", ""};
    Block setup{"22222222-2222-4222-8222-222222222222", "/docs/a.md", 3, 9, "Setup", 2, "Intro/Setup", "heading", ""};
    Block fm{"33333333-3333-4333-8333-333333333333", "/docs/a.md", 1, 2, "front", 0, "", "frontmatter", ""};
    EXPECT_EQ(_format_blocks({intro, setup}, "/docs/a.md"),
              "✅ File: /docs/a.md\n2 blocks:\n"
              "  id=\"11111111-1111-4111-8111-111111111111\" # Intro lines=1-9\n"
              "  id=\"22222222-2222-4222-8222-222222222222\" ## Setup lines=3-9");
    EXPECT_EQ(_format_blocks({fm}, "/x.md"),
              "✅ File: /x.md\n1 blocks:\n  id=\"33333333-3333-4333-8333-333333333333\" FM front lines=1-2");
    EXPECT_EQ(_format_blocks({}, "/x.md"), "✅ File: /x.md\n0 blocks:\n");
}

TEST_F(Project, ListBlocksChecksPathsAndListsIndexedBlocks) {
    EXPECT_EQ(do_list_blocks(*session, (root / "missing.MD").string()), get_message("md_only_error"));
    EXPECT_EQ(do_list_blocks(*session, (root / "a.markdown").string()), get_message("md_only_error"));
    EXPECT_EQ(do_list_blocks(*session, (root / "missing.md").string()),
              "File not found: " + (root / "missing.md").string());

    const auto p = md("a.md", kDoc);
    logs.clear();
    const std::string out = do_list_blocks(*session, p.string());
    const auto blocks = indexer->list_blocks(p);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(out, _format_blocks(blocks, p));
    EXPECT_EQ(blocks[0].start_line, 1);
    EXPECT_EQ(blocks[1].start_line, 3);
    EXPECT_NE(out.find("## Setup lines=3-5"), std::string::npos);
    EXPECT_EQ(logs.front().templ, "list_blocks: %s");
    EXPECT_EQ(logs.front().message, "list_blocks: " + p.string());

    // A relative path is resolved first: messages show the resolved path.
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(root);
    EXPECT_EQ(do_list_blocks(*session, "a.md"), out);
    std::filesystem::current_path(cwd);
}
