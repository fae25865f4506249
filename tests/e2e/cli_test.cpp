// The command line as a user types it: options after nested commands, unknown commands, and
// install/uninstall leaving the user's files alone.
#include <gtest/gtest.h>

#include <SQLiteCpp/SQLiteCpp.h>

#include <nlohmann/json.hpp>
#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "run_command.h"

namespace fs = std::filesystem;
using qbtest::TempDir;

// The heading of the English rules section.
constexpr const char* SECTION_EN_HEADING = "## ⚠️ Quillbox rules for Markdown files";

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

// The marker names the model semantic search would use: the configured one, else the
// language's default.
TEST(Cli, ModelListMarksTheModelSearchUses) {
    TempDir project;
    const std::map<std::string, std::string> env{{"QUILLBOX_SEMANTIC_MODEL", ""}};
    auto marked = [&] {
        auto r = run_quillbox({"model", "list", "--root", project.path.string()}, "", env);
        EXPECT_EQ(r.code, 0) << r.err;
        std::string names;
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);)
            if (line.find("<- used by this project") != std::string::npos) names += line.substr(0, line.find(' '));
        return names;
    };
    EXPECT_EQ(marked(), "all-MiniLM-L6-v2");
    ASSERT_EQ(run_quillbox({"config", "set", "language", "zh", "--root", project.path.string()}).code, 0);
    EXPECT_EQ(marked(), "bge-small-zh-v1.5");
    ASSERT_EQ(run_quillbox({"config", "set", "semantic.model", "multilingual-e5-small", "--root",
                            project.path.string()}).code, 0);
    EXPECT_EQ(marked(), "multilingual-e5-small");
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
    EXPECT_EQ(grown.read("CLAUDE.md"), "\n## Team notes\nKeep.\n");

    // A memory line appended right after the section (Claude Code's # shortcut) is the user's.
    TempDir memo;
    ASSERT_EQ(run_quillbox({"install", "--root", memo.path.string()}).code, 0);
    memo.write("CLAUDE.md", memo.read("CLAUDE.md") + "- Use pnpm, never npm\n");
    ASSERT_EQ(run_quillbox({"uninstall", "--root", memo.path.string()}).code, 0);
    EXPECT_EQ(memo.read("CLAUDE.md"), "- Use pnpm, never npm\n");
}

namespace {

// A directory holding `quillbox` (a link to the program under test) for PATH.
struct OnPath {
    TempDir bin{"qbbin"};
    OnPath() { fs::create_symlink(QUILLBOX_EXE, bin / "quillbox"); }
    std::map<std::string, std::string> env() const {
        return {{"PATH", bin.path.string() + ":/usr/bin:/bin"}};
    }
};

}  // namespace

TEST(Cli, InstallOnPathWritesAPortableEntryAndSaysAlreadyRegisteredTheSecondTime) {
    TempDir project;
    OnPath path;
    auto first = run_quillbox({"install", "--root", project.path.string()}, "", path.env());
    ASSERT_EQ(first.code, 0) << first.err;
    auto mcp = nlohmann::json::parse(project.read(".mcp.json"));
    EXPECT_EQ(mcp["mcpServers"]["quillbox"]["command"], "quillbox");
    EXPECT_EQ(mcp["mcpServers"]["quillbox"]["args"], nlohmann::json({"serve", "--root", "${CLAUDE_PROJECT_DIR:-.}"}));
    EXPECT_EQ(project.read(".mcp.json").find(project.path.string()), std::string::npos);
    auto settings = nlohmann::json::parse(project.read(".claude/settings.json"));
    EXPECT_EQ(settings["hooks"]["PreToolUse"][0]["hooks"][0]["command"], "quillbox hook pre-tool-use");

    const std::string before = project.read(".mcp.json");
    auto second = run_quillbox({"install", "--root", project.path.string()}, "", path.env());
    EXPECT_NE(second.out.find("already registered"), std::string::npos) << second.out;
    EXPECT_EQ(project.read(".mcp.json"), before);

    // Off PATH: absolute paths, and a note saying why.
    TempDir local;
    auto off = run_quillbox({"install", "--root", local.path.string()}, "", {{"PATH", "/usr/bin:/bin"}});
    EXPECT_NE(off.out.find("not on PATH"), std::string::npos) << off.out;
    EXPECT_EQ(nlohmann::json::parse(local.read(".mcp.json"))["mcpServers"]["quillbox"]["command"],
              fs::canonical(QUILLBOX_EXE).string());

    // Uninstall takes the hook out again and keeps the user's other settings.
    auto s = nlohmann::json::parse(project.read(".claude/settings.json"));
    s["permissions"] = {{"allow", {"Bash(ls)"}}};
    project.write(".claude/settings.json", s.dump());
    ASSERT_EQ(run_quillbox({"uninstall", "--root", project.path.string()}, "", path.env()).code, 0);
    EXPECT_EQ(nlohmann::json::parse(project.read(".claude/settings.json")),
              nlohmann::json({{"permissions", {{"allow", {"Bash(ls)"}}}}}));
}

