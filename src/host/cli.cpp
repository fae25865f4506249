// The `quillbox` program's commands: the MCP server and the project commands. The program
// (main.cpp) loads this library when a command needs more than the Write hook or --version.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "host/clients.h"
#include "host/commands.h"
#include "host/doctor.h"
#include "host/hook.h"
#include "host/revision.h"
#include "host/serve.h"
#include "quillbox/version.h"

namespace {

constexpr const char* ROOT_HELP = "Project root (default: the current directory). Quillbox keeps its index, "
                                  "backups and config.toml in DIR/.quillbox/";

constexpr const char* CLIENT_HELP =
    "MCP client to set up: claude (the default: .mcp.json, CLAUDE.md and the Write hook), codex "
    "(.codex/config.toml), gemini (.gemini/settings.json), vscode (.vscode/mcp.json), cursor (.cursor/mcp.json); "
    "the last four also get the rules in AGENTS.md. Repeat it, or separate names with commas, for several";

std::vector<std::string> client_names() {
    std::vector<std::string> names;
    for (const auto& info : quillbox::host::all_clients()) names.emplace_back(info.name);
    return names;
}

// Names already checked by CLI11; in the order given, each once.
std::vector<quillbox::host::Client> parse_clients(const std::vector<std::string>& names) {
    std::vector<quillbox::host::Client> out;
    for (const auto& name : names)
        if (auto c = quillbox::host::parse_client(name); c && std::find(out.begin(), out.end(), *c) == out.end())
            out.push_back(*c);
    return out;
}

// `quillbox frobnicate`: name the word and list the commands instead of CLI11's generic text.
std::optional<int> refuse_unknown_command(CLI::App& app, int argc, char** argv) {
    if (argc < 2) return std::nullopt;
    std::string word = argv[1];
    if (word.empty() || word[0] == '-') return std::nullopt;
    std::string names;
    for (const auto* sub : app.get_subcommands({})) {
        if (sub->get_name() == word) return std::nullopt;
        names += (names.empty() ? "" : ", ") + sub->get_name();
    }
    std::cerr << "quillbox: unknown command '" << word << "'. Commands: " << names
              << ".\nRun `quillbox --help` for what each does.\n";
    return 2;
}

// What the command line says: the values of the options and which command was chosen.
struct CommandLine {
    // One --root for every command; nested commands accept it after their own name too
    // (`config get KEY --root DIR`).
    std::string root;
    std::string log_level;
    bool purge = false;
    std::vector<std::string> clients;
    bool shared = false;
    std::vector<std::string> reindex_paths;
    std::string config_key, config_value, model_name;
    CLI::App *serve = nullptr, *install = nullptr, *uninstall = nullptr, *status = nullptr, *reindex = nullptr;
    CLI::App *config = nullptr, *config_get = nullptr, *config_set = nullptr, *config_unset = nullptr,
             *config_list = nullptr;
    CLI::App *model = nullptr, *model_list = nullptr, *model_pull = nullptr;
    CLI::App *doctor = nullptr, *hook = nullptr, *hook_pre = nullptr;
};

void add_project_commands(CLI::App& app, CommandLine& cl) {
    cl.serve = app.add_subcommand(
        "serve",
        "Run the MCP server on stdin/stdout (JSON-RPC 2.0, one message per line). MCP clients start this "
        "command themselves; it serves until its input ends or it gets SIGINT/SIGTERM.");
    cl.serve->add_option("--root", cl.root, ROOT_HELP)->type_name("DIR");
    cl.serve->add_option("--log-level", cl.log_level, "Override the configured log level (logs go to stderr)")
        ->check(CLI::IsMember({"debug", "info", "warning", "error"}))
        ->type_name("LEVEL");
    cl.serve->footer(
        "Tools: md_list_blocks, md_read_block, md_replace_block, md_find_blocks, md_search_blocks, md_edit,\n"
        "md_generate_toc, md_adjust_level, md_move_block, read_file.\n"
        "A pause of more than session.turn_idle_seconds (default 30) between tool calls counts as a new "
        "conversation turn for the read_file cache.");

    cl.install = app.add_subcommand(
        "install",
        "Set Quillbox up for a project: register the server in the project file of each MCP client given "
        "with --client (Claude Code by default: .mcp.json, the rules section in CLAUDE.md and the Write "
        "hook), keeping every other entry there.");
    cl.install->add_option("--root", cl.root, ROOT_HELP)->type_name("DIR");
    cl.install->add_option("--client", cl.clients, CLIENT_HELP)
        ->check(CLI::IsMember(client_names()))
        ->delimiter(',')
        ->type_name("CLIENT");

    cl.uninstall = app.add_subcommand(
        "uninstall", "Remove what install wrote (server entries, rules sections, the Write hook); everything "
                     "else in those files stays.");
    cl.uninstall->add_option("--root", cl.root, ROOT_HELP)->type_name("DIR");
    cl.uninstall->add_option("--client", cl.clients,
                             "Remove only what install wrote for these clients (default: every client)")
        ->check(CLI::IsMember(client_names()))
        ->delimiter(',')
        ->type_name("CLIENT");
    cl.uninstall->add_flag("--purge", cl.purge,
                           "Also delete the data directory .quillbox/ (index, backups, configuration)");

    cl.status = app.add_subcommand(
        "status",
        "Show what is indexed (files, blocks), the recorded operations and tokens saved with their value "
        "in the configured currency, and whether the rules and the MCP registration are in place.");
    cl.status->add_option("--root", cl.root, ROOT_HELP)->type_name("DIR");

    cl.reindex = app.add_subcommand(
        "reindex",
        "Index Markdown files into the block index: all .md files under the root by default (those git "
        "ignores skipped; outside a git repository, hidden folders and node_modules), or the given files "
        "and directories. Shows a progress bar "
        "on a terminal.");
    cl.reindex->add_option("--root", cl.root, ROOT_HELP)->type_name("DIR");
    cl.reindex->add_option("paths", cl.reindex_paths, "Files or directories inside the project")->type_name("PATH");
}

void add_config_commands(CLI::App& app, CommandLine& cl) {
    cl.config = app.add_subcommand(
        "config", "Read or change the project's configuration: quillbox.toml at the root (shared by the team, "
                  "committed), overridden on this machine by .quillbox/config.toml. Keys and values are "
                  "checked; `config list` shows every key, its value and what it does.");
    cl.config->add_option("--root", cl.root, ROOT_HELP)->type_name("DIR");
    cl.config->require_subcommand(1);
    cl.config->fallthrough();
    cl.config_get = cl.config->add_subcommand("get", "Print the value of KEY (its default when not set)");
    cl.config_get->add_option("key", cl.config_key, "Configuration key, e.g. pricing_model")
        ->required()
        ->type_name("KEY");
    cl.config_set = cl.config->add_subcommand("set", "Set KEY to VALUE after checking it");
    cl.config_set->add_option("key", cl.config_key, "Configuration key")->required()->type_name("KEY");
    cl.config_set->add_option("value", cl.config_value, "New value")->required()->type_name("VALUE");
    cl.config_set->add_flag("--shared", cl.shared,
                            "Write it to quillbox.toml at the project root, which the team commits, instead "
                            "of this machine's .quillbox/config.toml");
    cl.config_unset = cl.config->add_subcommand("unset", "Return KEY to its default");
    cl.config_unset->add_option("key", cl.config_key, "Configuration key")->required()->type_name("KEY");
    cl.config_unset->add_flag("--shared", cl.shared, "Remove it from quillbox.toml at the project root");
    cl.config_list = cl.config->add_subcommand("list", "Show every key with its value");
    cl.config->footer(
        "Keys: pricing_model, cache_enabled, language (en, zh), log_level, allow_outside_root,\n"
        "session.turn_idle_seconds, semantic.backend, semantic.model, semantic.endpoint,\n"
        "semantic.endpoint_model, semantic.api_key_env, semantic.timeout_seconds, pricing.currency,\n"
        "pricing.<model>.input|output.");
}

void add_model_commands(CLI::App& app, CommandLine& cl) {
    cl.model =
        app.add_subcommand("model", "Manage the local embedding models for semantic search (md_search_blocks)");
    cl.model->require_subcommand(1);
    cl.model->fallthrough();
    cl.model_list = cl.model->add_subcommand("list", "List the known embedding models, whether each is on this "
                                                     "machine, and which one the project uses");
    cl.model_list->add_option("--root", cl.root, ROOT_HELP)->type_name("DIR");
    cl.model_pull = cl.model->add_subcommand(
        "pull", "Download an embedding model from the Hugging Face hub ($HF_ENDPOINT, default "
                "https://huggingface.co) into its cache");
    cl.model_pull->add_option("name", cl.model_name, "Model name, e.g. bge-small-zh-v1.5")
        ->required()
        ->type_name("NAME");
}

void add_check_commands(CLI::App& app, CommandLine& cl) {
    cl.doctor = app.add_subcommand(
        "doctor", "Check the program, the project's data directory, the registration in every MCP client file "
                  "there is (.mcp.json, .codex/config.toml, .gemini/settings.json, .vscode/mcp.json, "
                  ".cursor/mcp.json), the rules in CLAUDE.md and AGENTS.md, the Write hook, the index, the file-watch limits and semantic search; each problem "
                  "comes with the command that fixes it. Exit code 0 when all is well, 1 otherwise.");
    cl.doctor->add_option("--root", cl.root, ROOT_HELP)->type_name("DIR");

    cl.hook = app.add_subcommand("hook", "Claude Code hooks (install registers them; Claude Code runs them)");
    cl.hook->require_subcommand(1);
    cl.hook->fallthrough();
    cl.hook->add_option("--root", cl.root, ROOT_HELP)->type_name("DIR");
    cl.hook_pre = cl.hook->add_subcommand(
        "pre-tool-use",
        "PreToolUse hook: reads the call from stdin and denies a Write that would rewrite an existing .md file "
        "of the project longer than hook.max_lines (default 100) lines, naming the block tools to use instead. "
        "Everything else passes.");
}

int run_command(const CommandLine& cl) {
    using namespace quillbox::host;
    if (*cl.serve) {
        ServeOptions serve_opts;
        serve_opts.root = serve_root(cl.root);
        if (!cl.log_level.empty()) serve_opts.log_level = cl.log_level;
        return run_serve(serve_opts);
    }
    if (*cl.install) return cmd_install(cl.root, parse_clients(cl.clients));
    if (*cl.uninstall) return cmd_uninstall(cl.root, cl.purge, parse_clients(cl.clients));
    if (*cl.status) return cmd_status(cl.root);
    if (*cl.reindex) return cmd_reindex(cl.root, cl.reindex_paths);
    if (*cl.config) {
        if (*cl.config_get) return cmd_config_get(cl.root, cl.config_key);
        if (*cl.config_set) return cmd_config_set(cl.root, cl.config_key, cl.config_value, cl.shared);
        if (*cl.config_unset) return cmd_config_unset(cl.root, cl.config_key, cl.shared);
        if (*cl.config_list) return cmd_config_list(cl.root);
    }
    if (*cl.doctor) return cmd_doctor(cl.root);
    if (*cl.hook && *cl.hook_pre) return run_pre_tool_use_hook(cl.root);
    if (*cl.model) {
        if (*cl.model_list) return cmd_model_list(cl.root);
        if (*cl.model_pull) return cmd_model_pull(cl.model_name);
    }
    return 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int quillbox_cli_main(int argc, char** argv) {
    CLI::App app{
        "Quillbox lets an AI coding agent work on Markdown files one heading section at a time: it lists "
        "the sections of a file with stable block ids, reads and replaces single sections (verified, "
        "backed up, atomic), and serves these operations as MCP tools."};
    app.name("quillbox");
    app.set_version_flag("--version",
                         std::string("quillbox ") + QUILLBOX_VERSION + " (revision " +
                             std::string(quillbox::source_revision()) + ")",
                         "Print the version and the source revision, and exit");
    app.require_subcommand(1);
    app.footer(
        "Start with `quillbox install` in your project, then let your MCP client start `quillbox serve`.\n"
        "Run `quillbox COMMAND --help` for the details of a command.");

    CommandLine cl;
    add_project_commands(app, cl);
    add_config_commands(app, cl);
    add_model_commands(app, cl);
    add_check_commands(app, cl);

    if (auto code = refuse_unknown_command(app, argc, argv)) return *code;
    CLI11_PARSE(app, argc, argv);

    try {
        return run_command(cl);
    } catch (const std::exception& e) {
        std::cerr << "quillbox: " << e.what() << '\n';
        return 1;
    }
}
