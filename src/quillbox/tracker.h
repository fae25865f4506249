#pragma once
// What the agent of one session has been shown (AgentView), and the per-user activity record
// with the once-a-day milestone (ActivityRecord).

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace SQLite {
class Database;
}

namespace quillbox {

// What the agent of one session has been shown, in memory only:
// - per block, the content hash a listing, a block read, a whole-file read or the session's own
//   write showed it; a change is based on this, not on the index, which follows the file
//   whoever changes it;
// - per whole file, the turn it was last read in full and the calls for it lately, which decide
//   when the short cached marker may stand in for the file (whether its content is still the
//   one delivered is the read cache's answer, see ReadCache).
// Thread-safe.
class AgentView {
public:
    explicit AgentView(int max_turns = 15, double repeat_window = 60.0, int repeat_threshold = 3);

    // ---- Blocks
    void record(std::string_view block_id, std::string_view content_hash);
    // The hash last shown for the block, or nothing when the session never saw it.
    std::optional<std::string> shown(std::string_view block_id) const;
    void forget(std::string_view block_id);
    void forget_blocks();

    // ---- Whole files
    void record_read(const std::string& file_path);
    void record_recent_call(const std::string& file_path);
    bool should_return_cache(const std::string& file_path) const;
    void advance_turn();
    // The session wrote the file: the agent no longer holds it as read.
    void reset_file(const std::string& file_path);
    // Forgets every file read and starts the turns again.
    void forget_files();

    int turn_counter() const;
    // How many calls for the key the list holds, as the last recording left it: those within
    // the repeat window, at most max(repeat_threshold, 2).
    std::size_t recent_call_count(const std::string& file_path) const;

    // Wall-clock seconds since the Unix epoch, with fractions. Tests may replace it.
    using Clock = std::function<double()>;
    void set_clock(Clock clock);

private:
    mutable std::mutex mu_;
    std::unordered_map<std::string, std::string> block_hashes_;
    std::map<std::string, int, std::less<>> read_files_;
    std::map<std::string, std::vector<double>, std::less<>> recent_calls_;
    int turn_counter_ = 0;
    int max_turns_;
    double repeat_window_;
    int repeat_threshold_;
    Clock clock_;
};

// What check_aha_trigger returns when the day's milestone is reached.
struct AhaTrigger {
    bool triggered = true;
    std::string method;  // "edit_count" or "token_threshold"
    long long edit_count = 0;
    long long tokens_saved = 0;
    bool operator==(const AhaTrigger&) const = default;
};

// Per-user first-seen and last-active times and the daily milestone, in the table aha_events
// of a SQLite file of its own (the index database belongs to the indexer alone). The user id is derived from this machine
// (uname node name and hardware type), keyed with the installation secret when there is one.
//
// Installation secret: the text of the file `secret_file` given to the constructor; the host
// keeps it as INSTALL_SECRET_FILE_NAME ("install_secret") in its data directory, creates it
// once with random bytes and mode 0600. The tracker only reads it: surrounding white space is
// ignored, and a missing, unreadable, empty or non-UTF-8 file means no secret, which gives
// the unkeyed form of the id.
//
// Not locked: the connection is serialised by SQLite, callers serialise calls. Closing (close()
// or destruction) is idempotent; any other call after close() throws std::logic_error.
class ActivityRecord {
public:
    static constexpr long long AHA_EDIT_COUNT_THRESHOLD = 3;
    static constexpr long long AHA_TOKEN_THRESHOLD = 5000;
    static constexpr const char* INSTALL_SECRET_FILE_NAME = "install_secret";

    using TimePoint = std::chrono::system_clock::time_point;
    using Clock = std::function<TimePoint()>;

    // Database errors (SQLite::Exception) propagate. `clock` is a test seam (UTC now).
    explicit ActivityRecord(std::filesystem::path db_path,
                         std::optional<std::filesystem::path> secret_file = std::nullopt,
                         Clock clock = nullptr);
    ~ActivityRecord();
    ActivityRecord(ActivityRecord&&) noexcept;
    ActivityRecord& operator=(ActivityRecord&&) noexcept;
    ActivityRecord(const ActivityRecord&) = delete;
    ActivityRecord& operator=(const ActivityRecord&) = delete;

    const std::filesystem::path& db_path() const { return db_path_; }
    // Copies the rows of an older file that kept aha_events beside other tables (the index
    // database of earlier versions), keeping rows this file already has. A missing file or
    // table imports nothing; returns the number of rows copied.
    int import_from(const std::filesystem::path& older_db);
    const std::string& user_id() const { return user_id_; }
    SQLite::Database& conn();

    // Updates last_active_at (the day's figures live in the index's statistics table).
    void record_edit();
    bool has_seen_aha_today();
    // The milestone, at most once per UTC day; nothing when already seen or below both
    // thresholds. The edit count wins when both are met.
    std::optional<AhaTrigger> check_aha_trigger(long long edit_count, long long tokens_saved);
    void close();
    bool is_open() const { return static_cast<bool>(conn_); }

    // Current UTC day, YYYY-MM-DD.
    std::string _today() const;
    // Current UTC time, YYYY-MM-DDTHH:MM:SS[.ffffff]+00:00.
    std::string _now_iso() const;
    static std::string format_utc(TimePoint t);
    static std::string _get_machine_fingerprint();
    // First 16 hex characters of HMAC-SHA256(secret, "user_id:" + fingerprint), or of the
    // fingerprint itself without a secret.
    static std::string _compute_user_id(const std::string& fingerprint,
                                        const std::optional<std::string>& secret);
    static std::optional<std::string> read_install_secret(const std::filesystem::path& file);

private:
    void _init_tables();
    std::string _get_or_create_user_id();
    SQLite::Database& db();

    std::filesystem::path db_path_;
    std::unique_ptr<SQLite::Database> conn_;
    std::optional<std::string> secret_;
    Clock clock_;
    std::string user_id_;
};

}  // namespace quillbox
