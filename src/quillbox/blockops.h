#pragma once
// The operations offered to the agent: list, read, replace, find and search blocks, read a
// whole file, the structural edits, and the frame they share (path checks, index freshness,
// token estimate, savings footer).
// Every do_* operation works on one agent session (quillbox/session.h), which holds everything
// it uses, and returns one text for the agent; expected refusals are such texts, marked
// as refusals so that the host can flag them without reading them.
// Unexpected failures (database, file system, ModificationError) propagate as exceptions.

#include <array>
#include <functional>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillbox/indexer.h"
#include "quillbox/log.h"
#include "quillbox/outline.h"
#include "quillbox/safety.h"
#include "quillbox/session.h"
#include "quillbox/tracker.h"
#include "quillbox/watcher.h"

namespace quillbox {

// The text an operation answers with. A refusal (the file changed, no such block or file, not
// Markdown, over a limit, a level conflict, an invalid target) says that nothing was done and
// what the agent must do first. It is a string so that callers that only want the text keep it.
class Reply : public std::string {
public:
    Reply() = default;
    Reply(std::string text) : std::string(std::move(text)) {}
    Reply(const char* text) : std::string(text) {}

    static Reply refusal(std::string text) {
        Reply reply(std::move(text));
        reply.refused_ = true;
        return reply;
    }
    bool refused() const noexcept { return refused_; }

private:
    bool refused_ = false;
};

// ---------------------------------------------------------------------------------------
// Core operations
// ---------------------------------------------------------------------------------------

Reply do_list_blocks(Session& session, std::string_view file_path);

// What a listing shows. The defaults give the plain listing of every block.
struct ListOptions {
    std::optional<long long> max_level;  // only headings of this level or higher rank
    std::string under;                   // a block id: only that section and its subsections
    long long offset = 0;                // blocks of the selection to skip
    std::optional<long long> limit;      // at most this many blocks
    bool short_ids = false;              // 8-character ids (longer where needed to stay unique)

    bool operator==(const ListOptions&) const = default;
};

// Every listing stays under the result budget: a longer one is cut at a block line and ends
// with one line naming the offset that continues it.
Reply do_list_blocks(Session& session, std::string_view file_path, const ListOptions& options);

// A window of lines: `offset` is the first line number wanted (1-based, in the file), `limit`
// the number of lines. Unset: from the start, everything that fits the result budget.
// `column`: the character of line `offset` to start at (1-based), to read on in a line too long
// for one page.
struct LineWindow {
    std::optional<long long> offset;
    std::optional<long long> limit;
    std::optional<long long> column;

    LineWindow() = default;
    LineWindow(std::optional<long long> offset_, std::optional<long long> limit_ = std::nullopt,
               std::optional<long long> column_ = std::nullopt)
        : offset(offset_), limit(limit_), column(column_) {}

