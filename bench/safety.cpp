// Verified writes and block relocation on large files.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common.h"
#include "quillbox/safety.h"

namespace fs = std::filesystem;
using namespace quillbox;

namespace {

std::string line_text(const char* tag, int i) {
    // About 50 bytes a line, like prose in a Markdown file.
    return std::string(tag) + " " + std::to_string(i) + " lorem ipsum dolor sit amet, consectetur";
}

void write_lines(const fs::path& p, const std::vector<std::string>& lines) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    for (const auto& l : lines) f << l << '\n';
}

void BM_ApplyReplace5MB(benchmark::State& state) {
    qbbench::TempDir dir("qb-bench-safety");
    auto file = dir.path / "big.md";
    std::vector<std::string> lines;
    std::size_t bytes = 0;
    for (int i = 0; bytes < (5u << 20); ++i) {
        lines.push_back(line_text("text", i));
        bytes += lines.back().size() + 1;
    }
    write_lines(file, lines);
    SafetyEngine engine(dir.path / "backups");
    const long mid = static_cast<long>(lines.size() / 2);
    std::vector<std::string> repl;
    int round = 0;
    for (auto _ : state) {
        repl.clear();
        for (int i = 0; i < 10; ++i) repl.push_back(line_text("new", round * 10 + i));
        ++round;
        engine.apply_replace(file, mid, mid + 9, repl);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
    state.counters["lines"] = static_cast<double>(lines.size());
}
BENCHMARK(BM_ApplyReplace5MB)->Unit(benchmark::kMillisecond)->UseRealTime();

// A block of `k` lines that moved from the top to the end of a 100,000-line file.
void BM_FindMovedBlock(benchmark::State& state) {
    const int k = static_cast<int>(state.range(0));
    const int n = 100000;
    qbbench::TempDir dir("qb-bench-safety");
    auto file = dir.path / "moved.md";
    std::vector<std::string> lines, block;
    for (int i = 0; i < k; ++i) block.push_back(line_text("block", i));
    for (int i = 0; i < n - k; ++i) lines.push_back(line_text("text", i));
    lines.insert(lines.end(), block.begin(), block.end());
    write_lines(file, lines);
    std::string joined;
    for (int i = 0; i < k; ++i) joined += (i ? "\n" : "") + block[i];
    const std::string hash = compute_hash(joined);
    for (auto _ : state) {
        auto found = find_block_by_content_hash(file, hash, k);
        if (!found || found->first != n - k + 1) state.SkipWithError("block not found at the end");
        benchmark::DoNotOptimize(found);
    }
}
BENCHMARK(BM_FindMovedBlock)->Arg(50)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();

// The common case for a replacement: a 1,000-line block in the middle of a 100,000-line file,
// 20 lines below where it was last seen, with that position given as the hint.
void BM_FindBlockNearHint(benchmark::State& state) {
    const int k = 1000, n = 100000, at = 50000;
    qbbench::TempDir dir("qb-bench-safety");
    auto file = dir.path / "hint.md";
    std::vector<std::string> lines;
    for (int i = 0; i < n; ++i) lines.push_back(line_text(i >= at && i < at + k ? "block" : "text", i));
    write_lines(file, lines);
    std::string joined;
    for (int i = at; i < at + k; ++i) joined += (i > at ? "\n" : "") + lines[i];
    const std::string hash = compute_hash(joined);
    for (auto _ : state) {
        auto found = find_block_by_content_hash(file, hash, k, at + 1 - 20);
        if (!found || found->first != at + 1) state.SkipWithError("block not found");
        benchmark::DoNotOptimize(found);
    }
}
BENCHMARK(BM_FindBlockNearHint)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
