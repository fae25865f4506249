#include "quillbox/safety.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <map>
#include <regex>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "quillbox/detail/atomic_file.h"
#include "quillbox/detail/utf8.h"
#include "quillbox/detail/lines.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/detail/sha256.h"
#include "quillbox/detail/limits.h"
#include "quillbox/watcher.h"

namespace quillbox {

namespace fs = std::filesystem;

namespace {

constexpr const char* TMP_SUFFIX = ".quillbox-tmp";
constexpr double WRITE_QUIET_TIMEOUT = 3.0;

using detail::line_spans;
using Span = detail::LineSpan;

// A line with its end, minus a trailing line feed (other line ends stay).
std::string_view line_without_lf(std::string_view s, const Span& sp) {
    std::size_t n = sp.len + sp.end_len;
    if (sp.end_len == 1 && s[sp.begin + sp.len] == '\n') --n;
    return s.substr(sp.begin, n);
}

// 0-based half-open index range [first, last) of the 1-based inclusive range start..end,
// clamped to n lines.
std::pair<std::size_t, std::size_t> clamp_range(long start, long end, std::size_t n) {
    std::size_t first = start <= 1 ? 0 : static_cast<std::size_t>(start - 1);
    std::size_t last = end <= 0 ? 0 : static_cast<std::size_t>(end);
    last = std::min(last, n);
    if (first > last) first = last;
    return {first, last};
}

std::error_code errno_code(int e) { return std::error_code(e, std::generic_category()); }

[[noreturn]] void throw_errno(const std::string& what, const fs::path& p, int e) {
    throw SafetyFileError(what + " " + p.string() + ": " + std::strerror(e), p, errno_code(e));
}

[[noreturn]] void throw_missing(const fs::path& p) {
    throw SafetyFileError("file not found: " + p.string(), p,
                          std::make_error_code(std::errc::no_such_file_or_directory));
}

// The file must exist and be a regular file (symbolic links followed).
struct stat stat_regular_file(const fs::path& p) {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) throw_missing(p);
        throw_errno("cannot stat", p, errno);
    }
    if (S_ISDIR(st.st_mode)) {
        throw SafetyFileError("a directory, not a file: " + p.string(), p,
                              std::make_error_code(std::errc::is_a_directory));
    }
    if (!S_ISREG(st.st_mode)) {
        throw SafetyFileError("not a regular file: " + p.string(), p,
                              std::make_error_code(std::errc::invalid_argument));
    }
    return st;
}

[[noreturn]] void throw_replace_error(const char* what, const detail::FileReplaceError& e) {
    throw_errno(what, e.path1(), e.code().value());
}

// An advisory lock (flock) per written file, shared by every Quillbox process of the project.
// It lives on a file of its own: the written file is replaced by a rename, and a lock on the
// old inode would not exclude a process that opened the new one.
class WriteLock {
public:
    WriteLock(const fs::path& lock_dir, const fs::path& target, double timeout_seconds) {
        std::error_code ec;
        fs::create_directories(lock_dir, ec);
        const fs::path key = fs::weakly_canonical(fs::absolute(target, ec), ec);
        const fs::path file = lock_dir / (detail::sha256_hex(key.native()).substr(0, 32) + ".lock");
        // Beneath the project root, like every file of the data folder: a link out is not followed.
        fd_ = detail::open_confined(file, O_RDWR | O_CREAT | O_NOFOLLOW, 0600);
        if (fd_ < 0) throw_errno("cannot open the write lock", file, errno);
        // The kernel has no timed flock: try, then back off briefly, up to the bound.
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(timeout_seconds));
        auto pause = std::chrono::milliseconds(1);
        for (;;) {
            if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return;
            if (errno != EWOULDBLOCK && errno != EINTR) {
                int e = errno;
                ::close(fd_);
                throw_errno("cannot take the write lock", file, e);
            }
            if (std::chrono::steady_clock::now() >= deadline) break;
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, std::chrono::milliseconds(20));
        }
        ::close(fd_);
        throw ModificationError(WriteFailure::locked, target);
    }
    ~WriteLock() { ::close(fd_); }  // closing releases the lock
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

private:
    int fd_ = -1;
};

