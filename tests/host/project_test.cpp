#include <gtest/gtest.h>

#include "host/commands.h"
#include "host/project.h"
#include "quillbox/i18n.h"
#include "common/session.h"
#include "common/temp_dir.h"
#include "quillbox/detail/confine.h"
#include "quillbox/log.h"

#include <nlohmann/json.hpp>

using namespace quillbox;
using qbtest::CurrentDir;
using qbtest::TempDir;
using namespace quillbox::host;
namespace fs = std::filesystem;

namespace {
struct RestoreDefaults {
    ~RestoreDefaults() {
        set_log_sink(nullptr);
        set_log_level(LogLevel::warning);
        set_language("en");
        detail::set_confinement_root({});
    }
};
}  // namespace

TEST(ProjectSetup, RootMustBeAnExistingDirectory) {
    TempDir dir;
    EXPECT_THROW(open_project(dir.path / "missing", false), UsageError);
    EXPECT_THROW(open_project(dir.write("file.md", "# x\n"), false), UsageError);
    Project p = open_project(dir.path, true);
    EXPECT_EQ(p.data_dir, dir.path / ".quillbox");
    EXPECT_TRUE(fs::is_directory(p.data_dir / "backups"));
    EXPECT_TRUE(fs::is_directory(p.data_dir / "vectors"));
    dir.write(".quillbox/config.toml", "language = [");
    EXPECT_THROW(open_project(dir.path, false), UsageError);
}

TEST(ProjectSetup, ASessionsResolverStaysInsideTheRootAndLanguageFollowsTheConfig) {
    RestoreDefaults restore;
    TempDir dir, outside;
    dir.write("docs/a.md", "# A\n");
    outside.write("secret.md", "# S\n");
    fs::create_directory_symlink(outside.path, dir.path / "link");
    dir.write(".quillbox/config.toml", "language = \"zh\"\n");

    const Project project = open_project(dir.path, true);
    install_process_settings(project);
    EXPECT_EQ(get_language(), "zh");
    Indexer index(project.data_dir / "index.db");
    qbtest::SessionOn on(index, project.root, project.data_dir);
    const auto session = open_session(project, index, on.watcher, on.safety, nullptr);
    EXPECT_EQ(session->setting("language"), "zh");
    EXPECT_EQ(session->data_dir, project.data_dir);
    EXPECT_EQ(session->resolve("docs/a.md"), dir.path / "docs" / "a.md");
    EXPECT_EQ(session->resolve((dir.path / "docs/../docs/a.md").string()), dir.path / "docs" / "a.md");
    EXPECT_THROW(session->resolve("../x.md"), PathOutsideRootError);
    EXPECT_THROW(session->resolve("link/secret.md"), PathOutsideRootError);
    EXPECT_THROW(session->resolve((outside.path / "secret.md").string()), PathOutsideRootError);
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

TEST(Commands, InstallAndUninstallKeepTheUsersFiles) {
    RestoreDefaults restore;
    TempDir dir;
    dir.write("CLAUDE.md", "My notes\n");
    dir.write(".mcp.json", R"({"mcpServers": {"other": {"command": "x"}}})");
    ASSERT_EQ(cmd_install(dir.path), 0);
    EXPECT_EQ(dir.read("CLAUDE.md").rfind("My notes\n\n<!-- Quillbox Rules v3.1", 0), 0u);
    auto mcp = nlohmann::json::parse(dir.read(".mcp.json"));
    EXPECT_EQ(mcp["mcpServers"]["other"]["command"], "x");
    EXPECT_EQ(mcp["mcpServers"]["quillbox"]["args"],
              nlohmann::json::array({"serve", "--root", dir.path.string()}));

    ASSERT_EQ(cmd_uninstall(dir.path, false), 0);
    EXPECT_EQ(dir.read("CLAUDE.md"), "My notes\n");
    EXPECT_EQ(nlohmann::json::parse(dir.read(".mcp.json")), nlohmann::json::parse(R"({"mcpServers": {"other": {"command": "x"}}})"));
    EXPECT_TRUE(fs::exists(dir.path / ".quillbox"));

    // A .mcp.json that is not JSON is left alone and the install reports failure.
    dir.write(".mcp.json", "{broken");
    EXPECT_EQ(cmd_install(dir.path), 1);
    EXPECT_EQ(dir.read(".mcp.json"), "{broken");
}

TEST(Commands, ConfigSetValidatesBeforeWriting) {
    TempDir dir;
    EXPECT_EQ(cmd_config_set(dir.path, "language", "zh"), 0);
    const std::string saved = dir.read(".quillbox/config.toml");
    EXPECT_NE(saved.find("language = \"zh\""), std::string::npos);
    EXPECT_EQ(cmd_config_set(dir.path, "language", "fr"), 2);
    EXPECT_EQ(cmd_config_set(dir.path, "colour", "blue"), 2);
    EXPECT_EQ(cmd_config_get(dir.path, "colour"), 2);
    EXPECT_EQ(dir.read(".quillbox/config.toml"), saved);
    EXPECT_EQ(cmd_config_unset(dir.path, "language"), 0);
    EXPECT_EQ(Config::load(dir.path / ".quillbox/config.toml").get("language"), "en");
}
