#include <gtest/gtest.h>

#include "host/clients.h"

#include <fmt/format.h>
#include <toml++/toml.h>

#include <random>

using namespace quillbox::host;
using ojson = nlohmann::ordered_json;

namespace {
const ojson ENTRY = server_entry("/opt/q/quillbox", "/home/me/proj", true);
}

TEST(McpJson, NewFileHoldsOnlyOurServer) {
    EXPECT_EQ(ENTRY.dump(), R"({"type":"stdio","command":"/opt/q/quillbox","args":["serve","--root","/home/me/proj"]})");
    EXPECT_EQ(ojson::parse(merge_server_entry("", "mcpServers", ENTRY)),
              ojson::parse(R"({"mcpServers":{"quillbox":)" + ENTRY.dump() + "}}"));
}

TEST(McpJson, MergeKeepsOtherServersAndKeysInTheirOrder) {
    std::string existing = R"({"zeta": 1, "mcpServers": {"other": {"command": "x"}, "quillbox": {"command": "old"}}, "alpha": true})";
    std::string merged = merge_server_entry(existing, "mcpServers", ENTRY);
    ojson doc = ojson::parse(merged);
    EXPECT_EQ(doc["mcpServers"]["other"], ojson::parse(R"({"command": "x"})"));
    EXPECT_EQ(doc["mcpServers"]["quillbox"], ENTRY);
    std::vector<std::string> keys;
    for (auto& [k, v] : doc.items()) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"zeta", "mcpServers", "alpha"}));
    EXPECT_EQ(merged.back(), '\n');
    // Merging twice changes nothing more.
    EXPECT_EQ(merge_server_entry(merged, "mcpServers", ENTRY), merged);
}

TEST(McpJson, RefusesFilesItCannotMerge) {
    EXPECT_THROW(merge_server_entry("{\"mcpServers\": ", "mcpServers", ENTRY), ClientConfigError);
    EXPECT_THROW(merge_server_entry("[1, 2]", "mcpServers", ENTRY), ClientConfigError);
    EXPECT_THROW(merge_server_entry(R"({"mcpServers": []})", "mcpServers", ENTRY), ClientConfigError);
    EXPECT_THROW(remove_server_entry("nope", "mcpServers"), ClientConfigError);
}

TEST(McpJson, RemoveKeepsTheRestOrEmptiesTheFile) {
    std::string both = merge_server_entry(R"({"mcpServers": {"other": {"command": "x"}}})", "mcpServers", ENTRY);
    auto rest = remove_server_entry(both, "mcpServers");
    ASSERT_TRUE(rest);
    EXPECT_EQ(ojson::parse(*rest), ojson::parse(R"({"mcpServers": {"other": {"command": "x"}}})"));
    EXPECT_EQ(remove_server_entry(merge_server_entry("", "mcpServers", ENTRY), "mcpServers"), std::nullopt);
    EXPECT_EQ(ojson::parse(*remove_server_entry(R"({"inputs": []})", "servers")), ojson::parse(R"({"inputs": []})"));
}

TEST(McpJson, CommandLineAndSnippets) {
    EXPECT_EQ(shell_quote("/usr/bin/quillbox"), "/usr/bin/quillbox");
    EXPECT_EQ(shell_quote("/home/me/my docs"), "'/home/me/my docs'");
    EXPECT_EQ(shell_quote("it's"), "'it'\\''s'");
    EXPECT_EQ(shell_quote(""), "''");
    EXPECT_EQ(claude_mcp_add_line("/opt/q/quillbox", "/home/me/my proj"),
              "claude mcp add --scope project quillbox -- /opt/q/quillbox serve --root '/home/me/my proj'");
    std::string snippets = other_client_snippets("/opt/q/quillbox", "/p");
    EXPECT_NE(snippets.find("\"mcpServers\""), std::string::npos);
    EXPECT_NE(snippets.find("--client codex"), std::string::npos);
}

// --- Codex's config.toml, against toml++ as the model ------------------------------------------

