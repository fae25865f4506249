#include "quillbox/tracker.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sqlite3.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "quillbox/detail/utf8.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/detail/sha256.h"

namespace quillbox {

namespace fs = std::filesystem;

// ---- AgentView ---------------------------------------------------------------------------

namespace {

double wall_clock_seconds() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

AgentView::AgentView(int max_turns, double repeat_window, int repeat_threshold)
    : max_turns_(max_turns), repeat_window_(repeat_window), repeat_threshold_(repeat_threshold) {}

void AgentView::record(std::string_view block_id, std::string_view content_hash) {
    std::lock_guard lk(mu_);
    block_hashes_.insert_or_assign(std::string(block_id), std::string(content_hash));
}

std::optional<std::string> AgentView::shown(std::string_view block_id) const {
    std::lock_guard lk(mu_);
    auto it = block_hashes_.find(std::string(block_id));
    if (it == block_hashes_.end()) return std::nullopt;
    return it->second;
}

void AgentView::forget(std::string_view block_id) {
    std::lock_guard lk(mu_);
    block_hashes_.erase(std::string(block_id));
}

void AgentView::forget_blocks() {
    std::lock_guard lk(mu_);
    block_hashes_.clear();
}

namespace {

// Adds a call at `now` to `calls`, dropping those that left the window.
void add_call(std::vector<double>& calls, double now, double repeat_window, int repeat_threshold) {
    calls.push_back(now);
    const double cutoff = now - repeat_window;
    calls.erase(std::remove_if(calls.begin(), calls.end(), [&](double t) { return !(t > cutoff); }), calls.end());
    // Only whether the count reaches the threshold (or is one) matters: the oldest beyond that
    // can go, so that a burst of calls keeps the list short.
    const std::size_t keep = static_cast<std::size_t>(std::max(repeat_threshold, 2));
    if (calls.size() > keep) calls.erase(calls.begin(), calls.end() - static_cast<std::ptrdiff_t>(keep));
}

}  // namespace

void AgentView::record_read(const std::string& file_path) {
    std::lock_guard lk(mu_);
    read_files_[file_path] = turn_counter_;
    auto& calls = recent_calls_[file_path];
    calls.clear();
    add_call(calls, clock_ ? clock_() : wall_clock_seconds(), repeat_window_, repeat_threshold_);
}

void AgentView::record_recent_call(const std::string& file_path) {
    std::lock_guard lk(mu_);
    add_call(recent_calls_[file_path], clock_ ? clock_() : wall_clock_seconds(), repeat_window_, repeat_threshold_);
}

std::size_t AgentView::recent_call_count(const std::string& file_path) const {
    std::lock_guard lk(mu_);
    auto it = recent_calls_.find(file_path);
    return it == recent_calls_.end() ? 0 : it->second.size();
}

bool AgentView::should_return_cache(const std::string& file_path) const {
    std::lock_guard lk(mu_);
    auto it = read_files_.find(file_path);
    if (it == read_files_.end()) return false;
    if (turn_counter_ - it->second >= max_turns_) return false;
    auto calls = recent_calls_.find(file_path);
    std::size_t n = calls == recent_calls_.end() ? 0 : calls->second.size();
    return static_cast<long long>(n) < repeat_threshold_;
}

void AgentView::advance_turn() {
    std::lock_guard lk(mu_);
    ++turn_counter_;
}

int AgentView::turn_counter() const {
    std::lock_guard lk(mu_);
    return turn_counter_;
}

void AgentView::set_clock(Clock clock) {
    std::lock_guard lk(mu_);
    clock_ = std::move(clock);
}

void AgentView::reset_file(const std::string& file_path) {
    std::lock_guard lk(mu_);
    read_files_.erase(file_path);
    recent_calls_.erase(file_path);
}

void AgentView::forget_files() {
    std::lock_guard lk(mu_);
    read_files_.clear();
    recent_calls_.clear();
    turn_counter_ = 0;
}

// ---- ActivityRecord -----------------------------------------------------------------------

namespace {

constexpr int BUSY_TIMEOUT_MS = 5000;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

}  // namespace

ActivityRecord::ActivityRecord(fs::path db_path, std::optional<fs::path> secret_file, Clock clock)
    : db_path_(std::move(db_path)), clock_(std::move(clock)) {
    if (secret_file) secret_ = read_install_secret(*secret_file);
    // Never through a symbolic link, like the index it shares the file with.
    conn_ = std::make_unique<SQLite::Database>(
        db_path_.string(),
        SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE | SQLite::OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW);
    conn_->setBusyTimeout(BUSY_TIMEOUT_MS);
    // Shares the index file well: readers never block the writer and vice versa.
    conn_->exec("PRAGMA journal_mode=WAL");
    _init_tables();
    user_id_ = _get_or_create_user_id();
}

ActivityRecord::~ActivityRecord() { close(); }
ActivityRecord::ActivityRecord(ActivityRecord&&) noexcept = default;
ActivityRecord& ActivityRecord::operator=(ActivityRecord&&) noexcept = default;

void ActivityRecord::close() { conn_.reset(); }

SQLite::Database& ActivityRecord::db() {
    if (!conn_) throw std::logic_error("ActivityRecord is closed: " + db_path_.string());
    return *conn_;
}

SQLite::Database& ActivityRecord::conn() { return db(); }

void ActivityRecord::_init_tables() {
    // Each statement runs in autocommit mode: executing it commits it.
    db().exec(
        "CREATE TABLE IF NOT EXISTS aha_events ("
        "user_id TEXT PRIMARY KEY, "
        "first_edit_at TEXT, "
        "aha_triggered_at TEXT, "
        "aha_method TEXT, "
        "edits_to_aha INTEGER, "
        "tokens_to_aha INTEGER, "
        "last_active_at TEXT)");
}

std::string ActivityRecord::_get_or_create_user_id() {
    std::string uid = _compute_user_id(_get_machine_fingerprint(), secret_);
    SQLite::Statement find(db(), "SELECT user_id FROM aha_events WHERE user_id = ?");
    find.bind(1, uid);
    if (!find.executeStep()) {
        SQLite::Statement ins(
            db(), "INSERT INTO aha_events (user_id, first_edit_at, last_active_at) VALUES (?, ?, ?)");
        ins.bind(1, uid);
        ins.bind(2, _now_iso());
        ins.bind(3, _now_iso());
        try {
            ins.exec();
        } catch (const SQLite::Exception& e) {
            // Another process on this machine created the row in between: that row stands.
            if ((e.getErrorCode() & 0xff) != SQLITE_CONSTRAINT) throw;
        }
    }
    return uid;
}

void ActivityRecord::record_edit() {
    SQLite::Statement st(db(), "UPDATE aha_events SET last_active_at = ? WHERE user_id = ?");
    st.bind(1, _now_iso());
    st.bind(2, user_id_);
    st.exec();
}

int ActivityRecord::import_from(const fs::path& older_db) {
    std::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(older_db, ec))) return 0;
    // Read-only and never through a link: the older file is another component's.
    SQLite::Database old(older_db.string(), SQLite::OPEN_READONLY | SQLITE_OPEN_NOFOLLOW);
    old.setBusyTimeout(BUSY_TIMEOUT_MS);
    if (!old.tableExists("aha_events")) return 0;
    SQLite::Statement rows(old,
                           "SELECT user_id, first_edit_at, aha_triggered_at, aha_method, edits_to_aha, "
                           "tokens_to_aha, last_active_at FROM aha_events");
    SQLite::Transaction tx(db());
    // The older row holds the earlier first edit and the milestone already shown today.
    SQLite::Statement put(db(),
                          "INSERT OR REPLACE INTO aha_events (user_id, first_edit_at, aha_triggered_at, "
                          "aha_method, edits_to_aha, tokens_to_aha, last_active_at) VALUES (?, ?, ?, ?, ?, ?, ?)");
    int copied = 0;
    while (rows.executeStep()) {
        for (int i = 0; i < 7; ++i) {
            const SQLite::Column c = rows.getColumn(i);
            if (c.isNull()) put.bind(i + 1);
            else if (c.isInteger()) put.bind(i + 1, c.getInt64());
            else put.bind(i + 1, c.getString());
        }
        put.exec();
        put.reset();
        ++copied;
    }
    tx.commit();
    return copied;
}

