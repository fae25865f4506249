// md_search_blocks through an embedding provider over 10,000 indexed blocks (100 files of 100
// sections): collecting every block from the index, scoring all titles, ranking, and reading
// the snippets of the top three. The provider hands out precomputed 384-number vectors, so the
// figure is the operation's own cost (a real endpoint adds its embedding time). Also one
// 384-number cosine similarity, and what the server's vectors pay to open and follow the index.

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <unordered_map>

#include "common.h"
#include "quillbox/blockops.h"
#include "quillbox/blockops/search.h"
#include "quillbox/blockops/semantic_index.h"
#include "quillbox/semantic.h"

namespace fs = std::filesystem;
using namespace quillbox;

namespace {

constexpr int DIM = 384;

std::vector<double> random_unit(std::mt19937& rng) { return qbbench::random_unit<double>(rng, DIM); }

class TableProvider : public EmbeddingProvider {
public:
    std::unordered_map<std::string, std::vector<double>> table;
    std::vector<std::vector<double>> encode(const std::vector<std::string>& texts) override {
        std::vector<std::vector<double>> out;
        out.reserve(texts.size());
        for (const auto& t : texts) out.push_back(table.at(t));
        return out;
    }
};

struct Index {
    qbbench::TempDir dir{"qb-bench-search"};
    std::unique_ptr<FileWatcher> watcher = std::make_unique<FileWatcher>(dir.path, [](const fs::path&) {});
    std::unique_ptr<SafetyEngine> safety = std::make_unique<SafetyEngine>(dir.path / "backups", &watcher->file_writes());
    std::unique_ptr<Indexer> indexer;
    std::unique_ptr<Session> session;
    std::shared_ptr<TableProvider> provider = std::make_shared<TableProvider>();

    Index() {
        set_log_level(LogLevel::error);
        indexer = std::make_unique<Indexer>(dir.path / "index.db");
        std::mt19937 rng(42);
        for (int f = 0; f < 100; ++f) {
            fs::path file = dir.path / ("doc" + std::to_string(f) + ".md");
            qbbench::write_file(file, qbbench::sectioned_doc(
                                          100, 6,
                                          [&](int i) { return "## Topic " + std::to_string(f) + "." + std::to_string(i); },
                                          [](int i, int k) {
                                              return "Line " + std::to_string(k) + " about topic " + std::to_string(i) +
                                                     ": lorem ipsum dolor sit amet.";
                                          }));
            indexer->index_file(file);
            for (int i = 0; i < 100; ++i)
                provider->table["Topic " + std::to_string(f) + "." + std::to_string(i)] = random_unit(rng);
        }
        provider->table["where is the topic"] = random_unit(rng);
        session = std::make_unique<Session>(*indexer, *watcher, *safety);
        session->data_dir = dir.path;
        session->embeddings = provider;
    }
};

void BM_SearchThroughProvider10k(benchmark::State& state) {
    Index idx;
    for (auto _ : state) benchmark::DoNotOptimize(do_search_blocks(*idx.session, "where is the topic"));
    state.counters["blocks"] = 10000;
}
BENCHMARK(BM_SearchThroughProvider10k)->Unit(benchmark::kMillisecond);

// A store of 10,000 vectors matching the index: nothing to encode.
struct LocalStore : Index {
    fs::path vectors = dir.path / "vectors";
    LocalStore() {
        std::mt19937 rng(7);
        VectorStore store(SemanticEngine::store_file(vectors, "all-MiniLM-L6-v2"), DIM);
        std::vector<VectorKey> keys;
        std::vector<std::vector<float>> vecs;
        for (const auto& file : indexer->indexed_files()) {
            for (const auto& b : indexer->list_blocks(file)) {
                keys.push_back(vector_key(b.content_hash));
                const auto v = random_unit(rng);
                vecs.emplace_back(v.begin(), v.end());
            }
        }
        store.put(keys, vecs);
    }
};

// What a server's first search pays before its query: the store opened and the index's
// sections mirrored.
void BM_LocalStoreOpenAndFollowIndex10k(benchmark::State& state) {
    LocalStore store;
    for (auto _ : state) {
        SemanticIndex vectors(*store.indexer, store.vectors, "all-MiniLM-L6-v2");
        const auto p = vectors.follow();
        if (p.embedded != p.total) state.SkipWithError("the store did not match the index");
    }
}
BENCHMARK(BM_LocalStoreOpenAndFollowIndex10k)->Unit(benchmark::kMillisecond);

// What every later search pays to follow the index when nothing changed.
void BM_LocalFollowUnchanged10k(benchmark::State& state) {
    LocalStore store;
    SemanticIndex vectors(*store.indexer, store.vectors, "all-MiniLM-L6-v2");
    vectors.follow();
    for (auto _ : state) benchmark::DoNotOptimize(vectors.follow());
}
BENCHMARK(BM_LocalFollowUnchanged10k)->Unit(benchmark::kMicrosecond);

void BM_CosineSimilarity384(benchmark::State& state) {
    std::mt19937 rng(1);
    auto a = random_unit(rng), b = random_unit(rng);
    for (auto _ : state) benchmark::DoNotOptimize(_cosine_similarity(a, b));
}
BENCHMARK(BM_CosineSimilarity384);

}  // namespace

BENCHMARK_MAIN();
