// The core tools: list, read, replace and find blocks, and the whole-file read.
#include "quillbox/blockops.h"

#include "host/tools.h"
#include "host/tools_common.h"

namespace quillbox::host {

namespace {

using tools_common::session_of;

using tools_common::block_argument;

// A count argument (offset, limit, max_level) that must not be negative.
std::optional<long long> optional_count(const json& args, std::string_view name, long long minimum) {
    auto v = optional_integer(args, name);
    if (v && *v < minimum)
        throw ToolArgumentError(get_message("arg_at_least", {{"name", name}, {"minimum", minimum}}));
    return v;
}

LineWindow line_window(const json& args) {
    return LineWindow{optional_count(args, "offset", 1), optional_count(args, "limit", 1),
                      optional_count(args, "column", 1)};
}

// offset: the first file line wanted (1-based); limit: how many lines; column: the character
// of line offset to start at, in a line too long for one answer.
json window_properties(json properties) {
    properties["offset"] = integer_property("", 1);
    properties["limit"] = integer_property("", 1);
    properties["column"] = integer_property("", 1);
    return properties;
}

Reply list_blocks(ToolContext& ctx, const json& args) {
    auto file_path = require_string(args, "file_path");
    Session& session = session_of(ctx);
    ListOptions options;
    options.max_level = optional_count(args, "max_level", 1);
    if (auto under = optional_string(args, "under")) {
        // An id (or a prefix of one) that names a section, else a heading of the file: a title
        // such as "Decade" is made of hex letters too.
        const bool id_like = under->size() >= FILE_SHORT_ID_MIN &&
                             under->find_first_not_of("0123456789abcdef-") == std::string::npos;
        std::string id = id_like ? tools_common::block_id_argument(session, args, "under") : std::string();
        if (id_like && (id != *under || session.index.get_block(id))) {
            options.under = std::move(id);
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
            auto expanded = expand_block_id(session, file_path, id);
            if (!expanded.refusal.empty()) throw ToolError(std::move(expanded.refusal));
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
            session.view.record_recent_call(session.resolve(file_path).string());
        } catch (const std::exception&) {
            // The operation resolves again and reports the problem itself.
        }
    }
    return do_read_file(session, file_path, window);
}

}  // namespace

void register_core_tools(ToolRegistry& registry) {
    // Shared guidance (ids, headings, paths, paging, refusals) is in the server's instructions;
    // a description says what the tool does and when to pick it.
    const json file = string_property();
    const json block = string_property();
    registry.add({
        "md_list_blocks",
        "List Markdown sections",
        "List a Markdown file's sections (id, level, title, lines); narrow a long file with max_level "
        "or under.",
        object_schema({{"file_path", file},
                       {"short_ids", boolean_property("", false)},
                       {"max_level", integer_property("", 1)},
                       {"under", string_property()},
                       {"offset", integer_property("", 0)},
                       {"limit", integer_property("", 1)}},
                      {"file_path"}),
        {.read_only = true, .destructive = false, .idempotent = true, .open_world = false},
        list_blocks,
    });
    registry.add({
        "md_read_block",
        "Read one Markdown section",
        "Read one section: its heading line down to the next heading of the same or a higher level.",
        object_schema(window_properties({{"file_path", file}, {"block_id", block}, {"heading", block}}),
                      {"file_path"}),
        {.read_only = true, .destructive = false, .idempotent = true, .open_world = false},
        read_block,
    });
    registry.add({
        "md_read_blocks",
        "Read several Markdown sections",
        "Read several sections of one file in one call.",
        object_schema({{"file_path", file},
                       {"block_ids", json{{"type", "array"}, {"items", {{"type", "string"}}}, {"minItems", 1}}},
                       {"headings", json{{"type", "array"}, {"items", {{"type", "string"}}}, {"minItems", 1}}}},
                      {"file_path"}),
        {.read_only = true, .destructive = false, .idempotent = true, .open_world = false},
        read_blocks,
    });
    registry.add({
        "md_patch_block",
        "Replace text in a Markdown section",
        "Replace exact text in one section (once, or all with replace_all): the cheapest change, with "
        "no read needed when you know the text.",
        object_schema({{"file_path", file},
                       {"block_id", block},
                       {"heading", block},
                       {"old_text", string_property()},
                       {"new_text", string_property()},
                       {"replace_all", boolean_property("", false)}},
                      {"file_path", "old_text", "new_text"}),
        {.read_only = false, .destructive = true, .idempotent = false, .open_world = false},
        patch_block,
    });
    registry.add({
        "md_replace_block",
        "Replace a Markdown section",
        "Replace a whole section with new_content, heading line included (empty deletes it).",
        object_schema({{"file_path", file}, {"block_id", block}, {"heading", block}, {"new_content", string_property()}},
                      {"file_path", "new_content"}),
        {.read_only = false, .destructive = true, .idempotent = true, .open_world = false},
        replace_block,
    });
    registry.add({
        "md_find_blocks",
        "Find sections by heading",
        "Find a file's sections whose heading contains query (any letter case).",
        object_schema({{"file_path", file}, {"query", string_property()}, {"short_ids", boolean_property("", false)}},
                      {"file_path", "query"}),
        {.read_only = true, .destructive = false, .idempotent = true, .open_world = false},
        find_blocks,
    });
    registry.add({
        "read_file",
        "Read a file",
        "Read any text file of the project, whole or by lines; a short [cached] marker answers when you "
        "hold its current content. For Markdown the section tools cost far less.",
        object_schema(window_properties({{"file_path", file}}), {"file_path"}),
        {.read_only = true, .destructive = false, .idempotent = true, .open_world = false},
        read_file,
    });
}

}  // namespace quillbox::host
