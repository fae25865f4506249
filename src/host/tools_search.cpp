// Semantic search: md_search_blocks.
#include <chrono>
#include <string>

#include "host/background_index.h"
#include "host/config.h"
#include "host/embeddings.h"
#include "host/tools.h"
#include "quillbox/blockops.h"
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
// and hears how far it got; any other search goes ahead over what is indexed. The progress then.
BackgroundIndex::Progress await_index(ToolContext& ctx) {
    BackgroundIndex::Progress p = ctx.background->progress();
    if (p.finished || !ctx.report_progress) return p;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(INDEX_WAIT_SECONDS);
    double sent = -1;
    for (;;) {
        if (static_cast<double>(p.done) > sent) {
            sent = static_cast<double>(p.done);
            ctx.report_progress(sent, p.listed ? static_cast<double>(p.total) : 0.0, index_progress_text(p));
        }
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
        if (ctx.background) {
            const BackgroundIndex::Progress p = await_index(ctx);
            Reply reply = do_search_blocks(session, query);
            if (!p.finished) reply += "\n\n" + index_progress_text(p);
            return reply;
        }
        return do_search_blocks(session, query);
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
        "Search Markdown sections by words and meaning",
        "Search the sections of ALL indexed Markdown files of the project: by their words (titles "
        "weigh most; any language, Chinese and Japanese included) and, when an embedding model is "
        "available, by meaning too, the two rankings merged. Give the words or a free-text description "
        "of what you look for. Returns at most three sections, each with a confidence label (high, "
        "medium, low), a score in percent and a short excerpt around the matched words; low-confidence "
        "matches carry a warning, so check them before relying on them. Each result names its file "
        "(file=, relative to the project root) and its block id (id=): pass them as file_path and "
        "block_id to md_read_block, md_patch_block or md_replace_block. The server indexes every "
        "Markdown file of the project when it starts; a search before that is done says how far it "
        "got. For an exact title in a "
        "known file use md_find_blocks instead. When the project sets semantic.backend = openai, the "
        "query and the section titles are sent to the configured embeddings endpoint.",
        object_schema({{"query", string_property("What to look for, in plain words, e.g. \"how to "
                                                 "configure the cache\".")}},
                      {"query"}),
        {.read_only = true, .destructive = false, .idempotent = true, .open_world = false},
        search_blocks,
    });
}

}  // namespace quillbox::host