TEST(Cli, DoctorOnAHealthyAndOnABrokenProject) {
    TempDir project;
    OnPath path;
    project.write("docs/guide.md", "# Guide\n\n## Install\nRun it.\n");
    project.write("docs/notes.md", "No headings, still indexed.\n");
    ASSERT_EQ(run_quillbox({"install", "--root", project.path.string()}, "", path.env()).code, 0);
    ASSERT_EQ(run_quillbox({"config", "set", "semantic.backend", "none", "--root", project.path.string()}).code, 0);
    ASSERT_EQ(run_quillbox({"reindex", "--root", project.path.string()}).code, 0);
    auto healthy = run_quillbox({"doctor", "--root", project.path.string()}, "", path.env());
    EXPECT_EQ(healthy.code, 0) << healthy.out;
    EXPECT_EQ(healthy.out.find("✗"), std::string::npos) << healthy.out;
    EXPECT_NE(healthy.out.find("3 of 3 Markdown files indexed"), std::string::npos) << healthy.out;
    for (const char* label : {"Program", "Project", "MCP registration", "Agent rules", "Write hook", "Index",
                              "File watching", "Semantic search"})
        EXPECT_NE(healthy.out.find(label), std::string::npos) << label;

    // Break it: the hook gone, an outdated rules section, an indexed file deleted, a command
    // that does not exist.
    project.write(".claude/settings.json", "{}");
    std::string claude = project.read("CLAUDE.md");
    claude.replace(claude.find("v3.1"), 4, "v2.0");
    project.write("CLAUDE.md", claude);
    fs::remove(project / "docs/guide.md");
    auto mcp = nlohmann::json::parse(project.read(".mcp.json"));
    mcp["mcpServers"]["quillbox"]["command"] = "quillbox-gone";
    project.write(".mcp.json", mcp.dump());
    auto broken = run_quillbox({"doctor", "--root", project.path.string()}, "", path.env());
    EXPECT_EQ(broken.code, 1) << broken.out;
    EXPECT_NE(broken.out.find("not registered in .claude/settings.json"), std::string::npos) << broken.out;
    EXPECT_NE(broken.out.find("outdated rules section (v2.0"), std::string::npos) << broken.out;
    EXPECT_NE(broken.out.find("1 indexed files no longer exist"), std::string::npos) << broken.out;
    EXPECT_NE(broken.out.find("\"quillbox-gone\", which is not found"), std::string::npos) << broken.out;
    EXPECT_NE(broken.out.find("fix: quillbox install"), std::string::npos) << broken.out;
    EXPECT_NE(broken.out.find("fix: quillbox reindex"), std::string::npos) << broken.out;
    EXPECT_NE(broken.out.find("4 problems found."), std::string::npos) << broken.out;

    // Not set up at all: nothing registered.
    TempDir bare;
    auto none = run_quillbox({"doctor", "--root", bare.path.string()}, "", path.env());
    EXPECT_EQ(none.code, 1);
    EXPECT_NE(none.out.find("no \"quillbox\" server in .mcp.json"), std::string::npos) << none.out;
}

