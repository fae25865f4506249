#pragma once
// The text of every section, kept for keyword search: the `sections` table (a section's title and
// its own text, from below its heading to its first subsection) with a full-text index over it.
// Rows are written by the indexer's passes in their transactions; a deleted block row takes its
// section with it (a trigger), so every path that drops blocks keeps the two in step. A section
// whose text changes is deleted and inserted again, so its `seq` only grows: a reader that knows
// the largest `seq` and the row count it saw can tell whether anything changed since.
// Private to the indexer.

#include <sqlite3.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "quillbox/detail/lines.h"
#include "quillbox/indexer/statements.h"
#include "quillbox/outline.h"

namespace quillbox::indexer {

// Tables, full-text index and triggers; idempotent.
extern const char* const kSectionsSchema;

// How much of a section's own text is kept and searched.
constexpr std::size_t MAX_SECTION_TEXT = 64 * 1024;

// `text` with a zero-width space at each word boundary that the index's tokenizer would not see
// on its own: between two letters of scripts written without spaces (Chinese, Japanese, Thai …),
// where ICU's word breaks put a boundary. Other text is returned unchanged.
std::string searchable_text(std::string_view text);

// The zero-width spaces taken out again, for showing stored text.
std::string shown_text(std::string_view text);

// The own text of a section: lines `first` to `last` (0-based, `last` excluded) of `text`
// as `spans` locates them, joined by line feeds, cut to MAX_SECTION_TEXT at a character
// boundary.
std::string own_text(std::string_view text, const std::vector<detail::LineSpan>& spans, std::size_t first,
                     std::size_t last);

// Inside the caller's transaction: the sections of a file's blocks after its rows were written
// (block i stored under ids[i]); a section whose stored hash is the block's is left alone.
// `text` is the file's text the blocks come from.
void write_sections(StatementCache& q, const std::string& key, const std::vector<Block>& blocks,
                    const std::vector<std::string>& ids, std::string_view text);

// Removals kept in sections_gone: a follower that looked longer ago lists every section again.
constexpr long long GONE_KEPT = 100000;
// Inside the caller's transaction: the removals older than the last GONE_KEPT are forgotten.
void forget_old_removals(StatementCache& q);

// Inside the caller's transaction: one section written afresh.
void put_section(StatementCache& q, const std::string& id, std::string_view title, std::string_view body,
                 const std::string& content_hash);
// Inside the caller's transaction: a section whose text is unchanged but whose block's hash is
// new (a subsection of it changed).
void set_section_hash(StatementCache& q, const std::string& id, const std::string& content_hash);

// The index's tokenizer, as the full-text index runs it on this connection.
class Tokenizer {
public:
    explicit Tokenizer(sqlite3* db);
    ~Tokenizer();
    Tokenizer(const Tokenizer&) = delete;
    Tokenizer& operator=(const Tokenizer&) = delete;

    struct Token {
        std::string term;   // as indexed (folded, stemmed)
        std::size_t begin;  // bytes of `text` it came from
        std::size_t end;
    };
    std::vector<Token> tokens(std::string_view text, bool query) const;

private:
    struct Impl;
    Impl* impl_;
};

}  // namespace quillbox::indexer
