#include "quillbox/indexer.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <exception>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "quillbox/detail/file_key.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/indexer/file_index.h"
#include "quillbox/indexer/matching.h"
#include "quillbox/indexer/sections.h"
#include "quillbox/indexer/statements.h"
#include "quillbox/version.h"
#include "quillbox/watcher.h"

namespace quillbox {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS blocks (
    id TEXT PRIMARY KEY,
    file_path TEXT NOT NULL,
    heading_path TEXT NOT NULL DEFAULT '',
    block_type TEXT NOT NULL DEFAULT 'heading',
    start_line INTEGER NOT NULL,
    end_line INTEGER NOT NULL,
    title TEXT NOT NULL,
    level INTEGER NOT NULL,
    content_hash TEXT NOT NULL,
    last_seen INTEGER NOT NULL DEFAULT 0,
    created_at TIMESTAMP DEFAULT CURRENT_TIMESTAMP,
    updated_at TIMESTAMP DEFAULT CURRENT_TIMESTAMP
);
CREATE INDEX IF NOT EXISTS idx_blocks_file_line ON blocks(file_path, start_line);
CREATE INDEX IF NOT EXISTS idx_blocks_title ON blocks(title);
CREATE TABLE IF NOT EXISTS projects (
    path TEXT PRIMARY KEY,
    last_indexed_at TIMESTAMP DEFAULT CURRENT_TIMESTAMP,
    total_blocks INTEGER DEFAULT 0,
    total_files INTEGER DEFAULT 0
);
CREATE TABLE IF NOT EXISTS stats (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    date TEXT NOT NULL,
    operation_type TEXT NOT NULL,
    file_path TEXT,
    block_id TEXT,
    tokens_saved INTEGER DEFAULT 0,
    created_at TIMESTAMP DEFAULT CURRENT_TIMESTAMP
);
-- Identifiers a re-index gave up (their section was deleted or can no longer be told from a
-- twin): an agent that still holds one is told the file changed, not that the id is unknown.
CREATE TABLE IF NOT EXISTS retired_blocks (
    id TEXT PRIMARY KEY,
    file_path TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS backups (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    file_path TEXT NOT NULL,
    block_id TEXT,
    original_content TEXT NOT NULL,
    new_content TEXT NOT NULL,
    created_at TIMESTAMP DEFAULT CURRENT_TIMESTAMP
);
)sql";

struct Migration {
    const char* table;
    const char* column;
    const char* definition;
};
constexpr Migration kMigrations[] = {
    {"blocks", "heading_path", "TEXT NOT NULL DEFAULT ''"},
    {"blocks", "block_type", "TEXT NOT NULL DEFAULT 'heading'"},
    {"blocks", "last_seen", "INTEGER NOT NULL DEFAULT 0"},
    // Where the block's lines lie in the file's bytes; -1 when not known.
    {"blocks", "byte_start", "INTEGER NOT NULL DEFAULT -1"},
    {"blocks", "byte_end", "INTEGER NOT NULL DEFAULT -1"},
    // A record from before these were kept matches no file's figures: it is re-hashed once.
    {"file_index", "mtime_ns", "INTEGER NOT NULL DEFAULT -1"},
    {"file_index", "size", "INTEGER NOT NULL DEFAULT -1"},
    {"file_index", "inode", "INTEGER NOT NULL DEFAULT 0"},
    {"file_index", "recorded_at", "REAL NOT NULL DEFAULT 0"},
};

bool has_table(SQLite::Database& db, const char* name) {
    SQLite::Statement q(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
    q.bind(1, name);
    return q.executeStep();
}

void add_missing_columns(SQLite::Database& db) {
    std::unordered_map<std::string, std::unordered_set<std::string>> columns;
    for (const Migration& m : kMigrations) {
        auto [it, fresh] = columns.try_emplace(m.table);
        if (fresh) {
            SQLite::Statement info(db, std::string("PRAGMA table_info(") + m.table + ")");
            while (info.executeStep()) it->second.insert(info.getColumn(1).getString());
        }
        if (it->second.count(m.column)) continue;
        db.exec(std::string("ALTER TABLE ") + m.table + " ADD COLUMN " + m.column + " " + m.definition);
    }
}

// The version step: an index written by another version loses its rows (they are re-made on
// the next listing); an index from before the version table keeps them.
void step_version(SQLite::Database& db) {
    const std::string version = quillbox_version();
    if (!has_table(db, "schema_version")) {
        db.exec("CREATE TABLE schema_version (key TEXT PRIMARY KEY, value TEXT)");
    } else {
        SQLite::Statement q(db, "SELECT value FROM schema_version WHERE key='quillbox_version'");
        if (q.executeStep() && q.getColumn(0).getString() != version) db.exec("DELETE FROM blocks");
    }
    SQLite::Statement put(db, "REPLACE INTO schema_version (key, value) VALUES ('quillbox_version', ?)");
    put.bind(1, version);
    put.exec();
}

std::string file_key(const fs::path& p) { return detail::file_key(p).string(); }

using indexer::Prepared;
using indexer::StatementCache;

// A block's own fields; a whole row (those and its file); a row with where its lines lie in the
// file's bytes; and the columns a listing shows. The positional readers below follow these
// orders.
#define QB_BLOCK_FIELDS "id, heading_path, block_type, start_line, end_line, title, level, content_hash"
#define QB_ROW_COLUMNS QB_BLOCK_FIELDS ", file_path"
#define QB_PLACED_COLUMNS QB_BLOCK_FIELDS ", byte_start, byte_end"
#define QB_LISTED_COLUMNS "id, start_line, end_line, title, level, content_hash"

[[noreturn]] void rethrow_for(const fs::path& db_path, const SQLite::Exception& e) {
    std::string msg = "index database " + db_path.string() + ": " + e.what();
    std::error_code ec;
    fs::path parent = fs::absolute(db_path, ec).parent_path();
    if (e.getErrorCode() == SQLITE_CANTOPEN && !parent.empty() && !fs::is_directory(parent, ec))
        msg += " (directory " + parent.string() + " does not exist)";
    const auto* known = dynamic_cast<const IndexDatabaseError*>(&e);
    throw IndexDatabaseError(msg, e.getErrorCode(), db_path, known ? known->extended_code() : e.getExtendedErrorCode());
}

// Where a statement's row holds each Block field; -1 for a column it lacks. Found once per
// statement, then every row is read by position.
struct BlockColumns {
    int id = -1, file_path = -1, start_line = -1, end_line = -1, title = -1, level = -1,
        heading_path = -1, block_type = -1, content_hash = -1;

    explicit BlockColumns(SQLite::Statement& q) {
        const std::pair<const char*, int*> wanted[] = {
            {"id", &id}, {"file_path", &file_path}, {"start_line", &start_line},
            {"end_line", &end_line}, {"title", &title}, {"level", &level},
            {"heading_path", &heading_path}, {"block_type", &block_type},
            {"content_hash", &content_hash}};
        for (int i = 0, n = q.getColumnCount(); i < n; ++i)
            for (auto& [name, slot] : wanted)
                if (*slot < 0 && std::strcmp(q.getColumnName(i), name) == 0) *slot = i;
    }

    Block read(SQLite::Statement& q) const {
        auto text = [&](int i) { return q.getColumn(required(q, i)).getString(); };
        auto integer = [&](int i) { return q.getColumn(required(q, i)).getInt(); };
        Block b;
        b.uuid = text(id);
        if (file_path >= 0) b.file_path = fs::path(q.getColumn(file_path).getString());
        b.start_line = integer(start_line);
        b.end_line = integer(end_line);
        b.title = text(title);
        b.level = integer(level);
        b.heading_path = heading_path >= 0 ? q.getColumn(heading_path).getString() : "";
        b.block_type = block_type >= 0 ? q.getColumn(block_type).getString() : "heading";
        b.content_hash = text(content_hash);
        return b;
    }

    static int required(SQLite::Statement& q, int i) {
        if (i < 0) throw SQLite::Exception("a blocks row lacks a required column: " + q.getQuery());
        return i;
    }
};

std::vector<Block> read_blocks(SQLite::Statement& q) {
    std::vector<Block> out;
    if (!q.executeStep()) return out;
    BlockColumns cols(q);
    do out.push_back(cols.read(q));
    while (q.executeStep());
    return out;
}

// Ends a re-index mark however the pass ends.
class ReindexMark {
public:
    ReindexMark(FileWatcher* w, const fs::path& p) : w_(w), p_(p) {
        if (w_) w_->mark_reindex_start(p_);
    }
    ~ReindexMark() {
        if (!w_) return;
        try {
            w_->mark_reindex_done(p_);
        } catch (...) {
        }
    }
    ReindexMark(const ReindexMark&) = delete;
    ReindexMark& operator=(const ReindexMark&) = delete;

private:
    FileWatcher* w_;
    const fs::path& p_;
};

constexpr int kBusyTimeoutMs = 5000;

// Rows read by position straight from a kept statement: a listing or a pass reads thousands,
// and the wrapper's object per column costs more than the reads.
std::string column_text(sqlite3_stmt* st, int i) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
    return std::string(p ? p : "", static_cast<std::size_t>(sqlite3_column_bytes(st, i)));
}

// The next row: true with one, false when there are no more; a failure throws.
bool next_row(StatementCache& q, sqlite3_stmt* st) {
    const int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw SQLite::Exception(q.db().getHandle(), rc);
}

void bind_text(sqlite3_stmt* st, int i, const std::string& text) {
    sqlite3_bind_text(st, i, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

// QB_BLOCK_FIELDS from column `first` on.
void read_block_fields(sqlite3_stmt* st, int first, Block& b) {
    b.uuid = column_text(st, first);
    b.heading_path = column_text(st, first + 1);
    b.block_type = column_text(st, first + 2);
    b.start_line = sqlite3_column_int(st, first + 3);
    b.end_line = sqlite3_column_int(st, first + 4);
    b.title = column_text(st, first + 5);
    b.level = sqlite3_column_int(st, first + 6);
    b.content_hash = column_text(st, first + 7);
}

// A row of QB_ROW_COLUMNS.
Block row_at(sqlite3_stmt* st) {
    Block b;
    read_block_fields(st, 0, b);
    b.file_path = fs::path(column_text(st, 8));
    return b;
}

// A row of QB_PLACED_COLUMNS from column `first` on.
PlacedBlock placed_at(sqlite3_stmt* st, int first) {
    PlacedBlock p;
    read_block_fields(st, first, p.block);
    p.bytes = {sqlite3_column_int64(st, first + 8), sqlite3_column_int64(st, first + 9)};
    return p;
}

std::vector<Block> blocks_of(StatementCache& q, const std::string& key, RowColumns columns = RowColumns::all) {
    // Through the (file, start line) index: no sort, and only the columns asked for.
    const bool all = columns == RowColumns::all;
    indexer::RawPrepared rows =
        all ? q.raw("SELECT " QB_ROW_COLUMNS " FROM blocks WHERE file_path = ? ORDER BY start_line")
            : q.raw("SELECT " QB_LISTED_COLUMNS " FROM blocks WHERE file_path = ? ORDER BY start_line");
    sqlite3_stmt* st = rows.get();
    bind_text(st, 1, key);
    std::vector<Block> out;
    while (next_row(q, st)) {
        if (all) {
            out.push_back(row_at(st));
            continue;
        }
        Block& b = out.emplace_back();
        b.uuid = column_text(st, 0);
        b.start_line = sqlite3_column_int(st, 1);
        b.end_line = sqlite3_column_int(st, 2);
        b.title = column_text(st, 3);
        b.level = sqlite3_column_int(st, 4);
        b.content_hash = column_text(st, 5);
    }
    return out;
}

// A file's stored rows as the matcher sees them, with the fields a pass compares to leave an
// unchanged row alone.
struct OldRows {
    std::vector<OldHeading> headings;  // in the order the rows were first written
    std::unordered_map<std::string, PlacedBlock> by_id;
};

OldRows old_rows(StatementCache& q, const std::string& key) {
    // Through the (file, start line) index, then put in the order the rows were written: the
    // database would sort them through a temporary table.
    indexer::RawPrepared rows = q.raw("SELECT rowid, " QB_PLACED_COLUMNS " FROM blocks WHERE file_path = ?");
    sqlite3_stmt* st = rows.get();
    bind_text(st, 1, key);
    std::vector<std::pair<sqlite3_int64, PlacedBlock>> read;
    while (next_row(q, st)) read.emplace_back(sqlite3_column_int64(st, 0), placed_at(st, 1));
    std::sort(read.begin(), read.end(), [](const auto& a, const auto& b) { return a.first < b.first; });

    OldRows old;
    old.headings.reserve(read.size());
    old.by_id.reserve(read.size());
    for (auto& [rowid, row] : read) {
        old.headings.push_back({row.block.heading_path, row.block.level, row.block.uuid, row.block.title,
                                row.block.content_hash, row.block.start_line});
        std::string id = row.block.uuid;
        old.by_id.emplace(std::move(id), std::move(row));
    }
    return old;
}

bool id_exists(StatementCache& q, const std::string& id) {
    Prepared exists = q("SELECT 1 FROM blocks WHERE id = ?");
    exists->bindNoCopy(1, id);
    return exists->executeStep();
}

// Whether the stored row already holds what the pass would write.
bool same_fields(const PlacedBlock& row, const Block& parsed, const ByteRange& bytes) {
    const Block& stored = row.block;
    return row.bytes == bytes && stored.start_line == parsed.start_line && stored.end_line == parsed.end_line &&
           stored.level == parsed.level && stored.content_hash == parsed.content_hash &&
           stored.title == parsed.title && stored.heading_path == parsed.heading_path &&
           stored.block_type == parsed.block_type;
}

// When `block_id` lost its heading in this pass, the block that now starts at `start_line`
// with a fresh identifier takes it over.
void take_over(std::vector<std::string>& ids, const std::vector<Block>& blocks, const OldRows& old,
               StatementCache& q, const std::string& block_id, int start_line) {
    if (std::find(ids.begin(), ids.end(), block_id) != ids.end()) return;
    if (!old.by_id.count(block_id) && id_exists(q, block_id)) return;  // another file's block
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (blocks[i].start_line != start_line) continue;
        if (!old.by_id.count(ids[i])) ids[i] = block_id;  // only a fresh identifier gives way
        return;
    }
}

// How many given-up identifiers are remembered; the oldest go first.
constexpr int kRetiredKept = 20000;

void prune_retired(SQLite::Database& db) {
    db.exec("DELETE FROM retired_blocks WHERE rowid <= (SELECT max(rowid) FROM retired_blocks) - " +
            std::to_string(kRetiredKept));
}

// Deletes rows by identifier in chunks (one statement may bind only so many parameters),
// remembering them as given up.
void delete_ids(SQLite::Database& db, const std::vector<std::string>& ids) {
    constexpr std::size_t kChunk = 500;
    for (std::size_t i = 0; i < ids.size(); i += kChunk) {
        std::size_t n = std::min(kChunk, ids.size() - i);
        std::string list;
        for (std::size_t k = 0; k < n; ++k) list += k ? ",?" : "?";
        for (const char* sql : {"REPLACE INTO retired_blocks (id, file_path) SELECT id, file_path FROM blocks WHERE id IN (",
                                "DELETE FROM blocks WHERE id IN ("}) {
            SQLite::Statement st(db, std::string(sql) + list + ")");
            for (std::size_t k = 0; k < n; ++k) st.bind(static_cast<int>(k + 1), ids[i + k]);
            st.exec();
        }
    }
    if (!ids.empty()) prune_retired(db);
}

int delete_rows(StatementCache& q, const std::string& key) {
    Prepared retire = q("REPLACE INTO retired_blocks (id, file_path) SELECT id, file_path FROM blocks WHERE file_path = ?");
    retire->bind(1, key);
    if (retire->exec() > 0) prune_retired(q.db());
    Prepared del = q("DELETE FROM blocks WHERE file_path = ?");
    del->bind(1, key);
    return del->exec();
}

// A time as SQLite's CURRENT_TIMESTAMP writes it: "YYYY-MM-DD HH:MM:SS", UTC.
std::string sql_timestamp(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

// Writes the file's rows: block i under ids[i], updating a row that exists (an old row of the
// file, or one found by identifier) and inserting the others; an old row of the file that
// already holds the block's fields is left as it is, and old rows no block kept are deleted.
// Runs inside the caller's transaction.
// The file's sections follow from `text`, the text the blocks were parsed from.
void write_rows(StatementCache& q, const std::string& key, const std::vector<Block>& blocks,
                const std::vector<ByteRange>& ranges, const std::vector<std::string>& ids, const OldRows& old,
                std::string_view text) {
    const auto now = static_cast<int64_t>(std::time(nullptr));
    Prepared update_q = q("UPDATE blocks SET file_path = ?, heading_path = ?, block_type = ?, start_line = ?, "
                          "end_line = ?, title = ?, level = ?, content_hash = ?, last_seen = ?, byte_start = ?, "
                          "byte_end = ?, updated_at = CURRENT_TIMESTAMP WHERE id = ?");
    // The creation time as the column's default would give it, taken once for the pass: the
    // default is worked out anew for every row.
    Prepared insert_q = q("INSERT INTO blocks (id, file_path, heading_path, block_type, start_line, end_line, "
                          "title, level, content_hash, last_seen, byte_start, byte_end, created_at, updated_at) "
                          "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?13, ?13)");
    const std::string created = sql_timestamp(now);
    SQLite::Statement& update = *update_q;
    SQLite::Statement& insert = *insert_q;

    // Both statements take the same eleven fields in the same order: from parameter 1 in the
    // update (the identifier last), from 2 in the insert (the identifier first).
    auto bind_fields = [&](SQLite::Statement& st, int first, const Block& b, const ByteRange& bytes) {
        st.bindNoCopy(first, key);
        st.bindNoCopy(first + 1, b.heading_path);
        st.bindNoCopy(first + 2, b.block_type);
        st.bind(first + 3, b.start_line);
        st.bind(first + 4, b.end_line);
        st.bindNoCopy(first + 5, b.title);
        st.bind(first + 6, b.level);
        st.bindNoCopy(first + 7, b.content_hash);
        st.bind(first + 8, now);
        st.bind(first + 9, bytes.begin);
        st.bind(first + 10, bytes.end);
    };

    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const std::string& id = ids[i];
        // A kept identifier is one of this file's rows, read in this transaction: it exists.
        // The random one the parse drew for the block is new; only one taken over from
        // elsewhere needs the lookup.
        const ByteRange bytes = i < ranges.size() ? ranges[i] : ByteRange{};
        const auto stored = old.by_id.find(id);
        if (stored != old.by_id.end() && same_fields(stored->second, blocks[i], bytes)) continue;
        if (stored != old.by_id.end() || (id != blocks[i].uuid && id_exists(q, id))) {
            bind_fields(update, 1, blocks[i], bytes);
            update.bindNoCopy(12, id);
            update.exec();
            update.reset();
        } else {
            insert.bindNoCopy(1, id);
            bind_fields(insert, 2, blocks[i], bytes);
            insert.bindNoCopy(13, created);
            insert.exec();
            insert.reset();
        }
    }

    const std::unordered_set<std::string> kept(ids.begin(), ids.end());
    std::vector<std::string> left_over;
    for (const OldHeading& h : old.headings)
        if (!kept.count(h.uuid)) left_over.push_back(h.uuid);
    delete_ids(q.db(), left_over);
    indexer::write_sections(q, key, blocks, ids, text);
}

// Inside a pass's transaction: records `state` (taken before the parse) when the file still
// shows the same figures after it, so the record describes the bytes the rows came from;
// otherwise, or without a state, drops the record, so that no record vouches for rows it does
// not describe and the next check looks at the file again.
void record_or_forget(indexer::FileIndexTable table, const std::string& key, const fs::path& file_path,
                      const FileState* state) {
    if (state) {
        FileState after = file_state_of(file_path, state->file_hash);
        if (after.same_stat(*state)) {
            table.put(key, *state);
            return;
        }
    }
    table.remove(key);
}

}  // namespace

std::string quillbox_version() { return QUILLBOX_VERSION; }

namespace {

// One attempt at opening the index and bringing its schema up to date.
std::unique_ptr<SQLite::Database> open_and_migrate(const fs::path& db_path) {
    // No mutex inside SQLite: the Indexer's own lock already keeps every use of the connection
    // to one thread at a time, and a listing would otherwise take it for every column it reads.
    // Never through a symbolic link: a cloned repository may carry one in place of the index.
    auto db = std::make_unique<SQLite::Database>(
        db_path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE | SQLite::OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW);
    // Before the first statement: another process may be creating the same index, and
    // even the journal mode waits for its lock.
    db->setBusyTimeout(kBusyTimeoutMs);
    db->exec("PRAGMA journal_mode=WAL");
    // One writer at a time from here, so a second process finds the schema complete and
    // adds no column twice.
    SQLite::Transaction tx(*db, SQLite::TransactionBehavior::IMMEDIATE);
    db->exec(kSchema);
    // Older indexes: the one on file_path alone is a prefix of (file_path, start_line), and
    // the one on id repeats the primary key; each only cost writes.
    db->exec("DROP INDEX IF EXISTS idx_blocks_file; DROP INDEX IF EXISTS idx_blocks_uuid");
    db->exec(indexer::FileIndexTable::kCreate);
    const bool had_sections = has_table(*db, "sections");
    {
        // A removal trigger from before removals were logged is replaced by the one that logs.
        SQLite::Statement t(*db, "SELECT sql FROM sqlite_master WHERE type = 'trigger' AND name = 'sections_after_delete'");
        if (t.executeStep() && t.getColumn(0).getString().find("sections_gone") == std::string::npos)
            db->exec("DROP TRIGGER sections_after_delete");
    }
    db->exec(indexer::kSectionsSchema);
    // An index from before the sections were kept: every file is read again on its next
    // check, which writes its sections.
    if (!had_sections) db->exec("DELETE FROM file_index");
    add_missing_columns(*db);
    step_version(*db);
    tx.commit();
    _forget_files_of_old_line_rule(*db);
    return db;
}

bool is_busy(const SQLite::Exception& e) {
    const int code = e.getErrorCode() & 0xff;
    return code == SQLITE_BUSY || code == SQLITE_LOCKED;
}

}  // namespace

std::unique_ptr<SQLite::Database> _init_db(const fs::path& db_path) {
    // While another process switches a fresh index to WAL, SQLite reports "database is
    // locked" without consulting the busy handler: such an attempt is repeated, within the
    // same time-out the busy handler has.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    for (int attempt = 0;; ++attempt) {
        try {
            return open_and_migrate(db_path);
        } catch (const IndexDatabaseError&) {
            throw;
        } catch (const SQLite::Exception& e) {
            if (!is_busy(e) || std::chrono::steady_clock::now() >= deadline) rethrow_for(db_path, e);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + 7 * (attempt % 8)));
    }
}

