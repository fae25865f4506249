// The Claude Code plugin and its marketplace in the repository, checked against the documented
// layout: the manifest in .claude-plugin/, components at the plugin root, the marketplace at
// the top listing the plugin by a relative source; and against the program: the server entry
// `install` writes, the hook command it registers, the rules section it adds.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "host/clients.h"
#include "host/hook.h"
#include "quillbox/rulefile.h"
#include "quillbox/version.h"

namespace fs = std::filesystem;
using ojson = nlohmann::ordered_json;
using namespace quillbox::host;

namespace {

const fs::path SOURCE = QUILLBOX_SOURCE_DIR;

std::string read(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    EXPECT_TRUE(f) << p;
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

ojson read_json(const fs::path& p) {
    ojson doc = ojson::parse(read(p), nullptr, false);
    EXPECT_TRUE(doc.is_object()) << p << " is not a JSON object";
    return doc;
}

// Plugin, marketplace and skill names: lowercase letters, digits and hyphens.
bool kebab(const std::string& name) { return std::regex_match(name, std::regex("[a-z0-9]+(-[a-z0-9]+)*")); }

}  // namespace

TEST(Plugin, MarketplaceListsThePluginBySourceInThisRepository) {
    const ojson market = read_json(SOURCE / ".claude-plugin" / "marketplace.json");
    ASSERT_TRUE(market["name"].is_string() && kebab(market["name"]));
    ASSERT_TRUE(market["owner"].is_object() && market["owner"]["name"].is_string());
    ASSERT_TRUE(market["plugins"].is_array() && market["plugins"].size() == 1);
    const ojson& entry = market["plugins"][0];
    const std::string source = entry.value("source", "");
    ASSERT_TRUE(source.starts_with("./")) << "a plugin in the marketplace's own repository has a relative source";
    const fs::path dir = SOURCE / source;
    const ojson manifest = read_json(dir / ".claude-plugin" / "plugin.json");
    EXPECT_EQ(entry["name"], manifest["name"]);
    EXPECT_EQ(entry["version"], manifest["version"]);
    EXPECT_EQ(manifest["version"], QUILLBOX_VERSION) << "the plugin's version follows the program's";
    EXPECT_TRUE(kebab(manifest["name"]));
    EXPECT_TRUE(manifest["description"].is_string() && manifest["author"]["name"].is_string());
    // Only the manifest lives in .claude-plugin/; the components sit at the plugin root.
    for (const auto& e : fs::directory_iterator(dir / ".claude-plugin"))
        EXPECT_EQ(e.path().filename(), "plugin.json") << e.path();
}

TEST(Plugin, ServerHookAndSkillAreTheOnesInstallWrites) {
    const fs::path dir = SOURCE / "plugins" / "quillbox";
    const ojson mcp = read_json(dir / ".mcp.json");
    EXPECT_EQ(mcp["mcpServers"][std::string(SERVER_NAME)], portable_server_entry());

    const ojson hooks = read_json(dir / "hooks" / "hooks.json");
    ASSERT_TRUE(hooks["hooks"].is_object()) << "hooks.json holds its events under \"hooks\"";
    const ojson& pre = hooks["hooks"]["PreToolUse"];
    ASSERT_TRUE(pre.is_array() && pre.size() == 1);
    EXPECT_EQ(pre[0]["matcher"], "Write");
    EXPECT_EQ(pre[0]["hooks"][0]["type"], "command");
    EXPECT_EQ(pre[0]["hooks"][0]["command"], hook_command("quillbox", true));
    // The settings `install` writes hold the same group.
    const ojson settings = ojson::parse(*merge_hook("", hook_command("quillbox", true)));
    EXPECT_EQ(settings["hooks"]["PreToolUse"], pre);

    const std::string skill = read(dir / "skills" / "quillbox" / "SKILL.md");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(skill, m, std::regex("^---\n((?:.*\n)*?)---\n\n")));
    const std::string front = m[1], body = m.suffix();
    std::smatch name, description;
    ASSERT_TRUE(std::regex_search(front, name, std::regex("(^|\n)name: (.+)\n")));
    ASSERT_TRUE(std::regex_search(front, description, std::regex("(^|\n)description: (.+)\n")));
    EXPECT_EQ(name[2], "quillbox") << "a skill is named as its folder";
    EXPECT_LE(name[2].length(), 64u);
    EXPECT_LE(description[2].length(), 1024u);
    // The skill's text is the English rules section after its version comment.
    const std::string section(quillbox::QUILLBOX_SECTION_EN);  // the skill speaks English
    const std::string rules = section.substr(section.find("\n\n") + 2);
    if (body != rules) {
        const fs::path fresh = fs::path(QUILLBOX_BINARY_DIR) / "SKILL.md";
        std::ofstream(fresh, std::ios::binary) << "---\n" << front << "---\n\n" << rules;
        ADD_FAILURE() << "the skill's rules differ from the rules section; the current text is in " << fresh
                      << ": cp " << fresh << " " << (dir / "skills" / "quillbox" / "SKILL.md");
    }
}
