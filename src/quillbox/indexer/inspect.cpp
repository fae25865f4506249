// Read-only checks of an index file, for `quillbox doctor`.

#include "quillbox/indexer.h"

#include <sqlite3.h>

namespace quillbox {

IndexHealth Indexer::inspect(const std::filesystem::path& db_path) {
    SQLite::Database db(db_path.string(), SQLite::OPEN_READONLY | SQLITE_OPEN_NOFOLLOW);
    db.setBusyTimeout(5000);  // as long as the indexer waits for a writer
    IndexHealth health;
    health.integrity = db.execAndGet("PRAGMA quick_check").getString();
    if (health.integrity != "ok") return health;
    // An index written by an older release may lack a table.
    for (const char* table : {"blocks", "file_index"}) {
        SQLite::Statement exists(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
        exists.bind(1, table);
        if (!exists.executeStep()) continue;
        SQLite::Statement q(db, std::string("SELECT DISTINCT file_path FROM ") + table);
        while (q.executeStep()) health.indexed_files.insert(q.getColumn(0).getString());
    }
    return health;
}

}  // namespace quillbox
