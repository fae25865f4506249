#include "host/clients.h"
#include "host/config.h"

#include <fmt/format.h>
#include <toml++/toml.h>

#include <regex>
#include <sstream>

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
        // VS Code's mcp.json may hold comments; they do not survive a rewrite.
        doc = ojson::parse(existing, nullptr, true, true);
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
    return fmt::format(
        "Codex, Gemini CLI, VS Code and Cursor: quillbox install --client codex,gemini,vscode,cursor (any of them)\n"
        "Claude Desktop (claude_desktop_config.json): add this entry to \"mcpServers\":\n{}\n",
        servers.dump(2));
}

const std::vector<ClientInfo>& all_clients() {
    static const std::vector<ClientInfo> table{
        {Client::claude, "claude", "Claude Code", ".mcp.json", "mcpServers", false},
        {Client::codex, "codex", "Codex", ".codex/config.toml", "mcp_servers", true},
        {Client::gemini, "gemini", "Gemini CLI", ".gemini/settings.json", "mcpServers", true},
        {Client::vscode, "vscode", "VS Code", ".vscode/mcp.json", "servers", true},
        {Client::cursor, "cursor", "Cursor", ".cursor/mcp.json", "mcpServers", true},
    };
    return table;
}

const ClientInfo& client_info(Client c) {
    for (const auto& info : all_clients())
        if (info.id == c) return info;
    throw std::logic_error("unknown client");
}

std::optional<Client> parse_client(std::string_view name) {
    for (const auto& info : all_clients())
        if (info.name == name) return info.id;
    return std::nullopt;
}

ojson client_server_entry(Client c, const fs::path& exe, const fs::path& root, bool portable) {
    switch (c) {
        case Client::claude:
            return portable ? portable_server_entry() : server_entry(exe, root, true);
        case Client::vscode:
        case Client::cursor: {
            // Both fill in ${workspaceFolder} themselves.
            ojson entry = portable ? server_entry(std::string(SERVER_NAME), "${workspaceFolder}", c == Client::vscode)
                                   : server_entry(exe, root, c == Client::vscode);
            return entry;
        }
        case Client::codex:
        case Client::gemini:
            break;
    }
    if (!portable) return server_entry(exe, root, false);
    ojson entry = ojson::object();
    entry["command"] = std::string(SERVER_NAME);
    entry["args"] = ojson::array({"serve"});
    return entry;
}

std::string merge_client_entry(Client c, std::string_view existing, const ojson& entry) {
    if (c == Client::codex) return merge_codex_entry(existing, entry);
    return merge_server_entry(existing, client_info(c).servers_key, entry);
}

bool toml_is_empty(std::string_view text);

std::optional<std::string> remove_client_entry(Client c, std::string_view existing) {
    if (c == Client::codex) return remove_codex_entry(existing);
    return remove_server_entry(existing, client_info(c).servers_key);
}

std::optional<ojson> find_client_entry(Client c, std::string_view existing) {
    if (c == Client::codex) return find_codex_entry(existing);
    return find_server_entry(existing, client_info(c).servers_key);
}

bool client_file_is_empty(Client c, std::string_view text) {
    if (c == Client::codex) return toml_is_empty(text);
    return parse_client_file(text).empty();
}

// --- Codex: config.toml ------------------------------------------------------------------------

