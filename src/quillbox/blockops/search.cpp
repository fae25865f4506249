// Semantic search over every indexed block: through the host's embedding provider when one is
// installed, else through the local SemanticEngine and its vector store.

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cmath>
#include <functional>
#include <stdexcept>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "quillbox/blockops.h"
#include "quillbox/detail/file_key.h"
#include "quillbox/detail/lines.h"
#include "quillbox/i18n.h"
#include "quillbox/rulefile.h"  // only the section's heading text
#include "quillbox/semantic.h"
#include "quillbox/blockops/pages.h"
#include "quillbox/blockops/search.h"
#include "quillbox/blockops/semantic_index.h"
#include "quillbox/detail/utf8.h"

namespace fs = std::filesystem;

namespace quillbox {

namespace {

// What one result may show of its title and excerpt: three results stay far under any budget.
constexpr std::size_t SEARCH_TITLE_CHARS = 200, SEARCH_SNIPPET_CHARS = 300;

// What a result of the vectors shows of its section's text.
constexpr std::size_t SNIPPET_CHARS = 100;

// First `n` code points of valid UTF-8.
std::string first_chars(std::string_view s, std::size_t n) {
    std::size_t count = 0, i = 0;
    for (; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            if (count == n) break;
            ++count;
        }
    }
    return std::string(s.substr(0, i));
}

double round4(double v) { return std::round(v * 10000.0) / 10000.0; }

struct Hit {
    std::string title;
    double score = 0;
    std::string snippet;
    std::string file;  // as shown: relative to the project root when inside it
    std::string id;
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

// The titles of the rules section that `install` writes into CLAUDE.md, in either language.
constexpr std::string_view RULES_TITLE = SECTION_MARKER.substr(SECTION_MARKER.find(' ') + 1);
constexpr std::string_view RULES_TITLE_EN = SECTION_MARKER_EN.substr(SECTION_MARKER_EN.find(' ') + 1);

// Whether a block of CLAUDE.md belongs to the rules section (its heading or a subsection):
// `blocks` are the file's blocks in document order.
bool in_rules_section(const std::vector<Block>& blocks, const std::string& id) {
    int rules_level = 0;  // > 0: inside the rules section, whose heading has this level
    for (const auto& b : blocks) {
        bool inside = false;
        if (rules_level > 0 && b.level > rules_level) {
            inside = true;
        } else {
            rules_level = 0;
            const std::string_view title(b.title);
            if (title.starts_with(RULES_TITLE) || title.starts_with(RULES_TITLE_EN)) {
                rules_level = std::max(b.level, 1);
                inside = true;
            }
        }
        if (b.uuid == id) return inside;
    }
    return false;
}

// The blocks of every indexed file, file by file in the order the database lists the files.
// A file that is gone since it was indexed is left out: its blocks no longer exist, and one
// stale entry must not make the whole search fail. The rules section of CLAUDE.md (with its
// subsections) is left out too: it tells the agent how to use these tools and would otherwise
// turn up as the answer to every vague query.
std::vector<Block> searchable_blocks(Indexer& indexer) {
    std::vector<Block> all;
    for (const fs::path& fp : indexer.indexed_files()) {
        std::error_code ec;
        if (!fs::exists(fp, ec) && !ec) {
            log_warning("search_blocks: %s is indexed but no longer exists; its blocks are left out", fp.c_str());
            continue;
        }
        auto blocks = indexer.list_blocks(fp);
        const bool rules_file = fp.filename() == "CLAUDE.md";
        for (auto& b : blocks) {
            if (rules_file && in_rules_section(blocks, b.uuid)) continue;
            all.push_back(b);
        }
    }
    return all;
}

// The same rule for one block a keyword search found: the files are looked at once each.
class Searchable {
public:
    explicit Searchable(Indexer& indexer) : indexer_(indexer) {}
    bool operator()(const Block& b) {
        const std::string key = b.file_path.string();
        auto it = files_.find(key);
        if (it == files_.end()) {
            std::error_code ec;
            File f;
            f.exists = fs::exists(b.file_path, ec) || ec;
            if (f.exists && b.file_path.filename() == "CLAUDE.md") f.blocks = indexer_.list_blocks(b.file_path);
            it = files_.emplace(key, std::move(f)).first;
        }
        if (!it->second.exists) return false;
        return it->second.blocks.empty() || !in_rules_section(it->second.blocks, b.uuid);
    }

private:
    struct File {
        bool exists = true;
        std::vector<Block> blocks;  // of CLAUDE.md only
    };
    Indexer& indexer_;
    std::unordered_map<std::string, File> files_;
};

// Where results name their files from: the project root of the session's path resolver, else
// the folder that holds the data directory.
fs::path project_root(const Session& session) {
    const fs::path& data_dir = session.data_dir;
    if (auto r = std::dynamic_pointer_cast<const ProjectPathResolver>(session.paths)) return r->root();
    std::error_code ec;
    return fs::weakly_canonical(fs::absolute(data_dir, ec).parent_path(), ec);
}

// The path the agent passes back as file_path: relative to the root when inside it.
std::string shown_path(const fs::path& file, const fs::path& root) {
    if (!root.empty() && detail::path_within(file, root)) return file.lexically_relative(root).generic_string();
    return file.string();
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

// The local model the search uses: QUILLBOX_SEMANTIC_MODEL, else the host's configuration,
// else what the engine reads from the data directory. None: the engine decides.
std::optional<std::string> configured_model(const ConfigSource& config) {
    if (const char* env = std::getenv("QUILLBOX_SEMANTIC_MODEL"); env && *env && AVAILABLE_MODELS.count(env))
        return std::nullopt;  // the engine reads it itself
    std::string configured = config.get("semantic.model");
    if (AVAILABLE_MODELS.count(configured)) return configured;
    return std::nullopt;
}

std::string local_model_name(const Session& session) {
    if (const char* env = std::getenv("QUILLBOX_SEMANTIC_MODEL"); env && *env && AVAILABLE_MODELS.count(env))
        return env;
    if (auto m = configured_model(*session.config)) return *m;
    try {
        return SemanticEngine::_load_config(session.data_dir / "vectors");
    } catch (const std::exception&) {
        return AVAILABLE_MODELS.begin()->first;
    }
}

// The sections closest in meaning to `query` among those with a vector, as result lines:
// sections of files that are gone and the rules section of CLAUDE.md are passed over.
std::vector<Hit> search_with_vectors(Session& session, SemanticIndex& vectors, std::string_view query,
                                     std::size_t depth) {
    const fs::path root = project_root(session);
    Searchable keep(session.index);
    std::vector<Hit> hits;
    for (auto& [id, score] : vectors.nearest(query, depth * 2)) {
        auto b = session.index.get_block(id);
        if (!b || !keep(*b)) continue;  // gone since the last look, or not searched
        hits.push_back({b->title, round4(score), {}, shown_path(b->file_path, root), std::move(id)});
        if (hits.size() == depth) break;
    }
    std::vector<std::string> ids;
    for (const auto& h : hits) ids.push_back(h.id);
    std::unordered_map<std::string, std::string> start;
    for (auto& t : session.index.section_texts(ids, SNIPPET_CHARS + 1)) start[t.id] = std::move(t.text);
    for (auto& h : hits) {
        std::string& text = start[h.id];
        h.snippet = detail::code_point_count(text) > SNIPPET_CHARS ? first_chars(text, SNIPPET_CHARS) + "..." : text;
    }
    return hits;
}

// The vectors of `texts` (one per text), asking the provider only for texts the cache in the
// data directory does not hold under the provider's key. Without a key nothing is kept.
std::vector<std::vector<double>> title_vectors(EmbeddingProvider& provider, const fs::path& data_dir,
                                               const std::vector<std::string>& texts) {
    auto check = [](std::size_t got, std::size_t asked) {
        if (got != asked)
            throw std::runtime_error("the embedding provider returned " + std::to_string(got) + " vectors for " +
                                     std::to_string(asked) + " block titles");
    };
    const std::string key = provider.cache_key();
    if (key.empty()) {
        auto corpus = provider.encode(texts);
        check(corpus.size(), texts.size());
        return corpus;
    }
    TextVectorCache cache(data_dir / "vectors" / "provider_titles.json", key);
    std::vector<std::string> missing;
    std::unordered_set<std::string_view> asked;
    for (const auto& t : texts)
        if (!cache.find(t) && asked.insert(t).second) missing.push_back(t);
    if (!missing.empty()) {
        auto fresh = provider.encode(missing);
        check(fresh.size(), missing.size());
        for (std::size_t i = 0; i < missing.size(); ++i) cache.put(missing[i], std::move(fresh[i]));
    }
    std::vector<std::vector<double>> corpus;
    corpus.reserve(texts.size());
    for (const auto& t : texts) corpus.push_back(*cache.find(t));
    cache.retain(texts);
    try {
        cache.save();
    } catch (const std::exception& e) {
        // The answer is complete without it; the next search asks the provider again.
        log_warning("search_blocks: cannot save the title vectors: %s", e.what());
    }
    return corpus;
}

std::vector<Hit> search_with_provider(Session& session, EmbeddingProvider& provider, std::string_view query,
                                      std::size_t depth, bool& no_blocks) {
    std::vector<Block> blocks = searchable_blocks(session.index);
    if (blocks.empty()) {
        no_blocks = true;
        return {};
    }
    std::vector<std::string> texts;
    texts.reserve(blocks.size());
    for (const auto& b : blocks) texts.push_back(b.title);

    auto query_vecs = provider.encode({std::string(query)});
    if (query_vecs.empty()) throw std::runtime_error("the embedding provider returned no vector for the query");
    const auto corpus = title_vectors(provider, session.data_dir, texts);

    std::vector<std::pair<double, std::size_t>> scored;
    scored.reserve(blocks.size());
    for (std::size_t i = 0; i < blocks.size(); ++i)
        scored.emplace_back(_cosine_similarity(query_vecs.front(), corpus[i]), i);
    std::stable_sort(scored.begin(), scored.end(),
                     [](const auto& x, const auto& y) { return x.first > y.first; });

    std::vector<Hit> hits;
    LineSource source;
    const fs::path root = project_root(session);
    for (std::size_t k = 0; k < scored.size() && k < depth; ++k) {
        const Block& b = blocks[scored[k].second];
        hits.push_back({b.title, scored[k].first, detail::join_lines(source.lines(b, 3)),
                        shown_path(b.file_path, root), b.uuid});
    }
    return hits;
}

// How many candidates each ranking hands to the fusion, and the constant of reciprocal rank
// fusion (a section's fused score is the sum of score / (RRF_K + rank) over the rankings).
constexpr std::size_t FUSION_DEPTH = 30;
constexpr double RRF_K = 60.0;
constexpr std::size_t RESULTS = 3;

Hit keyword_hit(KeywordHit&& k, const fs::path& root) {
    return {std::move(k.block.title), k.coverage, std::move(k.excerpt), shown_path(k.block.file_path, root),
            std::move(k.block.uuid)};
}

// The keyword and vector rankings merged by reciprocal rank fusion, each rank weighted by its
// hit's score (the share of the query's words it holds, or its similarity): on a small project
// every section is among the nearest by meaning, and a bare rank would let one common word in a
// section outweigh the section whose meaning matches best. A section both found keeps the
// excerpt around the query's words and the better of its two scores.
std::vector<Hit> fuse(std::vector<Hit> keyword, std::vector<Hit> vector) {
    struct Entry {
        Hit hit;
        double fused = 0;
        std::size_t best_rank = SIZE_MAX;
    };
    std::vector<Entry> entries;
    std::unordered_map<std::string, std::size_t> at;
    auto add = [&](std::vector<Hit>& list) {
        for (std::size_t r = 0; r < list.size(); ++r) {
            auto [it, fresh] = at.try_emplace(list[r].id, entries.size());
            if (fresh) entries.push_back({std::move(list[r])});
            Entry& e = entries[it->second];
            // The keyword ranking comes first: a section both found keeps its excerpt.
            if (!fresh) e.hit.score = std::max(e.hit.score, list[r].score);
            e.fused += std::clamp(list[r].score, 0.0, 1.0) / (RRF_K + static_cast<double>(r + 1));
            e.best_rank = std::min(e.best_rank, r);
        }
    };
    add(keyword);
    add(vector);
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.fused != b.fused) return a.fused > b.fused;
        return a.best_rank < b.best_rank;
    });
    std::vector<Hit> out;
    for (auto& e : entries) out.push_back(std::move(e.hit));
    return out;
}