    bool is_set() const { return offset.has_value() || limit.has_value() || column.has_value(); }
    bool operator==(const LineWindow&) const = default;
};

// `file_path` is only shown in the not-found guidance; the block is read from its stored path.
// With a window (file line numbers inside the block), or for a section too long for the result
// budget: one page of the section, ending with a line naming the offset of the next page.
//
// The cached marker follows the session's read rules: only while the agent can still be
// expected to hold the file (`should_return_cache`, as for a whole-file read), and only on the
// first ask for the block within the tracker's repeat window. The marker then says that asking
// again gives the content, and the next ask does.
Reply do_read_block(Session& session, const std::filesystem::path& file_path, std::string_view block_id,
                    const LineWindow& window = {});

// Several blocks in one answer, each in the format of do_read_block, separated by an empty line.
// What does not fit the result budget is named in a last line for the next call.
Reply do_read_blocks(Session& session, const std::filesystem::path& file_path,
                     const std::vector<std::string>& block_ids);

// Throws ModificationError when the safety engine refuses or rolls back the write.
Reply do_replace_block(Session& session, const std::filesystem::path& file_path, std::string_view block_id,
                       std::string_view new_content);

// Exact text replacement inside one block: `old_text` must occur exactly once in the block's
// current text (every occurrence is replaced with `replace_all`). The checks, the verified
// write and the bookkeeping are those of do_replace_block; the answer shows the changed lines
// with two lines of context and the savings footer.
Reply do_patch_block(Session& session, const std::filesystem::path& file_path, std::string_view block_id,
                     std::string_view old_text, std::string_view new_text, bool replace_all = false);

// Whole file (any file type), or the cached marker when the agent already holds it.
// With a window, or for a file too long for the result budget: those lines only, ending with a
// line naming the offset of the rest. A partial answer never counts as holding the file.
// The blocks of a Markdown file answered in full count as shown to the session.
Reply do_read_file(Session& session, std::string_view file_path, const LineWindow& window = {});

// Blocks whose title contains `query`, case-insensitively.
Reply do_find_blocks(Session& session, std::string_view file_path, std::string_view query,
                     bool short_ids = false);

// The full identifier for an identifier or a prefix of one (at least SHORT_ID_MIN characters)
// that exactly one indexed block has. `ambiguous` lists the candidates when several blocks
// share the prefix; otherwise the text comes back unchanged (unknown ids are the operations'
// business).
struct BlockIdExpansion {
    std::string id;
    std::vector<Block> ambiguous;
    // A refusal for a prefix that cannot be taken (too short without its file, or one that a
    // section of the file that is gone also had).
    std::string refusal = {};
};
inline constexpr std::size_t SHORT_ID_MIN = 8;
BlockIdExpansion expand_block_id(Indexer& indexer, std::string_view id_or_prefix);
// The same for the section of a tool call that may name the file: with `file_path`, a prefix of
// at least FILE_SHORT_ID_MIN characters that one section of that file alone has stands for that
// section's id, and is refused when a section of the file that a re-index gave up had it too (an
// old id); a prefix of SHORT_ID_MIN or more that no section of the file has is looked up in the
// whole project.
inline constexpr std::size_t FILE_SHORT_ID_MIN = 5;
BlockIdExpansion expand_block_id(Session& session, std::optional<std::string_view> file_path,
                                 std::string_view id_or_prefix);
// The refusal for an ambiguous prefix, naming the candidates.
std::string ambiguous_block_id_message(std::string_view prefix, const std::vector<Block>& candidates);

// ---- Sections named by heading ----------------------------------------------------------
// A section is named by its title, or by a path of titles from an ancestor down to it joined by
// " > " ("Install > Linux") when the title alone is not unique. Titles compare exactly; when
// none does, letter case and runs of white space are ignored.
inline constexpr std::string_view HEADING_PATH_SEPARATOR = " > ";

// The blocks (indices into `blocks`, which are in document order) that `heading` names.
std::vector<std::size_t> match_heading(const std::vector<Block>& blocks, std::string_view heading);
// Every block's heading path: from its top-level ancestor, or with `shortest` the shortest one
// that names it alone (its whole path when even that names others too).
std::vector<std::string> heading_paths(const std::vector<Block>& blocks, bool shortest = false);

// The id of the section of `file_path` that `heading` names, the file's index made current
// first; otherwise the refusal (the path checks, no such heading with the nearest ones, or
// several with their paths and short ids).
struct HeadingTarget {
    std::string id;
    std::optional<Reply> refusal;
};
HeadingTarget resolve_heading(Session& session, std::string_view file_path, std::string_view heading);

// ---------------------------------------------------------------------------------------
// Structural operations
// ---------------------------------------------------------------------------------------

// Applies a natural-language edit instruction to the sections it most likely concerns, or
// shows them with their identifiers when no automatic rewrite is possible.
Reply do_md_edit(Session& session, std::string_view file_path, std::string_view instruction);

inline constexpr std::string_view TOC_START_MARKER = "<!-- toc -->";
inline constexpr std::string_view TOC_STOP_MARKER = "<!-- tocstop -->";

// Writes or refreshes the table of contents between the markers. `update` has no effect: an
// existing table is always refreshed.
Reply do_generate_toc(Session& session, std::string_view file_path, bool update = true,
                      bool force_insert = false, long long max_depth = 6);

// Promotes (negative delta) or demotes a heading, with its descendants when `recursive`.
Reply do_adjust_level(Session& session, std::string_view block_id, long long delta, bool recursive = true);

// Moves a section with its subsections relative to another section of the same file, or to
// the start or end of the document when `target_block_id` is empty.
Reply do_move_block(Session& session, std::string_view block_id, std::string_view target_block_id = "",
                    std::string_view position = "after");

// ---------------------------------------------------------------------------------------
// Links across the project
// ---------------------------------------------------------------------------------------

// Checks every relative link and image of one Markdown file, or of every Markdown file of
// the project when `file_path` is empty: a missing file, a missing anchor (with the nearest
// one), a difference in letter case. External URLs are skipped. Lists only the problems,
// `offset` of them skipped, under the result budget.
Reply do_check_links(Session& session, std::string_view file_path = {}, long long offset = 0);

// Front matter: without changes, its keys and its text; with them, the top-level keys of
// `set` get the given values (YAML text of one line, see yaml_string_value) and those of
// `remove` go, every other byte kept. Front matter that is not valid YAML is refused with the
// parser's line (in the file) and column.
struct FrontMatterChange {
    std::vector<std::pair<std::string, std::string>> set;
    std::vector<std::string> remove;
};
Reply do_frontmatter(Session& session, std::string_view file_path, const FrontMatterChange& change = {});
// A text as a YAML scalar: plain when that reads back as the same string, else double-quoted.
std::string yaml_string_value(std::string_view text);

// Puts back the file as it was before Quillbox's last write to it, from that write's backup,
// when the file still holds exactly what the write left; a verified write itself.
Reply do_undo(Session& session, std::string_view file_path);

// Retitles the heading (`block_id`, else the one titled `heading`) and rewrites every link to
// its anchor across the project's Markdown files: other files' path#anchor, the file's own
// #anchor, its table of contents. Links to other headings whose duplicate numbering the new
// title shifts are rewritten too, so every link keeps leading where it led. Every file is
// written through the verified write, all or none, also across a crash (see
// recover_interrupted_rename). With `dry_run`, the diff of every file and nothing written.
Reply do_rename_heading(Session& session, std::string_view file_path, std::string_view block_id, std::string_view heading, std::string_view new_title,
                        bool dry_run = false);
// At start-up: a rename a kill interrupted is finished when every file was written, else
// undone from the copies of the old bytes. Returns what was done ("" when nothing was left).
std::string recover_interrupted_rename(SafetyEngine& safety);

// ---------------------------------------------------------------------------------------
// Dry runs
// ---------------------------------------------------------------------------------------

// The unified diff (three lines of context) from `before` to `after`, named a/label, b/label.
std::string unified_diff(std::string_view before, std::string_view after, std::string_view label);
// Runs a writing operation without letting it write: its answer when it would not have
// written (a refusal, nothing to change), else the diff of the write it would have made.
Reply dry_run(const Session& session, const std::function<Reply()>& op);
// The answer of a dry run that would have written these files.
std::string dry_run_answer(const Session& session, const std::vector<DryRunWrite>& writes);

// ---------------------------------------------------------------------------------------
// Semantic search
// ---------------------------------------------------------------------------------------

// The answer when semantic search is switched off (semantic.backend = "none"): the commands
// that turn it on with the local `model`, and the keyword search to use meanwhile.
std::string semantic_not_enabled(std::string_view model);

// The (at most three) blocks of the whole index closest in meaning to `query`, each with a
// confidence label, a percentage, its file (relative to the project root) and block id, and a
// snippet. Through the session's embedding provider (titles only; their vectors kept by text
// in data_dir/"vectors" when the provider has a cache key) when there is one, else the local
// SemanticEngine on the session's data_dir/"vectors", brought in line with the index on every call (only
// new and changed blocks are encoded). Blocks of files that no longer exist and the rules
// section of CLAUDE.md are left out. A model that cannot be loaded raises
// SemanticModelError; provider failures propagate as the provider raises them.
// While the server's vectors are still being embedded the answer ends with a note saying how
// far; `embedding` (when given) is set to those numbers, else left as it is.
struct EmbeddingShown {
    std::size_t embedded = 0;
    std::size_t total = 0;
};
Reply do_search_blocks(Session& session, std::string_view query, std::optional<EmbeddingShown>* embedding = nullptr);

}  // namespace quillbox
