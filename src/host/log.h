#pragma once
// Log lines of the program and of the library's "quillbox" logger, one sink: stderr.
// stdout carries the MCP protocol and must never see a log line.

#include <fmt/format.h>

#include <string_view>
#include <utility>

#include "quillbox/log.h"

namespace quillbox::host {

using Level = quillbox::LogLevel;

// Writes "quillbox LEVEL: message" to stderr when `level` passes the current threshold.
void write_log_line(Level level, std::string_view message);

template <class... Args>
void log_line(Level level, fmt::format_string<Args...> f, Args&&... args) {
    if (log_enabled(level)) write_log_line(level, fmt::format(f, std::forward<Args>(args)...));
}

// Routes the library's logger into write_log_line.
void install_log_sink();

// "debug", "info", "warning", "error" -> level; anything else gives info.
Level parse_log_level(std::string_view name);

}  // namespace quillbox::host
