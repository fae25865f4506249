#pragma once
// Similarity arithmetic of the semantic search operation.
// Private to blockops and its tests.

#include <vector>

namespace quillbox {

// Cosine similarity over the pairs of positions present in both vectors, with compensated
// (Neumaier) sums; 0.0 when either vector has norm 0.
double _cosine_similarity(const std::vector<double>& a, const std::vector<double>& b);

}  // namespace quillbox
