// The Write hook itself: what `quillbox hook pre-tool-use` does. The program runs it without
// loading the rest of Quillbox (see main.cpp), so this file needs only the standard library,
// JSON, fmt and the TOML reader.
#include <fmt/format.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <fstream>
#include <iostream>
#include <iterator>
#include <system_error>

#include "host/config.h"
#include "host/hook.h"
#include "quillbox/detail/config_file.h"
#include "quillbox/detail/file_key.h"
#include "quillbox/i18n/hook_text.h"

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

std::optional<std::string> pre_tool_use_denial(const nlohmann::json& input, const fs::path& root, long max_lines,
                                               std::string_view language) {
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
    if (!detail::path_within(real, root) || detail::path_within(real, data_dir_of(root))) return std::nullopt;
    if (real.extension() != ".md") {
        real = markdown_name_of(real, root);
        if (real.empty()) return std::nullopt;
    }
    const long lines = count_lines_past(real, max_lines);
    if (lines <= max_lines) return std::nullopt;
    const std::string rel = fs::relative(real, root, ec).string();
    return fmt::format(fmt::runtime(HOOK_WRITE_DENIED.in(language)), fmt::arg("path", rel),
                       fmt::arg("max_lines", max_lines));
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
    if (auto reason = pre_tool_use_denial(input, canonical, hook_max_lines(canonical), hook_language(canonical)))
        std::cout << pre_tool_use_deny_output(*reason);
    return 0;
}

namespace {

// The first value of `key` that `take` accepts, in this machine's config.toml over the team's
// quillbox.toml; nothing when neither holds one. An unreadable file ends the search (the
// configuration then uses its defaults too).
template <class T>
std::optional<T> hook_setting(const fs::path& root, const std::string& key,
                              const std::function<std::optional<T>(const toml::node&)>& take) {
    for (const fs::path& file : {config_file_of(root), shared_config_file_of(root)}) {
        std::optional<T> found;
        try {
            const std::optional<toml::table> table = detail::read_config_file(file);
            if (!table) continue;
            detail::for_each_config_value(*table, [&](const std::string& k, const toml::node& node) {
                if (k == key) found = take(node);
            });
        } catch (const std::exception&) {
            return std::nullopt;
        }
        if (found) return found;
    }
    return std::nullopt;
}

}  // namespace

long hook_max_lines(const fs::path& root) {
    // A value that is not a whole number of lines is ignored there as everywhere (the default
    // stands).
    return hook_setting<long>(root, "hook.max_lines", [](const toml::node& node) -> std::optional<long> {
               std::optional<double> found;
               if (auto i = node.value<int64_t>(); i && node.is_integer()) found = static_cast<double>(*i);
               else if (auto d = node.value<double>(); d && node.is_floating_point()) found = *d;
               else if (auto t = node.value<std::string>(); t && node.is_string() && !t->empty()) {
                   char* end = nullptr;
                   const double v = std::strtod(t->c_str(), &end);
                   if (end && *end == '\0') found = v;
               }
               if (found && std::isfinite(*found) && *found >= 0 && *found <= 1e15 && *found == std::trunc(*found))
                   return static_cast<long>(*found);
               return std::nullopt;
           })
        .value_or(DEFAULT_HOOK_MAX_LINES);
}

std::string hook_language(const fs::path& root) {
    return hook_setting<std::string>(root, "language", [](const toml::node& node) -> std::optional<std::string> {
               auto t = node.value<std::string>();
               if (t && node.is_string() && (*t == "en" || *t == "zh")) return *t;
               return std::nullopt;
           })
        .value_or("en");
}

}  // namespace quillbox::host
