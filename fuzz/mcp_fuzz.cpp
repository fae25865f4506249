// One JSON-RPC line through the server's message handling, with every tool on a small project:
// at most one reply, itself one line of JSON, and the server still answers afterwards.

#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz_common.h"
#include "host/mcp.h"
#include "host/tools.h"
#include "quillbox/host.h"
#include "quillbox/indexer.h"
#include "quillbox/safety.h"
#include "quillbox/tracker.h"
#include "quillbox/watcher.h"

using namespace quillbox;
using namespace quillbox::host;

namespace {

struct Server {
    Server() {
        const auto root = qbfuzz::scratch() / "project";
        std::filesystem::create_directories(root / ".quillbox");
        qbfuzz::put("project/guide.md", "# Guide\nIntro\n## Install\nRun it.\n<!-- toc -->\n<!-- tocstop -->\n");
        qbfuzz::put("project/notes.txt", "plain\n");
        set_log_sink([](const LogRecord&) {});
        // Confined to the scratch project: the tools must never touch another file.
        set_path_resolver(std::make_shared<ProjectPathResolver>(root));
        watcher = std::make_unique<FileWatcher>(root, [](const std::filesystem::path&) {});
        indexer = std::make_unique<Indexer>(root / ".quillbox" / "index.db");
        safety = std::make_unique<SafetyEngine>(root / ".quillbox" / "backups", &watcher->write_tracker());
        register_all_tools(tools);
        context.indexer = indexer.get();
        context.watcher = watcher.get();
        context.safety = safety.get();
        context.tracker = &tracker;
        context.cache = &cache;
        context.root = root;  // no data directory: semantic search is refused, no model is loaded
        protocol = std::make_unique<McpProtocol>(tools, context);
    }
    std::unique_ptr<FileWatcher> watcher;
    std::unique_ptr<Indexer> indexer;
    std::unique_ptr<SafetyEngine> safety;
    SessionReadTracker tracker;
    MemoryReadCache cache;
    ToolRegistry tools;
    ToolContext context;
    std::unique_ptr<McpProtocol> protocol;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Server server;
    std::string_view line = qbfuzz::as_text(data, size);
    line = line.substr(0, line.find('\n'));
    auto reply = server.protocol->handle_line(line);
    if (reply) {
        if (reply->find('\n') != std::string::npos) qbfuzz::fail("reply spans lines");
        auto parsed = nlohmann::json::parse(*reply, nullptr, false);
        if (parsed.is_discarded()) qbfuzz::fail("reply is not JSON: " + reply->substr(0, 200));
        if (!parsed.is_object() && !parsed.is_array()) qbfuzz::fail("reply is neither object nor batch");
    }
    auto pong = server.protocol->handle_line(R"({"jsonrpc":"2.0","id":"after","method":"ping"})");
    if (!pong || *pong != R"({"id":"after","jsonrpc":"2.0","result":{}})") qbfuzz::fail("ping after the line failed");
    return 0;
}
