#include "host/serve.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>

#include "host/background_index.h"
#include "host/doctor.h"
#include "host/ignore.h"
#include "host/log.h"
#include "host/mcp.h"
#include "host/milestones.h"
#include "host/project.h"
#include "host/tools.h"
#include "quillbox/blockops.h"
#include "quillbox/blockops/semantic_index.h"
#include "quillbox/detail/fd.h"
#include "quillbox/detail/file_key.h"
#include "quillbox/i18n.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/indexer.h"
#include "quillbox/safety.h"
#include "quillbox/tracker.h"
#include "quillbox/version.h"
#include "quillbox/watcher.h"

namespace fs = std::filesystem;

namespace quillbox::host {

fs::path serve_root(const std::string& root_arg) {
    std::string root = expand_env_refs(root_arg);
    if (root.empty() || fs::path(root).lexically_normal() == "." || fs::path(root).lexically_normal() == "./")
        if (const char* env = std::getenv("CLAUDE_PROJECT_DIR"); env && *env) return env;
    return root;
}

bool TurnClock::call_starts(double now) {
    return last_end_ && now - *last_end_ > idle_;
}

namespace {

int g_signal_pipe[2] = {-1, -1};

extern "C" void on_stop_signal(int) {
    int saved = errno;
    char c = 1;
    [[maybe_unused]] auto n = ::write(g_signal_pipe[1], &c, 1);
    errno = saved;
}

// SIGINT/SIGTERM write one byte to a pipe that the main loop watches next to stdin.
class StopSignals {
public:
    StopSignals() {
        if (::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
            throw std::system_error(errno, std::generic_category(), "pipe2");
        struct sigaction sa {};
        sa.sa_handler = on_stop_signal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &sa, &old_int_);
        ::sigaction(SIGTERM, &sa, &old_term_);
        struct sigaction ign {};
        ign.sa_handler = SIG_IGN;
        sigemptyset(&ign.sa_mask);
        ::sigaction(SIGPIPE, &ign, &old_pipe_);  // a vanished client shows up as EPIPE
    }
    ~StopSignals() {
        ::sigaction(SIGINT, &old_int_, nullptr);
        ::sigaction(SIGTERM, &old_term_, nullptr);
        ::sigaction(SIGPIPE, &old_pipe_, nullptr);
        ::close(g_signal_pipe[0]);
        ::close(g_signal_pipe[1]);
        g_signal_pipe[0] = g_signal_pipe[1] = -1;
    }
    int fd() const { return g_signal_pipe[0]; }

private:
    struct sigaction old_int_ {}, old_term_ {}, old_pipe_ {};
};

double monotonic_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Splits the input stream into lines. A line that grows past the limit is dropped whole: only
// its first bytes are kept (enough to find the request's id), and its end is reported as an
// oversized line.
class LineReader {
public:
    enum class Kind { line, oversized };
    struct Item {
        Kind kind;
        std::string_view text;  // the line without its line feed; its first bytes when oversized
    };
    static constexpr std::size_t KEPT_PREFIX = 4096;

    explicit LineReader(std::size_t max_bytes) : max_bytes_(max_bytes) {}

    // Consumes `data`, calling `on_item(Item)` for each completed line; stops early when it
    // returns false (the rest of `data` is then dropped).
    template <class OnItem>
    void feed(std::string_view data, OnItem&& on_item) {
        while (!data.empty()) {
            const auto nl = data.find('\n');
            if (nl == std::string_view::npos) {
                keep(data);
                return;
            }
            bool go_on;
            if (!discarding_ && buffer_.size() + nl > max_bytes_) keep(data.substr(0, nl));
            if (discarding_) {
                discarding_ = false;
                go_on = on_item(Item{Kind::oversized, prefix_});
            } else if (buffer_.empty()) {
                go_on = on_item(Item{Kind::line, data.substr(0, nl)});
            } else {
                buffer_.append(data.substr(0, nl));
                go_on = on_item(Item{Kind::line, buffer_});
                buffer_.clear();
            }
            data.remove_prefix(nl + 1);
            if (!go_on) return;
        }
    }

    // At end of input: the last line when it had no line feed (and was not dropped).
    std::optional<std::string> rest() const {
        if (buffer_.empty() || discarding_) return std::nullopt;
        return buffer_;
    }

private:
    void keep(std::string_view part) {
        if (!discarding_) buffer_.append(part);
        if (buffer_.size() > max_bytes_) {
            log_line(Level::warning, "message longer than {} bytes dropped", max_bytes_);
            prefix_.assign(buffer_, 0, KEPT_PREFIX);
            buffer_.clear();
            buffer_.shrink_to_fit();
            discarding_ = true;
        }
    }

