#pragma once
// Shared bits of the indexer tests.
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "quillbox/indexer.h"
#include "common/temp_dir.h"

using qbtest::CurrentDir;
using qbtest::TempDir;
using qbtest::write_file;

// title -> uuid of the file's rows (titles are unique where it is used).
inline std::map<std::string, std::string> ids_by_title(quillbox::Indexer& ix, const std::filesystem::path& f) {
    std::map<std::string, std::string> m;
    for (auto& b : ix.list_blocks(f)) m[b.title] = b.uuid;
    return m;
}

// First column of the first row, as text.
inline std::string query1(SQLite::Database& db, const std::string& sql) {
    SQLite::Statement q(db, sql);
    return q.executeStep() ? q.getColumn(0).getString() : "<no row>";
}

// A second connection to the Indexer's database, for looking at and tampering with rows the
// Indexer's operations do not expose.
inline SQLite::Database side_connection(const quillbox::Indexer& ix) {
    SQLite::Database db(ix.db_path().string(), SQLite::OPEN_READWRITE);
    db.setBusyTimeout(5000);
    return db;
}

inline std::string query1(const quillbox::Indexer& ix, const std::string& sql) {
    SQLite::Database db = side_connection(ix);
    return query1(db, sql);
}

inline void exec_sql(const quillbox::Indexer& ix, const std::string& sql) { side_connection(ix).exec(sql); }
