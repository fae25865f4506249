#pragma once
// The words for the failures the engines report as typed errors. The errors carry the facts
// (which file, which backup, what went wrong); the message catalogue makes the words, in the
// current language.

#include <exception>
#include <optional>
#include <string>

namespace quillbox {

// The catalogue's text for a refused or rolled-back write (ModificationError), a file the
// engine cannot use or write (SafetyFileError and other file-system errors), a file too large
// or not UTF-8, a file of another kind, or a semantic model that cannot be loaded. Nothing for
// any other error: the caller decides how to show it.
std::optional<std::string> failure_text(const std::exception& e);

}  // namespace quillbox
