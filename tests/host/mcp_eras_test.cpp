// Both protocol eras on one server: the modern one (version and capabilities in every request's
// `_meta`, `server/discover`, typed results) and the legacy `initialize` handshake. The sessions in
// mcp_sessions/ are the lines the official Python SDK sent (2.3.0 in its auto, pinned and legacy
// modes; 1.30.0).
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "common/files.h"
#include "host/mcp.h"
#include "host/tools.h"

using namespace quillbox::host;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

const json ALL_VERSIONS = {"2026-07-28", "2025-11-25", "2025-06-18", "2025-03-26", "2024-11-05"};

std::vector<std::string> recorded(const std::string& name) {
    std::istringstream in(qbtest::read_file(fs::path(QUILLBOX_SOURCE_DIR) / "tests/host/mcp_sessions" / name));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

// A modern request line: `_meta` as a 2026-07-28 client sends it, with `meta` merged over it.
std::string modern(int id, const std::string& method, json params = json::object(), const json& meta = json::object()) {
    json m = {{"io.modelcontextprotocol/protocolVersion", "2026-07-28"},
              {"io.modelcontextprotocol/clientInfo", {{"name", "t"}, {"version", "1"}}},
              {"io.modelcontextprotocol/clientCapabilities", json::object()}};
    m.merge_patch(meta);
    params["_meta"] = m;
    return json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}}.dump();
}

class Eras : public ::testing::Test {
protected:
    Eras() {
        tools_.add(ToolSpec{"md_list_blocks", "List", "lists",
                            object_schema({{"file_path", string_property("path")}}, {"file_path"}), {},
                            [](ToolContext&, const json& a) { return "listed " + require_string(a, "file_path"); }});
    }

    // The answers to the lines, in order (nothing for notifications).
    std::vector<json> replay(const std::vector<std::string>& lines) {
        std::vector<json> out;
        for (const auto& line : lines)
            if (auto answer = protocol_.handle_line(line)) out.push_back(json::parse(*answer));
        return out;
    }
    json send(const std::string& line) { return replay({line}).at(0); }

    ToolRegistry tools_;
    ToolContext context_;
    int starts_ = 0;
    McpProtocol protocol_{tools_, context_, {.on_session_start = [this] { ++starts_; }, .before_tool = {}, .after_tool = {}, .take_note = {}, .refusal = {}}};
};

void expect_modern_result(const json& answer) {
    ASSERT_TRUE(answer.contains("result")) << answer.dump();
    EXPECT_EQ(answer["result"]["resultType"], "complete");
    EXPECT_EQ(answer["result"]["_meta"]["io.modelcontextprotocol/serverInfo"]["name"], "quillbox");
}

TEST_F(Eras, AModernClientProbesWithDiscoverAndIsServedWithoutInitialize) {
    auto answers = replay(recorded("sdk2_auto.jsonl"));
    ASSERT_EQ(answers.size(), 3u);

    const json& discover = answers[0]["result"];
    expect_modern_result(answers[0]);
    EXPECT_EQ(discover["supportedVersions"], ALL_VERSIONS);
    EXPECT_EQ(discover["capabilities"], (json{{"tools", {{"listChanged", false}}}}));
    EXPECT_FALSE(discover["instructions"].get<std::string>().empty());
    EXPECT_GE(discover["ttlMs"].get<int>(), 0);
    EXPECT_EQ(discover["cacheScope"], "private");
    EXPECT_FALSE(discover.contains("protocolVersion"));  // no handshake answer in disguise

    expect_modern_result(answers[1]);
    EXPECT_EQ(answers[1]["result"]["tools"][0]["name"], "md_list_blocks");
    EXPECT_TRUE(answers[1]["result"].contains("ttlMs"));
    EXPECT_EQ(answers[1]["result"]["cacheScope"], "private");

    expect_modern_result(answers[2]);
    EXPECT_EQ(answers[2]["result"]["content"][0]["text"], "listed doc.md");
    EXPECT_EQ(answers[2]["result"]["isError"], false);

    EXPECT_EQ(starts_, 1);  // the probe started the session
    EXPECT_FALSE(protocol_.initialized());
}