namespace {

// A random config.toml as people write them: top-level keys, other servers with env tables,
// an old entry of ours (any header spelling), comments everywhere, and now and then a shape
// the line splice cannot handle (our servers inline, a nested array inside our table).
struct TomlCase {
    std::string text;
    std::vector<std::string> kept_comments;  // lines outside our table that must survive a splice
    bool spliceable = true;
};

TomlCase random_codex_config(std::mt19937& rng) {
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    TomlCase c;
    int comments = 0;
    auto comment = [&] {
        std::string line = "# keep " + std::to_string(comments++);
        c.kept_comments.push_back(line);
        return line + "\n";
    };
    if (pick(2)) c.text += comment();
    if (pick(2)) c.text += "model = \"o3\"  # trailing\n";
    if (pick(4) == 0) {
        c.text += "mcp_servers = { quillbox = { command = \"old\" }, inline = { command = \"i\" } }\n";
        c.spliceable = false;
        return c;
    }
    const int tables = pick(5);
    for (int i = 0; i < tables; ++i) {
        c.text += "\n";
        if (pick(3) == 0) c.text += comment();
        switch (pick(4)) {
            case 0:
                c.text += fmt::format("[mcp_servers.s{}]\ncommand = \"x{}\"\nargs = [\"a\", \"[b]\"]\n", i, i);
                if (pick(2)) c.text += fmt::format("[mcp_servers.s{}.env]\nTOKEN = \"t\"\n", i);
                break;
            case 1: {
                static const char* headers[] = {"[mcp_servers.quillbox]", "[mcp_servers.\"quillbox\"]",
                                                "[ mcp_servers . 'quillbox' ]  # ours, old"};
                if (c.text.find("quillbox") != std::string::npos) break;  // defined once at most
                c.text += std::string(headers[pick(3)]) + "\ncommand = \"old\"\n# inside ours\n";
                if (pick(2)) c.text += "[mcp_servers.quillbox.env]\nQ = \"1\"\n";
                if (pick(5) == 0) {
                    c.text += "matrix = [\n[1, 2],\n]\n";  // a line opening with '[' inside a value
                    c.spliceable = false;
                }
                break;
            }
            case 2:
                c.text += fmt::format("[profiles.p{}]\nmodel = \"m\"\n", i);
                break;
            default:
                c.text += fmt::format("[[notes]]\ntext = \"n{}\"\n", i);
                break;
        }
        if (pick(3) == 0) c.text += comment();
    }
    return c;
}

toml::table without_quillbox(toml::table t) {
    if (auto* servers = t["mcp_servers"].as_table()) {
        servers->erase("quillbox");
        if (servers->empty()) t.erase("mcp_servers");
    }
    return t;
}

}  // namespace

TEST(CodexConfig, MergeAndRemoveAgreeWithTheParsedDocumentAndKeepTheText) {
    const ojson entry = client_server_entry(Client::codex, "/opt/my \"q\"/quillbox", "/p", false);
    toml::table ours{{"command", "/opt/my \"q\"/quillbox"}, {"args", toml::array{"serve", "--root", "/p"}}};
    std::mt19937 rng(29);
    int spliced = 0, cases = 0;
    while (cases < 400) {
        TomlCase c = random_codex_config(rng);
        toml::table original;
        try {
            original = toml::parse(c.text);
        } catch (const toml::parse_error&) {
            continue;  // the generator made a document TOML forbids
        }
        ++cases;
        SCOPED_TRACE(c.text);
        const std::string merged = merge_codex_entry(c.text, entry);
        toml::table want = original;
        if (!want["mcp_servers"].is_table()) want.insert_or_assign("mcp_servers", toml::table{});
        want["mcp_servers"].as_table()->insert_or_assign("quillbox", ours);
        ASSERT_EQ(toml::parse(merged), want) << merged;
        EXPECT_EQ(find_codex_entry(merged), entry);
        EXPECT_EQ(merge_codex_entry(merged, entry), merged) << "a second install changes nothing";
        if (c.spliceable) {
            ++spliced;
            for (const auto& line : c.kept_comments) EXPECT_NE(merged.find(line), std::string::npos) << line;
        }

        const auto rest = remove_codex_entry(merged);
        const toml::table left = without_quillbox(original);
        if (left.empty()) {
            EXPECT_EQ(rest, std::nullopt);
        } else {
            ASSERT_TRUE(rest);
            EXPECT_EQ(without_quillbox(toml::parse(*rest)), left) << *rest;
            EXPECT_EQ(find_codex_entry(*rest), std::nullopt);
            if (c.spliceable) {
                for (const auto& line : c.kept_comments) EXPECT_NE(rest->find(line), std::string::npos) << line;
            }
        }
    }
    EXPECT_GT(spliced, 100);  // the generator reaches the common case
}

