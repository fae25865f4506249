#include "host/commands.h"

#include <fmt/format.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <set>
#include <system_error>

#include "host/clients.h"
#include "host/config.h"
#include "host/doctor.h"
#include "host/hook.h"
#include "host/ignore.h"
#include "host/milestones.h"
#include "host/log.h"
#include "host/project.h"
#include "quillbox/blockops.h"
#include "quillbox/detail/atomic_file.h"
#include "quillbox/detail/file_key.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/i18n.h"
#include "quillbox/indexer.h"
#include "quillbox/outline.h"
#include "quillbox/rulefile.h"
#include "quillbox/safety.h"
#include "quillbox/semantic.h"
#include "quillbox/version.h"

namespace fs = std::filesystem;

namespace quillbox::host {

namespace {

void say(const std::string& text) { std::cout << text << '\n'; }
void complain(const std::string& text) { std::cerr << "quillbox: " << text << '\n'; }
// Catalogue texts already say "Error: ...".
void complain_plain(const std::string& text) { std::cerr << text << '\n'; }

std::string read_or_empty(const fs::path& p) {
    std::error_code ec;
    if (!fs::exists(p, ec)) return {};
    return detail::read_file_bytes(p);
}

// Whole-file replace through a temporary file in the same directory.
void write_atomically(const fs::path& p, const std::string& text) {
    try {
        detail::replace_file(p, text);
    } catch (const detail::FileReplaceError& e) {
        if (e.step() == detail::FileReplaceError::Step::rename)
            throw std::runtime_error(fmt::format("cannot replace {} ({})", p.string(), e.code().message()));
        throw std::runtime_error("cannot write " + p.string());
    }
}

// What install created or changed (so that uninstall removes only what it wrote), in the data
// directory: the rules files it created, and Gemini CLI's context file setting as it was.
struct InstallRecord {
    bool created_claude_md = false;
    bool created_agents_md = false;
    std::optional<nlohmann::ordered_json> gemini_context_before;

    static fs::path file(const fs::path& data_dir) { return data_dir / "install.json"; }
    static InstallRecord load(const fs::path& data_dir) {
        InstallRecord r;
        try {
            std::string text = read_or_empty(file(data_dir));
            if (text.empty()) return r;
            auto doc = nlohmann::ordered_json::parse(text);
            r.created_claude_md = doc.value("created_claude_md", false);
            r.created_agents_md = doc.value("created_agents_md", false);
            if (doc.contains("gemini_context_before")) r.gemini_context_before = doc["gemini_context_before"];
        } catch (const std::exception&) {
            // An unreadable record claims nothing.
        }
        return r;
    }
    void save(const fs::path& data_dir) const {
        std::error_code ec;
        if (!fs::is_directory(data_dir, ec)) return;
        nlohmann::ordered_json doc = nlohmann::ordered_json::object();
        if (created_claude_md) doc["created_claude_md"] = true;
        if (created_agents_md) doc["created_agents_md"] = true;
        if (gemini_context_before) doc["gemini_context_before"] = *gemini_context_before;
        if (doc.empty()) {
            fs::remove(file(data_dir), ec);
            return;
        }
        write_atomically(file(data_dir), doc.dump(2) + "\n");
    }
    bool& created(const std::string& rules_file) {
        return rules_file == "CLAUDE.md" ? created_claude_md : created_agents_md;
    }
};

class ProgressBar {
public:
    explicit ProgressBar(std::size_t total) : total_(total), enabled_(::isatty(STDERR_FILENO) == 1) {
        winsize ws{};
        if (enabled_ && ::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20) width_ = ws.ws_col;
    }
    void show(std::size_t done, const std::string& label) {
        if (!enabled_ || total_ == 0) return;
        constexpr std::size_t bar = 24;
        std::size_t filled = done * bar / total_;
        std::string line = fmt::format("\rReindexing [{}{}] {}/{} ", std::string(filled, '#'),
                                       std::string(bar - filled, '.'), done, total_);
        std::size_t room = width_ > line.size() + 1 ? width_ - line.size() - 1 : 0;
        std::string tail = label.size() > room ? "…" + label.substr(label.size() - room + 1) : label;
        line += tail;
        line += "\x1b[K";
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
    }
    void finish() {
        if (!enabled_) return;
        std::fputs("\r\x1b[K", stderr);
        std::fflush(stderr);
    }

private:
    std::size_t total_;
    bool enabled_;
    std::size_t width_ = 80;
};

std::string rules_state(const fs::path& claude_md) {
    try {
        if (!has_quillbox_section(claude_md)) return "no Quillbox section in CLAUDE.md";
        auto v = _detect_version(claude_md);
        if (is_current_version(claude_md)) return fmt::format("CLAUDE.md has the current section ({})", v.value_or("?"));
        return fmt::format("CLAUDE.md has an outdated section ({}); run `quillbox install` to update it",
                           v.value_or("no version"));
    } catch (const std::exception& e) {
        return fmt::format("CLAUDE.md could not be checked: {}", e.what());
    }
}

std::string registration_state(const fs::path& root) {
    fs::path mcp = root / ".mcp.json";
    try {
        std::string text = read_or_empty(mcp);
        if (text.empty()) return "not registered in .mcp.json";
        auto doc = nlohmann::json::parse(text);
        if (doc.is_object() && doc.contains("mcpServers") && doc["mcpServers"].is_object() &&
            doc["mcpServers"].contains(std::string(SERVER_NAME)))
            return "registered in .mcp.json";
        return "not registered in .mcp.json";
    } catch (const std::exception& e) {
        return fmt::format(".mcp.json could not be read: {}", e.what());
    }
}

}  // namespace

std::string group_thousands(long long n) {
    std::string digits = std::to_string(n < 0 ? -n : n);
    std::string out;
    int count = 0;
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        if (count && count % 3 == 0) out.insert(out.begin(), ',');
        out.insert(out.begin(), *it);
        ++count;
    }
    return n < 0 ? "-" + out : out;
}

