#pragma once
// The library's logger "quillbox": one process-wide sink and level, which the host sets at
// start-up (stderr by default; never stdout, which may carry a protocol).
//
// Implemented in the blockops module (blockops/log.cpp).

#include <functional>
#include <string>
#include <string_view>

namespace quillbox {

enum class LogLevel { debug = 10, info = 20, warning = 30, error = 40 };

// One record: the logger name, the printf-style template as written at the call site and the
// message formatted from it with the record's arguments.
struct LogRecord {
    LogLevel level;
    std::string_view logger;  // always "quillbox"
    const char* templ;
    std::string message;
};

using LogSink = std::function<void(const LogRecord&)>;

// The default sink writes "quillbox WARNING: message" lines to stderr (never stdout, which
// may carry a protocol). The default level is warning.
void set_log_sink(LogSink sink);  // empty: the default sink
void set_log_level(LogLevel level);
LogLevel get_log_level();
bool log_enabled(LogLevel level);
const char* log_level_name(LogLevel level);

void log_debug(const char* templ, ...) __attribute__((format(printf, 1, 2)));
void log_info(const char* templ, ...) __attribute__((format(printf, 1, 2)));
void log_warning(const char* templ, ...) __attribute__((format(printf, 1, 2)));

}  // namespace quillbox
