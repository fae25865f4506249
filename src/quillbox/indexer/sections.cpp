#include "quillbox/indexer/sections.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <unordered_map>

namespace quillbox::indexer {

// sections_gone logs every section removed (a rewrite removes and adds): a follower of the index
// reads what went since its last look instead of listing every section again.
// Porter stemming over Unicode words with case and diacritics folded. Titles and text are
// stored as searchable_text made them (zero-width spaces between words that have no space), so
// any connection, the sqlite3 shell included, can read and write the index without a tokenizer
// of ours.
const char* const kSectionsSchema = R"sql(
CREATE TABLE IF NOT EXISTS sections (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    id TEXT NOT NULL UNIQUE,
    title TEXT NOT NULL,
    body TEXT NOT NULL,
    content_hash TEXT NOT NULL
);
CREATE VIRTUAL TABLE IF NOT EXISTS sections_fts USING fts5(
    title, body, content='sections', content_rowid='seq',
    tokenize='porter unicode61 remove_diacritics 2');
CREATE VIRTUAL TABLE IF NOT EXISTS sections_vocab USING fts5vocab(sections_fts, 'row');
CREATE TRIGGER IF NOT EXISTS sections_after_insert AFTER INSERT ON sections BEGIN
    INSERT INTO sections_fts(rowid, title, body) VALUES (new.seq, new.title, new.body);
END;
CREATE TABLE IF NOT EXISTS sections_gone (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    id TEXT NOT NULL
);
CREATE TRIGGER IF NOT EXISTS sections_after_delete AFTER DELETE ON sections BEGIN
    INSERT INTO sections_fts(sections_fts, rowid, title, body) VALUES ('delete', old.seq, old.title, old.body);
    INSERT INTO sections_gone(id) VALUES (old.id);
END;
CREATE TRIGGER IF NOT EXISTS blocks_after_delete AFTER DELETE ON blocks BEGIN
    DELETE FROM sections WHERE id = old.id;
END;
)sql";

namespace {

constexpr std::string_view ZWSP = "\xE2\x80\x8B";  // U+200B, not a token character

// A character the tokenizer keeps inside a token (letters, numbers, marks, private use).
bool token_char(UChar32 c) {
    const auto mask = U_GET_GC_MASK(c);
    return (mask & (U_GC_L_MASK | U_GC_N_MASK | U_GC_M_MASK | U_GC_CO_MASK)) != 0;
}

// Whether some character may need ICU's dictionary: every code point below U+0E00 belongs to a
// script written with spaces (a UTF-8 lead byte below 0xE0 encodes at most U+07FF, and 0xE0
// leads U+0800 to U+0FFF).
bool may_need_breaks(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 0xE0) return true;
    return false;
}

icu::BreakIterator& word_breaks() {
    thread_local std::unique_ptr<icu::BreakIterator> it = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> made(icu::BreakIterator::createWordInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status) || !made) throw std::runtime_error("ICU word breaks are not available");
        return made;
    }();
    return *it;
}

bool is_utf8_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::string searchable_text(std::string_view text) {
    if (!may_need_breaks(text)) return std::string(text);
    const icu::UnicodeString u =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    icu::BreakIterator& it = word_breaks();
    it.setText(u);
    std::string out;
    out.reserve(text.size() + text.size() / 4);
    int32_t from = 0;
    for (int32_t at = it.next(); at != icu::BreakIterator::DONE; at = it.next()) {
        if (at >= u.length()) break;
        if (token_char(u.char32At(at - 1)) && token_char(u.char32At(at))) {
            u.tempSubStringBetween(from, at).toUTF8String(out);
            out += ZWSP;
            from = at;
        }
    }
    u.tempSubStringBetween(from).toUTF8String(out);
    return out;
}

std::string shown_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0;;) {
        const std::size_t z = text.find(ZWSP, at);
        out.append(text.substr(at, z == std::string_view::npos ? std::string_view::npos : z - at));
        if (z == std::string_view::npos) return out;
        at = z + ZWSP.size();
    }
}

std::string own_text(std::string_view text, const std::vector<detail::LineSpan>& spans, std::size_t first,
                     std::size_t last) {
    std::string out;
    for (std::size_t i = first; i < std::min(last, spans.size()) && out.size() < MAX_SECTION_TEXT; ++i) {
        if (i > first) out.push_back('\n');
        out.append(text.substr(spans[i].begin, spans[i].len));
    }
    if (out.size() > MAX_SECTION_TEXT) {
        std::size_t cut = MAX_SECTION_TEXT;
        while (cut > 0 && is_utf8_continuation(out[cut])) --cut;
        out.resize(cut);
    }
    return out;
}

