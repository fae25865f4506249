#pragma once
// Registering the server with MCP clients: the project's .mcp.json (Claude Code) and the
// snippets for other clients.

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quillbox::host {

// An existing client file that cannot be merged (not JSON, or not the expected shape).
class ClientConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The JSON object in a client or settings file; an empty or blank text is an empty object.
// Throws ClientConfigError for text that is not JSON or not an object.
nlohmann::ordered_json parse_client_file(std::string_view existing);

// {"command": <exe>, "args": ["serve", "--root", <root>]}; with the "type": "stdio" entry
// that Claude Code and VS Code expect when `with_type`.
nlohmann::ordered_json server_entry(const std::filesystem::path& exe, const std::filesystem::path& root,
                                    bool with_type);

// The project root as Claude Code gives it to project-scoped servers: the environment variable
// it sets, expanded in .mcp.json, else the directory it starts them in.
inline constexpr std::string_view PORTABLE_ROOT_ARG = "${CLAUDE_PROJECT_DIR:-.}";

// {"type": "stdio", "command": "quillbox", "args": ["serve", "--root", PORTABLE_ROOT_ARG]}: an
// entry without machine paths, for a `quillbox` on PATH.
nlohmann::ordered_json portable_server_entry();

// The text of a client file with our entry set under `servers_key`, everything else kept in
// order. `existing` may be empty (a new file). Throws ClientConfigError.
std::string merge_server_entry(std::string_view existing, std::string_view servers_key,
                               const nlohmann::ordered_json& entry);

// The text without our entry; nothing when no other content remains (the file can go).
// Throws ClientConfigError.
std::optional<std::string> remove_server_entry(std::string_view existing, std::string_view servers_key);

// Our entry under `servers_key`, or none (also for an empty text). Throws ClientConfigError.
std::optional<nlohmann::ordered_json> find_server_entry(std::string_view existing, std::string_view servers_key);

// Single-quoted for POSIX shells when needed.
std::string shell_quote(std::string_view word);

// `claude mcp add --scope project quillbox -- <exe> serve --root <root>`
std::string claude_mcp_add_line(const std::filesystem::path& exe, const std::filesystem::path& root);

// Instructions and JSON for Claude Desktop, Cursor and VS Code.
std::string other_client_snippets(const std::filesystem::path& exe, const std::filesystem::path& root);

inline constexpr std::string_view SERVER_NAME = "quillbox";

}  // namespace quillbox::host
