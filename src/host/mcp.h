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

// Two eras of the protocol. Modern revisions carry the version and the client's capabilities in
// every request's `_meta` and have no handshake; legacy revisions open with `initialize`.
inline constexpr std::string_view MCP_CURRENT_VERSION = "2026-07-28";
inline constexpr std::array<std::string_view, 1> MCP_MODERN_VERSIONS{"2026-07-28"};
inline constexpr std::string_view MCP_HANDSHAKE_VERSION = "2025-11-25";  // newest legacy revision
inline constexpr std::array<std::string_view, 4> MCP_HANDSHAKE_VERSIONS{
    "2025-11-25", "2025-06-18", "2025-03-26", "2024-11-05"};

// Every version served, newest first: what `server/discover` and the version error list.
nlohmann::json mcp_supported_versions();

// The version an `initialize` answers with: the client's when it is a legacy one we speak, else
// the newest legacy one (a handshake never selects a modern revision).
std::string negotiate_protocol_version(const nlohmann::json& requested);

// The guidance every tool shares, in the project's language: the server's `instructions`.
std::string server_instructions();

// Reserved `_meta` keys of the modern revisions.
namespace mcp_meta {
inline constexpr const char* PROTOCOL_VERSION = "io.modelcontextprotocol/protocolVersion";
inline constexpr const char* CLIENT_CAPABILITIES = "io.modelcontextprotocol/clientCapabilities";
inline constexpr const char* CLIENT_INFO = "io.modelcontextprotocol/clientInfo";
inline constexpr const char* SERVER_INFO = "io.modelcontextprotocol/serverInfo";
}  // namespace mcp_meta

namespace jsonrpc {
inline constexpr int PARSE_ERROR = -32700;
inline constexpr int INVALID_REQUEST = -32600;
inline constexpr int METHOD_NOT_FOUND = -32601;
inline constexpr int INVALID_PARAMS = -32602;
inline constexpr int INTERNAL_ERROR = -32603;
inline constexpr int UNSUPPORTED_PROTOCOL_VERSION = -32022;  // data: {supported, requested}
}  // namespace jsonrpc

// The longest request line served: 16 MiB, room for a Markdown file at the size limit (5 MB)
// written whole, escaped. A longer one is refused unread, which bounds what one request costs.
inline constexpr std::size_t MAX_REQUEST_BYTES = 16u << 20;

// The id of the request whose line starts with `start` (a top-level "id" member before the line
// was cut), or null when it cannot be read from there.
nlohmann::json request_id_from_start(std::string_view start);

class McpProtocol {
public:
    struct Hooks {
        // `initialize`, `server/discover`, or the first request of a modern client that did neither
        std::function<void()> on_session_start;
        std::function<void(const ToolSpec&)> before_tool;    // right before a handler runs
        std::function<void(const ToolSpec&)> after_tool;     // right after it returned
        // A note for the agent that goes with the answer (said once); empty when none.
        std::function<std::string()> take_note;
        // When it gives a text, every tool call is refused with it (isError) and no tool runs.
        std::function<std::string()> refusal;
    };

    McpProtocol(const ToolRegistry& tools, ToolContext& context, Hooks hooks = {});

    // One input line (without its line feed). Returns the response line to write (without line
    // feed), or nothing for notifications, responses and blank lines.
    std::optional<std::string> handle_line(std::string_view line);

    // Where notifications to the client go (progress); none: they are not sent.
    void set_notifier(std::function<void(const nlohmann::json&)> notify) { notify_ = std::move(notify); }

    // The answer to a line that was dropped for its length (over MAX_REQUEST_BYTES), given its
    // first bytes: an Invalid Request error that carries the request's id when those bytes name
    // it.
    static std::string oversized_line_response(std::string_view start = {});

    // One parsed message (object or batch array); nothing when no response is due.
    std::optional<nlohmann::json> handle_message(const nlohmann::json& message);

    // The legacy version the last `initialize` negotiated (modern requests name their own).
    const std::string& protocol_version() const { return protocol_version_; }
    bool initialized() const { return initialized_; }
    // How many sessions began: each `initialize` and each `server/discover` starts one, and so
    // does a modern request when none began before it.
    int sessions() const { return sessions_; }

    // Serialises one message for the wire: compact, invalid UTF-8 replaced, no line feed.
    static std::string serialize(const nlohmann::json& message);

private:
    std::optional<nlohmann::json> handle_single(const nlohmann::json& message);
    nlohmann::json dispatch(const std::string& method, const nlohmann::json& params);
    nlohmann::json dispatch_modern(const std::string& method, const nlohmann::json& params);
    nlohmann::json initialize(const nlohmann::json& params);
    nlohmann::json discover(const nlohmann::json& params);
    nlohmann::json list_tools() const;
    nlohmann::json call_tool(const nlohmann::json& params);
    void start_session(const std::string& how);

    const ToolRegistry& tools_;
    ToolContext& context_;
    Hooks hooks_;
    std::function<void(const nlohmann::json&)> notify_;
    std::string protocol_version_{MCP_HANDSHAKE_VERSION};
    bool initialized_ = false;
    int sessions_ = 0;
    bool modern_client_logged_ = false;
};

// A JSON-RPC error to answer with (thrown inside dispatch).
struct RpcError {
    int code;
    std::string message;
    nlohmann::json data = nullptr;  // sent as `data` unless null
};

}  // namespace quillbox::host
