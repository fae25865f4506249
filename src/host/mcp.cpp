#include "host/mcp.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "host/log.h"
#include "quillbox/i18n.h"
#include "quillbox/version.h"

namespace quillbox::host {

using json = nlohmann::json;

// Said once for every tool; Claude Code cuts instructions longer than 2 KB.
std::string server_instructions() { return get_message("server_instructions"); }

namespace {

json error_response(const json& id, int code, std::string message, json data = nullptr) {
    json error{{"code", code}, {"message", std::move(message)}};
    if (!data.is_null()) error["data"] = std::move(data);
    return json{{"jsonrpc", "2.0"}, {"id", id}, {"error", std::move(error)}};
}

json server_info() { return {{"name", "quillbox"}, {"title", "Quillbox"}, {"version", QUILLBOX_VERSION}}; }

json server_capabilities() { return {{"tools", {{"listChanged", false}}}}; }

// How long a modern client may keep the tool list and the discover answer: neither changes while
// the server runs.
constexpr int CACHE_TTL_MS = 60 * 60 * 1000;

// A modern request names its protocol version in `_meta`; its `_meta` then, else nothing.
const json* modern_meta(const json& params) {
    if (!params.is_object()) return nullptr;
    auto meta = params.find("_meta");
    if (meta == params.end() || !meta->is_object() || !meta->contains(mcp_meta::PROTOCOL_VERSION)) return nullptr;
    return &*meta;
}

// A modern answer: typed as complete and signed with the server's identity.
json modern_result(json result) {
    result["resultType"] = "complete";
    result["_meta"] = {{mcp_meta::SERVER_INFO, server_info()}};
    return result;
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

// "name version" of an Implementation object, for the log.
std::string client_name(const json& info) {
    if (!info.is_object()) return "unknown client";
    return fmt::format("{} {}", string_member(info, "name", "?"), string_member(info, "version", ""));
}

}  // namespace

json mcp_supported_versions() {
    json list = json::array();
    for (auto v : MCP_MODERN_VERSIONS) list.push_back(v);
    for (auto v : MCP_HANDSHAKE_VERSIONS) list.push_back(v);
    return list;
}

std::string negotiate_protocol_version(const json& requested) {
    if (requested.is_string()) {
        auto v = requested.get<std::string>();
        for (auto s : MCP_HANDSHAKE_VERSIONS)
            if (v == s) return v;
    }
    return std::string(MCP_HANDSHAKE_VERSION);
}

McpProtocol::McpProtocol(const ToolRegistry& tools, ToolContext& context, Hooks hooks)
    : tools_(tools), context_(context), hooks_(std::move(hooks)) {}

std::string McpProtocol::serialize(const json& message) {
    return message.dump(-1, ' ', false, json::error_handler_t::replace);
}

namespace {

// Reads events until the top-level "id" member's value, then stops.
class IdFinder : public json::json_sax_t {
public:
    json id = nullptr;

