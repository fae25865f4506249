// The agent operations on a large document (about 5 MB, 10,000 headings) and on a 50 KB
// README: listing on the fast path, after a touch and after an outside change; reading one
// block; replacing one block (backup, verified write, index bookkeeping).

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "common.h"
#include "quillbox/blockops.h"

namespace fs = std::filesystem;
using namespace quillbox;

namespace {

// Sections of ~500 bytes: a heading (levels 1 to 4 in turn) and eight prose lines.
std::string make_doc(int sections, int body_lines) {
    return qbbench::sectioned_doc(
        sections, body_lines, [](int i) { return qbbench::hashes(i % 4 + 1) + " Section " + std::to_string(i); },
        [](int i, int k) {
            return "Line " + std::to_string(k) + " of section " + std::to_string(i) +
                   ": lorem ipsum dolor sit amet, consect.";
        });
}

struct Project : qbbench::Project {
    MemoryReadCache cache;

    Project(int sections, int body_lines) : qbbench::Project("qb-bench-blockops", make_doc(sections, body_lines)) {
        do_list_blocks(*indexer, *watcher, file.string());
    }
    void bump_mtime() { fs::last_write_time(file, fs::last_write_time(file) + std::chrono::seconds(2)); }
    Block middle() {
        auto blocks = indexer->list_blocks(file);
        return blocks[blocks.size() / 2];
    }
};

// Large: 10,000 sections x 9 lines (~5.0 MB, 90,000 lines); README: 100 sections (~50 KB).
std::unique_ptr<Project> make(const benchmark::State& state) {
    return state.range(0) == 0 ? std::make_unique<Project>(10000, 8) : std::make_unique<Project>(100, 8);
}

void label(benchmark::State& state, const Project& p) {
    state.SetLabel((state.range(0) == 0 ? "5MB/10k headings, " : "README, ") +
                   std::to_string(p.text.size() / 1024) + " KiB");
}

void BM_ListFastPath(benchmark::State& state) {
    auto p = make(state);
    for (auto _ : state) benchmark::DoNotOptimize(do_list_blocks(*p->indexer, *p->watcher, p->file.string()));
    label(state, *p);
}

// Listing after `prepare` (untimed) changed the file's state.
void list_after(benchmark::State& state, Project& p, auto&& prepare) {
    for (auto _ : state) {
        state.PauseTiming();
        prepare();
        state.ResumeTiming();
        benchmark::DoNotOptimize(do_list_blocks(*p.indexer, *p.watcher, p.file.string()));
    }
    label(state, p);
}

void BM_ListAfterTouch(benchmark::State& state) {
    auto p = make(state);
    list_after(state, *p, [&] { p->bump_mtime(); });
}

void BM_ListAfterOutsideChange(benchmark::State& state) {
    auto p = make(state);
    std::string text = p->text;
    bool flip = false;
    list_after(state, *p, [&] {
        text[text.size() - 3] = (flip = !flip) ? 'X' : 'Y';
        qbbench::write_file(p->file, text);
        p->bump_mtime();
    });
}

void BM_ReadBlock(benchmark::State& state) {
    auto p = make(state);
    const Block b = p->middle();
    for (auto _ : state) benchmark::DoNotOptimize(do_read_block(*p->indexer, p->cache, p->file, b.uuid));
    label(state, *p);
}

void BM_ReplaceBlock(benchmark::State& state) {
    auto p = make(state);
    const Block b = p->middle();
    const std::string heading = std::string(static_cast<std::size_t>(b.level), '#') + " " + b.title;
    bool flip = false;
    for (auto _ : state) {
        const std::string body = heading + ((flip = !flip) ? "\nnew body A\nmore\n" : "\nnew body B\nmore\n");
        benchmark::DoNotOptimize(
            do_replace_block(*p->indexer, *p->watcher, *p->safety, p->tracker, p->file, b.uuid, body));
        state.PauseTiming();
        std::error_code ec;
        fs::remove_all(p->root / "backups", ec);
        state.ResumeTiming();
    }
    label(state, *p);
}

}  // namespace

BENCHMARK(BM_ListFastPath)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ListAfterTouch)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListAfterOutsideChange)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_ReadBlock)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReplaceBlock)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(20);

BENCHMARK_MAIN();