namespace {

// Whether `bytes` hold a character that once ended a line here but is an ordinary character
// now: FF, VT, U+001C..U+001E, U+0085, U+2028, U+2029.
bool has_former_line_end(std::string_view bytes) {
    for (char c : std::string_view("\f\v\x1c\x1d\x1e"))
        if (bytes.find(c) != std::string_view::npos) return true;
    for (std::string_view seq : {"\xc2\x85", "\xe2\x80\xa8", "\xe2\x80\xa9"})
        if (bytes.find(seq) != std::string_view::npos) return true;
    return false;
}

}  // namespace

// Files indexed while those characters still ended lines carry block ranges and hashes of
// that rule: their freshness rows go, so that the next freshness check re-indexes each once.
void _forget_files_of_old_line_rule(SQLite::Database& db) {
    {
        SQLite::Statement q(db, "SELECT value FROM schema_version WHERE key='line_rule'");
        if (q.executeStep() && q.getColumn(0).getString() == "commonmark") return;
    }
    std::vector<std::string> stale;
    SQLite::Statement rows(db, "SELECT file_path FROM file_index");
    while (rows.executeStep()) {
        std::string path = rows.getColumn(0).getString();
        std::error_code ec;
        if (!fs::is_regular_file(path, ec)) continue;  // a missing file is re-indexed anyway
        try {
            if (has_former_line_end(detail::read_file_bytes(path))) stale.push_back(std::move(path));
        } catch (const std::exception&) {
            stale.push_back(std::move(path));
        }
    }
    SQLite::Transaction tx(db);
    for (const auto& path : stale) {
        SQLite::Statement del(db, "DELETE FROM file_index WHERE file_path = ?");
        del.bind(1, path);
        del.exec();
    }
    db.exec("REPLACE INTO schema_version (key, value) VALUES ('line_rule', 'commonmark')");
    tx.commit();
}

