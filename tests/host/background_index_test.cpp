// The server's background index: it covers exactly the files reindex takes, a search before it is
// done says how far it got, and a client that asked for progress hears it grow to the end.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "common/session.h"
#include "common/temp_dir.h"
#include "host/background_index.h"
#include "host/config.h"
#include "host/ignore.h"
#include "host/mcp.h"
#include "host/tools.h"
#include "quillbox/blockops/semantic_index.h"
#include "quillbox/i18n.h"
#include "quillbox/indexer.h"
#include "quillbox/safety.h"
#include "quillbox/semantic.h"

namespace fs = std::filesystem;
using namespace quillbox;
using namespace quillbox::host;
using qbtest::TempDir;

namespace {

struct Tree {
    TempDir dir;
    Tree(int files) {
        if (std::system(("cd '" + dir.path.string() + "' && git init -q .").c_str()) != 0)
            throw std::runtime_error("git init failed");
        dir.write(".gitignore", "build/\n");
        dir.write("docs/.gitignore", "*.draft.md\n");
        for (int i = 0; i < files; ++i)
            dir.write("docs/part" + std::to_string(i % 7) + "/n" + std::to_string(i) + ".md",
                      "# Note " + std::to_string(i) + "\n## Part\ntext\n");
        dir.write("docs/x.draft.md", "# Draft\n");
        dir.write("build/out.md", "# Built\n");
        fs::create_directories(dir / ".quillbox");
    }
};

std::set<std::string> indexed(Indexer& indexer) {
    std::set<std::string> out;
    for (const auto& f : indexer.indexed_files()) out.insert(f.string());
    return out;
}

// Whether a thread of this process waits for a lock on `file` (within ten seconds).
bool waiting_for_lock(const fs::path& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return false;
    const std::string pid = std::to_string(::getpid()), inode = ":" + std::to_string(st.st_ino) + " ";
    for (int i = 0; i < 1000; ++i) {
        std::ifstream locks("/proc/locks");
        for (std::string line; std::getline(locks, line);)
            if (line.find(" -> ") != std::string::npos && line.find(" " + pid + " ") != std::string::npos &&
                line.find(inode) != std::string::npos)
                return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace

TEST(BackgroundIndex, CoversWhatReindexTakesAndReportsProgressToAClientThatAskedForIt) {
    ::setenv("HF_HUB_OFFLINE", "1", 1);  // the search itself fails for want of a model: no download
    Tree tree(300);
    const IgnoreRules rules(tree.dir.path);
    Indexer indexer(tree.dir / ".quillbox/index.db");
    BackgroundIndex background(indexer, rules);
    Config config;
    config.set("semantic.backend", "none");

    ToolRegistry tools;
    register_all_tools(tools);
    qbtest::SessionOn on(indexer, tree.dir.path, tree.dir / ".quillbox");
    ToolContext ctx;
    ctx.session = &on.session;
    ctx.config = &config;
    ctx.background = &background;
    McpProtocol protocol(tools, ctx);
    std::vector<nlohmann::json> notes;
    protocol.set_notifier([&](const nlohmann::json& n) { notes.push_back(n); });
    auto search = [&](nlohmann::json meta) {
        nlohmann::json params{{"name", "md_search_blocks"}, {"arguments", {{"query", "note"}}}};
        if (!meta.is_null()) params["_meta"] = meta;
        auto r = protocol.handle_message({{"jsonrpc", "2.0"}, {"id", 1}, {"method", "tools/call"}, {"params", params}});
        return (*r)["result"]["content"][0]["text"].get<std::string>();
    };

    // Not started: a search answers at once and says how far indexing got; no progress sent.
    const std::string early = search(nullptr);
    EXPECT_NE(early.find("still being indexed (0 of ?"), std::string::npos) << early;
    EXPECT_TRUE(notes.empty());

    // With a progress token the search waits for the index, hearing it grow to the total.
    background.start();
    const std::string waited = search({{"progressToken", "t1"}});
    EXPECT_EQ(waited.find("still being indexed"), std::string::npos) << waited;
    ASSERT_FALSE(notes.empty());
    double last = -1;
    for (const auto& n : notes) {
        EXPECT_EQ(n["method"], "notifications/progress");
        EXPECT_EQ(n["params"]["progressToken"], "t1");
        EXPECT_GT(n["params"]["progress"].get<double>(), last) << n.dump();
        last = n["params"]["progress"].get<double>();
    }
    EXPECT_EQ(notes.back()["params"]["progress"], 300);
    EXPECT_EQ(notes.back()["params"]["total"], 300);
    EXPECT_TRUE(background.progress().finished);

    // Differential: exactly the files reindex takes.
    std::set<std::string> expected;
    for (const auto& f : rules.markdown_files()) expected.insert(f.string());
    EXPECT_EQ(expected.size(), 300u);
    EXPECT_EQ(indexed(indexer), expected);

    // A finished index: searches neither wait nor report.
    notes.clear();
    search({{"progressToken", 7}});
    EXPECT_TRUE(notes.empty());
    ::unsetenv("HF_HUB_OFFLINE");
}

// A second server start finds every file up to date and reads none of them again, but picks up
// what changed meanwhile and forgets what was deleted.
TEST(BackgroundIndex, ASecondPassTakesOnlyWhatChanged) {
    Tree tree(20);
    const IgnoreRules rules(tree.dir.path);
    Indexer indexer(tree.dir / ".quillbox/index.db");
    {
        BackgroundIndex first(indexer, rules);
        first.start();
        while (!first.wait_for_change(first.progress(), 10).finished) {
        }
    }
    // Old enough not to be racily clean: the records are trusted.
    const auto past = fs::file_time_type::clock::now() - std::chrono::hours(1);
    for (const auto& f : rules.markdown_files()) fs::last_write_time(f, past);
    for (const auto& f : rules.markdown_files()) indexer.record_file_state(f, file_state_of(f, compute_hash("")));
    tree.dir.write("docs/part0/n0.md", "# Renamed\n");
    fs::remove(tree.dir / "docs/part1/n1.md");
    BackgroundIndex second(indexer, rules);
    second.start();
    BackgroundIndex::Progress p;
    while (!(p = second.wait_for_change(second.progress(), 10)).finished) {
    }
    EXPECT_EQ(p.total, 19u);
    EXPECT_EQ(p.done, 19u);
    const auto blocks = indexer.list_blocks(tree.dir / "docs/part0/n0.md");
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].title, "Renamed");
    EXPECT_EQ(indexed(indexer).count((tree.dir / "docs/part1/n1.md").string()), 0u);
    // Untouched files kept their (deliberately wrong) records: they were not read again.
    EXPECT_EQ(indexer.file_state(tree.dir / "docs/part2/n2.md")->file_hash, compute_hash(""));
}

// A client that names a progress token hears how far the background embedding got, before its
// answer and in the token's own type, the numbers only growing within one call; a client that
// names none hears nothing. The store is first held open (its old JSON file is a pipe nobody
// writes yet), then the encoder lets through one group at a time.
TEST(BackgroundIndex, EmbeddingProgressGoesToTheClientThatAskedBeforeItsAnswer) {
    Tree tree(0);
    auto write_notes = [&](int from, int to) {
        for (int i = from; i < to; ++i)
            tree.dir.write("docs/n" + std::to_string(i) + ".md",
                           "# Note " + std::to_string(i) + "\n## Part " + std::to_string(i) + "\ntext " +
                               std::to_string(i) + "\n");
    };
    write_notes(0, 60);
    const IgnoreRules rules(tree.dir.path);
    Indexer indexer(tree.dir / ".quillbox/index.db");
    auto background = std::make_unique<BackgroundIndex>(indexer, rules);
    background->start();
    while (!background->wait_for_change(background->progress(), 10).finished) {
    }

    std::mutex mu;
    std::condition_variable cv;
    int allowed = 0, passed = 0;  // groups the encoder may pass, and has passed
    bool closing = false;
    auto encoder = [&](const std::vector<std::string>& texts) {
        std::unique_lock lk(mu);
        if (texts.size() > 1) {  // a group, not a query
            cv.wait(lk, [&] { return closing || passed < allowed; });
            ++passed;
        }
        return std::vector<std::vector<float>>(texts.size(), std::vector<float>(384, 0.05f));
    };
    auto allow = [&](int groups) {
        std::lock_guard lk(mu);
        allowed = groups;
        cv.notify_all();
    };
    const fs::path vectors_dir = tree.dir / ".quillbox/vectors";
    fs::create_directories(vectors_dir);
    // Another process holds the store (as while it compacts it).
    fs::path lock_file = SemanticEngine::store_file(vectors_dir, "all-MiniLM-L6-v2");
    lock_file += ".lock";
    int held = ::open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    auto vectors = std::make_shared<SemanticIndex>(indexer, vectors_dir, "all-MiniLM-L6-v2", encoder);
    // Whatever fails, the worker is let go before it is stopped.
    struct Release {
        std::function<void()> fn;
        ~Release() { fn(); }
    } release{[&] {
        if (held >= 0) ::close(held);
        std::lock_guard lk(mu);
        closing = true;
        cv.notify_all();
    }};

    ToolRegistry tools;
    register_all_tools(tools);
    qbtest::SessionOn on(indexer, tree.dir.path, tree.dir / ".quillbox");
    on.session.vectors = vectors;
    ToolContext ctx;
    ctx.session = &on.session;
    ctx.background = background.get();
    McpProtocol protocol(tools, ctx);
    // What the client reads, in order: notifications as they are sent, then the answer.
    std::vector<nlohmann::json> wire;
    protocol.set_notifier([&](const nlohmann::json& n) { wire.push_back(n); });
    auto search = [&](nlohmann::json token) {
        wire.clear();
        nlohmann::json params{{"name", "md_search_blocks"}, {"arguments", {{"query", "note"}}}};
        if (!token.is_null()) params["_meta"] = {{"progressToken", token}};
        wire.push_back(*protocol.handle_message({{"jsonrpc", "2.0"}, {"id", 1}, {"method", "tools/call"}, {"params", params}}));
        return wire.back()["result"]["content"][0]["text"].get<std::string>();
    };
    // The notifications of the last call: all before the answer, for `token` (same type), the
    // progress growing and never past the total. The last one's (progress, total).
    auto heard = [&](const nlohmann::json& token) {
        std::pair<double, double> last{-1, -1};
        for (std::size_t i = 0; i + 1 < wire.size(); ++i) {
            const auto& n = wire[i];
            EXPECT_EQ(n["method"], "notifications/progress") << n.dump();
            EXPECT_EQ(n["params"]["progressToken"].dump(), token.dump());
            const double progress = n["params"]["progress"].get<double>();
            const double total = n["params"].value("total", 0.0);
            EXPECT_GT(progress, last.first) << n.dump();
            EXPECT_LE(progress, total) << n.dump();
            last = {progress, total};
        }
        EXPECT_TRUE(wire.back().contains("result")) << wire.back().dump();
        return last;
    };

    // The worker opens the store and waits for the lock.
    vectors->start();
    ASSERT_TRUE(waiting_for_lock(lock_file));
    std::string text = search("opening");
    const std::string loading = get_message("semantic_vectors_loading", {{"total", "120"}});
    EXPECT_NE(text.find(loading), std::string::npos) << text;
    EXPECT_EQ(heard("opening"), (std::pair<double, double>{0, 120}));
    text = search(nullptr);
    EXPECT_NE(text.find(loading), std::string::npos) << text;
    EXPECT_EQ(wire.size(), 1u) << wire.front().dump();
    ::close(held);
    held = -1;

    // One group embedded, then more files: a call that waits for the index hears the files and
    // then the embedding, in one growing count.
    allow(1);
    // One group (not always a whole one: a batch may start at its last group).
    for (int i = 0; i < 3000 && vectors->progress().embedded == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::size_t one = vectors->progress().embedded;
    ASSERT_GT(one, 0u);
    ASSERT_LE(one, SemanticIndex::EMBED_GROUP);
    ASSERT_EQ(vectors->progress(), (SemanticIndex::Progress{one, 120}));
    text = search(7);
    EXPECT_EQ(heard(7), (std::pair<double, double>(static_cast<double>(one), 120)));
    write_notes(60, 100);
    background = std::make_unique<BackgroundIndex>(indexer, rules);
    ctx.background = background.get();
    background->start();
    text = search(2.5);
    const auto [progress, total] = heard(2.5);
    EXPECT_EQ(total, 100 + 200);  // the files, then the sections
    EXPECT_EQ(progress, static_cast<double>(100 + one));
    EXPECT_NE(text.find(embedding_progress_note({one, 200})), std::string::npos) << text;

    // All embedded: nothing to hear.
    allow(1000);
    for (int i = 0; i < 3000 && vectors->progress().embedded < 200; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    search("done");
    EXPECT_EQ(wire.size(), 1u) << wire.front().dump();
}
