#pragma once
// What the block tool groups share: the file_path argument's description and the check that
// the session has the component a tool needs.

#include <string>

#include "host/tools.h"

namespace quillbox::host::tools_common {

inline constexpr const char* FILE_PATH_DOC =
    "Path of the Markdown (.md) file, relative to the project root or absolute inside it.";

// The session's component, or a ToolError naming it when this server runs without it.
template <class T>
T& need(T* component, const char* name) {
    if (!component) throw ToolError(std::string("Error: the server has no ") + name + ".");
    return *component;
}

}  // namespace quillbox::host::tools_common
