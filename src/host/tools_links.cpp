// Link tools: the project's link check, heading renames that fix the links, front matter,
// and undo. Every writing tool also takes dry_run (see ToolRegistry::add).
#include "quillbox/blockops.h"

#include "host/tools.h"
#include "host/tools_common.h"

namespace quillbox::host {

namespace {

using tools_common::FILE_PATH_DOC;
using tools_common::session_of;

// A JSON value as YAML text on one line: strings plain where that reads back the same,
// everything else in flow style (JSON is YAML).
std::string yaml_value(const json& v) {
    if (v.is_string()) return yaml_string_value(v.get<std::string>());
    return v.dump();
}

Reply check_links(ToolContext& ctx, const json& args) {
    auto file_path = optional_string(args, "file_path").value_or("");
    long long offset = optional_integer(args, "offset").value_or(0);
    return do_check_links(session_of(ctx), file_path, offset);
}

Reply frontmatter(ToolContext& ctx, const json& args) {
    auto file_path = require_string(args, "file_path");
    FrontMatterChange change;
    if (const json* set = optional_object(args, "set"))
        for (const auto& [key, value] : set->items()) change.set.emplace_back(key, yaml_value(value));
    if (args.contains("remove")) change.remove = require_string_array(args, "remove");
    return do_frontmatter(session_of(ctx), file_path, change);
}

Reply undo(ToolContext& ctx, const json& args) {
    auto file_path = require_string(args, "file_path");
    return do_undo(session_of(ctx), file_path);
}

Reply rename_heading(ToolContext& ctx, const json& args) {
    auto file_path = require_string(args, "file_path");
    Session& session = session_of(ctx);
    std::string block_id = tools_common::optional_block_id_argument(session.index, args, "block_id").value_or("");
    auto heading = optional_string(args, "heading").value_or("");
    if (block_id.empty() && heading.empty())
        throw ToolArgumentError(get_message("arg_one_of", {{"first", "block_id"}, {"second", "heading"}}));
    auto new_title = require_string(args, "new_title");
    return do_rename_heading(session, file_path, block_id, heading, new_title, optional_bool(args, "dry_run", false));
}

}  // namespace

void register_link_tools(ToolRegistry& registry) {
    registry.add({
        "md_check_links",
        "Check relative links",
        "Report broken relative links and images (missing file, missing anchor with the nearest one, "
        "letter case) in one Markdown file or, without file_path, the whole project. External URLs are "
        "skipped; only problems are listed, as file:line.",
        object_schema({{"file_path", string_property("One file; omit for the whole project.")},
                       {"offset", integer_property("Problems to skip (paging).", 0)}},
                      {}),
        {.read_only = true, .destructive = false, .idempotent = true, .open_world = false},
        check_links,
    });
    registry.add({
        "md_rename_heading",
        "Rename a heading and fix its links",
        "Retitle a heading and rewrite every link to its anchor across the project (other files, the "
        "file's own links, its TOC), all files or none.",
        object_schema({{"file_path", string_property(FILE_PATH_DOC)},
                       {"block_id", string_property("The heading's block id.")},
                       {"heading", string_property("Or the heading's title.")},
                       {"new_title", json{{"type", "string"}}},
                       {"dry_run", boolean_property("Diff only, nothing written.", false)}},
                      {"file_path", "new_title"}),
        {.read_only = false, .destructive = true, .idempotent = false, .open_world = false},
        rename_heading,
    });
    registry.add({
        "md_frontmatter",
        "Read or change front matter",
        "Without set or remove: the file's YAML front matter and its keys. With them: set or remove "
        "top-level keys, every other byte kept.",
        object_schema({{"file_path", string_property(FILE_PATH_DOC)},
                       {"set", json{{"type", "object"}, {"description", "Keys and their new values."}}},
                       {"remove", json{{"type", "array"}, {"items", {{"type", "string"}}}}}},
                      {"file_path"}),
        {.read_only = false, .destructive = true, .idempotent = true, .open_world = false},
        frontmatter,
    });
    registry.add({
        "md_undo",
        "Undo Quillbox's last write to a file",
        "Put the file back as it was before Quillbox's last write to it; refused when the file changed "
        "since that write.",
        object_schema({{"file_path", string_property(FILE_PATH_DOC)}}, {"file_path"}),
        {.read_only = false, .destructive = true, .idempotent = false, .open_world = false},
        undo,
    });
}

}  // namespace quillbox::host