namespace {

// A read transaction through kept statements: a listing takes one on every call, and parsing
// BEGIN and COMMIT each time would cost more than the check it guards.
class ReadSnapshot {
public:
    explicit ReadSnapshot(StatementCache& q) : q_(q) { q_("BEGIN")->exec(); }
    ~ReadSnapshot() {
        if (!open_) return;
        try {
            q_("ROLLBACK")->exec();
        } catch (...) {
        }
    }
    ReadSnapshot(const ReadSnapshot&) = delete;
    ReadSnapshot& operator=(const ReadSnapshot&) = delete;
    void end() {
        q_("COMMIT")->exec();
        open_ = false;
    }

private:
    StatementCache& q_;
    bool open_ = true;
};

}  // namespace

// The connection stays usable only while this is held; every operation takes it first.
class Indexer::Lock {
public:
    explicit Lock(Indexer& ix) : lk_(ix.mu_), db_(ix.conn_locked()), q_(*ix.statements_) {}
    SQLite::Database& db() { return db_; }
    StatementCache& q() { return q_; }
    indexer::FileIndexTable file_index() { return indexer::FileIndexTable(q_); }

private:
    std::lock_guard<std::mutex> lk_;
    SQLite::Database& db_;
    StatementCache& q_;
};

Indexer::Indexer(fs::path db_path, Recovery recovery) : db_path_(std::move(db_path)), recovery_(recovery) {
    std::lock_guard<std::mutex> lk(mu_);
    open_locked();
}

