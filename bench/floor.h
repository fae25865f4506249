#pragma once
// The least work an operation needs, as plain system calls and SQLite statements beside the
// operation in the same process: the floor each benchmark's ratio is taken against.

#include <SQLiteCpp/SQLiteCpp.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "quillbox/detail/sha256.h"
#include "quillbox/outline.h"

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

inline void write_whole(const fs::path& p, std::string_view bytes) {
    std::FILE* f = std::fopen(p.c_str(), "wb");
    check(f != nullptr, "fopen");
    check(std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size(), "fwrite");
    std::fclose(f);
}

// The floor's copy of the project: the document, a table with byte ranges and the statements
// kept prepared.
struct Floor {
    fs::path file;
    fs::path backup;
    std::string key;
    SQLite::Database db;
    SQLite::Statement by_id, rows, state, shift, ancestors, set_hash, set_block, stat_row, put_state;

    Floor(const fs::path& root, const std::string& text, const std::vector<quillbox::Block>& blocks)
        : file(root / "floor.md"),
          backup(root / "floor-backup.md"),
          key(file.string()),
          db((root / "floor.db").string(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE),
          by_id(init(db), "SELECT file_path, start_line, end_line, title, level, content_hash, byte_start, byte_end "
                          "FROM blocks WHERE id = ?"),
          rows(db, "SELECT id, level, title, start_line, end_line FROM blocks WHERE file_path = ? ORDER BY start_line"),
          state(db, "SELECT mtime_ns, size, inode FROM file_index WHERE file_path = ?"),
          shift(db, "UPDATE blocks SET start_line = start_line + ?2, end_line = end_line + ?2, "
                    "byte_start = byte_start + ?3, byte_end = byte_end + ?3 WHERE file_path = ?1 AND start_line > ?4"),
          ancestors(db, "SELECT id, byte_start, byte_end FROM blocks WHERE file_path = ? AND start_line < ? "
                        "AND end_line >= ?"),
          set_hash(db, "UPDATE blocks SET content_hash = ?, end_line = end_line + ?, byte_end = byte_end + ? WHERE id = ?"),
          set_block(db, "UPDATE blocks SET end_line = ?, byte_end = ?, content_hash = ? WHERE id = ?"),
          stat_row(db, "INSERT INTO stats (date, operation_type, file_path, block_id, tokens_saved) "
                       "VALUES ('2026-01-01', 'replace', ?, ?, 0)"),
          put_state(db, "REPLACE INTO file_index (file_path, file_hash, mtime_ns, size, inode, recorded_at) "
                        "VALUES (?, ?, ?, ?, ?, 0)") {
        write_whole(file, text);
        std::vector<std::size_t> line_at{0};
        for (std::size_t i = 0; i < text.size(); ++i)
            if (text[i] == '\n') line_at.push_back(i + 1);
        SQLite::Transaction tx(db);
        SQLite::Statement ins(db, "INSERT INTO blocks VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        for (const quillbox::Block& b : blocks) {
            ins.bind(1, b.uuid);
            ins.bind(2, key);
            ins.bind(3, b.heading_path);
            ins.bind(4, b.start_line);
            ins.bind(5, b.end_line);
            ins.bind(6, b.title);
            ins.bind(7, b.level);
            ins.bind(8, b.content_hash);
            ins.bind(9, static_cast<int64_t>(line_at[static_cast<std::size_t>(b.start_line - 1)]));
            // The block's bytes without the line feed after its last line.
            ins.bind(10, static_cast<int64_t>(line_at[static_cast<std::size_t>(b.end_line)] - 1));
            ins.exec();
            ins.reset();
        }
        record_state(sha256(text));
        tx.commit();
    }

    static SQLite::Database& init(SQLite::Database& db) {
        create_floor_schema(db);
        return db;
    }

    void record_state(const std::string& hash) {
        struct stat st {};
        ::stat(file.c_str(), &st);
        put_state.bind(1, key);
        put_state.bind(2, hash);
        put_state.bind(3, static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec);
        put_state.bind(4, static_cast<int64_t>(st.st_size));
        put_state.bind(5, static_cast<int64_t>(st.st_ino));
        put_state.exec();
        put_state.reset();
    }

    // The file's figures against its record: the check that lets the rows be trusted.
    void check_state() {
        struct stat st {};
        ::stat(file.c_str(), &st);
        state.bind(1, key);
        check(state.executeStep(), "state row");
        check(state.getColumn(1).getInt64() == st.st_size && state.getColumn(2).getInt64() ==
                                                                          static_cast<int64_t>(st.st_ino),
                       "same file");
        state.reset();
    }

    std::string list() {
        check_state();
        std::string out = "File: " + key + "\n";
        rows.bind(1, key);
        while (rows.executeStep()) {
            out += "  id=\"";
            out += rows.getColumn(0).getText();
            out += "\" ";
            out += std::string(static_cast<std::size_t>(rows.getColumn(1).getInt()), '#');
            out += ' ';
            out += rows.getColumn(2).getText();
            out += " lines=" + std::to_string(rows.getColumn(3).getInt()) + "-" +
                   std::to_string(rows.getColumn(4).getInt()) + "\n";
        }
        rows.reset();
        return out;
    }

    std::string read(const std::string& id) {
        by_id.bind(1, id);
        check(by_id.executeStep(), "block row");
        check_state();
        const auto at = static_cast<std::size_t>(by_id.getColumn(6).getInt64());
        const auto end = static_cast<std::size_t>(by_id.getColumn(7).getInt64());
        std::string body = read_range(file, at, end - at);
        check(sha256(body) == by_id.getColumn(5).getString(), "block hash");
        std::string out = "Block ID: " + id + "\nFile: " + key + "\nTitle: " + by_id.getColumn(3).getString() +
                          "\nLines: " + std::to_string(by_id.getColumn(1).getInt()) + "\n---\n" + body + "\n---";
        by_id.reset();
        return out;
    }

    // Lock, one read, hash check, backup, durable write, read-back check, one transaction: the
    // block's row, the rows after it shifted, its ancestors re-hashed, the statistics row and
    // the file's record.
    void replace(const std::string& id, const std::string& new_block) {
        int lock = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        ::flock(lock, LOCK_EX);
        const std::string text = read_whole(file);
        by_id.bind(1, id);
        check(by_id.executeStep(), "block row");
        const int start = by_id.getColumn(1).getInt(), end_line = by_id.getColumn(2).getInt();
        const auto at = static_cast<std::size_t>(by_id.getColumn(6).getInt64());
        const auto end = static_cast<std::size_t>(by_id.getColumn(7).getInt64());
        check(sha256(std::string_view(text).substr(at, end - at)) == by_id.getColumn(5).getString(),
                       "seen hash");
        by_id.reset();
        std::string out = text.substr(0, at) + new_block + text.substr(end);
        write_durably(backup, text);
        write_durably(file, out);
        const std::string hash = sha256(read_whole(file));
        check(hash == sha256(out), "read back");
        const int new_lines = static_cast<int>(std::count(new_block.begin(), new_block.end(), '\n')) + 1;
        const int dl = start + new_lines - 1 - end_line;
        const auto db_ = static_cast<int64_t>(new_block.size()) - static_cast<int64_t>(end - at);

        SQLite::Transaction tx(db);
        set_block.bind(1, start + new_lines - 1);
        set_block.bind(2, static_cast<int64_t>(at + new_block.size()));
        set_block.bind(3, sha256(new_block));
        set_block.bind(4, id);
        set_block.exec();
        set_block.reset();
        shift.bind(1, key);
        shift.bind(2, dl);
        shift.bind(3, db_);
        shift.bind(4, start);
        shift.exec();
        shift.reset();
        std::vector<std::tuple<std::string, int64_t, int64_t>> up;
        ancestors.bind(1, key);
        ancestors.bind(2, start);
        ancestors.bind(3, start);
        while (ancestors.executeStep())
            up.emplace_back(ancestors.getColumn(0).getString(), ancestors.getColumn(1).getInt64(),
                            ancestors.getColumn(2).getInt64());
        ancestors.reset();
        for (auto& [aid, a0, a1] : up) {
            set_hash.bind(1, sha256(std::string_view(out).substr(static_cast<std::size_t>(a0),
                                                                           static_cast<std::size_t>(a1 + db_ - a0))));
            set_hash.bind(2, dl);
            set_hash.bind(3, db_);
            set_hash.bind(4, aid);
            set_hash.exec();
            set_hash.reset();
        }
        stat_row.bind(1, key);
        stat_row.bind(2, id);
        stat_row.exec();
        stat_row.reset();
        record_state(hash);
        tx.commit();
        ::close(lock);
    }
};

}  // namespace qbbench
