#pragma once
// Statements prepared once per connection and kept until the Indexer closes. Private to the
// indexer.

#include <SQLiteCpp/SQLiteCpp.h>

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

private:
    SQLite::Database& db_;
    std::unordered_map<const char*, std::unique_ptr<SQLite::Statement>> cache_;
};

}  // namespace quillbox::indexer