bool is_damaged_index(const SQLite::Exception& e) {
    const int code = e.getErrorCode() & 0xff;
    const auto* known = dynamic_cast<const IndexDatabaseError*>(&e);
    const int extended = known ? known->extended_code() : e.getExtendedErrorCode();
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB || extended == SQLITE_CANTOPEN_SYMLINK;
}

namespace {

// A failure to open or write the file that no repair of it can mend: the index goes to memory.
bool cannot_write(const SQLite::Exception& e) {
    switch (e.getErrorCode() & 0xff) {
        case SQLITE_READONLY:
        case SQLITE_FULL:
        case SQLITE_IOERR:
        case SQLITE_CANTOPEN:
        case SQLITE_PERM:
        case SQLITE_NOLFS:
        case SQLITE_AUTH:
        case SQLITE_PROTOCOL:
            return true;
        default:
            return false;
    }
}

// "index.db" -> "index.db.damaged-20260301-142501", a counter after it when that name is taken.
fs::path damaged_name(const fs::path& db_path) {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    const std::string base = db_path.string() + ".damaged-" + stamp;
    std::error_code ec;
    for (int k = 0;; ++k) {
        fs::path p = k ? fs::path(base + "-" + std::to_string(k)) : fs::path(base);
        if (!fs::exists(fs::symlink_status(p, ec))) return p;
    }
}

// Keeps the newest few damaged copies (with their logs): a disk that keeps damaging the index
// must not fill up with them.
void prune_damaged_copies(const fs::path& db_path) {
    constexpr std::size_t kKept = 3;
    const std::string prefix = db_path.filename().string() + ".damaged-";
    std::vector<std::string> copies;
    std::error_code ec;
    for (fs::directory_iterator it(db_path.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.starts_with(prefix) && !name.ends_with("-wal") && !name.ends_with("-journal"))
            copies.push_back(name);
    }
    if (copies.size() <= kKept) return;
    // The stamp sorts by time; a counter after it ("-1") comes later within the same second.
    auto key = [&](const std::string& name) {
        const std::string stamp = name.substr(prefix.size(), 15);  // %Y%m%d-%H%M%S
        const std::string rest = name.substr(std::min(name.size(), prefix.size() + 16));
        return std::make_pair(stamp, rest.empty() ? 0L : std::strtol(rest.c_str(), nullptr, 10));
    };
    std::sort(copies.begin(), copies.end(), [&](const std::string& a, const std::string& b) { return key(a) < key(b); });
    for (std::size_t i = 0; i + kKept < copies.size(); ++i)
        for (const char* suffix : {"", "-wal", "-journal"}) fs::remove(db_path.parent_path() / (copies[i] + suffix), ec);
}

// The integrity check's first line; "ok" for a sound database. The full check, not the quick
// one: only it compares the indexes with the rows, which is where a damaged identifier or title
// shows (a listing would show the damaged one, and a read by it would find nothing).
std::string integrity_check(SQLite::Database& db) {
    return db.execAndGet("PRAGMA integrity_check(1)").getString();
}

}  // namespace

bool Indexer::recoverable(const SQLite::Exception& e) { return is_damaged_index(e) || cannot_write(e); }

void Indexer::set_connection_locked(std::unique_ptr<SQLite::Database> db) {
    statements_.reset();
    conn_ = std::move(db);
    if (conn_) statements_ = std::make_unique<StatementCache>(*conn_);
    ++generation_;
}

void Indexer::open_locked() {
    if (recovery_ == Recovery::strict) {
        set_connection_locked(_init_db(db_path_));
        return;
    }
    std::string damage;
    try {
        // Checked before anything is written to it, so that a damaged file is kept as it was.
        std::error_code ec;
        if (fs::exists(fs::symlink_status(db_path_, ec))) {
            SQLite::Database check(db_path_.string(), SQLite::OPEN_READONLY | SQLITE_OPEN_NOFOLLOW);
            check.setBusyTimeout(kBusyTimeoutMs);
            // The check reads every page once: mapped, they are not copied (a third less time
            // for an index of 250,000 sections, 1.25 s -> 0.85 s).
            check.exec("PRAGMA mmap_size=" + std::to_string(std::int64_t{4} << 30));
            if (std::string answer = integrity_check(check); answer != "ok") {
                std::replace(answer.begin(), answer.end(), '\n', ' ');
                damage = "integrity check: " + answer;
            }
        }
        if (damage.empty()) {
            set_connection_locked(_init_db(db_path_));
            return;
        }
    } catch (const SQLite::Exception& e) {
        if (!is_damaged_index(e)) {
            to_memory_locked(e.what());
            return;
        }
        damage = e.what();
    }
    renew_locked(damage);
}

void Indexer::renew_locked(const std::string& reason) {
    set_connection_locked(nullptr);
    // The damaged file and its journals are kept, under a name with the time, for whoever wants
    // to look; the shared-memory index is only a cache of the log.
    const fs::path moved = damaged_name(db_path_);
    std::error_code ec;
    fs::rename(db_path_, moved, ec);
    if (ec && fs::exists(fs::symlink_status(db_path_, ec))) {
        to_memory_locked(reason + "; it could not be moved aside: " + ec.message());
        return;
    }
    for (const char* suffix : {"-wal", "-journal"}) {
        const fs::path from = db_path_.string() + suffix;
        if (fs::exists(fs::symlink_status(from, ec))) fs::rename(from, moved.string() + suffix, ec);
    }
    fs::remove(db_path_.string() + "-shm", ec);
    prune_damaged_copies(db_path_);
    try {
        set_connection_locked(_init_db(db_path_));
        in_memory_ = false;
        notice_ = IndexNotice{IndexNotice::Kind::renewed, moved, reason};
    } catch (const SQLite::Exception& e) {
        to_memory_locked(e.what());
    }
}

void Indexer::to_memory_locked(const std::string& reason) {
    set_connection_locked(_init_db(":memory:"));
    in_memory_ = true;
    notice_ = IndexNotice{IndexNotice::Kind::memory, {}, reason};
}

bool Indexer::recover(const SQLite::Exception& e, unsigned generation) {
    if (recovery_ == Recovery::strict || !recoverable(e)) return false;
    std::lock_guard<std::mutex> lk(mu_);
    if (!conn_) return false;                           // closed
    if (generation != generation_) return true;         // another thread already recovered
    if (in_memory_) return false;                       // nothing further to fall back to
    if (is_damaged_index(e)) {
        renew_locked(e.what());
    } else {
        to_memory_locked(e.what());
    }
    return true;
}

template <class F>
decltype(auto) Indexer::guarded(F&& f) {
    const unsigned generation = generation_.load();
    try {
        return f();
    } catch (const IndexDatabaseError&) {
        throw;
    } catch (const SQLite::Exception& e) {
        if (!recover(e, generation)) throw;
    }
    return f();
}

bool Indexer::in_memory() const {
    std::lock_guard<std::mutex> lk(mu_);
    return in_memory_;
}

std::optional<IndexNotice> Indexer::take_notice() {
    std::lock_guard<std::mutex> lk(mu_);
    return std::exchange(notice_, std::nullopt);
}

Indexer::~Indexer() {
    try {
        close();
    } catch (...) {
    }
}

void Indexer::close() {
    std::lock_guard<std::mutex> lk(mu_);
    statements_.reset();  // before the connection they belong to
    conn_.reset();
}

SQLite::Database& Indexer::conn_locked() {
    if (!conn_)
        throw IndexDatabaseError("index database " + db_path_.string() + " is closed", SQLITE_MISUSE,
                                 db_path_);
    return *conn_;
}

std::vector<Block> Indexer::list_blocks(const fs::path& file_path, RowColumns columns) {
    return guarded([&]() -> std::vector<Block> {
        const std::string key = file_key(file_path);
        Lock lk(*this);
        return blocks_of(lk.q(), key, columns);
    });
}

