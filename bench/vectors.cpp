// Vector search at scale: 250,000 float32 vectors of 384 dimensions. The store's query (an int8
// scan of every row and a float re-rank of the candidates) beside its float path (every row
// scored in float) and the least work, a bare BLAS product and partial sort over the same
// matrix; where the int8 scan starts to pay, by rows and by k; the bytes the store's file takes
// per section and the memory it holds; and a server's first search after a start over an index
// of 250,000 sections whose vectors are stored (the store read, the sections mirrored, the query
// scored).

#include <benchmark/benchmark.h>
#include <cblas.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numeric>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "common.h"
#include "quillbox/blockops/semantic_index.h"
#include "quillbox/indexer.h"
#include "quillbox/log.h"
#include "quillbox/semantic.h"
#include "quillbox/semantic/int8.h"

namespace fs = std::filesystem;
using namespace quillbox;

namespace {

constexpr std::size_t DIM = 384;
constexpr std::size_t ROWS = 250000;
constexpr std::size_t K = 20;

std::vector<float> unit_vector(std::mt19937& rng) { return qbbench::random_unit<float>(rng, DIM); }

// The server's resident memory in MiB.
double resident_mib() { return qbbench::status_mib("VmRSS"); }

struct Fixture {
    qbtest::TempDir dir{"qb-bench-vectors"};
    std::unique_ptr<VectorStore> store;
    std::vector<float> query;
    std::vector<float> matrix;  // the store's rows, for the bare product
    double seconds_to_write = 0, store_mib = 0;
    Fixture() {
        std::mt19937 rng(1);
        const double before = resident_mib();
        store = std::make_unique<VectorStore>(dir.path / "vectors" / "bench.qbv", DIM);
        const auto t0 = std::chrono::steady_clock::now();
        for (std::size_t at = 0; at < ROWS; at += 1000) {
            std::vector<VectorKey> keys;
            std::vector<std::vector<float>> vecs;
            for (std::size_t i = at; i < at + 1000; ++i) {
                keys.push_back(vector_key(std::to_string(i)));
                vecs.push_back(unit_vector(rng));
            }
            store->put(keys, vecs);
        }
        seconds_to_write = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        store_mib = resident_mib() - before;  // the int8 copy, the keys, where each row lies
        query = unit_vector(rng);
        matrix = store->matrix();
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_StoreQuery(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) benchmark::DoNotOptimize(f.store->top(f.query.data(), K));
    state.counters["bytes_per_section"] = static_cast<double>(f.store->file_bytes()) / static_cast<double>(ROWS);
    state.counters["raw_bytes_per_section"] = DIM * sizeof(float);
    state.counters["write_s"] = f.seconds_to_write;
    state.counters["store_mib"] = f.store_mib;
}
BENCHMARK(BM_StoreQuery)->Unit(benchmark::kMillisecond);

// The two ways the store scores, each on its own, for k = K and for larger k up to a quarter of
// the rows (where an int8 scan has many candidates to re-rank).
void BM_StoreQueryBy(benchmark::State& state) {
    Fixture& f = fixture();
    const auto how = state.range(0) ? VectorStore::Scoring::int8 : VectorStore::Scoring::float32;
    const auto k = static_cast<std::size_t>(state.range(1));
    for (auto _ : state) benchmark::DoNotOptimize(f.store->top(f.query.data(), k, how));
    state.SetLabel(state.range(0) ? "int8" : "float32");
}
BENCHMARK(BM_StoreQueryBy)
    ->ArgsProduct({{0, 1}, {static_cast<long>(K), 1000, static_cast<long>(ROWS / 64), static_cast<long>(ROWS / 16), static_cast<long>(ROWS / 8),
                            static_cast<long>(ROWS / 4)}})
    ->Unit(benchmark::kMillisecond);

// The int8 query without the store around it, over the fixture's matrix quantised here: how
// many rows it scores in float (the candidates whose bound reaches the k-th best).
void BM_Int8Rescored(benchmark::State& state) {
    Fixture& f = fixture();
    static std::vector<std::int8_t> q;
    static std::vector<int8::RowBound> bounds;
    if (bounds.empty()) {
        const std::size_t width = int8::stride(DIM);
        q.resize(ROWS * width);
        bounds.resize(ROWS);
        for (std::size_t r = 0; r < ROWS; ++r) bounds[r] = int8::quantise(f.matrix.data() + r * DIM, DIM, q.data() + r * width);
    }
    const auto k = static_cast<std::size_t>(state.range(0));
    std::size_t rescored = 0;
    auto row = [&](std::size_t r, float* out) { std::copy_n(f.matrix.data() + r * DIM, DIM, out); };
    for (auto _ : state)
        benchmark::DoNotOptimize(int8::top(row, q.data(), bounds.data(), ROWS, DIM, f.query.data(), k, &rescored));
    state.counters["rescored"] = static_cast<double>(rescored);
}
BENCHMARK(BM_Int8Rescored)->Arg(1)->Arg(K)->Arg(1000)->Unit(benchmark::kMillisecond);

// Where the int8 scan starts to pay: both ways over smaller stores.
void BM_SmallStoreQueryBy(benchmark::State& state) {
    static std::map<std::size_t, std::unique_ptr<VectorStore>> stores;
    static qbtest::TempDir dir{"qb-bench-small-vectors"};
    const auto rows = static_cast<std::size_t>(state.range(1));
    auto& store = stores[rows];
    std::mt19937 rng(2);
    if (!store) {
        store = std::make_unique<VectorStore>(dir.path / (std::to_string(rows) + ".qbv"), DIM);
        std::vector<VectorKey> keys;
        std::vector<std::vector<float>> vecs;
        for (std::size_t i = 0; i < rows; ++i) {
            keys.push_back(vector_key(std::to_string(i)));
            vecs.push_back(unit_vector(rng));
        }
        store->put(keys, vecs);
    }
    const std::vector<float> query = unit_vector(rng);
    const auto how = state.range(0) ? VectorStore::Scoring::int8 : VectorStore::Scoring::float32;
    for (auto _ : state) benchmark::DoNotOptimize(store->top(query.data(), K, how));
    state.SetLabel(state.range(0) ? "int8" : "float32");
}
BENCHMARK(BM_SmallStoreQueryBy)
    ->ArgsProduct({{0, 1}, {25, 100, 250, 1000, 4000, 16000, 64000}})
    ->Unit(benchmark::kMicrosecond);

void BM_StoreReopen(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) benchmark::DoNotOptimize(VectorStore(f.dir.path / "vectors" / "bench.qbv", DIM).size());
}
BENCHMARK(BM_StoreReopen)->Unit(benchmark::kMillisecond)->Iterations(3);

// The least work: one product and a partial sort over the same matrix, nothing else.
void BM_BareProductAndPartialSort(benchmark::State& state) {
    Fixture& f = fixture();
    std::vector<float> scores(ROWS);
    std::vector<std::uint32_t> order(ROWS);
    for (auto _ : state) {
        cblas_sgemv(CblasRowMajor, CblasNoTrans, static_cast<int>(ROWS), static_cast<int>(DIM), 1.0f, f.matrix.data(),
                    static_cast<int>(DIM), f.query.data(), 1, 0.0f, scores.data(), 1);
        std::iota(order.begin(), order.end(), 0u);
        std::partial_sort(order.begin(), order.begin() + K, order.end(),
                          [&](std::uint32_t a, std::uint32_t b) { return scores[a] > scores[b]; });
        benchmark::DoNotOptimize(order.data());
    }
}
BENCHMARK(BM_BareProductAndPartialSort)->Unit(benchmark::kMillisecond);


// An index of 250,000 sections (10,000 files of 25) whose vectors a finished embedding stored.
struct Indexed {
    qbtest::TempDir dir{"qb-bench-first-search"};
    std::unique_ptr<Indexer> indexer;
    fs::path vectors = dir.path / "vectors";
    std::vector<float> query;
    double seconds_to_index = 0, seconds_to_embed = 0;