fs::path current_executable() {
    std::error_code ec;
    auto p = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path("quillbox") : p;
}

namespace {

// Opens the project for a command; a bad root is reported and gives none (exit status 2).
std::optional<Project> open_project_or_complain(const fs::path& root_arg, bool create) {
    try {
        return open_project(root_arg, create);
    } catch (const UsageError& e) {
        complain(e.what());
        return std::nullopt;
    }
}

}  // namespace

namespace {

// The steps of `install`: each says what it did and returns false when it failed.

// The rules section in CLAUDE.md or AGENTS.md.
bool install_rules(const Project& project, const std::string& name) {
    fs::path file = project.root / name;
    try {
        bool had = has_quillbox_section(file);
        std::error_code ec;
        if (!fs::exists(file, ec)) {
            InstallRecord record = InstallRecord::load(project.data_dir);
            record.created(name) = true;
            record.save(project.data_dir);
        }
        if (add_quillbox_section(file, project.config->get("language")))
            say(fmt::format("{}: rules section {}", file.string(), had ? "updated" : "added"));
        else
            say(fmt::format("{}: rules section already current", file.string()));
        return true;
    } catch (const std::exception& e) {
        complain(fmt::format("{}: could not add the rules section: {}", file.string(), e.what()));
        return false;
    }
}

// The server entry in a client's project file, every other entry kept.
bool register_client(const Project& project, Client client, const fs::path& exe, bool portable) {
    const ClientInfo& info = client_info(client);
    const fs::path file = project.root / info.file;
    try {
        const std::string text = read_or_empty(file);
        const auto entry = client_server_entry(client, exe, project.root, portable);
        const auto existing = text.empty() ? std::nullopt : find_client_entry(client, text);
        if (!portable && existing == client_server_entry(client, exe, project.root, true)) {
            // The team's entry stays as committed; this machine needs quillbox on PATH.
            say(fmt::format("{}: server \"{}\" already registered to run `quillbox` from PATH; left unchanged",
                            file.string(), SERVER_NAME));
            say(fmt::format("  quillbox is not on PATH here. Put it there: sudo ln -s {} /usr/local/bin/quillbox",
                            shell_quote(exe.string())));
            return true;
        }
        if (existing == entry) {
            say(fmt::format("{}: server \"{}\" already registered", file.string(), SERVER_NAME));
        } else {
            fs::create_directories(file.parent_path());
            write_atomically(file, merge_client_entry(client, text, entry));
            say(fmt::format("{}: server \"{}\" registered for {}", file.string(), SERVER_NAME, info.display));
        }
        return true;
    } catch (const ClientConfigError& e) {
        complain(fmt::format("{} was left unchanged: {}. Fix or remove it and run install again.", file.string(),
                             e.what()));
    } catch (const std::exception& e) {
        complain(fmt::format("{}: {}", file.string(), e.what()));
    }
    return false;
}

// Gemini CLI reads AGENTS.md once its settings name it.
bool add_gemini_context(const Project& project) {
    const fs::path file = project.root / client_info(Client::gemini).file;
    try {
        const std::string text = read_or_empty(file);
        ContextFileEdit edit = add_gemini_context_file(text);
        if (!edit.added) return true;
        InstallRecord record = InstallRecord::load(project.data_dir);
        record.gemini_context_before = edit.before;
        record.save(project.data_dir);
        write_atomically(file, edit.text);
        say(fmt::format("{}: AGENTS.md added to the context files Gemini CLI reads", file.string()));
        return true;
    } catch (const std::exception& e) {
        complain(fmt::format("{} was left unchanged: {}", file.string(), e.what()));
    }
    return false;
}

bool register_write_hook(const Project& project, const fs::path& exe, bool portable) {
    fs::path settings = project.root / ".claude" / "settings.json";
    try {
        const std::string text = read_or_empty(settings);
        if (auto merged = merge_hook(text, hook_command(exe, portable))) {
            fs::create_directories(settings.parent_path());
            write_atomically(settings, *merged);
            say(fmt::format("{}: Write hook registered (a Write that would rewrite an existing .md file over {} "
                            "lines is denied with a pointer to the block tools)",
                            settings.string(), project.config->get("hook.max_lines")));
        } else {
            say(fmt::format("{}: Write hook already registered", settings.string()));
        }
        return true;
    } catch (const ClientConfigError& e) {
        complain(fmt::format("{} was left unchanged: {}. Fix it and run install again.", settings.string(), e.what()));
    } catch (const std::exception& e) {
        complain(fmt::format("{}: {}", settings.string(), e.what()));
    }
    return false;
}

// In a git work tree, .quillbox/ (index, backups, this machine's settings) is kept out of
// commits: git is asked, and .gitignore gets the line only when nothing ignores it yet.
bool ignore_data_dir(const Project& project) {
    const fs::path gitignore = project.root / ".gitignore";
    try {
        if (!git_ignore_line_needed(project.root, project.data_dir)) return true;
        std::string text = read_or_empty(gitignore);
        if (!text.empty() && text.back() != '\n') text += '\n';
        text += "/" + project.data_dir.filename().string() + "/\n";
        write_atomically(gitignore, text);
        say(fmt::format("{}: added /{}/", gitignore.string(), project.data_dir.filename().string()));
        return true;
    } catch (const std::exception& e) {
        complain(fmt::format("{}: {}", gitignore.string(), e.what()));
        return false;
    }
}

}  // namespace

