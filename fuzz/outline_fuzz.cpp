// The Markdown block parser: bytes in, blocks out. Every block lies inside the file, blocks come
// in document order, and a heading's own lines, parsed alone, give the same heading back.

#include <cstdint>
#include <string>

#include "fuzz_common.h"
#include "quillbox/detail/lines.h"
#include "quillbox/detail/utf8.h"
#include "quillbox/outline.h"

using namespace quillbox;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(qbfuzz::as_text(data, size));
    const auto path = qbfuzz::put("doc.md", text);
    std::vector<Block> blocks;
    try {
        blocks = parse_markdown_to_blocks(path);
    } catch (const FileTooLargeError&) {
        return 0;
    } catch (const DecodeError&) {
        return 0;
    }
    const std::vector<std::string> lines = detail::split_lines(detail::normalize_newlines(text));
    const int line_count = static_cast<int>(lines.size());
    int previous_start = 0;
    for (const auto& b : blocks) {
        if (b.start_line < 1 || b.end_line < b.start_line || b.end_line > line_count)
            qbfuzz::fail("block '" + b.title + "' lines " + std::to_string(b.start_line) + "-" +
                         std::to_string(b.end_line) + " outside a file of " + std::to_string(line_count) + " lines");
        if (b.start_line < previous_start) qbfuzz::fail("blocks out of document order");
        previous_start = b.start_line;
        if (b.block_type == "heading" && (b.level < 1 || b.level > 6))
            qbfuzz::fail("heading level " + std::to_string(b.level));
        if (detail::find_invalid_utf8(b.title) != std::string_view::npos) qbfuzz::fail("title is not UTF-8");
    }
    // A heading's own lines, alone: the same first heading. Reference definitions elsewhere in
    // the file can change how a title reads, so documents with them are left out.
    if (text.find("]:") != std::string::npos || text.find('\0') != std::string::npos) return 0;
    for (const auto& b : blocks) {
        if (b.block_type != "heading") continue;
        std::string own;
        for (int i = b.start_line; i <= b.end_line; ++i) own += lines[static_cast<std::size_t>(i - 1)] + "\n";
        const auto again = parse_markdown_to_blocks(qbfuzz::put("own.md", own));
        if (again.empty() || again.front().block_type != "heading")
            qbfuzz::fail("heading '" + b.title + "' does not parse alone");
        if (again.front().title != b.title || again.front().level != b.level)
            qbfuzz::fail("heading '" + b.title + "' parses alone as '" + again.front().title + "'");
    }
    return 0;
}
