#pragma once
// The SQLite block index: schema and migrations, block queries, operation statistics and
// re-indexing a file while keeping block identifiers.

#include <SQLiteCpp/SQLiteCpp.h>

#include <atomic>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

#include "quillbox/outline.h"

namespace quillbox {

class FileWatcher;
namespace indexer {
class StatementCache;
}

// Which fields block queries fill: all of them, or those a listing shows (identifier, lines,
// title, level, content hash; file_path, heading_path and block_type are left empty/default).
enum class RowColumns { all, listed };

// A database failure that names the index file: it cannot be opened or created (missing
// directory, no permission), is not a database or is corrupt, or the Indexer was closed.
// getErrorCode() is SQLite's result code (SQLITE_MISUSE after close). Other database errors
// of the operations propagate as SQLiteCpp raises them (SQLite::Exception).
class IndexDatabaseError : public SQLite::Exception {
public:
    IndexDatabaseError(const std::string& message, int code, std::filesystem::path db_path, int extended_code = -1)
        : SQLite::Exception(message, code), db_path_(std::move(db_path)), extended_code_(extended_code) {}
    const std::filesystem::path& db_path() const noexcept { return db_path_; }
    // SQLite's extended result code, when known (-1 otherwise).
    int extended_code() const noexcept { return extended_code_; }

private:
    std::filesystem::path db_path_;
    int extended_code_;
};

// The version text stored in schema_version; a change clears the blocks table.
std::string quillbox_version();

// Opens and prepares the database (WAL, busy time-out, schema, migrations, version step).
// Throws IndexDatabaseError naming the file when any of that fails.
std::unique_ptr<SQLite::Database> _init_db(const std::filesystem::path& db_path);

// Once per database: drops the file_index rows of files that hold FF, VT, U+001C..U+001E,
// U+0085, U+2028 or U+2029, which ended lines in older releases, so that the next freshness
// check re-indexes them. Called by _init_db.
void _forget_files_of_old_line_rule(SQLite::Database& db);

// What a file looked like when its rows were written: the freshness record of `file_index`.
// The index is trusted without reading the file only while the modification time (to the
// nanosecond), size and inode are the recorded ones, and the file was not modified within
// RACY_SECONDS before the record was taken: a change within the same tick of the file
// system's clock would leave the time unchanged ("racily clean", as git treats its index).
struct FileState {
    double mtime = 0;        // seconds since the epoch, with fractions
    std::string file_hash;   // SHA-256 of the raw bytes, hex
    int64_t mtime_ns = -1;   // -1: not known (a record from before these were kept)
    int64_t size = -1;
    int64_t inode = 0;
    double recorded_at = 0;  // when the figures were taken, seconds since the epoch

    static constexpr double RACY_SECONDS = 2.0;

    // Same modification time, size and inode as `other`.
    bool same_stat(const FileState& other) const {
        return mtime_ns >= 0 && mtime_ns == other.mtime_ns && size == other.size && inode == other.inode;
    }
    // Modified so shortly before the record was taken that a later change could share its time.
    bool racily_clean() const { return recorded_at - static_cast<double>(mtime_ns) / 1e9 < RACY_SECONDS; }

    bool operator==(const FileState&) const = default;
};

// The file's freshness record as of now (stat's figures, the time now), with `file_hash` the
// SHA-256 of its bytes (the caller hashes: the index does not). Throws filesystem_error when
// the file cannot be examined.
FileState file_state_of(const std::filesystem::path& file_path, std::string file_hash);

// The date operations are recorded under in `stats`: today's local date, "%Y-%m-%d".
std::string today_local_date();

// The usage figures of an index: what `quillbox status` reports.
struct UsageSummary {
    long long files = 0;
    long long blocks = 0;
    long long operations = 0;
    long long tokens_saved = 0;
    long long operations_today = 0;
    std::vector<std::pair<std::string, long long>> by_type;  // operation type -> count, by name
    long long tokens_saved_today = 0;

    bool operator==(const UsageSummary&) const = default;
};

// What `quillbox doctor` checks in an index: the integrity check's answer and, when that is
// "ok", every file the index knows (those with rows and those with only a freshness record,
// such as a Markdown file without headings).
struct IndexHealth {
    std::string integrity;
    std::set<std::string> indexed_files;