    std::size_t max_bytes_;
    std::string buffer_;
    std::string prefix_;       // the first bytes of the line being dropped
    bool discarding_ = false;  // inside an over-long line
};

// What the watcher reports: a changed file is re-indexed, a deleted one forgotten. Runs on the
// watcher's timer thread.
class ChangeHandler {
public:
    ChangeHandler(Indexer& index, fs::path data_dir, const IgnoreRules& rules)
        : index_(index), data_dir_(std::move(data_dir)), rules_(rules) {}

    void attach(FileWatcher* watcher) { watcher_ = watcher; }

    void operator()(const fs::path& path) {
        if (path_is_within(path, data_dir_)) return;  // our own backups
        try {
            if (rules_.is_ignored(path, false)) return;
            std::error_code ec;
            if (!fs::exists(path, ec)) {
                int n = index_.drop_file(path);
                if (n > 0) log_line(Level::info, "{} was deleted; dropped its {} blocks", path.string(), n);
                return;
            }
            // Bytes the record already vouches for (a touch, a save without changes, a write of
            // ours) keep their rows: the record takes the new figures. Otherwise the pass drops
            // the file's record, so the next listing looks at the file itself.
            FileState state = file_state_of(path, compute_hash(detail::read_file_bytes(path)));
            auto recorded = index_.file_state(path);
            if (recorded && recorded->file_hash == state.file_hash && index_.refresh_file_state(path, state)) {
                log_line(Level::debug, "{} changed on disk but holds the indexed bytes", path.string());
                return;
            }
            int n = index_.index_file(path, watcher_.load());
            log_line(Level::debug, "re-indexed {} ({} blocks)", path.string(), n);
        } catch (const std::exception& e) {
            log_line(Level::warning, "re-index of {} after a change failed: {}", path.string(), e.what());
        }
    }

private:
    Indexer& index_;
    const fs::path data_dir_;
    const IgnoreRules& rules_;
    std::atomic<FileWatcher*> watcher_{nullptr};
};

// The project's Markdown files indexed afresh, after the index was renewed or moved to memory.
void index_project_files(Indexer& index, const IgnoreRules& rules) {
    std::vector<fs::path> files = rules.markdown_files();
    for (fs::path& f : files) f = detail::file_key(f);
    std::size_t failed = 0;
    try {
        index.index_files(files, [&](std::size_t, int, std::exception_ptr error) { failed += error != nullptr; });
    } catch (const std::exception& e) {
        log_line(Level::warning, "indexing the project's files failed: {}", e.what());
        return;
    }
    log_line(Level::info, "indexed {} Markdown files{}", files.size() - failed,
             failed ? fmt::format(" ({} could not be read)", failed) : std::string());
}

// What the index did about its file, told once: a log line when it happens (as far as the
// server learns of it), and a note with the next answer the agent gets.
class IndexNotes {
public:
    IndexNotes(Indexer& index, const IgnoreRules& rules) : index_(index), rules_(rules) {}

    // Picks up what the index did since the last look: logs it, indexes the files again and
    // keeps the note for the agent.
    void poll() {
        if (auto notice = index_.take_notice()) {
            if (notice->kind == IndexNotice::Kind::renewed) {
                log_line(Level::warning, "the index {} was damaged ({}); moved aside to {} and rebuilt from the files",
                         index_.db_path().string(), notice->reason, notice->moved_to.string());
                pending_ = get_message("index_renewed", {{"moved", notice->moved_to}});
            } else {
                log_line(Level::warning, "the index {} cannot be written ({}); keeping the index in memory",
                         index_.db_path().string(), notice->reason);
                pending_ = get_message("index_in_memory", {{"path", index_.db_path()}, {"reason", notice->reason}});
            }
            index_project_files(index_, rules_);
        }
    }

    // The note to give the agent with this answer, if any; once.
    std::string take() {
        poll();
        return std::exchange(pending_, std::string());
    }

private:
    Indexer& index_;
    const IgnoreRules& rules_;
    std::string pending_;
};

// The long-lived parts of the server, and the current MCP session. Members are destroyed in
// reverse order, so the session goes first and the watcher stops (no re-index may start once
// the index is gone) before the index closes.
struct Components {
    const Project* project = nullptr;
    std::unique_ptr<IgnoreRules> ignore;
    std::unique_ptr<Indexer> indexer;
    std::unique_ptr<IndexNotes> index_notes;
    std::unique_ptr<ChangeHandler> on_change;
    std::unique_ptr<FileWatcher> watcher;
    std::unique_ptr<BackgroundIndex> background;  // stops before the index closes
    std::shared_ptr<SemanticIndex> vectors;        // embeds in the background; stops before the index closes
    std::unique_ptr<SafetyEngine> safety;
    std::unique_ptr<Milestones> milestones;  // none when the statistics cannot be opened
    std::shared_ptr<EmbeddingProvider> embeddings;
    std::unique_ptr<TurnClock> turns;
    ToolRegistry tools;
    std::unique_ptr<Session> session;
    ToolContext context;

