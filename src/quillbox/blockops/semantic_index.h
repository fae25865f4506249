#pragma once
// The vectors of every indexed section, following the index: the sections' ids and content
// hashes are mirrored in memory and brought up to date from what changed since the last look;
// sections without a vector are embedded in batches, by a worker thread of the server or by
// the caller; a query is one product over the store's matrix. The index owns the sections, the
// store owns the vectors; this holds only the map between them.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "quillbox/indexer.h"
#include "quillbox/semantic.h"

namespace quillbox {

class SemanticIndex {
public:
    // Sections whose texts one call of embed_some reads, sorted by length and embedded in
    // groups of EMBED_GROUP; each group is stored before the next is encoded.
    static constexpr std::size_t EMBED_BATCH = 256;
    static constexpr std::size_t EMBED_GROUP = 32;
    // What of a section is embedded: its title, a space and this many characters of its text.
    static constexpr std::size_t TEXT_CHARS = 200;

    // The engine (and its store, which may take a while to read or migrate) is opened on first
    // use; the local model when the first text is embedded. Throws std::invalid_argument for an
    // unknown model name, std::runtime_error for a config.toml that is not TOML.
    SemanticIndex(Indexer& index, std::filesystem::path vectors_dir, std::optional<std::string> model = std::nullopt,
                  BatchEncoder encoder = {});
    ~SemanticIndex();  // stops the worker
    SemanticIndex(const SemanticIndex&) = delete;
    SemanticIndex& operator=(const SemanticIndex&) = delete;

    // A thread of its own that follows the index and embeds what has no vector yet, until
    // stop(). `settled` (none: always) says when the index holds the whole project, so that
    // vectors no section uses may be dropped from the store.
    void start(std::function<bool()> settled = {});
    // Ends the worker after the group in hand and joins it. Idempotent.
    void stop();

    // Opens the engine unless it is open; gives up (false) when another thread is still opening
    // it after `wait`. Throws what opening the store throws.
    static constexpr std::chrono::milliseconds UNTIL_OPEN = std::chrono::milliseconds::max();
    bool open(std::chrono::milliseconds wait = UNTIL_OPEN);

    struct Progress {
        std::size_t embedded = 0;  // sections with a vector
        std::size_t total = 0;     // sections
        bool operator==(const Progress&) const = default;
    };
    // Takes in what the index changed since the last look, and what other processes stored.
    Progress follow();
    Progress progress() const;
    // Embeds up to EMBED_BATCH sections that have no vector; how many were stored. Throws
    // when the model cannot be used.
    std::size_t embed_some();
    // Embeds every section that has no vector (a caller without a worker).
    void embed_all();
    // Drops from the store the vectors no section uses; how many.
    std::size_t drop_unused();

    // The `k` sections closest in meaning to `query` among those with a vector, best first:
    // block id and cosine similarity.
    std::vector<std::pair<std::string, double>> nearest(std::string_view query, std::size_t k);

    // Whether embedding can work without a download: an encoder was given or the model is here.
    bool model_at_hand() const;
    SemanticEngine& engine() {
        open();
        return *engine_;
    }
    // The text embedded for a section.
    static std::string text_of(const SectionText& s);

private:
    struct Entry {
        long long seq = 0;
        VectorKey key{};
    };
    // A section as listed, with the key of its vector.
    struct Listed {
        long long seq = 0;
        std::string id;
        VectorKey key{};
    };
    static std::vector<Listed> list_after(Indexer& index, long long after_seq);
    void apply(std::vector<Listed>& rows, const std::vector<std::string>& gone, bool whole);
    using SectionMap = std::unordered_map<std::string, Entry>;
    // Drops a section from the map, its key's holders and the waiting; the next one.
    SectionMap::iterator forget(SectionMap::iterator it);
    void hold(const std::string* id, const VectorKey& key);
    void unhold(const std::string* id, const VectorKey& key);
    void recount_pending();
    void take_in_store_changes();
    void run(std::function<bool()> settled);

    Indexer& index_;
    const std::filesystem::path vectors_dir_;
    const std::string model_;
    const BatchEncoder encoder_;
    std::timed_mutex open_mu_;
    std::atomic<bool> opened_{false};
    std::unique_ptr<SemanticEngine> engine_;  // set once, under open_mu_, before opened_

    std::mutex follow_mu_;  // one follower at a time; taken before mu_
    mutable std::mutex mu_;  // everything below, and the engine's store
    SectionMap sections_;
    std::unordered_multimap<VectorKey, const std::string*, VectorKeyHash> holders_;  // the sections of each key
    std::unordered_set<const std::string*> pending_;  // sections whose key has no vector
    SectionsVersion seen_;
    bool listed_ = false;  // every section was listed once

    std::mutex worker_mu_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::atomic<bool> stop_flag_{false};
    std::thread worker_;
};

// The note a search adds while sections are still being embedded.
std::string embedding_progress_note(const SemanticIndex::Progress& p);

}  // namespace quillbox
