#pragma once
// Statements prepared once per connection and kept until the Indexer closes. Private to the
// indexer.

#include <SQLiteCpp/SQLiteCpp.h>
#include <sqlite3.h>

#include <memory>
#include <unordered_map>

namespace quillbox::indexer {

// One statement in use: reset and unbound when the use ends, so a later use (or the next
// transaction) finds it idle and holding no text of the caller's.
class Prepared {
public:
    explicit Prepared(SQLite::Statement& q) : q_(q) {}
    ~Prepared() {
        try {
            q_.reset();
        } catch (...) {
            // The error was reported by the step that failed.
        }
        q_.clearBindings();
    }
    Prepared(const Prepared&) = delete;
    Prepared& operator=(const Prepared&) = delete;
    SQLite::Statement& operator*() { return q_; }
    SQLite::Statement* operator->() { return &q_; }

private:
    SQLite::Statement& q_;
};

// A statement stepped through SQLite's own interface, for loops over many rows where the
// wrapper's object per column costs more than the reads; reset and unbound as Prepared is.
class RawPrepared {
public:
    explicit RawPrepared(sqlite3_stmt* st) : st_(st) {}
    ~RawPrepared() {
        sqlite3_reset(st_);
        sqlite3_clear_bindings(st_);
    }
    RawPrepared(const RawPrepared&) = delete;
    RawPrepared& operator=(const RawPrepared&) = delete;
    sqlite3_stmt* get() const { return st_; }

private:
    sqlite3_stmt* st_;
};

class StatementCache {
public:
    explicit StatementCache(SQLite::Database& db) : db_(db) {}
    SQLite::Database& db() { return db_; }

    // The statement of `sql`, a string literal: its address is the key.
    Prepared operator()(const char* sql) {
        auto& slot = cache_[sql];
        if (!slot) slot = std::make_unique<SQLite::Statement>(db_, sql);
        return Prepared(*slot);
    }

    // The same for RawPrepared.
    RawPrepared raw(const char* sql) {
        auto& slot = raw_[sql];
        if (!slot) {
            sqlite3_stmt* st = nullptr;
            const int rc = sqlite3_prepare_v2(db_.getHandle(), sql, -1, &st, nullptr);
            if (rc != SQLITE_OK) throw SQLite::Exception(db_.getHandle(), rc);
            slot.reset(st);
        }
        return RawPrepared(slot.get());
    }

private:
    struct Finalize {
        void operator()(sqlite3_stmt* st) const { sqlite3_finalize(st); }
    };
    SQLite::Database& db_;
    std::unordered_map<const char*, std::unique_ptr<SQLite::Statement>> cache_;
    std::unordered_map<const char*, std::unique_ptr<sqlite3_stmt, Finalize>> raw_;
};

}  // namespace quillbox::indexer
