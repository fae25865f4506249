// The process-wide logger.

#include "quillbox/log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <utility>

namespace quillbox {

namespace {

struct Logger {
    std::mutex mu;
    LogSink sink;
    LogLevel level = LogLevel::warning;
};

Logger& logger() {
    static Logger l;
    return l;
}

}  // namespace

const char* log_level_name(LogLevel level) {
    switch (level) {
        case LogLevel::debug: return "DEBUG";
        case LogLevel::info: return "INFO";
        case LogLevel::warning: return "WARNING";
        case LogLevel::error: return "ERROR";
    }
    return "LOG";
}

void set_log_sink(LogSink sink) {
    auto& l = logger();
    std::lock_guard lk(l.mu);
    l.sink = std::move(sink);
}

void set_log_level(LogLevel level) {
    auto& l = logger();
    std::lock_guard lk(l.mu);
    l.level = level;
}

LogLevel get_log_level() {
    auto& l = logger();
    std::lock_guard lk(l.mu);
    return l.level;
}

bool log_enabled(LogLevel level) { return static_cast<int>(level) >= static_cast<int>(get_log_level()); }

namespace {

void vlog(LogLevel level, const char* templ, va_list ap) {
    LogSink sink;
    {
        auto& l = logger();
        std::lock_guard lk(l.mu);
        if (static_cast<int>(level) < static_cast<int>(l.level)) return;
        sink = l.sink;
    }
    va_list ap2;
    va_copy(ap2, ap);
    int n = std::vsnprintf(nullptr, 0, templ, ap2);
    va_end(ap2);
    std::string msg;
    if (n > 0) {
        msg.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(msg.data(), msg.size(), templ, ap);
        msg.resize(static_cast<std::size_t>(n));
    }
    LogRecord rec{level, "quillbox", templ, std::move(msg)};
    if (sink) {
        try {
            sink(rec);
        } catch (...) {
            // A failing sink must not turn a log call into an operation failure.
        }
        return;
    }
    std::fprintf(stderr, "quillbox %s: %s\n", log_level_name(level), rec.message.c_str());
}

}  // namespace

#define QUILLBOX_LOG_AT(name, lvl)                 \
    void name(const char* templ, ...) {            \
        va_list ap;                                \
        va_start(ap, templ);                       \
        vlog(lvl, templ, ap);                      \
        va_end(ap);                                \
    }
QUILLBOX_LOG_AT(log_debug, LogLevel::debug)
QUILLBOX_LOG_AT(log_info, LogLevel::info)
QUILLBOX_LOG_AT(log_warning, LogLevel::warning)
#undef QUILLBOX_LOG_AT

}  // namespace quillbox
