// Drives `quillbox serve` as a subprocess over stdio, the way an MCP client does.
#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <SQLiteCpp/SQLiteCpp.h>

#include "server_process.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void spit(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f << text;
}

struct Listed {
    std::string id;
    std::string marker;
    std::string title;
    int start;
    int end;
};

std::vector<Listed> parse_listing(const std::string& text) {
    static const std::regex line(R"re(  id="([0-9a-f-]{36})" (#+|FM) (.*) lines=(\d+)-(\d+))re");
    std::vector<Listed> out;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) {
        std::smatch m;
        if (std::regex_match(l, m, line))
            out.push_back({m[1], m[2], m[3], std::stoi(m[4]), std::stoi(m[5])});
    }
    return out;
}

const Listed& by_title(const std::vector<Listed>& blocks, const std::string& title) {
    for (const auto& b : blocks)
        if (b.title == title) return b;
    throw std::runtime_error("no block titled " + title);
}

class E2E : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/quillbox-e2e-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root_ = fs::canonical(tmpl);
        guide_ = root_ / "docs" / "guide.md";
        spit(guide_,
             "# Guide\nIntro text.\n\n## Install\nRun the installer.\nThen restart.\n\n## Usage\nCall it.\n");
    }
    void TearDown() override {
        server_.reset();
        if (HasFailure()) std::cerr << "server log:\n" << slurp(root_ / "server.log");
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    ServerProcess& start() {
        server_ = std::make_unique<ServerProcess>(QUILLBOX_EXE, std::vector<std::string>{"serve", "--root", root_.string()},
                                                  root_ / "server.log");
        return *server_;
    }

    json initialize(const std::string& version = "2025-11-25") {
        json r = server_->request("initialize", {{"protocolVersion", version},
                                                 {"capabilities", json::object()},
                                                 {"clientInfo", {{"name", "e2e"}, {"version", "1"}}}});
        server_->send({{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}});
        return r;
    }

    // (text, isError) of one tools/call.
    std::pair<std::string, bool> call(const std::string& tool, const json& args) {
        json r = server_->request("tools/call", {{"name", tool}, {"arguments", args}});
        EXPECT_TRUE(r.contains("result")) << r.dump();
        const auto& res = r["result"];
        return {res["content"][0]["text"].get<std::string>(), res["isError"].get<bool>()};
    }

    std::string ok(const std::string& tool, const json& args) {
        auto [text, is_error] = call(tool, args);
        EXPECT_FALSE(is_error) << text;
        return text;
    }

    // The text of a call that must come back as a refusal (isError, the operation's own text).
    std::string refused(const std::string& tool, const json& args) {
        auto [text, is_error] = call(tool, args);
        EXPECT_TRUE(is_error) << tool << " " << args.dump() << " -> " << text;
        return text;
    }

    fs::path root_, guide_;
    std::unique_ptr<ServerProcess> server_;
};

