#pragma once
// Whole-file reads: raw bytes, or strict UTF-8 text with normalised line ends.

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "quillbox/detail/lines.h"
#include "quillbox/detail/utf8.h"

namespace quillbox::detail {

// Whole file as bytes. A missing file raises filesystem_error(no_such_file_or_directory);
// a directory or unreadable file raises filesystem_error with the matching code.
inline std::string read_file_bytes(const std::filesystem::path& p) {
    std::error_code ec;
    auto st = std::filesystem::status(p, ec);
    if (ec || !std::filesystem::exists(st)) {
        throw std::filesystem::filesystem_error(
            "No such file or directory", p, std::make_error_code(std::errc::no_such_file_or_directory));
    }
    if (std::filesystem::is_directory(st)) {
        throw std::filesystem::filesystem_error("Is a directory", p,
                                                std::make_error_code(std::errc::is_a_directory));
    }
    std::FILE* f = std::fopen(p.c_str(), "rb");
    if (!f) {
        throw std::filesystem::filesystem_error("Cannot open file", p,
                                                std::error_code(errno, std::generic_category()));
    }
    std::string data;
    char buf[1 << 16];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, got);
    bool failed = std::ferror(f);
    std::fclose(f);
    if (failed) {
        throw std::filesystem::filesystem_error("Read error", p,
                                                std::make_error_code(std::errc::io_error));
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
