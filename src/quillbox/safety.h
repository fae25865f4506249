#pragma once
// Content hashes, numbered line access and the verified write protocol (backup, temporary
// file, atomic rename, read-back, rollback).

#include <sys/stat.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "quillbox/decode_error.h"

namespace quillbox {

class FileWrites;

// Why a write was refused or undone.
enum class WriteFailure {
    writer_busy,       // the watcher's writer did not finish within 3 s; nothing written
    locked,            // another Quillbox process held the file's lock past 3 s; nothing written
    changed,           // the file is no longer what the write was computed from; nothing written
    content_mismatch,  // the new lines read back differently; rolled back
    prefix_modified,   // the lines before the range read back differently; rolled back
    suffix_modified,   // the lines after the range read back differently; rolled back
    overwritten,       // another program changed the file after the rename; kept, not rolled back
};

// Raised when a write is refused or rolled back. It carries the facts; the words
// shown to people come from the message catalogue (blockops/failure_text.h), in the session's
// language. what() is a short English text for the log.
class ModificationError : public std::runtime_error {
public:
    ModificationError(WriteFailure kind, std::filesystem::path file, std::filesystem::path backup = {});
    WriteFailure kind() const noexcept { return kind_; }
    const std::filesystem::path& file() const noexcept { return file_; }
    // Where the content from before the write is kept (overwritten only).
    const std::filesystem::path& backup() const noexcept { return backup_; }

private:
    WriteFailure kind_;
    std::filesystem::path file_;
    std::filesystem::path backup_;
};

// The file no longer holds what the write was computed from (another program changed it):
// nothing was written. The agent must read the block again.
class FileChangedError : public ModificationError {
public:
    explicit FileChangedError(std::filesystem::path file)
        : ModificationError(WriteFailure::changed, std::move(file)) {}
};

// What a replacement was computed from, checked under the write lock against the file as it
// is read for the write, and again just before the rename.
struct WriteBasis {
    // compute_hash of lines start..end joined with line feeds: the block being replaced.
    std::optional<std::string> range_hash;
    // SHA-256 (hex) of the file's raw bytes: the whole text the new lines were derived from.
    std::optional<std::string> file_sha256;
    // The new lines end the file and the last of them gets a line end, even in a file that had
    // none (a patch that adds the final line feed).
    bool final_line_end = false;

    static WriteBasis range(std::string hash) { return {std::move(hash), std::nullopt, false}; }
    static WriteBasis file(std::string sha256) { return {std::nullopt, std::move(sha256), false}; }
};

// What a replacement read and wrote: the file's whole bytes before and after, and the written
// file's figures, taken after the rename and before the read-back that confirmed the bytes (a
// later change shows as other figures, or as the same time within the racy window).
struct WriteOutcome {
    std::string before;
    std::string after;
    std::int64_t mtime_ns = -1;
    std::int64_t size = -1;
    std::int64_t inode = 0;
    double taken_at = 0;  // when the figures were taken, seconds since the epoch
    std::string after_sha256;  // SHA-256 (hex) of `after`; empty when the engine has no tracker
};

// Quillbox's last write to a file: the backup of the bytes before it, and the SHA-256 (hex)
// of the bytes it left.
struct LastWrite {
    std::filesystem::path backup;
    std::string after_sha256;
    bool operator==(const LastWrite&) const = default;
};

// What a write would have written, thrown in its place while a DryRunScope is alive on the
// thread (after every check, before the backup). Deliberately no std::exception, so that no
// handler of failures takes it for one.
struct DryRunWrite {
    std::filesystem::path path;
    std::string before;
    std::string after;
};

// While one lives on this thread, no write of any SafetyEngine happens: see DryRunWrite.
class DryRunScope {
public:
    DryRunScope();
    ~DryRunScope();
    DryRunScope(const DryRunScope&) = delete;
    DryRunScope& operator=(const DryRunScope&) = delete;
};

struct ReplacedText;

// How many backups are kept: per file (by folder and name) the newest `keep_per_file`; and
// none older than `max_age_days` once the engine prunes (start-up). Zero means no limit.
struct BackupRetention {
    std::size_t keep_per_file = 20;
    double max_age_days = 30.0;
};

// A file-system error of the engine. code() and path1() tell the cases apart:
// no_such_file_or_directory for a missing file, is_a_directory, invalid_argument for another
// kind of file, permission_denied for a read-only file, or the system's code when a backup or
// temporary file cannot be written. backup() names the backup that keeps the old content when
// putting it back failed. what() is an English text for the log; the words shown to people
// come from the message catalogue (blockops/failure_text.h).
class SafetyFileError : public std::filesystem::filesystem_error {
public:
    SafetyFileError(const std::string& message, const std::filesystem::path& p, std::error_code ec,
                    std::filesystem::path backup = {})
        : std::filesystem::filesystem_error(message, p, ec), message_(message), backup_(std::move(backup)) {}
    const char* what() const noexcept override { return message_.what(); }
    const std::filesystem::path& backup() const noexcept { return backup_; }

private:
    std::runtime_error message_;  // nothrow copy
    std::filesystem::path backup_;
};

std::string compute_hash(std::string_view text);
// Lines start..end (1-based, inclusive) without their line feeds; out-of-range lines skipped.
std::vector<std::string> read_lines(const std::filesystem::path& file_path, long start, long end);
// The window whose hash matches: (start, end), 1-based inclusive. With `hint_start` (1-based,
// where the block was last seen) the match nearest it, and nothing when two matches are
// equally near (twin sections: which one was meant cannot be told); without, the first from
// the top.
std::optional<std::pair<int, int>> find_block_by_content_hash(
    const std::filesystem::path& file_path, std::string_view content_hash, long expected_lines,
    std::optional<long> hint_start = std::nullopt);
// Numbered excerpt around a range; the empty text on any failure.
std::string get_snippet(const std::filesystem::path& file_path, long start_line, long end_line,
                        long context = 5);
// The same excerpt of a text already read.
std::string snippet_of(std::string_view text, long start_line, long end_line, long context = 5);

// The safety engine: every write of a document goes through apply_replace.
class SafetyEngine {
public:
    // Locks between processes live in `lock_dir` (default: "locks" beside `backup_dir`).
    explicit SafetyEngine(std::filesystem::path backup_dir, FileWrites* file_writes = nullptr,
                          std::filesystem::path lock_dir = {});

