#pragma once
// The operations offered to the agent: list, read, replace, find and search blocks, read a
// whole file, the structural edits, and the frame they share (path checks, index freshness,
// token estimate, savings footer).
// Every do_* operation returns one text for the agent; expected refusals are such texts.
// Unexpected failures (database, file system, ModificationError) propagate as exceptions.

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillbox/host.h"
#include "quillbox/indexer.h"
#include "quillbox/outline.h"
#include "quillbox/safety.h"
#include "quillbox/tracker.h"
#include "quillbox/watcher.h"

namespace quillbox {

// ---------------------------------------------------------------------------------------
// Frame
// ---------------------------------------------------------------------------------------

// Estimated tokens per character: `cn` for CJK characters, `en` for all others.
struct ModelTokenCoeffs {
    std::string_view model;
    double cn;
    double en;
};

inline constexpr std::array<ModelTokenCoeffs, 9> MODEL_TOKEN_COEFFS{{
    {"opus", 1.8, 0.25},
    {"sonnet", 1.7, 0.25},
    {"haiku", 1.7, 0.25},
    {"gpt4o", 1.3, 0.22},
    {"deepseek", 1.4, 0.24},
    {"qwen", 1.5, 0.25},
    {"glm", 1.5, 0.25},
    {"kimi", 1.5, 0.25},
    {"default", 1.5, 0.25},
}};

// The row of `model`, or the "default" row for an unknown name (exact, case-sensitive).
const ModelTokenCoeffs& _token_coeffs(std::string_view model);

// U+4E00..U+9FFF, U+3000..U+303F, U+FF00..U+FFEF.
bool _is_cjk(char32_t cp) noexcept;

// Token estimate of a UTF-8 text; at least 1.
long long _count_tokens(std::string_view text, std::string_view model = "sonnet");

// Token figures of a block-wise modification against whole-file work.
struct TokenSavings {
    long long full_tok = 0;
    long long block_tok = 0;
    long long new_tok = 0;
    long long read_savings = 0;
    long long write_savings = 0;
    long long tokens_saved = 0;

