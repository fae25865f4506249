// Confinement at the moment of use: under the root, only what really lies inside it opens.

#include <gtest/gtest.h>

#include <filesystem>

#include "common/temp_dir.h"
#include "quillbox/detail/atomic_file.h"
#include "quillbox/detail/confine.h"
#include "quillbox/detail/read_file.h"

namespace fs = std::filesystem;
using namespace quillbox::detail;

namespace {

struct Confined : ::testing::Test {
    qbtest::TempDir outside;
    qbtest::TempDir root;
    void SetUp() override {
        outside.write("secret.md", "secret\n");
        outside.write("sub/deep.md", "deep\n");
        root.write("in.md", "inside\n");
        root.write("docs/a.md", "a\n");
        set_confinement_root(root.path);
    }
    void TearDown() override { set_confinement_root({}); }
};

}  // namespace

TEST_F(Confined, LinksInsideAreFollowedLinksOutsideAreRefused) {
    fs::create_symlink(root / "docs" / "a.md", root / "alias.md");
    fs::create_symlink(root / "docs", root / "also");
    EXPECT_EQ(read_file_bytes(root / "alias.md"), "a\n");
    EXPECT_EQ(read_file_bytes(root / "also" / "a.md"), "a\n");

    fs::create_symlink(outside / "secret.md", root / "swap.md");
    fs::create_symlink(outside / "sub", root / "sub");
    EXPECT_THROW(read_file_bytes(root / "swap.md"), OutsideRootError);
    EXPECT_THROW(read_file_bytes(root / "sub" / "deep.md"), OutsideRootError);
    // Files outside the root are not its business (configuration, models).
    EXPECT_EQ(read_file_bytes(outside / "secret.md"), "secret\n");

    // Relative links: followed while they stay inside, refused once they climb out.
    fs::create_symlink("docs/a.md", root / "rel.md");
    fs::create_symlink("../in.md", root / "docs" / "up.md");
    EXPECT_EQ(read_file_bytes(root / "rel.md"), "a\n");
    EXPECT_EQ(read_file_bytes(root / "docs" / "up.md"), "inside\n");
    fs::create_symlink(fs::relative(outside / "secret.md", root.path), root / "climb.md");
    EXPECT_THROW(read_file_bytes(root / "climb.md"), OutsideRootError);
}

TEST_F(Confined, WritesAndNewFilesCannotBeLedOutside) {
    fs::create_symlink(outside / "sub", root / "sub");
    EXPECT_THROW(replace_file(root / "sub" / "deep.md", "overwritten\n"), OutsideRootError);
    EXPECT_THROW(create_new_file(root / "sub", [](int) { return std::string("b.md"); }, "x", ReplaceOptions{}),
                 OutsideRootError);
    EXPECT_EQ(qbtest::read_file(outside / "sub" / "deep.md"), "deep\n");
    EXPECT_FALSE(fs::exists(outside / "sub" / "b.md"));
    EXPECT_EQ(std::distance(fs::directory_iterator(outside / "sub"), fs::directory_iterator()), 1);

    replace_file(root / "docs" / "a.md", "new\n");
    EXPECT_EQ(qbtest::read_file(root / "docs" / "a.md"), "new\n");
}

TEST_F(Confined, AFolderSwappedAfterThePendingWriteWasPreparedIsNotFollowed) {
    // The write was prepared in the real folder; then the folder is swapped for a link to one
    // outside. The rename happens in the folder that was checked, never outside.
    PendingReplace pending(root / "docs" / "a.md", "new\n");
    fs::rename(root / "docs", root / "docs-moved");
    fs::create_symlink(outside / "sub", root / "docs");
    outside.write("sub/a.md", "theirs\n");
    pending.commit();
    EXPECT_EQ(qbtest::read_file(outside / "sub" / "a.md"), "theirs\n");
    EXPECT_EQ(qbtest::read_file(root / "docs-moved" / "a.md"), "new\n");
}