fs::path install_root(const fs::path& root_arg, std::string* said) {
    if (!root_arg.empty()) return root_arg;
    std::error_code ec;
    const fs::path here = fs::current_path(ec);
    if (ec) return root_arg;
    const auto top = git_top_level(here);
    if (!top || fs::equivalent(*top, here, ec)) return root_arg;
    if (said)
        *said = fmt::format("{} is inside the git repository {}: setting Quillbox up for the whole repository "
                            "(use --root to choose another folder).",
                            here.string(), top->string());
    return *top;
}

int cmd_install(const fs::path& root_arg, std::vector<Client> clients) {
    std::string said;
    const fs::path root = install_root(root_arg, &said);
    if (!said.empty()) say(said);
    auto opened = open_project_or_complain(root, true);
    if (!opened) return 2;
    Project& project = *opened;
    int status = 0;
    const fs::path exe = current_executable();
    if (clients.empty()) clients.push_back(Client::claude);
    const auto wants = [&](Client c) { return std::find(clients.begin(), clients.end(), c) != clients.end(); };

    // Portable when the `quillbox` on PATH runs this program: the team can commit the files.
    const bool portable = program_on_path(exe);
    bool agents_md = false;
    for (const ClientInfo& info : all_clients()) {
        if (!wants(info.id)) continue;
        if (info.id == Client::claude && !install_rules(project, "CLAUDE.md")) status = 1;
        if (!register_client(project, info.id, exe, portable)) status = 1;
        if (info.id == Client::claude && !register_write_hook(project, exe, portable)) status = 1;
        agents_md = agents_md || info.reads_agents_md;
    }
    if (agents_md && !install_rules(project, std::string(AGENTS_MD))) status = 1;
    if (wants(Client::gemini) && !add_gemini_context(project)) status = 1;
    if (!portable)
        say(fmt::format("  Note: quillbox is not on PATH, so the entries hold this machine's paths ({}). Put "
                        "quillbox on PATH and run install again for entries your team can commit.",
                        exe.string()));
    if (wants(Client::codex))
        say("  Codex reads .codex/config.toml of projects it trusts: answer its trust question, or mark the "
            "project trusted in ~/.codex/config.toml.");

    if (!ignore_data_dir(project)) status = 1;

    if (wants(Client::claude)) {
        say("");
        // On PATH, the snippets name `quillbox` too; Claude Code passes the project folder itself.
        say("The same registration with the Claude Code command line:");
        say("  " + (portable ? fmt::format("claude mcp add --scope project {} -- {} serve", SERVER_NAME, SERVER_NAME)
                             : claude_mcp_add_line(exe, project.root)));
    }
    say("");
    say(other_client_snippets(portable ? fs::path(SERVER_NAME) : exe, project.root));
    say(fmt::format("The index and backups live in {}; this machine's settings too ({}). Settings for the "
                    "whole team go to {} (`quillbox config set --shared KEY VALUE`).",
                    project.data_dir.string(), config_file_of(project.root).filename().string(),
                    shared_config_file_of(project.root).filename().string()));
    if (portable)
        say("Commit the files written above: they hold no machine paths, so every teammate with quillbox on "
            "PATH gets the same set-up.");
    return status;
}

