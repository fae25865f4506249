// Index freshness: the index entry of a file in step with the file, and its freshness record.

#include "quillbox/blockops/freshness.h"

#include <chrono>
#include <thread>

#include "quillbox/detail/read_file.h"
#include "quillbox/detail/sha256.h"
#include "quillbox/log.h"

namespace fs = std::filesystem;

namespace quillbox {

FileState current_file_state(const fs::path& fp) {
    // The time first: a change during the hashing then makes the next check look again.
    FileState state = file_state_of(fp, {});
    state.file_hash = detail::sha256_hex(detail::read_file_bytes(fp));
    return state;
}

bool own_write_vouches(FileWatcher& watcher, const fs::path& fp, const FileState& recorded) {
    if (!watcher.running()) return false;
    const std::optional<WrittenFile> own = watcher.file_writes().own_write(fp);
    return own && own->inode == recorded.inode && own->size == recorded.size && own->mtime_ns == recorded.mtime_ns &&
           own->sha256 == recorded.file_hash;
}

bool renew_racy_record(Indexer& indexer, const fs::path& fp, const FileState& recorded) {
    try {
        // The figures before the bytes: a change while they are read shows as other figures.
        FileState now = file_state_of(fp, {});
        if (!recorded.same_stat(now) || now.racily_clean()) return false;
        now.file_hash = detail::sha256_hex(detail::read_file_bytes(fp));
        return now.file_hash == recorded.file_hash && indexer.refresh_file_state(fp, now);
    } catch (const std::exception& e) {
        log_warning("Index freshness check failed for %s: %s", fp.c_str(), e.what());
        return false;
    }
}

// ---- Index freshness --------------------------------------------------------------------

std::vector<Block> _ensure_fresh_index(Indexer& indexer, FileWatcher& watcher, const fs::path& fp,
                                       RowColumns columns) {
    const std::string key = fp.string();
    try {
        // The file's figures first: the rows are read only when the record vouches for them.
        FileState now = file_state_of(fp, {});
        auto [rows, recorded] = indexer.rows_if_fresh(fp, now, columns);
        if (rows) return std::move(*rows);

        // Changed figures, or a record too close to the last change to tell: the bytes decide.
        // An outside editor saving in place writes in pieces, and a torn text indexed as it
        // stands gives its sections' ids up: the bytes are taken once the file held still, and
        // kept when it did not change while they were read.
        auto taken = read_while_still(fp);
        // Written all the while: the rows stay as they are, and the next call looks again.
        if (!taken) return indexer.list_blocks(fp, columns);
        now = std::move(taken->first);
        std::string bytes = std::move(taken->second);
        now.file_hash = detail::sha256_hex(bytes);
        // Same bytes: the rows stand and the record takes the new figures, unless another pass
        // recorded other bytes meanwhile. While the figures are unchanged and still too close
        // to the last change, a new record could not vouch any sooner: it is not written (a
        // flush on every listing just after a write), and the rows are taken while the record
        // still holds these bytes.
        if (recorded && recorded->file_hash == now.file_hash) {
            if (recorded->same_stat(now) && now.racily_clean()) {
                if (auto rows = indexer.rows_if_hash(fp, now.file_hash, columns)) return std::move(*rows);
            } else if (indexer.refresh_file_state(fp, now)) {
                return indexer.list_blocks(fp, columns);
            }
        }

        // Never wait inside an index operation: the re-index being waited for needs the index.
        watcher.wait_for_reindex(fp, 3.0);
        return indexer.index_file({.file = fp, .watcher = &watcher, .bytes = std::move(bytes), .state = now, .want_rows = true})
            .rows;
    } catch (const std::exception& e) {
        log_warning("Index freshness check failed for %s: %s", key.c_str(), e.what());
    } catch (...) {
        log_warning("Index freshness check failed for %s: %s", key.c_str(), "unknown error");
    }
    return parse_markdown_to_blocks(fp);
}

std::optional<FileState> wait_until_quiet(const fs::path& fp) {
    using namespace std::chrono;
    // Still: the same figures over `quiet`, or over a short look when the last change is that
    // old already (a truncation under way can show its new size before its new time).
    constexpr auto quiet = milliseconds(20), look = milliseconds(5), bound = milliseconds(200);
    const auto start = steady_clock::now();
    std::optional<FileState> last;
    for (;;) {
        FileState now;
        try {
            now = file_state_of(fp, {});
        } catch (const std::filesystem::filesystem_error&) {
            return FileState{};
        }
        if (last && now.mtime_ns == last->mtime_ns && now.size == last->size && now.inode == last->inode) return now;
        if (steady_clock::now() - start >= bound) return std::nullopt;
        const auto changed = nanoseconds(static_cast<std::int64_t>(now.recorded_at * 1e9) - now.mtime_ns);
        last = std::move(now);
        std::this_thread::sleep_for(changed >= quiet ? look : quiet);
    }
}

std::optional<std::pair<FileState, std::string>> read_while_still(const fs::path& fp) {
    for (int tries = 0; tries < 3; ++tries) {
        std::optional<FileState> before = wait_until_quiet(fp);
        if (!before) return std::nullopt;
        std::string bytes = detail::read_file_bytes(fp);
        const FileState after = file_state_of(fp, {});
        if (after.mtime_ns == before->mtime_ns && after.size == before->size && after.inode == before->inode)
            return std::pair{std::move(*before), std::move(bytes)};
    }
    return std::nullopt;
}

}  // namespace quillbox
