// index_file and list_blocks on a document at the size limits: about 5 MB, 100,000 lines,
// 10,000 headings. The index counters "x_parse" compare with parse_markdown_to_blocks of the
// same file, timed in the same run.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "quillbox/indexer.h"
#include "quillbox/outline.h"

namespace fs = std::filesystem;
using namespace quillbox;

namespace {

struct Corpus {
    fs::path dir;
    fs::path doc;
    std::uintmax_t bytes = 0;

    Corpus() {
        std::string tmpl = (fs::temp_directory_path() / "qbbench-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) std::abort();
        dir = tmpl;
        doc = dir / "big.md";
        std::ofstream out(doc, std::ios::binary);
        // 10,000 sections of 10 lines: a heading and nine lines of prose (with a code fence
        // every so often), levels cycling 1..4.
        const std::string prose = "Lorem ipsum dolor sit amet, consectetur adipiscing";
        for (int s = 0; s < 10000; ++s) {
            int level = 1 + s % 4;
            out << std::string(level, '#') << " Section " << s << " about topic " << (s * 7919) % 10007 << "\n";
            if (s % 10 == 3) {
                out << "```\n# not a heading " << s << "\n```\n";
                for (int l = 0; l < 6; ++l) out << prose << " " << l << "\n";
            } else {
                for (int l = 0; l < 9; ++l) out << prose << " " << l << "\n";
            }
        }
        out.close();
        bytes = fs::file_size(doc);
        if (bytes > MAX_FILE_SIZE) {
            std::fprintf(stderr, "generated document too large: %ju bytes\n", bytes);
            std::abort();
        }
    }
    ~Corpus() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

Corpus& corpus() {
    static Corpus c;
    return c;
}

double seconds_of(auto&& f) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Best of a few parses: the reference the index passes are compared with.
double parse_seconds() {
    static double best = [] {
        double b = 1e9;
        for (int i = 0; i < 5; ++i)
            b = std::min(b, seconds_of([] { benchmark::DoNotOptimize(parse_markdown_to_blocks(corpus().doc)); }));
        return b;
    }();
    return best;
}

void BM_Parse(benchmark::State& state) {
    auto& c = corpus();
    std::size_t n = 0;
    for (auto _ : state) n = parse_markdown_to_blocks(c.doc).size();
    state.counters["blocks"] = static_cast<double>(n);
    state.counters["MB"] = static_cast<double>(c.bytes) / 1e6;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.bytes));
}

void BM_IndexFirstTime(benchmark::State& state) {
    auto& c = corpus();
    fs::path db = c.dir / "first.db";
    Indexer ix(db);
    const double ref = parse_seconds();
    double total = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ix.conn().exec("DELETE FROM blocks");
        state.ResumeTiming();
        total += seconds_of([&] { ix.index_file(c.doc); });
    }
    state.counters["x_parse"] = total / static_cast<double>(state.iterations()) / ref;
    state.counters["parse_ms"] = ref * 1e3;
}

void BM_IndexUnchanged(benchmark::State& state) {
    auto& c = corpus();
    Indexer ix(c.dir / "again.db");
    ix.index_file(c.doc);
    const double ref = parse_seconds();
    double total = 0;
    for (auto _ : state) total += seconds_of([&] { ix.index_file(c.doc); });
    state.counters["x_parse"] = total / static_cast<double>(state.iterations()) / ref;
    state.counters["parse_ms"] = ref * 1e3;
}

void BM_ListBlocks(benchmark::State& state) {
    auto& c = corpus();
    Indexer ix(c.dir / "list.db");
    ix.index_file(c.doc);
    std::size_t n = 0;
    for (auto _ : state) n = ix.list_blocks(c.doc).size();
    state.counters["blocks"] = static_cast<double>(n);
}

}  // namespace

BENCHMARK(BM_Parse)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IndexFirstTime)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IndexUnchanged)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ListBlocks)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
