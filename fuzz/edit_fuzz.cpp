// md_edit's instruction parser and replacement template: any instruction, applied to any
// section text, either parses or not, and a replacement either works or is refused with its own
// error; nothing else escapes.

#include <cstdint>
#include <string>

#include "fuzz_common.h"
#include "quillbox/blockops/edit.h"
#include "quillbox/detail/utf8.h"

using namespace quillbox;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first line is the instruction, the rest the section it is applied to.
    const std::string_view input = qbfuzz::as_text(data, size);
    const auto nl = input.find('\n');
    const std::string_view instruction = input.substr(0, nl);
    const std::string_view content = nl == std::string_view::npos ? std::string_view() : input.substr(nl + 1);
    std::optional<EditRequest> parsed;
    try {
        parsed = _parse_instruction(instruction);
    } catch (const DecodeError&) {
        return 0;
    } catch (const InstructionTooComplexError&) {
        return 0;
    }
    if (!parsed) return 0;
    if (detail::find_invalid_utf8(parsed->target) != std::string_view::npos ||
        detail::find_invalid_utf8(parsed->replacement) != std::string_view::npos)
        qbfuzz::fail("parsed parts are not UTF-8");
    if (detail::find_invalid_utf8(content) != std::string_view::npos) return 0;
    try {
        auto out = _apply_pattern(content, *parsed);
        if (out && detail::find_invalid_utf8(*out) != std::string_view::npos) qbfuzz::fail("rewrite is not UTF-8");
        // A target that occurs as written is always found.
        if (!out && !parsed->target.empty() && content.find(parsed->target) != std::string_view::npos)
            qbfuzz::fail("target '" + parsed->target + "' occurs but was not replaced");
    } catch (const ReplacementGroupNameError&) {
    }
    return 0;
}
