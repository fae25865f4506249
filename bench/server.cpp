// Round trip of one tools/call through `quillbox serve`, and the server's start-up time to a
// ready initialize answer. The server binary is the `quillbox` next to this program (both
// live in the build's bin/), or $QUILLBOX_EXE. Build the `quillbox` target first.
//
// Beside the calls on a file saved an hour ago, the agent's rhythm (BM_Agent_*): writes back to
// back and a second apart, two patches of one file sent in one message, a read right after a
// write and one two seconds after it, on a 5 MB document of 10,000 headings and on a 50 KB
// README; the least work of one verified write of the 5 MB document in this process
// (BM_Floor_VerifiedWrite_5MB); and the start of the Write hook against /bin/true.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <SQLiteCpp/SQLiteCpp.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../tests/e2e/server_process.h"
#include "common.h"
#include "floor.h"

extern char** environ;

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

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
    return std::make_unique<ServerProcess>(qbbench::server_exe(),
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

// ---- The agent's rhythm --------------------------------------------------------------------

// ~5 MB: 10,000 sections of a heading (levels 1 to 4 in turn) and eight prose lines.
std::string large_text() {
    return qbbench::sectioned_doc(
        10000, 8, [](int i) { return qbbench::hashes(i % 4 + 1) + " Section " + std::to_string(i); },
        [](int i, int k) {
            return "Line " + std::to_string(k) + " of section " + std::to_string(i) +
                   ": lorem ipsum dolor sit amet, consect.";
        });
}

// A project with both documents saved an hour ago, and a server on it that has listed them
// and shown the agent the sections the cases touch.
struct Agent {
    qbbench::TempDir dir{"quillbox-bench-agent"};
    fs::path root = dir.path;
    std::unique_ptr<ServerProcess> server;
    int next_id = 10;

    Agent() {
        for (const auto& [name, text] : {std::pair{"doc.md", large_text()}, std::pair{"README.md", readme_text()}}) {
            qbbench::write_file(root / name, text);
            fs::last_write_time(root / name, fs::last_write_time(root / name) - std::chrono::hours(1));
        }
        server = std::make_unique<ServerProcess>(
            qbbench::server_exe(), std::vector<std::string>{"serve", "--root", root.string()}, root / "server.log");
        server->request("initialize", initialize_request(0)["params"]);
        for (const char* f : {"doc.md", "README.md"}) call("md_list_blocks", {{"file_path", f}});
    }
    ~Agent() {
        server->close_input();
        server->wait_exit();
    }

    // The identifier of the section titled `title`, from the server's index.
    std::string id(const char* file, const std::string& title) {
        SQLite::Database db((root / ".quillbox" / "index.db").string(), SQLite::OPEN_READONLY);
        SQLite::Statement q(db, "SELECT id FROM blocks WHERE file_path = ? AND title = ?");
        q.bind(1, (fs::canonical(root) / file).string());
        q.bind(2, title);
        if (!q.executeStep()) throw std::runtime_error("no section " + title);
        std::string out = q.getColumn(0).getString();
        call("md_read_block", {{"file_path", file}, {"block_id", out}});  // shown to the agent
        return out;
    }

    std::string line(const std::string& tool, const json& args) {
        return json{{"jsonrpc", "2.0"}, {"id", next_id++}, {"method", "tools/call"},
                    {"params", {{"name", tool}, {"arguments", args}}}}
                   .dump() +
               "\n";
    }
    // Sends the lines at once and reads as many answers; false when one failed.
    bool send(const std::string& lines, int answers) {
        server->send_raw(lines);
        bool ok = true;
        for (int i = 0; i < answers; ++i) {
            auto answer = server->read_line(60.0);
            ok = ok && answer && answer->find("\"isError\":false") != std::string::npos;
        }
        return ok;
    }
    bool call(const std::string& tool, const json& args) { return send(line(tool, args), 1); }
};

// The body of a section in turn A and B, of one length.
std::string body(bool a) { return a ? "new body A\nmore" : "new body B\nmore"; }

using Clock = std::chrono::steady_clock;
double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

void pause_untimed(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// md_replace_block of one section of the 5 MB document, each call `gap` seconds after the last
// answer (untimed).
void replace_rhythm(benchmark::State& state, double gap) {
    Agent agent;
    const std::string id = agent.id("doc.md", "Section 5003");
    bool flip = false;
    std::vector<double> samples;
    for (auto _ : state) {
        if (gap > 0) pause_untimed(gap);
        flip = !flip;
        const std::string request = agent.line(
            "md_replace_block", {{"file_path", "doc.md"}, {"block_id", id}, {"new_content", "#### Section 5003\n" + body(flip) + "\n"}});
        const auto t0 = Clock::now();
        if (!agent.send(request, 1)) {
            state.SkipWithError("the call failed");
            break;
        }
        state.SetIterationTime(since(t0));
        samples.push_back(since(t0) * 1e6);
    }
    report(state, std::move(samples));
}
void BM_Agent_ReplaceBackToBack_5MB(benchmark::State& state) { replace_rhythm(state, 0.0); }
void BM_Agent_ReplaceSecondApart_5MB(benchmark::State& state) { replace_rhythm(state, 1.0); }
BENCHMARK(BM_Agent_ReplaceBackToBack_5MB)->Iterations(12)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Agent_ReplaceSecondApart_5MB)->Iterations(8)->UseManualTime()->Unit(benchmark::kMillisecond);

// Two md_patch_block calls on two sections of the 5 MB document: sent in one message (an
// agent's parallel calls; timed to the second answer), or a second apart (both timed).
void patch_pair(benchmark::State& state, bool together) {
    Agent agent;
    const std::string first = agent.id("doc.md", "Section 5007"), second = agent.id("doc.md", "Section 6003");
    bool flip = false;
    std::vector<double> samples;
    for (auto _ : state) {
        flip = !flip;
        auto patch = [&](const std::string& id, int section) {
            const std::string from = flip ? "lorem" : "LOREM", to = flip ? "LOREM" : "lorem";
            const std::string at = "Line 0 of section " + std::to_string(section) + ": ";
            return agent.line("md_patch_block", {{"file_path", "doc.md"}, {"block_id", id},
                                                 {"old_text", at + from}, {"new_text", at + to}});
        };
        double secs = 0;
        bool ok = true;
        if (together) {
            pause_untimed(1.0);
            const auto t0 = Clock::now();
            ok = agent.send(patch(first, 5007) + patch(second, 6003), 2);
            secs = since(t0);
        } else {
            for (auto [id, section] : {std::pair{first, 5007}, std::pair{second, 6003}}) {
                pause_untimed(1.0);
                const auto t0 = Clock::now();
                ok = agent.send(patch(id, section), 1) && ok;
                secs += since(t0);
            }
        }
        if (!ok) {
            state.SkipWithError("a patch failed");
            break;
        }
        state.SetIterationTime(secs);
        samples.push_back(secs * 1e6);
    }
    report(state, std::move(samples));
}
void BM_Agent_PatchPairInOneMessage_5MB(benchmark::State& state) { patch_pair(state, true); }
void BM_Agent_PatchPairSecondApart_5MB(benchmark::State& state) { patch_pair(state, false); }
BENCHMARK(BM_Agent_PatchPairInOneMessage_5MB)->Iterations(6)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Agent_PatchPairSecondApart_5MB)->Iterations(6)->UseManualTime()->Unit(benchmark::kMillisecond);

