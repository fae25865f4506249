#pragma once
// The vector store's scoring: the exact float score of a row, and the int8 copy of the matrix
// that finds the best rows first, with a bound on each int8 score's error so that a float
// re-rank of a few candidates gives exactly the float top-k.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace quillbox::int8 {

// Bytes of one int8 row: the width rounded up to whole 32-byte vectors (the padding is zero).
std::size_t stride(std::size_t dim);

// What bounds the error of a row's int8 score: the row is x = scale * q + e, with
// |e| <= err and |scale * q| <= norm (Euclidean). A row holding a NaN or an infinity has
// err = +inf and q = 0.
struct RowBound {
    float scale = 0, err = 0, norm = 0;
};


// The score the store ranks by: the dot product summed in double in a fixed order, rounded to
// float. The same on every CPU and from every caller, so that a re-rank reproduces it exactly.
float score(const float* row, const double* query, std::size_t dim);

// out[r] = the integer dot product of int8 row r (`stride` bytes each) with `query`.
enum class Kernel { scalar, sse2, avx2 };
bool available(Kernel kernel);
// score() as one kernel computes it.
float score(Kernel kernel, const float* row, const double* query, std::size_t dim);

// Symmetric quantisation of `dim` floats into `stride(dim)` bytes in [-127, 127], by the best
// kernel or by the one given.
RowBound quantise(const float* v, std::size_t dim, std::int8_t* out);
RowBound quantise(Kernel kernel, const float* v, std::size_t dim, std::int8_t* out);
void dots(Kernel kernel, const std::int8_t* rows, std::size_t n, std::size_t stride, const std::int8_t* query,
          std::int32_t* out);
// The best kernel this CPU runs.
Kernel best_kernel();

// The `k` rows of the best float score (score()), best first, ties by row: found by an int8 scan
// of every row and a float re-rank of the rows whose score bound reaches the k-th best. None
// when the query holds a NaN, an infinity, or only zeros (the float path answers those).
// `rescored`, when given, is set to how many rows were scored in float.
// `row(r, out)` writes row r's floats to `out`.
using RowReader = std::function<void(std::size_t row, float* out)>;
std::optional<std::vector<std::pair<std::size_t, float>>> top(const RowReader& row, const std::int8_t* qrows,
                                                              const RowBound* bounds, std::size_t n,
                                                              std::size_t dim, const float* query,
                                                              std::size_t k, std::size_t* rescored = nullptr);

}  // namespace quillbox::int8
