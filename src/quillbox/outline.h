#pragma once
// Markdown heading blocks: parsing, slugs, content hashes, fuzzy heading matching and the
// heading utilities used by table-of-contents, level and move operations.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "quillbox/decode_error.h"
#include "quillbox/detail/limits.h"  // MAX_FILE_SIZE, MAX_FILE_LINES, FileTooLargeError

namespace quillbox {

// Represents a heading block in a Markdown document.
struct Block {
    std::string uuid;
    std::filesystem::path file_path;
    int start_line = 0;
    int end_line = 0;
    std::string title;
    int level = 0;
    std::string heading_path;
    std::string block_type = "heading";
    std::string content_hash;

    bool operator==(const Block&) const = default;
};

// One stored block of a file, as the index hands it to the matchers.
struct OldHeading {
    std::string heading_path;
    int level = 0;
    std::string uuid;
    std::string title;
    std::string content_hash;
    int start_line = 0;

    bool operator==(const OldHeading&) const = default;
};

// A table-of-contents entry: the block and its de-duplicated anchor slug.
struct TocEntry {
    Block block;
    std::string slug;

    bool operator==(const TocEntry&) const = default;
};

// The file's heading blocks (levels 1 to 4) in document order. Raises filesystem_error for a
// missing file, FileTooLargeError over the limits, DecodeError for invalid UTF-8.
std::vector<Block> parse_markdown_to_blocks(const std::filesystem::path& file_path);

// A file's blocks and the SHA-256 (hex) of the bytes they came from, from one read. The blocks'
// file_path is `file_key` as given: the caller has resolved it. Raises as
// parse_markdown_to_blocks.
// Where a block's lines lie in its file: bytes [begin, end), without the line end after the
// last line. -1 when bytes and lines do not map one to one (a file with CR line ends).
struct ByteRange {
    std::int64_t begin = -1;
    std::int64_t end = -1;

    bool known() const { return begin >= 0 && end >= begin; }
    bool operator==(const ByteRange&) const = default;
};

struct ParsedFile {
    std::vector<Block> blocks;
    std::string file_hash;
    std::vector<ByteRange> byte_ranges;  // one per block
    std::string text;  // the file's text the blocks were parsed from, line ends made line feeds
};
ParsedFile parse_markdown_file(const std::filesystem::path& file_key);
// The same of bytes already read from the file `file_key` (the limits and UTF-8 checked as
// for a read).
ParsedFile parse_markdown_bytes(std::string bytes, const std::filesystem::path& file_key);

// A stored block and where its lines lie in its file's bytes.
struct PlacedBlock {
    Block block;
    ByteRange bytes;
    bool operator==(const PlacedBlock&) const = default;
};

// After an edit replaced whole lines of a file, the blocks of those lines without parsing the
// rest. `before` and `after` are the file's raw bytes; `region` the blocks that lay in the
// replaced lines, in document order, the first starting on the first replaced line and ending
// on the last; `next` the block right after them, if any; `holders` the blocks that contain
// the region (ranges in `before`). Gives the region's and the holders' blocks as a parse of
// the whole of `after` would (lines, hashes and ranges in `after`, other fields kept), when it
// can show that the edit left every other block as it was, only shifted, and kept the
// region's headings (levels and titles) in order; nothing otherwise, and the file must be
// parsed whole.
struct ReplacedBlocks {
    std::vector<PlacedBlock> region;
    std::vector<PlacedBlock> holders;
};
std::optional<ReplacedBlocks> reparse_replaced(std::string_view before, std::string_view after,
                                               const std::vector<PlacedBlock>& region,
                                               const std::optional<PlacedBlock>& next,
                                               const std::vector<PlacedBlock>& holders);

// Convert heading text to URL-safe slug.
std::string _slug(std::string_view text);

// Ratcliff/Obershelp gestalt ratio of two texts, on code points.
double similarity_ratio(std::u32string_view a, std::u32string_view b);
double similarity_ratio(std::string_view a, std::string_view b);

// Generate GitHub-compatible heading slug with duplicate dedup.
std::string compute_github_slug(std::string_view text,
                                const std::unordered_set<std::string>* existing_slugs = nullptr);

// The last line (1-based) of the front matter that opens a file, within its first 50 lines:
// YAML between --- and --- or ..., TOML between +++ and +++. 0 when there is none.
int find_frontmatter_end(const std::vector<std::string>& lines);

// Get all descendant headings of a target block.
std::vector<Block> get_descendant_blocks(const std::vector<Block>& blocks, const Block& target_block);

// Extract TOC entries from blocks list.
std::vector<TocEntry> get_toc_entries(const std::vector<Block>& blocks, int max_depth = 6);

// Check if a move would create an invalid heading hierarchy. "before" and "after" take a
// section of the target's level or deeper; the child positions a deeper one only.
std::optional<std::string> check_level_conflict(int source_level, int target_level,
                                                std::string_view mode);

// ---------------------------------------------------------------------------------------
// Anchors and links, as Markdown renderers form them

// How a renderer turns a heading into its anchor. GitHub: the rendered text lower-cased,
// everything but letters, marks, digits, spaces, '-' and '_' removed, each space a hyphen,
// duplicates "-1", "-2", ...; GitLab also merges runs of hyphens and trims; MkDocs
// (Python-Markdown) keeps ASCII only and counts duplicates "_1", "_2", ...
enum class AnchorStyle { github, gitlab, mkdocs };
// "github" (or empty), "gitlab", "mkdocs"; nothing for any other name.
std::optional<AnchorStyle> anchor_style_from_name(std::string_view name);

// The anchor of one rendered heading text, before duplicates are counted.
std::string anchor_base(std::string_view rendered_text, AnchorStyle style);

// Counts duplicates over a document's headings in order, as the renderer does.
class AnchorSlugger {
public:
    explicit AnchorSlugger(AnchorStyle style) : style_(style) {}
    std::string slug(std::string_view rendered_text);
    // An id some other element holds: generated ones avoid it.
    void reserve(const std::string& id);

private:
    std::string unique(std::string base);
    AnchorStyle style_;
    std::unordered_map<std::string, long> used_;
};

// One heading of a document (levels 1 to 6, front matter excluded) and its anchor.
struct HeadingAnchor {
    int level = 0;
    int line = 0;      // 1-based, as the parser places the heading
    int end_line = 0;
    std::string text;  // rendered: text, code and link text; no markup
    std::string anchor;
    bool explicit_id = false;  // "{#id}" after the title: never rewritten

    bool operator==(const HeadingAnchor&) const = default;
};

struct DocumentAnchors {
    std::vector<HeadingAnchor> headings;
    std::vector<std::string> extra;  // ids of <a id="..."> / <a name="..."> anywhere
    bool has(std::string_view id) const;
    std::vector<std::string> all() const;
};
DocumentAnchors document_anchors(std::string_view text, AnchorStyle style);

// A heading's source with link markup removed ([text](url) and [text][ref] keep their
// text, <url> its url): a TOC entry's title, which must not nest a link in a link.
std::string toc_entry_title(std::string_view heading_source);

// A link or image destination a document holds: inline ones where they stand, reference
// ones at their definition (once however often they are used).
struct MarkdownLink {
    int line = 0;  // 1-based
    std::string destination;
    bool image = false;
    bool definition = false;
    // Where the destination's text lies in the document's bytes; npos when it does not
    // stand there verbatim (escapes, entities).
    std::size_t dest_begin = std::string::npos;

    bool operator==(const MarkdownLink&) const = default;
};
std::vector<MarkdownLink> document_links(std::string_view text);

}  // namespace quillbox
