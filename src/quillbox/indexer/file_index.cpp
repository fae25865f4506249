#include "quillbox/indexer/file_index.h"

namespace quillbox::indexer {

const char* const FileIndexTable::kCreate =
    "CREATE TABLE IF NOT EXISTS file_index (file_path TEXT PRIMARY KEY, mtime REAL NOT NULL, "
    "file_hash TEXT NOT NULL)";

std::optional<FileState> FileIndexTable::get(const std::string& key) {
    SQLite::Statement q(db_, "SELECT mtime, file_hash FROM file_index WHERE file_path = ?");
    q.bind(1, key);
    if (!q.executeStep()) return std::nullopt;
    return FileState{q.getColumn(0).getDouble(), q.getColumn(1).getString()};
}

void FileIndexTable::put(const std::string& key, const FileState& state) {
    SQLite::Statement q(db_, "INSERT OR REPLACE INTO file_index (file_path, mtime, file_hash) VALUES (?, ?, ?)");
    q.bind(1, key);
    q.bind(2, state.mtime);
    q.bind(3, state.file_hash);
    q.exec();
}

void FileIndexTable::remove(const std::string& key) {
    SQLite::Statement q(db_, "DELETE FROM file_index WHERE file_path = ?");
    q.bind(1, key);
    q.exec();
}

}  // namespace quillbox::indexer