namespace {

// What one step of `uninstall` met: whether it found something of Quillbox, and whether it
// failed (the user is told either way).
struct Removal {
    bool found = false;
    bool failed = false;
};

Removal remove_rules(const Project& project, const std::string& name, bool created) {
    Removal r;
    const fs::path file = project.root / name;
    try {
        if (!has_quillbox_section(file)) return r;
        r.found = true;
        remove_quillbox_section(file);
        std::error_code ec;
        if (created && fs::file_size(file, ec) == 0 && !ec) {
            fs::remove(file);
            say(fmt::format("{}: removed (install created it and nothing else was in it)", file.string()));
        } else {
            say(fmt::format("{}: rules section removed, the rest kept", file.string()));
        }
    } catch (const std::exception& e) {
        complain(fmt::format("{}: {}", file.string(), e.what()));
        r.failed = true;
    }
    return r;
}

// Our server entry out of a client's file (and, for Gemini CLI, AGENTS.md out of its context
// files when install put it there); the file goes when nothing else is left in it, and its
// folder when that is empty then.
Removal remove_client_registration(const Project& project, Client client, const InstallRecord& record) {
    Removal r;
    const fs::path file = project.root / client_info(client).file;
    try {
        std::string text = read_or_empty(file);
        if (text.empty()) return r;
        const bool has_entry = find_client_entry(client, text).has_value();
        std::optional<std::string> without_context;
        if (client == Client::gemini && record.gemini_context_before)
            without_context = remove_gemini_context_file(text, *record.gemini_context_before);
        // A file without our entry is the user's alone: not even reformatted.
        if (!has_entry && !without_context) return r;
        r.found = true;
        if (without_context) text = *without_context;
        std::optional<std::string> rest = text;
        if (has_entry) rest = remove_client_entry(client, text);
        if (rest && client_file_is_empty(client, *rest)) rest.reset();
        if (rest) {
            write_atomically(file, *rest);
            say(fmt::format("{}: server \"{}\" removed, the rest kept", file.string(), SERVER_NAME));
        } else {
            fs::remove(file);
            say(fmt::format("{}: removed (it held only what install wrote)", file.string()));
            std::error_code ec;
            if (file.parent_path() != project.root && fs::is_empty(file.parent_path(), ec))
                fs::remove(file.parent_path(), ec);
        }
    } catch (const std::exception& e) {
        complain(fmt::format("{} was left unchanged: {}", file.string(), e.what()));
        r.failed = true;
    }
    return r;
}

Removal remove_write_hook(const Project& project) {
    Removal r;
    const fs::path settings = project.root / ".claude" / "settings.json";
    try {
        std::string text = read_or_empty(settings);
        if (text.empty()) return r;
        if (auto rest = remove_hook(text)) {
            r.found = true;
            if (parse_client_file(*rest).empty()) {
                // Nothing but our hook was in it: the file goes, and .claude/ when it is empty.
                fs::remove(settings);
                std::error_code ec;
                if (fs::is_empty(settings.parent_path(), ec) && !ec) fs::remove(settings.parent_path(), ec);
                say(fmt::format("{}: removed (it held only the Write hook)", settings.string()));
            } else {
                write_atomically(settings, *rest);
                say(fmt::format("{}: Write hook removed, other settings kept", settings.string()));
            }
        }
    } catch (const std::exception& e) {
        complain(fmt::format("{} was left unchanged: {}", settings.string(), e.what()));
        r.failed = true;
    }
    return r;
}

// The data directory goes with --purge; otherwise it stays, no longer claiming CLAUDE.md.
bool purge_or_keep_data(const Project& project, InstallRecord& record, bool purge) {
    std::error_code ec;
    if (!purge) {
        record.save(project.data_dir);
        say(fmt::format("Kept {} (index, backups, configuration); `uninstall --purge` removes it.",
                        project.data_dir.string()));
        return true;
    }
    fs::remove_all(project.data_dir, ec);
    if (ec) {
        complain(fmt::format("cannot remove {}: {}", project.data_dir.string(), ec.message()));
        return false;
    }
    say(fmt::format("{}: removed (index, backups, configuration)", project.data_dir.string()));
    return true;
}

}  // namespace

