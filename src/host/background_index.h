#pragma once
// The server's index of the whole project, built on a thread of its own as soon as `serve`
// starts: the same files `reindex` takes (those the ignore rule keeps), each indexed unless its
// freshness record still vouches for it, in small batches so that tool calls (which index a
// file they ask for at once) never wait long for the index's lock. Files indexed but gone are
// forgotten at the end.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <thread>

namespace quillbox {
class Indexer;
}

namespace quillbox::host {

class IgnoreRules;

class BackgroundIndex {
public:
    struct Progress {
        std::size_t done = 0;   // files looked at (indexed, up to date or failed)
        std::size_t total = 0;  // Markdown files found; 0 until the listing is done
        bool listed = false;    // the files are found and counted
        bool finished = false;
        bool operator==(const Progress&) const = default;
    };

    // Files a batch takes: the index's lock is held for one batch at a time.
    static constexpr std::size_t BATCH = 16;

    BackgroundIndex(Indexer& indexer, const IgnoreRules& rules);
    ~BackgroundIndex();  // stops
    BackgroundIndex(const BackgroundIndex&) = delete;
    BackgroundIndex& operator=(const BackgroundIndex&) = delete;

    void start();
    // Ends the pass after the batch in hand and joins the thread. Idempotent.
    void stop();

    Progress progress() const;
    // Waits until the progress differs from `seen`, the pass finished, or `timeout_seconds`
    // ran out; the progress then.
    Progress wait_for_change(const Progress& seen, double timeout_seconds) const;

private:
    void run();
    void update(std::size_t done_delta, bool listed, std::size_t total, bool finished);

    Indexer& indexer_;
    const IgnoreRules& rules_;
    mutable std::mutex mu_;
    mutable std::condition_variable changed_;
    Progress progress_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace quillbox::host
