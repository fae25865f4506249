#include "host/background_index.h"

#include <fmt/format.h>

#include <algorithm>
#include <exception>
#include <string>
#include <system_error>
#include <vector>

#include "host/ignore.h"
#include "host/log.h"
#include "host/project.h"
#include "quillbox/detail/file_key.h"
#include "quillbox/indexer.h"

namespace fs = std::filesystem;

namespace quillbox::host {

BackgroundIndex::BackgroundIndex(Indexer& indexer, const IgnoreRules& rules) : indexer_(indexer), rules_(rules) {}

BackgroundIndex::~BackgroundIndex() { stop(); }

void BackgroundIndex::start() {
    std::lock_guard<std::mutex> lk(mu_);
    if (thread_.joinable()) return;
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
}

void BackgroundIndex::stop() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        stopping_ = true;
    }
    if (thread_.joinable()) thread_.join();
}

BackgroundIndex::Progress BackgroundIndex::progress() const {
    std::lock_guard<std::mutex> lk(mu_);
    return progress_;
}

BackgroundIndex::Progress BackgroundIndex::wait_for_change(const Progress& seen, double timeout_seconds) const {
    std::unique_lock<std::mutex> lk(mu_);
    changed_.wait_for(lk, std::chrono::duration<double>(std::max(timeout_seconds, 0.0)),
                      [&] { return progress_ != seen || progress_.finished; });
    return progress_;
}

void BackgroundIndex::update(std::size_t done_delta, bool listed, std::size_t total, bool finished) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        progress_.done += done_delta;
        if (listed) {
            progress_.listed = true;
            progress_.total = total;
        }
        progress_.finished = progress_.finished || finished;
    }
    changed_.notify_all();
}

void BackgroundIndex::run() {
    const auto started = std::chrono::steady_clock::now();
    auto stopping = [this] {
        std::lock_guard<std::mutex> lk(mu_);
        return stopping_;
    };
    std::size_t indexed = 0, fresh = 0, failed = 0, forgotten = 0;
    try {
        // As reindex keys them: a link found in the tree is known by the file it points at.
        std::vector<fs::path> files = rules_.markdown_files();
        for (fs::path& f : files) {
            std::error_code ec;
            if (fs::is_symlink(fs::symlink_status(f, ec))) f = detail::file_key(f);
        }
        std::sort(files.begin(), files.end());
        files.erase(std::unique(files.begin(), files.end()), files.end());
        update(0, true, files.size(), false);

        for (std::size_t next = 0; next < files.size() && !stopping();) {
            std::vector<fs::path> batch;
            std::size_t skipped = 0;
            for (; next < files.size() && batch.size() < BATCH; ++next) {
                // Up to date since the last session: no read, no parse.
                try {
                    const auto recorded = indexer_.file_state(files[next]);
                    if (recorded && !recorded->racily_clean() &&
                        recorded->same_stat(file_state_of(files[next], {}))) {
                        ++skipped;
                        continue;
                    }
                } catch (const std::exception&) {
                    // Vanished or unreadable: the pass below says which.
                }
                batch.push_back(files[next]);
            }
            fresh += skipped;
            if (skipped) update(skipped, false, 0, false);
            if (batch.empty()) continue;
            indexer_.index_files(
                batch,
                [&](std::size_t i, int, std::exception_ptr error) {
                    if (!error) {
                        ++indexed;
                    } else {
                        ++failed;
                        try {
                            std::rethrow_exception(error);
                        } catch (const std::exception& e) {
                            log_line(Level::debug, "background index: {} skipped: {}", batch[i].string(), e.what());
                        } catch (...) {
                        }
                    }
                },
                BATCH);
            update(batch.size(), false, 0, false);
        }
        if (!stopping()) {
            for (const fs::path& p : indexer_.indexed_files()) {
                std::error_code ec;
                if (!path_is_within(p, rules_.root()) || fs::exists(p, ec) || ec) continue;
                indexer_.drop_file(p);
                ++forgotten;
            }
        }
    } catch (const std::exception& e) {
        log_line(Level::warning, "background index stopped: {}", e.what());
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const Progress p = progress();
    if (!stopping())
        log_line(Level::info, "index ready: {} Markdown files ({} indexed, {} up to date{}{}) in {:.2f} s", p.total,
                 indexed, fresh, failed ? fmt::format(", {} could not be indexed", failed) : "",
                 forgotten ? fmt::format(", {} deleted ones forgotten", forgotten) : "", secs);
    update(0, false, 0, true);
}

}  // namespace quillbox::host