// score x 100, rounded half to even, as a whole number with "%".
std::string percent(double score) {
    const double scaled = std::nearbyint(score * 100.0);
    const long long whole = std::isfinite(scaled) ? static_cast<long long>(scaled) : 0;
    return std::to_string(whole) + "%";
}

}  // namespace

namespace {

// 1234567 as "1,234,567".
std::string grouped(std::size_t n) {
    std::string digits = std::to_string(n), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) out.push_back(',');
        out.push_back(digits[i]);
    }
    return out;
}

}  // namespace

std::string embedding_progress_note(const SemanticIndex::Progress& p) {
    return get_message("semantic_embedding_progress", {{"embedded", grouped(p.embedded)}, {"total", grouped(p.total)}});
}

std::string semantic_not_enabled(std::string_view model) {
    return get_message("semantic_not_enabled", {{"model", model}});
}

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

Reply do_search_blocks(Session& session, std::string_view query, std::optional<EmbeddingShown>* embedding) {
    const std::string q(query);
    log_debug("search_blocks: '%s'", q.c_str());

    // Vectors when a model is at hand: the session's provider, or the local model once it is on
    // this machine (a search never waits for a download). Keywords always.
    std::vector<Hit> by_meaning;
    bool semantic = false;
    std::string note;
    if (EmbeddingProvider* provider = session.embeddings.get()) {
        bool no_blocks = false;
        by_meaning = search_with_provider(session, *provider, query, FUSION_DEPTH, no_blocks);
        if (no_blocks) return get_message("search_no_results", {{"query", q}});
        semantic = true;
    } else if (session.setting("semantic.backend") != "none") {
        if (SemanticIndex* vectors = session.vectors.get()) {
            // The server embeds in the background: what has a vector is searched now, the
            // rest by its words alone, and the answer says how far embedding got.
            const bool at_hand = vectors->model_at_hand();
            // A store opens in a fraction of a second (0.3 s at 250,000 sections): the first
            // search after a start waits for it, but not for a migration of an old store.
            if (at_hand && !vectors->open(std::chrono::milliseconds(900))) {
                // The worker is still reading (or migrating) the store.
                const auto sections = session.index.section_count();
                if (sections > 0) {
                    note = get_message("semantic_vectors_loading", {{"total", grouped(sections)}});
                    if (embedding) *embedding = EmbeddingShown{0, sections};
                }
            } else if (at_hand) {
                const SemanticIndex::Progress p = vectors->follow();
                if (p.embedded > 0) {
                    by_meaning = search_with_vectors(session, *vectors, query, FUSION_DEPTH);
                    semantic = true;
                }
                if (p.embedded < p.total) {
                    note = embedding_progress_note(p);
                    if (embedding) *embedding = EmbeddingShown{p.embedded, p.total};
                }
            }
        } else if (find_model_dir(local_model_name(session))) {
            SemanticIndex own(session.index, session.data_dir / "vectors", configured_model(*session.config));
            own.embed_all();
            by_meaning = search_with_vectors(session, own, query, FUSION_DEPTH);
            semantic = true;
        }
    }
    Searchable keep(session.index);
    const std::size_t depth = semantic ? FUSION_DEPTH : RESULTS;
    std::vector<Hit> by_words;
    const fs::path root = project_root(session);
    for (auto& k : session.index.search_sections(query, depth, depth, std::ref(keep))) by_words.push_back(keyword_hit(std::move(k), root));
    std::vector<Hit> hits = semantic ? fuse(std::move(by_words), std::move(by_meaning)) : std::move(by_words);
    if (hits.size() > RESULTS) hits.resize(RESULTS);
    if (hits.empty()) {
        std::string none = get_message("search_no_results", {{"query", q}});
        return note.empty() ? none : none + "\n\n" + note;
    }

    std::string out = "Search '" + q + "':";
    for (const auto& h : hits) {
        const char* confidence = h.score > 0.7 ? "high" : h.score > 0.5 ? "medium" : "low";
        out += "\n  [";
        out += confidence;
        out += "] " + shortened(h.title, SEARCH_TITLE_CHARS) + " (score=" + percent(h.score) + ")";
        // Where the block is, in the form the other tools take: file_path and block_id.
        out += " file=\"" + h.file + "\" id=\"" + h.id + "\"";
        if (h.score < 0.7) out += get_message("search_low_confidence", {{"score", h.score}});
        out += "\n    " + shortened(h.snippet, SEARCH_SNIPPET_CHARS);
    }
    if (!note.empty()) out += "\n\n" + note;
    return out;
}

}  // namespace quillbox
