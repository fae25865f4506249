#pragma once
// The block listing: its line format, short ids, and md_list_blocks.
// Private to blockops and its tests.

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "quillbox/blockops.h"

namespace quillbox {

// "#" x level, or "FM" for a block without a heading level.
std::string level_marker(int level);
// `  id="<uuid>" ## Title lines=3-9`; with `id_length`, the id cut to that many characters in
// the short form `<id> ## Title 3`, the start line only (a section ends where the next heading
// of its level or above begins).
std::string format_block_line(const Block& block, std::size_t id_length = std::string::npos);

// Short ids: the shortest prefix of at least SHORT_ID_LENGTH characters of each block's id
// that no other block of the index shares.
inline constexpr std::size_t SHORT_ID_LENGTH = 8;
std::size_t short_id_length(Indexer& indexer, const std::string& uuid);
// Short ids within one file, for each of `file_blocks` (all of the file's sections): the shortest
// prefix of at least FILE_SHORT_ID_MIN characters that no other section of the file has, nor
// one that a re-index of it gave up.
std::vector<std::size_t> file_short_id_lengths(Indexer& indexer, const std::vector<Block>& file_blocks,
                                               const std::filesystem::path& file_path);
// "✅ File: <path>\n<n> blocks:\n" followed by the block lines.
std::string _format_blocks(const std::vector<Block>& blocks, const std::filesystem::path& file_path);

}  // namespace quillbox
