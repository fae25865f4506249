#pragma once
// The MCP protocol over JSON-RPC 2.0: one message per line in, at most one line out.
// Transport-free so that tests can drive it line by line; serve.cpp adds stdio and signals.

#include <nlohmann/json.hpp>

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "host/tools.h"

namespace quillbox::host {

inline constexpr std::string_view MCP_CURRENT_VERSION = "2025-11-25";
inline constexpr std::array<std::string_view, 4> MCP_SUPPORTED_VERSIONS{
    "2025-11-25", "2025-06-18", "2025-03-26", "2024-11-05"};

// The client's version when it is one we speak, else the current one.
std::string negotiate_protocol_version(const nlohmann::json& requested);

namespace jsonrpc {
inline constexpr int PARSE_ERROR = -32700;
inline constexpr int INVALID_REQUEST = -32600;
inline constexpr int METHOD_NOT_FOUND = -32601;
inline constexpr int INVALID_PARAMS = -32602;
inline constexpr int INTERNAL_ERROR = -32603;
}  // namespace jsonrpc

class McpProtocol {
public:
    struct Hooks {
        std::function<void()> on_initialize;                 // a (new) session begins
        std::function<void(const ToolSpec&)> before_tool;    // right before a handler runs
        std::function<void(const ToolSpec&)> after_tool;     // right after it returned
    };

    McpProtocol(const ToolRegistry& tools, ToolContext& context, Hooks hooks = {});

    // One input line (without its line feed). Returns the response line to write (without line
    // feed), or nothing for notifications, responses and blank lines.
    std::optional<std::string> handle_line(std::string_view line);

    // The answer to a line that was dropped for its length: a parse error.
    static std::string oversized_line_response();

    // One parsed message (object or batch array); nothing when no response is due.
    std::optional<nlohmann::json> handle_message(const nlohmann::json& message);

    const std::string& protocol_version() const { return protocol_version_; }
    bool initialized() const { return initialized_; }

    // Serialises one message for the wire: compact, invalid UTF-8 replaced, no line feed.
    static std::string serialize(const nlohmann::json& message);

private:
    std::optional<nlohmann::json> handle_single(const nlohmann::json& message);
    nlohmann::json dispatch(const std::string& method, const nlohmann::json& params);
    nlohmann::json initialize(const nlohmann::json& params);
    nlohmann::json call_tool(const nlohmann::json& params);

    const ToolRegistry& tools_;
    ToolContext& context_;
    Hooks hooks_;
    std::string protocol_version_{MCP_CURRENT_VERSION};
    bool initialized_ = false;
};

// A JSON-RPC error to answer with (thrown inside dispatch).
struct RpcError {
    int code;
    std::string message;
};

}  // namespace quillbox::host
