// Hostile lines and arguments: nothing a client sends may end the server, and every mistake gets
// an answer that names it.
#include <gtest/gtest.h>

#include <string>

#include "host/mcp.h"
#include "host/tools.h"

using namespace quillbox::host;
using nlohmann::json;

namespace {

class HostileInput : public ::testing::Test {
protected:
    HostileInput() {
        tools_.add({"adjust", "adjust", "test tool",
                    object_schema({{"block_id", string_property("id")},
                                   {"delta", json{{"type", "integer"}}},
                                   {"recursive", json{{"type", "boolean"}}}},
                                  {"block_id"}),
                    {},
                    [this](ToolContext&, const json& a) {
                        require_string(a, "block_id");
                        auto delta = optional_integer(a, "delta").value_or(0);
                        ++runs_;  // the arguments were accepted: the work would start here
                        return std::to_string(delta);
                    }});
    }

    json send(const std::string& line) {
        auto out = protocol_.handle_line(line);
        return out ? json::parse(*out) : json();
    }
    bool still_serving() {
        return send(R"({"jsonrpc":"2.0","id":77,"method":"ping"})") ==
               json{{"jsonrpc", "2.0"}, {"id", 77}, {"result", json::object()}};
    }
    json call(const std::string& arguments) {
        return send(R"({"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":"adjust","arguments":)" +
                    arguments + "}}");
    }

    ToolRegistry tools_;
    ToolContext context_;
    McpProtocol protocol_{tools_, context_};
    int runs_ = 0;
};

TEST_F(HostileInput, OverflowingNumbersAreAnsweredAndTheServerGoesOn) {
    for (const char* id : {"1e400", "-1e400", "1E+999"}) {
        json r = send(std::string(R"({"jsonrpc":"2.0","id":)") + id + R"(,"method":"ping"})");
        EXPECT_EQ(r["error"]["code"], jsonrpc::INVALID_REQUEST) << id;
        EXPECT_TRUE(r["id"].is_null()) << id;
        EXPECT_TRUE(still_serving()) << id;
    }
    // Anywhere else in the message the rest still counts: the reply keeps the request's id.
    json r = call(R"({"block_id":"b","delta":1e400})");
    EXPECT_EQ(r["id"], 5);
    EXPECT_EQ(r["result"]["isError"], true);
    EXPECT_EQ(r["result"]["content"][0]["text"], "Invalid arguments: 'delta' is out of range (1e400).");
    r = call(R"({"block_id":"b","delta":)" + std::string(400, '9') + "}");
    EXPECT_EQ(r["result"]["isError"], true);
    EXPECT_NE(r["result"]["content"][0]["text"].get<std::string>().find("'delta' is out of range"), std::string::npos);
    EXPECT_EQ(runs_, 0);
    // Numbers inside strings are text, and a small exponent is an ordinary number.
    EXPECT_EQ(call(R"({"block_id":"1e400","delta":2e0})")["result"]["content"][0]["text"], "2");
    EXPECT_EQ(send(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"capabilities":{"x":1e999}}})")
                  ["result"]["protocolVersion"],
              "2025-11-25");
    EXPECT_TRUE(still_serving());
}

TEST_F(HostileInput, MalformedLinesGetTheirErrorCode) {
    const std::string deep_array = std::string(100000, '[') + std::string(100000, ']');
    const std::string deep_args = R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"adjust","arguments":{"block_id":)" +
                                  std::string(5000, '[') + std::string(5000, ']') + "}}}";
    const std::string deep_string = std::string("\"").append(1000, '[').append("\"");
    struct Case {
        std::string line;
        int code;
    } cases[] = {
        {deep_array, jsonrpc::INVALID_REQUEST},
        {deep_args, jsonrpc::INVALID_REQUEST},
        {"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"p\xffing\"}", jsonrpc::PARSE_ERROR},
        {"\xc3\x28", jsonrpc::PARSE_ERROR},
        {R"({"jsonrpc":"2.0","id":1,"method":"ping"} trailing)", jsonrpc::PARSE_ERROR},
        {std::string(R"({"jsonrpc":"2.0","id":1,)") + '\0' + R"("method":"ping"})", jsonrpc::PARSE_ERROR},
        {R"({"jsonrpc":2,"id":1,"method":"ping"})", jsonrpc::INVALID_REQUEST},
        {R"({"jsonrpc":"2.0","id":[1],"method":"ping"})", jsonrpc::INVALID_REQUEST},
        {R"({"jsonrpc":"2.0","id":1.5,"method":"ping"})", jsonrpc::INVALID_REQUEST},
        {R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":["adjust"]}})", jsonrpc::INVALID_PARAMS},
        {R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":[1,2]})", jsonrpc::INVALID_PARAMS},
        {deep_string, jsonrpc::INVALID_REQUEST},  // a string is no message, however it looks inside
    };
    for (const auto& c : cases) {
        json r = send(c.line);
        EXPECT_EQ(r["error"]["code"], c.code) << c.line.substr(0, 60);
        EXPECT_TRUE(still_serving()) << c.line.substr(0, 60);
    }
}

TEST_F(HostileInput, WrongTypesInKnownPlacesAreTolerated) {
    json r = send(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":7,"clientInfo":{"name":5,"version":[]}}})");
    EXPECT_EQ(r["result"]["protocolVersion"], "2025-11-25");
    r = send(R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"adjust","arguments":null}})");
    EXPECT_EQ(r["result"]["content"][0]["text"], "Invalid arguments: 'block_id' (a string) is required.");
    EXPECT_TRUE(still_serving());
}

TEST_F(HostileInput, UnknownArgumentsAreRefusedBeforeAnyWork) {
    auto text = [&](const std::string& args) {
        json r = call(args);
        EXPECT_EQ(r["result"]["isError"], true) << args;
        return r["result"]["content"][0]["text"].get<std::string>();
    };
    EXPECT_EQ(text(R"({"block_id":"b","delta":1,"recursively":false})"),
              "Invalid arguments: unknown argument 'recursively'; did you mean 'recursive'? "
              "adjust takes: block_id, delta, dry_run, recursive.");
    EXPECT_EQ(text(R"({"block_id":"b","colour":"red"})"),
              "Invalid arguments: unknown argument 'colour'. adjust takes: block_id, delta, dry_run, recursive.");
    EXPECT_EQ(text(R"({"blockid":"b","zzz":1})"),
              "Invalid arguments: unknown argument 'blockid'; did you mean 'block_id'? unknown argument 'zzz'. "
              "adjust takes: block_id, delta, dry_run, recursive.");
    EXPECT_EQ(runs_, 0);
    EXPECT_EQ(call(R"({"block_id":"b","delta":3})")["result"]["content"][0]["text"], "3");
}

}  // namespace
