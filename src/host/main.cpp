// The `quillbox` program: the MCP server and the project commands.
#include <CLI/CLI.hpp>

#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "host/commands.h"
#include "host/doctor.h"
#include "host/hook.h"
#include "host/revision.h"
#include "host/serve.h"
#include "quillbox/version.h"

namespace {

constexpr const char* ROOT_HELP = "Project root (default: the current directory). Quillbox keeps its index, "
                                  "backups and config.toml in DIR/.quillbox/";

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

}  // namespace

int main(int argc, char** argv) {
    using namespace quillbox::host;

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

    // One --root for every command; nested commands accept it after their own name too
    // (`config get KEY --root DIR`).
    std::string root;
    ServeOptions serve_opts;
    std::string log_level;
    auto* serve = app.add_subcommand(
        "serve",
        "Run the MCP server on stdin/stdout (JSON-RPC 2.0, one message per line). MCP clients start this "
        "command themselves; it serves until its input ends or it gets SIGINT/SIGTERM.");
    serve->add_option("--root", root, ROOT_HELP)->type_name("DIR");
    serve->add_option("--log-level", log_level, "Override the configured log level (logs go to stderr)")
        ->check(CLI::IsMember({"debug", "info", "warning", "error"}))
        ->type_name("LEVEL");
    serve->footer(
        "Tools: md_list_blocks, md_read_block, md_replace_block, md_find_blocks, md_search_blocks, md_edit,\n"
        "md_generate_toc, md_adjust_level, md_move_block, read_file.\n"
        "A pause of more than session.turn_idle_seconds (default 30) between tool calls counts as a new "
        "conversation turn for the read_file cache.");

    auto* install = app.add_subcommand(
        "install",
        "Set Quillbox up for a project: add the rules section to CLAUDE.md, register the server in the "
        "project's .mcp.json for Claude Code (other servers there are kept), and print the registration "
        "for other MCP clients (Claude Desktop, Cursor, VS Code).");
    install->add_option("--root", root, ROOT_HELP)->type_name("DIR");

    bool purge = false;
    auto* uninstall = app.add_subcommand(
        "uninstall", "Remove the rules section from CLAUDE.md and the server from .mcp.json (other servers stay).");
    uninstall->add_option("--root", root, ROOT_HELP)->type_name("DIR");
    uninstall->add_flag("--purge", purge, "Also delete the data directory .quillbox/ (index, backups, configuration)");

    auto* status = app.add_subcommand(
        "status",
        "Show what is indexed (files, blocks), the recorded operations and tokens saved with their value "
        "in the configured currency, and whether the rules and the MCP registration are in place.");
    status->add_option("--root", root, ROOT_HELP)->type_name("DIR");

    std::vector<std::string> reindex_paths;
    auto* reindex = app.add_subcommand(
        "reindex",
        "Index Markdown files into the block index: all .md files under the root by default (hidden "
        "directories and node_modules skipped), or the given files and directories. Shows a progress bar "
        "on a terminal.");
    reindex->add_option("--root", root, ROOT_HELP)->type_name("DIR");
    reindex->add_option("paths", reindex_paths, "Files or directories inside the project")->type_name("PATH");

    std::string config_key, config_value;
    auto* config = app.add_subcommand(
        "config", "Read or change the project's configuration (.quillbox/config.toml). Keys and values are "
                  "checked; `config list` shows every key, its value and what it does.");
    config->add_option("--root", root, ROOT_HELP)->type_name("DIR");
    config->require_subcommand(1);
    config->fallthrough();
    auto* config_get = config->add_subcommand("get", "Print the value of KEY (its default when not set)");
    config_get->add_option("key", config_key, "Configuration key, e.g. pricing_model")->required()->type_name("KEY");
    auto* config_set = config->add_subcommand("set", "Set KEY to VALUE after checking it");
    config_set->add_option("key", config_key, "Configuration key")->required()->type_name("KEY");
    config_set->add_option("value", config_value, "New value")->required()->type_name("VALUE");
    auto* config_unset = config->add_subcommand("unset", "Return KEY to its default");
    config_unset->add_option("key", config_key, "Configuration key")->required()->type_name("KEY");
    auto* config_list = config->add_subcommand("list", "Show every key with its value");
    config->footer(
        "Keys: pricing_model, cache_enabled, language (en, zh), log_level, allow_outside_root,\n"
        "session.turn_idle_seconds, semantic.backend, semantic.model, semantic.endpoint,\n"
        "semantic.endpoint_model, semantic.api_key_env, semantic.timeout_seconds, pricing.currency,\n"
        "pricing.<model>.input|output.");

    std::string model_name;
    auto* model = app.add_subcommand("model", "Manage the local embedding models for semantic search (md_search_blocks)");
    model->require_subcommand(1);
    model->fallthrough();
    auto* model_list = model->add_subcommand("list", "List the known embedding models, whether each is on this "
                                                     "machine, and which one the project uses");
    model_list->add_option("--root", root, ROOT_HELP)->type_name("DIR");
    auto* model_pull = model->add_subcommand(
        "pull", "Download an embedding model from the Hugging Face hub ($HF_ENDPOINT, default "
                "https://huggingface.co) into its cache");
    model_pull->add_option("name", model_name, "Model name, e.g. bge-small-zh-v1.5")->required()->type_name("NAME");

    auto* doctor = app.add_subcommand(
        "doctor", "Check the program, the project's data directory, the .mcp.json registration, the CLAUDE.md "
                  "rules, the Write hook, the index, the file-watch limits and semantic search; each problem "
                  "comes with the command that fixes it. Exit code 0 when all is well, 1 otherwise.");
    doctor->add_option("--root", root, ROOT_HELP)->type_name("DIR");

    auto* hook = app.add_subcommand("hook", "Claude Code hooks (install registers them; Claude Code runs them)");
    hook->require_subcommand(1);
    hook->fallthrough();
    hook->add_option("--root", root, ROOT_HELP)->type_name("DIR");
    auto* hook_pre = hook->add_subcommand(
        "pre-tool-use",
        "PreToolUse hook: reads the call from stdin and denies a Write that would rewrite an existing .md file "
        "of the project longer than hook.max_lines (default 100) lines, naming the block tools to use instead. "
        "Everything else passes.");

    if (auto code = refuse_unknown_command(app, argc, argv)) return *code;
    CLI11_PARSE(app, argc, argv);

    try {
        if (*serve) {
            // A client that does not expand ${CLAUDE_PROJECT_DIR:-.} passes it as written.
            serve_opts.root = expand_env_refs(root);
            if (!log_level.empty()) serve_opts.log_level = log_level;
            return run_serve(serve_opts);
        }
        if (*install) return cmd_install(root);
        if (*uninstall) return cmd_uninstall(root, purge);
        if (*status) return cmd_status(root);
        if (*reindex) return cmd_reindex(root, reindex_paths);
        if (*config) {
            if (*config_get) return cmd_config_get(root, config_key);
            if (*config_set) return cmd_config_set(root, config_key, config_value);
            if (*config_unset) return cmd_config_unset(root, config_key);
            if (*config_list) return cmd_config_list(root);
        }
        if (*doctor) return cmd_doctor(root);
        if (*hook && *hook_pre) return run_pre_tool_use_hook(root);
        if (*model) {
            if (*model_list) return cmd_model_list(root);
            if (*model_pull) return cmd_model_pull(model_name);
        }
    } catch (const std::exception& e) {
        std::cerr << "quillbox: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
