#include "host/log.h"

#include "quillbox/detail/fd.h"

#include <unistd.h>

#include <mutex>
#include <string>

namespace quillbox::host {

namespace {
std::mutex& log_mutex() {
    static std::mutex mu;
    return mu;
}

const char* upper_name(Level level) {
    switch (level) {
        case Level::debug: return "DEBUG";
        case Level::info: return "INFO";
        case Level::warning: return "WARNING";
        case Level::error: return "ERROR";
    }
    return "INFO";
}
}  // namespace

void write_log_line(Level level, std::string_view message) {
    std::string line = fmt::format("quillbox {}: {}\n", upper_name(level), message);
    std::lock_guard lock(log_mutex());
    // One write per line so lines from several threads never interleave.
    (void)detail::write_fully(STDERR_FILENO, line);
}

void install_log_sink() {
    set_log_sink([](const LogRecord& record) { write_log_line(record.level, record.message); });
}

Level parse_log_level(std::string_view name) {
    if (name == "debug") return Level::debug;
    if (name == "warning") return Level::warning;
    if (name == "error") return Level::error;
    return Level::info;
}

}  // namespace quillbox::host
