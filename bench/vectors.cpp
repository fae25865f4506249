// Vector search at scale: 250,000 float32 vectors of 384 dimensions. The store's query (one
// matrix-vector product through the runtime library and a partial sort) beside the least work,
// a bare BLAS product and partial sort over the same matrix; and the bytes the store's file
// takes per section.

#include <benchmark/benchmark.h>
#include <cblas.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numeric>
#include <random>

#include "common.h"
#include "quillbox/semantic.h"

namespace fs = std::filesystem;
using namespace quillbox;

namespace {

constexpr std::size_t DIM = 384;
constexpr std::size_t ROWS = 250000;
constexpr std::size_t K = 20;

std::vector<float> unit_vector(std::mt19937& rng) {
    std::normal_distribution<float> d;
    std::vector<float> v(DIM);
    float n = 0;
    for (auto& x : v) {
        x = d(rng);
        n += x * x;
    }
    for (auto& x : v) x /= std::sqrt(n);
    return v;
}

struct Fixture {
    qbtest::TempDir dir{"qb-bench-vectors"};
    std::unique_ptr<VectorStore> store;
    std::vector<float> query;
    double seconds_to_write = 0;
    Fixture() {
        std::mt19937 rng(1);
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
        query = unit_vector(rng);
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
}
BENCHMARK(BM_StoreQuery)->Unit(benchmark::kMillisecond);

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
        cblas_sgemv(CblasRowMajor, CblasNoTrans, static_cast<int>(ROWS), static_cast<int>(DIM), 1.0f, f.store->rows(),
                    static_cast<int>(DIM), f.query.data(), 1, 0.0f, scores.data(), 1);
        std::iota(order.begin(), order.end(), 0u);
        std::partial_sort(order.begin(), order.begin() + K, order.end(),
                          [&](std::uint32_t a, std::uint32_t b) { return scores[a] > scores[b]; });
        benchmark::DoNotOptimize(order.data());
    }
}
BENCHMARK(BM_BareProductAndPartialSort)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
