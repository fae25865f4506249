// The core tools: list, read, replace and find blocks, and the whole-file read.
#include "quillbox/blockops.h"

#include "host/tools.h"
#include "host/tools_common.h"

namespace quillbox::host {

namespace {

using tools_common::FILE_PATH_DOC;
using tools_common::session_of;

using tools_common::block_argument;
using tools_common::HEADING_DOC;

constexpr const char* BLOCK_ID_DOC =
    "Block id exactly as md_list_blocks or md_find_blocks returned it: the whole UUID, or its first "
    "8 or more characters when they name one block (short_ids listings show such ids). Never "
    "invent or reuse remembered ids: list the file again when unsure.";

constexpr const char* BLOCK_FILE_DOC =
    "The Markdown file the block belongs to (as in md_list_blocks); used to guide you when the id "
    "is unknown.";

// A count argument (offset, limit, max_level) that must not be negative.
std::optional<long long> optional_count(const json& args, std::string_view name, long long minimum) {
    auto v = optional_integer(args, name);
    if (v && *v < minimum)
        throw ToolArgumentError(get_message("arg_at_least", {{"name", name}, {"minimum", minimum}}));
    return v;
}

LineWindow line_window(const json& args) {
    return LineWindow{optional_count(args, "offset", 1), optional_count(args, "limit", 1)};
}

json window_properties(json properties, std::string_view what) {
    properties["offset"] = integer_property(
        "First line to return, as a line number of the file (1 = first line). Use the offset that a "
        "cut answer names to get the next " + std::string(what) + ".",
        1);
    properties["limit"] = integer_property("Number of lines to return at most.", 1);
    return properties;
}

Reply list_blocks(ToolContext& ctx, const json& args) {
    auto file_path = require_string(args, "file_path");
    Session& session = session_of(ctx);
    ListOptions options;
    options.max_level = optional_count(args, "max_level", 1);
    if (auto under = optional_string(args, "under")) {
        // An id (or a prefix of one), else a heading of the file.
        const bool id_like = under->size() >= SHORT_ID_MIN &&
                             under->find_first_not_of("0123456789abcdef-") == std::string::npos;
        if (id_like) {
            options.under = tools_common::block_id_argument(session.index, args, "under");
        } else {
            HeadingTarget target = resolve_heading(session, file_path, *under);
            if (target.refusal) throw ToolError(std::move(*target.refusal));
            options.under = std::move(target.id);
        }
    }
    options.offset = optional_count(args, "offset", 0).value_or(0);
    options.limit = optional_count(args, "limit", 1);
    options.short_ids = optional_bool(args, "short_ids", false);
    return do_list_blocks(session, file_path, options);
}

Reply read_block(ToolContext& ctx, const json& args) {
    auto file_path = require_string(args, "file_path");
    Session& session = session_of(ctx);
    auto block_id = block_argument(session, args);
    return do_read_block(session, file_path, block_id, line_window(args));
}

Reply read_blocks(ToolContext& ctx, const json& args) {
    auto file_path = require_string(args, "file_path");
    Session& session = session_of(ctx);
    std::vector<std::string> ids;
    const bool by_id = optional_string_array(args, "block_ids").has_value();
    const bool by_heading = optional_string_array(args, "headings").has_value();
    if (!by_id && !by_heading)
        throw ToolArgumentError(get_message("arg_block_or_heading", {{"id", "block_ids"}, {"heading", "headings"}}));
    if (by_id)
        for (const auto& id : require_string_array(args, "block_ids")) {
            auto expanded = expand_block_id(session.index, id);
            if (!expanded.ambiguous.empty())
                throw ToolError(ambiguous_block_id_message(expanded.id, expanded.ambiguous));
            ids.push_back(std::move(expanded.id));
        }
    if (by_heading)
        for (const auto& heading : require_string_array(args, "headings")) {
            HeadingTarget target = resolve_heading(session, file_path, heading);
            if (target.refusal) throw ToolError(std::move(*target.refusal));
            ids.push_back(std::move(target.id));
        }
    return do_read_blocks(session, file_path, ids);
}

Reply replace_block(ToolContext& ctx, const json& args) {
    auto file_path = require_string(args, "file_path");
    Session& session = session_of(ctx);
    auto block_id = block_argument(session, args);
    auto new_content = require_string(args, "new_content");
    return do_replace_block(session, file_path, block_id, new_content);
}

Reply patch_block(ToolContext& ctx, const json& args) {
    auto file_path = require_string(args, "file_path");
    Session& session = session_of(ctx);
    auto block_id = block_argument(session, args);
    auto old_text = require_string(args, "old_text");
    auto new_text = require_string(args, "new_text");
    bool replace_all = optional_bool(args, "replace_all", false);
    return do_patch_block(session, file_path, block_id, old_text, new_text, replace_all);
}

Reply find_blocks(ToolContext& ctx, const json& args) {
    auto file_path = require_string(args, "file_path");
    auto query = require_string(args, "query");
    bool short_ids = optional_bool(args, "short_ids", false);
    return do_find_blocks(session_of(ctx), file_path, query, short_ids);
}

Reply read_file(ToolContext& ctx, const json& args) {
    auto file_path = require_string(args, "file_path");
    const LineWindow window = line_window(args);
    Session& session = session_of(ctx);
    // Every ask counts against the repeat threshold: an agent that keeps asking for a file it
    // was told it holds has probably lost it, and then gets the full content again.
    if (!window.is_set()) {
        try {
            session.reads.record_recent_call(session.resolve(file_path).string());
        } catch (const std::exception&) {
            // The operation resolves again and reports the problem itself.
        }
    }
    return do_read_file(session, file_path, window);
}

}  // namespace

void register_core_tools(ToolRegistry& registry) {
    registry.add({
        "md_list_blocks",
        "List Markdown sections",
        "List the heading sections (blocks) of a Markdown file: for each one its block id, heading "
        "level, title and line range. Start here: the other block tools need a block id from this "
        "listing (or from md_find_blocks). Set short_ids to get 8-character ids, which every tool "
        "accepts and which cost far fewer tokens. For a long file, narrow the listing with max_level "
        "(e.g. 2 for the # and ## headings) or under (one section's subsections), and page with "
        "offset and limit; a listing too long for one answer is cut and its last line names the "
        "offset for the rest. Ids stay valid while the file is edited through these tools; after "
        "the file was changed by something else, list it again to get the new ids.",
        object_schema({{"file_path", string_property(FILE_PATH_DOC)},
                       {"short_ids", boolean_property("Show ids of 8 characters (longer only where needed "
                                                      "to stay unique).",
                                                      false)},
                       {"max_level", integer_property("Only headings of this level or higher (1 = #, "
                                                      "2 = ## ...).",
                                                      1)},
                       {"under", string_property("A block id or heading: only that section and the "
                                                 "sections nested in it.")},
                       {"offset", integer_property("Number of blocks to skip (after max_level and under).", 0)},
                       {"limit", integer_property("Number of blocks to show at most.", 1)}},
                      {"file_path"}),
        {.read_only = true, .destructive = false, .idempotent = true, .open_world = false},
        list_blocks,
    });
    registry.add({
        "md_read_block",
        "Read one Markdown section",
        "Read one section of a Markdown file by its block id (from md_list_blocks or md_find_blocks). "
        "Returns the title, level and line range, then the section's lines between two --- lines: "
        "the heading line and everything up to the next heading of the same or a higher level, "
        "joined by line feeds, blank lines at its end included. To change a few words, send just "
        "those with md_patch_block; to rewrite the section, send the whole new text with "
        "md_replace_block: this text sent back unchanged changes nothing, and with one word changed "
        "only that line changes (blank lines at the end, line ends such as CRLF and a missing final "
        "line feed stay as they are). A section too long for one answer comes in pages: "
        "the last line names the offset of the next page. An answer like [cached, sha=…, N lines] "
        "means you already hold this file's current content from read_file; if you no longer have it, "
        "ask for the block again and its content follows.",
        object_schema(window_properties({{"file_path", string_property(BLOCK_FILE_DOC)},
                                         {"block_id", string_property(BLOCK_ID_DOC)},
                                         {"heading", string_property(HEADING_DOC)}},
                                        "page"),
                      {"file_path"}),
        {.read_only = true, .destructive = false, .idempotent = true, .open_world = false},
        read_block,
    });
    registry.add({
        "md_read_blocks",
        "Read several Markdown sections",
        "Read several sections of a Markdown file in one call, each in the format of md_read_block, "
        "separated by an empty line. Cheaper than one md_read_block call per section. When they do "
        "not all fit in one answer, the last line names the block ids still to read.",
        object_schema({{"file_path", string_property(BLOCK_FILE_DOC)},
                       {"block_ids", json{{"type", "array"},
                                          {"items", {{"type", "string"}}},
                                          {"minItems", 1},
                                          {"description", "Block ids, as for md_read_block."}}},
                       {"headings", json{{"type", "array"},
                                         {"items", {{"type", "string"}}},
                                         {"minItems", 1},
                                         {"description", "Or headings, as for md_read_block."}}}},
                      {"file_path"}),
        {.read_only = true, .destructive = false, .idempotent = true, .open_world = false},
        read_blocks,
    });
    registry.add({
        "md_patch_block",
        "Replace text inside one Markdown section",
        "Replace an exact piece of text inside one section of a Markdown file: old_text must occur "
        "exactly once in the section (or set replace_all), spaces and line breaks included. Prefer "
        "this to md_replace_block for any change smaller than the section (a word, a line, a "
        "paragraph): you send only the text that changes, and the answer shows only the changed "
        "lines with two lines of context. Read the section with md_read_block first. The same "
        "safety as md_replace_block: refused with FILE_CHANGED when the section changed since it "
        "was indexed, backed up, written atomically and verified.",
        object_schema({{"file_path", string_property(BLOCK_FILE_DOC)},
                       {"block_id", string_property(BLOCK_ID_DOC)},
                       {"heading", string_property(HEADING_DOC)},
                       {"old_text", string_property("The exact text to replace, as it stands in the "
                                                    "section (enough of it to be unique).")},
                       {"new_text", string_property("The text to put in its place (empty deletes it).")},
                       {"replace_all", boolean_property("Replace every occurrence in the section instead "
                                                        "of requiring exactly one.",
                                                        false)}},
                      {"file_path", "old_text", "new_text"}),
        {.read_only = false, .destructive = true, .idempotent = false, .open_world = false},
        patch_block,
    });
    registry.add({
        "md_replace_block",
        "Replace one Markdown section",
        "Replace the whole content of one section of a Markdown file: its heading line and everything "
        "up to the next heading of the same or a higher level. Read the block with md_read_block "
        "first and send the complete new text of the section as new_content, heading line included "
        "(an empty new_content deletes the section). For a change smaller than the section, "
        "md_patch_block is cheaper. When the section changed since you last saw it (listing, read) "
        "the call is refused with FILE_CHANGED: list and read it again. Sending back the text md_read_block "
        "showed, unchanged, is a no-op (nothing is written); with one word changed only that line "
        "changes. Blank lines at the end: ending new_content with no line feed, one, or as many as "
        "md_read_block showed (or one more) keeps the section's blank lines before the next heading "
        "as they are; ending it with another number n of line feeds leaves n - 1 blank lines. The "
        "file keeps its line ends (LF, CRLF) and its final line feed or lack of one. A result over "
        "5 MB or 100,000 lines is refused with FILE_TOO_LARGE. Every write is backed up, written "
        "atomically and verified. Prefer this to rewriting whole Markdown files.",
        object_schema({{"file_path", string_property("The Markdown file the block belongs to (as in "
                                                     "md_list_blocks).")},
                       {"block_id", string_property(BLOCK_ID_DOC)},
                       {"heading", string_property(HEADING_DOC)},
                       {"new_content", string_property("The complete new text of the section, heading "
                                                       "line included, lines separated by line feeds. A "
                                                       "line feed at the very end adds no empty line.")}},
                      {"file_path", "new_content"}),
        {.read_only = false, .destructive = true, .idempotent = true, .open_world = false},
        replace_block,
    });
    registry.add({
        "md_find_blocks",
        "Find Markdown sections by heading",
        "Find the sections of one Markdown file whose heading contains the query (case-insensitive; "
        "only headings are searched, not the text under them). Returns the matching block ids with "
        "level and line range, ready for md_read_block and md_patch_block. An empty query lists "
        "every section. short_ids shows 8-character ids.",
        object_schema({{"file_path", string_property(FILE_PATH_DOC)},
                       {"query", string_property("Word or phrase to look for in the headings.")},
                       {"short_ids", boolean_property("Show ids of 8 characters (longer only where needed "
                                                      "to stay unique).",
                                                      false)}},
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
        "If you no longer have it, call read_file again and the full content follows. offset and "
        "limit read a range of lines; a file too long for one answer is cut and the last line names "
        "the offset for the rest. For Markdown files prefer md_list_blocks with short_ids, then "
        "md_read_block and md_patch_block: far fewer tokens than reading and editing the whole file.",
        object_schema(window_properties({{"file_path", string_property("Path of the file, relative to the "
                                                                       "project root or absolute inside it.")}},
                                        "lines"),
                      {"file_path"}),
        {.read_only = true, .destructive = false, .idempotent = true, .open_world = false},
        read_file,
    });
}

}  // namespace quillbox::host
