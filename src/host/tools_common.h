#pragma once
// What the block tool groups share: the file_path argument's description, the session a tool
// works on, and the block id arguments.

#include <string>

#include "host/tools.h"
#include "quillbox/blockops.h"
#include "quillbox/i18n.h"

namespace quillbox::host::tools_common {

inline constexpr const char* FILE_PATH_DOC =
    "Path of the Markdown (.md) file, relative to the project root or absolute inside it.";

// The call's session, or a ToolError when this server runs without one.
inline Session& session_of(ToolContext& ctx) {
    if (!ctx.session) throw ToolError(get_message("server_no_session"));
    return *ctx.session;
}

// The block id argument `name`, a whole id or a prefix of at least eight characters that one
// block alone has, as the whole id. A prefix that several blocks share is a ToolError naming
// them. Unknown ids come back unchanged for the operation to answer.
inline std::string block_id_argument(Indexer& indexer, const json& args, std::string_view name) {
    auto expanded = expand_block_id(indexer, require_string(args, name));
    if (!expanded.ambiguous.empty()) throw ToolError(ambiguous_block_id_message(expanded.id, expanded.ambiguous));
    return expanded.id;
}

inline std::optional<std::string> optional_block_id_argument(Indexer& indexer, const json& args,
                                                             std::string_view name) {
    if (!optional_string(args, name)) return std::nullopt;
    return block_id_argument(indexer, args, name);
}

}  // namespace quillbox::host::tools_common
