#pragma once
// `quillbox serve`: the MCP server over stdio.

#include <filesystem>
#include <optional>
#include <string>

namespace quillbox::host {

struct ServeOptions {
    std::filesystem::path root;            // empty: current directory
    std::optional<std::string> log_level;  // overrides the configuration
};

// The root `serve` works on, from its --root argument: ${VAR} references expanded (a client
// may pass them as written); when that leaves no root or ".", the CLAUDE_PROJECT_DIR that
// Claude Code sets in the server's environment, if any: it starts servers in whatever
// folder the session began in, which may be a subfolder of the project.
std::filesystem::path serve_root(const std::string& root_arg);

// Serves one MCP session on stdin/stdout until end of input, SIGINT or SIGTERM; returns the
// process exit code. Start-up problems are reported on stderr (exit code 1).
int run_serve(const ServeOptions& options);

// Turn rule for the agent view's file reads. MCP has no notion of conversation turns; a pause
// of more than `idle_seconds` between the end of one tool call and the start of the next is
// taken as the agent having handed back to the user, i.e. a new turn.
class TurnClock {
public:
    explicit TurnClock(double idle_seconds) : idle_(idle_seconds) {}
    // True when the call starting at `now` (seconds, monotonic) begins a new turn.
    bool call_starts(double now);
    void call_ends(double now) { last_end_ = now; }
    void reset() { last_end_.reset(); }

private:
    double idle_;
    std::optional<double> last_end_;
};

}  // namespace quillbox::host
