// The Write hook on recorded Claude Code PreToolUse inputs, and its place in .claude/settings.json.
#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "host/clients.h"
#include "host/config.h"
#include "host/hook.h"
#include "quillbox/i18n.h"

namespace fs = std::filesystem;
using namespace quillbox::host;
using ojson = nlohmann::ordered_json;

namespace {

// A recorded input with the project directory put in.
nlohmann::json recorded(const std::string& name, const fs::path& root) {
    std::string text = qbtest::read_file(fs::path(QUILLBOX_SOURCE_DIR) / "tests/host/hook_inputs" / name);
    for (auto at = text.find("ROOT"); at != std::string::npos; at = text.find("ROOT", at))
        text.replace(at, 4, root.string());
    return nlohmann::json::parse(text);
}

std::string lines(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += "line " + std::to_string(i) + "\n";
    return s;
}

}  // namespace

TEST(WriteHook, DeniesRewritingALargeExistingMarkdownFileOnly) {
    qbtest::TempDir project;
    project.write("docs/guide.md", lines(101));
    project.write("notes.md", lines(100));
    project.write(".quillbox/backups/big.md", lines(500));

    auto reason = pre_tool_use_denial(recorded("write_large_md.json", project.path), project.path, 100);
    ASSERT_TRUE(reason);
    for (const char* tool : {"md_list_blocks", "md_read_block", "md_replace_block", "md_edit"})
        EXPECT_NE(reason->find(tool), std::string::npos) << tool;
    EXPECT_NE(reason->find("docs/guide.md"), std::string::npos);

    // Exactly at the limit, a new file, another tool, another file type: untouched.
    EXPECT_FALSE(pre_tool_use_denial(recorded("write_small_md.json", project.path), project.path, 100));
    EXPECT_FALSE(pre_tool_use_denial(recorded("write_new_md.json", project.path), project.path, 100));
    EXPECT_FALSE(pre_tool_use_denial(recorded("edit_large_md.json", project.path), project.path, 100));
    EXPECT_FALSE(pre_tool_use_denial(recorded("bash.json", project.path), project.path, 100));
    // The limit is the configured one.
    EXPECT_TRUE(pre_tool_use_denial(recorded("write_small_md.json", project.path), project.path, 99));

    // Outside the project, or in the data directory: not ours to police.
    qbtest::TempDir elsewhere;
    elsewhere.write("docs/guide.md", lines(300));
    EXPECT_FALSE(pre_tool_use_denial(recorded("write_large_md.json", elsewhere.path), project.path, 100));
    auto backup = recorded("write_large_md.json", project.path);
    backup["tool_input"]["file_path"] = (project / ".quillbox/backups/big.md").string();
    EXPECT_FALSE(pre_tool_use_denial(backup, project.path, 100));

    // A final line without line feed counts.
    project.write("docs/guide.md", lines(100) + "last");
    EXPECT_TRUE(pre_tool_use_denial(recorded("write_large_md.json", project.path), project.path, 100));
}

TEST(WriteHook, JudgesTheFileANameReachesNotTheName) {
    qbtest::TempDir project;
    project.write("big.md", lines(300));
    project.write("small.md", lines(3));
    project.write("plain.txt", lines(300));
    fs::create_symlink(project / "big.md", project / "link.txt");
    fs::create_hard_link(project / "big.md", project / "hard.txt");
    fs::create_hard_link(project / "plain.txt", project / "plain-too.txt");
    fs::create_symlink(project / "small.md", project / "small-link.txt");
    auto write_to = [&](const std::string& name) {
        auto input = recorded("write_large_md.json", project.path);
        input["tool_input"]["file_path"] = (project / name).string();
        return pre_tool_use_denial(input, project.path, 100);
    };
    for (const char* name : {"link.txt", "hard.txt"}) {
        const auto reason = write_to(name);
        ASSERT_TRUE(reason) << name;
        EXPECT_NE(reason->find("md_list_blocks(\"big.md\")"), std::string::npos) << *reason;
    }
    for (const char* name : {"plain.txt", "plain-too.txt", "small-link.txt"}) EXPECT_FALSE(write_to(name)) << name;
}

// The hook reads hook.max_lines without the rest of the configuration: it must read what the
// configuration reads, for every way the two files can say it (or fail to).
TEST(WriteHook, ReadsTheLineLimitAsTheConfigurationDoes) {
    const std::vector<std::string> values = {"",       "max_lines = 40", "max_lines = 250", "max_lines = 0",
                                             "max_lines = 12.0", "max_lines = 12.5", "max_lines = -3",
                                             "max_lines = \"70\"", "max_lines = \"x\"", "max_lines = true",
                                             "max_lines = 1e16", "max_lines = [1]"};
    qbtest::TempDir project;
    for (const auto& shared : values) {
        for (const auto& local : values) {
            project.write("quillbox.toml", shared.empty() ? "" : "[hook]\n" + shared + "\n");
            project.write(".quillbox/config.toml", local.empty() ? "" : "hook." + local + "\n");
            const long expected = static_cast<long>(load_project_config(project.path).get_number("hook.max_lines"));
            EXPECT_EQ(hook_max_lines(project.path), expected) << "shared: " << shared << ", local: " << local;
        }
    }
    project.write("quillbox.toml", "hook.max_lines = 40\n");
    project.write(".quillbox/config.toml", "not toml [");
    EXPECT_EQ(hook_max_lines(project.path), DEFAULT_HOOK_MAX_LINES);
}