Indexer::FreshRows Indexer::rows_if_fresh(const fs::path& file_path, const FileState& now, RowColumns columns) {
    return guarded([&]() -> Indexer::FreshRows {
        const std::string key = file_key(file_path);
        Lock lk(*this);
        // The record and the rows from one snapshot: a pass committing in between cannot pair one
        // file's record with other rows.
        ReadSnapshot snapshot(lk.q());
        FreshRows out;
        out.recorded = lk.file_index().get(key);
        if (out.recorded && out.recorded->same_stat(now) && !out.recorded->racily_clean())
            out.rows = blocks_of(lk.q(), key, columns);
        snapshot.end();
        return out;
    });
}

std::optional<std::vector<Block>> Indexer::rows_if_hash(const fs::path& file_path, std::string_view file_hash,
                                                        RowColumns columns) {
    return guarded([&]() -> std::optional<std::vector<Block>> {
        const std::string key = file_key(file_path);
        Lock lk(*this);
        ReadSnapshot snapshot(lk.q());
        std::optional<std::vector<Block>> rows;
        const std::optional<FileState> recorded = lk.file_index().get(key);
        if (recorded && recorded->file_hash == file_hash) rows = blocks_of(lk.q(), key, columns);
        snapshot.end();
        return rows;
    });
}

std::optional<Indexer::BlockPlace> Indexer::block_place(std::string_view block_id) {
    return guarded([&]() -> std::optional<Indexer::BlockPlace> {
        const std::string id(block_id);
        Lock lk(*this);
        // One statement: the row and its file's record from one snapshot.
        indexer::RawPrepared q = lk.q().raw(
            "SELECT b.id, b.heading_path, b.block_type, b.start_line, b.end_line, b.title, b.level, b.content_hash, "
            "b.byte_start, b.byte_end, b.file_path, f.mtime, f.file_hash, f.mtime_ns, f.size, f.inode, f.recorded_at "
            "FROM blocks b LEFT JOIN file_index f ON f.file_path = b.file_path WHERE b.id = ?");
        sqlite3_stmt* st = q.get();
        bind_text(st, 1, id);
        if (!next_row(lk.q(), st)) return std::nullopt;
        PlacedBlock row = placed_at(st, 0);
        row.block.file_path = fs::path(column_text(st, 10));
        BlockPlace place{std::move(row.block), row.bytes, std::nullopt};
        if (sqlite3_column_type(st, 12) != SQLITE_NULL) {
            FileState s;
            s.mtime = sqlite3_column_double(st, 11);
            s.file_hash = column_text(st, 12);
            s.mtime_ns = sqlite3_column_int64(st, 13);
            s.size = sqlite3_column_int64(st, 14);
            s.inode = sqlite3_column_int64(st, 15);
            s.recorded_at = sqlite3_column_double(st, 16);
            place.recorded = std::move(s);
        }
        return place;
    });
}

std::vector<Block> Indexer::blocks_overlapping(const fs::path& file_path, int first, int last) {
    return guarded([&]() -> std::vector<Block> {
        const std::string key = file_key(file_path);
        Lock lk(*this);
        Prepared q = lk.q()("SELECT " QB_ROW_COLUMNS " FROM blocks WHERE file_path = ? AND start_line <= ? "
                            "AND end_line >= ? ORDER BY start_line");
        q->bindNoCopy(1, key);
        q->bind(2, last);
        q->bind(3, first);
        return read_blocks(*q);
    });
}

std::optional<Block> Indexer::get_block(std::string_view block_id) {
    return guarded([&]() -> std::optional<Block> {
        const std::string id(block_id);
        Lock lk(*this);
        indexer::RawPrepared q = lk.q().raw("SELECT " QB_ROW_COLUMNS " FROM blocks WHERE id = ?");
        bind_text(q.get(), 1, id);
        if (!next_row(lk.q(), q.get())) return std::nullopt;
        return row_at(q.get());
    });
}

std::vector<Block> Indexer::blocks_with_id_prefix(std::string_view prefix, int limit) {
    return guarded([&]() -> std::vector<Block> {
        Lock lk(*this);
        // A range on the primary key: every text that begins with the prefix sorts between the
        // prefix and the prefix followed by 0xFF, a byte that UTF-8 never contains.
        Prepared q = lk.q()("SELECT " QB_ROW_COLUMNS " FROM blocks WHERE id >= ? AND id < ? ORDER BY id LIMIT ?");
        const std::string low(prefix);
        const std::string high = low + '\xFF';
        q->bindNoCopy(1, low);
        q->bindNoCopy(2, high);
        q->bind(3, limit);
        return read_blocks(*q);
    });
}

std::vector<Block> Indexer::search_blocks_by_title(std::string_view query,
                                                   const std::optional<fs::path>& file_path) {
    return guarded([&]() -> std::vector<Block> {
        std::string escaped;
        escaped.reserve(query.size() + 2);
        for (char c : query) {
            if (c == '\\' || c == '%' || c == '_') escaped += '\\';
            escaped += c;
        }
        const std::string pattern = "%" + escaped + "%";

        Lock lk(*this);
        if (file_path) {
            SQLite::Statement q(lk.db(),
                                "SELECT * FROM blocks WHERE title LIKE ? ESCAPE '\\' AND file_path = ? "
                                "ORDER BY start_line");
            q.bind(1, pattern);
            q.bind(2, file_key(*file_path));
            return read_blocks(q);
        }
        SQLite::Statement q(lk.db(), "SELECT * FROM blocks WHERE title LIKE ? ESCAPE '\\' ORDER BY start_line");
        q.bind(1, pattern);
        return read_blocks(q);
    });
}

std::vector<fs::path> Indexer::indexed_files() {
    return guarded([&]() -> std::vector<fs::path> {
        Lock lk(*this);
        std::vector<fs::path> files;
        SQLite::Statement q(lk.db(), "SELECT DISTINCT file_path FROM blocks");
        while (q.executeStep()) files.emplace_back(q.getColumn(0).getString());
        return files;
    });
}

void Indexer::record_operation(std::string_view date, std::string_view op_type, std::string_view file_path,
                               std::string_view block_id, long long tokens_saved) {
    return guarded([&] {
        Lock lk(*this);
        Prepared q = lk.q()("INSERT INTO stats (date, operation_type, file_path, block_id, tokens_saved) "
                            "VALUES (?, ?, ?, ?, ?)");
        q->bind(1, std::string(date));
        q->bind(2, std::string(op_type));
        q->bind(3, std::string(file_path));
        q->bind(4, std::string(block_id));
        q->bind(5, static_cast<int64_t>(tokens_saved));
        q->exec();  // autocommit: committed on its own
    });
}

void Indexer::update_block_lines(std::string_view block_id, int new_start, int new_end) {
    return guarded([&] {
        Lock lk(*this);
        SQLite::Statement q(lk.db(),
                            "UPDATE blocks SET start_line = ?, end_line = ?, updated_at = CURRENT_TIMESTAMP "
                            "WHERE id = ?");
        q.bind(1, new_start);
        q.bind(2, new_end);
        q.bind(3, std::string(block_id));
        // The file's record no longer describes all of its rows.
        SQLite::Transaction tx(lk.db(), SQLite::TransactionBehavior::IMMEDIATE);
        lk.file_index().remove_for_block(std::string(block_id));
        q.exec();
        tx.commit();
    });
}

void Indexer::set_block_hash(std::string_view block_id, std::string_view content_hash) {
    return guarded([&] {
        Lock lk(*this);
        SQLite::Statement q(lk.db(), "UPDATE blocks SET content_hash = ? WHERE id = ?");
        q.bind(1, std::string(content_hash));
        q.bind(2, std::string(block_id));
        SQLite::Transaction tx(lk.db(), SQLite::TransactionBehavior::IMMEDIATE);
        lk.file_index().remove_for_block(std::string(block_id));
        q.exec();
        tx.commit();
    });
}

// What one pass parsed, and the record that vouches for it (none: the file keeps no record).
struct Indexer::PassInput {
    ParsedFile parsed;
    std::optional<FileState> state;
};

Indexer::Indexed Indexer::index_file(FileUpdate update) {
    return guarded([&]() -> Indexed {
        ReindexMark mark(update.watcher, update.file);
        const std::string key = file_key(update.file);
        Lock lk(*this);
        Indexed out;
        if (update.splice && update.rewritten) {
            SQLite::Transaction tx(lk.db(), SQLite::TransactionBehavior::IMMEDIATE);
            // A splice that cannot be shown to give what a whole pass would changes nothing.
            out.spliced = splice_locked(lk, key, update.file, *update.rewritten, *update.splice);
            if (out.spliced) {
                if (update.op) insert_operation(lk, *update.op);
                tx.commit();
            }
        }
        if (!out.spliced) {
            // The parse runs under the lock too; the old rows are read in the writing
            // transaction.
            const PassInput input = read_for_pass(key, update);
            SQLite::Transaction tx(lk.db(), SQLite::TransactionBehavior::IMMEDIATE);
            out.blocks = write_pass(lk, key, update, input);
            tx.commit();
        }
        if (update.want_rows) out.rows = blocks_of(lk.q(), key);
        return out;
    });
}

