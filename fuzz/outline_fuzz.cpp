// The Markdown block parser: bytes in, blocks out. Every block lies inside the file, blocks come
// in document order and nest like sections (a later block starting inside an earlier one ends
// inside it and is deeper), content hashes agree with the plain hash of the block's lines, and a
// heading's own lines, parsed alone, give the same heading (and hash) back.

#include <cstdint>
#include <string>

#include "fuzz_common.h"
#include "quillbox/detail/lines.h"
#include "quillbox/detail/sha256.h"
#include "quillbox/detail/utf8.h"
#include "quillbox/outline.h"

using namespace quillbox;

namespace {

std::string describe(const Block& b) {
    return "'" + b.title + "' (h" + std::to_string(b.level) + ", lines " + std::to_string(b.start_line) + "-" +
           std::to_string(b.end_line) + ")";
}

// Whether a heading's first line stands on its own: not inside a block quote or a list item
// (whose markers a later line of the section does not repeat), not indented, and not starting
// with U+FEFF (a character inside a file, a byte-order mark that is dropped at its start).
bool stands_alone(std::string_view line) {
    if (line.starts_with("\xEF\xBB\xBF")) return false;
    if (line.empty() || line[0] == ' ' || line[0] == '\t' || line[0] == '>') return false;
    std::size_t i = 0;
    while (i < line.size() && i < 9 && line[i] >= '0' && line[i] <= '9') ++i;
    if (i > 0 && i < line.size() && (line[i] == '.' || line[i] == ')')) return false;
    return !((line[0] == '-' || line[0] == '*' || line[0] == '+') && (line.size() == 1 || line[1] == ' ' || line[1] == '\t'));
}

}  // namespace

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
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const Block& b = blocks[i];
        if (b.start_line < 1 || b.end_line < b.start_line || b.end_line > line_count)
            qbfuzz::fail("block " + describe(b) + " outside a file of " + std::to_string(line_count) + " lines");
        if (b.level < 1 || b.level > 4) qbfuzz::fail("heading level of " + describe(b));
        if (b.block_type != "heading") qbfuzz::fail("block type '" + b.block_type + "'");
        if (detail::find_invalid_utf8(b.title) != std::string_view::npos) qbfuzz::fail("title is not UTF-8");
        // The parser hashes runs of lines in one piece; the plain line-by-line hash must agree.
        if (b.content_hash != detail::sha256_hex(detail::join_lines(lines, static_cast<std::size_t>(b.start_line - 1),
                                                                   static_cast<std::size_t>(b.end_line))))
            qbfuzz::fail("content hash of " + describe(b) + " differs from the hash of its lines");
        if (i == 0) continue;
        const Block& p = blocks[i - 1];
        if (b.start_line <= p.start_line) qbfuzz::fail("block " + describe(b) + " does not follow " + describe(p));
        // Sections nest: every earlier block either ended before this one or holds all of it.
        for (std::size_t k = 0; k < i; ++k) {
            const Block& o = blocks[k];
            if (b.start_line > o.end_line) continue;
            if (b.end_line > o.end_line || b.level <= o.level)
                qbfuzz::fail("block " + describe(b) + " overlaps " + describe(o));
        }
    }
    // A heading's own lines, alone: the same first heading. Reference definitions elsewhere in
    // the file can change how a title reads, so documents with them are left out.
    if (text.find("]:") != std::string::npos || text.find('\0') != std::string::npos) return 0;
    for (const auto& b : blocks) {
        if (!stands_alone(lines[static_cast<std::size_t>(b.start_line - 1)])) continue;
        std::string own;
        for (int i = b.start_line; i <= b.end_line; ++i) own += lines[static_cast<std::size_t>(i - 1)] + "\n";
        // At the top of a file of its own, the section may read as front matter, which is never a heading.
        {
            std::vector<std::string> own_lines(lines.begin() + (b.start_line - 1), lines.begin() + b.end_line);
            if (find_frontmatter_end(own_lines) > 0) continue;
        }
        const auto again = parse_markdown_to_blocks(qbfuzz::put("own.md", own));
        if (again.empty()) qbfuzz::fail("heading " + describe(b) + " does not parse alone");
        if (again.front().title != b.title || again.front().level != b.level || again.front().start_line != 1)
            qbfuzz::fail("heading " + describe(b) + " parses alone as " + describe(again.front()));
        if (again.front().end_line == b.end_line - b.start_line + 1 && again.front().content_hash != b.content_hash)
            qbfuzz::fail("heading " + describe(b) + " alone has another content hash");
    }
    return 0;
}