    // A session with nothing shown and nothing read, which the tools work on from now on.
    void new_session() {
        session = open_session(*project, *indexer, *watcher, *safety, embeddings);
        session->vectors = vectors;
        context.session = session.get();
        turns->reset();
    }
};

// Opens the index, starts the watcher and builds the rest; nothing (after logging why) when
// the session cannot start. A watcher that cannot start only turns watching off.
std::unique_ptr<Components> start_components(const Project& project) {
    auto c = std::make_unique<Components>();
    c->project = &project;
    const fs::path db = project.data_dir / "index.db";
    try {
        // A damaged index is moved aside and begun afresh, one that cannot be written is kept in
        // memory: the server answers whatever state its index is in.
        c->indexer = std::make_unique<Indexer>(db, Recovery::heal);
    } catch (const std::exception& e) {
        log_line(Level::error, "cannot open the index {}: {}", db.string(), e.what());
        return nullptr;
    }
    c->ignore = std::make_unique<IgnoreRules>(project.root);
    c->index_notes = std::make_unique<IndexNotes>(*c->indexer, *c->ignore);
    c->index_notes->poll();
    c->on_change = std::make_unique<ChangeHandler>(*c->indexer, project.data_dir, *c->ignore);
    try {
        ChangeHandler* handler = c->on_change.get();
        const IgnoreRules* rules = c->ignore.get();
        c->watcher = std::make_unique<FileWatcher>(
            project.root, [handler](const fs::path& p) { (*handler)(p); }, 0.5,
            [rules](const fs::path& dir) { return rules->is_ignored(dir, true); });
        c->on_change->attach(c->watcher.get());
        c->watcher->start();
        log_line(Level::info, "watching {} folders (those git does not ignore)", c->watcher->watch_count());
    } catch (const std::exception& e) {
        if (!c->watcher) {
            log_line(Level::error, "cannot watch {}: {}", project.root.string(), e.what());
            return nullptr;
        }
        log_line(Level::warning, "file watching is off ({}); outside changes are noticed on the next listing",
                 e.what());
    }
    c->safety = std::make_unique<SafetyEngine>(project.data_dir / "backups", &c->watcher->file_writes(),
                                               project.data_dir / "locks");
    c->safety->set_retention(
        {.keep_per_file = static_cast<std::size_t>(project.config->get_number("backups.keep_per_file")),
         .max_age_days = project.config->get_number("backups.max_age_days")});
    // A heading rename over several files that a kill interrupted: finished or undone.
    if (std::string outcome = recover_interrupted_rename(*c->safety); !outcome.empty())
        log_line(Level::warning, "an interrupted heading rename was {}", outcome);
    // What a killed write left behind (partial backups, temporary files) and backups beyond
    // the retention.
    if (std::size_t n = c->safety->cleanup(project.root))
        log_line(Level::info, "removed {} left-over temporary or expired backup files", n);
    c->embeddings = project_embedding_provider(project);
    c->turns = std::make_unique<TurnClock>(project.config->get_number("session.turn_idle_seconds"));
    register_all_tools(c->tools);
    c->milestones = Milestones::open(project.data_dir);
    if (c->milestones) c->tools = with_milestone_reports(c->tools, *c->milestones, *c->safety);

    c->context.config = project.config.get();
    // The sections' vectors with the local model, embedded in the background while searches
    // answer; none with an embedding provider or semantic search switched off.
    if (!c->embeddings && project.config->get("semantic.backend") != "none") {
        try {
            const std::string model = semantic_model_for(*project.config);
            c->vectors = std::make_shared<SemanticIndex>(*c->indexer, project.data_dir / "vectors",
                                                         model.empty() ? std::nullopt : std::optional(model));
        } catch (const std::exception& e) {
            log_line(Level::warning, "semantic search has keywords only: the vector store cannot be opened: {}",
                     e.what());
        }
    }
    // Calls before any handshake work on a session of their own.
    c->new_session();
    // The whole project, while the tools answer: a file they ask for is indexed at once.
    c->background = std::make_unique<BackgroundIndex>(*c->indexer, *c->ignore);
    c->context.background = c->background.get();
    c->background->start();
    if (c->vectors) {
        const BackgroundIndex* background = c->background.get();
        c->vectors->start([background] { return background->progress().finished; });
    }
    return c;
}

McpProtocol::Hooks session_hooks(Components& c) {
    McpProtocol::Hooks hooks;
    // Each `initialize` (legacy), each `server/discover` and a first stateless request (modern)
    // starts a new session: the client is (re)connecting and holds nothing of what an earlier
    // session was shown or read.
    hooks.on_session_start = [&c] { c.new_session(); };
    hooks.before_tool = [&c](const ToolSpec&) {
        if (c.turns->call_starts(monotonic_seconds())) c.session->view.advance_turn();
    };
    hooks.after_tool = [&c](const ToolSpec&) { c.turns->call_ends(monotonic_seconds()); };
    hooks.take_note = [&c] { return c.index_notes->take(); };
    return hooks;
}

// Reads messages from stdin and writes the answers to `out_fd` until end of input, a stop
// signal, or a client that stopped reading; returns the exit code.
int serve_loop(McpProtocol& protocol, int out_fd, const StopSignals& signals) {
    bool running = true;
    auto answer = [&](std::optional<std::string> out) {
        if (!out) return;
        out->push_back('\n');
        if (detail::write_fully(out_fd, *out) != 0) {
            log_line(Level::info, "client closed the output; stopping");
            running = false;
        }
    };
    LineReader reader(MAX_REQUEST_BYTES);
    char chunk[65536];
    while (running) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {signals.fd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            log_line(Level::error, "poll failed: {}", std::strerror(errno));
            return 1;
        }
        if (fds[1].revents) {
            log_line(Level::info, "signal received; stopping");
            return 0;
        }
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            log_line(Level::error, "reading stdin failed: {}", std::strerror(errno));
            return 1;
        }
        if (n == 0) {
            if (auto last = reader.rest()) answer(protocol.handle_line(*last));
            log_line(Level::info, "end of input; stopping");
            return 0;
        }
        reader.feed(std::string_view(chunk, static_cast<std::size_t>(n)), [&](const LineReader::Item& item) {
            answer(item.kind == LineReader::Kind::oversized ? McpProtocol::oversized_line_response(item.text)
                                                            : protocol.handle_line(item.text));
            return running;
        });
    }
    return 0;
}

