// Semantic search (md_search_blocks) registers here.
#include "host/tools.h"

namespace quillbox::host {

void register_search_tools(ToolRegistry& /*registry*/) {}

}  // namespace quillbox::host