bool ActivityRecord::has_seen_aha_today() {
    SQLite::Statement st(db(),
                         "SELECT aha_triggered_at FROM aha_events WHERE user_id = ? AND "
                         "DATE(aha_triggered_at) = DATE(?)");
    st.bind(1, user_id_);
    st.bind(2, _today());
    return st.executeStep();
}

std::optional<AhaTrigger> ActivityRecord::check_aha_trigger(long long edit_count,
                                                         long long tokens_saved) {
    if (has_seen_aha_today()) return std::nullopt;
    const char* method = nullptr;
    if (edit_count >= AHA_EDIT_COUNT_THRESHOLD) method = "edit_count";
    else if (tokens_saved >= AHA_TOKEN_THRESHOLD) method = "token_threshold";
    if (!method) return std::nullopt;
    SQLite::Statement st(db(),
                         "UPDATE aha_events SET aha_triggered_at = ?, aha_method = ?, "
                         "edits_to_aha = ?, tokens_to_aha = ? WHERE user_id = ?");
    st.bind(1, _now_iso());
    st.bind(2, method);
    st.bind(3, static_cast<int64_t>(edit_count));
    st.bind(4, static_cast<int64_t>(tokens_saved));
    st.bind(5, user_id_);
    st.exec();
    return AhaTrigger{true, method, edit_count, tokens_saved};
}