namespace {

// The file's rows `sql` selects (QB_PLACED_COLUMNS), its parameters the file key and `lines`.
std::vector<PlacedBlock> placed_rows(StatementCache& q, const char* sql, const std::string& key,
                                     std::initializer_list<int> lines) {
    indexer::RawPrepared rows = q.raw(sql);
    bind_text(rows.get(), 1, key);
    int at = 2;
    for (int line : lines) sqlite3_bind_int(rows.get(), at++, line);
    std::vector<PlacedBlock> out;
    while (next_row(q, rows.get())) out.push_back(placed_at(rows.get(), 0));
    return out;
}

}  // namespace

// The rows a write touched, from the rows that described the text before it: false, with
// nothing changed, when that cannot be shown to give what a whole pass would.
bool Indexer::splice_locked(Lock& lk, const std::string& key, const fs::path& file_path,
                            const FileUpdate::Rewritten& rewritten, const LineSplice& sp) {
    const std::optional<FileState> recorded = lk.file_index().get(key);
    if (!recorded || recorded->file_hash != sp.before_sha256) return false;

    const std::vector<PlacedBlock> region =
        placed_rows(lk.q(), "SELECT " QB_PLACED_COLUMNS " FROM blocks WHERE file_path = ? AND start_line >= ? "
                            "AND start_line <= ? ORDER BY start_line", key, {sp.first, sp.last});
    if (region.empty() || region.front().block.uuid != rewritten.block_id ||
        region.front().block.start_line != sp.first || rewritten.start_line != sp.first ||
        region.front().block.end_line != sp.last)
        return false;
    std::vector<PlacedBlock> after =
        placed_rows(lk.q(), "SELECT " QB_PLACED_COLUMNS " FROM blocks WHERE file_path = ? AND start_line > ? "
                            "ORDER BY start_line LIMIT 1", key, {sp.last});
    std::optional<PlacedBlock> next;
    if (!after.empty()) next = std::move(after.front());
    // The sections holding the region: their ends move with it and their hashes change.
    const std::vector<PlacedBlock> holders =
        placed_rows(lk.q(), "SELECT " QB_PLACED_COLUMNS " FROM blocks WHERE file_path = ? AND start_line < ? "
                            "AND end_line >= ?", key, {sp.first, sp.last});
    const std::optional<ReplacedBlocks> placed = reparse_replaced(sp.before, sp.after, region, next, holders);
    if (!placed) return false;
    const int dl = placed->region.front().block.end_line - sp.last;
    const auto db = static_cast<std::int64_t>(sp.after.size()) - static_cast<std::int64_t>(sp.before.size());

    const auto now = static_cast<int64_t>(std::time(nullptr));
    if (dl != 0 || db != 0) {
        Prepared q = lk.q()(
            "UPDATE blocks SET start_line = start_line + ?2, end_line = end_line + ?2, "
            "byte_start = CASE WHEN byte_start >= 0 THEN byte_start + ?3 ELSE byte_start END, "
            "byte_end = CASE WHEN byte_end >= 0 THEN byte_end + ?3 ELSE byte_end END, last_seen = ?5, "
            "updated_at = CURRENT_TIMESTAMP WHERE file_path = ?1 AND start_line > ?4");
        q->bindNoCopy(1, key);
        q->bind(2, dl);
        q->bind(3, db);
        q->bind(4, sp.last);
        q->bind(5, now);
        q->exec();
    }
    {
        Prepared q = lk.q()("UPDATE blocks SET start_line = ?, end_line = ?, content_hash = ?, byte_start = ?, "
                            "byte_end = ?, last_seen = ?, updated_at = CURRENT_TIMESTAMP WHERE id = ?");
        auto put = [&](const PlacedBlock& p) {
            q->bind(1, p.block.start_line);
            q->bind(2, p.block.end_line);
            q->bindNoCopy(3, p.block.content_hash);
            q->bind(4, p.bytes.begin);
            q->bind(5, p.bytes.end);
            q->bind(6, now);
            q->bindNoCopy(7, p.block.uuid);
            q->exec();
            q->reset();
        };
        for (std::size_t i = 0; i < region.size(); ++i)
            if (placed->region[i] != region[i]) put(placed->region[i]);
        for (const PlacedBlock& h : placed->holders) put(h);
    }
    // The region's sections from the new text; the holders' own text lies before the region,
    // only their hashes changed.
    std::vector<detail::LineSpan> spans;
    for (std::size_t i = 0; i < placed->region.size(); ++i) {
        const Block& b = placed->region[i].block;
        if (i < region.size() && b.content_hash == region[i].block.content_hash) continue;
        if (spans.empty()) spans = detail::line_spans(sp.after);
        int own_end = b.end_line;
        if (i + 1 < placed->region.size()) own_end = std::min(own_end, placed->region[i + 1].block.start_line - 1);
        else if (next) own_end = std::min(own_end, next->block.start_line + dl - 1);
        const auto first = static_cast<std::size_t>(std::max(b.start_line, 0));
        const auto last = static_cast<std::size_t>(std::max(own_end, b.start_line));
        indexer::put_section(lk.q(), b.uuid, b.title, indexer::own_text(sp.after, spans, first, last),
                             b.content_hash);
    }
    for (const PlacedBlock& h : placed->holders) indexer::set_section_hash(lk.q(), h.block.uuid, h.block.content_hash);
    record_or_forget(lk.file_index(), key, file_path, &sp.written);
    return true;
}

void Indexer::insert_operation(Lock& lk, const OperationRecord& op) {
    Prepared q = lk.q()("INSERT INTO stats (date, operation_type, file_path, block_id, tokens_saved) "
                        "VALUES (?, ?, ?, ?, ?)");
    q->bindNoCopy(1, op.date);
    q->bindNoCopy(2, op.op_type);
    q->bindNoCopy(3, op.file_path);
    q->bindNoCopy(4, op.block_id);
    q->bind(5, static_cast<int64_t>(op.tokens_saved));
    q->exec();
}

Indexer::PassInput Indexer::read_for_pass(const std::string& key, FileUpdate& update) {
    PassInput in;
    if (update.bytes) {
        // The bytes are used once: a second attempt after a recovery reads the file.
        std::string bytes = std::move(*update.bytes);
        update.bytes.reset();
        in.parsed = parse_markdown_bytes(std::move(bytes), key);
        in.state = update.state;
        return in;
    }
    // A file at rest: the figures are taken here, before the read, and the hash is that of the
    // bytes parsed.
    if (!update.state && update.at_rest) in.state = file_state_of(key, {});
    in.parsed = parse_markdown_file(key);
    if (update.state) in.state = update.state;
    else if (in.state) in.state->file_hash = in.parsed.file_hash;
    return in;
}

// One file's rows, record and statistics row, inside the caller's transaction; returns the
// number of blocks.
int Indexer::write_pass(Lock& lk, const std::string& key, const FileUpdate& update, const PassInput& in) {
    const std::vector<Block>& blocks = in.parsed.blocks;
    const OldRows old = old_rows(lk.q(), key);
    // The order the caller expects holds when every block has a row of this file with its
    // title there; otherwise the sections are matched as any pass matches them.
    const std::vector<std::string>* order = update.order ? &*update.order : nullptr;
    bool as_expected = order && order->size() == blocks.size();
    for (std::size_t i = 0; as_expected && i < blocks.size(); ++i) {
        const auto row = old.by_id.find((*order)[i]);
        as_expected = row != old.by_id.end() && row->second.block.title == blocks[i].title;
    }
    std::vector<std::string> ids = as_expected ? *order : indexer::match_identifiers(old.headings, blocks);
    if (update.rewritten)
        take_over(ids, blocks, old, lk.q(), update.rewritten->block_id, update.rewritten->start_line);
    write_rows(lk.q(), key, blocks, in.parsed.byte_ranges, ids, old, in.parsed.text);
    record_or_forget(lk.file_index(), key, update.file, in.state ? &*in.state : nullptr);
    if (update.op) insert_operation(lk, *update.op);
    return static_cast<int>(blocks.size());
}

