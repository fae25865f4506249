#pragma once
// Registering the server with MCP clients: the project file each client reads (Claude Code's
// .mcp.json, Codex's .codex/config.toml, Gemini CLI's .gemini/settings.json, VS Code's
// .vscode/mcp.json, Cursor's .cursor/mcp.json), edited so that every other entry stays.

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

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

// The MCP clients `install --client` knows.
enum class Client { claude, codex, gemini, vscode, cursor };

struct ClientInfo {
    Client id;
    std::string_view name;         // as given to --client
    std::string_view display;      // "VS Code"
    std::string_view file;         // relative to the project root
    std::string_view servers_key;  // the object (JSON) or table (TOML) holding the servers
    bool reads_agents_md;          // the rules section goes into AGENTS.md for it
};

// Every client, Claude Code first.
const std::vector<ClientInfo>& all_clients();
const ClientInfo& client_info(Client c);
std::optional<Client> parse_client(std::string_view name);

// The entry for a client: `quillbox` and a root the client fills in when `portable` (the
// program is on PATH), else this machine's program and root. Codex and Gemini CLI start
// servers in the directory they run in, which `serve` takes for its root.
nlohmann::ordered_json client_server_entry(Client c, const std::filesystem::path& exe,
                                           const std::filesystem::path& root, bool portable);

// The same three operations as above for any client's file: JSON for most, TOML for Codex.
// A TOML file keeps its text (comments, order) outside our table when it can. All throw
// ClientConfigError for a file that is not of the client's format.
std::string merge_client_entry(Client c, std::string_view existing, const nlohmann::ordered_json& entry);
std::optional<std::string> remove_client_entry(Client c, std::string_view existing);
std::optional<nlohmann::ordered_json> find_client_entry(Client c, std::string_view existing);
// Whether the file's text holds nothing at all (an empty object or table).
bool client_file_is_empty(Client c, std::string_view text);

// Codex's config.toml: our [mcp_servers.quillbox] table (`entry` holds "command" and "args").
std::string merge_codex_entry(std::string_view existing, const nlohmann::ordered_json& entry);
std::optional<std::string> remove_codex_entry(std::string_view existing);
std::optional<nlohmann::ordered_json> find_codex_entry(std::string_view existing);

// Gemini CLI reads AGENTS.md only when its settings name it among the context files
// (`context.fileName`, or the older top-level `contextFileName`). The settings text with
// AGENTS.md added (GEMINI.md kept when nothing was set), and whether it was missing.
inline constexpr std::string_view AGENTS_MD = "AGENTS.md";
struct ContextFileEdit {
    std::string text;
    bool added = false;
    nlohmann::ordered_json before;  // the setting as it was (null when unset), to restore
};
ContextFileEdit add_gemini_context_file(std::string_view existing);
// Undoes add_gemini_context_file: the setting back to `before` while it still reads as we
// left it, else only AGENTS.md taken out. Nothing when the text does not name AGENTS.md.
std::optional<std::string> remove_gemini_context_file(std::string_view existing, const nlohmann::ordered_json& before);
bool gemini_reads_agents_md(std::string_view existing);

}  // namespace quillbox::host
