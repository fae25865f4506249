#include "host/doctor.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <regex>
#include <set>
#include <sstream>

#include "host/clients.h"
#include "host/commands.h"
#include "host/config.h"
#include "host/embeddings.h"
#include "host/hook.h"
#include "host/ignore.h"
#include "host/project.h"
#include "quillbox/detail/file_key.h"
#include "quillbox/indexer.h"
#include "quillbox/rulefile.h"
#include "quillbox/semantic.h"
#include "quillbox/version.h"

namespace fs = std::filesystem;

namespace quillbox::host {

using State = DoctorCheck::State;

std::string expand_env_refs(const std::string& text) {
    static const std::regex ref(R"(\$\{([A-Za-z_][A-Za-z0-9_]*)(:-([^}]*))?\})");
    std::string out;
    auto begin = std::sregex_iterator(text.begin(), text.end(), ref);
    std::size_t last = 0;
    for (auto it = begin; it != std::sregex_iterator(); ++it) {
        const auto& m = *it;
        out += text.substr(last, static_cast<std::size_t>(m.position(0)) - last);
        const char* value = std::getenv(m[1].str().c_str());
        if (value && *value)
            out += value;
        else if (m[2].matched)
            out += m[3].str();
        else
            out += m[0].str();
        last = static_cast<std::size_t>(m.position(0) + m.length(0));
    }
    return out + text.substr(last);
}

fs::path find_program(const std::string& command) {
    if (command.empty()) return {};
    std::error_code ec;
    if (command.find('/') != std::string::npos)
        return ::access(command.c_str(), X_OK) == 0 ? fs::path(command) : fs::path();
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/local/bin:/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        fs::path candidate = fs::path(dir.empty() ? "." : dir) / command;
        if (fs::is_regular_file(candidate, ec) && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

bool program_on_path(const fs::path& exe) {
    const fs::path on_path = find_program("quillbox");
    if (on_path.empty()) return false;
    std::error_code ec;
    if (fs::equivalent(on_path, exe, ec)) return true;
    const char* launcher = std::getenv("QUILLBOX_LAUNCHER");
    return launcher && *launcher && fs::equivalent(on_path, launcher, ec);
}

namespace {

// Runs a program with arguments for at most `seconds`; its first line of output, or none when
// it failed, could not start or took too long.
std::optional<std::string> first_line_of(const fs::path& program, const std::vector<std::string>& args,
                                         double seconds) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(out[0]);
        ::close(out[1]);
        return std::nullopt;
    }
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, STDIN_FILENO);
            ::dup2(null, STDERR_FILENO);
        }
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    bool timed_out = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timed_out = true;
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            timed_out = r == 0;
            break;
        }
        char buf[4096];
        ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    if (timed_out) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (timed_out || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return text.substr(0, text.find('\n'));
}

DoctorCheck ok(std::string label, std::string detail) { return {State::ok, std::move(label), std::move(detail), {}}; }
DoctorCheck note(std::string label, std::string detail, std::string fix) {
    return {State::note, std::move(label), std::move(detail), std::move(fix)};
}
DoctorCheck problem(std::string label, std::string detail, std::string fix) {
    return {State::problem, std::move(label), std::move(detail), std::move(fix)};
}

