// Markdown block parsing against the bare CommonMark parse of the same text. Inputs are generated here, plus the Markdown Debian installs under
// /usr/share/doc; the summary at the end gives the ratios.

#include <benchmark/benchmark.h>
#include <cmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "common.h"
#include "quillbox/outline.h"

namespace fs = std::filesystem;

namespace {

const char* kWords[] = {"parser", "index",  "block",   "heading", "section", "config", "install",
                        "usage",  "server", "client",  "token",   "vector",  "search", "update",
                        "build",  "test",   "release", "notes",   "guide",   "api",    "error",
                        "file",   "path",   "cache",   "session", "model",   "query",  "limit"};
constexpr std::size_t kWordCount = sizeof kWords / sizeof kWords[0];

std::string words(std::mt19937& rng, int n, const char* sep = " ") {
    std::string s;
    for (int i = 0; i < n; ++i) {
        if (i) s += sep;
        s += kWords[rng() % kWordCount];
    }
    return s;
}

// A prose line of about `target` bytes with some inline markup.
std::string prose(std::mt19937& rng, std::size_t target) {
    std::string s;
    while (s.size() < target) {
        switch (rng() % 10) {
            case 0: s.append("**").append(words(rng, 2)).append("** "); break;
            case 1: s.append("`").append(words(rng, 1)).append("()` "); break;
            case 2:
                s.append("[").append(words(rng, 2)).append("](https://example.org/");
                s.append(words(rng, 1)).append(") ");
                break;
            case 3: s.append("*").append(words(rng, 1)).append("* "); break;
            default: s.append(words(rng, 1)).append(" "); break;
        }
    }
    s.back() = '.';
    return s;
}

// Markdown of `lines` lines with about one heading (levels 1 to 4, some 5) every
// `per_heading` lines: paragraphs, lists, fenced code, quotes, occasional setext headings.
std::string make_document(std::size_t lines, std::size_t per_heading, std::size_t line_bytes,
                          unsigned seed) {
    std::mt19937 rng(seed);
    std::string out;
    out.reserve(lines * (line_bytes + 2));
    std::size_t n = 0;
    auto line = [&](const std::string& s) {
        out += s;
        out += '\n';
        ++n;
    };
    line("# " + words(rng, 3));
    while (n < lines) {
        // Heading: mostly levels 2 to 4.
        unsigned r = rng() % 100;
        int level = r < 2 ? 1 : r < 25 ? 2 : r < 60 ? 3 : r < 97 ? 4 : 5;
        if (rng() % 25 == 0 && level <= 2) {
            line(words(rng, 4));
            line(level == 1 ? "=========" : "---------");
        } else {
            line(std::string(static_cast<std::size_t>(level), '#') + " " + words(rng, 2 + rng() % 4));
        }
        line("");
        std::size_t body_end = n + per_heading - 2;
        while (n < body_end && n < lines) {
            switch (rng() % 8) {
                case 0: {  // list
                    for (int i = 0; i < 3 && n < body_end; ++i) line("- " + prose(rng, line_bytes - 2));
                    break;
                }
                case 1: {  // fenced code with a hash line inside
                    line("```sh");
                    line("# " + words(rng, 3));
                    line("quillbox " + words(rng, 2) + " --" + words(rng, 1));
                    line("```");
                    break;
                }
                case 2:
                    line("> " + prose(rng, line_bytes - 2));
                    break;
                default:
                    line(prose(rng, line_bytes));
                    break;
            }
            if (n < body_end) line("");
        }
    }
    return out;
}

struct Input {
    std::string name;
    std::string text;
    fs::path file;
};

fs::path bench_dir() {
    static const qbbench::TempDir dir("qb-bench-outline");
    return dir.path;
}

Input make_input(const std::string& name, std::string text) {
    Input in{name, std::move(text), bench_dir() / (name + ".md")};
    std::ofstream(in.file, std::ios::binary) << in.text;
    return in;
}

const Input& large_doc() {
    // 100,000 lines, about 5 MB, about 10,000 headings.
    static const Input in = [] {
        std::string t = make_document(100000, 10, 118, 7);
        // Trim to the limits: at most 100,000 lines and 5 MiB.
        std::size_t cut = t.size(), lines = 0;
        for (std::size_t i = 0; i < t.size(); ++i) {
            if (t[i] == '\n' && ++lines == quillbox::MAX_FILE_LINES) {
                cut = i + 1;
                break;
            }
        }
        t.resize(std::min(cut, static_cast<std::size_t>(quillbox::MAX_FILE_SIZE)));
        return make_input("large", std::move(t));
    }();
    return in;
}

const Input& readme() {
    // A typical README: about 50 KB, a heading every 20 lines or so.
    static const Input in = [] {
        std::string t = make_document(1200, 20, 90, 11);
        t.resize(t.rfind('\n', 50000) + 1);
        return make_input("readme", std::move(t));
    }();
    return in;
}

// Real documents: every Markdown file Debian installed under /usr/share/doc that is within the
// limits and valid UTF-8 (none on a machine without them: the benchmarks then skip).
const std::vector<Input>& debian_docs() {
    static const std::vector<Input> docs = [] {
        std::vector<Input> out;
        std::error_code ec;
        for (fs::recursive_directory_iterator it("/usr/share/doc", ec), end; !ec && it != end; it.increment(ec)) {
            if (!it->is_regular_file(ec) || it->path().extension() != ".md") continue;
            if (it->file_size(ec) > quillbox::MAX_FILE_SIZE) continue;
            std::ifstream f(it->path(), std::ios::binary);
            std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
            try {
                quillbox::parse_markdown_to_blocks(it->path());
            } catch (const std::exception&) {
                continue;  // over the line limit, or not UTF-8
            }
            out.push_back({it->path().string(), std::move(text), it->path()});
        }
        return out;
    }();
    return docs;
}

void BM_CmarkBareDebianDocs(benchmark::State& state) {
    const auto& docs = debian_docs();
    if (docs.empty()) return state.SkipWithError("no Markdown under /usr/share/doc");
    std::size_t bytes = 0;
    std::vector<cmark_node*> trees;
    for (auto _ : state) {
        for (const Input& in : docs) trees.push_back(cmark_parse_document(in.text.data(), in.text.size(), CMARK_OPT_DEFAULT));
        state.PauseTiming();
        for (cmark_node* t : trees) cmark_node_free(t);
        trees.clear();
        state.ResumeTiming();
    }
    for (const Input& in : docs) bytes += in.text.size();
    state.counters["files"] = static_cast<double>(docs.size());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_ParseBlocksDebianDocs(benchmark::State& state) {
    const auto& docs = debian_docs();
    if (docs.empty()) return state.SkipWithError("no Markdown under /usr/share/doc");
    std::size_t bytes = 0, blocks = 0;
    for (auto _ : state) {
        blocks = 0;
        for (const Input& in : docs) blocks += quillbox::parse_markdown_to_blocks(in.file).size();
    }
    for (const Input& in : docs) bytes += in.text.size();
    state.counters["files"] = static_cast<double>(docs.size());
    state.counters["blocks"] = static_cast<double>(blocks);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_CmarkBare(benchmark::State& state, const Input& (*input)()) {
    const Input& in = input();
    for (auto _ : state) {
        cmark_node* doc = cmark_parse_document(in.text.data(), in.text.size(), CMARK_OPT_DEFAULT);
        benchmark::DoNotOptimize(doc);
        state.PauseTiming();
        cmark_node_free(doc);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.text.size()));
}

void BM_ParseBlocks(benchmark::State& state, const Input& (*input)()) {
    const Input& in = input();
    std::size_t blocks = 0;
    for (auto _ : state) {
        auto bs = quillbox::parse_markdown_to_blocks(in.file);
        blocks = bs.size();
        benchmark::DoNotOptimize(bs);
    }
    state.counters["blocks"] = static_cast<double>(blocks);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.text.size()));
}

