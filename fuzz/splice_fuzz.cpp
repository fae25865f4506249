// Updating a file's blocks after an edit without parsing the rest: whenever reparse_replaced
// gives an answer, it must be what a parse of the whole edited text gives, and every block
// outside the edit must be the old one moved by what the edit added or removed.
//
// Input: one byte choosing the block, the document, a NUL, the block's new lines.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "quillbox/detail/utf8.h"
#include "quillbox/outline.h"

using namespace quillbox;

namespace {

std::string describe(const PlacedBlock& p) {
    const Block& b = p.block;
    return "'" + b.title + "' (h" + std::to_string(b.level) + ", lines " + std::to_string(b.start_line) + "-" +
           std::to_string(b.end_line) + ", bytes " + std::to_string(p.bytes.begin) + "-" +
           std::to_string(p.bytes.end) + ")";
}

void same(const PlacedBlock& got, const PlacedBlock& want, const char* what) {
    const Block& g = got.block;
    const Block& w = want.block;
    if (g.start_line != w.start_line || g.end_line != w.end_line || g.title != w.title || g.level != w.level ||
        g.content_hash != w.content_hash || got.bytes != want.bytes)
        qbfuzz::fail(std::string(what) + ": " + describe(got) + " where a whole parse gives " + describe(want));
}

std::vector<PlacedBlock> placed(const ParsedFile& f) {
    std::vector<PlacedBlock> out;
    for (std::size_t i = 0; i < f.blocks.size(); ++i) out.push_back({f.blocks[i], f.byte_ranges[i]});
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::string_view input = qbfuzz::as_text(data + 1, size - 1);
    const std::size_t nul = input.find('\0');
    if (nul == std::string_view::npos) return 0;
    const std::string before(input.substr(0, nul));
    const std::string replacement(input.substr(nul + 1));
    if (detail::find_invalid_utf8(before) != std::string_view::npos ||
        detail::find_invalid_utf8(replacement) != std::string_view::npos)
        return 0;

    ParsedFile old_file;
    try {
        old_file = parse_markdown_bytes(before, "doc.md");
    } catch (const std::exception&) {
        return 0;
    }
    const std::vector<PlacedBlock> old_blocks = placed(old_file);
    if (old_blocks.empty()) return 0;
    const PlacedBlock& chosen = old_blocks[data[0] % old_blocks.size()];
    if (!chosen.bytes.known()) return 0;
    const int first = chosen.block.start_line, last = chosen.block.end_line;

    std::vector<PlacedBlock> region, holders;
    std::optional<PlacedBlock> next;
    for (const PlacedBlock& b : old_blocks) {
        if (b.block.start_line >= first && b.block.start_line <= last) region.push_back(b);
        else if (b.block.start_line < first && b.block.end_line >= last) holders.push_back(b);
        else if (b.block.start_line > last && !next) next = b;
    }

    // The block's lines replaced: the text before them and from the line end after them stay.
    const auto r0 = static_cast<std::size_t>(chosen.bytes.begin), r1 = static_cast<std::size_t>(chosen.bytes.end);
    const std::string after = before.substr(0, r0) + replacement + before.substr(r1);
    ParsedFile new_file;
    try {
        new_file = parse_markdown_bytes(after, "doc.md");
    } catch (const std::exception&) {
        return 0;
    }

    std::optional<ReplacedBlocks> got;
    try {
        got = reparse_replaced(before, after, region, next, holders);
    } catch (const std::exception& e) {
        qbfuzz::fail(std::string("reparse_replaced threw: ") + e.what());
    }
    if (!got) return 0;

    const std::vector<PlacedBlock> whole = placed(new_file);
    if (whole.size() != old_blocks.size() || got->region.size() != region.size() || got->holders.size() != holders.size())
        qbfuzz::fail("the edit changed the number of blocks: " + std::to_string(old_blocks.size()) + " -> " +
                     std::to_string(whole.size()));
    const int dl = got->region.front().block.end_line - last;
    const auto db = static_cast<std::int64_t>(after.size()) - static_cast<std::int64_t>(before.size());
    std::size_t r = 0, h = 0;
    for (std::size_t i = 0; i < old_blocks.size(); ++i) {
        const PlacedBlock& old = old_blocks[i];
        if (old.block.start_line >= first && old.block.start_line <= last) {
            same(got->region[r++], whole[i], "replaced block");
        } else if (old.block.start_line < first && old.block.end_line >= last) {
            same(got->holders[h++], whole[i], "holding block");
        } else if (old.block.start_line > last) {
            PlacedBlock moved = old;
            moved.block.start_line += dl;
            moved.block.end_line += dl;
            moved.bytes = {old.bytes.begin + db, old.bytes.end + db};
            same(moved, whole[i], "block after the edit");
        } else {
            same(old, whole[i], "block before the edit");
        }
    }
    return 0;
}
