#pragma once
// Which stored identifier each block of a new parse keeps. Private to the indexer and its
// tests.

#include <string>
#include <vector>

#include "quillbox/outline.h"

namespace quillbox::indexer {

// For each block of `blocks` (a file's new parse, in order), the identifier it gets: an old
// row's with the same heading path (the first unused one, in the old rows' order), else the
// fuzzy match among the unused old rows of the same level, else the block's own fresh uuid.
// Each old identifier goes to at most one block.
std::vector<std::string> match_identifiers(const std::vector<OldHeading>& old, const std::vector<Block>& blocks);

}  // namespace quillbox::indexer
