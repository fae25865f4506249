// md_search_blocks through an embedding provider over 10,000 indexed blocks (100 files of 100
// sections): collecting every block from the index, scoring all titles, ranking, and reading
// the snippets of the top three. The provider hands out precomputed 384-number vectors, so the
// figure is the operation's own cost (a real endpoint adds its embedding time). Also one
// 384-number cosine similarity.

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <unordered_map>

#include "common.h"
#include "quillbox/blockops.h"
#include "quillbox/blockops/search.h"

namespace fs = std::filesystem;
using namespace quillbox;

namespace {

constexpr int DIM = 384;

std::vector<double> random_unit(std::mt19937& rng) {
    std::normal_distribution<double> n;
    std::vector<double> v(DIM);
    double norm = 0;
    for (auto& x : v) {
        x = n(rng);
        norm += x * x;
    }
    for (auto& x : v) x /= std::sqrt(norm);
    return v;
}

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
    std::unique_ptr<Indexer> indexer;
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
        set_embedding_provider(provider);
    }
    ~Index() { set_embedding_provider(nullptr); }
};

void BM_SearchThroughProvider10k(benchmark::State& state) {
    Index idx;
    for (auto _ : state) benchmark::DoNotOptimize(do_search_blocks(*idx.indexer, idx.dir.path, "where is the topic"));
    state.counters["blocks"] = 10000;
}
BENCHMARK(BM_SearchThroughProvider10k)->Unit(benchmark::kMillisecond);

void BM_CosineSimilarity384(benchmark::State& state) {
    std::mt19937 rng(1);
    auto a = random_unit(rng), b = random_unit(rng);
    for (auto _ : state) benchmark::DoNotOptimize(_cosine_similarity(a, b));
}
BENCHMARK(BM_CosineSimilarity384);

}  // namespace

BENCHMARK_MAIN();
