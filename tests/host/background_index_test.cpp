// The server's background index: it covers exactly the files reindex takes, a search before it is
// done says how far it got, and a client that asked for progress hears it grow to the end.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "common/session.h"
#include "common/temp_dir.h"
#include "host/background_index.h"
#include "host/config.h"
#include "host/ignore.h"
#include "host/mcp.h"
#include "host/tools.h"
#include "quillbox/indexer.h"
#include "quillbox/safety.h"

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