std::string read_or_empty(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void check_program(std::vector<DoctorCheck>& out) {
    const fs::path exe = current_executable();
    std::error_code ec;
    const fs::path on_path = find_program("quillbox");
    if (program_on_path(exe)) {
        out.push_back(ok("Program", fmt::format("quillbox {} at {} (on PATH)", QUILLBOX_VERSION, exe.string())));
    } else if (!on_path.empty()) {
        out.push_back(note("Program",
                           fmt::format("quillbox {} at {}; PATH runs another copy, {}", QUILLBOX_VERSION,
                                       exe.string(), on_path.string()),
                           "make sure both are the same release, or remove the other copy from PATH"));
    } else {
        out.push_back(note("Program", fmt::format("quillbox {} at {}, not on PATH", QUILLBOX_VERSION, exe.string()),
                           fmt::format("sudo ln -s {} /usr/local/bin/quillbox   (then `quillbox install` writes "
                                       "a registration without machine paths)",
                                       exe.string())));
    }
}

bool check_project(const Project& project, std::vector<DoctorCheck>& out) {
    std::error_code ec;
    // A fresh clone has no data folder yet: the server makes it when it starts.
    const bool has_data = fs::is_directory(project.data_dir, ec);
    const fs::path& must_write = has_data ? project.data_dir : project.root;
    if (::access(must_write.c_str(), W_OK) != 0 || ::access(project.root.c_str(), W_OK) != 0) {
        out.push_back(problem("Project", fmt::format("{} is not writable", must_write.string()),
                              "sudo chown -R \"$USER\" " + shell_quote(must_write.string())));
        return false;
    }
    if (has_data)
        out.push_back(ok("Project", fmt::format("{}, data in {} (writable)", project.root.string(),
                                                project.data_dir.string())));
    else
        out.push_back(ok("Project", fmt::format("{} (writable; {} is made when the server first starts)",
                                                project.root.string(), project.data_dir.filename().string())));
    return true;
}

// The fix for a client's registration: `quillbox install`, with --client for all but Claude Code.
std::string install_fix(const ClientInfo& info) {
    return info.id == Client::claude ? "quillbox install" : fmt::format("quillbox install --client {}", info.name);
}

// A client's server entry: it must start `quillbox serve` for this project with a program
// that runs. `label` heads the line.
void check_client_entry(const Project& project, const ClientInfo& info, const std::string& label,
                        std::vector<DoctorCheck>& out) {
    const fs::path file = project.root / info.file;
    const std::string fix = install_fix(info);
    std::optional<nlohmann::ordered_json> entry;
    try {
        std::string text = read_or_empty(file);
        if (!text.empty()) entry = find_client_entry(info.id, text);
    } catch (const std::exception& e) {
        out.push_back(problem(label, fmt::format("{} is unreadable: {}", file.string(), e.what()),
                              fmt::format("fix {}, then run {}", info.file, fix)));
        return;
    }
    if (!entry) {
        out.push_back(problem(label, fmt::format("no \"quillbox\" server in {}", info.file), fix));
        return;
    }
    const std::string command = entry->value("command", std::string());
    const fs::path program = find_program(expand_env_refs(command));
    if (program.empty()) {
        // A committed entry names `quillbox`: the fix is this machine's PATH, never machine
        // paths written into the team's files.
        const bool bare = command.find('/') == std::string::npos;
        out.push_back(problem(label,
                              fmt::format("{} runs \"{}\", which is not found{}", info.file, command, bare ? " on PATH" : ""),
                              bare ? fmt::format("sudo ln -s {} /usr/local/bin/{}", shell_quote(current_executable().string()),
                                                 command)
                                   : fix));
        return;
    }
    std::vector<std::string> args;
    if (entry->contains("args") && (*entry)["args"].is_array())
        for (const auto& a : (*entry)["args"])
            if (a.is_string()) {
                // VS Code and Cursor fill in the folder they have open.
                std::string arg = a.get<std::string>();
                for (std::size_t at; (at = arg.find("${workspaceFolder}")) != std::string::npos;)
                    arg.replace(at, 18, project.root.string());
                args.push_back(expand_env_refs(arg));
            }
    // The root the client will pass: relative paths are taken from the project directory, where
    // the clients start project servers.
    fs::path root_arg = project.root;
    for (std::size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "--root") root_arg = args[i + 1];
    std::error_code ec;
    fs::path served = fs::weakly_canonical(root_arg.is_relative() ? project.root / root_arg : root_arg, ec);
    if (args.empty() || args[0] != "serve" || served != project.root) {
        out.push_back(problem(label,
                              fmt::format("{} does not start `quillbox serve` for this project (root {})", info.file,
                                          served.string()),
                              fix));
        return;
    }
    auto version = first_line_of(program, {"--version"}, 10.0);
    if (!version) {
        out.push_back(problem(label, fmt::format("{} does not run (`--version` failed)", program.string()),
                              fix + "   (after reinstalling quillbox)"));
        return;
    }
    out.push_back(ok(label, fmt::format("{} runs {} ({})", info.file, command, *version)));
}

void check_registration(const Project& project, std::vector<DoctorCheck>& out) {
    check_client_entry(project, client_info(Client::claude), "MCP registration", out);
}

void check_rules(const Project& project, std::vector<DoctorCheck>& out) {
    const fs::path claude_md = project.root / "CLAUDE.md";
    try {
        if (!has_quillbox_section(claude_md)) {
            out.push_back(problem("Agent rules", "CLAUDE.md has no Quillbox rules section", "quillbox install"));
        } else if (!is_current_version(claude_md)) {
            auto v = _detect_version(claude_md);
            out.push_back(problem("Agent rules",
                                  fmt::format("CLAUDE.md has an outdated rules section ({}, current {})",
                                              v.value_or("no version"), RULES_VERSION),
                                  "quillbox install"));
        } else {
            out.push_back(ok("Agent rules", fmt::format("CLAUDE.md has the current section ({})", RULES_VERSION)));
        }
    } catch (const std::exception& e) {
        out.push_back(problem("Agent rules", fmt::format("CLAUDE.md cannot be read: {}", e.what()),
                              "fix CLAUDE.md (it must be UTF-8 text), then run quillbox install"));
    }
}

void check_hook(const Project& project, std::vector<DoctorCheck>& out) {
    const fs::path settings = project.root / ".claude" / "settings.json";
    std::vector<std::string> commands;
    try {
        std::string text = read_or_empty(settings);
        if (!text.empty()) commands = our_hook_commands(text);
        if (commands.empty()) {
            out.push_back(problem("Write hook", "not registered in .claude/settings.json", "quillbox install"));
            return;
        }
    } catch (const std::exception& e) {
        out.push_back(problem("Write hook", fmt::format(".claude/settings.json is unreadable: {}", e.what()),
                              "fix the JSON of .claude/settings.json, then run quillbox install"));
        return;
    }
    // Run as Claude Code runs it (through the shell, the call on stdin), on a call it lets pass.
    for (const auto& command : commands) {
        const std::string call = nlohmann::json{{"session_id", "doctor"},
                                                {"cwd", project.root.string()},
                                                {"hook_event_name", "PreToolUse"},
                                                {"tool_name", "Read"},
                                                {"tool_input", {{"file_path", (project.root / "CLAUDE.md").string()}}}}
                                     .dump();
        if (!first_line_of("/bin/sh", {"-c", "printf '%s' " + shell_quote(call) + " | " + command}, 10.0)) {
            const bool bare = command.starts_with("quillbox ");
            out.push_back(problem("Write hook", fmt::format("the hook's command does not run: {}", command),
                                  bare ? fmt::format("sudo ln -s {} /usr/local/bin/quillbox",
                                                     shell_quote(current_executable().string()))
                                       : std::string("quillbox install")));
            return;
        }
    }
    Config cfg = *project.config;
    out.push_back(ok("Write hook", fmt::format("registered in .claude/settings.json (Write of an existing .md file "
                                               "over {} lines is denied)",
                                               cfg.get("hook.max_lines"))));
}

// SQLite's integrity check names every damaged page on a line of its own: the first line and
// how many more there are.
std::string integrity_summary(const std::string& integrity) {
    std::vector<std::string> lines;
    std::istringstream in(integrity);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && !line.starts_with("*** in database")) lines.push_back(line);
    if (lines.empty()) return "the integrity check gave no answer";
    std::string first = lines.front().size() > 120 ? lines.front().substr(0, 117) + "..." : lines.front();
    if (lines.size() == 1) return first;
    return fmt::format("{}; and {} more problem{}", first, lines.size() - 1, lines.size() == 2 ? "" : "s");
}