    bool operator==(const IndexHealth&) const = default;
};

// What a healing Indexer did about its database file, to be said once to the agent and by
// `quillbox doctor`: a damaged file moved aside (kept, named with the time) and a fresh index
// begun, whose block identifiers are new; or an index kept in memory because the file could
// not be opened or written.
struct IndexNotice {
    enum class Kind { renewed, memory };
    Kind kind = Kind::renewed;
    std::filesystem::path moved_to;  // renewed: where the damaged file now lies
    std::string reason;              // what SQLite said

    bool operator==(const IndexNotice&) const = default;
};

// How an Indexer meets a database it cannot use. `strict`: it throws (IndexDatabaseError on
// open, SQLite::Exception later). `heal`: the index is a cache of the files. On open the file
// is checked; a damaged one (corrupt, not a database, a symbolic link) is moved aside and a
// fresh index begun, and one that cannot be opened or written (permissions, full disk,
// read-only mount) is replaced by an index in memory. An operation that meets corruption or a
// failed write later does the same and then runs once more.
enum class Recovery { strict, heal };

// Whether SQLite's error says the database file is damaged (corrupt, not a database, a
// symbolic link where the file should be).
bool is_damaged_index(const SQLite::Exception& e);

// A section found by keyword search.
struct KeywordHit {
    Block block;
    // How much of the query the section holds: the query's words present in its title or text,
    // each weighted by how rare it is in the index, over all of them (1: it holds every word).
    double coverage = 0;
    std::string excerpt;  // one line of its text around the words it holds
};

// How far the keyword index is: the largest sequence number given out to a section written, and
// to a section removed (a rewrite does both). An unchanged pair means nothing changed.
struct SectionsVersion {
    long long last_seq = 0;
    long long gone_seq = 0;
    bool operator==(const SectionsVersion&) const = default;
};

// A section as a follower of the index sees it: its sequence number (a rewrite of its text gives
// it a new one), its block's identifier and content hash.
struct SectionStamp {
    long long seq = 0;
    std::string id;
    std::string content_hash;
};

// A section's title and the start of its own text, as they read (not as they are indexed).
struct SectionText {
    std::string id;
    std::string title;
    std::string text;
    std::string content_hash;
};

// The one owner of the index database (`blocks`, `file_index`, `stats`). One connection
// shared by every thread that holds the Indexer; each operation runs under the Indexer's own
// lock, so two threads never interleave inside one transaction, and a group of statements
// that must stay together is one operation here. Do not call it while waiting on the
// watcher's marks from a re-index callback. Operations throw IndexDatabaseError after
// close(); database failures propagate as SQLite::Exception.
class Indexer {
public:
    explicit Indexer(std::filesystem::path db_path, Recovery recovery = Recovery::strict);
    ~Indexer();
    Indexer(const Indexer&) = delete;
    Indexer& operator=(const Indexer&) = delete;

    void close();  // idempotent; later operations throw
    const std::filesystem::path& db_path() const { return db_path_; }
    // Whether the rows live in memory (a healing Indexer that could not use its file).
    bool in_memory() const;
    // What the Indexer last did about its file that nobody has been told yet; once.
    std::optional<IndexNotice> take_notice();

