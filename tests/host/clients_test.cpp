#include <gtest/gtest.h>

#include "host/clients.h"

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
    EXPECT_NE(snippets.find("\"servers\""), std::string::npos);
    EXPECT_NE(snippets.find(".vscode/mcp.json"), std::string::npos);
}