void Indexer::index_files(const std::vector<fs::path>& file_keys,
                          const std::function<void(std::size_t, int, std::exception_ptr)>& done,
                          std::size_t per_commit) {
    struct Outcome {
        std::size_t index;
        int blocks;
        std::exception_ptr error;
    };
    per_commit = std::max<std::size_t>(per_commit, 1);
    for (std::size_t next = 0; next < file_keys.size();) {
        std::vector<Outcome> outcomes;
        const std::size_t batch = next;
        // A batch that met a damaged or unwritable index runs again on the recovered one.
        guarded([&] {
            next = batch;
            outcomes.clear();
            Lock lk(*this);
            SQLite::Transaction tx(lk.db(), SQLite::TransactionBehavior::IMMEDIATE);
            for (std::size_t n = 0; n < per_commit && next < file_keys.size(); ++n, ++next) {
                const fs::path& fp = file_keys[next];
                const std::string key = fp.string();
                try {
                    // The figures before the read: a change in between shows at the next check.
                    FileUpdate update{.file = fp, .at_rest = true};
                    const PassInput input = read_for_pass(key, update);
                    int blocks = 0;
                    // One file's rows and record stand or fall together.
                    lk.q()("SAVEPOINT one_file")->exec();
                    try {
                        blocks = write_pass(lk, key, update, input);
                        lk.q()("RELEASE one_file")->exec();
                    } catch (...) {
                        lk.q()("ROLLBACK TO one_file")->exec();
                        lk.q()("RELEASE one_file")->exec();
                        throw;
                    }
                    outcomes.push_back({next, blocks, nullptr});
                } catch (const SQLite::Exception& e) {
                    if (recovery_ == Recovery::heal && recoverable(e)) throw;
                    outcomes.push_back({next, 0, std::current_exception()});
                } catch (...) {
                    outcomes.push_back({next, 0, std::current_exception()});
                }
            }
            tx.commit();
        });
        for (const Outcome& o : outcomes) done(o.index, o.blocks, o.error);
    }
}

bool Indexer::was_retired(std::string_view block_id) {
    return guarded([&] {
        Lock lk(*this);
        Prepared q = lk.q()("SELECT 1 FROM retired_blocks WHERE id = ?");
        q->bind(1, std::string(block_id));
        return q->executeStep();
    });
}

std::vector<std::string> Indexer::retired_ids_with_prefix(std::string_view prefix, const fs::path& file_path,
                                                         int limit) {
    return guarded([&] {
        const std::string key = file_key(file_path);
        Lock lk(*this);
        // A range on the primary key, as for live ids.
        Prepared q = lk.q()("SELECT id FROM retired_blocks WHERE id >= ? AND id < ? AND file_path = ? ORDER BY id LIMIT ?");
        const std::string low(prefix);
        const std::string high = low + '\xFF';
        q->bindNoCopy(1, low);
        q->bindNoCopy(2, high);
        q->bindNoCopy(3, key);
        q->bind(4, limit);
        std::vector<std::string> out;
        while (q->executeStep()) out.push_back(q->getColumn(0).getString());
        return out;
    });
}

int Indexer::drop_file(const fs::path& file_path) {
    return guarded([&]() -> int {
        const std::string key = file_key(file_path);
        Lock lk(*this);
        SQLite::Transaction tx(lk.db(), SQLite::TransactionBehavior::IMMEDIATE);
        const int n = delete_rows(lk.q(), key);
        lk.file_index().remove(key);
        tx.commit();
        return n;
    });
}

std::optional<FileState> Indexer::file_state(const fs::path& file_path) {
    return guarded([&]() -> std::optional<FileState> {
        Lock lk(*this);
        return lk.file_index().get(file_key(file_path));
    });
}

void Indexer::record_file_state(const fs::path& file_path, const FileState& state) {
    return guarded([&] {
        Lock lk(*this);
        lk.file_index().put(file_key(file_path), state);
    });
}

bool Indexer::refresh_file_state(const fs::path& file_path, const FileState& state) {
    return guarded([&]() -> bool {
        Lock lk(*this);
        return lk.file_index().refresh(file_key(file_path), state);
    });
}

void Indexer::forget_file_state(const fs::path& file_path) {
    return guarded([&] {
        Lock lk(*this);
        lk.file_index().remove(file_key(file_path));
    });
}

FileState file_state_of(const fs::path& file_path, std::string file_hash) {
    struct stat st {};
    if (::stat(file_path.c_str(), &st) != 0)
        throw fs::filesystem_error("cannot read the modification time", file_path,
                                   std::error_code(errno, std::generic_category()));
    FileState s;
    s.mtime = static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
    s.file_hash = std::move(file_hash);
    s.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    s.size = static_cast<int64_t>(st.st_size);
    s.inode = static_cast<int64_t>(st.st_ino);
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    s.recorded_at = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
    return s;
}

std::string today_local_date() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
    return buf;
}

UsageSummary Indexer::usage_summary(const fs::path& db_path) {
    SQLite::Database db(db_path.string(), SQLite::OPEN_READONLY | SQLITE_OPEN_NOFOLLOW);
    db.setBusyTimeout(kBusyTimeoutMs);
    UsageSummary u;
    {
        SQLite::Statement q(db, "SELECT COUNT(DISTINCT file_path), COUNT(*) FROM blocks");
        if (q.executeStep()) {
            u.files = q.getColumn(0).getInt64();
            u.blocks = q.getColumn(1).getInt64();
        }
    }
    {
        SQLite::Statement q(db,
                            "SELECT operation_type, COUNT(*), COALESCE(SUM(tokens_saved), 0) FROM stats "
                            "GROUP BY operation_type ORDER BY operation_type");
        while (q.executeStep()) {
            u.operations += q.getColumn(1).getInt64();
            u.tokens_saved += q.getColumn(2).getInt64();
            u.by_type.emplace_back(q.getColumn(0).getString(), q.getColumn(1).getInt64());
        }
    }
    SQLite::Statement q(db, "SELECT COUNT(*), COALESCE(SUM(tokens_saved), 0) FROM stats WHERE date = ?");
    q.bind(1, today_local_date());
    if (q.executeStep()) {
        u.operations_today = q.getColumn(0).getInt64();
        u.tokens_saved_today = q.getColumn(1).getInt64();
    }
    return u;
}

}  // namespace quillbox