    std::vector<Block> list_blocks(const std::filesystem::path& file_path, RowColumns columns = RowColumns::all);
    // The file's rows, when its freshness record vouches for them against `now` (same
    // modification time, size and inode, and not racily clean); the record either way. Record
    // and rows are read in one snapshot, the rows only when trusted.
    struct FreshRows {
        std::optional<std::vector<Block>> rows;
        std::optional<FileState> recorded;
    };
    FreshRows rows_if_fresh(const std::filesystem::path& file_path, const FileState& now,
                            RowColumns columns = RowColumns::all);
    // The file's rows whose lines meet lines [first, last], in document order.
    std::vector<Block> blocks_overlapping(const std::filesystem::path& file_path, int first, int last);
    // The file's rows, when its freshness record holds `file_hash` (the bytes the caller just
    // hashed); record and rows read in one snapshot.
    std::optional<std::vector<Block>> rows_if_hash(const std::filesystem::path& file_path, std::string_view file_hash,
                                                   RowColumns columns = RowColumns::all);
    std::optional<Block> get_block(std::string_view block_id);
    // A block's row with where its lines lie in the file's bytes and its file's freshness
    // record, read in one snapshot: what a block read needs to trust a positioned read.
    struct BlockPlace {
        Block block;
        ByteRange bytes;
        std::optional<FileState> recorded;
    };
    std::optional<BlockPlace> block_place(std::string_view block_id);
    // Blocks whose identifier begins with `prefix`, in identifier order, at most `limit`.
    std::vector<Block> blocks_with_id_prefix(std::string_view prefix, int limit);
    std::vector<Block> search_blocks_by_title(std::string_view query,
                                              const std::optional<std::filesystem::path>& file_path = std::nullopt);
    // The sections holding words of `query`, best first by BM25 over titles and text (a title
    // weighs more), at most `limit` of those `keep` accepts; coverage and excerpt are filled for
    // the first `detailed` of them. Words found in more than half of the sections are matched
    // only when the query has no rarer ones: they would rank nothing.
    std::vector<KeywordHit> search_sections(std::string_view query, std::size_t limit, std::size_t detailed,
                                            const std::function<bool(const Block&)>& keep = {});
    SectionsVersion sections_version();
    // How many sections the keyword index holds (a scan: not for every request).
    std::size_t section_count();
    // The ids of the sections removed after removal number `after_gone_seq` up to `upto`, in
    // order (an id may come back: its row is then listed by sections_after); none when the index
    // no longer remembers every removal since `after_gone_seq`.
    std::optional<std::vector<std::string>> sections_gone(long long after_gone_seq, long long upto);
    // The sections whose `seq` is above `after_seq`, in `seq` order, at most `limit`: paging
    // through them holds the index's lock for one page at a time.
    std::vector<SectionStamp> sections_after(long long after_seq, std::size_t limit);
    // Title and the first `chars` characters of the own text of each of `ids` still indexed.
    std::vector<SectionText> section_texts(const std::vector<std::string>& ids, std::size_t chars);
    // Every file that has rows, in the order the database returns them.
    std::vector<std::filesystem::path> indexed_files();

    void record_operation(std::string_view date, std::string_view op_type, std::string_view file_path,
                          std::string_view block_id, long long tokens_saved);
    void update_block_lines(std::string_view block_id, int new_start, int new_end);
    void set_block_hash(std::string_view block_id, std::string_view content_hash);

    // One operation's statistics row.
    struct OperationRecord {
        std::string date, op_type, file_path, block_id;
        long long tokens_saved = 0;
    };
    // What an operation's write did to a file: lines [first, last] (1-based) of `before` were
    // replaced, giving `after`; both are the file's whole raw bytes, `before_sha256` the hash of
    // `before`. `written` is the written file's freshness record: figures taken before the
    // read-back that confirmed `after`, and the hash of `after`.
    struct LineSplice {
        std::string_view before;
        std::string_view after;
        std::string before_sha256;
        int first = 0;
        int last = 0;
        FileState written;
    };
    // What a caller knows when it brings one file's rows in line with the file: index_file
    // takes these facts and picks the work itself.
    struct FileUpdate {
        std::filesystem::path file{};  // in any spelling
        // Told of the pass through its re-index marks, also when the pass fails.
        FileWatcher* watcher = nullptr;
        // The file's bytes as the caller read or wrote them, parsed instead of reading the file
        // (once: a second attempt after the index recovered reads the file).
        std::optional<std::string> bytes{};
        // The freshness record of the bytes parsed (figures taken before they were read).
        std::optional<FileState> state{};
        // Without `state`: nobody but the caller is changing the file now (its own write has
        // just ended, or a scan met it at rest), so the figures taken before the one read, with
        // the hash of the bytes parsed, become its record. Otherwise the file is left without a
        // record and the next check reads it again: an outside change may still be under way.
        bool at_rest = false;
        // An operation rewrote the block `block_id` at `start_line`: when its heading matched
        // no old one, the block that now starts at that line takes over the identifier (the
        // agent's id stays valid).
        struct Rewritten {
            std::string block_id;
            int start_line = 0;
        };
        std::optional<Rewritten> rewritten{};
        // An operation that rearranged the file's sections knows where each went: the file's old
        // identifiers in the new document order, taken as they are when the titles agree with
        // the rows they name.
        std::optional<std::vector<std::string>> order{};
        // What the operation's write (of `rewritten`) did: when the rows described `before` and
        // the replaced lines kept their headings, only the rows the write touched are updated
        // (the replaced blocks, the sections holding them, the rows after them shifted) instead
        // of parsing the whole file; the rows come out the same.
        std::optional<LineSplice> splice{};
        // The operation's statistics row, written in the same transaction as the rows.
        std::optional<OperationRecord> op{};
        // The caller wants the file's rows as this pass left them.
        bool want_rows = false;
    };
    struct Indexed {
        int blocks = 0;        // the blocks parsed (not counted when spliced)
        bool spliced = false;  // only the touched rows were updated
        std::vector<Block> rows;  // with want_rows: the file's rows in document order
    };
    // Brings the file's rows in line with its text, keeping the identifiers of blocks whose
    // section survived (retiring the others), and its freshness record, in one transaction
    // under the Indexer's lock (the parse too: two passes over one file each read it after the
    // other committed, so an older text never overwrites a newer one). Parse errors
    // (filesystem_error, FileTooLargeError, DecodeError) and database errors propagate;
    // nothing of a failed pass is kept.
    Indexed index_file(FileUpdate update);
    // index_file with nothing known but the file: no record is kept, so the next check reads it.
    // Returns the number of blocks.
    int index_file(const std::filesystem::path& file_path, FileWatcher* watcher = nullptr) {
        return index_file(FileUpdate{.file = file_path, .watcher = watcher}).blocks;
    }
    // Indexes many files, each as index_file at rest would (figures taken before its one read,
    // the hash of the bytes parsed), committing once per `per_commit` files. `file_keys` are
    // already resolved (detail::file_key) and are used as given. `done(i, blocks, error)`
    // follows each batch's commit for its files: a file whose parse or rows failed has `error`
    // set and keeps its old rows and record. A failed commit throws.
    void index_files(const std::vector<std::filesystem::path>& file_keys,
                     const std::function<void(std::size_t, int, std::exception_ptr)>& done,
                     std::size_t per_commit = 200);
    // Whether a re-index gave up this identifier (its section is gone or could not be told
    // from a twin); the newest 20,000 are remembered.
    bool was_retired(std::string_view block_id);
    // Identifiers of `file_path` that a re-index gave up and that begin with `prefix` (at most
    // `limit`): a short id that one of them also had may be a stale one.
    std::vector<std::string> retired_ids_with_prefix(std::string_view prefix, const std::filesystem::path& file_path,
                                                     int limit);
    // Forgets a file: its rows and its freshness record, in one transaction; returns the number
    // of rows dropped.
    int drop_file(const std::filesystem::path& file_path);

