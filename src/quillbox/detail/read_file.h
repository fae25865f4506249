#pragma once
// Whole-file reads: raw bytes, or strict UTF-8 text with normalised line ends.

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "quillbox/detail/lines.h"
#include "quillbox/detail/regular_file.h"
#include "quillbox/detail/utf8.h"

namespace quillbox::detail {

// Whole file as bytes. A missing file raises filesystem_error(no_such_file_or_directory); a
// directory, FIFO, socket or device raises NotRegularFileError without blocking; an unreadable
// file raises filesystem_error with the matching code.
inline std::string read_file_bytes(const std::filesystem::path& p) {
    FileHandle fd = open_regular_for_reading(p);
    std::string data;
    char buf[1 << 16];
    for (;;) {
        ssize_t got = ::read(fd.get(), buf, sizeof buf);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw std::filesystem::filesystem_error("Read error", p, std::error_code(errno, std::generic_category()));
        }
        if (got == 0) break;
        data.append(buf, static_cast<std::size_t>(got));
    }
    return data;
}

// Whole file as text: strict UTF-8, CRLF and CR turned into LF. The byte-order mark stays.
inline std::string read_text_file(const std::filesystem::path& p) {
    std::string bytes = read_file_bytes(p);
    validate_utf8(bytes, p.string());
    return normalize_newlines(bytes);
}

}  // namespace quillbox::detail
