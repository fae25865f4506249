#pragma once
// `quillbox doctor`: checks the program, the project and everything around it that the agent
// depends on, and says for each problem the one command that fixes it.

#include <filesystem>
#include <string>
#include <vector>

namespace quillbox::host {

struct DoctorCheck {
    enum class State { ok, note, problem };
    State state = State::ok;
    std::string label;   // "Index", "MCP registration", …
    std::string detail;  // what was found
    std::string fix;     // one line, for a note or a problem
};

// Every check, in display order. Never throws: a check that cannot run is a problem.
std::vector<DoctorCheck> run_doctor_checks(const std::filesystem::path& root_arg);

// The report as printed, and the exit code: 0 without problems, 1 with any.
std::string format_doctor_report(const std::vector<DoctorCheck>& checks);
int cmd_doctor(const std::filesystem::path& root_arg);

// `${VAR}` and `${VAR:-default}` expanded from the environment, as Claude Code expands them
// in .mcp.json; an unset `${VAR}` stays as written.
std::string expand_env_refs(const std::string& text);

// The program a command name runs: itself when it holds a slash, else the first executable
// of that name on PATH; empty when there is none.
std::filesystem::path find_program(const std::string& command);

// Whether the `quillbox` on PATH runs `exe`: it is `exe`, or it is the launcher that started
// `exe` (the Python package's console entry, which names itself in QUILLBOX_LAUNCHER).
bool program_on_path(const std::filesystem::path& exe);

}  // namespace quillbox::host