// md_read_block of one section. Arg 0: the 5 MB document, 1: the README. `after_write`: right
// after a write of another section of the file (untimed), every call; `settled`: once, 2 s
// after one write, then the reads; neither: the file as saved an hour ago.
enum class Since { hour, right_after_write, two_seconds_after_write };
void read_rhythm(benchmark::State& state, Since since_write) {
    Agent agent;
    const bool large = state.range(0) == 0;
    const char* file = large ? "doc.md" : "README.md";
    const std::string read_id = agent.id(file, large ? "Section 5003" : "Topic 41");
    const std::string write_title = large ? "Section 6003" : "Topic 42";
    const std::string write_id = agent.id(file, write_title);
    const std::string heading = (large ? "#### " : "### ") + write_title + "\n";
    bool flip = false;
    auto write = [&] {
        flip = !flip;
        return agent.call("md_replace_block",
                          {{"file_path", file}, {"block_id", write_id}, {"new_content", heading + body(flip) + "\n"}});
    };
    if (since_write == Since::two_seconds_after_write) {
        write();
        pause_untimed(2.1);
    }
    const std::string request = agent.line("md_read_block", {{"file_path", file}, {"block_id", read_id}});
    std::vector<double> samples;
    for (auto _ : state) {
        if (since_write == Since::right_after_write && !write()) {
            state.SkipWithError("the write failed");
            break;
        }
        const auto t0 = Clock::now();
        if (!agent.send(request, 1)) {
            state.SkipWithError("the read failed");
            break;
        }
        state.SetIterationTime(since(t0));
        samples.push_back(since(t0) * 1e6);
    }
    state.SetLabel(large ? "5MB/10k headings" : "README 50KB");
    report(state, std::move(samples));
}
void BM_Agent_ReadHourOld(benchmark::State& state) { read_rhythm(state, Since::hour); }
void BM_Agent_ReadRightAfterWrite(benchmark::State& state) { read_rhythm(state, Since::right_after_write); }
void BM_Agent_ReadTwoSecondsAfterWrite(benchmark::State& state) { read_rhythm(state, Since::two_seconds_after_write); }
BENCHMARK(BM_Agent_ReadHourOld)->Arg(0)->Arg(1)->Iterations(500)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Agent_ReadRightAfterWrite)->Arg(0)->Arg(1)->Iterations(40)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Agent_ReadTwoSecondsAfterWrite)->Arg(0)->Arg(1)->Iterations(500)->UseManualTime()->Unit(benchmark::kMicrosecond);