namespace {

toml::table parse_toml(std::string_view text) {
    try {
        return toml::parse(text);
    } catch (const toml::parse_error& e) {
        throw ClientConfigError(fmt::format("it is not valid TOML ({}, line {})", e.description(),
                                            e.source().begin.line));
    }
}


// Our table as we write it: `command` and `args` from the JSON entry.
std::string codex_block(const ojson& entry) {
    std::string text = fmt::format("[{}.{}]\ncommand = {}\n", client_info(Client::codex).servers_key, SERVER_NAME,
                                   toml_quote(entry.value("command", std::string())));
    std::string args;
    for (const auto& a : entry.value("args", ojson::array()))
        args += (args.empty() ? "" : ", ") + toml_quote(a.get<std::string>());
    return text + "args = [" + args + "]\n";
}

toml::table codex_table(const ojson& entry) {
    toml::array args;
    for (const auto& a : entry.value("args", ojson::array())) args.push_back(a.get<std::string>());
    return toml::table{{"command", entry.value("command", std::string())}, {"args", std::move(args)}};
}

toml::table* servers_of(toml::table& doc) {
    toml::node* servers = doc.get(client_info(Client::codex).servers_key);
    if (!servers) return nullptr;
    if (!servers->is_table())
        throw ClientConfigError(fmt::format("its \"{}\" entry is not a table", client_info(Client::codex).servers_key));
    return servers->as_table();
}

// `doc` without our table, and without an `mcp_servers` left empty by that.
toml::table without_ours(toml::table doc) {
    if (toml::table* servers = servers_of(doc)) {
        servers->erase(SERVER_NAME);
        if (servers->empty()) doc.erase(client_info(Client::codex).servers_key);
    }
    return doc;
}

// The lines of our table's header and of its sub-tables ([mcp_servers.quillbox.env]) up to the
// next header, cut out of `text`; the position of the first one, or npos. Comments and blank
// lines just before the next header stay: they belong to what follows.
std::size_t cut_our_tables(std::string& text) {
    static const std::regex ours(R"(^[ \t]*\[[ \t]*mcp_servers[ \t]*\.[ \t]*("quillbox"|'quillbox'|quillbox)[ \t]*(\..*)?\][ \t]*(#.*)?$)");
    static const std::regex header(R"(^[ \t]*\[)");
    static const std::regex loose(R"(^[ \t]*(#.*)?\r?$)");
    std::string out, pending;  // pending: comment and blank lines met while cutting
    std::size_t first = std::string::npos;
    bool cutting = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        std::size_t next = end == std::string::npos ? text.size() : end + 1;
        const std::string line = text.substr(pos, (end == std::string::npos ? text.size() : end) - pos);
        if (std::regex_search(line, header)) {
            const bool was_cutting = cutting;
            cutting = std::regex_match(line, ours);
            if (was_cutting && !cutting) out += pending;
            pending.clear();
        }
        if (!cutting) {
            out.append(text, pos, next - pos);
        } else {
            if (first == std::string::npos) first = out.size();
            if (std::regex_match(line, loose))
                pending.append(text, pos, next - pos);
            else
                pending.clear();
        }
        pos = next;
    }
    if (cutting) out += pending;
    text = std::move(out);
    return first;
}

std::string serialize(const toml::table& doc) {
    std::ostringstream out;
    out << toml::toml_formatter(doc);
    std::string text = out.str();
    if (!text.empty() && text.back() != '\n') text += '\n';
    return text;
}

// An empty `mcp_servers` table reads the same as none.
toml::table normalized(toml::table doc) {
    const auto key = client_info(Client::codex).servers_key;
    if (const toml::table* servers = doc[key].as_table(); servers && servers->empty()) doc.erase(key);
    return doc;
}

// Whether `text` parses to `expected`.
bool reads_as(const std::string& text, const toml::table& expected) {
    try {
        return normalized(toml::parse(text)) == normalized(expected);
    } catch (const toml::parse_error&) {
        return false;
    }
}

}  // namespace

bool toml_is_empty(std::string_view text) { return parse_toml(text).empty(); }

std::string merge_codex_entry(std::string_view existing, const ojson& entry) {
    toml::table doc = parse_toml(existing);
    toml::table expected = doc;
    toml::table* servers = servers_of(expected);
    if (const toml::node* old = servers ? servers->get(SERVER_NAME) : nullptr;
        old && old->is_table() && *old->as_table() == codex_table(entry))
        return std::string(existing);
    if (!servers) servers = expected.insert(client_info(Client::codex).servers_key, toml::table{}).first->second.as_table();
    servers->insert_or_assign(SERVER_NAME, codex_table(entry));

    // Our table replaces the old one where it stood, or goes at the end; the rest of the text
    // stays as the user wrote it.
    std::string text(existing);
    std::size_t at = cut_our_tables(text);
    const std::string block = codex_block(entry);
    if (at == std::string::npos) {
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        text += text.empty() ? block : "\n\n" + block;
    } else {
        text.insert(at, block + (at < text.size() ? "\n" : ""));
    }
    if (reads_as(text, expected)) return text;
    // Our table could not be spliced in (the servers given inline, or as dotted keys): the
    // whole file is written anew from what it holds, comments lost.
    return serialize(expected);
}

