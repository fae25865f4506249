#include "quillbox/blockops/semantic_index.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <iterator>
#include <random>

#include "quillbox/log.h"

namespace quillbox {

namespace fs = std::filesystem;

namespace {

// Sections listed per look at the index: its lock is held for one page at a time.
constexpr std::size_t LIST_PAGE = 20000;

}  // namespace

SemanticIndex::SemanticIndex(Indexer& index, fs::path vectors_dir, std::optional<std::string> model,
                             BatchEncoder encoder)
    : index_(index),
      vectors_dir_(std::move(vectors_dir)),
      model_(model && !model->empty() ? *model : SemanticEngine::_load_config(vectors_dir_)),
      encoder_(std::move(encoder)) {
    if (!AVAILABLE_MODELS.count(model_)) throw std::invalid_argument("unknown semantic model \"" + model_ + "\"");
}

bool SemanticIndex::open(std::chrono::milliseconds wait) {
    if (opened_.load(std::memory_order_acquire)) return true;
    std::unique_lock lk(open_mu_, std::defer_lock);
    if (wait == UNTIL_OPEN)
        lk.lock();
    else if (!lk.try_lock_for(wait))
        return false;
    if (!engine_) {
        engine_ = std::make_unique<SemanticEngine>(vectors_dir_, model_, encoder_);
        opened_.store(true, std::memory_order_release);
    }
    return true;
}

bool SemanticIndex::model_at_hand() const { return encoder_ || find_model_dir(model_).has_value(); }

SemanticIndex::~SemanticIndex() { stop(); }

std::string SemanticIndex::text_of(const SectionText& s) { return s.title + " " + s.text; }

void SemanticIndex::hold(const std::string* id, const VectorKey& key) { holders_.emplace(key, id); }

void SemanticIndex::unhold(const std::string* id, const VectorKey& key) {
    auto [from, to] = holders_.equal_range(key);
    for (auto it = from; it != to; ++it)
        if (it->second == id) {
            holders_.erase(it);
            return;
        }
}

std::vector<SemanticIndex::Listed> SemanticIndex::list_after(Indexer& index, long long after_seq) {
    std::vector<Listed> all;
    for (;;) {
        auto page = index.sections_after(after_seq, LIST_PAGE);
        if (page.empty()) break;
        after_seq = page.back().seq;
        const bool last = page.size() < LIST_PAGE;
        all.reserve(all.size() + page.size());
        for (SectionStamp& row : page) all.push_back({row.seq, std::move(row.id), vector_key(row.content_hash)});
        if (last) break;
    }
    return all;
}

SemanticIndex::SectionMap::iterator SemanticIndex::forget(SectionMap::iterator it) {
    unhold(&it->first, it->second.key);
    pending_.erase(&it->first);
    return sections_.erase(it);
}

void SemanticIndex::recount_pending() {
    pending_.clear();
    const VectorStore& store = engine_->store();
    for (const auto& [id, e] : sections_)
        if (!store.contains(e.key)) pending_.insert(&id);
}

void SemanticIndex::take_in_store_changes() {
    std::lock_guard lk(mu_);
    VectorStore& store = engine_->store();
    store.refresh();
    // Vectors stored or dropped, by another process or by this one: the sections of their keys
    // are waited for or not.
    VectorStore::Changes changes = store.take_changes();
    if (changes.whole) {
        recount_pending();
        return;
    }
    for (const VectorKey& k : changes.keys) {
        const bool has = store.contains(k);
        for (auto [it, to] = holders_.equal_range(k); it != to; ++it) {
            if (has)
                pending_.erase(it->second);
            else
                pending_.insert(it->second);
        }
    }
}

void SemanticIndex::apply(std::vector<Listed>& rows, const std::vector<std::string>& gone, bool whole) {
    VectorStore& store = engine_->store();
    if (whole && !sections_.empty()) {
        // Listed again from the start: what the listing lacks is gone.
        std::unordered_set<std::string_view> listed;
        listed.reserve(rows.size());
        for (const Listed& row : rows) listed.insert(row.id);
        for (auto it = sections_.begin(); it != sections_.end();)
            it = listed.count(it->first) ? std::next(it) : forget(it);
    } else if (!gone.empty()) {
        // Removed since the last look, unless written again since (a rewrite removes and adds).
        std::unordered_set<std::string_view> back;
        back.reserve(rows.size());
        for (const Listed& row : rows) back.insert(row.id);
        for (const std::string& id : gone) {
            if (back.count(id)) continue;
            if (auto it = sections_.find(id); it != sections_.end()) forget(it);
        }
    }
    if (sections_.empty()) {
        sections_.reserve(rows.size());
        holders_.reserve(rows.size());
    }
    std::vector<VectorKey> carried_keys;
    std::vector<std::vector<float>> carried;
    std::vector<std::pair<const std::string*, const Entry*>> touched;
    touched.reserve(rows.size());
    for (Listed& row : rows) {
        auto [it, fresh] = sections_.try_emplace(std::move(row.id));
        const std::string* id = &it->first;
        Entry& e = it->second;
        if (fresh) {
            e = {row.seq, row.key};
            hold(id, row.key);
        } else if (e.key != row.key) {
            // Same text, new hash (a subsection changed): the vector still holds, under the new key.
            if (e.seq == row.seq)
                if (store.contains(e.key) && !store.contains(row.key)) {
                    carried_keys.push_back(row.key);
                    carried.push_back(store.vector(e.key));
                }
            unhold(id, e.key);
            e.key = row.key;
            hold(id, row.key);
        }
        e.seq = row.seq;
        touched.emplace_back(id, &e);
    }
    if (!carried.empty()) store.put(carried_keys, carried);
    for (const auto& [id, e] : touched) {
        if (store.contains(e->key))
            pending_.erase(id);
        else
            pending_.insert(id);
    }
}

SemanticIndex::Progress SemanticIndex::follow() {
    std::lock_guard follower(follow_mu_);
    // Taken before the listing: whatever is written during it is looked at again next time.
    const SectionsVersion v = index_.sections_version();
    SectionsVersion seen;
    bool listed;
    {
        std::lock_guard lk(mu_);
        seen = seen_;
        listed = listed_;
    }
    std::vector<Listed> rows;
    std::vector<std::string> gone;
    bool whole = !listed;
    if (whole) {
        // The first look lists every section (and hashes its key) while the store is read:
        // neither waits for the other.
        auto listing = std::async(std::launch::async, [this] { return list_after(index_, 0); });
        try {
            open();
        } catch (...) {
            listing.wait();
            throw;
        }
        rows = listing.get();
        take_in_store_changes();
    } else {
        open();
        take_in_store_changes();
        if (v == seen) return progress();
        if (v.gone_seq != seen.gone_seq) {
            if (auto g = index_.sections_gone(seen.gone_seq, v.gone_seq))
                gone = std::move(*g);
            else
                whole = true;  // more went than the index remembers
        }
        rows = list_after(index_, whole ? 0 : seen.last_seq);
    }
    std::lock_guard lk(mu_);
    apply(rows, gone, whole);
    seen_ = v;
    listed_ = true;
    return {sections_.size() - pending_.size(), sections_.size()};
}

SemanticIndex::Progress SemanticIndex::progress() const {
    std::lock_guard lk(mu_);
    // Not opened yet: nothing looked at, nothing embedded.
    return {sections_.size() - pending_.size(), sections_.size()};
}

std::size_t SemanticIndex::embed_some() {
    open();
    std::vector<std::string> ids;
    {
        std::lock_guard lk(mu_);
        std::unordered_set<VectorKey, VectorKeyHash> keys;
        for (const std::string* id : pending_) {
            if (ids.size() == EMBED_BATCH) break;
            if (keys.insert(sections_.at(*id).key).second) ids.push_back(*id);
        }
    }
    if (ids.empty()) return 0;
    std::vector<SectionText> texts = index_.section_texts(ids, TEXT_CHARS);
    {
        // Gone since the last look: no longer waited for; the next look drops them.
        std::unordered_set<std::string_view> found;
        for (const auto& t : texts) found.insert(t.id);
        std::lock_guard lk(mu_);
        for (const auto& id : ids)
            if (!found.count(id))
                if (auto it = sections_.find(id); it != sections_.end()) pending_.erase(&it->first);
    }
    // Texts of like length share a batch: the encoder pads each batch to its longest text.
    std::vector<std::string> joined;
    joined.reserve(texts.size());
    for (const auto& t : texts) joined.push_back(text_of(t));
    std::vector<std::size_t> order(texts.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return joined[a].size() < joined[b].size(); });
    // Another server on the project embeds the same sections: starting at a group of our own
    // and skipping what it stored meanwhile, the two share the work instead of doubling it.
    const std::size_t groups = (order.size() + EMBED_GROUP - 1) / EMBED_GROUP;
    thread_local std::minstd_rand pick{std::random_device{}()};
    const std::size_t first = groups > 1 ? pick() % groups : 0;
    std::size_t stored = 0;
    for (std::size_t g = 0; g < groups && !stop_flag_.load(); ++g) {
        const std::size_t at = (first + g) % groups * EMBED_GROUP, end = std::min(order.size(), at + EMBED_GROUP);
        if (g > 0) take_in_store_changes();
        std::vector<std::string> group;
        std::vector<VectorKey> keys;
        {
            std::lock_guard lk(mu_);
            for (std::size_t i = at; i < end; ++i) {
                const VectorKey key = vector_key(texts[order[i]].content_hash);
                if (engine_->store().contains(key)) continue;
                group.push_back(std::move(joined[order[i]]));
                keys.push_back(key);
            }
        }
        if (group.empty()) continue;
        auto vectors = engine_->encode_batch(group);
        std::lock_guard lk(mu_);
        VectorStore& store = engine_->store();
        store.put(keys, vectors);
        for (const VectorKey& k : keys)
            if (store.contains(k))
                for (auto [it, to] = holders_.equal_range(k); it != to; ++it) pending_.erase(it->second);
        stored += keys.size();
    }
    return stored;
}