TEST(CodexConfig, RefusesTextThatIsNotToml) {
    const ojson entry = client_server_entry(Client::codex, "q", "/p", true);
    EXPECT_THROW(merge_codex_entry("[mcp_servers\ncommand = 1", entry), ClientConfigError);
    EXPECT_THROW(merge_codex_entry("mcp_servers = 3\n", entry), ClientConfigError);
    EXPECT_THROW(remove_codex_entry("= nothing"), ClientConfigError);
    EXPECT_EQ(merge_codex_entry("", entry), "[mcp_servers.quillbox]\ncommand = \"quillbox\"\nargs = [\"serve\"]\n");
}

// --- The JSON clients and Gemini CLI's context files -------------------------------------------

TEST(ClientFiles, PortableEntriesNameNoMachinePath) {
    for (const ClientInfo& info : all_clients()) {
        const std::string text = client_server_entry(info.id, "/opt/q/quillbox", "/home/me/p", true).dump();
        EXPECT_EQ(text.find("/opt/q"), std::string::npos) << info.name;
        EXPECT_EQ(text.find("/home/me"), std::string::npos) << info.name;
        EXPECT_NE(client_server_entry(info.id, "/opt/q/quillbox", "/home/me/p", false).dump().find("/home/me/p"),
                  std::string::npos);
    }
    EXPECT_EQ(client_server_entry(Client::vscode, "q", "/p", true).dump(),
              R"({"type":"stdio","command":"quillbox","args":["serve","--root","${workspaceFolder}"]})");
    EXPECT_EQ(client_server_entry(Client::cursor, "q", "/p", true).dump(),
              R"({"command":"quillbox","args":["serve","--root","${workspaceFolder}"]})");
    EXPECT_EQ(client_server_entry(Client::gemini, "q", "/p", true).dump(), R"({"command":"quillbox","args":["serve"]})");
    // VS Code's file may carry comments.
    EXPECT_TRUE(find_client_entry(Client::vscode, "// mine\n{\"servers\": {\"quillbox\": {}}}"));
}

TEST(ClientFiles, GeminiContextFileAddedThenTakenBackToWhatItWas) {
    for (const char* start : {R"({})", R"({"theme": "dark"})", R"({"context": {"fileName": "NOTES.md"}})",
                              R"({"context": {"fileName": ["A.md"], "other": 1}})", R"({"contextFileName": "GEMINI.md"})",
                              R"({"context": {"fileName": ["AGENTS.md"]}})"}) {
        SCOPED_TRACE(start);
        ContextFileEdit edit = add_gemini_context_file(start);
        EXPECT_TRUE(gemini_reads_agents_md(edit.text));
        EXPECT_EQ(add_gemini_context_file(edit.text).added, false);
        if (!edit.added) {
            EXPECT_EQ(edit.text, start);
            continue;
        }
        auto back = remove_gemini_context_file(edit.text, edit.before);
        ASSERT_TRUE(back);
        EXPECT_EQ(ojson::parse(*back), ojson::parse(start));
    }
    // Nothing set: Gemini CLI's own GEMINI.md stays among the files it reads.
    EXPECT_EQ(ojson::parse(add_gemini_context_file("").text)["context"]["fileName"],
              ojson::parse(R"(["AGENTS.md", "GEMINI.md"])"));
    // The user changed the list since: only AGENTS.md comes out.
    auto changed = remove_gemini_context_file(R"({"context": {"fileName": ["X.md", "AGENTS.md", "Y.md"]}})", nullptr);
    EXPECT_EQ(ojson::parse(*changed)["context"]["fileName"], ojson::parse(R"(["X.md", "Y.md"])"));
    EXPECT_THROW(add_gemini_context_file(R"({"context": {"fileName": 3}})"), ClientConfigError);
}