TEST_F(Eras, APinnedModernClientNeedsNeitherDiscoverNorInitialize) {
    auto answers = replay(recorded("sdk2_pinned.jsonl"));
    ASSERT_EQ(answers.size(), 2u);
    for (const auto& a : answers) expect_modern_result(a);
    EXPECT_EQ(answers[1]["result"]["content"][0]["text"], "listed doc.md");
    EXPECT_EQ(starts_, 1);  // its first request opened the session
}

TEST_F(Eras, LegacyClientsKeepTheHandshakeAndUntypedResults) {
    for (const char* session : {"sdk1.jsonl", "sdk2_legacy.jsonl"}) {
        auto answers = replay(recorded(session));
        ASSERT_GE(answers.size(), 3u) << session;
        EXPECT_EQ(answers[0]["result"]["protocolVersion"], "2025-11-25") << session;
        EXPECT_EQ(answers[0]["result"]["serverInfo"]["name"], "quillbox");
        for (const auto& a : answers) {
            ASSERT_TRUE(a.contains("result")) << a.dump();
            EXPECT_FALSE(a["result"].contains("resultType")) << a.dump();
            EXPECT_FALSE(a["result"].contains("_meta")) << a.dump();
        }
        EXPECT_EQ(answers[2]["result"]["content"][0]["text"], "listed doc.md");
    }
    EXPECT_EQ(starts_, 2);
    EXPECT_TRUE(protocol_.initialized());
}

TEST_F(Eras, AnUnsupportedVersionIsAnsweredWithTheSupportedList) {
    // Unknown, and a legacy version (legacy revisions are spoken through initialize only).
    for (const char* version : {"1900-01-01", "2025-11-25", "2027-01-01"}) {
        for (const char* method : {"tools/list", "tools/call", "server/discover"}) {
            json r = send(modern(7, method, {{"name", "md_list_blocks"}, {"arguments", {{"file_path", "a.md"}}}},
                                 {{"io.modelcontextprotocol/protocolVersion", version}}));
            EXPECT_EQ(r, (json{{"jsonrpc", "2.0"},
                               {"id", 7},
                               {"error",
                                {{"code", -32022},
                                 {"message", "Unsupported protocol version"},
                                 {"data", {{"supported", ALL_VERSIONS}, {"requested", version}}}}}}))
                << method << " " << version;
        }
    }
    EXPECT_EQ(starts_, 0);  // a refused probe starts nothing

    // A version that is not a string, and missing client capabilities, are malformed requests.
    EXPECT_EQ(send(modern(1, "tools/list", json::object(), {{"io.modelcontextprotocol/protocolVersion", 20260728}}))
                  ["error"]["code"],
              jsonrpc::INVALID_PARAMS);
    for (const json& caps : {json(nullptr), json("all"), json::array()}) {
        json r = send(modern(2, "tools/list", json::object(), {{"io.modelcontextprotocol/clientCapabilities", caps}}));
        EXPECT_EQ(r["error"]["code"], jsonrpc::INVALID_PARAMS) << caps.dump();
        EXPECT_NE(r["error"]["message"].get<std::string>().find("clientCapabilities"), std::string::npos);
    }
}

