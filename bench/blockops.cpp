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

// The floor's copy of the project: the document, a table with byte ranges and the statements
// kept prepared.
struct Floor {
    fs::path file;
    fs::path backup;
    std::string key;
    SQLite::Database db;
    SQLite::Statement by_id, rows, state, shift, ancestors, set_hash, set_block, stat_row, put_state;

    explicit Floor(Project& p)
        : file(p.root / "floor.md"),
          backup(p.root / "floor-backup.md"),
          key(file.string()),
          db((p.root / "floor.db").string(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE),
          by_id(init(db), "SELECT file_path, start_line, end_line, title, level, content_hash, byte_start, byte_end "
                          "FROM blocks WHERE id = ?"),
          rows(db, "SELECT id, level, title, start_line, end_line FROM blocks WHERE file_path = ? ORDER BY start_line"),
          state(db, "SELECT mtime_ns, size, inode FROM file_index WHERE file_path = ?"),
          shift(db, "UPDATE blocks SET start_line = start_line + ?2, end_line = end_line + ?2, "
                    "byte_start = byte_start + ?3, byte_end = byte_end + ?3 WHERE file_path = ?1 AND start_line > ?4"),
          ancestors(db, "SELECT id, byte_start, byte_end FROM blocks WHERE file_path = ? AND start_line < ? "
                        "AND end_line >= ?"),
          set_hash(db, "UPDATE blocks SET content_hash = ?, end_line = end_line + ?, byte_end = byte_end + ? WHERE id = ?"),
          set_block(db, "UPDATE blocks SET end_line = ?, byte_end = ?, content_hash = ? WHERE id = ?"),
          stat_row(db, "INSERT INTO stats (date, operation_type, file_path, block_id, tokens_saved) "
                       "VALUES ('2026-01-01', 'replace', ?, ?, 0)"),
          put_state(db, "REPLACE INTO file_index (file_path, file_hash, mtime_ns, size, inode, recorded_at) "
                        "VALUES (?, ?, ?, ?, ?, 0)") {
        qbbench::write_file(file, p.text);
        std::vector<std::size_t> line_at{0};
        for (std::size_t i = 0; i < p.text.size(); ++i)
            if (p.text[i] == '\n') line_at.push_back(i + 1);
        SQLite::Transaction tx(db);
        SQLite::Statement ins(db, "INSERT INTO blocks VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        for (const Block& b : p.indexer->list_blocks(p.file)) {
            ins.bind(1, b.uuid);
            ins.bind(2, key);
            ins.bind(3, b.heading_path);
            ins.bind(4, b.start_line);
            ins.bind(5, b.end_line);
            ins.bind(6, b.title);
            ins.bind(7, b.level);
            ins.bind(8, b.content_hash);
            ins.bind(9, static_cast<int64_t>(line_at[static_cast<std::size_t>(b.start_line - 1)]));
            // The block's bytes without the line feed after its last line.
            ins.bind(10, static_cast<int64_t>(line_at[static_cast<std::size_t>(b.end_line)] - 1));
            ins.exec();
            ins.reset();
        }
        record_state(qbbench::sha256(p.text));
        tx.commit();
    }

    static SQLite::Database& init(SQLite::Database& db) {
        qbbench::create_floor_schema(db);
        return db;
    }

    void record_state(const std::string& hash) {
        struct stat st {};
        ::stat(file.c_str(), &st);
        put_state.bind(1, key);
        put_state.bind(2, hash);
        put_state.bind(3, static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec);
        put_state.bind(4, static_cast<int64_t>(st.st_size));
        put_state.bind(5, static_cast<int64_t>(st.st_ino));
        put_state.exec();
        put_state.reset();
    }

    // The file's figures against its record: the check that lets the rows be trusted.
    void check_state() {
        struct stat st {};
        ::stat(file.c_str(), &st);
        state.bind(1, key);
        qbbench::check(state.executeStep(), "state row");
        qbbench::check(state.getColumn(1).getInt64() == st.st_size && state.getColumn(2).getInt64() ==
                                                                          static_cast<int64_t>(st.st_ino),
                       "same file");
        state.reset();
    }

    std::string list() {
        check_state();
        std::string out = "File: " + key + "\n";
        rows.bind(1, key);
        while (rows.executeStep()) {
            out += "  id=\"";
            out += rows.getColumn(0).getText();
            out += "\" ";
            out += std::string(static_cast<std::size_t>(rows.getColumn(1).getInt()), '#');
            out += ' ';
            out += rows.getColumn(2).getText();
            out += " lines=" + std::to_string(rows.getColumn(3).getInt()) + "-" +
                   std::to_string(rows.getColumn(4).getInt()) + "\n";
        }
        rows.reset();
        return out;
    }

    std::string read(const std::string& id) {
        by_id.bind(1, id);
        qbbench::check(by_id.executeStep(), "block row");
        check_state();
        const auto at = static_cast<std::size_t>(by_id.getColumn(6).getInt64());
        const auto end = static_cast<std::size_t>(by_id.getColumn(7).getInt64());
        std::string body = qbbench::read_range(file, at, end - at);
        qbbench::check(qbbench::sha256(body) == by_id.getColumn(5).getString(), "block hash");
        std::string out = "Block ID: " + id + "\nFile: " + key + "\nTitle: " + by_id.getColumn(3).getString() +
                          "\nLines: " + std::to_string(by_id.getColumn(1).getInt()) + "\n---\n" + body + "\n---";
        by_id.reset();
        return out;
    }

    // Lock, one read, hash check, backup, durable write, read-back check, one transaction: the
    // block's row, the rows after it shifted, its ancestors re-hashed, the statistics row and
    // the file's record.
    void replace(const std::string& id, const std::string& new_block) {
        int lock = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        ::flock(lock, LOCK_EX);
        const std::string text = qbbench::read_whole(file);
        by_id.bind(1, id);
        qbbench::check(by_id.executeStep(), "block row");
        const int start = by_id.getColumn(1).getInt(), end_line = by_id.getColumn(2).getInt();
        const auto at = static_cast<std::size_t>(by_id.getColumn(6).getInt64());
        const auto end = static_cast<std::size_t>(by_id.getColumn(7).getInt64());
        qbbench::check(qbbench::sha256(std::string_view(text).substr(at, end - at)) == by_id.getColumn(5).getString(),
                       "seen hash");
        by_id.reset();
        std::string out = text.substr(0, at) + new_block + text.substr(end);
        qbbench::write_durably(backup, text);
        qbbench::write_durably(file, out);
        const std::string hash = qbbench::sha256(qbbench::read_whole(file));
        qbbench::check(hash == qbbench::sha256(out), "read back");
        const int new_lines = static_cast<int>(std::count(new_block.begin(), new_block.end(), '\n')) + 1;
        const int dl = start + new_lines - 1 - end_line;
        const auto db_ = static_cast<int64_t>(new_block.size()) - static_cast<int64_t>(end - at);

        SQLite::Transaction tx(db);
        set_block.bind(1, start + new_lines - 1);
        set_block.bind(2, static_cast<int64_t>(at + new_block.size()));
        set_block.bind(3, qbbench::sha256(new_block));
        set_block.bind(4, id);
        set_block.exec();
        set_block.reset();
        shift.bind(1, key);
        shift.bind(2, dl);
        shift.bind(3, db_);
        shift.bind(4, start);
        shift.exec();
        shift.reset();
        std::vector<std::tuple<std::string, int64_t, int64_t>> up;
        ancestors.bind(1, key);
        ancestors.bind(2, start);
        ancestors.bind(3, start);
        while (ancestors.executeStep())
            up.emplace_back(ancestors.getColumn(0).getString(), ancestors.getColumn(1).getInt64(),
                            ancestors.getColumn(2).getInt64());
        ancestors.reset();
        for (auto& [aid, a0, a1] : up) {
            set_hash.bind(1, qbbench::sha256(std::string_view(out).substr(static_cast<std::size_t>(a0),
                                                                           static_cast<std::size_t>(a1 + db_ - a0))));
            set_hash.bind(2, dl);
            set_hash.bind(3, db_);
            set_hash.bind(4, aid);
            set_hash.exec();
            set_hash.reset();
        }
        stat_row.bind(1, key);
        stat_row.bind(2, id);
        stat_row.exec();
        stat_row.reset();
        record_state(hash);
        tx.commit();
        ::close(lock);
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
    Floor f(*p);
    for (auto _ : state) benchmark::DoNotOptimize(f.list());
    label(state, *p);
}

void BM_ReadBlockFloor(benchmark::State& state) {
    auto p = make(state);
    Floor f(*p);
    const Block b = p->middle();
    for (auto _ : state) benchmark::DoNotOptimize(f.read(b.uuid));
    label(state, *p);
}

void BM_ReplaceBlockFloor(benchmark::State& state) {
    auto p = make(state);
    Floor f(*p);
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
