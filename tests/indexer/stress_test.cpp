// Threads sharing one Indexer: the watcher's callback re-indexing files that keep changing, a
// direct re-indexer, readers and small writers, and another connection's own transactions.
// Interleaving inside a transaction would make SQLite refuse a nested BEGIN or let a reader
// see rows of two passes; a pass that wrote an older text over a newer
// one would leave the index stale at the end.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "indexer/helpers.h"
#include "quillbox/watcher.h"

namespace fs = std::filesystem;
using namespace quillbox;
using namespace std::chrono_literals;

namespace {

std::string version_text(int v, int sections) {
    std::string s;
    for (int i = 0; i < sections; ++i) s += "## v" + std::to_string(v) + " section " + std::to_string(i) + "\nbody\n";
    return s;
}

std::vector<std::string> titles(const std::vector<Block>& bs) {
    std::vector<std::string> t;
    for (auto& b : bs) t.push_back(b.title);
    return t;
}

}  // namespace

TEST(IndexerStress, ThreadsNeverInterleaveInsideATransaction) {
    TempDir dir;
    Indexer ix(dir.path / "index.db");
    std::atomic<bool> done{false};
    std::atomic<int> callbacks{0};
    auto guarded = [&](const char* who, auto&& f) {
        try {
            f();
        } catch (const std::exception& e) {
            ADD_FAILURE() << who << ": " << e.what();
        }
    };
    FileWatcher* wp = nullptr;
    FileWatcher watcher(dir.path, [&](const fs::path& p) { ++callbacks; guarded("callback", [&] { ix.index_file(p, wp); }); }, 0.02);
    wp = &watcher;
    watcher.start();

    std::vector<fs::path> files{dir.path / "w0.md", dir.path / "w1.md", dir.path / "w2.md"};
    fs::path direct = dir.path / "direct.md";
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int v = 1; !done; ++v) {
            write_file(direct, version_text(v, 10 + v % 15));
            guarded("reindexer", [&] { ix.index_file(direct, &watcher); });
        }
    });
    threads.emplace_back([&] {
        while (!done) guarded("reader", [&] {
            for (auto& f : files) {
                if (!watcher.wait_for_reindex(f, 0.5)) continue;
                auto rows = ix.list_blocks(f);
                std::set<std::string> versions;
                for (auto& b : rows) versions.insert(b.title.substr(0, b.title.find(' ')));
                EXPECT_LE(versions.size(), 1u) << "rows of two passes in " << f;
                if (rows.empty()) continue;
                ix.update_block_lines(rows[0].uuid, rows[0].start_line, rows[0].end_line);
                ix.get_block(rows.back().uuid);
            }
            ix.search_blocks_by_title("section 1");
            ix.record_operation("2026-01-01", "stress", direct.string(), "x", 1);
        });
    });
    threads.emplace_back([&] {
        SQLite::Database other = side_connection(ix);
        guarded("foreign", [&] { other.exec("CREATE TABLE side (k TEXT PRIMARY KEY, n INTEGER)"); });
        for (int n = 0; !done; ++n) guarded("foreign", [&] {
            SQLite::Transaction tx(other);
            other.exec("REPLACE INTO side (k, n) VALUES ('a', " + std::to_string(n) + ")");
            query1(other, "SELECT count(*) FROM blocks");
            tx.commit();
        });
    });

    for (int v = 1; v <= 60; ++v) {
        for (auto& f : files) write_file(f, version_text(v, 5 + v % 7));
        std::this_thread::sleep_for(25ms);
    }
    std::this_thread::sleep_for(200ms);
    done = true;
    for (auto& t : threads) t.join();

    EXPECT_GT(callbacks.load(), 3);
    // Once the last firings ran, the index holds each file's final text.
    for (auto& f : files) {
        auto want = titles(parse_markdown_to_blocks(f));
        EXPECT_TRUE(watcher.wait_for_write_quiet(f, 10.0));
        bool same = false;
        for (int i = 0; i < 250 && !same; ++i, std::this_thread::sleep_for(20ms))
            same = watcher.wait_for_reindex(f, 10.0) && titles(ix.list_blocks(f)) == want;
        EXPECT_TRUE(same) << f;
    }
    watcher.stop();
}