TEST_F(Eras, MalformedModernRequestsAreRefusedWithTheirIdAndServingGoesOn) {
    const std::vector<std::pair<std::string, int>> cases = {
        {modern(1, "tools/call", {{"name", 5}}), jsonrpc::INVALID_PARAMS},
        {modern(2, "tools/call", {{"name", "nope"}}), jsonrpc::INVALID_PARAMS},
        {R"({"jsonrpc":"2.0","id":3,"method":"tools/list","params":{"_meta":{)"
         R"("io.modelcontextprotocol/protocolVersion":null,"io.modelcontextprotocol/clientCapabilities":{}}}})",
         jsonrpc::INVALID_PARAMS},
        {modern(4, "server/discover", json::object(), {{"io.modelcontextprotocol/protocolVersion", {{"v", 1}}}}),
         jsonrpc::INVALID_PARAMS},
        {modern(5, "resources/list"), jsonrpc::METHOD_NOT_FOUND},
    };
    for (const auto& [line, code] : cases) {
        json r = send(line);
        EXPECT_EQ(r["error"]["code"], code) << line;
        EXPECT_EQ(r["id"], json::parse(line)["id"]);
        EXPECT_FALSE(r.contains("result"));
    }
    // A tool refusing its arguments is a tool result the agent can read, typed as complete.
    json refused = send(modern(6, "tools/call", {{"name", "md_list_blocks"}, {"arguments", {{"path", "a.md"}}}}));
    expect_modern_result(refused);
    EXPECT_EQ(refused["result"]["isError"], true);
    expect_modern_result(send(modern(7, "tools/list")));
}

TEST_F(Eras, TheLegacyLifecycleIsGoneFromModernRequestsButInitializeStaysAHandshake) {
    EXPECT_EQ(send(modern(1, "ping"))["error"]["code"], jsonrpc::METHOD_NOT_FOUND);
    EXPECT_EQ(send(modern(2, "logging/setLevel", {{"level", "info"}}))["error"]["code"], jsonrpc::METHOD_NOT_FOUND);

    // initialize is answered as the handshake even with modern `_meta`, and never selects a modern
    // revision (a dual-era client refuses a handshake answer naming one).
    for (const char* asked : {"2026-07-28", "2023-01-01"}) {
        json r = send(modern(3, "initialize", {{"protocolVersion", asked}, {"capabilities", json::object()}}));
        EXPECT_EQ(r["result"]["protocolVersion"], "2025-11-25") << asked;
        EXPECT_FALSE(r["result"].contains("resultType"));
    }
    // A probe without `_meta` still learns the versions.
    json bare = send(R"({"jsonrpc":"2.0","id":4,"method":"server/discover"})");
    expect_modern_result(bare);
    EXPECT_EQ(bare["result"]["supportedVersions"], ALL_VERSIONS);
}

TEST_F(Eras, EveryInitializeAndEveryDiscoverStartsASessionAndTheErasMix) {
    send(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})");
    EXPECT_EQ(starts_, 1);
    // A modern request on a process opened the legacy way is served the modern way.
    expect_modern_result(send(modern(2, "tools/call", {{"name", "md_list_blocks"}, {"arguments", {{"file_path", "b.md"}}}})));
    EXPECT_EQ(starts_, 1);  // requests do not start sessions
    send(modern(3, "server/discover"));
    send(modern(4, "server/discover"));
    EXPECT_EQ(starts_, 3);
    // ...and a legacy request after them stays legacy.
    json legacy = send(R"({"jsonrpc":"2.0","id":5,"method":"tools/list"})");
    EXPECT_FALSE(legacy["result"].contains("resultType"));
    EXPECT_EQ(protocol_.protocol_version(), "2025-06-18");
    EXPECT_EQ(protocol_.sessions(), 3);
}

}  // namespace

namespace {

// A client of the stateless revision that never discovers still gets a session of its own,
// opened by its first request; later requests go on in it.
TEST_F(Eras, AFirstStatelessRequestStartsTheSession) {
    expect_modern_result(send(modern(1, "tools/list")));
    EXPECT_EQ(starts_, 1);
    send(modern(2, "tools/call", {{"name", "md_list_blocks"}, {"arguments", {{"file_path", "b.md"}}}}));
    EXPECT_EQ(starts_, 1);
    send(modern(3, "server/discover"));
    EXPECT_EQ(starts_, 2);
}

}  // namespace