// The file's bytes, or nothing when it cannot be read (gone, replaced by a directory, ...).
std::optional<std::string> try_read_bytes(const fs::path& p) {
    try {
        return detail::read_file_bytes(p);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// Puts the pending content in the place of its target, but only while the target holds
// `expected`: checked just before, then the two are exchanged atomically, after which the
// temporary name holds exactly what was replaced. Should that not be `expected` (another
// program saved between the check and the exchange), the exchange is undone while the target
// still holds `ours`. Returns whether `ours` is in place. On a file system without exchange,
// a plain rename follows the check.
bool commit_if_unchanged(detail::PendingReplace& pending, std::string_view expected, std::string_view ours,
                         const char* what) {
    const fs::path target = pending.target();
    if (try_read_bytes(target) != expected) return false;  // the temporary file goes with `pending`
    try {
        if (!pending.exchange()) {
            pending.commit();
            return true;
        }
        if (try_read_bytes(pending.temporary()) == expected) return true;
        if (try_read_bytes(target) == ours && pending.exchange()) return false;  // theirs is back
    } catch (const detail::FileReplaceError& e) {
        throw_replace_error(what, e);
    }
    pending.keep();  // a third save followed: the one displaced stays where it is, for whoever looks
    return false;
}

fs::path tmp_path_for(const fs::path& file_path) {
    fs::path tmp = file_path;
    tmp += TMP_SUFFIX;
    return tmp;
}

// The line end of span `sp` in `s` (empty for a last line without one).
std::string_view end_of(std::string_view s, const Span& sp) { return s.substr(sp.begin + sp.len, sp.end_len); }

// The file's most common line end; a line feed when it has none or on a tie with it.
std::string_view most_common_end(std::string_view raw, const std::vector<Span>& spans) {
    std::size_t lf = 0, crlf = 0, cr = 0;
    for (const Span& sp : spans) {
        std::string_view e = end_of(raw, sp);
        if (e == "\n") ++lf;
        else if (e == "\r\n") ++crlf;
        else if (e == "\r") ++cr;
    }
    if (crlf > lf && crlf >= cr) return "\r\n";
    if (cr > lf && cr > crlf) return "\r";
    return "\n";
}

// The line end each new line is written with. A new line whose text equals a replaced line
// keeps that line's end (lines that only moved, or were rewritten unchanged, stay as they
// were); the remaining new lines take the ends of the remaining replaced lines in order (a
// changed line keeps its end); lines beyond those take the file's most common end.
std::vector<std::string_view> ends_for_new_lines(std::string_view raw, const std::vector<Span>& spans,
                                                 std::size_t s0, std::size_t e0,
                                                 const std::vector<std::string>& new_lines) {
    const std::string_view common = most_common_end(raw, spans);
    auto end_at = [&](std::size_t i) {
        std::string_view e = end_of(raw, spans[i]);
        return e.empty() ? common : e;  // the final line's missing end is settled later
    };
    std::vector<std::string_view> ends(new_lines.size());
    std::vector<bool> old_used(e0 - s0, false);
    std::vector<bool> new_set(new_lines.size(), false);
    std::unordered_map<std::string_view, std::vector<std::size_t>> by_text;
    for (std::size_t i = e0; i-- > s0;) by_text[raw.substr(spans[i].begin, spans[i].len)].push_back(i);
    for (std::size_t j = 0; j < new_lines.size(); ++j) {
        auto it = by_text.find(new_lines[j]);
        if (it == by_text.end() || it->second.empty()) continue;
        std::size_t i = it->second.back();  // the earliest unused equal line
        it->second.pop_back();
        old_used[i - s0] = true;
        ends[j] = end_at(i);
        new_set[j] = true;
    }
    std::size_t next_old = s0;
    for (std::size_t j = 0; j < new_lines.size(); ++j) {
        if (new_set[j]) continue;
        while (next_old < e0 && old_used[next_old - s0]) ++next_old;
        if (next_old < e0) ends[j] = end_at(next_old++);
        else ends[j] = common;
    }
    return ends;
}

// Length of the line end at the very end of `s` (0 when `s` does not end in one).
std::size_t trailing_end_length(std::string_view s) {
    if (s.size() >= 2 && s.substr(s.size() - 2) == "\r\n") return 2;
    if (!s.empty() && (s.back() == '\n' || s.back() == '\r')) return 1;
    return 0;
}

// Appends `piece`, keeping a lone carriage return at the seam from pairing with a line feed
// that starts `piece` (two line ends would become one): that end is written as CRLF instead.
void append_at_seam(std::string& out, std::string_view piece) {
    if (!piece.empty() && piece.front() == '\n' && !out.empty() && out.back() == '\r') out.push_back('\n');
    out.append(piece);
}

bool parse_hex_digest(std::string_view hex, unsigned char out[32]) {
    if (hex.size() != 64) return false;
    for (std::size_t i = 0; i < 32; ++i) {
        int v = 0;
        for (int k = 0; k < 2; ++k) {
            char c = hex[2 * i + k];
            int d;
            if (c >= '0' && c <= '9') d = c - '0';
            else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
            else return false;  // compute_hash only ever yields lower-case hex
            v = v * 16 + d;
        }
        out[i] = static_cast<unsigned char>(v);
    }
    return true;
}

// Below this many bytes of hashing a single thread wins over starting workers.
constexpr std::size_t PARALLEL_MIN_BYTES = 8u << 20;

}  // namespace

namespace {

const char* failure_name(WriteFailure kind) {
    switch (kind) {
        case WriteFailure::writer_busy: return "another writer did not finish within 3 s";
        case WriteFailure::locked: return "another Quillbox process held the write lock past 3 s";
        case WriteFailure::changed: return "the file changed since it was read";
        case WriteFailure::content_mismatch: return "the written lines read back differently, rolled back";
        case WriteFailure::prefix_modified: return "the lines before the range changed, rolled back";
        case WriteFailure::suffix_modified: return "the lines after the range changed, rolled back";
        case WriteFailure::overwritten: return "changed by another program after the write, kept";
    }
    return "write failed";
}

std::string failure_log_text(WriteFailure kind, const fs::path& file, const fs::path& backup) {
    std::string s = file.string() + ": " + failure_name(kind);
    if (!backup.empty()) s += " (backup " + backup.string() + ")";
    return s;
}

}  // namespace

ModificationError::ModificationError(WriteFailure kind, fs::path file, fs::path backup)
    : std::runtime_error(failure_log_text(kind, file, backup)),
      kind_(kind),
      file_(std::move(file)),
      backup_(std::move(backup)) {}

std::string compute_hash(std::string_view text) { return detail::sha256_hex(text); }

std::vector<std::string> read_lines(const fs::path& file_path, long start, long end) {
    std::string text = detail::read_text_file(file_path);
    auto spans = line_spans(text);
    auto [first, last] = clamp_range(start, end, spans.size());
    std::vector<std::string> out;
    out.reserve(last - first);
    for (std::size_t i = first; i < last; ++i) out.emplace_back(line_without_lf(text, spans[i]));
    return out;
}

namespace {

// A file's lines, each followed by one line feed, in one string: every window of k lines
// joined with line feeds is then one contiguous slice, hashed in one call.
class JoinedLines {
public:
    JoinedLines(std::string_view text, const std::vector<Span>& spans) {
        joined_.reserve(text.size() + 1);
        off_.reserve(spans.size() + 1);
        for (const Span& sp : spans) {
            off_.push_back(joined_.size());
            joined_.append(text.substr(sp.begin, sp.len));
            joined_.push_back('\n');
        }
        off_.push_back(joined_.size());
    }
    std::size_t lines() const { return off_.size() - 1; }
    // Lines i+1..i+k, joined (without the final line feed).
    std::string_view window(std::size_t i, std::size_t k) const {
        return std::string_view(joined_).substr(off_[i], off_[i + k] - off_[i] - 1);
    }
    std::size_t window_bytes(std::size_t i, std::size_t k) const { return off_[std::min(lines(), i + k)] - off_[i]; }

private:
    std::string joined_;
    std::vector<std::size_t> off_;
};

// The windows of k lines whose hash is `target`, searched one way or another.
struct WindowSearch {
    const JoinedLines& lines;
    std::size_t k;
    std::size_t windows;  // lines - k + 1
    const unsigned char* target;

    bool same_text(std::size_t i, std::size_t j) const {
        const std::string_view a = lines.window(i, k), b = lines.window(j, k);
        return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
    }

    // The match nearest the hint, looking outward from it over the whole file; nothing when
    // two matches are equally near (which of two twin sections the block is cannot be told)
    // or there is none.
    std::optional<std::size_t> nearest(long hint_start) const {
        const std::size_t h0 = std::min<std::size_t>(static_cast<std::size_t>(hint_start - 1), windows - 1);
        detail::Sha256 h;
        for (std::size_t d = 0; d <= h0 || h0 + d < windows; ++d) {
            const bool below = h0 + d < windows && h.matches(lines.window(h0 + d, k), target);
            const bool above = d > 0 && d <= h0 && h.matches(lines.window(h0 - d, k), target);
            if (below && above) return std::nullopt;
            if (below) return h0 + d;
            if (above) return h0 - d;
        }
        return std::nullopt;
    }

    // The first match from the top, on this thread; `windows` when none.
    std::size_t scan() const {
        detail::Sha256 h;
        for (std::size_t i = 0; i < windows; ++i)
            if (h.matches(lines.window(i, k), target)) return i;
        return windows;
    }

    // The same over up to `workers` threads. Chunks are handed out in increasing order and a
    // worker stops only past the best match so far, so every window above the final best has
    // been hashed: the result is exactly the first match from the top.
    std::size_t parallel_scan(unsigned workers) const {
        const std::size_t chunk = std::max<std::size_t>(16, windows / (workers * 32));
        std::atomic<std::size_t> next{0};
        std::atomic<std::size_t> best{windows};
        std::exception_ptr failure;
        std::mutex failure_mu;
        auto work = [&] {
            try {
                detail::Sha256 h;
                for (;;) {
                    std::size_t c0 = next.fetch_add(chunk);
                    if (c0 >= windows || c0 > best.load(std::memory_order_relaxed)) return;
                    std::size_t c1 = std::min(windows, c0 + chunk);
                    for (std::size_t i = c0; i < c1 && i < best.load(std::memory_order_relaxed); ++i) {
                        if (!h.matches(lines.window(i, k), target)) continue;
                        std::size_t cur = best.load();
                        while (i < cur && !best.compare_exchange_weak(cur, i)) {
                        }
                        break;
                    }
                }
            } catch (...) {
                std::lock_guard<std::mutex> g(failure_mu);
                if (!failure) failure = std::current_exception();
                best.store(0);  // stop the others
            }
        };
        std::vector<std::thread> pool;
        for (unsigned t = 1; t < workers; ++t) {
            try {
                pool.emplace_back(work);
            } catch (const std::system_error&) {
                break;  // fewer workers; the search stays exact
            }
        }
        work();
        for (auto& t : pool) t.join();
        if (failure) std::rethrow_exception(failure);
        return best.load();
    }

    // The first match from the top; a scan big enough to pay for threads is spread over them.
    std::size_t first_match() const {
        std::size_t total = 0;
        for (std::size_t i = 0; i < windows && total < PARALLEL_MIN_BYTES; ++i) total += lines.window_bytes(i, k);
        const unsigned hw = std::thread::hardware_concurrency();
        const unsigned workers = std::min(hw == 0 ? 1u : hw, 4u);
        if (total < PARALLEL_MIN_BYTES || workers < 2) return scan();
        return parallel_scan(workers);
    }
};

}  // namespace

std::optional<std::pair<int, int>> find_block_by_content_hash(const fs::path& file_path,
                                                              std::string_view content_hash,
                                                              long expected_lines,
                                                              std::optional<long> hint_start) {
    std::string text = detail::read_text_file(file_path);
    unsigned char target[32];
    if (!parse_hex_digest(content_hash, target) || expected_lines < 0) return std::nullopt;

    const auto spans = line_spans(text);
    const std::size_t n = spans.size();
    const auto k = static_cast<std::size_t>(expected_lines);
    if (k > n) return std::nullopt;
    if (n > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
    if (k == 0) {
        detail::Sha256 h;
        if (h.matches({}, target)) return std::make_pair(1, 0);
        return std::nullopt;
    }

    const JoinedLines lines(text, spans);
    text.clear();
    text.shrink_to_fit();
    const WindowSearch search{lines, k, n - k + 1, target};
    auto result = [&](std::size_t i) { return std::make_pair(static_cast<int>(i + 1), static_cast<int>(i + k)); };

    if (hint_start && *hint_start >= 1) {
        if (auto near = search.nearest(*hint_start)) return result(*near);
        return std::nullopt;
    }
    const std::size_t found = search.first_match();
    if (found == search.windows) return std::nullopt;
    return result(found);
}

std::string get_snippet(const fs::path& file_path, long start_line, long end_line, long context) {
    try {
        return snippet_of(detail::read_text_file(file_path), start_line, end_line, context);
    } catch (...) {
        return {};
    }
}

std::string snippet_of(std::string_view text, long start_line, long end_line, long context) {
    try {
        auto spans = line_spans(text);
        // Wide arithmetic: extreme arguments must not overflow.
        const auto n = static_cast<__int128>(spans.size());
        auto first = std::max<__int128>(__int128(start_line) - context - 1, 0);
        auto last = std::min<__int128>(__int128(end_line) + context, n);
        std::string out;
        for (auto i = first; i < last; ++i) {
            if (i > first) out.push_back('\n');
            out += "  ";
            out += std::to_string(static_cast<long long>(i + 1));
            out += ": ";
            out.append(text.substr(spans[static_cast<std::size_t>(i)].begin, spans[static_cast<std::size_t>(i)].len));
        }
        return out;
    } catch (...) {
        return {};
    }
}

SafetyEngine::SafetyEngine(fs::path backup_dir, FileWrites* file_writes, fs::path lock_dir)
    : backup_dir_(std::move(backup_dir)),
      lock_dir_(lock_dir.empty() ? backup_dir_.parent_path() / "locks" : std::move(lock_dir)),
      file_writes_(file_writes) {
    fs::create_directories(backup_dir_);
}


bool SafetyEngine::wait_if_writing(const fs::path& file_path) {
    if (!file_writes_) return true;
    return file_writes_->wait_for_write_quiet(file_path, WRITE_QUIET_TIMEOUT);
}

bool SafetyEngine::verify_before_modify(const fs::path& file_path, long start, long end,
                                        std::string_view expected_hash) {
    std::error_code ec;
    if (!fs::exists(file_path, ec)) throw_missing(file_path);
    (void)wait_if_writing(file_path);  // a busy file is still checked after the wait
    auto lines = read_lines(file_path, start, end);
    return detail::sha256_joined(lines, 0, lines.size()) == expected_hash;
}

namespace {

constexpr std::string_view BACKUP_EXT = ".bak";

// The part of a backup name after its time stamp: a short hash of the file's folder (files of
// one name in different folders never share backups) and the file's own name.
std::string backup_suffix(const fs::path& file_path) {
    std::error_code ec;
    fs::path dir = fs::weakly_canonical(fs::absolute(file_path, ec), ec).parent_path();
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on the chain of additions.
    std::string out = "_";
    out.append(detail::sha256_hex(dir.native()), 0, 8);
    out += '_';
    out += file_path.filename().string();
    out += BACKUP_EXT;
    return out;
}

// A temporary file of an unfinished replacement: "name.quillbox-tmp" beside a document, or
// ".name.quillbox-XXXXXX" (a unique name: backups, other files Quillbox writes).
bool is_temporary(const std::string& name) {
    if (name.ends_with(TMP_SUFFIX)) return true;
    const auto at = name.rfind(".quillbox-");
    return !name.empty() && name[0] == '.' && at != std::string::npos && name.size() == at + 10 + 6;
}

// A temporary file of create_new_file: ".name.quillbox-XXXXXX".
bool is_unique_temporary(const std::string& name) {
    const auto at = name.rfind(".quillbox-");
    return !name.empty() && name[0] == '.' && at != std::string::npos && at > 0 && name.size() == at + 10 + 6;
}

// A name backup_from gives: "%Y-%m-%d_%H-%M-%S.micros[-k]_<8 hex>_<file name>.bak".
bool is_backup_name(const std::string& name) {
    static const std::regex form(R"(\d{4}-\d{2}-\d{2}_\d{2}-\d{2}-\d{2}\.\d{6}(-\d{3,})?_[0-9a-f]{8}_.+\.bak)");
    return name.ends_with(BACKUP_EXT) && std::regex_match(name, form);
}

double age_seconds(const fs::path& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return 0;
    const double mtime = static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9 - mtime;
}

// Backup names start with the time stamp "%Y-%m-%d_%H-%M-%S.micros[-k]" (no "_" inside after
// the date's own one): what follows the second "_" names the file.
std::string backup_key(const std::string& name) {
    auto us = name.find('_', 11);
    return us == std::string::npos ? std::string() : name.substr(us);
}

// Oldest first: by the stamp, where a counter ("-001") comes after the same stamp without one.
void sort_backups(std::vector<std::string>& names) {
    auto stamp = [](const std::string& n) { return std::string_view(n).substr(0, n.find('_', 11)); };
    std::sort(names.begin(), names.end(),
              [&](const std::string& a, const std::string& b) { return stamp(a) < stamp(b); });
}

}  // namespace

fs::path SafetyEngine::backup_from(const fs::path& file_path, std::string_view bytes,
                                   const struct stat& meta) {
    struct timespec now_ts {};
    ::clock_gettime(CLOCK_REALTIME, &now_ts);
    const std::time_t now = clock_ ? clock_() : now_ts.tv_sec;
    const long micros = clock_ ? 0 : now_ts.tv_nsec / 1000;
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[64];
    std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d_%H-%M-%S", &local);
    std::snprintf(stamp + n, sizeof stamp - n, ".%06ld", micros);
    const std::string suffix = backup_suffix(file_path);

    // The directory may have been removed since the engine was made.
    std::error_code ec;
    fs::create_directories(backup_dir_, ec);
    if (ec) {
        throw SafetyFileError("cannot create the backup folder " + backup_dir_.string() + ": " + ec.message(),
                              backup_dir_, ec);
    }
    // Complete or absent, and never over an existing backup: a later one within the same
    // microsecond gets a counter after the stamp.
    fs::path backup;
    try {
        backup = detail::create_new_file(
            backup_dir_,
            [&](int k) {
                if (k == 0) return std::string(stamp) + suffix;
                char counter[16];
                std::snprintf(counter, sizeof counter, "-%03d", k);
                return std::string(stamp) + counter + suffix;
            },
            bytes, detail::ReplaceOptions{.like = &meta, .copy_times = true});
    } catch (const detail::FileReplaceError& e) {
        throw_replace_error("cannot create the backup", e);
    }
    prune_backups(suffix);
    return backup;
}

void SafetyEngine::prune_backups(const std::string& suffix) noexcept {
    if (retention_.keep_per_file == 0) return;
    try {
        std::vector<std::string> names;
        std::error_code ec;
        for (fs::directory_iterator it(backup_dir_, ec), end; !ec && it != end; it.increment(ec)) {
            std::string name = it->path().filename().string();
            if (name.ends_with(suffix) && backup_key(name) == suffix) names.push_back(std::move(name));
        }
        if (names.size() <= retention_.keep_per_file) return;
        sort_backups(names);
        for (std::size_t i = 0; i + retention_.keep_per_file < names.size(); ++i)
            ::unlink((backup_dir_ / names[i]).c_str());
    } catch (...) {
        // Housekeeping: a failure keeps more backups, never fewer.
    }
}

std::size_t SafetyEngine::cleanup(const fs::path& root, double min_age_seconds) {
    std::size_t removed = 0;
    auto remove = [&](const fs::path& p) {
        if (::unlink(p.c_str()) == 0) ++removed;
    };
    try {
        std::error_code ec;
        // The backups folder through a handle opened beneath the project root (a link leading
        // out of it is not followed), and in it only regular files with the names Quillbox
        // gives: whatever else lies there is not ours to delete.
        const int dir_fd = detail::open_confined(backup_dir_, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        std::map<std::string, std::vector<std::string>> by_file;
        if (DIR* dir = dir_fd >= 0 ? ::fdopendir(dir_fd) : nullptr) {
            auto remove_at = [&](const std::string& name) {
                if (::unlinkat(::dirfd(dir), name.c_str(), 0) == 0) ++removed;
            };
            auto age_at = [](const struct stat& st) {
                const double mtime =
                    static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
                struct timespec now {};
                ::clock_gettime(CLOCK_REALTIME, &now);
                return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9 - mtime;
            };
            while (const dirent* e = ::readdir(dir)) {
                const std::string name = e->d_name;
                const bool temporary = is_unique_temporary(name);
                if (!temporary && !is_backup_name(name)) continue;
                struct stat st {};
                if (::fstatat(::dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
                    continue;
                if (temporary) {
                    if (age_at(st) > min_age_seconds) remove_at(name);
                    continue;
                }
                // A backup carries the modification time of the file it copies: its age is its
                // content's age, which is what "older than" means to whoever looks for it.
                if (retention_.max_age_days > 0 && age_at(st) > retention_.max_age_days * 86400.0) {
                    remove_at(name);
                    continue;
                }
                if (auto key = backup_key(name); !key.empty()) by_file[key].push_back(name);
            }
            if (retention_.keep_per_file > 0) {
                for (auto& [key, names] : by_file) {
                    sort_backups(names);
                    for (std::size_t i = 0; i + retention_.keep_per_file < names.size(); ++i) remove_at(names[i]);
                }
            }
            ::closedir(dir);
        } else if (dir_fd >= 0) {
            ::close(dir_fd);
        }
        if (!root.empty()) {
            const auto opts = fs::directory_options::skip_permission_denied;
            fs::recursive_directory_iterator it(root, opts, ec), end;
            for (; !ec && it != end; it.increment(ec)) {
                std::error_code sec;
                const std::string name = it->path().filename().string();
                // The backups folder holds only what the pass above judged by Quillbox's names.
                if (it->is_directory(sec) && (it->is_symlink(sec) || name == ".git" || name == "node_modules" ||
                                              it->path() == backup_dir_)) {
                    it.disable_recursion_pending();
                    continue;
                }
                if (!is_temporary(name) || !it->is_regular_file(sec)) continue;
                if (age_seconds(it->path()) > min_age_seconds) {
                    remove(it->path());
                } else if (name.ends_with(TMP_SUFFIX)) {
                    // Younger: it may belong to a write in progress, which holds the document's
                    // lock. A free lock means the writer is gone.
                    const fs::path doc = it->path().parent_path() / name.substr(0, name.size() - std::strlen(TMP_SUFFIX));
                    try {
                        WriteLock probe(lock_dir_, doc, 0.0);
                        remove(it->path());
                    } catch (const std::exception&) {
                    }
                }
            }
        }
    } catch (...) {
        // Housekeeping only.
    }
    return removed;
}

namespace {

void check_replacement(const fs::path& file_path, long start, long end, const std::vector<std::string>& new_lines) {
    if (start < 1 || start - 1 > end) {
        throw std::invalid_argument("invalid line range " + std::to_string(start) + ".." +
                                    std::to_string(end) + " for " + file_path.string());
    }
    for (std::size_t i = 0; i < new_lines.size(); ++i) {
        const std::string& l = new_lines[i];
        if (l.find_first_of("\r\n") != std::string::npos) {
            throw std::invalid_argument("new line " + std::to_string(i + 1) +
                                        " contains a line break");
        }
        if (detail::find_invalid_utf8(l) != std::string_view::npos) {
            throw std::invalid_argument("new line " + std::to_string(i + 1) +
                                        " is not valid UTF-8");
        }
    }
}

// The file's new text: lines 1..s0 kept, the new lines, the lines after the range kept; each
// line followed by a line feed. The kept prefix and suffix are slices of it.
// The file's new bytes: untouched lines as they were, line ends included, the new lines with
// the ends ends_for_new_lines gives them.
}  // namespace

struct ReplacedText {
    std::string text;
    std::size_t s0 = 0;  // lines before the range
};

namespace {

ReplacedText replace_range(std::string raw, const fs::path& file_path, long start, long end,
                           const std::vector<std::string>& new_lines, bool final_line_end = false) {
    const auto spans = line_spans(raw);
    const std::size_t n = spans.size();
    if (static_cast<unsigned long>(end) > n) {
        throw std::invalid_argument("line range " + std::to_string(start) + ".." +
                                    std::to_string(end) + " is beyond the end of " +
                                    file_path.string() + " (" + std::to_string(n) + " lines)");
    }
    ReplacedText r;
    r.s0 = static_cast<std::size_t>(start - 1);
    const auto e0 = static_cast<std::size_t>(end);  // first line after the range
    const std::vector<std::string_view> ends = ends_for_new_lines(raw, spans, r.s0, e0, new_lines);

    std::string& out = r.text;
    out.reserve(raw.size() + 64 * new_lines.size() + 2);
    out.append(raw, 0, r.s0 < n ? spans[r.s0].begin : raw.size());
    // Lines appended after a last line without an end: that line gets one.
    if (r.s0 > 0 && spans[r.s0 - 1].end_len == 0 && !new_lines.empty()) out.append(most_common_end(raw, spans));
    for (std::size_t j = 0; j < new_lines.size(); ++j) {
        append_at_seam(out, new_lines[j]);
        append_at_seam(out, ends[j]);
    }
    append_at_seam(out, std::string_view(raw).substr(e0 < n ? spans[e0].begin : raw.size()));
    // A file that did not end with a line end still does not; only an empty last line keeps
    // its end, as without it the line would not exist.
    if (final_line_end && e0 >= n && !new_lines.empty()) {
        if (trailing_end_length(out) == 0) out.append(most_common_end(raw, spans));
    } else if (n > 0 && spans[n - 1].end_len == 0) {
        const std::size_t t = trailing_end_length(out);
        if (t > 0 && out.size() > t && out[out.size() - t - 1] != '\n' && out[out.size() - t - 1] != '\r')
            out.resize(out.size() - t);
    }
    const std::size_t out_lines = r.s0 + new_lines.size() + (n - e0);
    if (out.size() > MAX_FILE_SIZE || out_lines > MAX_FILE_LINES) throw FileTooLargeError();
    return r;
}

// What is wrong with the file as read back after the rename, or nothing when it holds exactly
// the bytes meant to be written.
std::optional<WriteFailure> written_mismatch(const fs::path& target, const ReplacedText& r, std::size_t new_count) {
    // A file that can no longer be read as text does not hold what was written.
    std::string back;
    try {
        back = detail::read_file_bytes(target);
    } catch (const std::exception&) {
        return WriteFailure::content_mismatch;
    }
    if (back == r.text) return std::nullopt;
    if (detail::find_invalid_utf8(back) != std::string_view::npos) return WriteFailure::content_mismatch;

    // Tell which part differs: the new lines, the lines before them or the lines after them,
    // each compared with its line end.
    const std::string_view out = r.text;
    const auto want = line_spans(out);
    const auto got = line_spans(back);
    auto same = [&](std::size_t i) {
        return i < got.size() && i < want.size() &&
               std::string_view(back).substr(got[i].begin, got[i].len + got[i].end_len) ==
                   out.substr(want[i].begin, want[i].len + want[i].end_len);
    };
    for (std::size_t i = r.s0; i < r.s0 + new_count; ++i)
        if (!same(i)) return WriteFailure::content_mismatch;
    for (std::size_t i = 0; i < r.s0; ++i)
        if (!same(i)) return WriteFailure::prefix_modified;
    if (got.size() != want.size()) return WriteFailure::suffix_modified;
    for (std::size_t i = r.s0 + new_count; i < want.size(); ++i)
        if (!same(i)) return WriteFailure::suffix_modified;
    return WriteFailure::content_mismatch;
}

struct WrittenFigures {
    std::int64_t mtime_ns = -1, size = -1, inode = 0;
    double taken_at = 0;
};

// The file's figures as the write left them; unknown (-1) when it cannot be examined.
WrittenFigures written_figures(const fs::path& target) {
    WrittenFigures f;
    struct stat st {};
    if (::stat(target.c_str(), &st) != 0) return f;
    f.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    f.size = static_cast<std::int64_t>(st.st_size);
    f.inode = static_cast<std::int64_t>(st.st_ino);
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    f.taken_at = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
    return f;
}

// A write of ours under way, as the watcher's tracker knows it: done() says what it left; one
// that ends without (a failure) tells the tracker so.
class OwnWrite {
public:
    OwnWrite(FileWrites* tracker, fs::path path) : tracker_(tracker), path_(std::move(path)) {}
    OwnWrite(const OwnWrite&) = delete;
    OwnWrite& operator=(const OwnWrite&) = delete;
    ~OwnWrite() {
        if (tracker_) tracker_->own_write_done(path_, std::nullopt);
    }
    void done(WrittenFile written) {
        std::exchange(tracker_, nullptr)->own_write_done(path_, std::move(written));
    }

private:
    FileWrites* tracker_;
    fs::path path_;
};

// compute_hash of lines start..end of a text, or nothing when the text is shorter.
std::optional<std::string> range_hash(std::string_view text, long start, long end) {
    auto spans = line_spans(text);
    if (start < 1 || end < start - 1 || static_cast<unsigned long>(end) > spans.size()) return std::nullopt;
    return compute_hash(detail::join_spans(text, spans, static_cast<std::size_t>(start - 1),
                                           static_cast<std::size_t>(end)));
}

}  // namespace

WriteOutcome SafetyEngine::apply_replace(const fs::path& file_path, long start, long end,
                                         const std::vector<std::string>& new_lines, const WriteBasis& basis) {
    check_replacement(file_path, start, end, new_lines);
    struct stat st = stat_regular_file(file_path);
    // Through a symbolic link the rename must replace the link's target, not the link.
    const fs::path target = detail::link_target(file_path);
    if ((st.st_mode & 0222) == 0 || ::access(file_path.c_str(), W_OK) != 0) {
        throw SafetyFileError("read-only: " + file_path.string(), file_path,
                              std::make_error_code(std::errc::permission_denied));
    }

    // 1. Wait for other writers: the watcher's marks, then the lock between processes, held
    // from this read of the file to the end of the read-back.
    if (!wait_if_writing(file_path)) {
        throw ModificationError(WriteFailure::writer_busy, file_path);
    }
    WriteLock lock(lock_dir_, target, WRITE_QUIET_TIMEOUT);

    // Read once: the checks, the backup and the new bytes all come from these bytes.
    st = stat_regular_file(file_path);
    std::string raw = detail::read_file_bytes(target);
    detail::validate_utf8(raw, target.string());
    auto changed = [&] { return FileChangedError(file_path); };
    if (basis.file_sha256 && detail::sha256_hex(raw) != *basis.file_sha256) throw changed();
    if (basis.range_hash && range_hash(raw, start, end) != basis.range_hash) throw changed();

    // 2. The new bytes, decided before anything is written (a result over the limits is
    // refused without a backup), from the file as it is, byte for byte.
    ReplacedText r = replace_range(raw, file_path, start, end, new_lines, basis.final_line_end);
    return write_verified(file_path, target, st, std::move(raw), std::move(r), new_lines.size());
}

WriteOutcome SafetyEngine::apply_bytes(const fs::path& file_path, std::string bytes, const WriteBasis& basis) {
    if (detail::find_invalid_utf8(bytes) != std::string_view::npos)
        throw std::invalid_argument("the new text of " + file_path.string() + " is not valid UTF-8");
    if (bytes.size() > MAX_FILE_SIZE) throw FileTooLargeError();
    struct stat st = stat_regular_file(file_path);
    const fs::path target = detail::link_target(file_path);
    if ((st.st_mode & 0222) == 0 || ::access(file_path.c_str(), W_OK) != 0) {
        throw SafetyFileError("read-only: " + file_path.string(), file_path,
                              std::make_error_code(std::errc::permission_denied));
    }
    if (!wait_if_writing(file_path)) throw ModificationError(WriteFailure::writer_busy, file_path);
    WriteLock lock(lock_dir_, target, WRITE_QUIET_TIMEOUT);
    st = stat_regular_file(file_path);
    std::string raw = detail::read_file_bytes(target);
    detail::validate_utf8(raw, target.string());
    if (basis.file_sha256 && detail::sha256_hex(raw) != *basis.file_sha256)
        throw FileChangedError(file_path);
    const std::size_t count = line_spans(bytes).size();
    if (count > MAX_FILE_LINES) throw FileTooLargeError();
    ReplacedText r{std::move(bytes), 0};
    return write_verified(file_path, target, st, std::move(raw), std::move(r), count);
}

WriteOutcome SafetyEngine::write_verified(const fs::path& file_path, const fs::path& target, struct stat st,
                                          std::string raw, ReplacedText r, std::size_t new_count) {
    auto changed = [&] { return FileChangedError(file_path); };
    if (dry_run_depth > 0) throw DryRunWrite{file_path, std::move(raw), std::move(r.text)};

    // 3. Temporary file beside the file, synced, before the backup: a write the folder refuses
    // costs no backup (only so many are kept per file).
    fs::path backup;
    std::string after_sha256;
    std::optional<OwnWrite> own;
    {
        std::optional<detail::PendingReplace> pending;
        try {
            pending.emplace(target, r.text, detail::ReplaceOptions{.temporary = tmp_path_for(target), .like = &st});
        } catch (const detail::FileReplaceError& e) {
            // The folder, not the file, refuses the new copy.
            if (e.step() == detail::FileReplaceError::Step::create && e.code() == std::errc::permission_denied)
                throw_errno("cannot create a file in", target.parent_path(), e.code().value());
            throw_replace_error("cannot write the temporary file", e);
        }

        // 4. Backup of exactly these bytes, then the temporary file put in place. Just before,
        // the file must still hold the bytes the new text came from: an editor that saved
        // meanwhile would otherwise lose its change.
        backup = backup_from(file_path, raw, st);
        if (before_rename_hook_) before_rename_hook_(target);
        // The watcher learns what this write leaves, so that the event it causes makes nobody
        // wait; its events are held back until then.
        if (file_writes_) {
            after_sha256 = detail::sha256_hex(r.text);
            file_writes_->own_write_start(file_path);
            own.emplace(file_writes_, file_path);
        }
        if (!commit_if_unchanged(*pending, raw, r.text, "cannot replace the file with the temporary file")) throw changed();
    }

    const WrittenFigures figures = written_figures(target);
    if (own) {
        if (figures.mtime_ns >= 0) own->done(WrittenFile{figures.inode, figures.size, figures.mtime_ns, after_sha256});
        own.reset();
    }
    if (after_rename_hook_) after_rename_hook_(target);

    // 5. Read back, byte for byte. What differs is rolled back, but only while the file holds
    // what this write put there: content another program saved since is theirs, and stays.
    if (const std::optional<WriteFailure> mismatch = written_mismatch(target, r, new_count)) {
        if (file_writes_) file_writes_->forget_own_write(file_path);
        try {
            std::optional<detail::PendingReplace> pending;
            try {
                pending.emplace(target, raw,
                                detail::ReplaceOptions{.temporary = tmp_path_for(target), .like = &st, .copy_times = true});
            } catch (const detail::FileReplaceError& e) {
                throw_replace_error("cannot restore the file from the backup", e);
            }
            if (commit_if_unchanged(*pending, r.text, raw, "cannot restore the file from the backup"))
                throw ModificationError(*mismatch, target);
        } catch (const fs::filesystem_error& e) {
            // Tell where the old content is, so it can be put back by hand.
            throw SafetyFileError(std::string(e.what()) + " (the backup is kept at " + backup.string() + ")", target,
                                  e.code(), backup);
        }
        throw ModificationError(WriteFailure::overwritten, target, backup);
    }
    ++writes_completed_;
    if (after_sha256.empty()) after_sha256 = detail::sha256_hex(r.text);
    record_last_write(target, backup, after_sha256);
    WriteOutcome out{std::move(raw), std::move(r.text), figures.mtime_ns, figures.size, figures.inode, figures.taken_at,
                     std::move(after_sha256)};
    return out;
}

// One record per file, replaced by each write: where the backup of the bytes before it is,
// and the SHA-256 of the bytes it left.
fs::path SafetyEngine::last_write_record(const fs::path& target) const {
    return backup_dir_.parent_path() / "last-writes" / (detail::sha256_hex(target.string()).substr(0, 32) + ".txt");
}

void SafetyEngine::record_last_write(const fs::path& target, const fs::path& backup,
                                     const std::string& after_sha256) noexcept {
    try {
        std::error_code ec;
        fs::create_directories(backup_dir_.parent_path() / "last-writes", ec);
        // Written in place: a kill leaves no temporary file behind, and a torn record only
        // reads as none.
        std::ofstream out(last_write_record(target), std::ios::binary | std::ios::trunc);
        out << target.string() << "\n" << backup.string() << "\n" << after_sha256 << "\n";
    } catch (...) {
        // Without the record only undo is lost, never the write.
    }
}

std::optional<LastWrite> SafetyEngine::last_write(const fs::path& file_path) const {
    const fs::path target = detail::link_target(file_path);
    std::string text;
    try {
        text = detail::read_file_bytes(last_write_record(target));
    } catch (const std::exception&) {
        return std::nullopt;
    }
    std::vector<std::string> parts;
    for (std::size_t b = 0; b < text.size();) {
        std::size_t e = text.find('\n', b);
        if (e == std::string::npos) e = text.size();
        parts.push_back(text.substr(b, e - b));
        b = e + 1;
    }
    if (parts.size() < 3 || parts[0] != target.string() || parts[2].size() != 64) return std::nullopt;
    return LastWrite{parts[1], parts[2]};
}

thread_local int SafetyEngine::dry_run_depth = 0;

DryRunScope::DryRunScope() { ++SafetyEngine::dry_run_depth; }
DryRunScope::~DryRunScope() { --SafetyEngine::dry_run_depth; }

}  // namespace quillbox
