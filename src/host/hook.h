#pragma once
// `quillbox hook pre-tool-use`: a Claude Code PreToolUse hook that stops the native Write tool
// from rewriting a large existing Markdown file of the project whole, and points the agent to
// the block tools; and its registration in the project's .claude/settings.json.

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillbox::host {

inline constexpr std::string_view HOOK_SUBCOMMAND = "hook pre-tool-use";
inline constexpr long DEFAULT_HOOK_MAX_LINES = 100;

// The reason shown to the agent when a Write is denied, in `language` ("zh" or English); none
// when the call may pass. `input` is the hook's stdin object; `root` the project root
// (canonical); `max_lines` the largest file that may still be rewritten whole.
std::optional<std::string> pre_tool_use_denial(const nlohmann::json& input, const std::filesystem::path& root,
                                               long max_lines, std::string_view language = "en");

// The hook's stdout for a denial (exit code 0).
std::string pre_tool_use_deny_output(const std::string& reason);

// hook.max_lines of the project at `root` (canonical): this machine's setting over the team's,
// DEFAULT_HOOK_MAX_LINES when neither holds a whole number.
long hook_max_lines(const std::filesystem::path& root);
// The project's language read the same way, this machine's over the team's: "en" or "zh", and
// "en" when neither file holds one of them.
std::string hook_language(const std::filesystem::path& root);

// Runs the hook: reads stdin, writes a denial to stdout when due. Exit code 0 in every case
// but unreadable input (1: Claude Code reports it and lets the call through).
int run_pre_tool_use_hook(const std::filesystem::path& root_arg);

// The command line Claude Code runs for the hook: `quillbox hook pre-tool-use` when `exe` is
// the `quillbox` found on PATH, else the program's absolute path.
std::string hook_command(const std::filesystem::path& exe, bool on_path);

// Whether a hook command is ours (any spelling of the program's path).
bool is_our_hook_command(std::string_view command);

// .claude/settings.json with our PreToolUse hook for Write added (everything else kept, in
// order); none when it is already there. Throws ClientConfigError for a file that is not a
// JSON object or whose hooks are not of the documented shape.
std::optional<std::string> merge_hook(std::string_view existing, const std::string& command);
// The text without our hook; none when it held no hook of ours. An empty object stays "{}".
std::optional<std::string> remove_hook(std::string_view existing);
// Whether the settings hold our hook.
bool has_hook(std::string_view existing);
// The command lines of our hooks in the settings, in order. Throws ClientConfigError.
std::vector<std::string> our_hook_commands(std::string_view existing);

}  // namespace quillbox::host