std::string ActivityRecord::format_utc(TimePoint t) {
    using namespace std::chrono;
    auto since = t.time_since_epoch();
    auto secs = floor<seconds>(since);
    auto micros = duration_cast<microseconds>(since - secs).count();
    std::time_t tt = static_cast<std::time_t>(secs.count());
    std::tm tm{};
    gmtime_r(&tt, &tm);
    char buf[48];
    std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    std::string out(buf, n);
    if (micros != 0) {
        std::snprintf(buf, sizeof buf, ".%06lld", static_cast<long long>(micros));
        out += buf;
    }
    return out + "+00:00";
}

std::string ActivityRecord::_now_iso() const {
    return format_utc(clock_ ? clock_() : std::chrono::system_clock::now());
}

std::string ActivityRecord::_today() const { return _now_iso().substr(0, 10); }

std::string ActivityRecord::_get_machine_fingerprint() {
    struct utsname u {};
    if (::uname(&u) != 0) return detail::sha256_hex(":");
    return detail::sha256_hex(std::string(u.nodename) + ":" + u.machine);
}

std::string ActivityRecord::_compute_user_id(const std::string& fingerprint,
                                          const std::optional<std::string>& secret) {
    if (!secret || secret->empty()) return fingerprint.substr(0, 16);
    const std::string msg = "user_id:" + fingerprint;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!HMAC(EVP_sha256(), secret->data(), static_cast<int>(secret->size()),
              reinterpret_cast<const unsigned char*>(msg.data()), msg.size(), md, &len))
        throw std::runtime_error("HMAC-SHA256 failed");
    return detail::to_hex(md, len).substr(0, 16);
}

std::optional<std::string> ActivityRecord::read_install_secret(const fs::path& file) {
    std::string s;
    try {
        s = detail::read_file_bytes(file);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    std::size_t b = 0, e = s.size();
    while (b < e && is_space(s[b])) ++b;
    while (e > b && is_space(s[e - 1])) --e;
    s = s.substr(b, e - b);
    if (s.empty() || detail::find_invalid_utf8(s) != std::string_view::npos) return std::nullopt;
    return s;
}

}  // namespace quillbox
