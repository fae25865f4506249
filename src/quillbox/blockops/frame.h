#pragma once
// The frame the operations share: token estimate and savings footer, path checks, index
// freshness, listing format.
// Private to blockops and its tests.

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillbox/blockops.h"

namespace quillbox {

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

}  // namespace quillbox