int cmd_uninstall(const fs::path& root_arg, bool purge, std::vector<Client> clients) {
    auto opened = open_project_or_complain(root_arg, false);
    if (!opened) return 2;
    Project& project = *opened;
    InstallRecord record = InstallRecord::load(project.data_dir);
    const bool every_client = clients.empty();
    if (every_client)
        for (const ClientInfo& info : all_clients()) clients.push_back(info.id);
    const auto wants = [&](Client c) { return std::find(clients.begin(), clients.end(), c) != clients.end(); };

    bool found = false;  // anything of Quillbox in this project
    int status = 0;
    const auto tally = [&](const Removal& r) {
        found = found || r.found;
        if (r.failed) status = 1;
    };
    for (const ClientInfo& info : all_clients()) {
        if (!wants(info.id)) continue;
        if (info.id == Client::claude) tally(remove_rules(project, "CLAUDE.md", record.created_claude_md));
        tally(remove_client_registration(project, info.id, record));
        if (info.id == Client::claude) tally(remove_write_hook(project));
    }
    if (wants(Client::gemini)) record.gemini_context_before.reset();
    // AGENTS.md keeps the section while another client that reads it is still registered.
    bool agents_md_needed = false;
    for (const ClientInfo& info : all_clients()) {
        if (!info.reads_agents_md || wants(info.id)) continue;
        try {
            const std::string text = read_or_empty(project.root / info.file);
            agents_md_needed = agents_md_needed || (!text.empty() && find_client_entry(info.id, text));
        } catch (const std::exception&) {
            agents_md_needed = true;  // unreadable: assume it still wants the rules
        }
    }
    if (!agents_md_needed) tally(remove_rules(project, std::string(AGENTS_MD), record.created_agents_md));
    if (wants(Client::claude)) record.created_claude_md = false;
    if (!agents_md_needed) record.created_agents_md = false;

    std::error_code ec;
    const bool has_data = fs::is_directory(project.data_dir, ec);
    if (!found && (!has_data || !every_client)) {
        say(fmt::format("No Quillbox installation found in {}; nothing changed.", project.root.string()));
        return status;
    }
    if (has_data) {
        if (every_client || purge) {
            if (!purge_or_keep_data(project, record, purge)) status = 1;
        } else {
            record.save(project.data_dir);
        }
    }
    if (wants(Client::claude))
        say(fmt::format("If you also added the server with `claude mcp add` in another scope: claude mcp remove {}",
                        SERVER_NAME));
    return status;
}