void check_index(const Project& project, std::vector<DoctorCheck>& out) {
    const fs::path db = project.data_dir / "index.db";
    std::vector<fs::path> on_disk = IgnoreRules(project.root).markdown_files();
    std::error_code ec;
    if (!fs::exists(db, ec)) {
        out.push_back(ok("Index", fmt::format("no index yet; the server indexes the {} Markdown files when it starts",
                                              on_disk.size())));
        return;
    }
    // What the server does with an index it cannot use: moves a damaged one aside and rebuilds
    // it, keeps one it cannot write in memory (block ids then last one session).
    if (fs::is_symlink(fs::symlink_status(db, ec))) {
        out.push_back(problem("Index", fmt::format("{} is a symbolic link; the server does not follow it, but moves "
                                                   "it aside and builds a fresh index", db.string()),
                              "quillbox reindex"));
        return;
    }
    if (::access(db.c_str(), R_OK | W_OK) != 0 || ::access(project.data_dir.c_str(), W_OK) != 0) {
        out.push_back(problem("Index", fmt::format("{} cannot be written ({}); the server keeps its index in memory, "
                                                   "so block ids last only one session", db.string(),
                                                   std::strerror(errno)),
                              "sudo chown -R \"$USER\" " + shell_quote(project.data_dir.string())));
        return;
    }
    try {
        const IndexHealth health = Indexer::inspect(db);
        if (health.integrity != "ok") {
            out.push_back(problem("Index",
                                  fmt::format("{} is damaged ({}); the server moves it aside and rebuilds it from "
                                              "the files when it starts",
                                              db.string(), integrity_summary(health.integrity)),
                                  "quillbox reindex"));
            return;
        }
        const std::set<std::string>& indexed = health.indexed_files;
        std::size_t stale = 0;
        for (const auto& f : indexed)
            if (!fs::exists(f, ec)) ++stale;
        std::size_t missing = 0;
        for (const auto& f : on_disk)
            if (!indexed.count(detail::file_key(f).string())) ++missing;
        std::string detail = fmt::format("{} of {} Markdown files indexed", on_disk.size() - missing, on_disk.size());
        if (stale) detail += fmt::format("; {} indexed files no longer exist", stale);
        if (stale)
            out.push_back(problem("Index", detail, "quillbox reindex"));
        else if (missing)
            out.push_back(note("Index", detail + " (the others are indexed when the agent first lists them)",
                               "quillbox reindex"));
        else
            out.push_back(ok("Index", detail + ", integrity ok"));
    } catch (const std::exception& e) {
        out.push_back(problem("Index", fmt::format("{} cannot be read: {}", db.string(), e.what()),
                              "rm " + shell_quote(db.string()) + " && quillbox reindex"));
    }
}

