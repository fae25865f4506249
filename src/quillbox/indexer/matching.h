#pragma once
// Which stored identifier each block of a new parse keeps. Private to the indexer and its
// tests.

#include <string>
#include <vector>

#include "quillbox/outline.h"

namespace quillbox::indexer {

// For each block of `blocks` (a file's new parse, in order), the identifier it gets: the old
// row's with the same text at the same place in the outline (the titles holding it and its
// own); else the one old row with that text anywhere, when only one new block has it; else the
// one old row at that place, when only one new block stands there; else the block's own fresh
// uuid. Twins that cannot be told apart get fresh ids: an id never passes to a section its
// holder has not seen. Each old identifier goes to at most one block.
std::vector<std::string> match_identifiers(const std::vector<OldHeading>& old, const std::vector<Block>& blocks);

}  // namespace quillbox::indexer
