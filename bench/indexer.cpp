// index_file and list_blocks on a document at the size limits: about 5 MB, 100,000 lines,
// 10,000 headings. The counters x_parse_wall and x_parse_cpu compare an index pass with the
// best parse_markdown_to_blocks of the same file in the same run. BM_*Floor are the least work
// of each pass (the parse, the statements it needs, one transaction) in the same run, and
// BM_Reindex runs `quillbox reindex` over 1,000 and 10,000 files beside its floor, with its peak memory.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "common.h"
#include "floor.h"
#include "quillbox/indexer.h"
#include "quillbox/outline.h"

namespace fs = std::filesystem;
using namespace quillbox;

namespace {

struct Corpus {
    qbbench::TempDir tmp{"qb-bench-indexer"};
    fs::path dir = tmp.path;
    fs::path doc = dir / "big.md";
    std::uintmax_t bytes = 0;

    Corpus() {
        // 10,000 sections of 10 lines: a heading and nine lines of prose (with a code fence
        // every so often), levels cycling 1..4.
        const std::string prose = "Lorem ipsum dolor sit amet, consectetur adipiscing";
        qbbench::write_file(
            doc, qbbench::sectioned_doc(
                     10000, 9,
                     [](int s) {
                         return qbbench::hashes(1 + s % 4) + " Section " + std::to_string(s) + " about topic " +
                                std::to_string((s * 7919) % 10007);
                     },
                     [&](int s, int l) {
                         if (s % 10 != 3) return prose + " " + std::to_string(l);
                         if (l == 0 || l == 2) return std::string("```");
                         if (l == 1) return "# not a heading " + std::to_string(s);
                         return prose + " " + std::to_string(l - 3);
                     }));
        bytes = fs::file_size(doc);
        if (bytes > MAX_FILE_SIZE) {
            std::fprintf(stderr, "generated document too large: %ju bytes\n", bytes);
            std::abort();
        }
    }
};

Corpus& corpus() {
    static Corpus c;
    return c;
}

struct Cost {
    double wall = 0, cpu = 0;  // seconds; cpu is this thread's CPU time
    Cost& operator+=(const Cost& o) {
        wall += o.wall;
        cpu += o.cpu;
        return *this;
    }
};

double thread_cpu() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

Cost cost_of(auto&& f) {
    auto t0 = std::chrono::steady_clock::now();
    double c0 = thread_cpu();
    f();
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), thread_cpu() - c0};
}

// Best of a few parses: the reference the index passes are compared with. The box is shared,
// so CPU time is the steadier of the two figures.
Cost parse_cost() {
    static Cost best = [] {
        Cost b{1e9, 1e9};
        for (int i = 0; i < 5; ++i) {
            Cost c = cost_of([] { benchmark::DoNotOptimize(parse_markdown_to_blocks(corpus().doc)); });
            b.wall = std::min(b.wall, c.wall);
            b.cpu = std::min(b.cpu, c.cpu);
        }
        return b;
    }();
    return best;
}

void report(benchmark::State& state, Cost total) {
    const double n = static_cast<double>(state.iterations());
    const Cost ref = parse_cost();
    state.counters["x_parse_wall"] = total.wall / n / ref.wall;
    state.counters["x_parse_cpu"] = total.cpu / n / ref.cpu;
    state.counters["parse_cpu_ms"] = ref.cpu * 1e3;
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
    Indexer ix(c.dir / "first.db");
    Cost total;
    for (auto _ : state) {
        state.PauseTiming();
        ix.drop_file(c.doc);
        state.ResumeTiming();
        total += cost_of([&] { ix.index_file(c.doc); });
    }
    report(state, total);
}

void BM_IndexUnchanged(benchmark::State& state) {
    auto& c = corpus();
    Indexer ix(c.dir / "again.db");
    ix.index_file(c.doc);
    Cost total;
    for (auto _ : state) {
        total += cost_of([&] { ix.index_file(c.doc); });
    }
    report(state, total);
}

void BM_ListBlocks(benchmark::State& state) {
    auto& c = corpus();
    Indexer ix(c.dir / "list.db");
    ix.index_file(c.doc);
    std::size_t n = 0;
    for (auto _ : state) n = ix.list_blocks(c.doc).size();
    state.counters["blocks"] = static_cast<double>(n);
}

