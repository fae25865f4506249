// The freshness record after writes: renewed once the racy window has passed, trusted within
// it only for our own writes, and never vouching for bytes the file no longer holds. A random
// run of writes, outside saves and reads against a model of the file.

#include <SQLiteCpp/SQLiteCpp.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <random>
#include <thread>

#include "fixture.h"
#include "quillbox/detail/sha256.h"

using namespace quillbox;
namespace fs = std::filesystem;

namespace {

constexpr int kSections = 6;

class Renewal : public qbtest::Project {
protected:
    fs::path file;
    std::vector<std::string> bodies;  // the model: section i is "# S<i>\n<body>\n"
    std::vector<std::string> ids;     // as last listed: reads and writes must not list first

    void relist() {
        ids.clear();
        for (const Block& b : list(file)) ids.push_back(b.uuid);
        ASSERT_EQ(ids.size(), static_cast<std::size_t>(kSections));
    }

    std::string text() const {
        std::string out;
        for (int i = 0; i < kSections; ++i) out += "# S" + std::to_string(i) + "\n" + bodies[static_cast<std::size_t>(i)] + "\n";
        return out;
    }

    // A watcher that runs, with a short window, in place of the fixture's idle one.
    void watch() {
        session.reset();
        safety.reset();
        watcher = std::make_unique<FileWatcher>(root, [](const fs::path&) {}, 0.05);
        safety = std::make_unique<SafetyEngine>(root / "backups", &watcher->file_writes());
        session = std::make_unique<Session>(*indexer, *watcher, *safety);
        watcher->start();
    }

    struct Record {
        FileState state;
        bool vouches_by_figures = false;  // same figures as the file now, and not racily clean
    };
    std::optional<Record> record() {
        SQLite::Database db((root / "index.db").string(), SQLite::OPEN_READONLY);
        SQLite::Statement q(db, "SELECT file_hash, mtime_ns, size, inode, recorded_at FROM file_index WHERE file_path = ?");
        q.bind(1, file.string());
        if (!q.executeStep()) return std::nullopt;
        Record r;
        r.state.file_hash = q.getColumn(0).getString();
        r.state.mtime_ns = q.getColumn(1).getInt64();
        r.state.size = q.getColumn(2).getInt64();
        r.state.inode = q.getColumn(3).getInt64();
        r.state.recorded_at = q.getColumn(4).getDouble();
        r.vouches_by_figures = r.state.same_stat(file_state_of(file, {})) && !r.state.racily_clean();
        return r;
    }

    // Time passes for the file and its record alike: both move ten seconds back.
    void ten_seconds_pass() {
        fs::last_write_time(file, fs::last_write_time(file) - std::chrono::seconds(10));
        SQLite::Database db((root / "index.db").string(), SQLite::OPEN_READWRITE);
        db.exec("UPDATE file_index SET mtime_ns = mtime_ns - 10000000000, mtime = mtime - 10, "
                "recorded_at = recorded_at - 10");
    }

    // Someone else rewrites the file in place, keeping its size, inode and time.
    void save_keeping_figures() {
        const auto mtime = fs::last_write_time(file);
        {
            std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
            f << text();
        }
        fs::last_write_time(file, mtime);
    }

    // Until the running watcher has seen the last outside save (it no longer holds our write).
    void until_seen() {
        if (!watcher->running()) return;
        for (int i = 0; i < 400 && watcher->file_writes().own_write(file); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_FALSE(watcher->file_writes().own_write(file));
    }

    void check_read(int k) {
        const std::string title = "S" + std::to_string(k);
        const Reply r = do_read_block(*session, file, ids.at(static_cast<std::size_t>(k)));
        ASSERT_FALSE(r.refused()) << r;
        const std::string lines = std::to_string(2 * k + 1) + "-" + std::to_string(2 * k + 2);
        EXPECT_NE(r.find("\nLines: " + lines + "\n---\n# " + title + "\n" + bodies[static_cast<std::size_t>(k)] + "\n---"),
                  std::string::npos)
            << r;
    }

    void run(unsigned seed, int steps) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
        auto body = [&](std::size_t len) {
            std::string b(len, 'a');
            for (char& c : b) c = static_cast<char>('a' + pick(26));
            return b;
        };
        bodies.assign(kSections, "");
        for (auto& b : bodies) b = body(12);
        file = md("doc.md", text());
        relist();
        bool time_passed = false;
        bool just_changed = true;  // the file's time is within the racy window of now
        for (int step = 0; step < steps; ++step) {
            const int k = pick(kSections);
            const auto ks = static_cast<std::size_t>(k);
            const int what = pick(20);
            SCOPED_TRACE("step " + std::to_string(step) + " kind " + std::to_string(what));
            if (what < 6) {  // our write, of the block just read
                check_read(k);
                bodies[ks] = body(8 + static_cast<std::size_t>(pick(8)));
                const Reply r = do_replace_block(*session, file, ids[ks],
                                                 "# S" + std::to_string(k) + "\n" + bodies[ks] + "\n");
                ASSERT_FALSE(r.refused()) << r;
            } else if (what < 9 && just_changed) {  // someone else's save within the same clock tick
                bodies[ks] = body(bodies[ks].size());
                save_keeping_figures();
                until_seen();
            } else if (what < 10) {  // someone else's save of another size
                if (what < 9) continue;
                bodies[ks] = body(bodies[ks].size() + 1);
                qbtest::write_file(file, text());
                until_seen();
            } else if (what < 13) {
                ten_seconds_pass();
            } else if (what < 18) {
                const std::optional<Record> before = record();
                check_read(k);
                const std::optional<Record> after = record();
                // Past the window, a record whose figures and bytes hold is renewed by the read.
                if (time_passed && before && before->state.same_stat(file_state_of(file, {})) &&
                    before->state.file_hash == detail::sha256_hex(text())) {
                    EXPECT_TRUE(after && after->vouches_by_figures);
                }
            } else {
                const auto blocks = list(file);
                ASSERT_EQ(blocks.size(), static_cast<std::size_t>(kSections));
                relist();
                for (int i = 0; i < kSections; ++i) {
                    EXPECT_EQ(blocks[static_cast<std::size_t>(i)].title, "S" + std::to_string(i));
                    EXPECT_EQ(blocks[static_cast<std::size_t>(i)].start_line, 2 * i + 1);
                }
            }
            time_passed = what >= 10 && what < 13;
            if (what < 10) just_changed = true;
            if (time_passed) just_changed = false;
            ASSERT_EQ(qbtest::read_file(file), text());
            // Never: a record that vouches by its figures for bytes the file does not hold.
            if (const auto r = record(); r && r->vouches_by_figures) {
                ASSERT_EQ(r->state.file_hash, detail::sha256_hex(text()));
            }
        }
    }
};

}  // namespace

TEST_F(Renewal, RecordsFollowTheFileWithoutAWatcher) {
    for (unsigned seed : {1u, 2u, 3u}) run(seed, 120);
}

// With the watcher running, a read right after our own write trusts the record; an outside
// save the watcher saw is read from the file.
TEST_F(Renewal, RecordsFollowTheFileWithTheWatcherRunning) {
    watch();
    run(7u, 150);
}
