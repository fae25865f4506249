#pragma once
// Private helpers shared by the structural operations (edit, table of contents, heading
// levels, moves). Not installed; only the blockops sources include it.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "quillbox/blockops.h"

namespace quillbox::structure {

// Full Unicode lower-case mapping (language-independent, final sigma included).
std::string lower(std::string_view s);

// The file's text (strict UTF-8, line ends normalised) split at every line end, without ends;
// with `sha256`, also the SHA-256 of the bytes the lines came from (one read).
std::vector<std::string> read_file_lines(const std::filesystem::path& fp, std::string* sha256 = nullptr);

// The block with this identifier in a listing, if any.
std::optional<Block> find_block(const std::vector<Block>& blocks, std::string_view uuid);

// The answer refusing a structural operation on this indexed block: unknown identifier, or
// not a heading. Nothing when it is a heading.
std::optional<std::string> refuse_non_heading(const std::optional<Block>& found, std::string_view block_id);

// The heading a structural operation starts from, as the index has it, and its file (resolved).
struct HeadingFile {
    Block block;
    std::filesystem::path path;
};
// The heading `block_id` and its file; instead the refusal when there is no such block, it is
// not a heading, or its file is gone.
std::variant<HeadingFile, Reply> find_heading_file(Session& session, std::string_view block_id);

// Whether lines start_line..end_line of `lines` still hold the content the index recorded.
bool block_matches(const std::vector<std::string>& lines, const Block& block);

// The file's lines, with `sha256` the hash of their bytes, while each of `blocks` still holds
// what the index recorded. Otherwise nothing: the index no longer describes the file (it
// changed within the freshness tolerance), and its freshness record is dropped so that the
// next check re-indexes it.
std::optional<std::vector<std::string>> read_unchanged(Indexer& indexer, const std::filesystem::path& fp,
                                                       const std::vector<const Block*>& blocks, std::string& sha256);

// Drops the file's freshness row so that the next check re-indexes the file. Used after a
// write that leaves the stored line ranges behind, and when they were found stale. Never
// throws: a failure is logged.
void forget_file_state(Indexer& indexer, const std::filesystem::path& fp) noexcept;

// Replaces the whole file (old_count lines) by new_lines through the safety engine, then
// re-indexes it from the bytes written, every section keeping its identifier (`order`: the
// old identifiers in their new document order, as the operation placed them), and records the
// written state so that the next freshness check trusts the new index. `basis_sha256` is the
// SHA-256 of the bytes the new lines were computed from: a file that changed since is not
// written, and the result is false.
bool rewrite_and_reindex(Session& session, const std::filesystem::path& fp, std::size_t old_count,
                         const std::vector<std::string>& new_lines, const std::string& basis_sha256,
                         const std::vector<std::string>& order = {});

// The identifiers of `blocks` (a listing of the file, in document order) when every one of
// them still holds what the index recorded in `lines`: only then does their order say where
// each section went. Empty otherwise.
std::vector<std::string> ids_if_unchanged(const std::vector<Block>& blocks, const std::vector<std::string>& lines);

}  // namespace quillbox::structure