long read_proc_number(const char* path) {
    std::ifstream f(path);
    long v = -1;
    f >> v;
    return f ? v : -1;
}

void check_inotify(const Project& project, std::vector<DoctorCheck>& out) {
    // The folders the server's watcher takes: those the ignore rule keeps.
    const std::size_t dirs = IgnoreRules(project.root).watched_folder_count();
    const long watches = read_proc_number("/proc/sys/fs/inotify/max_user_watches");
    const long instances = read_proc_number("/proc/sys/fs/inotify/max_user_instances");
    const std::string fix =
        "echo fs.inotify.max_user_watches=524288 | sudo tee /etc/sysctl.d/60-inotify.conf && sudo sysctl --system";
    if (watches < 0) {
        out.push_back(note("File watching", "the inotify limits cannot be read", fix));
    } else if (static_cast<long>(dirs) >= watches) {
        out.push_back(problem("File watching",
                              fmt::format("{} directories to watch, but max_user_watches is {}", dirs, watches), fix));
    } else if (static_cast<long>(dirs) * 2 >= watches) {
        out.push_back(note("File watching",
                           fmt::format("{} directories to watch use over half of max_user_watches ({}), which "
                                       "other programs share",
                                       dirs, watches),
                           fix));
    } else {
        out.push_back(ok("File watching", fmt::format("{} directories to watch; max_user_watches {}, "
                                                      "max_user_instances {}",
                                                      dirs, watches, instances)));
    }
}

