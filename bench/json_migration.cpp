// The JSON vector store of earlier releases taken into the compact store: the streaming
// migration beside parsing the same vectors.json whole (what the migration did before), in one
// run: seconds and the peak of resident memory each adds (the streaming one's includes what the
// store itself holds). QB_MIGRATION_SECTIONS sections of 384
// doubles (default 20,000, about 170 MB of JSON; 250,000 makes the 2 GB store of the issue).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "common.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/semantic.h"

namespace fs = std::filesystem;
using namespace quillbox;

namespace {

constexpr std::size_t DIM = 384;

std::size_t sections() {
    const char* v = std::getenv("QB_MIGRATION_SECTIONS");
    return v && *v ? std::strtoul(v, nullptr, 10) : 20000;
}

double peak_mib() { return qbbench::status_mib("VmHWM"); }
// VmHWM in MiB, after resetting it to the current resident size.
double reset_peak() {
    std::ofstream("/proc/self/clear_refs") << "5";
    return peak_mib();
}

// The files as the old store wrote them: section id -> 384 doubles, id -> [title, text, hash].
struct JsonStore {
    qbtest::TempDir dir{"qb-bench-migration"};
    fs::path source = dir.path / "source";
    double json_mib = 0;
    JsonStore() {
        fs::create_directories(source);
        std::mt19937 rng(7);
        std::normal_distribution<double> d;
        std::ofstream v(source / "vectors.json"), m(source / "metadata.json");
        v << "{";
        m << "{";
        char num[32];
        for (std::size_t i = 0; i < sections(); ++i) {
            const std::string id = "\"00000000-0000-4000-8000-" + std::to_string(100000000000 + i) + "\"";
            v << (i ? ", " : "") << id << ": [";
            for (std::size_t k = 0; k < DIM; ++k) {
                std::snprintf(num, sizeof num, "%.17g", d(rng) / 20);
                v << (k ? ", " : "") << num;
            }
            v << "]";
            m << (i ? ", " : "") << id << ": [\"Section " << i << "\", \"text\", \"hash" << i << "\", 3]";
        }
        v << "}";
        m << "}";
        v.close();
        json_mib = static_cast<double>(fs::file_size(source / "vectors.json")) / (1 << 20);
    }
    // A copy the migration may remove.
    fs::path copy(const std::string& name) const {
        const fs::path to = dir.path / name;
        fs::remove_all(to);
        fs::create_directories(to);
        for (const char* f : {"vectors.json", "metadata.json"}) fs::create_hard_link(source / f, to / f);
        return to;
    }
};

JsonStore& store() {
    static JsonStore s;
    return s;
}

void BM_MigrateStreaming(benchmark::State& state) {
    JsonStore& js = store();
    for (auto _ : state) {
        const fs::path dir = js.copy("stream");
        VectorStore target(dir / "m.qbv", DIM);
        const double base = reset_peak();
        const auto t0 = std::chrono::steady_clock::now();
        const std::size_t n = migrate_json_vectors(dir, target);
        state.counters["seconds"] = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.counters["peak_added_mib"] = peak_mib() - base;
        state.counters["sections"] = static_cast<double>(n);
        state.counters["json_mib"] = js.json_mib;
        state.counters["store_mib"] = static_cast<double>(target.file_bytes()) / (1 << 20);
    }
}
BENCHMARK(BM_MigrateStreaming)->Iterations(1)->Unit(benchmark::kSecond);

// What the migration did before: vectors.json parsed into one document (the vectors not yet
// converted, the store not yet written).
void BM_ParseWholeDocument(benchmark::State& state) {
    JsonStore& js = store();
    for (auto _ : state) {
        const double base = reset_peak();
        const auto t0 = std::chrono::steady_clock::now();
        const auto doc = nlohmann::json::parse(detail::read_file_bytes(js.source / "vectors.json"));
        benchmark::DoNotOptimize(doc.size());
        state.counters["seconds"] = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.counters["peak_added_mib"] = peak_mib() - base;
        state.counters["json_mib"] = js.json_mib;
    }
}
BENCHMARK(BM_ParseWholeDocument)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