int cmd_status(const fs::path& root_arg) {
    auto opened = open_project_or_complain(root_arg, false);
    if (!opened) return 2;
    Project& project = *opened;
    const Config& cfg = *project.config;
    say(fmt::format("Quillbox {}: project {}", QUILLBOX_VERSION, project.root.string()));
    fs::path db = project.data_dir / "index.db";
    std::error_code ec;
    if (!fs::exists(db, ec)) {
        say("Index:        none yet (run `quillbox reindex`, or start the server and list a file)");
    } else {
        try {
            const UsageSummary usage = Indexer::usage_summary(db);
            std::string breakdown;
            for (const auto& [type, count] : usage.by_type) {
                if (!breakdown.empty()) breakdown += ", ";
                breakdown += fmt::format("{} {}", type, count);
            }
            const long long files = usage.files, blocks = usage.blocks, ops = usage.operations,
                            saved = usage.tokens_saved, today_ops = usage.operations_today;
            PricingRates rates = cfg.pricing_rates();
            // The table keeps the sum of input and output savings; value it at the mean rate.
            double amount = static_cast<double>(saved) * (rates.input + rates.output) / 2.0 / 1e6;
            say(fmt::format("Index:        {}", db.string()));
            say(fmt::format("Indexed:      {} files, {} blocks", group_thousands(files), group_thousands(blocks)));
            say(fmt::format("Operations:   {} recorded{}, {} today", group_thousands(ops),
                            breakdown.empty() ? "" : " (" + breakdown + ")", group_thousands(today_ops)));
            say(fmt::format("Tokens saved: ~{} (≈ {}{:.2f} at {} rates, mean of input {} and output {} per million)",
                            group_thousands(saved), rates.currency, amount, cfg.get("pricing_model"), rates.input,
                            rates.output));
            const EditFigures f = read_edit_figures(db);
            say(fmt::format("Edits:        {} today (~{} tokens saved), {} all time (~{} tokens saved)",
                            group_thousands(f.today_edits), group_thousands(f.today_tokens),
                            group_thousands(f.all_edits), group_thousands(f.all_tokens)));
        } catch (const std::exception& e) {
            complain(fmt::format("cannot read the index {}: {}", db.string(), e.what()));
            return 1;
        }
    }
    say(fmt::format("Rules:        {}", rules_state(project.root / "CLAUDE.md")));
    say(fmt::format("MCP:          {}", registration_state(project.root)));
    try {
        const std::string hooks = read_or_empty(project.root / ".claude" / "settings.json");
        say(fmt::format("Write hook:   {}", !hooks.empty() && has_hook(hooks) ? "registered in .claude/settings.json"
                                                                            : "not registered (run `quillbox install`)"));
    } catch (const std::exception& e) {
        say(fmt::format("Write hook:   .claude/settings.json could not be read: {}", e.what()));
    }
    say(fmt::format("Config:       language {}, pricing_model {}, cache_enabled {}", cfg.get("language"),
                    cfg.get("pricing_model"), cfg.get("cache_enabled")));
    return 0;
}

namespace {

// The Markdown files a reindex covers: every one under the root, or those named (files or
// folders). A name that is missing, outside the root or no Markdown file is reported and sets
// `status` to 1.
std::vector<fs::path> reindex_targets(const Project& project, const std::vector<std::string>& paths, int& status) {
    std::vector<fs::path> files;
    const IgnoreRules rules(project.root);
    if (paths.empty()) {
        files = rules.markdown_files();
    } else {
        for (const auto& p : paths) {
            std::error_code ec;
            fs::path abs = detail::file_key(p);
            if (!fs::exists(abs, ec)) {
                complain(get_message("file_not_found", {{"path", p}}));
                status = 1;
                continue;
            }
            if (!path_is_within(abs, project.root)) {
                complain(fmt::format("{} is outside the project root {}; skipped", abs.string(), project.root.string()));
                status = 1;
                continue;
            }
            if (fs::is_directory(abs)) {
                // A folder named outright is taken even when ignored; what lies inside follows the rule.
                for (auto& f : rules.markdown_files(abs)) files.push_back(std::move(f));
            } else if (abs.string().ends_with(".md")) {
                files.push_back(abs);
            } else {
                complain(fmt::format("{} is not a Markdown (.md) file; skipped", abs.string()));
                status = 1;
            }
        }
    }
    // Found under a resolved folder without following links to folders, a path is its own
    // key unless it is a link itself: one lstat each instead of resolving every component.
    for (fs::path& f : files) {
        std::error_code ec;
        if (fs::is_symlink(fs::symlink_status(f, ec))) f = detail::file_key(f);
    }
    std::sort(files.begin(), files.end());
    files.erase(std::unique(files.begin(), files.end()), files.end());
    return files;
}

struct ReindexTally {
    long long blocks = 0;
    std::size_t failed = 0;
    std::vector<std::string> problems;
};

// Indexes each file (`files` are keys) with its freshness record, committing in batches and
// showing progress.
void index_each(Indexer& indexer, const std::vector<fs::path>& files, const fs::path& root, ReindexTally& tally) {
    ProgressBar bar(files.size());
    std::size_t done = 0;
    auto outcome = [&](std::size_t i, int blocks, std::exception_ptr error) {
        const fs::path& fp = files[i];
        bar.show(++done, fp.lexically_relative(root).string());
        if (!error) {
            tally.blocks += blocks;
            return;
        }
        ++tally.failed;
        try {
            std::rethrow_exception(error);
        } catch (const FileTooLargeError&) {
            tally.problems.push_back(fmt::format("{}: skipped, over 5 MB or 100,000 lines", fp.string()));
        } catch (const DecodeError& e) {
            tally.problems.push_back(fmt::format("{}: skipped, not valid UTF-8 ({})", fp.string(), e.what()));
        } catch (const std::exception& e) {
            tally.problems.push_back(fmt::format("{}: {}", fp.string(), e.what()));
        } catch (...) {
            tally.problems.push_back(fmt::format("{}: unknown error", fp.string()));
        }
    };
    try {
        indexer.index_files(files, outcome);
    } catch (const std::exception& e) {
        // A batch that could not be committed: its files and the rest are not indexed.
        tally.problems.push_back(fmt::format("the index could not be written: {}", e.what()));
        tally.failed += files.size() - done;
    }
    bar.show(files.size(), "");
    bar.finish();
}

// Tells the user what the index did about its file; false when it could only be kept in memory
// (a reindex then has nothing to write to).
bool say_index_notice(Indexer& indexer) {
    const auto notice = indexer.take_notice();
    if (!notice) return true;
    if (notice->kind == IndexNotice::Kind::renewed) {
        say(fmt::format("The index {} was damaged ({}); it was moved aside to {} and is built afresh.",
                        indexer.db_path().string(), notice->reason, notice->moved_to.string()));
        return true;
    }
    complain(fmt::format("cannot write the index {}: {}", indexer.db_path().string(), notice->reason));
    return false;
}

// Forgets the indexed files under `root` that are gone; returns how many.
std::size_t forget_deleted(Indexer& indexer, const fs::path& root) {
    std::size_t removed = 0;
    for (const fs::path& p : indexer.indexed_files()) {
        std::error_code ec;
        if (!path_is_within(p, root) || fs::exists(p, ec)) continue;
        indexer.drop_file(p);
        ++removed;
    }
    return removed;
}

}  // namespace

