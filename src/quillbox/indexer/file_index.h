#pragma once
// The `file_index` table: one freshness record per file, saying what the file looked like
// when its rows were last written. Private to the indexer and its tests.

#include <SQLiteCpp/SQLiteCpp.h>

#include <optional>
#include <string>

#include "quillbox/indexer.h"
#include "quillbox/indexer/statements.h"

namespace quillbox::indexer {

class FileIndexTable {
public:
    // The table's definition, run with the rest of the schema.
    static const char* const kCreate;

    explicit FileIndexTable(StatementCache& statements) : q_(statements) {}

    std::optional<FileState> get(const std::string& key);
    void put(const std::string& key, const FileState& state);
    // put, only while the stored record has state.file_hash; false when it has not.
    bool refresh(const std::string& key, const FileState& state);
    void remove(const std::string& key);
    // Removes the record of the file holding block `block_id`.
    void remove_for_block(const std::string& block_id);

private:
    StatementCache& q_;
};

}  // namespace quillbox::indexer
