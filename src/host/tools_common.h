#pragma once
// What the block tool groups share: the session a tool works on, and the arguments that name
// a section.

#include <string>

#include "host/tools.h"
#include "quillbox/blockops.h"
#include "quillbox/i18n.h"

namespace quillbox::host::tools_common {

// The call's session, or a ToolError when this server runs without one.
inline Session& session_of(ToolContext& ctx) {
    if (!ctx.session) throw ToolError(get_message("server_no_session"));
    return *ctx.session;
}

// The block id argument `name`, a whole id or a prefix that one block alone has (at least eight
// characters, or five of a section of the file the argument file_path names), as the whole id.
// A prefix that several blocks share is a ToolError naming them. Unknown ids come back unchanged
// for the operation to answer.
inline std::string block_id_argument(Session& session, const json& args, std::string_view name) {
    const std::optional<std::string> file_path = optional_string(args, "file_path");
    auto expanded = expand_block_id(session, file_path ? std::optional<std::string_view>(*file_path) : std::nullopt,
                                    require_string(args, name));
    if (!expanded.refusal.empty()) throw ToolError(std::move(expanded.refusal));
    if (!expanded.ambiguous.empty()) throw ToolError(ambiguous_block_id_message(expanded.id, expanded.ambiguous));
    return expanded.id;
}

inline std::optional<std::string> optional_block_id_argument(Session& session, const json& args,
                                                             std::string_view name) {
    if (!optional_string(args, name)) return std::nullopt;
    return block_id_argument(session, args, name);
}

// The section named by `id_name` (a block id or a unique prefix of one) or, without it, by
// `heading_name` (a title or a path of titles in the file the argument file_path names); nothing
// when neither is given. An unknown or ambiguous heading is a ToolError naming the candidates.
inline std::optional<std::string> optional_block_argument(Session& session, const json& args,
                                                          std::string_view id_name = "block_id",
                                                          std::string_view heading_name = "heading") {
    if (optional_string(args, id_name)) return block_id_argument(session, args, id_name);
    const std::optional<std::string> heading = optional_string(args, heading_name);
    if (!heading || heading->find_first_not_of(" \t") == std::string::npos) return std::nullopt;
    const std::string file_path = require_string(args, "file_path");
    HeadingTarget target = resolve_heading(session, file_path, *heading);
    if (target.refusal) throw ToolError(std::move(*target.refusal));
    return std::move(target.id);
}

// The same when one of the two is required.
inline std::string block_argument(Session& session, const json& args, std::string_view id_name = "block_id",
                                  std::string_view heading_name = "heading") {
    std::optional<std::string> id = optional_block_argument(session, args, id_name, heading_name);
    if (!id)
        throw ToolArgumentError(get_message("arg_block_or_heading", {{"id", id_name}, {"heading", heading_name}}));
    return std::move(*id);
}

}  // namespace quillbox::host::tools_common