// The language is read as the configuration reads it, and the denial is the catalogue's text in
// it: the hook formats the catalogue's template itself, without loading the catalogue's module.
TEST(WriteHook, SpeaksTheProjectsLanguageAsTheCatalogueWordsIt) {
    const std::vector<std::string> values = {"", "language = \"zh\"", "language = \"en\"", "language = \"ZH\"",
                                             "language = \"fr\"", "language = 1", "language = [\"zh\"]"};
    qbtest::TempDir project;
    project.write("big.md", lines(101));
    const nlohmann::json input = {{"tool_name", "Write"}, {"tool_input", {{"file_path", (project.path / "big.md").string()}}}};
    for (const auto& shared : values) {
        for (const auto& local : values) {
            project.write("quillbox.toml", shared + "\n");
            project.write(".quillbox/config.toml", local + "\n");
            const std::string language = load_project_config(project.path).get("language");
            ASSERT_EQ(hook_language(project.path), language) << "shared: " << shared << ", local: " << local;
            quillbox::set_language(language);
            EXPECT_EQ(pre_tool_use_denial(input, project.path, 100, language),
                      quillbox::get_message("hook_write_denied", {{"path", "big.md"}, {"max_lines", 100}}));
            quillbox::set_language("en");
        }
    }
    project.write(".quillbox/config.toml", "not toml [");
    EXPECT_EQ(hook_language(project.path), "en");
}

TEST(WriteHook, DenyOutputIsTheDocumentedPreToolUseDecision) {
    auto out = nlohmann::json::parse(pre_tool_use_deny_output("use the block tools"));
    EXPECT_EQ(out["hookSpecificOutput"]["hookEventName"], "PreToolUse");
    EXPECT_EQ(out["hookSpecificOutput"]["permissionDecision"], "deny");
    EXPECT_EQ(out["hookSpecificOutput"]["permissionDecisionReason"], "use the block tools");
}

TEST(WriteHook, SettingsKeepEverythingElseAndRegisterOnce) {
    const std::string user = R"j({"permissions": {"allow": ["Bash(ls)"]},
        "hooks": {"PreToolUse": [{"matcher": "Bash", "hooks": [{"type": "command", "command": "audit.sh"}]}],
                  "Stop": [{"hooks": [{"type": "command", "command": "notify"}]}]}})j";
    auto merged = merge_hook(user, hook_command("/opt/qb/bin/quillbox", false));
    ASSERT_TRUE(merged);
    EXPECT_TRUE(has_hook(*merged));
    auto doc = ojson::parse(*merged);
    EXPECT_EQ(doc["permissions"]["allow"][0], "Bash(ls)");
    EXPECT_EQ(doc["hooks"]["Stop"][0]["hooks"][0]["command"], "notify");
    ASSERT_EQ(doc["hooks"]["PreToolUse"].size(), 2u);
    EXPECT_EQ(doc["hooks"]["PreToolUse"][1]["matcher"], "Write");
    EXPECT_EQ(doc["hooks"]["PreToolUse"][1]["hooks"][0]["command"], "/opt/qb/bin/quillbox hook pre-tool-use");
    // A second install, even with the PATH spelling, finds it.
    EXPECT_FALSE(merge_hook(*merged, hook_command("quillbox", true)));

    auto removed = remove_hook(*merged);
    ASSERT_TRUE(removed);
    EXPECT_EQ(ojson::parse(*removed), ojson::parse(user));
    EXPECT_FALSE(remove_hook(user));  // nothing of ours: no rewrite

    auto alone = merge_hook("", "quillbox hook pre-tool-use");
    ASSERT_TRUE(alone);
    EXPECT_EQ(*remove_hook(*alone), "{}\n");

    EXPECT_THROW(merge_hook("[1]", "quillbox hook pre-tool-use"), ClientConfigError);
    EXPECT_THROW(merge_hook(R"({"hooks": {"PreToolUse": {}}})", "quillbox hook pre-tool-use"), ClientConfigError);
    EXPECT_FALSE(is_our_hook_command("myquillbox hook pre-tool-use"));
    EXPECT_TRUE(is_our_hook_command("'/path with space/quillbox' hook pre-tool-use"));
}
