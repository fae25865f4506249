#pragma once
// Instruction parsing and the direct replacement behind md_edit.
// Private to blockops and its tests.

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "quillbox/blockops.h"

namespace quillbox {

// A replacement request parsed from an edit instruction (type is always "replace").
struct EditRequest {
    std::string type = "replace";
    std::string target;
    std::string replacement;

    bool operator==(const EditRequest&) const = default;
};

// A replacement that refers to a group by name (\g<name>): the target is plain text and has
// no groups, so the edit cannot go on. do_md_edit lets it propagate before writing anything.
class ReplacementGroupNameError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// An instruction too long or too convoluted for the instruction patterns to finish on.
class InstructionTooComplexError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// "change X to Y", "X -> Y", "把X改为Y" (case-insensitive, first pattern that matches wins);
// nullopt when none matches. Invalid UTF-8 raises DecodeError.
std::optional<EditRequest> _parse_instruction(std::string_view instruction);
// The request applied to a block's text: exact, then case-insensitive (replacement taken as a
// substitution template), then the first matching line; nullopt when the target is not found
// or is empty. A template with a group reference by name raises ReplacementGroupNameError.
std::optional<std::string> _apply_pattern(std::string_view content, const EditRequest& parsed);
// One verified, backed-up replacement of one block (at its stored path) with its bookkeeping.
// Raises on every failure: FileChangedError when the block's content is no longer where it was
// read. Returns the changed lines as change_lines shows them (empty when nothing changed).
std::string _do_replace_direct(Session& session, std::string_view block_id, std::string_view new_content);

}  // namespace quillbox