    bool operator==(const TokenSavings&) const = default;
};

// Figures for the whole file, the old block and the new block (model from "pricing_model").
TokenSavings _token_savings(std::string_view full_text, std::string_view old_block,
                            std::string_view new_block);
// The "[QUILLBOX_META] ..." footer (message aha_meta) priced with get_pricing_rates().
std::string _savings_footer(const TokenSavings& savings);

// The opening path checks on a resolved path: md_only_error when the path text does not end
// in ".md" (case-sensitive), file_not_found when nothing exists there; nullopt when both pass.
std::optional<std::string> _check_md_path(const std::filesystem::path& fp);

// Modification time in seconds since the epoch, with fractions.
double _file_mtime(const std::filesystem::path& fp);
// Today's local date, "%Y-%m-%d".
std::string _today_local();

// CREATE TABLE IF NOT EXISTS file_index (...); takes indexer.mutex().
void _ensure_file_index_table(Indexer& indexer);
// Records the file's current modification time and raw-byte SHA-256 in file_index (after a
// write by an operation, so the next freshness check trusts the index). Throws on failure;
// callers that must go on catch and log.
void _record_file_state(Indexer& indexer, const std::filesystem::path& fp);

// Brings the index entry of `fp` (resolved, existing Markdown file) in step with the file and
// returns its blocks in document order. On any failure: a warning record and a fresh parse
// (blocks not stored); an error of that parse propagates.
std::vector<Block> _ensure_fresh_index(Indexer& indexer, FileWatcher& watcher,
                                       const std::filesystem::path& fp);

// Re-indexes the file after an operation rewrote the block `block_id` starting at
// `start_line`, keeping identifiers; when the block's new heading matched no old one, the new
// block at `start_line` takes over `block_id` (so the agent's identifier stays valid).
// `block_remains` is false when the block's lines were removed. Takes indexer.mutex().
void _reindex_keeping_block(Indexer& indexer, FileWatcher& watcher, const std::filesystem::path& fp,
                            const std::string& block_id, int start_line, bool block_remains);

// "#" x level, or "FM" for a block without a heading level.
std::string _level_marker(int level);
// `  id="<uuid>" ## Title lines=3-9`
std::string _format_block_line(const Block& block);
// "✅ File: <path>\n<n> blocks:\n" followed by the block lines.
std::string _format_blocks(const std::vector<Block>& blocks, const std::filesystem::path& file_path);

// ---------------------------------------------------------------------------------------
// Core operations
// ---------------------------------------------------------------------------------------

std::string do_list_blocks(Indexer& indexer, FileWatcher& watcher, std::string_view file_path);

// `file_path` is only shown in the not-found guidance; the block is read from its stored path.
std::string do_read_block(Indexer& indexer, ReadCache& cache, const std::filesystem::path& file_path,
                          std::string_view block_id);

// Throws ModificationError when the safety engine refuses or rolls back the write.
std::string do_replace_block(Indexer& indexer, FileWatcher& watcher, SafetyEngine& safety,
                             SessionReadTracker& tracker, const std::filesystem::path& file_path,
                             std::string_view block_id, std::string_view new_content);

// Whole file (any file type), or the cached marker when the agent already holds it.
std::string do_read_file(ReadCache& cache, SessionReadTracker& tracker, std::string_view file_path);

// Blocks whose title contains `query`, case-insensitively.
std::string do_find_blocks(Indexer& indexer, FileWatcher& watcher, std::string_view file_path,
                           std::string_view query);

// ---------------------------------------------------------------------------------------
// Structural operations
// ---------------------------------------------------------------------------------------

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
// One verified, backed-up replacement of one block with its bookkeeping. `file_path` is not
// used: the block's stored path is. Raises on every failure.
void _do_replace_direct(Indexer& indexer, FileWatcher& watcher, SafetyEngine& safety,
                        SessionReadTracker& tracker, const std::filesystem::path& file_path,
                        std::string_view block_id, std::string_view new_content);

// Applies a natural-language edit instruction to the sections it most likely concerns, or
// shows them with their identifiers when no automatic rewrite is possible.
std::string do_md_edit(Indexer& indexer, FileWatcher& watcher, SafetyEngine& safety,
                       SessionReadTracker& tracker, std::string_view file_path,
                       std::string_view instruction);

inline constexpr std::string_view TOC_START_MARKER = "<!-- toc -->";
inline constexpr std::string_view TOC_STOP_MARKER = "<!-- tocstop -->";

// Writes or refreshes the table of contents between the markers. `update` has no effect: an
// existing table is always refreshed.
std::string do_generate_toc(Indexer& indexer, FileWatcher& watcher, SafetyEngine& safety,
                            std::string_view file_path, bool update = true,
                            bool force_insert = false, long long max_depth = 6);

// Promotes (negative delta) or demotes a heading, with its descendants when `recursive`.
std::string do_adjust_level(Indexer& indexer, FileWatcher& watcher, SafetyEngine& safety,
                            std::string_view block_id, long long delta, bool recursive = true);

// Moves a section with its subsections relative to another section of the same file, or to
// the start or end of the document when `target_block_id` is empty.
std::string do_move_block(Indexer& indexer, FileWatcher& watcher, SafetyEngine& safety,
                          std::string_view block_id, std::string_view target_block_id = "",
                          std::string_view position = "after");

// ---------------------------------------------------------------------------------------
// Semantic search
// ---------------------------------------------------------------------------------------

// The answer when semantic search is switched off (semantic.backend = "none").
inline constexpr std::string_view SEMANTIC_NOT_ENABLED =
    "⚠️  Semantic search not enabled.\n"
    "Install dependencies: pip install quillbox[semantic]\n"
    "Then configure a backend: quillbox config set semantic.backend onnx\n"
    "Use md_find_blocks for keyword search instead.";

// The (at most three) blocks of the whole index closest in meaning to `query`, with a
// confidence label, a percentage and a snippet each. Through the installed embedding
// provider (titles only) when there is one, else the local SemanticEngine on
// data_dir/"vectors", filled from the index while its store is empty. Blocks of files that
// no longer exist are left out. A model that cannot be loaded raises SemanticModelError;
// provider failures propagate as the provider raises them.
std::string do_search_blocks(Indexer& indexer, const std::filesystem::path& data_dir, std::string_view query);

// Cosine similarity over the pairs of positions present in both vectors, with compensated
// (Neumaier) sums; 0.0 when either vector has norm 0.
double _cosine_similarity(const std::vector<double>& a, const std::vector<double>& b);

}  // namespace quillbox
