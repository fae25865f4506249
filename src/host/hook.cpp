#include "host/hook.h"

#include <fmt/format.h>
#include <sys/stat.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <system_error>

#include "host/clients.h"
#include "host/config.h"
#include "host/project.h"

namespace fs = std::filesystem;
using ojson = nlohmann::ordered_json;

namespace quillbox::host {

std::string hook_command(const fs::path& exe, bool on_path) {
    return (on_path ? std::string("quillbox") : shell_quote(exe.string())) + " " + std::string(HOOK_SUBCOMMAND);
}

bool is_our_hook_command(std::string_view command) {
    auto at = command.rfind(HOOK_SUBCOMMAND);
    if (at == std::string_view::npos || at + HOOK_SUBCOMMAND.size() != command.size()) return false;
    std::string_view program = command.substr(0, at);
    while (!program.empty() && (program.back() == ' ' || program.back() == '\'' || program.back() == '"'))
        program.remove_suffix(1);
    return program == "quillbox" || program.ends_with("/quillbox");
}

namespace {


bool group_has_ours(const ojson& group) {
    if (!group.is_object() || !group.contains("hooks") || !group["hooks"].is_array()) return false;
    for (const auto& h : group["hooks"])
        if (h.is_object() && h.contains("command") && h["command"].is_string() &&
            is_our_hook_command(h["command"].get<std::string>()))
            return true;
    return false;
}

bool settings_have_hook(const ojson& doc) {
    auto hooks = doc.find("hooks");
    if (hooks == doc.end() || !hooks->is_object()) return false;
    auto pre = hooks->find("PreToolUse");
    if (pre == hooks->end() || !pre->is_array()) return false;
    for (const auto& g : *pre)
        if (group_has_ours(g)) return true;
    return false;
}

}  // namespace

bool has_hook(std::string_view existing) { return settings_have_hook(parse_client_file(existing)); }

std::vector<std::string> our_hook_commands(std::string_view existing) {
    std::vector<std::string> out;
    const ojson doc = parse_client_file(existing);
    if (!settings_have_hook(doc)) return out;
    for (const auto& group : doc["hooks"]["PreToolUse"])
        if (group_has_ours(group))
            for (const auto& h : group["hooks"])
                if (h.is_object() && h.contains("command") && h["command"].is_string() &&
                    is_our_hook_command(h["command"].get<std::string>()))
                    out.push_back(h["command"].get<std::string>());
    return out;
}

std::optional<std::string> merge_hook(std::string_view existing, const std::string& command) {
    ojson doc = parse_client_file(existing);
    if (settings_have_hook(doc)) return std::nullopt;
    if (!doc.contains("hooks") || doc["hooks"].is_null()) doc["hooks"] = ojson::object();
    if (!doc["hooks"].is_object()) throw ClientConfigError("its \"hooks\" entry is not an object");
    auto& hooks = doc["hooks"];
    if (!hooks.contains("PreToolUse") || hooks["PreToolUse"].is_null()) hooks["PreToolUse"] = ojson::array();
    if (!hooks["PreToolUse"].is_array()) throw ClientConfigError("its \"hooks.PreToolUse\" entry is not an array");
    ojson group = ojson::object();
    group["matcher"] = "Write";
    group["hooks"] = ojson::array({ojson{{"type", "command"}, {"command", command}}});
    hooks["PreToolUse"].push_back(std::move(group));
    return doc.dump(2) + "\n";
}

std::optional<std::string> remove_hook(std::string_view existing) {
    ojson doc = parse_client_file(existing);
    if (!settings_have_hook(doc)) return std::nullopt;
    auto& pre = doc["hooks"]["PreToolUse"];
    ojson kept = ojson::array();
    for (auto& group : pre) {
        if (group_has_ours(group)) {
            ojson rest = ojson::array();
            for (auto& h : group["hooks"])
                if (!(h.is_object() && h.contains("command") && h["command"].is_string() &&
                      is_our_hook_command(h["command"].get<std::string>())))
                    rest.push_back(h);
            if (rest.empty()) continue;
            group["hooks"] = std::move(rest);
        }
        kept.push_back(std::move(group));
    }
    if (kept.empty())
        doc["hooks"].erase("PreToolUse");
    else
        pre = std::move(kept);
    if (doc["hooks"].empty()) doc.erase("hooks");
    return doc.dump(2) + "\n";
}

}  // namespace quillbox::host
