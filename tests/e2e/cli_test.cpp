// The command line as a user types it: options after nested commands, unknown commands, and
// install/uninstall leaving the user's files alone.
#include <gtest/gtest.h>

#include "run_command.h"

namespace fs = std::filesystem;
using qbtest::TempDir;

TEST(Cli, RootIsAcceptedAfterAnyCommand) {
    TempDir project;
    auto set = run_quillbox({"config", "set", "pricing_model", "opus", "--root", project.path.string()});
    ASSERT_EQ(set.code, 0) << set.err;
    auto get = run_quillbox({"config", "get", "pricing_model", "--root", project.path.string()});
    EXPECT_EQ(get.code, 0) << get.err;
    EXPECT_EQ(get.out, "opus\n");
    auto before = run_quillbox({"config", "--root", project.path.string(), "get", "pricing_model"});
    EXPECT_EQ(before.out, "opus\n");
    auto models = run_quillbox({"model", "list", "--root", project.path.string()});
    EXPECT_EQ(models.code, 0) << models.err;
}

TEST(Cli, UnknownCommandIsNamedAndTheCommandsListed) {
    auto r = run_quillbox({"frobnicate"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("unknown command 'frobnicate'"), std::string::npos) << r.err;
    for (const char* name : {"serve", "install", "uninstall", "status", "config"})
        EXPECT_NE(r.err.find(name), std::string::npos) << name;
}

TEST(Cli, UninstallWithoutQuillboxSaysSoAndChangesNothing) {
    TempDir project;
    const std::string mcp = "{\"mcpServers\": {\"other\": {\"command\": \"x\"}}}";  // not in our format
    project.write(".mcp.json", mcp);
    project.write("CLAUDE.md", "# Notes\n");
    auto r = run_quillbox({"uninstall", "--root", project.path.string()});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("No Quillbox installation found"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("removed"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Kept"), std::string::npos) << r.out;
    EXPECT_EQ(project.read(".mcp.json"), mcp);
    EXPECT_EQ(project.read("CLAUDE.md"), "# Notes\n");
    EXPECT_FALSE(fs::exists(project / ".quillbox"));
}

TEST(Cli, UninstallRemovesTheClaudeMdInstallCreatedButKeepsTheUsersOwn) {
    TempDir fresh;
    ASSERT_EQ(run_quillbox({"install", "--root", fresh.path.string()}).code, 0);
    ASSERT_TRUE(fs::exists(fresh / "CLAUDE.md"));
    auto r = run_quillbox({"uninstall", "--root", fresh.path.string()});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_FALSE(fs::exists(fresh / "CLAUDE.md")) << r.out;
    EXPECT_FALSE(fs::exists(fresh / ".mcp.json"));

    TempDir users;
    users.write("CLAUDE.md", "# Mine\n");
    ASSERT_EQ(run_quillbox({"install", "--root", users.path.string()}).code, 0);
    ASSERT_EQ(run_quillbox({"uninstall", "--root", users.path.string()}).code, 0);
    EXPECT_EQ(users.read("CLAUDE.md"), "# Mine\n");

    // Created by install, then the user wrote into it: the user's text stays.
    TempDir grown;
    ASSERT_EQ(run_quillbox({"install", "--root", grown.path.string()}).code, 0);
    grown.write("CLAUDE.md", grown.read("CLAUDE.md") + "\n## Team notes\nKeep.\n");
    ASSERT_EQ(run_quillbox({"uninstall", "--root", grown.path.string()}).code, 0);
    EXPECT_EQ(grown.read("CLAUDE.md"), "## Team notes\nKeep.\n");
}