// The floor's table, holding the document's rows.
struct FloorDb {
    SQLite::Database db;
    std::string key;
    SQLite::Statement insert, rows, put_state;

    FloorDb(const fs::path& p, const fs::path& doc)
        : db(p.string(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE),
          key(doc.string()),
          insert(init(db), "INSERT INTO blocks VALUES (?, ?, ?, ?, ?, ?, ?, ?, 0, 0)"),
          rows(db, "SELECT id, heading_path, start_line, end_line, title, level, content_hash FROM blocks "
                   "WHERE file_path = ? ORDER BY start_line"),
          put_state(db, "REPLACE INTO file_index (file_path, file_hash, mtime_ns, size, inode, recorded_at) "
                        "VALUES (?, ?, 0, 0, 0, 0)") {}

    static SQLite::Database& init(SQLite::Database& db) {
        qbbench::create_floor_schema(db);
        return db;
    }

    void insert_all(const std::string& file_key, const std::vector<Block>& blocks) {
        for (const Block& b : blocks) {
            insert.bind(1, b.uuid);
            insert.bind(2, file_key);
            insert.bind(3, b.heading_path);
            insert.bind(4, b.start_line);
            insert.bind(5, b.end_line);
            insert.bind(6, b.title);
            insert.bind(7, b.level);
            insert.bind(8, b.content_hash);
            insert.exec();
            insert.reset();
        }
    }
    void record(const std::string& file_key, const std::string& hash) {
        put_state.bind(1, file_key);
        put_state.bind(2, hash);
        put_state.exec();
        put_state.reset();
    }
};

// First index, least work: read and hash, parse, insert every row, one transaction.
void BM_IndexFirstTimeFloor(benchmark::State& state) {
    auto& c = corpus();
    FloorDb f(c.dir / "first-floor.db", c.doc);
    Cost total;
    for (auto _ : state) {
        state.PauseTiming();
        f.db.exec("DELETE FROM blocks");
        state.ResumeTiming();
        total += cost_of([&] {
            const std::string hash = qbbench::sha256(qbbench::read_whole(c.doc));
            const std::vector<Block> blocks = parse_markdown_to_blocks(c.doc);
            SQLite::Transaction tx(f.db);
            f.insert_all(f.key, blocks);
            f.record(f.key, hash);
            tx.commit();
        });
    }
    report(state, total);
}

// Unchanged file, least work: read and hash, parse, read the rows back and find every one the
// same, write only the file's record.
void BM_IndexUnchangedFloor(benchmark::State& state) {
    auto& c = corpus();
    FloorDb f(c.dir / "again-floor.db", c.doc);
    {
        SQLite::Transaction tx(f.db);
        f.insert_all(f.key, parse_markdown_to_blocks(c.doc));
        tx.commit();
    }
    Cost total;
    std::size_t same = 0;
    for (auto _ : state) {
        total += cost_of([&] {
            const std::string hash = qbbench::sha256(qbbench::read_whole(c.doc));
            const std::vector<Block> blocks = parse_markdown_to_blocks(c.doc);
            SQLite::Transaction tx(f.db);
            f.rows.bind(1, f.key);
            same = 0;
            for (std::size_t i = 0; f.rows.executeStep() && i < blocks.size(); ++i) {
                const Block& b = blocks[i];
                same += b.heading_path == f.rows.getColumn(1).getText() && b.start_line == f.rows.getColumn(2).getInt() &&
                        b.end_line == f.rows.getColumn(3).getInt() && b.title == f.rows.getColumn(4).getText() &&
                        b.level == f.rows.getColumn(5).getInt() && b.content_hash == f.rows.getColumn(6).getText();
            }
            f.rows.reset();
            f.record(f.key, hash);
            tx.commit();
        });
    }
    state.counters["same_rows"] = static_cast<double>(same);
    report(state, total);
}

// ---- `quillbox reindex` of a tree ---------------------------------------------------------

// 1,000 files of 30 sections (about 9 KB each) in 10 folders.
struct Tree {
    qbbench::TempDir tmp{"qb-bench-tree"};
    fs::path root = tmp.path;
    std::vector<fs::path> files;

