// Structural tools (md_edit, md_generate_toc, md_adjust_level, md_move_block) register here.
#include "host/tools.h"

namespace quillbox::host {

void register_structure_tools(ToolRegistry& /*registry*/) {}

}  // namespace quillbox::host
