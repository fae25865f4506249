#pragma once
// The least work an operation needs, as plain system calls and SQLite statements beside the
// operation in the same process: the floor each benchmark's ratio is taken against.

#include <SQLiteCpp/SQLiteCpp.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include "quillbox/detail/sha256.h"

namespace qbbench {

namespace fs = std::filesystem;

inline void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string(what) + " failed");
}

// The whole file in one read.
inline std::string read_whole(const fs::path& p) {
    int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    check(fd >= 0, "open");
    struct stat st {};
    ::fstat(fd, &st);
    std::string s(static_cast<std::size_t>(st.st_size), '\0');
    check(::read(fd, s.data(), s.size()) == static_cast<ssize_t>(s.size()), "read");
    ::close(fd);
    return s;
}

// `bytes` at `at` of the file, in one positioned read.
inline std::string read_range(const fs::path& p, std::size_t at, std::size_t n) {
    int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    check(fd >= 0, "open");
    std::string s(n, '\0');
    check(::pread(fd, s.data(), n, static_cast<off_t>(at)) == static_cast<ssize_t>(n), "pread");
    ::close(fd);
    return s;
}

// A durable file write: temporary, data flushed, renamed over, folder flushed.
inline void write_durably(const fs::path& p, std::string_view bytes) {
    const fs::path tmp = p.string() + ".floor-tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    check(fd >= 0, "open");
    check(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()), "write");
    check(::fsync(fd) == 0, "fsync");
    ::close(fd);
    check(::rename(tmp.c_str(), p.c_str()) == 0, "rename");
    int d = ::open(p.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    check(d >= 0, "open dir");
    ::fsync(d);
    ::close(d);
}

inline std::string sha256(std::string_view s) { return quillbox::detail::sha256_hex(s); }

// A block table holding only what the operations need, with byte ranges and an index on
// (file, start line).
inline void create_floor_schema(SQLite::Database& db) {
    db.exec("PRAGMA journal_mode=WAL");
    db.exec(
        "CREATE TABLE IF NOT EXISTS blocks (id TEXT PRIMARY KEY, file_path TEXT NOT NULL, heading_path TEXT, "
        "start_line INTEGER, end_line INTEGER, title TEXT, level INTEGER, content_hash TEXT, "
        "byte_start INTEGER, byte_end INTEGER);"
        "CREATE INDEX IF NOT EXISTS floor_file_line ON blocks(file_path, start_line);"
        "CREATE TABLE IF NOT EXISTS file_index (file_path TEXT PRIMARY KEY, file_hash TEXT, mtime_ns INTEGER, "
        "size INTEGER, inode INTEGER, recorded_at REAL);"
        "CREATE TABLE IF NOT EXISTS stats (id INTEGER PRIMARY KEY AUTOINCREMENT, date TEXT, operation_type TEXT, "
        "file_path TEXT, block_id TEXT, tokens_saved INTEGER);");
}

}  // namespace qbbench