void check_semantic(const Project& project, std::vector<DoctorCheck>& out) {
    const Config& cfg = *project.config;
    const std::string backend = cfg.get("semantic.backend");
    if (backend == "none") {
        out.push_back(note("Semantic search", "switched off (semantic.backend = none)",
                           "quillbox config set semantic.backend local"));
        return;
    }
    if (backend == "openai") {
        const std::string endpoint = cfg.get("semantic.endpoint"), model = cfg.get("semantic.endpoint_model");
        if (endpoint.empty() || model.empty()) {
            out.push_back(problem("Semantic search", "semantic.backend is openai, but the endpoint or its model is not set",
                                  "quillbox config set semantic.endpoint http://127.0.0.1:11434 && quillbox config "
                                  "set semantic.endpoint_model MODEL"));
            return;
        }
        try {
            auto provider = make_embedding_provider(cfg);
            auto vecs = provider->encode({"quillbox doctor"});
            out.push_back(ok("Semantic search", fmt::format("endpoint {} answers (model {}, {} dimensions)",
                                                            embeddings_url(endpoint), model,
                                                            vecs.empty() ? 0 : vecs.front().size())));
        } catch (const std::exception& e) {
            out.push_back(problem("Semantic search", fmt::format("endpoint {} fails: {}", embeddings_url(endpoint), e.what()),
                                  "start the embeddings server, or: quillbox config set semantic.endpoint URL"));
        }
        return;
    }
    const std::string model = semantic_model_for(cfg);
    if (auto dir = find_model_dir(model)) {
        out.push_back(ok("Semantic search", fmt::format("local model {} in {}", model, dir->string())));
    } else {
        out.push_back(note("Semantic search",
                           fmt::format("local model {} is not on this machine; md_search_blocks answers once it is",
                                       model),
                           fmt::format("quillbox model pull {}   (or, to go without semantic search: quillbox config "
                                       "set semantic.backend none)",
                                       model)));
    }
}

// Which clients' files hold our server; nothing for a file that cannot be read (its own
// check reports it).
bool registered_for(const Project& project, const ClientInfo& info) {
    try {
        const std::string text = read_or_empty(project.root / info.file);
        return !text.empty() && find_client_entry(info.id, text).has_value();
    } catch (const std::exception&) {
        return false;
    }
}

// Every other client file there is, and the rules those clients read.
void check_other_clients(const Project& project, std::vector<DoctorCheck>& out) {
    bool agents_md = false;
    for (const ClientInfo& info : all_clients()) {
        std::error_code ec;
        if (info.id == Client::claude || !fs::exists(project.root / info.file, ec)) continue;
        const bool registered = registered_for(project, info);
        if (registered) {
            check_client_entry(project, info, std::string(info.display), out);
        } else {
            try {
                find_client_entry(info.id, read_or_empty(project.root / info.file));
                out.push_back(note(std::string(info.display), fmt::format("{} has no \"quillbox\" server", info.file),
                                   install_fix(info)));
            } catch (const std::exception&) {
                check_client_entry(project, info, std::string(info.display), out);  // reports the file
            }
        }
        agents_md = agents_md || (registered && info.reads_agents_md);
        if (info.id == Client::gemini && registered) {
            bool reads = false;
            try {
                reads = gemini_reads_agents_md(read_or_empty(project.root / info.file));
            } catch (const std::exception&) {
            }
            if (!reads)
                out.push_back(problem("Gemini CLI rules",
                                      fmt::format("{} does not name AGENTS.md among its context files", info.file),
                                      install_fix(info)));
        }
    }
    if (!agents_md) return;
    const fs::path file = project.root / AGENTS_MD;
    try {
        if (!has_quillbox_section(file))
            out.push_back(problem("AGENTS.md rules", "AGENTS.md has no Quillbox rules section",
                                  "quillbox install --client codex (or the client you use)"));
        else if (!is_current_version(file))
            out.push_back(problem("AGENTS.md rules",
                                  fmt::format("AGENTS.md has an outdated rules section ({}, current {})",
                                              _detect_version(file).value_or("no version"), RULES_VERSION),
                                  "quillbox install --client codex (or the client you use)"));
        else
            out.push_back(ok("AGENTS.md rules", fmt::format("AGENTS.md has the current section ({})", RULES_VERSION)));
    } catch (const std::exception& e) {
        out.push_back(problem("AGENTS.md rules", fmt::format("AGENTS.md cannot be read: {}", e.what()),
                              "fix AGENTS.md (it must be UTF-8 text)"));
    }
}

