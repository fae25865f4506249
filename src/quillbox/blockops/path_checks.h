#pragma once
// The opening checks of an operation on the path and block it was given.
// Private to blockops and its tests.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "quillbox/blockops.h"

namespace quillbox {

// The opening path checks on a resolved path: md_only_error when the path text does not end
// in ".md" (case-sensitive), file_not_found when nothing exists there, not_regular_file for a
// directory, FIFO, socket or device; nullopt when they pass. A path that now resolves outside
// the project root (a link swapped in) raises the resolver's PathOutsideRootError.
std::optional<std::string> check_md_path(const PathResolver& paths, const std::filesystem::path& fp);

// The refusal when the agent named one file and a block of another (block_in_other_file,
// naming the block's file); nullopt when they agree or no file was named.
std::optional<std::string> check_id_file(const PathResolver& paths, std::string_view file_path, const Block& block);

}  // namespace quillbox
