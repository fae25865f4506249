#include <gtest/gtest.h>

#include <algorithm>

#include "host/mcp.h"
#include "host/serve.h"
#include "host/tools.h"
#include "quillbox/i18n.h"
#include "quillbox/outline.h"
#include "quillbox/safety.h"

using namespace quillbox;
using namespace quillbox::host;
using nlohmann::json;

namespace {

ToolSpec tool(std::string name, ToolHandler handler) {
    return ToolSpec{name, name, "test tool", object_schema({{"text", string_property("text")}}, {}), {}, std::move(handler)};
}

class Protocol : public ::testing::Test {
protected:
    Protocol() {
        tools_.add(tool("echo", [](ToolContext&, const json& a) { return require_string(a, "text"); }));
        tools_.add(tool("too_large", [](ToolContext&, const json&) -> std::string { throw FileTooLargeError(); }));
        tools_.add(tool("bad_utf8", [](ToolContext&, const json&) -> std::string { throw DecodeError(3, "bad byte"); }));
        tools_.add(tool("refused", [](ToolContext&, const json&) -> std::string {
            throw ModificationError(WriteFailure::locked, "/p/x.md");
        }));
        tools_.add(tool("gone", [](ToolContext&, const json&) -> std::string {
            throw std::filesystem::filesystem_error("read", "/p/x.md",
                                                    std::make_error_code(std::errc::no_such_file_or_directory));
        }));
        tools_.add(tool("crash", [](ToolContext&, const json&) -> std::string { throw 42; }));
    }

    json send(const std::string& line) {
        auto out = protocol_.handle_line(line);
        return out ? json::parse(*out) : json();
    }
    json call(const std::string& name, const json& args) {
        return send(json{{"jsonrpc", "2.0"}, {"id", 9}, {"method", "tools/call"},
                         {"params", {{"name", name}, {"arguments", args}}}}.dump());
    }

    ToolRegistry tools_;
    ToolContext context_;
    int sessions_ = 0;
    McpProtocol protocol_{tools_, context_, {.on_session_start = [this] { ++sessions_; }, .before_tool = {}, .after_tool = {}, .take_note = {}, .refusal = {}}};
};

TEST_F(Protocol, InitializeNegotiatesTheVersion) {
    for (std::string v : {"2025-11-25", "2025-06-18", "2025-03-26", "2024-11-05"}) {
        json r = send(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":")" + v + "\"}}");
        EXPECT_EQ(r["result"]["protocolVersion"], v);
    }
    EXPECT_EQ(send(R"({"jsonrpc":"2.0","id":2,"method":"initialize","params":{"protocolVersion":"2023-01-01"}})")
                  ["result"]["protocolVersion"],
              "2025-11-25");
    json r = send(R"({"jsonrpc":"2.0","id":"s","method":"initialize"})");
    EXPECT_EQ(r["id"], "s");
    EXPECT_EQ(r["result"]["protocolVersion"], "2025-11-25");
    EXPECT_EQ(r["result"]["serverInfo"]["name"], "quillbox");
    EXPECT_EQ(r["result"]["capabilities"]["tools"]["listChanged"], false);
    EXPECT_EQ(sessions_, 6);
}

TEST_F(Protocol, FramingErrorsAreAnsweredAndNotificationsAreNot) {
    EXPECT_EQ(send("{not json")["error"]["code"], jsonrpc::PARSE_ERROR);
    EXPECT_TRUE(send("{not json")["id"].is_null());
    EXPECT_FALSE(protocol_.handle_line("   ").has_value());
    EXPECT_FALSE(protocol_.handle_line(R"({"jsonrpc":"2.0","method":"notifications/initialized"})").has_value());
    EXPECT_FALSE(protocol_.handle_line(R"({"jsonrpc":"2.0","method":"no/such/notification"})").has_value());
    EXPECT_FALSE(protocol_.handle_line(R"({"jsonrpc":"2.0","id":5,"result":{}})").has_value());

    EXPECT_EQ(send(R"({"id":1,"method":"ping"})")["error"]["code"], jsonrpc::INVALID_REQUEST);
    EXPECT_EQ(send(R"({"jsonrpc":"2.0","id":{"a":1},"method":"ping"})")["error"]["code"], jsonrpc::INVALID_REQUEST);
    EXPECT_EQ(send(R"({"jsonrpc":"2.0","id":1,"method":7})")["error"]["code"], jsonrpc::INVALID_REQUEST);
    EXPECT_EQ(send(R"({"jsonrpc":"2.0","id":1,"method":"ping","params":3})")["error"]["code"], jsonrpc::INVALID_REQUEST);
    EXPECT_EQ(send(R"("hello")")["error"]["code"], jsonrpc::INVALID_REQUEST);
    EXPECT_EQ(send("[]")["error"]["code"], jsonrpc::INVALID_REQUEST);
    json unknown = send(R"({"jsonrpc":"2.0","id":3,"method":"resources/list"})");
    EXPECT_EQ(unknown["error"]["code"], jsonrpc::METHOD_NOT_FOUND);
    EXPECT_EQ(unknown["id"], 3);

    // CRLF-terminated input and a batch.
    EXPECT_EQ(send("{\"jsonrpc\":\"2.0\",\"id\":4,\"method\":\"ping\"}\r"), (json{{"jsonrpc", "2.0"}, {"id", 4}, {"result", json::object()}}));
    json batch = send(R"([{"jsonrpc":"2.0","id":1,"method":"ping"},{"jsonrpc":"2.0","method":"notifications/x"},{"jsonrpc":"2.0","id":2,"method":"nope"}])");
    ASSERT_TRUE(batch.is_array());
    ASSERT_EQ(batch.size(), 2u);
    EXPECT_EQ(batch[1]["error"]["code"], jsonrpc::METHOD_NOT_FOUND);
}