    bool null() override { return scalar(nullptr); }
    bool boolean(bool) override { return scalar(nullptr); }
    bool number_integer(number_integer_t v) override { return scalar(v); }
    bool number_unsigned(number_unsigned_t v) override { return scalar(v); }
    bool number_float(number_float_t, const string_t&) override { return scalar(nullptr); }
    bool string(string_t& v) override { return scalar(v); }
    bool binary(binary_t&) override { return scalar(nullptr); }
    bool start_object(std::size_t) override { return open(); }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(); }
    bool end_array() override { return close(); }
    bool key(string_t& k) override {
        at_id_ = depth_ == 1 && k == "id";
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const json::exception&) override { return false; }

private:
    bool scalar(json v) {
        if (depth_ == 1 && at_id_) {
            id = std::move(v);
            return false;  // found: the rest is not read
        }
        return true;
    }
    bool open() {
        if (depth_ == 1 && at_id_) return false;  // an id that is no scalar
        ++depth_;
        at_id_ = false;
        return true;
    }
    bool close() {
        --depth_;
        return true;
    }
    int depth_ = 0;
    bool at_id_ = false;
};

}  // namespace

json request_id_from_start(std::string_view start) {
    // Up to the last delimiter: a number at the very end may have been cut ("17" read as "1").
    const auto last = start.find_last_of(",}]");
    start = last == std::string_view::npos ? std::string_view() : start.substr(0, last + 1);
    IdFinder finder;
    json::sax_parse(start, &finder, json::input_format_t::json, /*strict=*/false);
    return valid_id(finder.id) ? finder.id : json(nullptr);
}

std::string McpProtocol::oversized_line_response(std::string_view start) {
    return serialize(error_response(request_id_from_start(start), jsonrpc::INVALID_REQUEST,
                                    get_message("request_too_large", {{"limit", MAX_REQUEST_BYTES}})));
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
        // `initialize` is the legacy handshake whatever else the request carries.
        const bool modern = name != "initialize" && modern_meta(params);
        json result = modern ? dispatch_modern(name, params) : dispatch(name, params);
        return json{{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
    } catch (const RpcError& e) {
        return error_response(id, e.code, e.message, e.data);
    } catch (const std::exception& e) {
        log_line(Level::error, "{} failed: {}", name, e.what());
        return error_response(id, jsonrpc::INTERNAL_ERROR, fmt::format("Internal error: {}", e.what()));
    }
}

json McpProtocol::dispatch(const std::string& method, const json& params) {
    if (method == "initialize") return initialize(params);
    if (method == "ping") return json::object();
    if (method == "tools/list") return list_tools();
    if (method == "tools/call") return call_tool(params);
    // A probe without a version still learns which versions to use.
    if (method == "server/discover") return modern_result(discover(params));
    throw RpcError{jsonrpc::METHOD_NOT_FOUND, "Method not found: " + method};
}

// A request of a modern revision: no handshake before it, its own version and capabilities in
// `_meta`, and a typed result.
json McpProtocol::dispatch_modern(const std::string& method, const json& params) {
    const json& meta = params["_meta"];
    const json& version = meta[mcp_meta::PROTOCOL_VERSION];
    if (!version.is_string())
        throw RpcError{jsonrpc::INVALID_PARAMS,
                       fmt::format("Invalid params: _meta \"{}\" must be a string", mcp_meta::PROTOCOL_VERSION)};
    if (std::find(MCP_MODERN_VERSIONS.begin(), MCP_MODERN_VERSIONS.end(), version.get<std::string>()) ==
        MCP_MODERN_VERSIONS.end())
        throw RpcError{jsonrpc::UNSUPPORTED_PROTOCOL_VERSION, "Unsupported protocol version",
                       json{{"supported", mcp_supported_versions()}, {"requested", version}}};
    if (method == "server/discover") return modern_result(discover(params));

    auto capabilities = meta.find(mcp_meta::CLIENT_CAPABILITIES);
    if (capabilities == meta.end() || !capabilities->is_object())
        throw RpcError{jsonrpc::INVALID_PARAMS,
                       fmt::format("Invalid params: _meta needs \"{}\" (an object; {{}} for none)",
                                   mcp_meta::CLIENT_CAPABILITIES)};
    // A client of the stateless revisions may never discover: its first request opens the session.
    if (sessions_ == 0) start_session("a stateless request");
    if (!modern_client_logged_) {
        modern_client_logged_ = true;
        log_line(Level::info, "serving {} (protocol {})", client_name(meta.value(mcp_meta::CLIENT_INFO, json())),
                 version.get<std::string>());
    }
    if (method == "tools/list") {
        json result = list_tools();
        result["ttlMs"] = CACHE_TTL_MS;
        result["cacheScope"] = "private";
        return modern_result(std::move(result));
    }
    if (method == "tools/call") return modern_result(call_tool(params));
    // `ping`, `initialize`'s companions and the rest of the legacy lifecycle are gone here.
    throw RpcError{jsonrpc::METHOD_NOT_FOUND, "Method not found: " + method};
}

void McpProtocol::start_session(const std::string& how) {
    ++sessions_;
    log_line(Level::debug, "session {} started by {}", sessions_, how);
    if (hooks_.on_session_start) hooks_.on_session_start();
}

json McpProtocol::initialize(const json& params) {
    protocol_version_ = negotiate_protocol_version(json(string_member(params, "protocolVersion", "")));
    const json info = params.is_object() ? params.value("clientInfo", json()) : json();
    log_line(Level::info, "session started by {} (protocol {})", client_name(info), protocol_version_);
    start_session("initialize");
    initialized_ = true;
    return json{{"protocolVersion", protocol_version_},
                {"capabilities", server_capabilities()},
                {"serverInfo", server_info()},
                {"instructions", server_instructions()}};
}

json McpProtocol::discover(const json& params) {
    const json* meta = modern_meta(params);
    log_line(Level::info, "session started by {} (server/discover, protocol {})",
             client_name(meta ? meta->value(mcp_meta::CLIENT_INFO, json()) : json()),
             meta ? string_member(*meta, mcp_meta::PROTOCOL_VERSION, "?") : std::string("not named"));
    start_session("server/discover");
    modern_client_logged_ = true;
    return json{{"supportedVersions", mcp_supported_versions()},
                {"capabilities", server_capabilities()},
                {"instructions", server_instructions()},
                {"ttlMs", CACHE_TTL_MS},
                {"cacheScope", "private"}};
}

json McpProtocol::list_tools() const {
    json list = json::array();
    for (const auto& spec : tools_.all()) list.push_back(ToolRegistry::describe(spec));
    return json{{"tools", std::move(list)}};
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
    if (std::string refused = hooks_.refusal ? hooks_.refusal() : std::string(); !refused.empty()) {
        outcome = {std::move(refused), true};
    } else if (!arguments.is_object()) {
        outcome = {get_message("arg_not_object"), true};
    } else {
        log_line(Level::debug, "tools/call {}", name);
        // A client that wants progress for this call names a token (a string or a number) in
        // its `_meta`; it gets it back as it sent it, with a progress that only grows.
        json token;
        if (auto meta = params.find("_meta"); notify_ && meta != params.end() && meta->is_object())
            if (auto t = meta->find("progressToken"); t != meta->end() && (t->is_string() || t->is_number()))
                token = *t;
        if (!token.is_null())
            context_.report_progress = [this, token, last = -1.0](double progress, double total,
                                                                  const std::string& message) mutable {
                if (!(progress > last)) return;
                last = progress;
                json p{{"progressToken", token}, {"progress", progress}, {"message", message}};
                if (total > 0) p["total"] = total;
                notify_(json{{"jsonrpc", "2.0"}, {"method", "notifications/progress"}, {"params", std::move(p)}});
            };
        // Nothing is reported once the call has its answer.
        struct EndOfCall {
            ToolContext& ctx;
            ~EndOfCall() { ctx.report_progress = nullptr; }
        } end_of_call{context_};
        if (hooks_.before_tool) hooks_.before_tool(*spec);
        outcome = run_tool(*spec, context_, arguments);
        if (hooks_.after_tool) hooks_.after_tool(*spec);
    }
    json content = json::array({{{"type", "text"}, {"text", outcome.text}}});
    if (hooks_.take_note)
        if (std::string note = hooks_.take_note(); !note.empty())
            content.push_back({{"type", "text"}, {"text", std::move(note)}});
    return json{{"content", std::move(content)}, {"isError", outcome.is_error}};
}

}  // namespace quillbox::host