int cmd_reindex(const fs::path& root_arg, const std::vector<std::string>& paths) {
    auto opened = open_project_or_complain(root_arg, true);
    if (!opened) return 2;
    Project& project = *opened;
    install_process_settings(project);
    int status = 0;
    const std::vector<fs::path> files = reindex_targets(project, paths, status);

    std::unique_ptr<Indexer> indexer;
    try {
        // A damaged index is repaired here: moved aside and built afresh from the files.
        indexer = std::make_unique<Indexer>(project.data_dir / "index.db", Recovery::heal);
    } catch (const std::exception& e) {
        complain(fmt::format("cannot open the index: {}", e.what()));
        return 1;
    }
    if (!say_index_notice(*indexer)) return 1;

    auto started = std::chrono::steady_clock::now();
    ReindexTally tally;
    index_each(*indexer, files, project.root, tally);

    // A full pass also forgets files that are gone.
    std::size_t removed = 0;
    if (paths.empty()) {
        try {
            removed = forget_deleted(*indexer, project.root);
        } catch (const std::exception& e) {
            tally.problems.push_back(fmt::format("cleaning up deleted files failed: {}", e.what()));
        }
    }
    const bool sound = say_index_notice(*indexer);
    indexer->close();

    for (const auto& p : tally.problems) complain(p);
    if (!sound) return 1;
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    say(fmt::format("Indexed {} of {} Markdown files ({} blocks) in {:.2f} s{}{}", files.size() - tally.failed,
                    files.size(), group_thousands(tally.blocks), secs,
                    tally.failed ? fmt::format("; {} failed", tally.failed) : "",
                    removed ? fmt::format("; forgot {} deleted files", removed) : ""));
    return (tally.failed || status) ? 1 : 0;
}

namespace {

// Runs one config command: bad keys, values and usage exit with 2, other failures with 1.
template <class Body>
int config_command(Body&& body) {
    try {
        return body();
    } catch (const ConfigKeyError& e) {
        complain_plain(e.what());
        return 2;
    } catch (const ConfigValueError& e) {
        complain_plain(e.what());
        return 2;
    } catch (const UsageError& e) {
        complain(e.what());
        return 2;
    } catch (const std::exception& e) {
        complain(e.what());
        return 1;
    }
}

}  // namespace

int cmd_config_get(const fs::path& root_arg, const std::string& key) {
    return config_command([&] {
        Project project = open_project(root_arg, false);
        require_config_key(key);
        say(project.config->get(key));
        return 0;
    });
}