// A session whose every tool call is refused with `why`.
int serve_refusing(const std::string& why, int out_fd) {
    ToolRegistry tools;
    register_all_tools(tools);
    ToolContext context;
    McpProtocol::Hooks hooks;
    hooks.refusal = [why] { return why; };
    McpProtocol protocol(tools, context, hooks);
    try {
        StopSignals signals;
        return serve_loop(protocol, out_fd, signals);
    } catch (const std::exception& e) {
        log_line(Level::error, "cannot install signal handlers: {}", e.what());
        return 1;
    }
}

}  // namespace

int run_serve(const ServeOptions& options) {
    // The protocol gets a private copy of stdout; fd 1 then points at stderr, so that nothing
    // printed by accident can corrupt the stream.
    int out_fd = ::dup(STDOUT_FILENO);
    if (out_fd < 0) {
        log_line(Level::error, "cannot duplicate stdout: {}", std::strerror(errno));
        return 1;
    }
    ::fcntl(out_fd, F_SETFD, FD_CLOEXEC);
    ::dup2(STDERR_FILENO, STDOUT_FILENO);

    Project project;
    try {
        project = open_project(options.root, /*create_data_dir=*/true);
        install_process_settings(project);
    } catch (const DataFolderOutsideError& e) {
        // Still answered, so that the agent can tell the user what to fix; nothing runs.
        install_log_sink();
        log_line(Level::error, "cannot start: {}", e.what());
        const int code = serve_refusing(e.what(), out_fd);
        ::close(out_fd);
        return code;
    } catch (const std::exception& e) {
        install_log_sink();
        log_line(Level::error, "cannot start: {}", e.what());
        ::close(out_fd);
        return 1;
    }
    if (options.log_level) set_log_level(parse_log_level(*options.log_level));

    int exit_code = 1;
    if (auto components = start_components(project)) {
        McpProtocol protocol(components->tools, components->context, session_hooks(*components));
        protocol.set_notifier([out_fd](const nlohmann::json& note) {
            std::string line = McpProtocol::serialize(note);
            line.push_back('\n');
            if (detail::write_fully(out_fd, line) != 0) log_line(Level::debug, "a notification could not be sent");
        });
        std::optional<StopSignals> signals;
        try {
            signals.emplace();
        } catch (const std::exception& e) {
            log_line(Level::error, "cannot install signal handlers: {}", e.what());
        }
        if (signals) {
            log_line(Level::info, "serving {} with {} tools (quillbox {})", project.root.string(),
                     components->tools.all().size(), QUILLBOX_VERSION);
            if (::isatty(STDIN_FILENO))
                log_line(Level::info, "this is an MCP server speaking JSON-RPC on stdin/stdout; MCP clients start it "
                                      "themselves (see `quillbox install`). End with Ctrl-D.");
            exit_code = serve_loop(protocol, out_fd, *signals);
        }
    }
    ::close(out_fd);
    log_line(Level::debug, "stopped");
    return exit_code;
}

}  // namespace quillbox::host