// The least work of one verified write of a section of the 5 MB document (lock, one read, hash
// check, durable backup and write, read-back, one transaction), in this process.
void BM_Floor_VerifiedWrite_5MB(benchmark::State& state) {
    qbbench::Project p("quillbox-bench-floor", large_text());
    qbbench::Floor f(p.root, p.text, p.indexer->list_blocks(p.file));
    std::string id;
    for (const auto& b : p.indexer->list_blocks(p.file))
        if (b.title == "Section 5003") id = b.uuid;
    bool flip = false;
    for (auto _ : state) {
        flip = !flip;
        f.replace(id, "#### Section 5003\n" + body(flip));
    }
}
BENCHMARK(BM_Floor_VerifiedWrite_5MB)->Iterations(12)->Unit(benchmark::kMillisecond)->UseRealTime();

// From spawning a program to its exit: `quillbox hook pre-tool-use` judging a Write of an
// existing 150-line Markdown file (it reads the configuration and counts the lines, and
// denies), against /bin/true.
void spawn_and_wait(benchmark::State& state, const std::vector<std::string>& argv, const fs::path& input) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<double> samples;
    for (auto _ : state) {
        posix_spawn_file_actions_t io;
        posix_spawn_file_actions_init(&io);
        posix_spawn_file_actions_addopen(&io, 0, input.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&io, 1, "/dev/null", O_WRONLY, 0);
        const auto t0 = Clock::now();
        pid_t pid = 0;
        int status = 0;
        if (::posix_spawn(&pid, args[0], &io, nullptr, args.data(), environ) != 0 || ::waitpid(pid, &status, 0) != pid ||
            !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            posix_spawn_file_actions_destroy(&io);
            state.SkipWithError("the program failed");
            break;
        }
        state.SetIterationTime(since(t0));
        samples.push_back(since(t0) * 1e6);
        posix_spawn_file_actions_destroy(&io);
    }
    report(state, std::move(samples));
}
struct HookProject {
    qbbench::TempDir dir{"quillbox-bench-hook"};
    fs::path input = dir.path / "input.json";
    HookProject() {
        std::string big;
        for (int i = 0; i < 150; ++i) big += "line " + std::to_string(i) + "\n";
        qbbench::write_file(dir.path / "big.md", big);
        qbbench::write_file(input, json{{"cwd", dir.path.string()}, {"tool_name", "Write"},
                                        {"tool_input", {{"file_path", (dir.path / "big.md").string()}, {"content", "x"}}}}
                                       .dump());
    }
};
void BM_HookStart(benchmark::State& state) {
    HookProject p;
    spawn_and_wait(state, {qbbench::server_exe(), "hook", "pre-tool-use", "--root", p.dir.path.string()}, p.input);
}
void BM_TrueStart(benchmark::State& state) {
    HookProject p;
    spawn_and_wait(state, {"/bin/true"}, p.input);
}
BENCHMARK(BM_TrueStart)->Iterations(300)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HookStart)->Iterations(300)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