TEST_F(Protocol, ToolsListStatesEveryHint) {
    json r = send(R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})");
    ASSERT_EQ(r["result"]["tools"].size(), tools_.all().size());
    const json& first = r["result"]["tools"][0];
    EXPECT_EQ(first["name"], "echo");
    EXPECT_EQ(first["inputSchema"]["type"], "object");
    for (const char* hint : {"readOnlyHint", "destructiveHint", "idempotentHint", "openWorldHint"})
        EXPECT_EQ(first["annotations"][hint], false) << hint;
}

TEST_F(Protocol, ToolFailuresBecomeErrorResults) {
    json good = call("echo", {{"text", "hi"}});
    EXPECT_EQ(good["result"], (json{{"content", {{{"type", "text"}, {"text", "hi"}}}}, {"isError", false}}));

    auto error_text = [&](const std::string& name, const json& args) {
        json r = call(name, args);
        EXPECT_EQ(r["result"]["isError"], true) << name;
        return r["result"]["content"][0]["text"].get<std::string>();
    };
    EXPECT_EQ(error_text("echo", {{"text", 5}}), "Invalid arguments: 'text' must be a string, got an integer.");
    EXPECT_EQ(error_text("echo", json::object()), "Invalid arguments: 'text' (a string) is required.");
    EXPECT_EQ(error_text("too_large", {}),
              "ERROR: FILE_TOO_LARGE\nFile exceeds size limit (5MB or 100,000 lines). Please split the file.");
    EXPECT_EQ(error_text("bad_utf8", {}),
              "ERROR: ENCODING_ERROR\nFile is not valid UTF-8. Only UTF-8 text files are supported.");
    EXPECT_EQ(error_text("refused", {}),
              "File /p/x.md is being modified by another Quillbox process (waited 3 s); the operation was "
              "cancelled. Try again shortly.");
    EXPECT_EQ(error_text("gone", {}), "File not found: /p/x.md");
    EXPECT_EQ(error_text("crash", {}), "Error: the operation failed unexpectedly.");

    // A Chinese session reads every one of them in Chinese, the facts unchanged.
    struct Zh {
        ~Zh() { set_language("en"); }
    } zh;
    set_language("zh");
    const std::pair<const char*, json> calls[] = {
        {"echo", {{"text", 5}}}, {"echo", json::object()}, {"echo", {{"txt", "a"}}}, {"too_large", {}},
        {"bad_utf8", {}},        {"refused", {}},          {"gone", {}},            {"crash", {}}};
    for (const auto& [name, args] : calls) {
        const std::string text = error_text(name, args);
        // Lead bytes E4..E9: CJK ideographs U+4E00..U+9FFF.
        EXPECT_TRUE(std::any_of(text.begin(), text.end(), [](char c) {
            return static_cast<unsigned char>(c) >= 0xE4 && static_cast<unsigned char>(c) <= 0xE9;
        })) << text;
        EXPECT_EQ(text.find("Error"), std::string::npos) << text;
    }
    EXPECT_NE(error_text("refused", {}).find("/p/x.md"), std::string::npos);

    json not_object = send(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"echo","arguments":[1]}})");
    EXPECT_EQ(not_object["result"]["isError"], true);
    EXPECT_EQ(send(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"nope"}})")["error"]["code"],
              jsonrpc::INVALID_PARAMS);
    EXPECT_EQ(send(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{}})")["error"]["code"],
              jsonrpc::INVALID_PARAMS);
}

TEST(ToolArguments, IntegersAndBooleansAreTypeChecked) {
    json args = {{"n", 3}, {"f", 2.0}, {"x", 2.5}, {"b", true}, {"s", "3"}, {"none", nullptr}};
    EXPECT_EQ(require_integer(args, "n"), 3);
    EXPECT_EQ(require_integer(args, "f"), 2);
    EXPECT_THROW(require_integer(args, "x"), ToolArgumentError);
    EXPECT_THROW(require_integer(args, "s"), ToolArgumentError);
    // Reals outside the range of long long are refused, not cast.
    for (double huge : {1e300, -1e300, 9.3e18})
        EXPECT_THROW(require_integer(json{{"n", huge}}, "n"), ToolArgumentError) << huge;
    EXPECT_EQ(optional_integer(args, "none"), std::nullopt);
    EXPECT_TRUE(optional_bool(args, "b", false));
    EXPECT_TRUE(optional_bool(args, "missing", true));
    EXPECT_THROW(optional_bool(args, "n", false), ToolArgumentError);
}

