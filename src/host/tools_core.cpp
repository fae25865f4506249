// The core tools: list, read, replace and find blocks, and the whole-file read.
#include "quillbox/blockops.h"

#include "host/tools.h"
#include "host/tools_common.h"

namespace quillbox::host {

namespace {

using tools_common::FILE_PATH_DOC;
using tools_common::need;

constexpr const char* BLOCK_ID_DOC =
    "Block id (a UUID) exactly as md_list_blocks or md_find_blocks returned it. Never invent or "
    "reuse remembered ids: list the file again when unsure.";

std::string list_blocks(ToolContext& ctx, const json& args) {
    auto file_path = require_string(args, "file_path");
    return do_list_blocks(need(ctx.indexer, "index"), need(ctx.watcher, "file watcher"), file_path);
}

std::string read_block(ToolContext& ctx, const json& args) {
    auto file_path = require_string(args, "file_path");
    auto block_id = require_string(args, "block_id");
    return do_read_block(need(ctx.indexer, "index"), need(ctx.cache, "read cache"), file_path, block_id);
}

std::string replace_block(ToolContext& ctx, const json& args) {
    auto file_path = require_string(args, "file_path");
    auto block_id = require_string(args, "block_id");
    auto new_content = require_string(args, "new_content");
    return do_replace_block(need(ctx.indexer, "index"), need(ctx.watcher, "file watcher"),
                            need(ctx.safety, "safety engine"), need(ctx.tracker, "read tracker"),
                            file_path, block_id, new_content);
}

std::string find_blocks(ToolContext& ctx, const json& args) {
    auto file_path = require_string(args, "file_path");
    auto query = require_string(args, "query");
    return do_find_blocks(need(ctx.indexer, "index"), need(ctx.watcher, "file watcher"), file_path, query);
}

std::string read_file(ToolContext& ctx, const json& args) {
    auto file_path = require_string(args, "file_path");
    auto& tracker = need(ctx.tracker, "read tracker");
    // Every ask counts against the repeat threshold: an agent that keeps asking for a file it
    // was told it holds has probably lost it, and then gets the full content again.
    try {
        tracker.record_recent_call(_resolve_path(file_path).string());
    } catch (const std::exception&) {
        // The operation resolves again and reports the problem itself.
    }
    return do_read_file(need(ctx.cache, "read cache"), tracker, file_path);
}

}  // namespace

void register_core_tools(ToolRegistry& registry) {
    registry.add({
        "md_list_blocks",
        "List Markdown sections",
        "List the heading sections (blocks) of a Markdown file: for each one its block id, heading "
        "level, title and line range. Start here: md_read_block and md_replace_block need a block id "
        "from this listing (or from md_find_blocks). Ids stay valid while the file is edited through "
        "these tools; after the file was changed by something else, list it again to get the new ids.",
        object_schema({{"file_path", string_property(FILE_PATH_DOC)}}, {"file_path"}),
        {.read_only = true, .destructive = false, .idempotent = true, .open_world = false},
        list_blocks,
    });
    registry.add({
        "md_read_block",
        "Read one Markdown section",
        "Read one section of a Markdown file by its block id (from md_list_blocks or md_find_blocks). "
        "Returns the title, level and line range, then the section's lines between two --- lines: "
        "the heading line and everything up to the next heading of the same or a higher level. To "
        "change it, send the edited text back with md_replace_block. An answer like [cached, sha=…, "
        "N lines] means you already hold this file's current content from read_file.",
        object_schema({{"file_path", string_property("The Markdown file the block belongs to (as in "
                                                     "md_list_blocks); used to guide you when the id is "
                                                     "unknown.")},
                       {"block_id", string_property(BLOCK_ID_DOC)}},
                      {"file_path", "block_id"}),
        {.read_only = true, .destructive = false, .idempotent = true, .open_world = false},
        read_block,
    });
    registry.add({
        "md_replace_block",
        "Replace one Markdown section",
        "Replace the whole content of one section of a Markdown file: its heading line and everything "
        "up to the next heading of the same or a higher level. Read the block with md_read_block "
        "first and send the complete new text of the section as new_content, heading line included "
        "(an empty new_content deletes the section). The id must come from md_list_blocks or "
        "md_find_blocks. When the section changed since it was indexed the call is refused with "
        "FILE_CHANGED: list and read it again. Sending unchanged content is a no-op. Every write is "
        "backed up, written atomically and verified. Prefer this to rewriting whole Markdown files.",
        object_schema({{"file_path", string_property("The Markdown file the block belongs to (as in "
                                                     "md_list_blocks).")},
                       {"block_id", string_property(BLOCK_ID_DOC)},
                       {"new_content", string_property("The complete new text of the section, heading "
                                                       "line included, lines separated by line feeds.")}},
                      {"file_path", "block_id", "new_content"}),
        {.read_only = false, .destructive = true, .idempotent = true, .open_world = false},
        replace_block,
    });
    registry.add({
        "md_find_blocks",
        "Find Markdown sections by heading",
        "Find the sections of one Markdown file whose heading contains the query (case-insensitive; "
        "only headings are searched, not the text under them). Returns the matching block ids with "
        "level and line range, ready for md_read_block and md_replace_block. An empty query lists "
        "every section.",
        object_schema({{"file_path", string_property(FILE_PATH_DOC)},
                       {"query", string_property("Word or phrase to look for in the headings.")}},
                      {"file_path", "query"}),
        {.read_only = true, .destructive = false, .idempotent = true, .open_world = false},
        find_blocks,
    });
    registry.add({
        "read_file",
        "Read a whole file",
        "Read the whole content of a text file in the project (any file type; line ends come back as "
        "line feeds). If you already received this file's unchanged content earlier in the session, "
        "the answer is a short [cached, sha=…, N lines] marker instead: the copy you hold is current. "
        "If you no longer have it, call read_file again and the full content follows. For large "
        "Markdown files prefer md_list_blocks and md_read_block.",
        object_schema({{"file_path", string_property("Path of the file, relative to the project root "
                                                     "or absolute inside it.")}},
                      {"file_path"}),
        {.read_only = true, .destructive = false, .idempotent = true, .open_world = false},
        read_file,
    });
}

}  // namespace quillbox::host
