#include "quillbox/indexer.h"

#include <sqlite3.h>

#include <cstring>
#include <ctime>
#include <exception>
#include <unordered_map>
#include <unordered_set>

#include "quillbox/detail/file_key.h"
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
CREATE INDEX IF NOT EXISTS idx_blocks_file ON blocks(file_path);
CREATE INDEX IF NOT EXISTS idx_blocks_title ON blocks(title);
CREATE INDEX IF NOT EXISTS idx_blocks_uuid ON blocks(id);
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
    const char* column;
    const char* definition;
};
constexpr Migration kMigrations[] = {
    {"heading_path", "TEXT NOT NULL DEFAULT ''"},
    {"block_type", "TEXT NOT NULL DEFAULT 'heading'"},
    {"last_seen", "INTEGER NOT NULL DEFAULT 0"},
};

std::string file_key(const fs::path& p) { return detail::file_key(p).string(); }

bool is_missing_table(const SQLite::Exception& e) {
    return e.getErrorCode() == SQLITE_ERROR && std::strstr(e.what(), "no such table") != nullptr;
}

[[noreturn]] void rethrow_for(const fs::path& db_path, const SQLite::Exception& e) {
    std::string msg = "index database " + db_path.string() + ": " + e.what();
    std::error_code ec;
    fs::path parent = fs::absolute(db_path, ec).parent_path();
    if (e.getErrorCode() == SQLITE_CANTOPEN && !parent.empty() && !fs::is_directory(parent, ec))
        msg += " (directory " + parent.string() + " does not exist)";
    throw IndexDatabaseError(msg, e.getErrorCode(), db_path);
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
        b.file_path = fs::path(text(file_path));
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

}  // namespace

std::string quillbox_version() { return QUILLBOX_VERSION; }

std::unique_ptr<SQLite::Database> _init_db(const fs::path& db_path) {
    try {
        auto db = std::make_unique<SQLite::Database>(
            db_path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE | SQLite::OPEN_FULLMUTEX);
        db->exec("PRAGMA journal_mode=WAL");
        db->exec("PRAGMA busy_timeout=5000");
        {
            SQLite::Transaction tx(*db);
            db->exec(kSchema);
            tx.commit();
        }

        std::unordered_set<std::string> columns;
        {
            SQLite::Statement info(*db, "PRAGMA table_info(blocks)");
            while (info.executeStep()) columns.insert(info.getColumn(1).getString());
        }
        for (const Migration& m : kMigrations) {
            if (columns.count(m.column)) continue;
            db->exec(std::string("ALTER TABLE blocks ADD COLUMN ") + m.column + " " + m.definition);
        }

        const std::string version = quillbox_version();
        try {
            SQLite::Transaction tx(*db);
            {
                SQLite::Statement q(*db, "SELECT value FROM schema_version WHERE key='quillbox_version'");
                if (q.executeStep() && q.getColumn(0).getString() != version) db->exec("DELETE FROM blocks");
            }
            SQLite::Statement put(*db, "REPLACE INTO schema_version (key, value) VALUES ('quillbox_version', ?)");
            put.bind(1, version);
            put.exec();
            tx.commit();
        } catch (const SQLite::Exception& e) {
            if (!is_missing_table(e)) throw;
            SQLite::Transaction tx(*db);
            db->exec("CREATE TABLE IF NOT EXISTS schema_version (key TEXT PRIMARY KEY, value TEXT)");
            SQLite::Statement put(*db, "INSERT OR IGNORE INTO schema_version (key, value) VALUES ('quillbox_version', ?)");
            put.bind(1, version);
            put.exec();
            tx.commit();
        }
        return db;
    } catch (const IndexDatabaseError&) {
        throw;
    } catch (const SQLite::Exception& e) {
        rethrow_for(db_path, e);
    }
}

Block _row_to_block(SQLite::Statement& row) { return BlockColumns(row).read(row); }

Indexer::Indexer(fs::path db_path) : db_path_(std::move(db_path)), conn_(_init_db(db_path_)) {}

Indexer::~Indexer() {
    try {
        close();
    } catch (...) {
    }
}

void Indexer::close() {
    std::lock_guard<std::recursive_mutex> lk(mu_);
    conn_.reset();
}

SQLite::Database& Indexer::conn() {
    std::lock_guard<std::recursive_mutex> lk(mu_);
    if (!conn_)
        throw IndexDatabaseError("index database " + db_path_.string() + " is closed", SQLITE_MISUSE,
                                 db_path_);
    return *conn_;
}