    explicit Tree(int n) {
        for (int i = 0; i < n; ++i) {
            fs::path dir = root / "docs" / ("part" + std::to_string(i % 10));
            fs::create_directories(dir);
            files.push_back(dir / ("note" + std::to_string(i) + ".md"));
            qbbench::write_file(files.back(),
                                qbbench::sectioned_doc(
                                    30, 5, [&](int s) { return qbbench::hashes(1 + s % 3) + " Note " + std::to_string(i) + " part " + std::to_string(s); },
                                    [](int s, int l) {
                                        return "Some prose of the note, line " + std::to_string(l) + " of part " +
                                               std::to_string(s) + ".";
                                    }));
        }
    }
};

std::string quillbox_exe() {
    if (const char* env = std::getenv("QUILLBOX_EXE"); env && *env) return env;
    return (fs::read_symlink("/proc/self/exe").parent_path() / "quillbox").string();
}

void drop_index(const fs::path& root) {
    for (const char* name : {"index.db", "index.db-wal", "index.db-shm"}) fs::remove(root / ".quillbox" / name);
}

// The trees, made once each: 1,000 or 10,000 files.
Tree& tree_of(int files) {
    static Tree small(1000);
    if (files == 1000) return small;
    static Tree large(10000);
    return large;
}

// Runs `argv` and waits; its peak resident memory in KiB (0 when it cannot be told), or -1
// when it failed. The figure comes from /usr/bin/time when the machine has it: a child forked
// from this process would count this process's memory as its own.
long run_measured(std::vector<std::string> argv) {
    const fs::path figure = fs::temp_directory_path() / ("qb-bench-rss-" + std::to_string(::getpid()));
    const bool timed = ::access("/usr/bin/time", X_OK) == 0;
    if (timed) argv.insert(argv.begin(), {"/usr/bin/time", "-f", "%M", "-o", figure.string()});
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    long kib = 0;
    if (timed) {
        std::ifstream in(figure);
        in >> kib;
        fs::remove(figure);
    }
    return kib;
}

// The command itself, from a fresh index each time (wall time: it is another process), with
// its peak memory.
void BM_Reindex(benchmark::State& state) {
    const int files = static_cast<int>(state.range(0));
    Tree& tree = tree_of(files);
    long peak = 0;
    for (auto _ : state) {
        state.PauseTiming();
        drop_index(tree.root);
        state.ResumeTiming();
        peak = run_measured({quillbox_exe(), "reindex", "--root", tree.root.string()});
        if (peak < 0) state.SkipWithError("quillbox reindex failed");
    }
    state.counters["files"] = files;
    state.counters["peak_rss_MiB"] = static_cast<double>(peak) / 1024.0;
}

// Least work: walk the tree, read, hash and parse each file, insert its rows and record, one
// transaction per 100 files.
void BM_ReindexFloor(benchmark::State& state) {
    const int files = static_cast<int>(state.range(0));
    Tree& tree = tree_of(files);
    const fs::path db = tree.root / "floor.db";
    for (auto _ : state) {
        state.PauseTiming();
        for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(db.string() + suffix);
        state.ResumeTiming();
        FloorDb f(db, tree.root);
        std::size_t n = 0;
        std::optional<SQLite::Transaction> tx;
        for (const auto& e : fs::recursive_directory_iterator(tree.root / "docs")) {
            if (!e.is_regular_file() || e.path().extension() != ".md") continue;
            if (!tx) tx.emplace(f.db);
            const std::string key = e.path().string();
            f.record(key, qbbench::sha256(qbbench::read_whole(e.path())));
            f.insert_all(key, parse_markdown_to_blocks(e.path()));
            if (++n % 100 == 0) {
                tx->commit();
                tx.reset();
            }
        }
        if (tx) tx->commit();
    }
    state.counters["files"] = files;
}

}  // namespace

BENCHMARK(BM_IndexFirstTimeFloor)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IndexUnchangedFloor)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Reindex)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_ReindexFloor)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Parse)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IndexFirstTime)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IndexUnchanged)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ListBlocks)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
