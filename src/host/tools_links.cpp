// Link tools: the project's link check, heading renames that fix the links, front matter,
// and undo. Every writing tool also takes dry_run (see ToolRegistry::add).
#include "quillbox/blockops.h"

#include "host/tools.h"
#include "host/tools_common.h"

namespace quillbox::host {

namespace {

using tools_common::block_argument;
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
    const std::string block_id = block_argument(session, args);
    auto new_title = require_string(args, "new_title");
    return do_rename_heading(session, file_path, block_id, "", new_title, optional_bool(args, "dry_run", false));
}

}  // namespace

void register_link_tools(ToolRegistry& registry) {
    const json file = string_property();
    registry.add({
        "md_check_links",
        "Check relative links",
        "List broken relative links and anchors (with the nearest anchor) in one file or, without file_path, "
        "the whole project.",
        object_schema({{"file_path", file}, {"offset", integer_property({}, 0)}}, {}),
        {.read_only = true, .destructive = false, .idempotent = true, .open_world = false},
        check_links,
    });
    registry.add({
        "md_rename_heading",
        "Rename a heading and fix its links",
        "Retitle a heading and rewrite every link to its anchor across the project, all files or none.",
        object_schema({{"file_path", file}, {"block_id", file}, {"heading", file}, {"new_title", file}},
                      {"file_path", "new_title"}),
        {.read_only = false, .destructive = true, .idempotent = false, .open_world = false},
        rename_heading,
    });
    registry.add({
        "md_frontmatter",
        "Read or change front matter",
        "Read the YAML front matter, or set and remove top-level keys keeping every other byte.",
        object_schema({{"file_path", file},
                       {"set", json{{"type", "object"}}},
                       {"remove", json{{"type", "array"}, {"items", {{"type", "string"}}}}}},
                      {"file_path"}),
        {.read_only = false, .destructive = true, .idempotent = true, .open_world = false},
        frontmatter,
    });
    registry.add({
        "md_undo",
        "Undo Quillbox's last write to a file",
        "Put a file back as it was before Quillbox's last write, unless it changed since.",
        object_schema({{"file_path", file}}, {"file_path"}),
        {.read_only = false, .destructive = true, .idempotent = false, .open_world = false},
        undo,
    });
}

}  // namespace quillbox::host
