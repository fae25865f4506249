// One JSON-RPC line through the server's message handling, with every tool on a small project
// wired as `quillbox serve` wires it: at most one reply, itself one line of JSON carrying the
// request's id, and the server still answers a ping and lists a file afterwards.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz_common.h"
#include "host/mcp.h"
#include "host/milestones.h"
#include "host/project.h"
#include "host/tools.h"
#include "quillbox/session.h"
#include "quillbox/indexer.h"
#include "quillbox/safety.h"
#include "quillbox/tracker.h"
#include "quillbox/watcher.h"

using namespace quillbox;
using namespace quillbox::host;
using nlohmann::json;

namespace {

constexpr std::string_view GUIDE =
    "# Guide\nIntro\n<!-- toc -->\n<!-- tocstop -->\n## Install\nRun it.\n### Linux\napt\n## Usage\nUse it.\n";

struct Server {
    Server() {
        const auto root = qbfuzz::scratch() / "project";
        std::filesystem::create_directories(root);
        qbfuzz::put("project/guide.md", GUIDE);
        qbfuzz::put("project/notes.txt", "plain\n");
        project = open_project(root, /*create_data_dir=*/true);
        install_process_settings(project);
        // Only errors reach stderr: an internal error on some line is worth seeing.
        // QUILLBOX_FUZZ_WARNINGS=1 shows the tools' failures too, to triage a corpus.
        set_log_sink([](const LogRecord&) {});
        set_log_level(std::getenv("QUILLBOX_FUZZ_WARNINGS") ? LogLevel::warning : LogLevel::error);
        // The watcher is not started: its thread would re-index behind the fuzzer's back and
        // make a finding depend on timing.
        watcher = std::make_unique<FileWatcher>(project.root, [](const std::filesystem::path&) {});
        indexer = std::make_unique<Indexer>(project.data_dir / "index.db");
        safety = std::make_unique<SafetyEngine>(project.data_dir / "backups", &watcher->file_writes(),
                                                project.data_dir / "locks");
        register_all_tools(tools);
        milestones = Milestones::open(project.data_dir);
        if (milestones) tools = with_milestone_reports(tools, *milestones, *safety);
        context.config = project.config.get();
        new_session();
        McpProtocol::Hooks hooks;
        hooks.on_session_start = [this] { new_session(); };
        protocol = std::make_unique<McpProtocol>(tools, context, hooks);
    }
    Project project;
    std::unique_ptr<FileWatcher> watcher;
    std::unique_ptr<Indexer> indexer;
    std::unique_ptr<SafetyEngine> safety;
    std::unique_ptr<Milestones> milestones;
    std::unique_ptr<Session> session;
    ToolRegistry tools;
    ToolContext context;
    std::unique_ptr<McpProtocol> protocol;

    void new_session() {
        session = open_session(project, *indexer, *watcher, *safety, nullptr);
        // No data directory: semantic search is refused before any model is looked for.
        session->data_dir.clear();
        context.session = session.get();
    }
};

// What the line asks for, when it is plain JSON: the id a reply must carry, or that no reply
// is due (a notification).
struct Expectation {
    bool known = false;
    bool reply_due = false;
    json id;
};

Expectation expect(std::string_view line) {
    Expectation e;
    const json message = json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (message.is_discarded() || !message.is_object()) return e;
    const auto method = message.find("method");
    const auto version = message.find("jsonrpc");
    if (method == message.end() || !method->is_string() || version == message.end() || *version != "2.0")
        return e;
    const auto params = message.find("params");
    if (params != message.end() && !params->is_object() && !params->is_array()) return e;
    const auto id = message.find("id");
    if (id == message.end()) {
        e.known = true;
        return e;
    }
    if (!id->is_string() && !id->is_number_integer()) return e;
    e.known = e.reply_due = true;
    e.id = *id;
    return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Server server;
    // Every input starts from the same file, so that a finding replays alone.
    qbfuzz::put("project/guide.md", GUIDE);

    std::string_view line = qbfuzz::as_text(data, size);
    line = line.substr(0, line.find('\n'));
    const Expectation expected = expect(line);
    auto reply = server.protocol->handle_line(line);
    if (reply) {
        if (reply->find('\n') != std::string::npos) qbfuzz::fail("reply spans lines");
        const json parsed = json::parse(*reply, nullptr, false);
        if (parsed.is_discarded()) qbfuzz::fail("reply is not JSON: " + reply->substr(0, 200));
        if (!parsed.is_object() && !parsed.is_array()) qbfuzz::fail("reply is neither object nor batch");
        if (expected.known && !expected.reply_due) qbfuzz::fail("a notification got a reply: " + reply->substr(0, 200));
        if (expected.reply_due && (!parsed.is_object() || !parsed.contains("id") || parsed["id"] != expected.id))
            qbfuzz::fail("reply does not carry the request's id: " + reply->substr(0, 200));
    } else if (expected.reply_due) {
        qbfuzz::fail("a request got no reply");
    }

    auto pong = server.protocol->handle_line(R"({"jsonrpc":"2.0","id":"after","method":"ping"})");
    if (!pong || *pong != R"({"id":"after","jsonrpc":"2.0","result":{}})") qbfuzz::fail("ping after the line failed");
    auto listing = server.protocol->handle_line(
        R"({"jsonrpc":"2.0","id":"list","method":"tools/call","params":{"name":"md_list_blocks","arguments":{"file_path":"guide.md"}}})");
    const json listed = listing ? json::parse(*listing, nullptr, false) : json();
    if (!listed.is_object() || !listed.contains("result") || listed["result"].value("isError", true))
        qbfuzz::fail("listing after the line failed: " + listing.value_or("no reply").substr(0, 300));
    return 0;
}
