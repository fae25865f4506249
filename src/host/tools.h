#pragma once
// The MCP tool table. Each group of tools lives in its own file and adds itself through one
// registration function (register_core_tools in tools_core.cpp, …); the server calls
// register_all_tools once. A handler gets the current MCP session and the call's
// arguments and returns the operation's reply. Errors become tool results with isError: the
// operations' refusals, ToolError / ToolArgumentError for your own, and the operations'
// exceptions, which run_tool maps to clear texts.

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "quillbox/blockops.h"

namespace quillbox::host {

using json = nlohmann::json;
class Config;
class BackgroundIndex;

// What one tool call works on: the current MCP session (the host replaces it when a new
// session starts) and the project's settings. Null pointers only in tests that do not touch
// them.
struct ToolContext {
    Session* session = nullptr;
    const Config* config = nullptr;
    const BackgroundIndex* background = nullptr;  // the project's index being built, if any
    // Set for the length of one call when its client asked for progress (a progressToken):
    // sends a progress notification. `progress` grows from call to call.
    std::function<void(double progress, double total, const std::string& message)> report_progress;
};

// Every hint is stated explicitly in tools/list.
struct ToolAnnotations {
    bool read_only = false;
    bool destructive = false;
    bool idempotent = false;
    bool open_world = false;
};

// A handler answers with the operation's reply; a reply marked as a refusal becomes an error
// result with the same text.
using ToolHandler = std::function<Reply(ToolContext&, const json& arguments)>;

struct ToolSpec {
    std::string name;
    std::string title;        // for people reading the code; not listed
    std::string description;  // tells the agent when and how to use the tool
    json input_schema;        // JSON Schema of `arguments` (type object)
    ToolAnnotations annotations;
    ToolHandler handler;
};

// A failure the agent should see as an error result, with this text.
class ToolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// Arguments of the wrong type, or a required one missing.
class ToolArgumentError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// What an error result means, appended to every tool's description.
class ToolRegistry {
public:
    // Throws std::logic_error for a duplicate name or a spec without handler.
    void add(ToolSpec spec);
    const ToolSpec* find(std::string_view name) const;
    const std::vector<ToolSpec>& all() const { return tools_; }
    // The tools/list entry of one tool.
    static json describe(const ToolSpec& spec);

private:
    std::vector<ToolSpec> tools_;
};

// Tool groups. Each adds its tools to the registry; call each once.
void register_core_tools(ToolRegistry& registry);       // list, read, replace, find, read_file
void register_structure_tools(ToolRegistry& registry);  // edit, toc, heading level, move
void register_search_tools(ToolRegistry& registry);     // semantic search
void register_link_tools(ToolRegistry& registry);       // link check, rename, front matter, undo
void register_all_tools(ToolRegistry& registry);

struct ToolOutcome {
    std::string text;
    bool is_error = false;
};

// Runs the handler; every exception becomes an error outcome with a text that helps the
// agent (file too large, invalid UTF-8, refused write, bad arguments, …). An answer over the
// result budget is cut at a line boundary and says so in its last line.
ToolOutcome run_tool(const ToolSpec& spec, ToolContext& context, const json& arguments);

// Argument helpers: throw ToolArgumentError naming the argument and the expected type.
std::string require_string(const json& args, std::string_view name);
std::optional<std::string> optional_string(const json& args, std::string_view name);
long long require_integer(const json& args, std::string_view name);
std::optional<long long> optional_integer(const json& args, std::string_view name);
bool optional_bool(const json& args, std::string_view name, bool fallback);
// A non-empty array of strings.
std::vector<std::string> require_string_array(const json& args, std::string_view name);
// Nothing when absent or null; otherwise as require_string_array.
std::optional<std::vector<std::string>> optional_string_array(const json& args, std::string_view name);
// The object `name`, or null when absent.
const json* optional_object(const json& args, std::string_view name);

// A number of the request that no double can hold (1e400). The line reader puts this marker in
// its place so that the rest of the request still parses; the argument helpers refuse it.
json out_of_range_number(std::string token);
// The number's text when `value` is such a marker.
std::optional<std::string> out_of_range_token(const json& value);

// Refuses (ToolArgumentError) every argument the tool's input schema does not name, suggesting
// the closest name it does; run_tool does this before the handler runs.
void check_argument_names(const ToolSpec& spec, const json& arguments);

// Schema helpers for the common shapes.
// Schema properties; an empty description is left out (most names say what they hold, and every
// word here is paid for on every request).
json string_property(std::string_view description = {});
json integer_property(std::string_view description = {}, std::optional<long long> minimum = std::nullopt);
json boolean_property(std::string_view description, bool fallback);
json object_schema(json properties, std::vector<std::string> required);

}  // namespace quillbox::host