void SemanticIndex::embed_all() {
    follow();
    while (embed_some() > 0) {
    }
}

std::size_t SemanticIndex::drop_unused() {
    open();
    std::lock_guard lk(mu_);
    VectorStore& store = engine_->store();
    std::vector<VectorKey> unused;
    for (const VectorKey& k : store.keys())
        if (!holders_.count(k)) unused.push_back(k);
    if (unused.empty()) return 0;
    store.remove(unused);
    store.compact(0.5);
    return unused.size();
}

std::vector<std::pair<std::string, double>> SemanticIndex::nearest(std::string_view query, std::size_t k) {
    open();
    {
        std::lock_guard lk(mu_);
        if (k == 0 || holders_.empty() || engine_->store().size() == 0) return {};
    }
    const std::vector<float> q = engine_->encode(query);
    std::lock_guard lk(mu_);
    const VectorStore& store = engine_->store();
    if (q.size() != store.dim()) throw std::runtime_error("the query's vector has the wrong width");
    std::vector<std::pair<std::string, double>> out;
    // Vectors no section uses (yet, or any longer) are passed over: ask for more until enough.
    for (std::size_t want = k;; want = std::min(store.size(), want * 4)) {
        out.clear();
        for (const auto& [row, score] : store.top(q.data(), want)) {
            for (auto [it, to] = holders_.equal_range(store.keys()[row]); it != to && out.size() < k; ++it)
                out.emplace_back(*it->second, static_cast<double>(score));
        }
        if (out.size() >= k || want >= store.size()) break;
    }
    return out;
}

