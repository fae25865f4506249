// Round trip of one tools/call through `quillbox serve`, and the server's start-up time to a
// ready initialize answer. The server binary is the `quillbox` next to this program (both
// live in the build's bin/), or $QUILLBOX_EXE. Build the `quillbox` target first.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "../tests/e2e/server_process.h"
#include "common.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string server_exe() {
    if (const char* env = std::getenv("QUILLBOX_EXE"); env && *env) return env;
    return (fs::read_symlink("/proc/self/exe").parent_path() / "quillbox").string();
}

// A README of about 50 KB: 120 sections with a few paragraphs each.
std::string readme_text() {
    std::string text = "# Project\n\nAn example project README.\n\n";
    for (int i = 0; text.size() < 50 * 1024; ++i) {
        text += (i % 4 == 0 ? "## Section " : "### Topic ") + std::to_string(i) + "\n\n";
        for (int p = 0; p < 3; ++p)
            text += "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor "
                    "incididunt ut labore et dolore magna aliqua.\n\n";
    }
    return text;
}

struct Project {
    qbbench::TempDir dir{"quillbox-bench"};
    fs::path root = dir.path;
    Project() {
        qbbench::write_file(root / "README.md", readme_text());
        // Saved an hour ago, as a README usually was: the listing may trust its record instead
        // of hashing the file on every call of the first two seconds.
        fs::last_write_time(root / "README.md", fs::last_write_time(root / "README.md") - std::chrono::hours(1));
    }
};

std::unique_ptr<ServerProcess> start(const Project& p) {
    return std::make_unique<ServerProcess>(server_exe(),
                                           std::vector<std::string>{"serve", "--root", p.root.string()},
                                           p.root / "server.log");
}

json initialize_request(int id) {
    return {{"jsonrpc", "2.0"},
            {"id", id},
            {"method", "initialize"},
            {"params", {{"protocolVersion", "2025-11-25"}, {"capabilities", json::object()},
                        {"clientInfo", {{"name", "bench"}, {"version", "1"}}}}}};
}

void report(benchmark::State& state, std::vector<double> samples_us) {
    if (samples_us.empty()) return;
    std::sort(samples_us.begin(), samples_us.end());
    state.counters["median_us"] = samples_us[samples_us.size() / 2];
    state.counters["p90_us"] = samples_us[samples_us.size() * 9 / 10];
    state.counters["calls"] = static_cast<double>(samples_us.size());
}

// One tools/call, timed from writing the request to having read the whole answer line.
void round_trip(benchmark::State& state, const std::string& tool, bool with_block) {
    Project project;
    auto server = start(project);
    server->request("initialize", initialize_request(0)["params"]);
    json listing = server->request("tools/call", {{"name", "md_list_blocks"}, {"arguments", {{"file_path", "README.md"}}}});
    std::smatch m;
    std::string text = listing["result"]["content"][0]["text"];
    std::regex_search(text, m, std::regex(R"re(id="([0-9a-f-]{36})" ## Section 40 )re"));
    json args = {{"file_path", "README.md"}};
    if (with_block) args["block_id"] = m[1].str();
    const std::string line =
        json{{"jsonrpc", "2.0"}, {"id", 1}, {"method", "tools/call"}, {"params", {{"name", tool}, {"arguments", args}}}}
            .dump() + "\n";

    std::vector<double> samples;
    samples.reserve(1000);
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        server->send_raw(line);
        auto answer = server->read_line();
        auto t1 = std::chrono::steady_clock::now();
        if (!answer || answer->find("\"isError\":false") == std::string::npos) {
            state.SkipWithError("the call failed");
            break;
        }
        double secs = std::chrono::duration<double>(t1 - t0).count();
        state.SetIterationTime(secs);
        samples.push_back(secs * 1e6);
    }
    report(state, std::move(samples));
    server->close_input();
    server->wait_exit();
}

void BM_ToolsCall_ListBlocks_50KB(benchmark::State& state) { round_trip(state, "md_list_blocks", false); }
void BM_ToolsCall_ReadBlock_50KB(benchmark::State& state) { round_trip(state, "md_read_block", true); }
BENCHMARK(BM_ToolsCall_ListBlocks_50KB)->Iterations(1000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ToolsCall_ReadBlock_50KB)->Iterations(1000)->UseManualTime()->Unit(benchmark::kMicrosecond);

// From starting the process to the initialize answer (a fresh data directory each time).
void BM_StartupToInitialize(benchmark::State& state) {
    std::vector<double> samples;
    for (auto _ : state) {
        Project project;
        auto t0 = std::chrono::steady_clock::now();
        auto server = start(project);
        server->send(initialize_request(1));
        auto answer = server->read_line();
        auto t1 = std::chrono::steady_clock::now();
        if (!answer) {
            state.SkipWithError("no initialize answer");
            break;
        }
        double secs = std::chrono::duration<double>(t1 - t0).count();
        state.SetIterationTime(secs);
        samples.push_back(secs * 1e6);
        server->close_input();
        server->wait_exit();
    }
    report(state, std::move(samples));
}
BENCHMARK(BM_StartupToInitialize)->Iterations(30)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
