#pragma once
// The source revision the program was built from (`git describe`, or "unknown" outside a git
// checkout). Defined in a file generated at build time and linked into the program only.
#include <string_view>

namespace quillbox {

std::string_view source_revision();

}  // namespace quillbox
