#pragma once
// The SQLite block index: schema and migrations, block queries, operation statistics and
// re-indexing a file while keeping block identifiers.

#include <SQLiteCpp/SQLiteCpp.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

#include "quillbox/outline.h"

namespace quillbox {

class FileWatcher;

// A database failure that names the index file: it cannot be opened or created (missing
// directory, no permission), is not a database or is corrupt, or the Indexer was closed.
// getErrorCode() is SQLite's result code (SQLITE_MISUSE after close). Other database errors
// of the operations propagate as SQLiteCpp raises them (SQLite::Exception).
class IndexDatabaseError : public SQLite::Exception {
public:
    IndexDatabaseError(const std::string& message, int code, std::filesystem::path db_path)
        : SQLite::Exception(message, code), db_path_(std::move(db_path)) {}
    const std::filesystem::path& db_path() const noexcept { return db_path_; }

private:
    std::filesystem::path db_path_;
};

// The version text stored in schema_version; a change clears the blocks table.
std::string quillbox_version();

// Opens and prepares the database (WAL, busy time-out, schema, migrations, version step).
// Throws IndexDatabaseError naming the file when any of that fails.
std::unique_ptr<SQLite::Database> _init_db(const std::filesystem::path& db_path);

// One `blocks` row (a statement positioned on it) as a Block.
Block _row_to_block(SQLite::Statement& row);

// The document block index manager. One connection shared by every thread that holds the
// Indexer; each operation, and each re-index pass's transaction, runs under mutex(), so two
// threads never interleave inside one transaction. Do not hold mutex() while waiting on the
// watcher's marks. Operations throw IndexDatabaseError after close(); database failures
// propagate as SQLite::Exception.
class Indexer {
public:
    explicit Indexer(std::filesystem::path db_path);
    ~Indexer();
    Indexer(const Indexer&) = delete;
    Indexer& operator=(const Indexer&) = delete;

    void close();  // idempotent; later operations throw
    const std::filesystem::path& db_path() const { return db_path_; }

    // The connection, for other modules' tables. Hold mutex() around any statement group.
    SQLite::Database& conn();
    std::recursive_mutex& mutex() { return mu_; }

    std::vector<Block> list_blocks(const std::filesystem::path& file_path);
    std::optional<Block> get_block(std::string_view block_id);
    // Blocks whose identifier begins with `prefix`, in identifier order, at most `limit`.
    std::vector<Block> blocks_with_id_prefix(std::string_view prefix, int limit);
    std::vector<Block> search_blocks_by_title(std::string_view query,
                                              const std::optional<std::filesystem::path>& file_path = std::nullopt);
    void record_operation(std::string_view date, std::string_view op_type, std::string_view file_path,
                          std::string_view block_id, long long tokens_saved);
    void update_block_lines(std::string_view block_id, int new_start, int new_end);

    // Brings the file's rows in line with its text, keeping the identifiers of blocks whose
    // heading survived; returns the number of blocks. Bracketed by the watcher's re-index marks
    // (also on failure). Parse errors (filesystem_error, FileTooLargeError, DecodeError) and
    // database errors propagate; nothing of a failed pass is kept.
    int index_file(const std::filesystem::path& file_path, FileWatcher* watcher = nullptr);
    int reindex_file(const std::filesystem::path& file_path, FileWatcher* watcher = nullptr);

private:
    std::filesystem::path db_path_;
    std::unique_ptr<SQLite::Database> conn_;
    std::recursive_mutex mu_;
};

}  // namespace quillbox