    static BatchEncoder random_encoder() {
        return [](const std::vector<std::string>& texts) {
            std::mt19937 rng(static_cast<unsigned>(std::hash<std::string>{}(texts.front())));
            std::vector<std::vector<float>> out;
            for (std::size_t i = 0; i < texts.size(); ++i) out.push_back(unit_vector(rng));
            return out;
        };
    }

    Indexed() {
        set_log_level(LogLevel::error);
        indexer = std::make_unique<Indexer>(dir.path / "index.db");
        std::vector<fs::path> files;
        for (int f = 0; f < 10000; ++f) {
            fs::path file = dir.path / ("doc" + std::to_string(f) + ".md");
            qbbench::write_file(file, qbbench::sectioned_doc(
                                          25, 3, [&](int i) { return "## Topic " + std::to_string(f) + "." + std::to_string(i); },
                                          [&](int i, int k) {
                                              return "Line " + std::to_string(k) + " of topic " + std::to_string(f) + "." +
                                                     std::to_string(i) + ": lorem ipsum dolor sit amet.";
                                          }));
            files.push_back(file);
        }
        auto t0 = std::chrono::steady_clock::now();
        indexer->index_files(files, [](std::size_t, int, std::exception_ptr) {});
        seconds_to_index = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        t0 = std::chrono::steady_clock::now();
        SemanticIndex embed(*indexer, vectors, "all-MiniLM-L6-v2", random_encoder());
        embed.embed_all();
        seconds_to_embed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::mt19937 rng(3);
        query = unit_vector(rng);
    }
};

// From a start to the first search's results: the store read, the index's sections mirrored,
// and the query (a stand-in for the model's vector of it: bench_semantic measures the model's
// load and one encoding) scored over the matrix.
void BM_FirstSearchAfterStart250k(benchmark::State& state) {
    static Indexed idx;
    const std::vector<float> q = idx.query;
    BatchEncoder query_only = [q](const std::vector<std::string>& texts) {
        return std::vector<std::vector<float>>(texts.size(), q);
    };
    double rss = 0, start_s = 0, query_s = 0;
    std::size_t sections = 0;
    auto since = [](auto t0) { return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(); };
    for (auto _ : state) {
        const double before = resident_mib();
        auto t0 = std::chrono::steady_clock::now();
        SemanticIndex vectors(*idx.indexer, idx.vectors, "all-MiniLM-L6-v2", query_only);
        const auto p = vectors.follow();
        start_s += since(t0);
        if (p.embedded != p.total || p.total != 250000) state.SkipWithError("the store does not hold every section");
        t0 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(vectors.nearest("where is topic 42", 30));
        query_s += since(t0);
        rss = std::max(rss, resident_mib() - before);  // the first start: later ones reuse freed memory
        sections = p.total;
    }
    // Wall seconds of the two steps, averaged over the iterations: the store read while the
    // sections are listed, then the query.
    const auto n = static_cast<double>(state.iterations());
    state.counters["start_s"] = start_s / n;
    state.counters["query_s"] = query_s / n;
    state.counters["sections"] = static_cast<double>(sections);
    state.counters["memory_mib"] = rss;
    state.counters["index_s"] = idx.seconds_to_index;
    state.counters["embed_s"] = idx.seconds_to_embed;
}
BENCHMARK(BM_FirstSearchAfterStart250k)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