void put_section(StatementCache& q, const std::string& id, std::string_view title, std::string_view body,
                 const std::string& content_hash) {
    {
        Prepared del = q("DELETE FROM sections WHERE id = ?");
        del->bindNoCopy(1, id);
        del->exec();
    }
    const std::string t = searchable_text(title), b = searchable_text(body);
    Prepared ins = q("INSERT INTO sections (id, title, body, content_hash) VALUES (?, ?, ?, ?)");
    ins->bindNoCopy(1, id);
    ins->bindNoCopy(2, t);
    ins->bindNoCopy(3, b);
    ins->bindNoCopy(4, content_hash);
    ins->exec();
}

void set_section_hash(StatementCache& q, const std::string& id, const std::string& content_hash) {
    Prepared up = q("UPDATE sections SET content_hash = ? WHERE id = ?");
    up->bindNoCopy(1, content_hash);
    up->bindNoCopy(2, id);
    up->exec();
}

void write_sections(StatementCache& q, const std::string& key, const std::vector<Block>& blocks,
                    const std::vector<std::string>& ids, std::string_view text) {
    std::unordered_map<std::string, std::string> stored;
    {
        RawPrepared rows = q.raw("SELECT s.id, s.content_hash FROM blocks b JOIN sections s ON s.id = b.id "
                                 "WHERE b.file_path = ?");
        sqlite3_stmt* st = rows.get();
        sqlite3_bind_text(st, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            auto col = [&](int i) {
                const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
                return std::string(p ? p : "", static_cast<std::size_t>(sqlite3_column_bytes(st, i)));
            };
            stored.emplace(col(0), col(1));
        }
        if (rc != SQLITE_DONE) throw SQLite::Exception(q.db().getHandle(), rc);
    }
    std::vector<detail::LineSpan> spans;
    for (std::size_t i = 0; i < blocks.size() && i < ids.size(); ++i) {
        const Block& b = blocks[i];
        auto it = stored.find(ids[i]);
        if (it != stored.end() && it->second == b.content_hash) continue;
        if (spans.empty()) spans = detail::line_spans(text);
        // Below the heading line, up to the first subsection.
        int own_end = b.end_line;
        if (i + 1 < blocks.size() && blocks[i + 1].start_line <= b.end_line) own_end = blocks[i + 1].start_line - 1;
        const auto first = static_cast<std::size_t>(std::max(b.start_line, 0));
        const auto last = static_cast<std::size_t>(std::max(own_end, b.start_line));
        put_section(q, ids[i], b.title, own_text(text, spans, first, last), b.content_hash);
    }
    if (!spans.empty()) forget_old_removals(q);
}

void forget_old_removals(StatementCache& q) {
    Prepared del = q("DELETE FROM sections_gone WHERE seq <= "
                     "(SELECT seq FROM sqlite_sequence WHERE name = 'sections_gone') - ?");
    del->bind(1, static_cast<int64_t>(GONE_KEPT));
    del->exec();
}

// ---------------------------------------------------------------------------------------------

struct Tokenizer::Impl {
    fts5_tokenizer api{};
    Fts5Tokenizer* instance = nullptr;
};

Tokenizer::Tokenizer(sqlite3* db) : impl_(new Impl) {
    fts5_api* fts = nullptr;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT fts5(?1)", -1, &st, nullptr) == SQLITE_OK) {
        sqlite3_bind_pointer(st, 1, &fts, "fts5_api_ptr", nullptr);
        sqlite3_step(st);
    }
    sqlite3_finalize(st);
    void* user = nullptr;
    const char* args[] = {"unicode61", "remove_diacritics", "2"};
    if (!fts || fts->xFindTokenizer(fts, "porter", &user, &impl_->api) != SQLITE_OK ||
        impl_->api.xCreate(user, args, 3, &impl_->instance) != SQLITE_OK) {
        delete impl_;
        throw std::runtime_error("SQLite's full-text search (FTS5) is not available");
    }
}

Tokenizer::~Tokenizer() {
    impl_->api.xDelete(impl_->instance);
    delete impl_;
}

std::vector<Tokenizer::Token> Tokenizer::tokens(std::string_view text, bool query) const {
    std::vector<Token> out;
    auto on_token = [](void* ctx, int, const char* tok, int n, int begin, int end) -> int {
        static_cast<std::vector<Token>*>(ctx)->push_back(
            {std::string(tok, static_cast<std::size_t>(n)), static_cast<std::size_t>(begin),
             static_cast<std::size_t>(end)});
        return SQLITE_OK;
    };
    impl_->api.xTokenize(impl_->instance, &out, query ? FTS5_TOKENIZE_QUERY : FTS5_TOKENIZE_DOCUMENT, text.data(),
                         static_cast<int>(text.size()), on_token);
    return out;
}

}  // namespace quillbox::indexer
