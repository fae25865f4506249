// The agent operations on a large document (about 5 MB, 10,000 headings) and on a 50 KB
// README: listing on the fast path, after a touch and after an outside change; reading one
// block; replacing one block (backup, verified write, index bookkeeping). Each of listing,
// reading and replacing runs beside its floor (BM_*Floor): the least reads, writes, flushes and
// statements the operation needs, on a copy of the document and a minimal table.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <tuple>
#include <vector>
#include <filesystem>
#include <memory>
#include <string>

#include "common.h"
#include "floor.h"
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
    Project(int sections, int body_lines) : qbbench::Project("qb-bench-blockops", make_doc(sections, body_lines)) {
        do_list_blocks(*session, file.string());
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

// `moves`: replacements whose every write moves the rest of the file.
void label(benchmark::State& state, const Project& p, bool moves = false) {
    std::string text = (state.range(0) == 0 ? "5MB/10k headings, " : "README, ") +
                       std::to_string(p.text.size() / 1024) + " KiB";
    if (moves) text += ", rest moves";
    state.SetLabel(text);
}

void BM_ListFastPath(benchmark::State& state) {
    auto p = make(state);
    for (auto _ : state) benchmark::DoNotOptimize(do_list_blocks(*p->session, p->file.string()));
    label(state, *p);
}

// Listing after `prepare` (untimed) changed the file's state.
void list_after(benchmark::State& state, Project& p, auto&& prepare) {
    for (auto _ : state) {
        state.PauseTiming();
        prepare();
        state.ResumeTiming();
        benchmark::DoNotOptimize(do_list_blocks(*p.session, p.file.string()));
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
    for (auto _ : state) benchmark::DoNotOptimize(do_read_block(*p->session, p->file, b.uuid));
    label(state, *p);
}

// The replacement body, in turn A and B: of one length, or (`grows`) one line longer in B, so
// that every write moves the rest of the file.
std::string next_body(const benchmark::State& state, bool& flip) {
    flip = !flip;
    if (state.range(1) == 0) return flip ? "\nnew body A\nmore" : "\nnew body B\nmore";
    return flip ? "\nnew body A\nmore" : "\nnew body B\nmore\nand one more line";
}

void BM_ReplaceBlock(benchmark::State& state) {
    auto p = make(state);
    const Block b = p->middle();
    const std::string heading = std::string(static_cast<std::size_t>(b.level), '#') + " " + b.title;
    bool flip = false;
    for (auto _ : state) {
        const std::string body = heading + next_body(state, flip) + "\n";
        benchmark::DoNotOptimize(
            do_replace_block(*p->session, p->file, b.uuid, body));
        state.PauseTiming();
        std::error_code ec;
        fs::remove_all(p->root / "backups", ec);
        state.ResumeTiming();
    }
    label(state, *p, state.range(1) == 1);
}

void BM_ListFloor(benchmark::State& state) {
    auto p = make(state);
    qbbench::Floor f(p->root, p->text, p->indexer->list_blocks(p->file));
    for (auto _ : state) benchmark::DoNotOptimize(f.list());
    label(state, *p);
}

void BM_ReadBlockFloor(benchmark::State& state) {
    auto p = make(state);
    qbbench::Floor f(p->root, p->text, p->indexer->list_blocks(p->file));
    const Block b = p->middle();
    for (auto _ : state) benchmark::DoNotOptimize(f.read(b.uuid));
    label(state, *p);
}

void BM_ReplaceBlockFloor(benchmark::State& state) {
    auto p = make(state);
    qbbench::Floor f(p->root, p->text, p->indexer->list_blocks(p->file));
    const Block b = p->middle();
    const std::string heading = std::string(static_cast<std::size_t>(b.level), '#') + " " + b.title;
    bool flip = false;
    for (auto _ : state) f.replace(b.uuid, heading + next_body(state, flip));
    label(state, *p, state.range(1) == 1);
}

}  // namespace

BENCHMARK(BM_ListFloor)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadBlockFloor)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReplaceBlockFloor)->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_ListFastPath)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ListAfterTouch)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListAfterOutsideChange)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_ReadBlock)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReplaceBlock)->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMillisecond)->Iterations(20);

BENCHMARK_MAIN();