// Claude Code is checked unless the project is set up for other clients only.
bool claude_in_use(const Project& project) {
    std::error_code ec;
    if (fs::exists(project.root / ".mcp.json", ec)) return true;
    try {
        if (has_quillbox_section(project.root / "CLAUDE.md")) return true;
        const std::string hooks = read_or_empty(project.root / ".claude" / "settings.json");
        if (!hooks.empty() && has_hook(hooks)) return true;
    } catch (const std::exception&) {
        return true;
    }
    for (const ClientInfo& info : all_clients())
        if (info.id != Client::claude && registered_for(project, info)) return false;
    return true;
}

}  // namespace

std::vector<DoctorCheck> run_doctor_checks(const fs::path& root_arg) {
    std::vector<DoctorCheck> out;
    check_program(out);
    std::optional<Project> project;
    try {
        // From a subfolder of a repository: the project install would have set up.
        project = open_project(install_root(root_arg, nullptr), false);
    } catch (const DataFolderOutsideError& e) {
        out.push_back(problem("Data folder", e.what(), "remove the link named above"));
        return out;
    } catch (const std::exception& e) {
        out.push_back(problem("Project", e.what(), "run quillbox doctor inside the project, or pass --root DIR"));
        return out;
    }
    if (!check_project(*project, out)) return out;
    std::vector<void (*)(const Project&, std::vector<DoctorCheck>&)> checks;
    if (claude_in_use(*project)) checks = {check_registration, check_rules, check_hook};
    for (auto* check : {check_other_clients, check_index, check_inotify, check_semantic}) checks.push_back(check);
    for (auto* check : checks) {
        try {
            check(*project, out);
        } catch (const std::exception& e) {
            out.push_back(problem("Check", e.what(), "report this as a bug of quillbox doctor"));
        }
    }
    return out;
}

std::string format_doctor_report(const std::vector<DoctorCheck>& checks) {
    std::string text;
    std::size_t problems = 0, notes = 0;
    for (const auto& c : checks) {
        const char* mark = c.state == State::ok ? "✓" : c.state == State::note ? "!" : "✗";
        text += fmt::format("{} {:<17} {}\n", mark, c.label, c.detail);
        if (c.state != State::ok && !c.fix.empty()) text += fmt::format("  {:<17} fix: {}\n", "", c.fix);
        problems += c.state == State::problem;
        notes += c.state == State::note;
    }
    if (problems)
        text += fmt::format("{} problem{} found.\n", problems, problems == 1 ? "" : "s");
    else
        text += notes ? "No problems (see the notes above).\n" : "All is well.\n";
    return text;
}

int cmd_doctor(const fs::path& root_arg) {
    auto checks = run_doctor_checks(root_arg);
    std::cout << format_doctor_report(checks);
    for (const auto& c : checks)
        if (c.state == State::problem) return 1;
    return 0;
}

}  // namespace quillbox::host
