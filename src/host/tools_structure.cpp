// Structural tools: natural-language edit, table of contents, heading levels, section moves.
#include "quillbox/blockops.h"

#include "host/tools.h"
#include "host/tools_common.h"

namespace quillbox::host {

namespace {

using tools_common::FILE_PATH_DOC;
using tools_common::block_argument;
using tools_common::HEADING_DOC;
using tools_common::optional_block_argument;
using tools_common::session_of;

constexpr const char* BLOCK_ID_DOC =
    "Block id exactly as md_list_blocks or md_find_blocks returned it (the whole UUID, or the "
    "first 8 or more characters when they name one block). After any "
    "md_adjust_level or md_move_block call every id of that file is new: list the file again.";

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
    registry.add({
        "md_edit",
        "Edit a Markdown section by instruction",
        "Apply a short edit instruction to the section of a Markdown file it concerns, in one call. "
        "Understood forms: \"change/replace/update/set X to/with Y\", \"X -> Y\" (also → or ⇒) and "
        "\"把X改为Y\" (also 改成, 替换为, 更新为, 设置为, 变为). The section whose heading shares the most "
        "words with the instruction is chosen (the longest section when none does); X is replaced "
        "there, exactly, else ignoring letter case. When no rewrite is possible the answer shows the "
        "candidate sections with their block ids: edit them with md_replace_block. Only the lines "
        "that contain X change; blank lines and line ends stay as they were. Every write is backed up "
        "and verified.",
        object_schema({{"file_path", string_property(FILE_PATH_DOC)},
                       {"instruction", string_property("The edit, e.g. \"change the version to 2.0\", "
                                                       "\"old name -> new name\" or \"把标题改为新标题\".")}},
                      {"file_path", "instruction"}),
        {.read_only = false, .destructive = true, .idempotent = false, .open_world = false},
        md_edit,
    });
    registry.add({
        "md_generate_toc",
        "Generate or refresh a table of contents",
        "Write a table of contents (a nested list of links to the file's headings) between the "
        "markers <!-- toc --> and <!-- tocstop -->. An existing table between the markers is "
        "replaced by a fresh one; a file without markers is left alone unless force_insert is true, "
        "which inserts the table after the front matter or at the top. Answers \"already up to date\" "
        "without writing when nothing changed. Block ids of the file change afterwards: list it again.",
        object_schema({{"file_path", string_property(FILE_PATH_DOC)},
                       {"update", boolean_property("Refresh an existing table (always done; kept for "
                                                   "compatibility).",
                                                   true)},
                       {"force_insert", boolean_property("Insert a new table when the file has no "
                                                         "<!-- toc --> / <!-- tocstop --> pair.",
                                                         false)},
                       {"max_depth", [] {
                            json p = integer_property("Deepest heading level listed (1-6).");
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
        "Change the level of one heading section by delta: -1 promotes (## becomes #), +1 demotes "
        "(## becomes ###). With recursive (the default) every heading nested below it moves along. "
        "Only heading lines change. Refused without writing when a heading would leave levels 1 to 6. "
        "Afterwards every block id of the file is new: call md_list_blocks again.",
        object_schema({{"block_id", string_property(BLOCK_ID_DOC)},
                       {"file_path", string_property(FILE_PATH_DOC)},
                       {"heading", string_property(HEADING_DOC)},
                       {"delta", integer_property("Levels to add: negative promotes, positive demotes.")},
                       {"recursive", boolean_property("Also change all headings nested below it.", true)}},
                      {"delta"}),
        {.read_only = false, .destructive = true, .idempotent = false, .open_world = false},
        md_adjust_level,
    });
    registry.add({
        "md_move_block",
        "Move a Markdown section",
        "Move one section, with everything nested below it, to another place in the same file: "
        "before or after the section target_block_id, or as its first or last child. With an empty "
        "target_block_id, \"after\" moves it to the end of the document and \"before\" to the start "
        "(after any front matter). Heading levels are not changed; a move whose levels do not fit "
        "the new place is refused (before/after take a section of the target's level, to reorder "
        "siblings, or a deeper one; children must be deeper than their parent). The section takes "
        "its trailing blank lines along; a blank line is added around it only where the file sets "
        "sections apart that way (or a paragraph would run into a heading). Afterwards every block "
        "id of the file is new: call "
        "md_list_blocks again.",
        object_schema({{"block_id", string_property(BLOCK_ID_DOC)},
                       {"file_path", string_property(FILE_PATH_DOC)},
                       {"heading", string_property(HEADING_DOC)},
                       {"target_heading", string_property("Instead of target_block_id: the target's heading.")},
                       {"target_block_id", [] {
                            json p = string_property("The section to move relative to; empty for the "
                                                     "document itself.");
                            p["default"] = "";
                            return p;
                        }()},
                       {"position", json{{"type", "string"},
                                         {"enum", {"before", "after", "as_first_child", "as_last_child"}},
                                         {"default", "after"},
                                         {"description", "Where to put the section relative to the target."}}}},
                      {}),
        {.read_only = false, .destructive = true, .idempotent = true, .open_world = false},
        md_move_block,
    });
}

}  // namespace quillbox::host
