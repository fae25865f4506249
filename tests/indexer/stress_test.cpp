// Several threads on one Indexer: the watcher's callback re-indexing files that keep changing,
// a direct re-indexer, readers and small writers, and another module's own transactions on
// conn() under mutex(). Any interleaving inside a transaction makes SQLite refuse a nested
// BEGIN or leaves a reader with rows from two passes; neither may happen.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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
    for (int i = 0; i < sections; ++i)
        s += "## v" + std::to_string(v) + " section " + std::to_string(i) + "\nbody " + std::to_string(v) + "\n";
    return s;
}

// The "vN" prefix of a title written by version_text.
std::string version_of(const std::string& title) { return title.substr(0, title.find(' ')); }

}  // namespace

TEST(IndexerStress, ConcurrentPassesReadersAndForeignTransactionsNeverInterleave) {
    TempDir dir;
    Indexer ix(dir.path() / "index.db");
    std::atomic<int> failures{0}, callbacks{0};
    std::atomic<bool> done{false};
    auto report = [&](const char* who, const std::exception& e) {
        ++failures;
        ADD_FAILURE() << who << ": " << e.what();
    };

    FileWatcher* wp = nullptr;
    FileWatcher watcher(
        dir.path(),
        [&](const fs::path& p) {
            ++callbacks;
            try {
                ix.index_file(p, wp);
            } catch (const std::exception& e) {
                report("callback", e);
            }
        },
        0.02);
    wp = &watcher;
    watcher.start();

    const int kFiles = 3;
    std::vector<fs::path> files;
    for (int i = 0; i < kFiles; ++i) files.push_back(dir.path() / ("w" + std::to_string(i) + ".md"));
    fs::path direct = dir.path() / "direct.md";
    write_file(direct, version_text(0, 20));
    ix.index_file(direct);

    std::thread writer([&] {
        for (int v = 1; v <= 60; ++v) {
            for (auto& f : files) write_file(f, version_text(v, 5 + v % 7));
            std::this_thread::sleep_for(25ms);
        }
    });
    std::thread reindexer([&] {
        for (int v = 1; !done; ++v) {
            try {
                write_file(direct, version_text(v, 10 + v % 15));
                ix.index_file(direct, &watcher);
            } catch (const std::exception& e) {
                report("reindexer", e);
            }
        }
    });
    std::thread reader([&] {
        while (!done) {
            try {
                for (auto& f : files) {
                    if (!watcher.wait_for_reindex(f, 0.5)) continue;
                    auto rows = ix.list_blocks(f);
                    std::set<std::string> versions;
                    for (auto& b : rows) versions.insert(version_of(b.title));
                    if (versions.size() > 1) {
                        ++failures;
                        ADD_FAILURE() << "rows of two passes in " << f;
                    }
                    if (!rows.empty()) {
                        ix.update_block_lines(rows.front().uuid, rows.front().start_line, rows.front().end_line);
                        ix.get_block(rows.back().uuid);
                    }
                }
                ix.search_blocks_by_title("section 1");
                ix.record_operation("2026-01-01", "stress", direct.string(), "x", 1);
            } catch (const std::exception& e) {
                report("reader", e);
            }
        }
    });
    std::thread foreign([&] {
        try {
            std::lock_guard<std::recursive_mutex> lk(ix.mutex());
            ix.conn().exec("CREATE TABLE IF NOT EXISTS side (k TEXT PRIMARY KEY, n INTEGER)");
        } catch (const std::exception& e) {
            report("foreign", e);
        }
        for (int n = 0; !done; ++n) {
            try {
                std::lock_guard<std::recursive_mutex> lk(ix.mutex());
                SQLite::Transaction tx(ix.conn());
                SQLite::Statement q(ix.conn(), "REPLACE INTO side (k, n) VALUES ('a', ?)");
                q.bind(1, n);
                q.exec();
                SQLite::Statement c(ix.conn(), "SELECT count(*) FROM blocks");
                c.executeStep();
                tx.commit();
            } catch (const std::exception& e) {
                report("foreign", e);
            }
        }
    });

    writer.join();
    std::this_thread::sleep_for(200ms);
    done = true;
    reindexer.join();
    reader.join();
    foreign.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(callbacks.load(), kFiles);
    // Once the last firings ran, the index holds each file's final text.
    auto titles = [](const std::vector<Block>& bs) {
        std::vector<std::string> t;
        for (auto& b : bs) t.push_back(b.title);
        return t;
    };
    for (auto& f : files) {
        auto want = titles(parse_markdown_to_blocks(f));
        EXPECT_TRUE(watcher.wait_for_write_quiet(f, 10.0));
        bool same = false;
        for (int i = 0; i < 250 && !same; ++i) {
            same = watcher.wait_for_reindex(f, 10.0) && titles(ix.list_blocks(f)) == want;
            if (!same) std::this_thread::sleep_for(20ms);
        }
        EXPECT_TRUE(same) << f;
    }
    watcher.stop();
}