    const std::filesystem::path& backup_dir() const { return backup_dir_; }
    const std::filesystem::path& lock_dir() const { return lock_dir_; }
    void set_retention(BackupRetention retention) { retention_ = retention; }
    const BackupRetention& retention() const { return retention_; }
    // Start-up housekeeping: removes the partial backups and temporary files (under `root`,
    // when given) that a killed write left behind and that are older than `min_age_seconds`,
    // and backups beyond the retention. Never throws; returns how many files it removed.
    std::size_t cleanup(const std::filesystem::path& root = {}, double min_age_seconds = 60.0);

    bool wait_if_writing(const std::filesystem::path& file_path);
    bool verify_before_modify(const std::filesystem::path& file_path, long start, long end,
                              std::string_view expected_hash);
    // Preconditions: 1 <= start <= end + 1, end <= number of lines, no line contains LF or CR,
    // lines are valid UTF-8; otherwise std::invalid_argument and nothing is written. A file
    // without write permission is refused (SafetyFileError, permission_denied).
    // Lines outside the range are written back byte for byte, line ends included. A new line
    // equal to a replaced one keeps that line's end, other new lines take the ends of the
    // remaining replaced lines in order, and any further ones the file's most common end. A
    // file without a final line end keeps it missing. A result over MAX_FILE_SIZE bytes or
    // MAX_FILE_LINES lines raises FileTooLargeError before anything is written. The read-back
    // must equal the intended bytes exactly.
    // Another Quillbox process writing the same file is waited for (3 s, then a
    // ModificationError, locked); a file that does not match `basis`, or changes before the rename,
    // raises FileChangedError with nothing written. A read-back that differs is rolled back
    // only while the file still holds this write; another writer's content is left alone.
    WriteOutcome apply_replace(const std::filesystem::path& file_path, long start, long end,
                               const std::vector<std::string>& new_lines, const WriteBasis& basis = {});
    // The whole file becomes exactly `bytes`, through the same protocol (backup, temporary
    // file, rename, read-back, rollback); `basis` as for apply_replace.
    WriteOutcome apply_bytes(const std::filesystem::path& file_path, std::string bytes, const WriteBasis& basis = {});
    // The last verified write of this engine's kind to the file (any process sharing the
    // backup directory), if its record is still there.
    std::optional<LastWrite> last_write(const std::filesystem::path& file_path) const;
    // How many apply_replace calls wrote and verified their file (rolled-back ones excluded).
    std::uint64_t writes_completed() const { return writes_completed_.load(); }

    // Test seam: called between the rename onto the file and the read-back, with the file's
    // path, so tests can disturb the file there and exercise the rollback. Unset in production.
    using AfterRenameHook = std::function<void(const std::filesystem::path&)>;
    void set_after_rename_hook(AfterRenameHook hook) { after_rename_hook_ = std::move(hook); }
    // Test seam: called after the file was read for the write and before the rename (the
    // moment another editor's save races with this write).
    using BeforeRenameHook = std::function<void(const std::filesystem::path&)>;
    void set_before_rename_hook(BeforeRenameHook hook) { before_rename_hook_ = std::move(hook); }
    // Test seam: the clock that names backups (Unix seconds; local time is derived from it).
    using Clock = std::function<std::time_t()>;
    void set_clock(Clock clock) { clock_ = std::move(clock); }

private:
    friend class DryRunScope;
    static thread_local int dry_run_depth;
    WriteOutcome write_verified(const std::filesystem::path& file_path, const std::filesystem::path& target,
                                struct stat st, std::string raw, ReplacedText r, std::size_t new_count);
    std::filesystem::path last_write_record(const std::filesystem::path& target) const;
    void record_last_write(const std::filesystem::path& target, const std::filesystem::path& backup,
                           const std::string& after_sha256) noexcept;
    std::filesystem::path backup_from(const std::filesystem::path& file_path, std::string_view bytes,
                                      const struct stat& meta);
    void prune_backups(const std::string& suffix) noexcept;

    std::filesystem::path backup_dir_;
    std::filesystem::path lock_dir_;
    FileWrites* file_writes_;
    BackupRetention retention_;
    AfterRenameHook after_rename_hook_;
    BeforeRenameHook before_rename_hook_;
    Clock clock_;
    std::atomic<std::uint64_t> writes_completed_{0};
};

}  // namespace quillbox