std::optional<std::string> remove_codex_entry(std::string_view existing) {
    toml::table doc = parse_toml(existing);
    toml::table expected = without_ours(doc);
    if (expected.empty()) return std::nullopt;
    std::string text(existing);
    if (cut_our_tables(text) != std::string::npos) {
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        text += '\n';
        if (reads_as(text, expected)) return text;
    } else if (doc == expected) {
        return std::string(existing);
    }
    return serialize(expected);
}

std::optional<ojson> find_codex_entry(std::string_view existing) {
    toml::table doc = parse_toml(existing);
    const toml::node* node =
        doc.at_path(fmt::format("{}.{}", client_info(Client::codex).servers_key, SERVER_NAME)).node();
    if (!node || !node->is_table()) return std::nullopt;
    const toml::table& table = *node->as_table();
    ojson entry = ojson::object();
    if (auto command = table["command"].value<std::string>()) entry["command"] = *command;
    if (const toml::array* args = table["args"].as_array()) {
        entry["args"] = ojson::array();
        for (const auto& a : *args)
            if (auto s = a.value<std::string>()) entry["args"].push_back(*s);
    }
    return entry;
}

// --- Gemini CLI: the context files ------------------------------------------------------------

namespace {

// Where the settings name the context files: the older flat key when the file uses it.
ojson* context_setting(ojson& doc, bool create) {
    if (doc.contains("contextFileName")) return &doc["contextFileName"];
    if (!doc.contains("context")) {
        if (!create) return nullptr;
        doc["context"] = ojson::object();
    }
    if (!doc["context"].is_object()) throw ClientConfigError("its \"context\" entry is not an object");
    if (!doc["context"].contains("fileName") && !create) return nullptr;
    return &doc["context"]["fileName"];
}

bool names_agents_md(const ojson& value) {
    if (value.is_string()) return value.get<std::string>() == AGENTS_MD;
    if (value.is_array())
        for (const auto& v : value)
            if (v.is_string() && v.get<std::string>() == AGENTS_MD) return true;
    return false;
}

}  // namespace

ContextFileEdit add_gemini_context_file(std::string_view existing) {
    ojson doc = parse_client_file(existing);
    ContextFileEdit edit;
    ojson* setting = context_setting(doc, true);
    edit.before = *setting;
    if (names_agents_md(*setting)) {
        edit.text = std::string(existing);
        return edit;
    }
    if (setting->is_null())
        *setting = ojson::array({std::string(AGENTS_MD), "GEMINI.md"});
    else if (setting->is_string())
        *setting = ojson::array({setting->get<std::string>(), std::string(AGENTS_MD)});
    else if (setting->is_array())
        setting->push_back(std::string(AGENTS_MD));
    else
        throw ClientConfigError("its context file name setting is neither a text nor a list");
    edit.added = true;
    edit.text = doc.dump(2) + "\n";
    return edit;
}

std::optional<std::string> remove_gemini_context_file(std::string_view existing, const ojson& before) {
    ojson doc = parse_client_file(existing);
    ojson* setting = context_setting(doc, false);
    if (!setting || !names_agents_md(*setting)) return std::nullopt;
    const ojson ours = ojson::parse(add_gemini_context_file(ojson{{"contextFileName", before}}.dump()).text)["contextFileName"];
    if (*setting == ours) {
        if (before.is_null()) {
            if (doc.contains("contextFileName")) {
                doc.erase("contextFileName");
            } else {
                doc["context"].erase("fileName");
                if (doc["context"].empty()) doc.erase("context");
            }
        } else {
            *setting = before;
        }
    } else if (setting->is_array()) {
        ojson kept = ojson::array();
        for (const auto& v : *setting)
            if (!(v.is_string() && v.get<std::string>() == AGENTS_MD)) kept.push_back(v);
        *setting = kept;
    } else {
        return std::nullopt;  // the user's own single name: theirs to keep
    }
    return doc.dump(2) + "\n";
}

bool gemini_reads_agents_md(std::string_view existing) {
    ojson doc = parse_client_file(existing);
    const ojson* setting = context_setting(doc, false);
    return setting && names_agents_md(*setting);
}

}  // namespace quillbox::host