void SemanticIndex::start(std::function<bool()> settled) {
    std::lock_guard lk(worker_mu_);
    if (worker_.joinable()) return;
    stopping_ = false;
    stop_flag_ = false;
    worker_ = std::thread([this, settled = std::move(settled)] { run(settled); });
}

void SemanticIndex::stop() {
    {
        std::lock_guard lk(worker_mu_);
        stopping_ = true;
        stop_flag_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
}

void SemanticIndex::run(std::function<bool()> settled) {
    using namespace std::chrono_literals;
    bool failing = false, tidied = false;
    for (;;) {
        auto pause = 1000ms;
        try {
            if (!model_at_hand()) {
                pause = 5000ms;
            } else {
                follow();
                if (embed_some() > 0) {
                    pause = 0ms;
                } else if (!tidied && (!settled || settled())) {
                    // Once the index holds the whole project: vectors of sections gone before
                    // this start (or migrated for sections that changed) leave the store.
                    follow();
                    if (std::size_t n = drop_unused()) log_info("semantic: dropped %zu unused vectors", n);
                    tidied = true;
                }
            }
            failing = false;
        } catch (const std::exception& e) {
            if (!failing) log_warning("semantic: embedding in the background failed: %s", e.what());
            failing = true;
            pause = 30000ms;
        }
        std::unique_lock lk(worker_mu_);
        if (stopping_) return;
        if (pause.count() > 0 && wake_.wait_for(lk, pause, [&] { return stopping_; })) return;
    }
}

}  // namespace quillbox
