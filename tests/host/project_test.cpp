#include <gtest/gtest.h>

#include "host/commands.h"
#include "host/project.h"
#include "quillbox/i18n.h"
#include "temp_dir.h"

using namespace quillbox;
using namespace quillbox::host;
namespace fs = std::filesystem;

namespace {
struct RestoreDefaults {
    ~RestoreDefaults() {
        reset_host_defaults();
        set_language("en");
    }
};
}  // namespace

TEST(ProjectSetup, RootMustBeAnExistingDirectory) {
    TempDir dir;
    EXPECT_THROW(open_project(dir.path() / "missing", false), UsageError);
    EXPECT_THROW(open_project(dir.write("file.md", "# x\n"), false), UsageError);
    Project p = open_project(dir.path(), true);
    EXPECT_EQ(p.data_dir, dir.path() / ".quillbox");
    EXPECT_TRUE(fs::is_directory(p.data_dir / "backups"));
    EXPECT_TRUE(fs::is_directory(p.data_dir / "vectors"));
    dir.write(".quillbox/config.toml", "language = [");
    EXPECT_THROW(open_project(dir.path(), false), UsageError);
}

TEST(ProjectSetup, InstalledResolverStaysInsideTheRootAndLanguageFollowsTheConfig) {
    RestoreDefaults restore;
    TempDir dir, outside;
    dir.write("docs/a.md", "# A\n");
    outside.write("secret.md", "# S\n");
    fs::create_directory_symlink(outside.path(), dir.path() / "link");
    dir.write(".quillbox/config.toml", "language = \"zh\"\n");

    install_host_components(open_project(dir.path(), false));
    EXPECT_EQ(get_language(), "zh");
    EXPECT_EQ(get_config("language"), "zh");
    EXPECT_EQ(_resolve_path("docs/a.md"), dir.path() / "docs" / "a.md");
    EXPECT_EQ(_resolve_path((dir.path() / "docs/../docs/a.md").string()), dir.path() / "docs" / "a.md");
    EXPECT_THROW(_resolve_path("../x.md"), PathOutsideRootError);
    EXPECT_THROW(_resolve_path("link/secret.md"), PathOutsideRootError);
    EXPECT_THROW(_resolve_path((outside.path() / "secret.md").string()), PathOutsideRootError);
}

TEST(ProjectSetup, BlockReadsGetNoCachedMarkerWhenTheCacheIsOff) {
    TempDir dir;
    auto file = dir.write("a.md", "# A\ntext\n");
    auto config = std::make_shared<Config>();
    SessionReadCache cache(config);
    EXPECT_EQ(cache.check(file.string()).status, "miss");
    cache.check_and_read(file.string());  // a whole-file read delivered it
    EXPECT_EQ(cache.check(file.string()).status, "hit");
    config->set("cache_enabled", "false");
    EXPECT_EQ(cache.check(file.string()).status, "miss");
    config->set("cache_enabled", "true");
    cache.clear();
    EXPECT_EQ(cache.check(file.string()).status, "miss");
}

TEST(ProjectSetup, PathContainment) {
    EXPECT_TRUE(path_is_within("/a/b/c.md", "/a/b"));
    EXPECT_TRUE(path_is_within("/a/b/c.md", "/a/b/"));
    EXPECT_TRUE(path_is_within("/a/b", "/a/b"));
    EXPECT_FALSE(path_is_within("/a/bc/d.md", "/a/b"));
    EXPECT_FALSE(path_is_within("/a/x/../../b.md", "/a"));
    EXPECT_EQ(group_thousands(1234567), "1,234,567");
    EXPECT_EQ(group_thousands(999), "999");
}
