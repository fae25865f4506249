// Semantic search: md_search_blocks.
#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

#include "host/background_index.h"
#include "host/config.h"
#include "host/embeddings.h"
#include "host/tools.h"
#include "quillbox/blockops.h"
#include "quillbox/blockops/semantic_index.h"
#include "quillbox/i18n.h"
#include "quillbox/semantic.h"

namespace quillbox::host {

namespace {

// Longest a search waits for the project's index, telling a client that asked for progress how
// far it got.
constexpr double INDEX_WAIT_SECONDS = 30.0;

std::string index_progress_text(const BackgroundIndex::Progress& p) {
    return get_message("index_in_progress",
                       {{"done", std::to_string(p.done)}, {"total", p.listed ? std::to_string(p.total) : "?"}});
}

// While the project is being indexed: a client that asked for progress waits for it (bounded)
// and hears how far it got; any other search goes ahead over what is indexed. The progress then;
// `heard` becomes the count the client was told of, at least (0: nothing).
BackgroundIndex::Progress await_index(ToolContext& ctx, double& heard) {
    BackgroundIndex::Progress p = ctx.background->progress();
    if (p.finished || !ctx.report_progress) return p;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(INDEX_WAIT_SECONDS);
    double sent = -1;
    for (;;) {
        if (static_cast<double>(p.done) > sent) {
            sent = static_cast<double>(p.done);
            ctx.report_progress(sent, p.listed ? static_cast<double>(p.total) : 0.0, index_progress_text(p));
        }
        heard = std::max(sent, p.listed ? static_cast<double>(p.total) : 0.0);
        const double left = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
        if (p.finished || left <= 0) return p;
        p = ctx.background->wait_for_change(p, left);
    }
}

Reply search_blocks(ToolContext& ctx, const json& args) {
    auto query = require_string(args, "query");
    if (!ctx.session) throw ToolError(get_message("server_no_session"));
    Session& session = *ctx.session;
    if (session.data_dir.empty()) throw ToolError(get_message("server_no_data_dir"));
    try {
        Reply reply;
        std::optional<EmbeddingShown> embedding;
        double files = 0;  // what the client heard of indexing, counted before the sections
        if (ctx.background) {
            const BackgroundIndex::Progress p = await_index(ctx, files);
            reply = do_search_blocks(session, query, &embedding);
            if (!p.finished) reply += "\n\n" + index_progress_text(p);
        } else {
            reply = do_search_blocks(session, query, &embedding);
        }
        // Embedding goes on in the background: a client that asked for progress hears what the
        // answer's note says, after the files it heard of (one count that only grows).
        if (ctx.report_progress && embedding)
            ctx.report_progress(files + static_cast<double>(embedding->embedded),
                                files + static_cast<double>(embedding->total),
                                embedding_progress_note({embedding->embedded, embedding->total}));
        return reply;
    } catch (const SemanticModelError& e) {
        // The engine's own text first (it names the model and the cause), then what to do.
        std::string model = "MODEL";
        try {
            model = ctx.config ? semantic_model_for(*ctx.config)
                               : SemanticEngine::_load_config(session.data_dir / "vectors");
        } catch (const std::exception&) {
        }
        throw ToolError(get_message("semantic_model_failed", {{"model", e.model()}, {"error", e.cause()}}) +
                        get_message("semantic_model_hint", {{"model", model}}));
    } catch (const EmbeddingError& e) {
        throw ToolError(get_message("semantic_search_failed", {{"error", e.what()}}));
    }
}

}  // namespace

void register_search_tools(ToolRegistry& registry) {
    registry.add({
        "md_search_blocks",
        "Search all Markdown sections",
        "Search the sections of every Markdown file of the project by words and meaning; answers at "
        "most three, each with file and id. For a heading in a known file use md_find_blocks.",
        object_schema({{"query", string_property()}},
                      {"query"}),
        {.read_only = true, .destructive = false, .idempotent = true, .open_world = false},
        search_blocks,
    });
}

}  // namespace quillbox::host
