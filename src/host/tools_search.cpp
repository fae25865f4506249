// Semantic search: md_search_blocks.
#include "host/config.h"
#include "host/embeddings.h"
#include "host/tools.h"
#include "quillbox/blockops.h"
#include "quillbox/i18n.h"
#include "quillbox/semantic.h"

namespace quillbox::host {

namespace {

Reply search_blocks(ToolContext& ctx, const json& args) {
    auto query = require_string(args, "query");
    if (!ctx.session) throw ToolError(get_message("server_no_session"));
    Session& session = *ctx.session;
    if (session.data_dir.empty()) throw ToolError(get_message("server_no_data_dir"));
    try {
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
        "block_id to md_read_block, md_patch_block or md_replace_block. Only files that were indexed "
        "(listed, edited, or reindexed with `quillbox reindex`) are searched. For an exact title in a "
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