namespace {

// `config set/unset`: the project's own file, or with `shared` the team's quillbox.toml, which
// is changed alone (the machine's settings are not copied into it).
template <class Change>
int change_config(const fs::path& root_arg, const std::string& key, bool shared, Change&& change) {
    return config_command([&] {
        Project project = open_project(root_arg, false);
        const fs::path file = shared ? shared_config_file_of(project.root) : config_file_of(project.root);
        Config cfg = shared ? Config::load(file) : *project.config;
        change(cfg);
        cfg.save(file);
        Config now = load_project_config(project.root);
        std::string line = fmt::format("{} = {}{}", key, now.get(key), now.is_set(key) ? "" : " (default)");
        if (shared) line += fmt::format("  (in {}, shared with the team)", file.string());
        if (shared && project.config->is_set(key) && !project.config->is_shared(key))
            line += fmt::format("; note: {} sets it for this machine, which wins", config_file_of(project.root).string());
        say(line);
        return 0;
    });
}

}  // namespace

int cmd_config_set(const fs::path& root_arg, const std::string& key, const std::string& value, bool shared) {
    return change_config(root_arg, key, shared, [&](Config& cfg) { cfg.set(key, value); });
}

int cmd_config_unset(const fs::path& root_arg, const std::string& key, bool shared) {
    return change_config(root_arg, key, shared, [&](Config& cfg) { cfg.unset(key); });
}

int cmd_config_list(const fs::path& root_arg) {
    return config_command([&] {
        Project project = open_project(root_arg, false);
        say(fmt::format("# {} (this machine), over {} (shared)", config_file_of(project.root).string(),
                        shared_config_file_of(project.root).string()));
        for (const auto& k : config_keys()) {
            const bool set = project.config->is_set(k.key), shared = project.config->is_shared(k.key);
            say(fmt::format("{} = {}{}    # {}", k.key, project.config->get(k.key),
                            shared ? " (shared)" : set ? "" : " (default)", k.description));
        }
        return 0;
    });
}

namespace {

std::string model_names() { return fmt::format("{}", fmt::join(local_model_names(), ", ")); }

}  // namespace

int cmd_model_list(const fs::path& root_arg) {
    // The model this project's semantic search would use, when the command runs in a project.
    std::string used;
    try {
        Project project = open_project(root_arg, false);
        if (project.config->get("semantic.backend") == "none")
            say("Semantic search is switched off in this project (semantic.backend = none).");
        else if (project.config->get("semantic.backend") == "openai")
            say(fmt::format("This project embeds through {} (semantic.backend = openai); the local models "
                            "below are not used.",
                            project.config->get("semantic.endpoint")));
        else
            used = semantic_model_for(*project.config);
    } catch (const std::exception& e) {
        if (!root_arg.empty()) {
            complain(e.what());
            return 2;
        }
        // The current directory is no usable project: list without the marker.
    }
    say(fmt::format("{:<24} {:>4}  {:<6} {}", "MODEL", "DIM", "LANG", "STATUS"));
    for (const auto& m : list_models()) {
        std::string status = m.location ? "installed: " + m.location->string()
                                        : "not downloaded (quillbox model pull " + m.name + ")";
        say(fmt::format("{:<24} {:>4}  {:<6} {}{}", m.name, m.dim, m.lang, status,
                        m.name == used ? "  <- used by this project" : ""));
    }
    say(fmt::format("Models are looked up in {} and {}.", hf_hub_cache().string(), quillbox_model_dir().string()));
    return 0;
}

int cmd_model_pull(const std::string& name) {
    if (!AVAILABLE_MODELS.count(name)) {
        complain(fmt::format("unknown model '{}'. Valid models: {}", name, model_names()));
        return 2;
    }
    try {
        fs::path dir = pull_model(name, terminal_progress());
        say(fmt::format("Model {} is ready in {}", name, dir.string()));
        return 0;
    } catch (const std::exception& e) {
        complain(fmt::format("downloading {} ({}) failed: {}", name, model_repo(name), e.what()));
        complain("Check the network connection and try again. HF_ENDPOINT can point to a mirror of the "
                 "Hugging Face hub (HF_ENDPOINT=https://… quillbox model pull " + name +
                 "); a copy placed in " + (quillbox_model_dir() / name).string() + " is used as well.");
        return 1;
    }
}

}  // namespace quillbox::host
