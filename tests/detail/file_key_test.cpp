#include <gtest/gtest.h>

#include <filesystem>

#include "common/temp_dir.h"
#include "quillbox/detail/file_key.h"

namespace fs = std::filesystem;
using quillbox::detail::file_key;
using quillbox::detail::path_within;

TEST(FileKey, OneKeyForEverySpellingOfAFile) {
    qbtest::TempDir dir;
    const fs::path file = dir.write("real/a.md", "# A\n");
    fs::create_directory_symlink(dir.path / "real", dir.path / "link");
    qbtest::CurrentDir cwd(dir.path);

    EXPECT_EQ(file_key(file), file);
    EXPECT_EQ(file_key("real/a.md"), file);                           // relative
    EXPECT_EQ(file_key(dir.path / "link" / "a.md"), file);            // through a link
    EXPECT_EQ(file_key(dir.path / "real" / "." / ".." / "real" / "a.md"), file);
    EXPECT_EQ(file_key(dir.path / "real/"), dir.path / "real");       // trailing separator
    // A file that does not exist yet: the existing part resolved, the rest as written.
    EXPECT_EQ(file_key(dir.path / "link" / "new" / "b.md"), dir.path / "real" / "new" / "b.md");
    EXPECT_EQ(file_key(dir.path / "link" / "new" / "b.md/"), dir.path / "real" / "new" / "b.md");
}

TEST(FileKey, WithinComparesWholeElements) {
    EXPECT_TRUE(path_within("/p/root", "/p/root"));
    EXPECT_TRUE(path_within("/p/root/a/b.md", "/p/root"));
    EXPECT_TRUE(path_within("/p/root/a.md", "/p/root/"));
    EXPECT_FALSE(path_within("/p/rootless/a.md", "/p/root"));  // a prefix of the text only
    EXPECT_FALSE(path_within("/p", "/p/root"));
    EXPECT_FALSE(path_within("/p/root/../other/a.md", "/p/root"));
    EXPECT_TRUE(path_within("/anything", "/"));
}