TEST(ToolRegistryTest, RejectsDuplicatesAndRegistersTheCoreTools) {
    ToolRegistry r;
    register_all_tools(r);
    for (const char* name : {"md_list_blocks", "md_read_block", "md_replace_block", "md_find_blocks", "read_file"})
        EXPECT_NE(r.find(name), nullptr) << name;
    EXPECT_TRUE(r.find("md_replace_block")->annotations.destructive);
    EXPECT_TRUE(r.find("md_read_block")->annotations.read_only);
    EXPECT_THROW(r.add(tool("md_list_blocks", [](ToolContext&, const json&) { return std::string(); })),
                 std::logic_error);
}

// The tool list is sent with every request of the agent's session: it must not creep back up.
// Calibrated once with the Claude tokenizer (the tokenizer.json of anthropic 0.34.2, as
// bench/token_economy.sh sets it up), counting the tools array as json.dumps writes it: 16 tools,
// 7,919 bytes as the server sends them, 2,420 tokens (0.306 a byte). So 8,150 bytes stay under
// 2,500 tokens.
// The shared guidance is said once, in the instructions, which Claude Code cuts past 2 KB.
TEST(ToolRegistryTest, TheToolListAndTheInstructionsStaySmall) {
    constexpr std::size_t TOOL_LIST_BYTE_CAP = 8150;
    constexpr std::size_t INSTRUCTIONS_BYTE_CAP = 2048;
    ToolRegistry r;
    register_all_tools(r);
    json list = json::array();
    for (const auto& spec : r.all()) {
        list.push_back(ToolRegistry::describe(spec));
        // One or two sentences: what the tool does and when to pick it.
        EXPECT_LE(spec.description.size(), 240u) << spec.name << ": " << spec.description;
    }
    EXPECT_LE((json{{"tools", list}}.dump().size()), TOOL_LIST_BYTE_CAP);
    for (const char* language : {"en", "zh"}) {
        set_language(language);
        EXPECT_LE(server_instructions().size(), INSTRUCTIONS_BYTE_CAP) << language;
        // The guidance the descriptions no longer repeat.
        for (const char* said : {"isError", "heading", "block_id", "file_path", "offset", "FILE_CHANGED"})
            EXPECT_NE(server_instructions().find(said), std::string::npos) << language << ": " << said;
    }
    set_language("en");
}

TEST(TurnClockTest, APauseLongerThanTheIdleTimeStartsATurn) {
    TurnClock clock(30.0);
    EXPECT_FALSE(clock.call_starts(100.0));  // the first call of a session
    clock.call_ends(101.0);
    EXPECT_FALSE(clock.call_starts(131.0));  // exactly the idle time: same turn
    clock.call_ends(131.5);
    EXPECT_TRUE(clock.call_starts(162.0));
    clock.reset();
    EXPECT_FALSE(clock.call_starts(1000.0));
}

}  // namespace

// Cut anywhere, the start of a request line gives its own id or none, never another value; and
// once the cut is past the id, the id.
TEST(OversizedLine, TheIdReadFromTheStartOfALineIsTheRequestsOwnOrNone) {
    const std::vector<std::pair<std::string, json>> lines = {
        {R"({"jsonrpc":"2.0","id":17,"method":"tools/call","params":{"arguments":{"query":"xxxxxxxx"}}})", 17},
        {R"({"method":"tools/call","params":{"id":99,"name":"md_read_block","arguments":{"id":5}},"id":"abc-1"})",
         "abc-1"},
        {R"( { "id" : -3 , "jsonrpc" : "2.0" , "method" : "ping" })", -3},
        {R"({"jsonrpc":"2.0","params":{"x":[{"id":1},{"id":2}]},"method":"m","id":"\u00e9t\u00e9"})", "été"},
        {R"({"id":{"nested":1},"method":"m"})", nullptr},
        {R"({"id":1.5,"method":"m"})", nullptr},
    };
    for (const auto& [line, id] : lines) {
        bool seen = false;
        for (std::size_t cut = 0; cut <= line.size(); ++cut) {
            const json got = request_id_from_start(std::string_view(line).substr(0, cut));
            if (got.is_null()) {
                EXPECT_FALSE(seen) << line << " cut at " << cut;
                continue;
            }
            EXPECT_EQ(got, id) << line << " cut at " << cut;
            seen = true;
        }
        EXPECT_EQ(seen, !id.is_null()) << line;
    }
    const json answer = json::parse(McpProtocol::oversized_line_response(R"({"jsonrpc":"2.0","id":8,"params":{"q":"aaa)"));
    EXPECT_EQ(answer["id"], 8);
    EXPECT_EQ(answer["error"]["code"], jsonrpc::INVALID_REQUEST);
    EXPECT_NE(answer["error"]["message"].get<std::string>().find(std::to_string(MAX_REQUEST_BYTES)), std::string::npos);
}
