#include "host/clients.h"

#include <fmt/format.h>

namespace fs = std::filesystem;
using ojson = nlohmann::ordered_json;

namespace quillbox::host {

ojson server_entry(const fs::path& exe, const fs::path& root, bool with_type) {
    ojson entry = ojson::object();
    if (with_type) entry["type"] = "stdio";
    entry["command"] = exe.string();
    entry["args"] = ojson::array({"serve", "--root", root.string()});
    return entry;
}

ojson portable_server_entry() {
    ojson entry = ojson::object();
    entry["type"] = "stdio";
    entry["command"] = std::string(SERVER_NAME);
    entry["args"] = ojson::array({"serve", "--root", std::string(PORTABLE_ROOT_ARG)});
    return entry;
}

ojson parse_client_file(std::string_view existing) {
    if (existing.find_first_not_of(" \t\r\n") == std::string_view::npos) return ojson::object();
    ojson doc;
    try {
        doc = ojson::parse(existing);
    } catch (const ojson::parse_error& e) {
        throw ClientConfigError(fmt::format("it is not valid JSON ({})", e.what()));
    }
    if (!doc.is_object()) throw ClientConfigError("its top level is not a JSON object");
    return doc;
}

std::string merge_server_entry(std::string_view existing, std::string_view servers_key, const ojson& entry) {
    ojson doc = parse_client_file(existing);
    const std::string key(servers_key);
    if (!doc.contains(key) || doc[key].is_null()) doc[key] = ojson::object();
    if (!doc[key].is_object()) throw ClientConfigError(fmt::format("its \"{}\" entry is not an object", key));
    doc[key][std::string(SERVER_NAME)] = entry;
    return doc.dump(2) + "\n";
}

std::optional<std::string> remove_server_entry(std::string_view existing, std::string_view servers_key) {
    ojson doc = parse_client_file(existing);
    const std::string key(servers_key);
    if (doc.contains(key)) {
        if (!doc[key].is_object()) throw ClientConfigError(fmt::format("its \"{}\" entry is not an object", key));
        doc[key].erase(std::string(SERVER_NAME));
        if (doc[key].empty()) doc.erase(key);
    }
    if (doc.empty()) return std::nullopt;
    return doc.dump(2) + "\n";
}

std::optional<ojson> find_server_entry(std::string_view existing, std::string_view servers_key) {
    ojson doc = parse_client_file(existing);
    auto servers = doc.find(std::string(servers_key));
    if (servers == doc.end() || !servers->is_object()) return std::nullopt;
    auto entry = servers->find(std::string(SERVER_NAME));
    if (entry == servers->end()) return std::nullopt;
    return *entry;
}

std::string shell_quote(std::string_view word) {
    bool plain = !word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                         "0123456789-_./=:@+,%") == std::string_view::npos;
    if (plain) return std::string(word);
    std::string out = "'";
    for (char c : word) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::string claude_mcp_add_line(const fs::path& exe, const fs::path& root) {
    return fmt::format("claude mcp add --scope project {} -- {} serve --root {}", SERVER_NAME,
                       shell_quote(exe.string()), shell_quote(root.string()));
}

std::string other_client_snippets(const fs::path& exe, const fs::path& root) {
    ojson servers = ojson::object();
    servers["mcpServers"][std::string(SERVER_NAME)] = server_entry(exe, root, false);
    ojson vscode = ojson::object();
    vscode["servers"][std::string(SERVER_NAME)] = server_entry(exe, root, true);
    return fmt::format(
        "Claude Desktop (claude_desktop_config.json) and Cursor (.cursor/mcp.json in the project, or\n"
        "~/.cursor/mcp.json): add this entry to \"mcpServers\":\n{}\n\n"
        "VS Code (.vscode/mcp.json in the project; note the key \"servers\"):\n{}\n",
        servers.dump(2), vscode.dump(2));
}

}  // namespace quillbox::host
