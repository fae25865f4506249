#include "host/mcp.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "host/log.h"
#include "quillbox/version.h"

namespace quillbox::host {

using json = nlohmann::json;

namespace {

constexpr const char* INSTRUCTIONS =
    "Quillbox edits Markdown files one heading section at a time. For a .md file: call "
    "md_list_blocks with short_ids (or md_find_blocks) to get block ids, md_read_block to read one "
    "section, then md_patch_block to change a word, a line or a paragraph in it (old text -> new "
    "text), or md_replace_block to rewrite the whole section. Never invent block ids. After a file "
    "changed outside these tools, list it again. read_file reads any text file and answers with a "
    "short cached marker when you already hold its current content. A cut answer's last line says "
    "how to get the rest. A tool result with isError true changed nothing: its text says why and "
    "what to do before trying again.";

json error_response(const json& id, int code, std::string message) {
    return json{{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", std::move(message)}}}};
}

bool valid_id(const json& id) { return id.is_string() || id.is_number_integer() || id.is_number_unsigned(); }

// Deeper nesting than any message of ours needs; refusing it before parsing keeps a hostile line
// from costing gigabytes of nodes.
constexpr std::size_t MAX_NESTING = 256;

struct LineScan {
    std::size_t depth = 0;                 // deepest nesting outside strings
    std::optional<std::string> rewritten;  // the line with overflowing numbers marked, when it has any
};

// One pass over the line outside strings: the nesting depth, and every number token that does not
// fit a double (1e400) replaced by an out-of-range marker, so that the rest of the message still
// parses and the number is refused where it is used.
LineScan scan_line(std::string_view line) {
    LineScan scan;
    std::size_t depth = 0;
    std::size_t copied = 0;  // bytes of `line` already moved into scan.rewritten
    for (std::size_t i = 0; i < line.size();) {
        const char c = line[i];
        if (c == '"') {
            for (++i; i < line.size() && line[i] != '"'; ++i)
                if (line[i] == '\\') ++i;
            ++i;
            continue;
        }
        if (c == '[' || c == '{') {
            scan.depth = std::max(scan.depth, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            std::size_t end = i + 1;
            bool exponent = false;
            while (end < line.size() && (std::isdigit(static_cast<unsigned char>(line[end])) || line[end] == '.' ||
                                         line[end] == 'e' || line[end] == 'E' || line[end] == '+' || line[end] == '-')) {
                exponent = exponent || line[end] == 'e' || line[end] == 'E';
                ++end;
            }
            const std::string token(line.substr(i, end - i));
            // Below 300 digits without an exponent a double cannot overflow.
            if (exponent || token.size() > 300) {
                errno = 0;
                const double value = std::strtod(token.c_str(), nullptr);
                if (!std::isfinite(value)) {
                    if (!scan.rewritten) scan.rewritten.emplace();
                    scan.rewritten->append(line.substr(copied, i - copied));
                    scan.rewritten->append(out_of_range_number(token).dump());
                    copied = end;
                }
            }
            i = end;
            continue;
        }
        ++i;
    }
    if (scan.rewritten) scan.rewritten->append(line.substr(copied));
    return scan;
}

// A string member of an object, or the fallback for a missing one or another type.
std::string string_member(const json& object, const char* key, std::string fallback) {
    if (!object.is_object()) return fallback;
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : fallback;
}

}  // namespace

std::string negotiate_protocol_version(const json& requested) {
    if (requested.is_string()) {
        auto v = requested.get<std::string>();
        for (auto s : MCP_SUPPORTED_VERSIONS)
            if (v == s) return v;
    }
    return std::string(MCP_CURRENT_VERSION);
}

McpProtocol::McpProtocol(const ToolRegistry& tools, ToolContext& context, Hooks hooks)
    : tools_(tools), context_(context), hooks_(std::move(hooks)) {}

std::string McpProtocol::serialize(const json& message) {
    return message.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string McpProtocol::oversized_line_response() {
    return serialize(error_response(nullptr, jsonrpc::PARSE_ERROR, "Parse error: the line is not valid JSON"));
}

std::optional<std::string> McpProtocol::handle_line(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos) return std::nullopt;
    // Nothing a client sends may end the server: every failure here is an error answer.
    try {
        const LineScan scan = scan_line(line);
        if (scan.depth > MAX_NESTING)
            return serialize(error_response(nullptr, jsonrpc::INVALID_REQUEST,
                                            fmt::format("Invalid Request: nested deeper than {} levels", MAX_NESTING)));
        json message;
        try {
            message = json::parse(scan.rewritten ? std::string_view(*scan.rewritten) : line);
        } catch (const json::exception& e) {
            log_line(Level::warning, "unreadable message ({} bytes): {}", line.size(), e.what());
            return serialize(error_response(nullptr, jsonrpc::PARSE_ERROR, "Parse error: the line is not valid JSON"));
        }
        auto response = handle_message(message);
        if (!response) return std::nullopt;
        return serialize(*response);
    } catch (const std::exception& e) {
        log_line(Level::error, "message failed: {}", e.what());
        return serialize(error_response(nullptr, jsonrpc::INTERNAL_ERROR, fmt::format("Internal error: {}", e.what())));
    }
}

std::optional<json> McpProtocol::handle_message(const json& message) {
    if (message.is_array()) {
        if (message.empty())
            return error_response(nullptr, jsonrpc::INVALID_REQUEST, "Invalid Request: empty batch");
        json responses = json::array();
        for (const auto& m : message)
            if (auto r = handle_single(m)) responses.push_back(std::move(*r));
        if (responses.empty()) return std::nullopt;
        return responses;
    }
    return handle_single(message);
}

std::optional<json> McpProtocol::handle_single(const json& message) {
    if (!message.is_object())
        return error_response(nullptr, jsonrpc::INVALID_REQUEST, "Invalid Request: a message must be a JSON object");

    bool has_id = message.contains("id");
    if (has_id && !valid_id(message["id"]))
        return error_response(nullptr, jsonrpc::INVALID_REQUEST,
                              "Invalid Request: 'id' must be a string or an integer");
    const json id = has_id ? message["id"] : json(nullptr);

    if (!message.contains("method")) {
        // A response to a request of ours (we send none) or garbage.
        if (message.contains("result") || message.contains("error")) return std::nullopt;
        return error_response(id, jsonrpc::INVALID_REQUEST, "Invalid Request: no 'method'");
    }
    auto version = message.find("jsonrpc");
    if (version == message.end() || *version != "2.0")
        return has_id ? std::optional(error_response(id, jsonrpc::INVALID_REQUEST,
                                                     "Invalid Request: 'jsonrpc' must be \"2.0\""))
                      : std::nullopt;
    const json& method = message["method"];
    if (!method.is_string())
        return has_id ? std::optional(error_response(id, jsonrpc::INVALID_REQUEST,
                                                     "Invalid Request: 'method' must be a string"))
                      : std::nullopt;
    static const json no_params = json::object();
    const json& params = message.contains("params") ? message["params"] : no_params;
    if (!params.is_object() && !params.is_array())
        return has_id ? std::optional(error_response(id, jsonrpc::INVALID_REQUEST,
                                                     "Invalid Request: 'params' must be an object"))
                      : std::nullopt;

    const auto name = method.get<std::string>();
    if (!has_id) {
        // Notifications never get an answer.
        if (name == "notifications/initialized") {
            log_line(Level::debug, "client ready");
        } else if (name != "notifications/cancelled") {
            log_line(Level::debug, "notification ignored: {}", name);
        }
        return std::nullopt;
    }
    try {
        return json{{"jsonrpc", "2.0"}, {"id", id}, {"result", dispatch(name, params)}};
    } catch (const RpcError& e) {
        return error_response(id, e.code, e.message);
    } catch (const std::exception& e) {
        log_line(Level::error, "{} failed: {}", name, e.what());
        return error_response(id, jsonrpc::INTERNAL_ERROR, fmt::format("Internal error: {}", e.what()));
    }
}

json McpProtocol::dispatch(const std::string& method, const json& params) {
    if (method == "initialize") return initialize(params);
    if (method == "ping") return json::object();
    if (method == "tools/list") {
        json list = json::array();
        for (const auto& spec : tools_.all()) list.push_back(ToolRegistry::describe(spec));
        return json{{"tools", std::move(list)}};
    }
    if (method == "tools/call") return call_tool(params);
    throw RpcError{jsonrpc::METHOD_NOT_FOUND, "Method not found: " + method};
}

json McpProtocol::initialize(const json& params) {
    protocol_version_ = negotiate_protocol_version(json(string_member(params, "protocolVersion", "")));
    std::string client = "unknown client";
    if (params.is_object() && params.contains("clientInfo") && params["clientInfo"].is_object()) {
        const auto& info = params["clientInfo"];
        client = fmt::format("{} {}", string_member(info, "name", "?"), string_member(info, "version", ""));
    }
    log_line(Level::info, "session started by {} (protocol {})", client, protocol_version_);
    if (hooks_.on_initialize) hooks_.on_initialize();
    initialized_ = true;
    return json{{"protocolVersion", protocol_version_},
                {"capabilities", {{"tools", {{"listChanged", false}}}}},
                {"serverInfo", {{"name", "quillbox"}, {"title", "Quillbox"}, {"version", QUILLBOX_VERSION}}},
                {"instructions", INSTRUCTIONS}};
}

json McpProtocol::call_tool(const json& params) {
    if (!params.is_object() || !params.contains("name") || !params["name"].is_string())
        throw RpcError{jsonrpc::INVALID_PARAMS, "Invalid params: tools/call needs a tool 'name' (string)"};
    const auto name = params["name"].get<std::string>();
    const ToolSpec* spec = tools_.find(name);
    if (!spec) throw RpcError{jsonrpc::INVALID_PARAMS, "Unknown tool: " + name};

    static const json no_arguments = json::object();
    const json& given = params.contains("arguments") ? params["arguments"] : no_arguments;
    const json& arguments = given.is_null() ? no_arguments : given;
    ToolOutcome outcome;
    if (!arguments.is_object()) {
        outcome = {"Invalid arguments: 'arguments' must be an object.", true};
    } else {
        log_line(Level::debug, "tools/call {}", name);
        if (hooks_.before_tool) hooks_.before_tool(*spec);
        outcome = run_tool(*spec, context_, arguments);
        if (hooks_.after_tool) hooks_.after_tool(*spec);
    }
    return json{{"content", json::array({{{"type", "text"}, {"text", outcome.text}}})},
                {"isError", outcome.is_error}};
}

}  // namespace quillbox::host