TEST_F(E2E, WholeSessionListReadReplaceOutsideEditAndCachedRead) {
    start();
    json init = initialize();
    EXPECT_EQ(init["result"]["protocolVersion"], "2025-11-25");
    EXPECT_EQ(init["result"]["serverInfo"]["name"], "quillbox");
    EXPECT_TRUE(init["result"]["capabilities"].contains("tools"));

    json tools = server_->request("tools/list");
    std::set<std::string> names;
    for (const auto& t : tools["result"]["tools"]) {
        names.insert(t["name"]);
        EXPECT_EQ(t["inputSchema"]["type"], "object");
        for (const char* hint : {"readOnlyHint", "destructiveHint", "idempotentHint", "openWorldHint"})
            EXPECT_TRUE(t["annotations"][hint].is_boolean()) << t["name"] << " " << hint;
        EXPECT_FALSE(t["annotations"]["openWorldHint"].get<bool>());
    }
    for (const char* core : {"md_list_blocks", "md_read_block", "md_replace_block", "md_find_blocks",
                             "md_search_blocks", "read_file"})
        EXPECT_TRUE(names.count(core)) << core;

    // List and read.
    std::string listing = ok("md_list_blocks", {{"file_path", "docs/guide.md"}});
    EXPECT_EQ(listing.rfind("✅ File: " + guide_.string() + "\n3 blocks:\n", 0), 0u) << listing;
    auto blocks = parse_listing(listing);
    ASSERT_EQ(blocks.size(), 3u);
    const auto install = by_title(blocks, "Install");
    EXPECT_EQ(install.marker, "##");

    std::string read = ok("md_read_block", {{"file_path", "docs/guide.md"}, {"block_id", install.id}});
    // The short id only: the whole uuid is no news.
    EXPECT_EQ(read.rfind("✅ Block ID: " + install.id.substr(0, 8) + "\nTitle: Install (level 2)\n", 0), 0u) << read;
    EXPECT_NE(read.find("---\n## Install\nRun the installer.\nThen restart.\n"), std::string::npos) << read;

    auto found = ok("md_find_blocks", {{"file_path", "docs/guide.md"}, {"query", "INSTALL"}});
    EXPECT_NE(found.find("✅ Found 1 blocks for 'INSTALL' in "), std::string::npos) << found;
    EXPECT_NE(found.find(install.id), std::string::npos);

    // Replace, then the same content again: idempotent.
    std::string replaced = ok("md_replace_block", {{"file_path", "docs/guide.md"},
                                                   {"block_id", install.id},
                                                   {"new_content", "## Install\nRun the new installer.\n"}});
    EXPECT_EQ(replaced.rfind("✅ Block 'Install' updated.\n-5: ", 0), 0u) << replaced;
    EXPECT_NE(replaced.find("\n+5: Run the new installer.\n[QUILLBOX_META] "), std::string::npos) << replaced;
    // The blank line that set the section off from the next heading stays.
    EXPECT_EQ(slurp(guide_), "# Guide\nIntro text.\n\n## Install\nRun the new installer.\n\n## Usage\nCall it.\n");

    std::string again = ok("md_replace_block", {{"file_path", "docs/guide.md"},
                                                {"block_id", install.id},
                                                {"new_content", "## Install\nRun the new installer."}});
    EXPECT_EQ(again, "✅ Block content unchanged (idempotent).\nFile: " + guide_.string());

    // An outside edit (a moment later, as a person would make it): two lines above everything
    // and a new section. The watcher re-indexes the file and keeps the ids of the surviving
    // headings; Install (stored at 4-6 after the replace) is now two lines lower.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    spit(guide_, "<!-- note -->\n\n# Guide\nIntro text.\n\n## Install\nRun the new installer.\n## Usage\nCall it.\n\n## FAQ\nNone.\n");
    bool seen = false;
    for (int i = 0; i < 100 && !seen; ++i) {
        std::string r = ok("md_read_block", {{"file_path", "docs/guide.md"}, {"block_id", install.id}});
        seen = r.find("\nLines: 6-7\n") != std::string::npos;
        if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(seen) << "the watcher did not re-index the changed file";

    // The next listing shows the new structure. The surviving headings may keep their ids:
    // what protects the user's text is that a write must match what this session was shown.
    auto relisted = parse_listing(ok("md_list_blocks", {{"file_path", "docs/guide.md"}}));
    ASSERT_EQ(relisted.size(), 4u);
    EXPECT_EQ(by_title(relisted, "FAQ").marker, "##");

    // Another outside edit of Install that the agent has not seen: a write with the id it
    // holds is refused (changed, or unknown once the file was indexed afresh), file untouched.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    spit(guide_, "<!-- note -->\n\n# Guide\nIntro text.\n\n## Install\nRun the newest installer.\n## Usage\nCall it.\n\n## FAQ\nNone.\n");
    const std::string before = slurp(guide_);
    std::string stale = refused("md_replace_block", {{"file_path", "docs/guide.md"},
                                                {"block_id", install.id},
                                                {"new_content", "## Install\nOverwritten.\n"}});
    EXPECT_TRUE(stale.rfind("ERROR: FILE_CHANGED\n", 0) == 0 ||
                stale == "❌ Error: Block not found.\nPlease call md_list_blocks(\"docs/guide.md\") first to get a valid block_id.")
        << stale;
    EXPECT_EQ(slurp(guide_), before);

    // Whole-file read: full content first, then the cached marker.
    std::string full = ok("read_file", {{"file_path", "docs/guide.md"}});
    EXPECT_EQ(full, "File: " + guide_.string() + "\n---\n" + before + "\n---");
    std::string cached = ok("read_file", {{"file_path", "docs/guide.md"}});
    EXPECT_TRUE(std::regex_match(cached, std::regex(R"(\[cached, sha=[0-9a-f]+, 12 lines\])"))) << cached;

    // A replace makes the next whole-file read full again.
    const auto faq = by_title(parse_listing(ok("md_list_blocks", {{"file_path", "docs/guide.md"}})), "FAQ");
    ok("md_replace_block", {{"file_path", "docs/guide.md"}, {"block_id", faq.id}, {"new_content", "## FAQ\nSome.\n"}});
    std::string after = ok("read_file", {{"file_path", "docs/guide.md"}});
    EXPECT_NE(after.find("Some."), std::string::npos) << after;

    server_->close_input();
    EXPECT_EQ(server_->wait_exit(), std::optional<int>(0));
}

TEST_F(E2E, ABlockOfAFileReadWholeIsGivenAgainWhenAskedTwice) {
    start();
    initialize();
    auto install = by_title(parse_listing(ok("md_list_blocks", {{"file_path", "docs/guide.md"}})), "Install");
    ok("read_file", {{"file_path", "docs/guide.md"}});
    const json args = {{"file_path", "docs/guide.md"}, {"block_id", install.id}};
    // The agent holds the file: a marker that says how to get the block anyway...
    std::string first = ok("md_read_block", args);
    EXPECT_EQ(first.rfind("✅ [cached, sha=", 0), 0u) << first;
    // ...and asking again (its context was compacted) gives the block.
    std::string second = ok("md_read_block", args);
    EXPECT_NE(second.find("---\n## Install\nRun the installer.\nThen restart.\n"), std::string::npos) << second;
}

TEST_F(E2E, TheThirdEditOfTheDayEndsWithTheMilestoneLine) {
    start();
    initialize();
    auto install = by_title(parse_listing(ok("md_list_blocks", {{"file_path", "docs/guide.md"}})), "Install");
    std::string answer;
    for (int i = 0; i < 3; ++i) {
        answer = ok("md_replace_block", {{"file_path", "docs/guide.md"},
                                         {"block_id", install.id},
                                         {"new_content", "## Install\nStep " + std::to_string(i) + ".\n"}});
        if (i < 2) {
            EXPECT_EQ(answer.find("milestone"), std::string::npos) << answer;
        }
    }
    EXPECT_NE(answer.find("\n🎉 Today's milestone: 3 edits through Quillbox"), std::string::npos) << answer;
    // Once a day.
    answer = ok("md_replace_block", {{"file_path", "docs/guide.md"}, {"block_id", install.id},
                                     {"new_content", "## Install\nStep 4.\n"}});
    EXPECT_EQ(answer.find("milestone"), std::string::npos) << answer;
    // A refused edit records nothing.
    auto [refused, is_error] = call("md_move_block", {{"block_id", install.id}, {"target_block_id", install.id},
                                                      {"position", "as_first_child"}});
    EXPECT_EQ(refused.find("milestone"), std::string::npos);
    // The activity lives in a file of its own: the index database holds only the indexer's tables.
    SQLite::Database index((root_ / ".quillbox" / "index.db").string());
    EXPECT_FALSE(index.tableExists("aha_events"));
    SQLite::Database activity((root_ / ".quillbox" / "activity.db").string());
    EXPECT_TRUE(activity.tableExists("aha_events"));
}

TEST_F(E2E, AModernClientNeedsNoHandshakeAndEachDiscoverOrInitializeStartsTheSessionOver) {
    start();
    auto modern = [&](const std::string& method, json params) {
        params["_meta"] = {{"io.modelcontextprotocol/protocolVersion", "2026-07-28"},
                           {"io.modelcontextprotocol/clientCapabilities", json::object()}};
        return server_->request(method, params);
    };
    auto read = [&] {
        json r = modern("tools/call", {{"name", "read_file"}, {"arguments", {{"file_path", "docs/guide.md"}}}});
        EXPECT_EQ(r["result"]["resultType"], "complete") << r.dump();
        return r["result"]["content"][0]["text"].get<std::string>();
    };
    // Served from the first request on; the marker once the content was given.
    EXPECT_EQ(read().rfind("File: ", 0), 0u);
    EXPECT_EQ(read().rfind("[cached, sha=", 0), 0u);
    // A probe is a client (re)connecting: it holds nothing of the earlier session.
    json discover = modern("server/discover", json::object());
    EXPECT_EQ(discover["result"]["supportedVersions"][0], "2026-07-28");
    EXPECT_EQ(read().rfind("File: ", 0), 0u);
    EXPECT_EQ(read().rfind("[cached, sha=", 0), 0u);
    initialize();
    EXPECT_EQ(ok("read_file", {{"file_path", "docs/guide.md"}}).rfind("File: ", 0), 0u);

    json refused = server_->request("tools/list", {{"_meta", {{"io.modelcontextprotocol/protocolVersion", "2099-01-01"},
                                                             {"io.modelcontextprotocol/clientCapabilities", json::object()}}}});
    EXPECT_EQ(refused["error"]["code"], -32022);
    EXPECT_EQ(refused["error"]["data"]["requested"], "2099-01-01");
    EXPECT_EQ(refused["error"]["data"]["supported"][0], "2026-07-28");
}

// A new session holds nothing of what an earlier one was shown: an agent that reconnects and
// uses an id it remembers is checked against the file as indexed, not against what the
// previous session saw before an outside edit.
TEST_F(E2E, ANewSessionIsNotHeldToWhatAnEarlierSessionWasShown) {
    start();
    initialize();
    const auto install = by_title(parse_listing(ok("md_list_blocks", {{"file_path", "docs/guide.md"}})), "Install");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    spit(guide_, "# Guide\nIntro text.\n\n## Install\nRun the other installer.\n\n## Usage\nCall it.\n");
    // The watcher re-indexes the file; asked of the index itself, so that no tool call shows
    // the agent the new text.
    auto indexed_hash = [&] {
        SQLite::Database db((root_ / ".quillbox" / "index.db").string());
        SQLite::Statement q(db, "SELECT content_hash FROM blocks WHERE id = ?");
        q.bind(1, install.id);
        return q.executeStep() ? q.getColumn(0).getString() : std::string();
    };
    const std::string listed = indexed_hash();
    for (int i = 0; i < 100 && indexed_hash() == listed; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_NE(indexed_hash(), listed) << "the watcher did not re-index the changed file";

    initialize();
    ok("md_replace_block", {{"file_path", "docs/guide.md"}, {"block_id", install.id},
                            {"new_content", "## Install\nRun the agent's installer.\n"}});
    EXPECT_EQ(slurp(guide_), "# Guide\nIntro text.\n\n## Install\nRun the agent's installer.\n\n## Usage\nCall it.\n");
}

TEST_F(E2E, BadInputGivesErrorsAndTheServerKeepsServing) {
    start();
    initialize();
    const std::string before = slurp(guide_);
    spit(root_ / "notes.txt", "plain\n");
    spit(root_ / "blob.md", std::string("\xff\xfe\x00\x01 binary", 10));
    fs::create_directories(root_ / "dir.md");
    spit(root_.parent_path() / (root_.filename().string() + "-outside.md"), "# Out\n");

    // Malformed JSON, a non-object, an unknown method: JSON-RPC errors.
    server_->send_raw("{\"jsonrpc\": \"2.0\", \"id\": 1, \"method\": \n");
    EXPECT_EQ(json::parse(*server_->read_line())["error"]["code"], -32700);
    server_->send_raw("42\n");
    EXPECT_EQ(json::parse(*server_->read_line())["error"]["code"], -32600);
    EXPECT_EQ(server_->request("resources/list")["error"]["code"], -32601);
    EXPECT_EQ(server_->request("tools/call", {{"name", "no_such_tool"}})["error"]["code"], -32602);

    // Tool-level problems are results with isError, with a text that says what is wrong.
    auto expect_error = [&](const std::string& tool, const json& args, const std::string& needle) {
        auto [text, is_error] = call(tool, args);
        EXPECT_TRUE(is_error) << tool << " " << args.dump() << " -> " << text;
        EXPECT_NE(text.find(needle), std::string::npos) << text;
    };
    expect_error("md_read_block", {{"file_path", "docs/guide.md"}, {"block_id", 12}}, "'block_id' must be a string");
    expect_error("md_replace_block", {{"file_path", "docs/guide.md"}, {"block_id", "x"}}, "'new_content'");
    expect_error("md_list_blocks", {{"file_path", "../" + root_.filename().string() + "-outside.md"}}, "outside");
    expect_error("md_list_blocks", {{"file_path", "blob.md"}}, "ENCODING_ERROR");

    // Expected refusals keep their texts and are marked as errors.
    EXPECT_EQ(refused("md_list_blocks", {{"file_path", "notes.txt"}}),
              "❌ Error: Quillbox only supports .md files. Use native Edit for other files.");
    EXPECT_EQ(refused("md_list_blocks", {{"file_path", "missing.md"}}), "File not found: " + (root_ / "missing.md").string());
    EXPECT_EQ(refused("read_file", {{"file_path", "blob.md"}}), "Error: Unable to read file " + (root_ / "blob.md").string());
    EXPECT_EQ(refused("md_read_block", {{"file_path", "docs/guide.md"}, {"block_id", "00000000-0000-4000-8000-000000000000"}})
                  .rfind("❌ Error: Block not found.", 0),
              0u);
    auto [dir_text, dir_error] = call("md_list_blocks", {{"file_path", "dir.md"}});
    EXPECT_FALSE(dir_text.empty());

    EXPECT_EQ(server_->request("ping")["result"], json::object());
    EXPECT_EQ(slurp(guide_), before);
    server_->close_input();
    EXPECT_EQ(server_->wait_exit(), std::optional<int>(0));
    fs::remove(root_.parent_path() / (root_.filename().string() + "-outside.md"));
}

TEST_F(E2E, OverflowingNumbersAndMisspelledArgumentsAreRefusedAndTheServerGoesOn) {
    start();
    initialize();
    const std::string before = slurp(guide_);
    server_->send_raw("{\"jsonrpc\":\"2.0\",\"id\":1e400,\"method\":\"ping\"}\n");
    auto line = server_->read_line();
    ASSERT_TRUE(line.has_value()) << "the server died on an overflowing id";
    EXPECT_EQ(json::parse(*line)["error"]["code"], -32600);

    const std::string install = by_title(parse_listing(ok("md_list_blocks", {{"file_path", "docs/guide.md"}})), "Install").id;
    server_->send_raw("{\"jsonrpc\":\"2.0\",\"id\":8,\"method\":\"tools/call\",\"params\":{\"name\":\"md_adjust_level\","
                      "\"arguments\":{\"block_id\":\"" + install + "\",\"delta\":-1e400}}}\n");
    line = server_->read_line();
    ASSERT_TRUE(line.has_value()) << "the server died on an overflowing argument";
    json r = json::parse(*line);
    EXPECT_EQ(r["id"], 8);
    EXPECT_EQ(r["result"]["isError"], true);
    EXPECT_EQ(r["result"]["content"][0]["text"], "Invalid arguments: 'delta' is out of range (-1e400).");

    auto [text, is_error] = call("md_adjust_level", {{"block_id", install}, {"delta", 1}, {"recursively", false}});
    EXPECT_TRUE(is_error);
    EXPECT_EQ(text.rfind("Invalid arguments: unknown argument 'recursively'; did you mean 'recursive'?", 0), 0u) << text;
    EXPECT_EQ(slurp(guide_), before);
    EXPECT_EQ(server_->request("ping")["result"], json::object());
}

TEST_F(E2E, ALinkSwappedInAfterListingCannotRedirectAWrite) {
    const fs::path outside = root_.parent_path() / (root_.filename().string() + "-outside");
    fs::create_directories(outside / "sub");
    const std::string text = "# Swap\nSecret text.\n";
    spit(outside / "secret.md", text);
    spit(outside / "sub" / "deep.md", text);
    spit(root_ / "swap.md", text);
    spit(root_ / "sub" / "deep.md", text);
    start();
    initialize();
    const std::string file_id = by_title(parse_listing(ok("md_list_blocks", {{"file_path", "swap.md"}})), "Swap").id;
    const std::string dir_id = by_title(parse_listing(ok("md_list_blocks", {{"file_path", "sub/deep.md"}})), "Swap").id;

    // The file becomes a link to a file outside; the directory a link to one outside.
    fs::remove(root_ / "swap.md");
    fs::create_symlink(outside / "secret.md", root_ / "swap.md");
    fs::remove_all(root_ / "sub");
    fs::create_symlink(outside / "sub", root_ / "sub");
    for (const auto& [path, id] : {std::pair{"swap.md", file_id}, std::pair{"sub/deep.md", dir_id}}) {
        auto [text_out, is_error] = call("md_replace_block", {{"file_path", path}, {"block_id", id},
                                                              {"new_content", "# Swap\nOverwritten.\n"}});
        // Refused: as outside the project, or (once the watcher dropped the old blocks) as unknown.
        EXPECT_TRUE(is_error) << path << " -> " << text_out;
        auto [read_out, read_error] = call("md_read_block", {{"file_path", path}, {"block_id", id}});
        EXPECT_TRUE(read_error) << read_out;
    }
    EXPECT_EQ(slurp(outside / "secret.md"), text);
    EXPECT_EQ(slurp(outside / "sub" / "deep.md"), text);
    fs::remove_all(outside);
}

TEST_F(E2E, AFifoIsRefusedAndTheServerGoesOnAnswering) {
    ASSERT_EQ(::mkfifo((root_ / "p.md").c_str(), 0644), 0);
    start();
    initialize();
    for (const char* tool : {"md_list_blocks", "read_file", "md_generate_toc"}) {
        auto [text, is_error] = call(tool, {{"file_path", "p.md"}});
        EXPECT_TRUE(is_error) << tool;
        EXPECT_NE(text.find("not a regular file (FIFO)"), std::string::npos) << tool << " -> " << text;
    }
    EXPECT_EQ(server_->request("ping")["result"], json::object());
}

TEST_F(E2E, SearchWithoutAModelAnswersFromTheKeywordIndex) {
    // No model on this machine and downloads forbidden.
    struct Env {
        std::string name;
        std::optional<std::string> old;
        Env(std::string n, std::optional<std::string> v) : name(std::move(n)) {
            if (const char* o = std::getenv(name.c_str())) old = o;
            if (v) ::setenv(name.c_str(), v->c_str(), 1);
            else ::unsetenv(name.c_str());
        }
        ~Env() {
            if (old) ::setenv(name.c_str(), old->c_str(), 1);
            else ::unsetenv(name.c_str());
        }
    };
    Env offline("HF_HUB_OFFLINE", "1"), hf("HF_HOME", (root_ / ".hf").string()), hub("HF_HUB_CACHE", std::nullopt),
        own("QUILLBOX_MODEL_DIR", (root_ / ".models").string()), model("QUILLBOX_SEMANTIC_MODEL", std::nullopt);
    start();
    initialize();
    ok("md_list_blocks", {{"file_path", "docs/guide.md"}});
    // Once a model-download error, in Chinese, in an English project: now the keyword index
    // answers, the section that holds the words first.
    auto [text, is_error] = call("md_search_blocks", {{"query", "how to install"}});
    EXPECT_FALSE(is_error) << text;
    EXPECT_EQ(text.rfind("Search 'how to install':\n  [", 0), 0u) << text;
    EXPECT_NE(text.find("] Install (score="), std::string::npos) << text;
    EXPECT_LT(text.find("] Install (score="), text.find("\n  [", 25)) << text;
    EXPECT_NE(text.find("\n    Run the installer. Then restart."), std::string::npos) << text;
    EXPECT_EQ(text.find("download failed"), std::string::npos) << text;
    EXPECT_EQ(server_->request("ping")["result"], json::object());
    EXPECT_FALSE(ok("md_list_blocks", {{"file_path", "docs/guide.md"}}).empty());
    server_->close_input();
    EXPECT_EQ(server_->wait_exit(), std::optional<int>(0));
}

TEST_F(E2E, NegotiatesTheProtocolVersionAndStopsOnSigterm) {
    start();
    EXPECT_EQ(initialize("2024-11-05")["result"]["protocolVersion"], "2024-11-05");
    // A second initialize starts the session over; an unknown version gets the current one.
    EXPECT_EQ(initialize("1999-01-01")["result"]["protocolVersion"], "2025-11-25");
    EXPECT_EQ(server_->request("ping")["result"], json::object());
    server_->signal(SIGTERM);
    EXPECT_EQ(server_->wait_exit(), std::optional<int>(0));
    std::string log = slurp(root_ / "server.log");
    EXPECT_NE(log.find("signal received"), std::string::npos) << log;
}

}  // namespace

// Started as Claude Code starts it from a subfolder of a fresh clone (the root argument arriving
// as ".", the project in CLAUDE_PROJECT_DIR): the server serves the top level, watches only the
// folders git keeps, and indexes every Markdown file git keeps without being asked.
TEST_F(E2E, StartedFromASubfolderItIndexesWhatGitKeepsAndWatchesOnlyThat) {
    ASSERT_EQ(std::system(("cd '" + root_.string() + "' && git init -q .").c_str()), 0);
    spit(root_ / ".gitignore", "node_modules/\nserver.log\n");
    spit(root_ / "README.md", "# Readme\n");
    spit(root_ / "docs" / "sub" / "more.md", "# More\n## Detail\n");
    spit(root_ / "docs" / ".gitignore", "drafts/\n");
    spit(root_ / "docs" / "drafts" / "wip.md", "# Draft\n");
    for (int i = 0; i < 40; ++i) spit(root_ / "node_modules" / ("p" + std::to_string(i)) / "lib" / "README.md", "# P\n");

    server_ = std::make_unique<ServerProcess>(QUILLBOX_EXE, std::vector<std::string>{"serve", "--root", "."},
                                              root_ / "server.log",
                                              std::vector<std::pair<std::string, std::string>>{
                                                  {"CLAUDE_PROJECT_DIR", root_.string()}},
                                              root_ / "docs");
    initialize();
    std::string log;
    for (int i = 0; i < 200 && log.find("index ready") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        log = slurp(root_ / "server.log");
    }
    EXPECT_NE(log.find("serving " + root_.string() + " "), std::string::npos) << log;
    EXPECT_NE(log.find("watching 3 folders"), std::string::npos) << log;  // the root, docs, docs/sub
    EXPECT_NE(log.find("index ready: 3 Markdown files (3 indexed"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(root_ / "docs" / ".quillbox"));

    SQLite::Database db((root_ / ".quillbox" / "index.db").string());
    SQLite::Statement q(db, "SELECT DISTINCT file_path FROM blocks ORDER BY file_path");
    std::vector<std::string> files;
    while (q.executeStep()) files.push_back(fs::path(q.getColumn(0).getString()).lexically_relative(root_).string());
    EXPECT_EQ(files, (std::vector<std::string>{"README.md", "docs/guide.md", "docs/sub/more.md"}));
}

// Two patches of one file in one message (an agent's parallel calls): both land, and the
// watcher knows both writes for the server's own, so it neither marks the file busy nor
// indexes it again. An outside save a moment later is still seen.
TEST_F(E2E, PatchesSentTogetherBothLandAndTheirWritesAreKnown) {
    server_ = std::make_unique<ServerProcess>(
        QUILLBOX_EXE, std::vector<std::string>{"serve", "--root", root_.string(), "--log-level", "debug"},
        root_ / "server.log");
    initialize();
    const auto blocks = parse_listing(ok("md_list_blocks", {{"file_path", "docs/guide.md"}}));
    const auto install = by_title(blocks, "Install"), usage = by_title(blocks, "Usage");
    for (const auto& b : {install, usage}) ok("md_read_block", {{"file_path", "docs/guide.md"}, {"block_id", b.id}});
    auto patch = [](int id, const Listed& b, const char* old_text, const char* new_text) {
        return json{{"jsonrpc", "2.0"}, {"id", id}, {"method", "tools/call"},
                    {"params", {{"name", "md_patch_block"},
                                {"arguments", {{"file_path", "docs/guide.md"}, {"block_id", b.id},
                                               {"old_text", old_text}, {"new_text", new_text}}}}}}
                   .dump() + "\n";
    };
    server_->send_raw(patch(101, install, "Then restart.", "Then restart.\nAnd check.") +
                      patch(102, usage, "Call it.", "Call it twice."));
    for (int id : {101, 102}) {
        auto line = server_->read_line();
        ASSERT_TRUE(line);
        const json r = json::parse(*line);
        EXPECT_EQ(r["id"], id);
        EXPECT_FALSE(r["result"]["isError"].get<bool>()) << *line;
    }
    EXPECT_EQ(slurp(guide_),
              "# Guide\nIntro text.\n\n## Install\nRun the installer.\nThen restart.\nAnd check.\n\n## Usage\nCall it twice.\n");
    // Past the watcher's window: nothing of ours was indexed again.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    const std::string log = slurp(root_ / "server.log");
    EXPECT_EQ(log.find("re-indexed"), std::string::npos) << log;
    EXPECT_EQ(log.find("holds the indexed bytes"), std::string::npos) << log;

    spit(guide_, slurp(guide_) + "\n## FAQ\nNone.\n");
    bool seen = false;
    for (int i = 0; i < 100 && !seen; ++i) {
        seen = slurp(root_ / "server.log").find("re-indexed " + guide_.string()) != std::string::npos;
        if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(seen) << slurp(root_ / "server.log");
    EXPECT_EQ(parse_listing(ok("md_list_blocks", {{"file_path", "docs/guide.md"}})).size(), 4u);
}
