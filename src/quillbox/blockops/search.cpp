// Semantic search over every indexed block: through the host's embedding provider when one is
// installed, else through the local SemanticEngine and its vector store.

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cmath>
#include <stdexcept>
#include <system_error>

#include "quillbox/blockops.h"
#include "quillbox/detail/lines.h"
#include "quillbox/i18n.h"
#include "quillbox/semantic.h"
#include "quillbox/blockops/search.h"

namespace fs = std::filesystem;

namespace quillbox {

namespace {

struct Hit {
    std::string title;
    double score = 0;
    std::string snippet;
};

// Neumaier's compensated sum, fed one term at a time.
class CompensatedSum {
public:
    void add(double x) {
        const double t = sum_ + x;
        if (std::fabs(sum_) >= std::fabs(x))
            comp_ += (sum_ - t) + x;
        else
            comp_ += (x - t) + sum_;
        sum_ = t;
    }
    double value() const { return sum_ + comp_; }

private:
    double sum_ = 0.0;
    double comp_ = 0.0;
};

// The blocks of every indexed file, file by file in the order the database lists the files.
// A file that is gone since it was indexed is left out: its blocks no longer exist, and one
// stale entry must not make the whole search fail.
std::vector<Block> collect_all_blocks(Indexer& indexer) {
    std::vector<Block> all;
    for (const fs::path& fp : indexer.indexed_files()) {
        std::error_code ec;
        if (!fs::exists(fp, ec) && !ec) {
            log_warning("search_blocks: %s is indexed but no longer exists; its blocks are left out", fp.c_str());
            continue;
        }
        auto blocks = indexer.list_blocks(fp);
        all.insert(all.end(), std::make_move_iterator(blocks.begin()), std::make_move_iterator(blocks.end()));
    }
    return all;
}

// The lines of one file, read once for all of its blocks (the blocks come file by file).
class LineSource {
public:
    // Lines start..end (1-based, inclusive) of the block's file, at most `limit` of them,
    // with the range clamped as read_lines clamps it.
    std::vector<std::string> lines(const Block& b, std::size_t limit = SIZE_MAX) {
        if (!loaded_ || b.file_path != file_) {
            lines_ = read_lines(b.file_path, 1, LONG_MAX);
            file_ = b.file_path;
            loaded_ = true;
        }
        const std::size_t n = lines_.size();
        std::size_t first = b.start_line <= 1 ? 0 : static_cast<std::size_t>(b.start_line - 1);
        std::size_t last = b.end_line <= 0 ? 0 : std::min(static_cast<std::size_t>(b.end_line), n);
        if (first > last) first = last;
        last = std::min(last, first + std::min(limit, n));
        return {lines_.begin() + static_cast<std::ptrdiff_t>(first), lines_.begin() + static_cast<std::ptrdiff_t>(last)};
    }

private:
    bool loaded_ = false;
    fs::path file_;
    std::vector<std::string> lines_;
};

std::vector<Hit> search_with_engine(Indexer& indexer, const fs::path& data_dir, std::string_view query) {
    // The host's configuration names the model (QUILLBOX_SEMANTIC_MODEL still wins, as in the engine).
    std::optional<std::string> model;
    if (const char* env = std::getenv("QUILLBOX_SEMANTIC_MODEL"); !(env && *env)) {
        std::string configured = get_config("semantic.model");
        if (AVAILABLE_MODELS.count(configured)) model = std::move(configured);
    }
    SemanticEngine engine(data_dir / "vectors", model);
    if (engine.size() == 0) {
        // Encoded in batches, a group of blocks at a time to keep the read contents small.
        const std::vector<Block> blocks = collect_all_blocks(indexer);
        constexpr std::size_t group = 512;
        LineSource source;
        std::vector<BlockToIndex> batch;
        for (std::size_t start = 0; start < blocks.size(); start += group) {
            batch.clear();
            for (std::size_t i = start; i < std::min(blocks.size(), start + group); ++i) {
                const Block& b = blocks[i];
                batch.push_back({b.uuid, b.title, detail::join_lines(source.lines(b)), b.content_hash});
            }
            engine.index_blocks(batch);
        }
        engine._save_vectors();
    }
    std::vector<Hit> hits;
    for (auto& r : engine.search(query, 3)) hits.push_back({std::move(r.title), r.score, std::move(r.snippet)});
    return hits;
}

std::vector<Hit> search_with_provider(Indexer& indexer, EmbeddingProvider& provider, std::string_view query,
                                      bool& no_blocks) {
    std::vector<Block> blocks = collect_all_blocks(indexer);
    if (blocks.empty()) {
        no_blocks = true;
        return {};
    }
    std::vector<std::string> texts;
    texts.reserve(blocks.size());
    for (const auto& b : blocks) texts.push_back(b.title);

    auto query_vecs = provider.encode({std::string(query)});
    if (query_vecs.empty()) throw std::runtime_error("the embedding provider returned no vector for the query");
    auto corpus = provider.encode(texts);
    if (corpus.size() != texts.size())
        throw std::runtime_error("the embedding provider returned " + std::to_string(corpus.size()) +
                                 " vectors for " + std::to_string(texts.size()) + " block titles");

    std::vector<std::pair<double, std::size_t>> scored;
    scored.reserve(blocks.size());
    for (std::size_t i = 0; i < blocks.size(); ++i)
        scored.emplace_back(_cosine_similarity(query_vecs.front(), corpus[i]), i);
    std::stable_sort(scored.begin(), scored.end(),
                     [](const auto& x, const auto& y) { return x.first > y.first; });

    std::vector<Hit> hits;
    LineSource source;
    for (std::size_t k = 0; k < scored.size() && k < 3; ++k) {
        const Block& b = blocks[scored[k].second];
        hits.push_back({b.title, scored[k].first, detail::join_lines(source.lines(b, 3))});
    }
    return hits;
}

// score x 100, rounded half to even, as a whole number with "%".
std::string percent(double score) {
    const double scaled = std::nearbyint(score * 100.0);
    const long long whole = std::isfinite(scaled) ? static_cast<long long>(scaled) : 0;
    return std::to_string(whole) + "%";
}

}  // namespace

double _cosine_similarity(const std::vector<double>& a, const std::vector<double>& b) {
    CompensatedSum dot, sq_a, sq_b;
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t k = 0; k < n; ++k) dot.add(a[k] * b[k]);
    for (double x : a) sq_a.add(x * x);
    for (double x : b) sq_b.add(x * x);
    const double norm_a = std::sqrt(sq_a.value());
    const double norm_b = std::sqrt(sq_b.value());
    if (norm_a == 0.0 || norm_b == 0.0) return 0.0;
    return dot.value() / (norm_a * norm_b);
}

