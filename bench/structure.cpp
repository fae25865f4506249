// The structural operations on a large document (about 5 MB, 10,000 headings) and on a 50 KB
// README: a natural-language edit of one section, the table of contents (refresh that writes,
// and the already-current answer), a heading level change and a section move. Every writing
// call includes the backup, the verified write and the re-index it causes.

#include <benchmark/benchmark.h>

#include <stdexcept>
#include <string>

#include "common.h"
#include "quillbox/blockops.h"
#include "quillbox/blockops/freshness.h"

namespace fs = std::filesystem;
using namespace quillbox;

namespace {

// Headings: a level-1 every 100 sections, a level-2 every 10, level 3 otherwise.
// Each section carries the marker "t<i> value-a" in its text.
std::string make_doc(int sections, int body_lines) {
    return qbbench::sectioned_doc(
        sections, body_lines + 1,
        [](int i) {
            int level = i % 100 == 0 ? 1 : i % 10 == 0 ? 2 : 3;
            return qbbench::hashes(level) + " Topic t" + std::to_string(i) + " details";
        },
        [](int i, int k) {
            if (k == 0) return "The t" + std::to_string(i) + " value-a is set here.";
            return "Line " + std::to_string(k - 1) + " of topic " + std::to_string(i) +
                   ": lorem ipsum dolor sit amet, consectetur.";
        });
}

struct Project : qbbench::Project {
    Project(int sections, int body_lines)
        : qbbench::Project("qb-bench-structure", make_doc(sections, body_lines)) {}
    std::string id(const std::string& title) {
        for (const auto& b : _ensure_fresh_index(*indexer, *watcher, file))
            if (b.title == title) return b.uuid;
        throw std::runtime_error("no section " + title);
    }
};

// 10,000 sections of ~495 bytes (4.95 MB, 90,000 lines: just under the limits) and 100 of them
// (48 KB).
Project& project(bool big) {
    static Project large(10000, 7);
    static Project readme(100, 7);
    return big ? large : readme;
}

void BM_MdEdit(benchmark::State& state) {
    Project& p = project(state.range(0));
    const std::string t = state.range(0) ? "t5050" : "t50";
    bool forward = true;
    for (auto _ : state) {
        std::string instruction = forward ? "change " + t + " value-a to " + t + " value-b"
                                          : "change " + t + " value-b to " + t + " value-a";
        benchmark::DoNotOptimize(do_md_edit(*p.session, p.file.string(), instruction));
        forward = !forward;
    }
}

void BM_GenerateTocRefresh(benchmark::State& state) {
    Project& p = project(state.range(0));
    // Levels 1 and 2 only (1,000 entries on the large file): a table of every heading would
    // push it past the size limit.
    do_generate_toc(*p.session, p.file.string(), true, true, 2);
    long long depth = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(do_generate_toc(*p.session, p.file.string(), true, false, depth));
        depth = depth == 1 ? 2 : 1;
    }
}

void BM_GenerateTocUnchanged(benchmark::State& state) {
    Project& p = project(state.range(0));
    do_generate_toc(*p.session, p.file.string(), true, true, 2);
    do_generate_toc(*p.session, p.file.string(), true, false, 2);
    for (auto _ : state)
        benchmark::DoNotOptimize(do_generate_toc(*p.session, p.file.string(), true, false, 2));
}

void BM_AdjustLevel(benchmark::State& state) {
    Project& p = project(state.range(0));
    const std::string title = state.range(0) ? "Topic t5010 details" : "Topic t10 details";
    long long delta = 1;
    for (auto _ : state) {
        state.PauseTiming();
        std::string id = p.id(title);
        state.ResumeTiming();
        benchmark::DoNotOptimize(do_adjust_level(*p.session, id, delta, true));
        delta = -delta;
    }
}

void BM_MoveBlock(benchmark::State& state) {
    Project& p = project(state.range(0));
    // A level-3 section goes back and forth between the ends of two level-2 sections.
    const std::string moved = state.range(0) ? "Topic t5011 details" : "Topic t11 details";
    const std::string first = state.range(0) ? "Topic t5010 details" : "Topic t10 details";
    const std::string second = state.range(0) ? "Topic t5020 details" : "Topic t20 details";
    bool to_second = true;
    for (auto _ : state) {
        state.PauseTiming();
        std::string id = p.id(moved);
        std::string target = p.id(to_second ? second : first);
        state.ResumeTiming();
        benchmark::DoNotOptimize(do_move_block(*p.session, id, target, "as_last_child"));
        to_second = !to_second;
    }
}

}  // namespace

// Argument 1: the 5 MB document; 0: the 50 KB README.
BENCHMARK(BM_MdEdit)->ArgName("big")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(BM_GenerateTocRefresh)->ArgName("big")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(BM_GenerateTocUnchanged)->ArgName("big")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_AdjustLevel)->ArgName("big")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(BM_MoveBlock)->ArgName("big")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(6);

BENCHMARK_MAIN();