std::vector<Block> Indexer::list_blocks(const fs::path& file_path) {
    std::lock_guard<std::recursive_mutex> lk(mu_);
    SQLite::Statement q(conn(), "SELECT * FROM blocks WHERE file_path = ? ORDER BY start_line");
    q.bind(1, file_key(file_path));
    return read_blocks(q);
}

std::optional<Block> Indexer::get_block(std::string_view block_id) {
    std::lock_guard<std::recursive_mutex> lk(mu_);
    SQLite::Statement q(conn(), "SELECT * FROM blocks WHERE id = ?");
    q.bind(1, std::string(block_id));
    if (!q.executeStep()) return std::nullopt;
    return _row_to_block(q);
}

std::vector<Block> Indexer::blocks_with_id_prefix(std::string_view prefix, int limit) {
    std::lock_guard<std::recursive_mutex> lk(mu_);
    // A range on the primary key: every text that begins with the prefix sorts between the
    // prefix and the prefix followed by 0xFF, a byte that UTF-8 never contains.
    SQLite::Statement q(conn(), "SELECT * FROM blocks WHERE id >= ? AND id < ? ORDER BY id LIMIT ?");
    const std::string low(prefix);
    q.bind(1, low);
    q.bind(2, low + '\xFF');
    q.bind(3, limit);
    return read_blocks(q);
}

std::vector<Block> Indexer::search_blocks_by_title(std::string_view query,
                                                   const std::optional<fs::path>& file_path) {
    std::string escaped;
    escaped.reserve(query.size() + 2);
    for (char c : query) {
        if (c == '\\' || c == '%' || c == '_') escaped += '\\';
        escaped += c;
    }
    const std::string pattern = "%" + escaped + "%";

    std::lock_guard<std::recursive_mutex> lk(mu_);
    std::vector<Block> out;
    if (file_path) {
        SQLite::Statement q(conn(),
                            "SELECT * FROM blocks WHERE title LIKE ? ESCAPE '\\' AND file_path = ? "
                            "ORDER BY start_line");
        q.bind(1, pattern);
        q.bind(2, file_key(*file_path));
        out = read_blocks(q);
    } else {
        SQLite::Statement q(conn(), "SELECT * FROM blocks WHERE title LIKE ? ESCAPE '\\' ORDER BY start_line");
        q.bind(1, pattern);
        out = read_blocks(q);
    }
    return out;
}

void Indexer::record_operation(std::string_view date, std::string_view op_type, std::string_view file_path,
                               std::string_view block_id, long long tokens_saved) {
    std::lock_guard<std::recursive_mutex> lk(mu_);
    SQLite::Statement q(conn(),
                        "INSERT INTO stats (date, operation_type, file_path, block_id, tokens_saved) "
                        "VALUES (?, ?, ?, ?, ?)");
    q.bind(1, std::string(date));
    q.bind(2, std::string(op_type));
    q.bind(3, std::string(file_path));
    q.bind(4, std::string(block_id));
    q.bind(5, static_cast<int64_t>(tokens_saved));
    q.exec();  // autocommit: committed on its own
}

void Indexer::update_block_lines(std::string_view block_id, int new_start, int new_end) {
    std::lock_guard<std::recursive_mutex> lk(mu_);
    SQLite::Statement q(conn(),
                        "UPDATE blocks SET start_line = ?, end_line = ?, updated_at = CURRENT_TIMESTAMP "
                        "WHERE id = ?");
    q.bind(1, new_start);
    q.bind(2, new_end);
    q.bind(3, std::string(block_id));
    q.exec();
}