namespace quillbox {

namespace {

// A word of the query: its term as indexed, its text as typed (searchable form), and how many
// sections hold it.
struct QueryTerm {
    std::string term;
    std::string typed;
    long long sections = 0;
};

// "text" for a MATCH expression: a string inside double quotes, its own quotes doubled.
std::string match_string(std::string_view typed) {
    std::string out = "\"";
    for (char c : typed) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

// One line of `body` around the first place where most query terms lie close together.
std::string excerpt_of(const indexer::Tokenizer& tok, std::string_view body,
                       const std::unordered_set<std::string>& terms) {
    constexpr std::size_t WIDTH = 200, BEFORE = 50;
    std::vector<indexer::Tokenizer::Token> hits;
    for (auto& t : tok.tokens(body, false))
        if (terms.count(t.term)) hits.push_back(std::move(t));
    std::size_t from = 0;
    if (!hits.empty()) {
        // The window that starts at a hit and holds the most distinct terms.
        std::size_t best = 0, best_count = 0;
        for (std::size_t i = 0; i < hits.size() && i < 256; ++i) {
            std::unordered_set<std::string_view> seen;
            for (std::size_t j = i; j < hits.size() && hits[j].end <= hits[i].begin + WIDTH - BEFORE; ++j)
                seen.insert(hits[j].term);
            if (seen.size() > best_count) best = i, best_count = seen.size();
        }
        // From the start while the words are near it, else a little before them.
        if (hits[best].end > WIDTH * 3 / 4) from = hits[best].begin - std::min(hits[best].begin, BEFORE);
        // A cut start moves on to the next word, if one starts before the chosen place.
        if (from > 0) {
            const std::size_t space = body.find_first_of(" \n", from);
            if (space != std::string_view::npos && space < hits[best].begin) from = space + 1;
        }
    }
    auto continuation = [&](std::size_t at) {
        return at < body.size() && (static_cast<unsigned char>(body[at]) & 0xC0) == 0x80;
    };
    while (continuation(from)) ++from;
    std::size_t to = std::min(body.size(), from + WIDTH);
    while (continuation(to)) --to;
    std::string line;
    bool space = false;
    for (char c : indexer::shown_text(body.substr(from, to - from))) {
        if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
            space = !line.empty();
            continue;
        }
        if (space) line += ' ';
        space = false;
        line += c;
    }
    if (from > 0) line = "…" + line;
    if (to < body.size()) line += "…";
    return line;
}

}  // namespace

std::vector<KeywordHit> Indexer::search_sections(std::string_view query, std::size_t limit, std::size_t detailed,
                                                 const std::function<bool(const Block&)>& keep) {
    const std::string typed = indexer::searchable_text(query);
    if (limit == 0) return {};
    struct Candidate {
        KeywordHit hit;
        std::string title, body;
    };
    struct Found {
        std::unique_ptr<indexer::Tokenizer> tok;
        std::vector<QueryTerm> terms;
        long long total = 0;
        std::vector<Candidate> candidates;
    };
    Found found = guarded([&]() -> Found {
        Found f;
        Lock lk(*this);
        // A tokenizer of this call's own: it keeps working buffers, and the details below are
        // worked out after the lock is given back.
        f.tok = std::make_unique<indexer::Tokenizer>(lk.db().getHandle());
        ReadSnapshot snapshot(lk.q());
        for (const auto& t : f.tok->tokens(typed, true)) {
            if (std::any_of(f.terms.begin(), f.terms.end(), [&](const QueryTerm& q) { return q.term == t.term; }))
                continue;
            f.terms.push_back({t.term, typed.substr(t.begin, t.end - t.begin), 0});
        }
        if (f.terms.empty()) return f;
        {
            Prepared q = lk.q()("SELECT count(*) FROM sections");
            if (q->executeStep()) f.total = q->getColumn(0).getInt64();
        }
        for (QueryTerm& t : f.terms) {
            Prepared q = lk.q()("SELECT doc FROM sections_vocab WHERE term = ?");
            q->bindNoCopy(1, t.term);
            if (q->executeStep()) t.sections = q->getColumn(0).getInt64();
        }
        const long long total = f.total;
        const bool has_rare = std::any_of(f.terms.begin(), f.terms.end(), [&](const QueryTerm& t) {
            return t.sections > 0 && t.sections * 2 <= total;
        });
        std::string match;
        for (const QueryTerm& t : f.terms) {
            if (t.sections == 0 || (has_rare && t.sections * 2 > total)) continue;
            if (!match.empty()) match += " OR ";
            match += match_string(t.typed);
        }
        if (match.empty()) return f;
        // Titles weigh five times the text. More rows than asked, for those `keep` refuses.
        std::vector<sqlite3_int64> seqs;
        {
            indexer::RawPrepared ranked = lk.q().raw(
                "SELECT rowid FROM sections_fts WHERE sections_fts MATCH ?1 "
                "ORDER BY bm25(sections_fts, 5.0, 1.0) LIMIT ?2");
            sqlite3_bind_text(ranked.get(), 1, match.data(), static_cast<int>(match.size()), SQLITE_STATIC);
            sqlite3_bind_int64(ranked.get(), 2, static_cast<sqlite3_int64>(keep ? limit * 2 + 16 : limit));
            while (next_row(lk.q(), ranked.get())) seqs.push_back(sqlite3_column_int64(ranked.get(), 0));
        }
        indexer::RawPrepared row = lk.q().raw(
            "SELECT b.id, b.heading_path, b.block_type, b.start_line, b.end_line, b.title, b.level, b.content_hash, "
            "b.file_path, s.title, s.body FROM sections s JOIN blocks b ON b.id = s.id WHERE s.seq = ?");
        for (sqlite3_int64 seq : seqs) {
            sqlite3_stmt* st = row.get();
            sqlite3_reset(st);
            sqlite3_bind_int64(st, 1, seq);
            if (!next_row(lk.q(), st)) continue;
            auto& c = f.candidates.emplace_back();
            c.hit.block = row_at(st);
            c.title = column_text(st, 9);
            c.body = column_text(st, 10);
        }
        snapshot.end();
        return f;
    });
    if (found.candidates.empty()) return {};

    // Weights: a term's share of the query grows with its rarity; one no section holds still
    // counts, as the part of the question nothing answers.
    double all_weight = 0;
    std::unordered_map<std::string, double> weight;
    std::unordered_set<std::string> term_set;
    for (const QueryTerm& t : found.terms) {
        const double w = std::log(1.0 + static_cast<double>(found.total) / static_cast<double>(t.sections + 1));
        weight[t.term] = w;
        all_weight += w;
        term_set.insert(t.term);
    }
    const indexer::Tokenizer& tok = *found.tok;
    std::vector<KeywordHit> out;
    for (Candidate& c : found.candidates) {  // `keep` may ask the index itself: no lock held
        if (out.size() >= limit) break;
        if (keep && !keep(c.hit.block)) continue;
        if (out.size() < detailed) {
            std::unordered_set<std::string> present;
            for (const auto* text : {&c.title, &c.body})
                for (auto& t : tok.tokens(*text, false))
                    if (term_set.count(t.term)) present.insert(std::move(t.term));
            double got = 0;
            for (const auto& t : present) got += weight[t];
            c.hit.coverage = all_weight > 0 ? got / all_weight : 0;
            c.hit.excerpt = excerpt_of(tok, c.body, term_set);
        }
        out.push_back(std::move(c.hit));
    }
    return out;
}

SectionsVersion Indexer::sections_version() {
    return guarded([&]() -> SectionsVersion {
        Lock lk(*this);
        Prepared q = lk.q()("SELECT COALESCE((SELECT seq FROM sqlite_sequence WHERE name = 'sections'), 0), "
                            "COALESCE((SELECT seq FROM sqlite_sequence WHERE name = 'sections_gone'), 0)");
        SectionsVersion v;
        if (q->executeStep()) {
            v.last_seq = q->getColumn(0).getInt64();
            v.gone_seq = q->getColumn(1).getInt64();
        }
        return v;
    });
}

std::size_t Indexer::section_count() {
    return guarded([&]() -> std::size_t {
        Lock lk(*this);
        Prepared q = lk.q()("SELECT count(*) FROM sections");
        return q->executeStep() ? static_cast<std::size_t>(q->getColumn(0).getInt64()) : 0;
    });
}

std::optional<std::vector<std::string>> Indexer::sections_gone(long long after_gone_seq, long long upto) {
    return guarded([&]() -> std::optional<std::vector<std::string>> {
        Lock lk(*this);
        // The log was cut past what the caller saw last: it cannot say what went.
        Prepared first = lk.q()("SELECT min(seq) FROM sections_gone");
        if (first->executeStep() && !first->getColumn(0).isNull() && first->getColumn(0).getInt64() > after_gone_seq + 1)
            return std::nullopt;
        indexer::RawPrepared q = lk.q().raw("SELECT id FROM sections_gone WHERE seq > ? AND seq <= ? ORDER BY seq");
        sqlite3_bind_int64(q.get(), 1, after_gone_seq);
        sqlite3_bind_int64(q.get(), 2, upto);
        std::vector<std::string> out;
        while (next_row(lk.q(), q.get())) out.push_back(column_text(q.get(), 0));
        return out;
    });
}

std::vector<SectionStamp> Indexer::sections_after(long long after_seq, std::size_t limit) {
    return guarded([&]() -> std::vector<SectionStamp> {
        Lock lk(*this);
        indexer::RawPrepared q = lk.q().raw("SELECT seq, id, content_hash FROM sections WHERE seq > ? ORDER BY seq LIMIT ?");
        sqlite3_bind_int64(q.get(), 1, after_seq);
        sqlite3_bind_int64(q.get(), 2, static_cast<sqlite3_int64>(std::min<std::size_t>(limit, INT32_MAX)));
        std::vector<SectionStamp> out;
        while (next_row(lk.q(), q.get()))
            out.push_back({sqlite3_column_int64(q.get(), 0), column_text(q.get(), 1), column_text(q.get(), 2)});
        return out;
    });
}

std::vector<SectionText> Indexer::section_texts(const std::vector<std::string>& ids, std::size_t chars) {
    return guarded([&]() -> std::vector<SectionText> {
        Lock lk(*this);
        // Zero-width spaces stand between the words of some scripts: a few more characters are
        // read so that the text shown still holds `chars` of its own.
        Prepared q = lk.q()("SELECT title, substr(body, 1, ?), content_hash FROM sections WHERE id = ?");
        std::vector<SectionText> out;
        out.reserve(ids.size());
        for (const std::string& id : ids) {
            q->reset();
            q->bind(1, static_cast<int64_t>(std::min<std::size_t>(chars * 2, INT32_MAX)));
            q->bindNoCopy(2, id);
            if (!q->executeStep()) continue;
            std::string text = indexer::shown_text(q->getColumn(1).getString());
            std::size_t n = 0, i = 0;
            for (; i < text.size(); ++i)
                if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && n++ == chars) break;
            text.resize(i);
            out.push_back({id, indexer::shown_text(q->getColumn(0).getString()), std::move(text),
                           q->getColumn(2).getString()});
        }
        return out;
    });
}

}  // namespace quillbox
