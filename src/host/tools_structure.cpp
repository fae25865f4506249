// Structural tools: natural-language edit, table of contents, heading levels, section moves.
#include "quillbox/blockops.h"

#include "host/tools.h"
#include "host/tools_common.h"

namespace quillbox::host {

namespace {

using tools_common::block_argument;
using tools_common::optional_block_argument;
using tools_common::session_of;

Reply md_edit(ToolContext& ctx, const json& args) {
    auto file_path = require_string(args, "file_path");
    auto instruction = require_string(args, "instruction");
    return do_md_edit(session_of(ctx), file_path, instruction);
}

Reply md_generate_toc(ToolContext& ctx, const json& args) {
    auto file_path = require_string(args, "file_path");
    bool update = optional_bool(args, "update", true);
    bool force_insert = optional_bool(args, "force_insert", false);
    long long max_depth = optional_integer(args, "max_depth").value_or(6);
    return do_generate_toc(session_of(ctx), file_path, update, force_insert, max_depth);
}

Reply md_adjust_level(ToolContext& ctx, const json& args) {
    Session& session = session_of(ctx);
    auto block_id = block_argument(session, args);
    long long delta = require_integer(args, "delta");
    bool recursive = optional_bool(args, "recursive", true);
    return do_adjust_level(session, block_id, delta, recursive);
}

Reply md_move_block(ToolContext& ctx, const json& args) {
    Session& session = session_of(ctx);
    auto block_id = block_argument(session, args);
    auto target = optional_block_argument(session, args, "target_block_id", "target_heading").value_or("");
    auto position = optional_string(args, "position").value_or("after");
    return do_move_block(session, block_id, target, position);
}

}  // namespace

void register_structure_tools(ToolRegistry& registry) {
    const json file = string_property();
    const json block = string_property();
    registry.add({
        "md_edit",
        "Edit a section by instruction",
        "Apply a one-line instruction such as \"change X to Y\", \"X -> Y\" or \"把X改为Y\" to the section "
        "it concerns.",
        object_schema({{"file_path", file}, {"instruction", string_property()}}, {"file_path", "instruction"}),
        {.read_only = false, .destructive = true, .idempotent = false, .open_world = false},
        md_edit,
    });
    registry.add({
        "md_generate_toc",
        "Write a table of contents",
        "Write or refresh the table of contents between <!-- toc --> and <!-- tocstop --> "
        "(force_insert adds the markers at the top).",
        object_schema({{"file_path", file},
                       {"update", boolean_property("", true)},
                       {"force_insert", boolean_property("", false)},
                       {"max_depth", [] {
                            json p = integer_property();
                            p["default"] = 6;
                            return p;
                        }()}},
                      {"file_path"}),
        {.read_only = false, .destructive = true, .idempotent = true, .open_world = false},
        md_generate_toc,
    });
    registry.add({
        "md_adjust_level",
        "Promote or demote a heading",
        "Add delta to a heading's level (-1 promotes ## to #), with its subsections when recursive.",
        object_schema({{"file_path", file},
                       {"block_id", block},
                       {"heading", block},
                       {"delta", integer_property()},
                       {"recursive", boolean_property("", true)}},
                      {"delta"}),
        {.read_only = false, .destructive = true, .idempotent = false, .open_world = false},
        md_adjust_level,
    });
    registry.add({
        "md_move_block",
        "Move a section",
        "Move a section with its subsections relative to a target section, or without one to the "
        "document's start (before) or end (after).",
        object_schema({{"file_path", file},
                       {"block_id", block},
                       {"heading", block},
                       {"target_block_id", [] {
                            json p = string_property();
                            p["default"] = "";
                            return p;
                        }()},
                       {"target_heading", block},
                       {"position", json{{"type", "string"},
                                         {"enum", {"before", "after", "as_first_child", "as_last_child"}},
                                         {"default", "after"}}}},
                      {}),
        {.read_only = false, .destructive = true, .idempotent = true, .open_world = false},
        md_move_block,
    });
}

}  // namespace quillbox::host