int Indexer::index_file(const fs::path& file_path, FileWatcher* watcher) {
    ReindexMark mark(watcher, file_path);
    const std::string key = file_key(file_path);

    // The parse runs under the lock too: two passes over one file (a watcher firing and an
    // operation) then each read the file after the other committed, so an older text can never
    // be written over a newer one. The old rows are read in the writing transaction.
    std::lock_guard<std::recursive_mutex> lk(mu_);
    SQLite::Database& db = conn();
    const std::vector<Block> blocks = parse_markdown_to_blocks(file_path);
    SQLite::Transaction tx(db, SQLite::TransactionBehavior::IMMEDIATE);

    std::vector<OldHeading> old;
    {
        SQLite::Statement q(db, "SELECT heading_path, level, id as uuid FROM blocks WHERE file_path = ?");
        q.bind(1, key);
        while (q.executeStep())
            old.push_back({q.getColumn(0).getString(), q.getColumn(1).getInt(), q.getColumn(2).getString()});
    }

    // Exact matches by heading_path: per slug, the old rows in order and a cursor past the used.
    std::unordered_map<std::string, std::vector<std::size_t>> by_path;
    for (std::size_t i = 0; i < old.size(); ++i) by_path[old[i].heading_path].push_back(i);
    std::unordered_map<std::string, std::size_t> cursor;
    std::vector<bool> old_used(old.size(), false);
    std::unordered_map<std::string, std::size_t> old_index;
    for (std::size_t i = 0; i < old.size(); ++i) old_index.emplace(old[i].uuid, i);
    std::unordered_set<std::string> used;

    const auto now = static_cast<int64_t>(std::time(nullptr));
    SQLite::Statement exists(db, "SELECT id FROM blocks WHERE id = ?");
    SQLite::Statement update(db,
                             "UPDATE blocks SET file_path = ?, heading_path = ?, block_type = ?, start_line = ?, "
                             "end_line = ?, title = ?, level = ?, content_hash = ?, last_seen = ?, "
                             "updated_at = CURRENT_TIMESTAMP WHERE id = ?");
    SQLite::Statement insert(db,
                             "INSERT INTO blocks (id, file_path, heading_path, block_type, start_line, end_line, "
                             "title, level, content_hash, last_seen) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");

    // Both statements take the same nine fields in the same order: from parameter 1 in the
    // update (the identifier last), from 2 in the insert (the identifier first).
    auto bind_fields = [&](SQLite::Statement& st, int first, const Block& b) {
        st.bindNoCopy(first, key);
        st.bindNoCopy(first + 1, b.heading_path);
        st.bindNoCopy(first + 2, b.block_type);
        st.bind(first + 3, b.start_line);
        st.bind(first + 4, b.end_line);
        st.bindNoCopy(first + 5, b.title);
        st.bind(first + 6, b.level);
        st.bindNoCopy(first + 7, b.content_hash);
        st.bind(first + 8, now);
    };
    auto write_update = [&](const Block& b, const std::string& id) {
        bind_fields(update, 1, b);
        update.bindNoCopy(10, id);
        update.exec();
        update.reset();
    };
    auto write_insert = [&](const Block& b, const std::string& id) {
        insert.bindNoCopy(1, id);
        bind_fields(insert, 2, b);
        insert.exec();
        insert.reset();
    };

    for (const Block& b : blocks) {
        const std::string* match = nullptr;
        if (auto it = by_path.find(b.heading_path); it != by_path.end()) {
            std::size_t& c = cursor[b.heading_path];
            while (c < it->second.size() && old_used[it->second[c]]) ++c;
            if (c < it->second.size()) match = &old[it->second[c]].uuid;
        }
        std::optional<std::string> fuzzy;
        if (!match) {
            std::vector<OldHeading> candidates;
            for (std::size_t i = 0; i < old.size(); ++i)
                if (!old_used[i] && old[i].level == b.level) candidates.push_back(old[i]);
            if (!candidates.empty()) fuzzy = fuzzy_match_heading(b.heading_path, b.level, candidates);
            if (fuzzy) match = &*fuzzy;
        }
        const std::string id = match ? *match : b.uuid;
        used.insert(id);
        auto old_it = old_index.find(id);
        if (old_it != old_index.end()) old_used[old_it->second] = true;

        // A matched identifier is one of this file's rows, read in this transaction: it
        // exists. Only a fresh one needs the lookup.
        bool found = old_it != old_index.end();
        if (!found) {
            exists.bindNoCopy(1, id);
            found = exists.executeStep();
            exists.reset();
        }
        if (found)
            write_update(b, id);
        else
            write_insert(b, id);
    }

    std::vector<std::string> left_over;
    for (const OldHeading& h : old)
        if (!used.count(h.uuid)) left_over.push_back(h.uuid);
    // Deleted in chunks: one statement may bind only so many parameters.
    constexpr std::size_t kChunk = 500;
    for (std::size_t i = 0; i < left_over.size(); i += kChunk) {
        std::size_t n = std::min(kChunk, left_over.size() - i);
        std::string sql = "DELETE FROM blocks WHERE id IN (";
        for (std::size_t k = 0; k < n; ++k) sql += k ? ",?" : "?";
        sql += ")";
        SQLite::Statement del(db, sql);
        for (std::size_t k = 0; k < n; ++k) del.bind(static_cast<int>(k + 1), left_over[i + k]);
        del.exec();
    }

    tx.commit();
    return static_cast<int>(blocks.size());
}

int Indexer::reindex_file(const fs::path& file_path, FileWatcher* watcher) {
    return index_file(file_path, watcher);
}

}  // namespace quillbox