namespace {

std::string git(const fs::path& dir, const std::string& args) {
    return "cd '" + dir.string() + "' && git " + args + " >/dev/null 2>&1";
}

}  // namespace

// A teammate's fresh clone: the committed .mcp.json, CLAUDE.md and hook, no .quillbox/, no
// embedding model, doctor started from a subfolder. All green; a missing model is a note with
// both ways out. Without quillbox on PATH the hook is found not to run, and neither fix writes
// machine paths into the committed files.
TEST(Cli, DoctorOnAFreshCloneWithoutAModelIsGreen) {
    TempDir project;
    TempDir home{"qbhome"};
    OnPath path;
    auto env = path.env();
    for (const char* k : {"HOME", "HF_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) env[k] = home.path.string();
    ASSERT_EQ(std::system(git(project.path, "init -q .").c_str()), 0);
    project.write("docs/guide.md", "# Guide\n");
    project.write("docs/.gitignore", "drafts/\n");
    project.write("docs/drafts/wip.md", "# WIP\n");
    project.write("node_modules/pkg/README.md", "# pkg\n");
    project.write(".gitignore", "node_modules/\n");
    auto install = run_quillbox({"install"}, "", env, project.path / "docs");
    ASSERT_EQ(install.code, 0) << install.err;
    EXPECT_NE(install.out.find("inside the git repository"), std::string::npos) << install.out;
    EXPECT_NE(project.read("CLAUDE.md").find(SECTION_EN_HEADING), std::string::npos);
    fs::remove_all(project.path / ".quillbox");

    auto doctor = run_quillbox({"doctor"}, "", env, project.path / "docs");
    EXPECT_EQ(doctor.code, 0) << doctor.out;
    EXPECT_EQ(doctor.out.find("✗"), std::string::npos) << doctor.out;
    EXPECT_NE(doctor.out.find("fix: quillbox model pull all-MiniLM-L6-v2"), std::string::npos) << doctor.out;
    EXPECT_NE(doctor.out.find("quillbox config set semantic.backend none"), std::string::npos) << doctor.out;
    EXPECT_NE(doctor.out.find("indexes the 2 Markdown files"), std::string::npos) << doctor.out;  // guide.md, CLAUDE.md

    const std::string mcp = project.read(".mcp.json"), settings = project.read(".claude/settings.json");
    env["PATH"] = "/usr/bin:/bin";
    auto off = run_quillbox({"doctor", "--root", project.path.string()}, "", env);
    EXPECT_EQ(off.code, 1) << off.out;
    EXPECT_NE(off.out.find("the hook's command does not run: quillbox hook pre-tool-use"), std::string::npos)
        << off.out;
    EXPECT_NE(off.out.find("fix: sudo ln -s"), std::string::npos) << off.out;
    EXPECT_EQ(off.out.find("fix: quillbox install"), std::string::npos) << off.out;
    // install off PATH keeps the team's entry.
    auto reinstall = run_quillbox({"install", "--root", project.path.string()}, "", env);
    EXPECT_EQ(reinstall.code, 0) << reinstall.err;
    EXPECT_EQ(project.read(".mcp.json"), mcp);
    EXPECT_EQ(project.read(".claude/settings.json"), settings);
}

// A damaged index is told in a few lines, not one per damaged page.
TEST(Cli, DoctorSummarisesADamagedIndex) {
    TempDir project;
    for (int i = 0; i < 300; ++i)
        project.write("n" + std::to_string(i) + ".md", "# Note " + std::to_string(i) + "\n## Part\n" +
                                                           std::string(200, 'x') + "\n");
    ASSERT_EQ(run_quillbox({"config", "set", "semantic.backend", "none", "--root", project.path.string()}).code, 0);
    ASSERT_EQ(run_quillbox({"reindex", "--root", project.path.string()}).code, 0);
    const fs::path db = project.path / ".quillbox/index.db";
    {
        // Scribble over pages in the middle of the file, past the schema page.
        std::fstream f(db, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(fs::file_size(db) / 2));
        const std::string junk(16384, '\x5a');
        f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
    }
    auto doctor = run_quillbox({"doctor", "--root", project.path.string()});
    EXPECT_EQ(doctor.code, 1) << doctor.out;
    std::size_t index_lines = 0;
    std::istringstream in(doctor.out);
    for (std::string line; std::getline(in, line);) index_lines += line.find("index.db") != std::string::npos;
    EXPECT_NE(doctor.out.find("is damaged"), std::string::npos) << doctor.out;
    EXPECT_EQ(doctor.out.find("is damaged (***"), std::string::npos) << doctor.out;
    EXPECT_LE(index_lines, 2u) << doctor.out;
    EXPECT_LT(std::count(doctor.out.begin(), doctor.out.end(), '\n'), 16) << doctor.out;
}

TEST(Cli, HookCommandReadsStdinAndDeniesOnlyALargeMarkdownWrite) {
    TempDir project;
    std::string big;
    for (int i = 0; i < 150; ++i) big += "line\n";
    project.write("big.md", big);
    auto input = [&](const std::string& tool, const std::string& file) {
        return nlohmann::json{{"session_id", "s"}, {"cwd", project.path.string()}, {"hook_event_name", "PreToolUse"},
                              {"tool_name", tool}, {"tool_input", {{"file_path", (project / file).string()}, {"content", "x"}}}}
            .dump();
    };
    auto denied = run_quillbox({"hook", "pre-tool-use"}, input("Write", "big.md"),
                               {{"CLAUDE_PROJECT_DIR", project.path.string()}});
    EXPECT_EQ(denied.code, 0);
    EXPECT_EQ(nlohmann::json::parse(denied.out)["hookSpecificOutput"]["permissionDecision"], "deny");
    auto passed = run_quillbox({"hook", "pre-tool-use"}, input("Read", "big.md"),
                               {{"CLAUDE_PROJECT_DIR", project.path.string()}});
    EXPECT_EQ(passed.code, 0);
    EXPECT_EQ(passed.out, "");
    // The configured size.
    ASSERT_EQ(run_quillbox({"config", "set", "hook.max_lines", "200", "--root", project.path.string()}).code, 0);
    auto raised = run_quillbox({"hook", "pre-tool-use", "--root", project.path.string()}, input("Write", "big.md"));
    EXPECT_EQ(raised.out, "");
    EXPECT_EQ(run_quillbox({"hook", "pre-tool-use"}, "not json").code, 1);
}

// A tree reindexed in batches: a bad file is named and the others indexed, a link indexed
// under the file it points at, and a second run keeps every identifier.
TEST(Cli, ReindexOfATreeNamesBadFilesAndKeepsIdentifiers) {
    TempDir project;
    for (int i = 0; i < 5; ++i)
        project.write("docs/part" + std::to_string(i % 2) + "/n" + std::to_string(i) + ".md",
                      "# Note " + std::to_string(i) + "\n## Details\ntext\n");
    project.write("docs/bad.md", "# Bad \xC3\x28\n");
    fs::create_symlink(project.path / "docs/part0/n0.md", project.path / "link.md");
    const std::string root = project.path.string();
    auto first = run_quillbox({"reindex", "--root", root});
    EXPECT_EQ(first.code, 1) << first.out << first.err;
    EXPECT_NE(first.err.find("bad.md: skipped, not valid UTF-8"), std::string::npos) << first.err;
    EXPECT_NE(first.out.find("Indexed 5 of 6 Markdown files (10 blocks)"), std::string::npos) << first.out;
    const fs::path db = project.path / ".quillbox" / "index.db";
    auto rows = [&] {
        SQLite::Database d(db.string());
        SQLite::Statement q(d, "SELECT group_concat(file_path || ' ' || title || ' ' || id, '|') FROM "
                               "(SELECT * FROM blocks ORDER BY file_path, start_line)");
        q.executeStep();
        return q.getColumn(0).getString();
    };
    const std::string before = rows();
    EXPECT_EQ(before.find("link.md"), std::string::npos) << before;
    project.write("docs/bad.md", "# Mended\n");
    auto second = run_quillbox({"reindex", "--root", root});
    EXPECT_EQ(second.code, 0) << second.err;
    const std::string after = rows();
    for (int i = 0; i < 5; ++i) {
        const std::string title = "Note " + std::to_string(i) + " ";
        const auto at = before.find(title);
        ASSERT_NE(at, std::string::npos);
        EXPECT_NE(after.find(before.substr(at, title.size() + 36)), std::string::npos) << title;
    }
    EXPECT_NE(after.find("Mended"), std::string::npos);
}

// Every client at once, on PATH: entries without machine paths next to the user's own, the rules
// in AGENTS.md, doctor checking each file; then uninstall, one client and then the rest, leaves
// the user's files as they were.
TEST(Cli, InstallForEveryClientKeepsTheUsersEntriesAndUninstallTakesOnlyOurs) {
    TempDir project;
    OnPath path;
    const std::string codex = "# my settings\nmodel = \"o3\"\n\n[mcp_servers.docs]\ncommand = \"docs-server\"\n";
    const std::string vscode = R"({"inputs": [], "servers": {"db": {"type": "stdio", "command": "db"}}})";
    const std::string gemini = R"({"theme": "GitHub", "context": {"fileName": "NOTES.md"}})";
    project.write(".codex/config.toml", codex);
    project.write(".vscode/mcp.json", vscode);
    project.write(".gemini/settings.json", gemini);
    project.write("AGENTS.md", "# Agents\nBe brief.\n");
    const std::string root = project.path.string();

    auto r = run_quillbox({"install", "--client", "codex,gemini", "--client", "vscode", "--client", "cursor",
                           "--root", root}, "", path.env());
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_FALSE(fs::exists(project / ".mcp.json")) << "claude was not asked for";
    EXPECT_FALSE(fs::exists(project / "CLAUDE.md"));
    for (const char* file : {".codex/config.toml", ".vscode/mcp.json", ".gemini/settings.json", ".cursor/mcp.json"})
        EXPECT_EQ(project.read(file).find(root), std::string::npos) << file << ": " << project.read(file);
    EXPECT_EQ(project.read(".codex/config.toml").rfind(codex, 0), 0u) << project.read(".codex/config.toml");
    auto vs = nlohmann::json::parse(project.read(".vscode/mcp.json"));
    EXPECT_EQ(vs["servers"]["db"]["command"], "db");
    EXPECT_EQ(vs["servers"]["quillbox"]["args"], nlohmann::json({"serve", "--root", "${workspaceFolder}"}));
    EXPECT_EQ(nlohmann::json::parse(project.read(".gemini/settings.json"))["context"]["fileName"],
              nlohmann::json({"NOTES.md", "AGENTS.md"}));
    EXPECT_EQ(project.read("AGENTS.md").rfind("# Agents\nBe brief.\n", 0), 0u);
    EXPECT_NE(project.read("AGENTS.md").find("<!-- Quillbox Rules"), std::string::npos);

    ASSERT_EQ(run_quillbox({"config", "set", "semantic.backend", "none", "--root", root}).code, 0);
    auto healthy = run_quillbox({"doctor", "--root", root}, "", path.env());
    EXPECT_EQ(healthy.code, 0) << healthy.out;
    for (const char* label : {"Codex", "Gemini CLI", "VS Code", "Cursor", "AGENTS.md rules"})
        EXPECT_NE(healthy.out.find(std::string("✓ ") + label), std::string::npos) << label << "\n" << healthy.out;
    EXPECT_EQ(healthy.out.find("MCP registration"), std::string::npos) << "Claude Code is not in use here";
    // A broken entry is named with its file and the command that fixes it.
    project.write(".cursor/mcp.json", R"({"mcpServers": {"quillbox": {"command": "quillbox", "args": ["serve", "--root", "/elsewhere"]}}})");
    auto broken = run_quillbox({"doctor", "--root", root}, "", path.env());
    EXPECT_EQ(broken.code, 1);
    EXPECT_NE(broken.out.find(".cursor/mcp.json does not start `quillbox serve` for this project"), std::string::npos)
        << broken.out;
    EXPECT_NE(broken.out.find("fix: quillbox install --client cursor"), std::string::npos) << broken.out;

    // Codex alone goes; AGENTS.md keeps the rules the others still read.
    ASSERT_EQ(run_quillbox({"uninstall", "--client", "codex", "--root", root}, "", path.env()).code, 0);
    EXPECT_EQ(project.read(".codex/config.toml"), codex);
    EXPECT_NE(project.read("AGENTS.md").find("<!-- Quillbox Rules"), std::string::npos);
    ASSERT_EQ(run_quillbox({"uninstall", "--root", root}, "", path.env()).code, 0);
    EXPECT_EQ(nlohmann::json::parse(project.read(".vscode/mcp.json")), nlohmann::json::parse(vscode));
    EXPECT_EQ(nlohmann::json::parse(project.read(".gemini/settings.json")), nlohmann::json::parse(gemini));
    EXPECT_FALSE(fs::exists(project / ".cursor"));
    EXPECT_EQ(project.read("AGENTS.md"), "# Agents\nBe brief.\n");
}

// Settings a team shares live in the committed quillbox.toml; this machine's .quillbox/config.toml
// wins for the keys it sets. install in a repository keeps .quillbox/ out of git and prints
// snippets without machine paths; uninstall leaves no empty settings file behind.
TEST(Cli, SharedSettingsAndATeamFriendlyInstall) {
    TempDir project;
    OnPath path;
    const std::string root = project.path.string();
    ASSERT_EQ(std::system(git(project.path, "init -q .").c_str()), 0);
    auto shared = run_quillbox({"config", "set", "--shared", "hook.max_lines", "300", "--root", root});
    ASSERT_EQ(shared.code, 0) << shared.err;
    EXPECT_NE(project.read("quillbox.toml").find("max_lines = 300"), std::string::npos);
    EXPECT_FALSE(fs::exists(project / ".quillbox/config.toml"));
    EXPECT_EQ(run_quillbox({"config", "get", "hook.max_lines", "--root", root}).out, "300\n");
    ASSERT_EQ(run_quillbox({"config", "set", "hook.max_lines", "50", "--root", root}).code, 0);
    EXPECT_EQ(run_quillbox({"config", "get", "hook.max_lines", "--root", root}).out, "50\n");
    EXPECT_EQ(project.read("quillbox.toml").find("50"), std::string::npos);
    ASSERT_EQ(run_quillbox({"config", "unset", "hook.max_lines", "--root", root}).code, 0);
    EXPECT_EQ(run_quillbox({"config", "get", "hook.max_lines", "--root", root}).out, "300\n");
    EXPECT_NE(run_quillbox({"config", "list", "--root", root}).out.find("hook.max_lines = 300 (shared)"),
              std::string::npos);
    // The hook reads the shared threshold: a 150-line file may be rewritten whole.
    std::string lines;
    for (int i = 0; i < 150; ++i) lines += "line\n";
    project.write("big.md", lines);
    const std::string write = nlohmann::json{{"tool_name", "Write"},
                                             {"tool_input", {{"file_path", (project / "big.md").string()}}}}
                                  .dump();
    EXPECT_EQ(run_quillbox({"hook", "pre-tool-use", "--root", root}, write).out, "");

    auto install = run_quillbox({"install", "--root", root}, "", path.env());
    ASSERT_EQ(install.code, 0) << install.err;
    EXPECT_NE(install.out.find("claude mcp add --scope project quillbox -- quillbox serve\n"), std::string::npos)
        << install.out;
    EXPECT_NE(install.out.find("\"command\": \"quillbox\""), std::string::npos) << install.out;
    EXPECT_EQ(install.out.find(fs::canonical(QUILLBOX_EXE).string()), std::string::npos) << install.out;
    EXPECT_EQ(project.read(".gitignore"), "/.quillbox/\n");
    ASSERT_EQ(run_quillbox({"install", "--root", root}, "", path.env()).code, 0);
    EXPECT_EQ(project.read(".gitignore"), "/.quillbox/\n");  // asked git: already ignored

    ASSERT_EQ(run_quillbox({"uninstall", "--purge", "--root", root}, "", path.env()).code, 0);
    EXPECT_FALSE(fs::exists(project / ".claude"));
    EXPECT_FALSE(fs::exists(project / ".quillbox"));
    EXPECT_TRUE(fs::exists(project / "quillbox.toml"));  // the team's file is not ours to delete
}

// What each start of the program loads (the loader's own account, LD_DEBUG=files): the hook,
// which runs before every Write an agent makes, and --version only the C++ runtime, fmt and
// the TOML reader; no command loads BLAS or SentencePiece until a model runs; the hook and
// install open no index.
TEST(Cli, EachStartLoadsOnlyWhatItNeeds) {
    TempDir project;
    std::string big;
    for (int i = 0; i < 150; ++i) big += "line\n";
    project.write("big.md", big);
    auto loaded = [&](const std::vector<std::string>& args, const std::string& input = "") {
        const CommandResult r = run_quillbox(args, input, {{"LD_DEBUG", "files"}}, project.path);
        std::set<std::string> libs;
        std::istringstream err(r.err);
        for (std::string line; std::getline(err, line);) {
            const auto at = line.find("file=");
            if (at == std::string::npos) continue;
            const std::string name = line.substr(at + 5, line.find_first_of(" \t[", at + 5) - at - 5);
            libs.insert(fs::path(name).filename().string());
        }
        return libs;
    };
    auto any = [](const std::set<std::string>& libs, std::initializer_list<const char*> parts) {
        for (const auto& l : libs)
            for (const char* p : parts)
                if (l.find(p) != std::string::npos) return l;
        return std::string();
    };
    const std::string write = nlohmann::json{{"cwd", project.path.string()}, {"tool_name", "Write"},
                                             {"tool_input", {{"file_path", (project / "big.md").string()}}}}
                                  .dump();
    for (const auto& args : std::vector<std::vector<std::string>>{{"--version"}, {"hook", "pre-tool-use"}}) {
        const auto libs = loaded(args, write);
        ASSERT_FALSE(libs.empty()) << "the loader said nothing";
#ifdef QUILLBOX_CLI_AT_START
        EXPECT_EQ(any(libs, {"blas", "sentencepiece", "gfortran"}), "") << args.back();
#else
        EXPECT_EQ(any(libs, {"quillbox", "sqlite", "curl", "git2", "icu", "ssl", "crypto", "blas"}), "") << args.back();
#endif
    }
    const std::string initialize =
        R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-11-25","capabilities":{},"clientInfo":{"name":"t","version":"1"}}})"
        "\n";
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"install"}, {"doctor"}, {"status"}, {"serve", "--root", project.path.string()}}) {
        const auto libs = loaded(args, args[0] == "serve" ? initialize : "");
        EXPECT_NE(any(libs, {"quillbox_cli"}), "") << args[0];
        EXPECT_EQ(any(libs, {"blas", "sentencepiece", "gfortran"}), "") << args[0];
        if (args[0] == "install") {
            EXPECT_FALSE(fs::exists(project / ".quillbox" / "index.db"));
        }
    }
}