BENCHMARK_CAPTURE(BM_CmarkBare, large, &large_doc)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ParseBlocks, large, &large_doc)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CmarkBare, readme, &readme)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ParseBlocks, readme, &readme)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CmarkBareDebianDocs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseBlocksDebianDocs)->Unit(benchmark::kMillisecond);

// Console output plus the collected times for the closing ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        // Plain runs, or the median when repetitions are asked for.
        for (const Run& r : runs) {
            if (r.error_occurred) continue;
            bool plain = r.run_type == Run::RT_Iteration && r.repetitions <= 1;
            bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if (plain || median)
                times_[r.run_name.str()] =
                    r.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Summary() const {
        for (const char* doc : {"/large", "/readme", "DebianDocs"}) {
            auto bare = times_.find(std::string("BM_CmarkBare") + doc);
            auto ours = times_.find(std::string("BM_ParseBlocks") + doc);
            if (bare == times_.end() || ours == times_.end() || bare->second <= 0) continue;
            std::printf("ratio %-6s parse_markdown_to_blocks / cmark_parse_document (CPU time) = %.3f (target <= 1.30)\n",
                        doc, ours->second / bare->second);
        }
    }

private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    const Input& l = large_doc();
    const Input& r = readme();
    std::size_t heads = 0, lines = 0;
    for (std::size_t i = 0; i < l.text.size(); ++i) {
        if (l.text[i] == '\n') ++lines;
        if (l.text[i] == '#' && (i == 0 || l.text[i - 1] == '\n')) ++heads;
    }
    std::printf("inputs: large %zu bytes, %zu lines, %zu lines starting with '#' (code and level 5 "
                "included); readme %zu bytes\n",
                l.text.size(), lines, heads, r.text.size());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.Summary();
    benchmark::Shutdown();
    return 0;
}
