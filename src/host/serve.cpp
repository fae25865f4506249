#include "host/serve.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "host/log.h"
#include "host/mcp.h"
#include "host/project.h"
#include "host/tools.h"
#include "quillbox/blockops.h"
#include "quillbox/detail/fd.h"
#include "quillbox/detail/file_key.h"
#include "quillbox/indexer.h"
#include "quillbox/safety.h"
#include "quillbox/tracker.h"
#include "quillbox/version.h"
#include "quillbox/watcher.h"
#include "quillbox/blockops/frame.h"

namespace fs = std::filesystem;

namespace quillbox::host {

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

bool write_all(int fd, std::string_view data) { return detail::write_fully(fd, data) == 0; }

double monotonic_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// A message longer than this without a line feed is dropped (answered with a parse error).
constexpr std::size_t MAX_LINE_BYTES = 64u << 20;

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
        install_host_components(project);
    } catch (const std::exception& e) {
        install_log_sink();
        log_line(Level::error, "cannot start: {}", e.what());
        ::close(out_fd);
        return 1;
    }
    if (options.log_level) set_log_level(parse_log_level(*options.log_level));

    std::unique_ptr<Indexer> indexer;
    try {
        indexer = std::make_unique<Indexer>(project.data_dir / "index.db");
    } catch (const std::exception& e) {
        log_line(Level::error, "cannot open the index {}: {}", (project.data_dir / "index.db").string(), e.what());
        ::close(out_fd);
        return 1;
    }

    // The change callback runs on the watcher's timer thread.
    std::atomic<FileWatcher*> watcher_ptr{nullptr};
    const fs::path data_dir = project.data_dir;
    Indexer& index = *indexer;
    auto on_change = [&index, &watcher_ptr, data_dir](const fs::path& path) {
        if (path_is_within(path, data_dir)) return;  // our own backups
        try {
            std::error_code ec;
            if (!fs::exists(path, ec)) {
                const std::string key = detail::file_key(path).string();
                _ensure_file_index_table(index);
                std::lock_guard lock(index.mutex());
                SQLite::Statement del_blocks(index.conn(), "DELETE FROM blocks WHERE file_path = ?");
                del_blocks.bind(1, key);
                int n = del_blocks.exec();
                SQLite::Statement del_row(index.conn(), "DELETE FROM file_index WHERE file_path = ?");
                del_row.bind(1, key);
                del_row.exec();
                if (n > 0) log_line(Level::info, "{} was deleted; dropped its {} blocks", key, n);
                return;
            }
            int n = index.index_file(path, watcher_ptr.load());
            log_line(Level::debug, "re-indexed {} ({} blocks)", path.string(), n);
        } catch (const std::exception& e) {
            log_line(Level::warning, "re-index of {} after a change failed: {}", path.string(), e.what());
        }
    };

    std::unique_ptr<FileWatcher> watcher;
    try {
        watcher = std::make_unique<FileWatcher>(project.root, on_change);
        watcher_ptr = watcher.get();
        watcher->start();
    } catch (const std::exception& e) {
        if (!watcher) {
            log_line(Level::error, "cannot watch {}: {}", project.root.string(), e.what());
            ::close(out_fd);
            return 1;
        }
        log_line(Level::warning, "file watching is off ({}); outside changes are noticed on the next listing",
                 e.what());
    }

    SafetyEngine safety(project.data_dir / "backups", &watcher->write_tracker());
    SessionReadTracker tracker;
    SessionReadCache cache(project.config);
    TurnClock turns(project.config->get_number("session.turn_idle_seconds"));

    ToolRegistry tools;
    register_all_tools(tools);

    ToolContext context;
    context.indexer = indexer.get();
    context.watcher = watcher.get();
    context.safety = &safety;
    context.tracker = &tracker;
    context.cache = &cache;
    context.config = project.config.get();
    context.root = project.root;
    context.data_dir = project.data_dir;

    McpProtocol::Hooks hooks;
    hooks.on_initialize = [&] {
        tracker.reset_all();
        cache.clear();
        turns.reset();
    };
    hooks.before_tool = [&](const ToolSpec&) {
        if (turns.call_starts(monotonic_seconds())) tracker.advance_turn();
    };
    hooks.after_tool = [&](const ToolSpec&) { turns.call_ends(monotonic_seconds()); };
    McpProtocol protocol(tools, context, hooks);

    int exit_code = 0;
    {
        std::unique_ptr<StopSignals> signals;
        try {
            signals = std::make_unique<StopSignals>();
        } catch (const std::exception& e) {
            log_line(Level::error, "cannot install signal handlers: {}", e.what());
            exit_code = 1;
        }
        if (signals) {
            log_line(Level::info, "serving {} with {} tools (quillbox {})", project.root.string(), tools.all().size(),
                     QUILLBOX_VERSION);
            if (::isatty(STDIN_FILENO))
                log_line(Level::info, "this is an MCP server speaking JSON-RPC on stdin/stdout; MCP clients start it "
                                      "themselves (see `quillbox install`). End with Ctrl-D.");
            std::string buffer;
            bool discarding = false;  // inside an over-long line
            bool running = true;
            auto answer = [&](std::string_view line) {
                if (auto out = protocol.handle_line(line)) {
                    out->push_back('\n');
                    if (!write_all(out_fd, *out)) {
                        log_line(Level::info, "client closed the output; stopping");
                        running = false;
                    }
                }
            };
            char chunk[65536];
            while (running) {
                pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {signals->fd(), POLLIN, 0}};
                int r = ::poll(fds, 2, -1);
                if (r < 0) {
                    if (errno == EINTR) continue;
                    log_line(Level::error, "poll failed: {}", std::strerror(errno));
                    exit_code = 1;
                    break;
                }
                if (fds[1].revents) {
                    log_line(Level::info, "signal received; stopping");
                    break;
                }
                if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
                if (n < 0) {
                    if (errno == EINTR || errno == EAGAIN) continue;
                    log_line(Level::error, "reading stdin failed: {}", std::strerror(errno));
                    exit_code = 1;
                    break;
                }
                if (n == 0) {
                    if (!buffer.empty() && !discarding) answer(buffer);
                    log_line(Level::info, "end of input; stopping");
                    break;
                }
                std::string_view data(chunk, static_cast<std::size_t>(n));
                while (running && !data.empty()) {
                    auto nl = data.find('\n');
                    if (nl == std::string_view::npos) {
                        if (!discarding) buffer.append(data);
                        if (buffer.size() > MAX_LINE_BYTES) {
                            log_line(Level::warning, "message longer than {} bytes dropped", MAX_LINE_BYTES);
                            buffer.clear();
                            buffer.shrink_to_fit();
                            discarding = true;
                        }
                        break;
                    }
                    if (discarding) {
                        discarding = false;
                        answer("\x01");  // parse error for the dropped message
                    } else if (buffer.empty()) {
                        answer(data.substr(0, nl));
                    } else {
                        buffer.append(data.substr(0, nl));
                        answer(buffer);
                        buffer.clear();
                    }
                    data.remove_prefix(nl + 1);
                }
            }
        }
    }

    // Watcher first (no re-index may start once the index is gone), then the index.
    if (watcher) watcher->stop();
    indexer->close();
    ::close(out_fd);
    log_line(Level::debug, "stopped");
    return exit_code;
}

}  // namespace quillbox::host
