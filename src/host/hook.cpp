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

namespace {

// Lines as the block tools count them: a final line without line feed counts, an empty file
// has none. Stops counting once past `limit`.
long count_lines_past(const fs::path& p, long limit) {
    std::ifstream f(p, std::ios::binary);
    if (!f) return 0;
    long lines = 0;
    char last = '\n';
    char buf[65536];
    while (f && lines <= limit) {
        f.read(buf, sizeof buf);
        const auto n = f.gcount();
        for (std::streamsize i = 0; i < n; ++i)
            if (buf[i] == '\n') ++lines;
        if (n > 0) last = buf[n - 1];
    }
    if (lines <= limit && last != '\n') ++lines;
    return lines;
}

// A Markdown name under `root` of the file `real` when it has several names (hard links);
// empty when it has none. Only a file with more than one link is looked for, so the walk is rare.
fs::path markdown_name_of(const fs::path& real, const fs::path& root) {
    struct stat st {};
    if (::stat(real.c_str(), &st) != 0 || st.st_nlink < 2) return {};
    std::error_code ec;
    const fs::path data_dir = data_dir_of(root);
    for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec)) {
        const fs::path& p = it->path();
        std::error_code sec;
        if (it->is_directory(sec)) {
            const std::string name = p.filename().string();
            if (it->is_symlink(sec) || p == data_dir || name == ".git" || name == "node_modules")
                it.disable_recursion_pending();
            continue;
        }
        if (p.extension() != ".md" || it->is_symlink(sec)) continue;
        struct stat other {};
        if (::stat(p.c_str(), &other) == 0 && other.st_dev == st.st_dev && other.st_ino == st.st_ino) return p;
    }
    return {};
}

}  // namespace

std::optional<std::string> pre_tool_use_denial(const nlohmann::json& input, const fs::path& root, long max_lines) {
    if (!input.is_object() || input.value("tool_name", std::string()) != "Write") return std::nullopt;
    auto ti = input.find("tool_input");
    if (ti == input.end() || !ti->is_object()) return std::nullopt;
    auto fp = ti->find("file_path");
    if (fp == ti->end() || !fp->is_string()) return std::nullopt;
    fs::path path = fp->get<std::string>();
    if (path.is_relative()) {
        // Claude Code sends absolute paths; a relative one is taken from the session's directory.
        std::string cwd = input.value("cwd", std::string());
        path = (cwd.empty() ? root : fs::path(cwd)) / path;
    }
    // Judged by the file the name reaches, as the server resolves it: a link, or another name of
    // a Markdown file's inode, writes that file whatever the name says.
    std::error_code ec;
    fs::path real = fs::canonical(path, ec);
    if (ec || !fs::is_regular_file(real, ec)) return std::nullopt;  // a new file is fine
    if (!path_is_within(real, root) || path_is_within(real, data_dir_of(root))) return std::nullopt;
    if (real.extension() != ".md") {
        real = markdown_name_of(real, root);
        if (real.empty()) return std::nullopt;
    }
    const long lines = count_lines_past(real, max_lines);
    if (lines <= max_lines) return std::nullopt;
    const std::string rel = fs::relative(real, root, ec).string();
    return fmt::format(
        "{} has more than {} lines: rewriting it whole with Write is blocked in this project. Edit it one "
        "section at a time with the Quillbox MCP tools: md_list_blocks(\"{}\") for the block ids, "
        "md_read_block to read a section, md_replace_block to write it back (or md_edit with a plain "
        "instruction; md_move_block, md_adjust_level and md_generate_toc for structure). Small changes of "
        "a few lines can use Edit.",
        rel, max_lines, rel);
}

std::string pre_tool_use_deny_output(const std::string& reason) {
    ojson out = ojson::object();
    out["hookSpecificOutput"] = {{"hookEventName", "PreToolUse"},
                                 {"permissionDecision", "deny"},
                                 {"permissionDecisionReason", reason}};
    return out.dump() + "\n";
}

int run_pre_tool_use_hook(const fs::path& root_arg) {
    std::string text{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
    nlohmann::json input = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (input.is_discarded() || !input.is_object()) {
        std::cerr << "quillbox hook: the input is not a JSON object; the call is let through\n";
        return 1;
    }
    // Everything but a Write of a .md file leaves at once, before any file is opened.
    if (input.value("tool_name", std::string()) != "Write") return 0;
    auto ti = input.find("tool_input");
    if (ti == input.end() || !ti->is_object() || !ti->contains("file_path") || !(*ti)["file_path"].is_string())
        return 0;

    fs::path root = root_arg;
    if (root.empty())
        if (const char* env = std::getenv("CLAUDE_PROJECT_DIR"); env && *env) root = env;
    if (root.empty()) root = input.value("cwd", std::string());
    std::error_code ec;
    fs::path canonical = fs::canonical(root.empty() ? fs::current_path(ec) : root, ec);
    if (ec) return 0;
    long max_lines = DEFAULT_HOOK_MAX_LINES;
    try {
        Config cfg = load_project_config(canonical);
        max_lines = static_cast<long>(cfg.get_number("hook.max_lines"));
    } catch (const std::exception&) {
        // An unreadable configuration keeps the default.
    }
    if (auto reason = pre_tool_use_denial(input, canonical, max_lines)) std::cout << pre_tool_use_deny_output(*reason);
    return 0;
}

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