Reply do_search_blocks(Indexer& indexer, const fs::path& data_dir, std::string_view query) {
    const std::string q(query);
    log_debug("search_blocks: '%s'", q.c_str());

    std::vector<Hit> hits;
    if (auto provider = get_provider()) {
        bool no_blocks = false;
        hits = search_with_provider(indexer, *provider, query, no_blocks);
        if (no_blocks) return get_message("search_no_results", {{"query", q}});
    } else {
        // The engine is always built in; the configuration can still switch it off.
        if (get_config("semantic.backend") == "none") {
            log_warning("Semantic engine not available");
            return Reply::refusal(std::string(SEMANTIC_NOT_ENABLED));
        }
        hits = search_with_engine(indexer, data_dir, query);
    }
    if (hits.empty()) return get_message("search_no_results", {{"query", q}});

    std::string out = "Search '" + q + "':";
    for (const auto& h : hits) {
        const char* confidence = h.score > 0.7 ? "high" : h.score > 0.5 ? "medium" : "low";
        out += "\n  [";
        out += confidence;
        out += "] " + h.title + " (score=" + percent(h.score) + ")";
        if (h.score < 0.7) out += get_message("search_low_confidence", {{"score", h.score}});
        out += "\n    " + h.snippet;
    }
    return out;
}

}  // namespace quillbox
