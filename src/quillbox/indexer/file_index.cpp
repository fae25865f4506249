#include "quillbox/indexer/file_index.h"

namespace quillbox::indexer {

// Columns added later are migrated by the indexer's schema step.
const char* const FileIndexTable::kCreate =
    "CREATE TABLE IF NOT EXISTS file_index (file_path TEXT PRIMARY KEY, mtime REAL NOT NULL, "
    "file_hash TEXT NOT NULL, mtime_ns INTEGER NOT NULL DEFAULT -1, size INTEGER NOT NULL DEFAULT -1, "
    "inode INTEGER NOT NULL DEFAULT 0, recorded_at REAL NOT NULL DEFAULT 0)";

namespace {

void bind_state(SQLite::Statement& q, const std::string& key, const FileState& state) {
    q.bind(1, key);
    q.bind(2, state.mtime);
    q.bind(3, state.file_hash);
    q.bind(4, state.mtime_ns);
    q.bind(5, state.size);
    q.bind(6, state.inode);
    q.bind(7, state.recorded_at);
}

}  // namespace

std::optional<FileState> FileIndexTable::get(const std::string& key) {
    Prepared q = q_("SELECT mtime, file_hash, mtime_ns, size, inode, recorded_at FROM file_index "
                    "WHERE file_path = ?");
    q->bind(1, key);
    if (!q->executeStep()) return std::nullopt;
    FileState s;
    s.mtime = q->getColumn(0).getDouble();
    s.file_hash = q->getColumn(1).getString();
    s.mtime_ns = q->getColumn(2).getInt64();
    s.size = q->getColumn(3).getInt64();
    s.inode = q->getColumn(4).getInt64();
    s.recorded_at = q->getColumn(5).getDouble();
    return s;
}

void FileIndexTable::put(const std::string& key, const FileState& state) {
    Prepared q = q_("INSERT OR REPLACE INTO file_index (file_path, mtime, file_hash, mtime_ns, size, inode, "
                    "recorded_at) VALUES (?, ?, ?, ?, ?, ?, ?)");
    bind_state(*q, key, state);
    q->exec();
}

bool FileIndexTable::refresh(const std::string& key, const FileState& state) {
    Prepared q = q_("UPDATE file_index SET mtime = ?2, mtime_ns = ?4, size = ?5, inode = ?6, recorded_at = ?7 "
                    "WHERE file_path = ?1 AND file_hash = ?3");
    bind_state(*q, key, state);
    return q->exec() > 0;
}

void FileIndexTable::remove(const std::string& key) {
    Prepared q = q_("DELETE FROM file_index WHERE file_path = ?");
    q->bind(1, key);
    q->exec();
}

void FileIndexTable::remove_for_block(const std::string& block_id) {
    Prepared q = q_("DELETE FROM file_index WHERE file_path = (SELECT file_path FROM blocks WHERE id = ?)");
    q->bind(1, block_id);
    q->exec();
}

}  // namespace quillbox::indexer