    // The freshness record of a file, if any.
    std::optional<FileState> file_state(const std::filesystem::path& file_path);
    void record_file_state(const std::filesystem::path& file_path, const FileState& state);
    // Records `state` only while the stored record has the same hash (the rows still describe
    // these bytes); false when it has not.
    bool refresh_file_state(const std::filesystem::path& file_path, const FileState& state);
    void forget_file_state(const std::filesystem::path& file_path);

    // The usage figures of the index at `db_path`, read without changing it (no schema step,
    // no version step). The figures for today count the operations recorded under
    // today_local_date().
    static UsageSummary usage_summary(const std::filesystem::path& db_path);
    // The health of the index at `db_path`, read without changing it. Throws SQLite::Exception
    // when the file cannot be read as a database.
    static IndexHealth inspect(const std::filesystem::path& db_path);

private:
    class Lock;
    template <class F>
    decltype(auto) guarded(F&& f);
    static bool recoverable(const SQLite::Exception& e);
    void open_locked();
    bool recover(const SQLite::Exception& e, unsigned generation);
    void renew_locked(const std::string& reason);
    void to_memory_locked(const std::string& reason);
    void set_connection_locked(std::unique_ptr<SQLite::Database> db);
    SQLite::Database& conn_locked();
    bool splice_locked(Lock& lk, const std::string& key, const std::filesystem::path& file_path,
                       const FileUpdate::Rewritten& rewritten, const LineSplice& splice);
    void insert_operation(Lock& lk, const OperationRecord& op);
    struct PassInput;
    static PassInput read_for_pass(const std::string& key, FileUpdate& update);
    int write_pass(Lock& lk, const std::string& key, const FileUpdate& update, const PassInput& input);

    std::filesystem::path db_path_;
    std::unique_ptr<SQLite::Database> conn_;
    std::unique_ptr<indexer::StatementCache> statements_;  // of conn_; reset before it
    mutable std::mutex mu_;
    Recovery recovery_;
    bool in_memory_ = false;                // under mu_
    std::atomic<unsigned> generation_{0};   // counts the connections opened
    std::optional<IndexNotice> notice_;     // under mu_
};

}  // namespace quillbox
