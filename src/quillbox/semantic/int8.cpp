// Scoring for the vector store: exact float scores, the int8 scan and the bounded re-rank.
#include "quillbox/semantic/int8.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <queue>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quillbox::int8 {

namespace {

constexpr std::size_t VEC = 32;
// score() sums in this many double lanes (element i into lane i % LANES), whatever the kernel.
constexpr std::size_t LANES = 16;

// v rounded up to a float, after a margin for the double arithmetic that computed it.
float up(double v) {
    v *= 1 + 1e-9;  // sums of up to 65536 terms
    float f = static_cast<float>(v);
    if (static_cast<double>(f) < v) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
}

double lanes_sum(const double* acc) {
    double s[LANES];
    std::copy(acc, acc + LANES, s);
    for (std::size_t w = LANES / 2; w > 0; w /= 2)
        for (std::size_t i = 0; i < w; ++i) s[i] += s[i + w];
    return s[0];
}

float score_scalar(const float* row, const double* q, std::size_t dim) {
    double acc[LANES] = {};
    for (std::size_t i = 0; i < dim; ++i) acc[i % LANES] += static_cast<double>(row[i]) * q[i];
    return static_cast<float>(lanes_sum(acc));
}

void dots_scalar(const std::int8_t* rows, std::size_t n, std::size_t stride, const std::int8_t* q, std::int32_t* out) {
    for (std::size_t r = 0; r < n; ++r) {
        const std::int8_t* a = rows + r * stride;
        std::int32_t s = 0;
        for (std::size_t i = 0; i < stride; ++i) s += static_cast<std::int32_t>(a[i]) * q[i];
        out[r] = s;
    }
}

#if defined(__x86_64__)

// Products of doubles made from floats are exact, so lanes summed with SSE2 or AVX2 (with or
// without fused adds) hold the same values as the scalar loop's.
float score_sse2(const float* row, const double* q, std::size_t dim) {
    __m128d acc[LANES / 2];
    for (auto& a : acc) a = _mm_setzero_pd();
    std::size_t i = 0;
    for (; i + LANES <= dim; i += LANES)
        for (std::size_t j = 0; j < LANES / 4; ++j) {
            const __m128 x = _mm_loadu_ps(row + i + 4 * j);
            const __m128d lo = _mm_cvtps_pd(x), hi = _mm_cvtps_pd(_mm_movehl_ps(x, x));
            acc[2 * j] = _mm_add_pd(acc[2 * j], _mm_mul_pd(lo, _mm_loadu_pd(q + i + 4 * j)));
            acc[2 * j + 1] = _mm_add_pd(acc[2 * j + 1], _mm_mul_pd(hi, _mm_loadu_pd(q + i + 4 * j + 2)));
        }
    double lanes[LANES];
    for (std::size_t j = 0; j < LANES / 2; ++j) _mm_storeu_pd(lanes + 2 * j, acc[j]);
    for (; i < dim; ++i) lanes[i % LANES] += static_cast<double>(row[i]) * q[i];
    return static_cast<float>(lanes_sum(lanes));
}

__attribute__((target("avx2"))) float score_avx2(const float* row, const double* q, std::size_t dim) {
    __m256d acc[LANES / 4];
    for (auto& a : acc) a = _mm256_setzero_pd();
    std::size_t i = 0;
    for (; i + LANES <= dim; i += LANES)
        for (std::size_t j = 0; j < LANES / 8; ++j) {
            const __m256 x = _mm256_loadu_ps(row + i + 8 * j);
            const __m256d lo = _mm256_cvtps_pd(_mm256_castps256_ps128(x));
            const __m256d hi = _mm256_cvtps_pd(_mm256_extractf128_ps(x, 1));
            acc[2 * j] = _mm256_add_pd(acc[2 * j], _mm256_mul_pd(lo, _mm256_loadu_pd(q + i + 8 * j)));
            acc[2 * j + 1] = _mm256_add_pd(acc[2 * j + 1], _mm256_mul_pd(hi, _mm256_loadu_pd(q + i + 8 * j + 4)));
        }
    double lanes[LANES];
    for (std::size_t j = 0; j < LANES / 4; ++j) _mm256_storeu_pd(lanes + 4 * j, acc[j]);
    for (; i < dim; ++i) lanes[i % LANES] += static_cast<double>(row[i]) * q[i];
    return static_cast<float>(lanes_sum(lanes));
}

std::int32_t hsum(__m128i v) {
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(v);
}

// Bytes widened to 16 bits with their sign, then multiplied and summed in pairs.
void dots_sse2(const std::int8_t* rows, std::size_t n, std::size_t stride, const std::int8_t* q, std::int32_t* out) {
    for (std::size_t r = 0; r < n; ++r) {
        const std::int8_t* a = rows + r * stride;
        __m128i acc = _mm_setzero_si128();
        for (std::size_t i = 0; i < stride; i += 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
            const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + i));
            const __m128i xl = _mm_srai_epi16(_mm_unpacklo_epi8(x, x), 8), xh = _mm_srai_epi16(_mm_unpackhi_epi8(x, x), 8);
            const __m128i yl = _mm_srai_epi16(_mm_unpacklo_epi8(y, y), 8), yh = _mm_srai_epi16(_mm_unpackhi_epi8(y, y), 8);
            acc = _mm_add_epi32(acc, _mm_add_epi32(_mm_madd_epi16(xl, yl), _mm_madd_epi16(xh, yh)));
        }
        out[r] = hsum(acc);
    }
}

// |q| times the row's bytes with q's sign: unsigned by signed products, summed in pairs without
// saturating (2 * 127 * 127 < 32768), then in fours.
__attribute__((target("avx2"))) void dots_avx2(const std::int8_t* rows, std::size_t n, std::size_t stride,
                                               const std::int8_t* q, std::int32_t* out) {
    const __m256i ones = _mm256_set1_epi16(1);
    for (std::size_t r = 0; r < n; ++r) {
        const std::int8_t* a = rows + r * stride;
        __m256i acc = _mm256_setzero_si256();
        for (std::size_t i = 0; i < stride; i += VEC) {
            const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
            const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + i));
            const __m256i p = _mm256_maddubs_epi16(_mm256_abs_epi8(y), _mm256_sign_epi8(x, y));
            acc = _mm256_add_epi32(acc, _mm256_madd_epi16(p, ones));
        }
        out[r] = hsum(_mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1)));
    }
}

// What quantise() has gathered of a row so far: the elements done, the largest magnitude's
// bits, the sum of q squared and of the residual squared.
struct Sums {
    std::size_t done = 0;
    std::uint32_t most = 0;
    std::int64_t q2 = 0;
    float e2 = 0;
};

void most_sse2(const float* v, std::size_t dim, Sums& s) {
    const __m128i magnitude = _mm_set1_epi32(0x7FFFFFFF);
    __m128i m = _mm_setzero_si128();
    for (; s.done + 4 <= dim; s.done += 4) {
        const __m128i x = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v + s.done)), magnitude);
        const __m128i gt = _mm_cmpgt_epi32(x, m);  // signed compare: the sign bits are clear
        m = _mm_or_si128(_mm_and_si128(gt, x), _mm_andnot_si128(gt, m));
    }
    alignas(16) std::uint32_t ms[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(ms), m);
    s.most = std::max(std::max(ms[0], ms[1]), std::max(ms[2], ms[3]));
}

__attribute__((target("avx2"))) void most_avx2(const float* v, std::size_t dim, Sums& s) {
    const __m256i magnitude = _mm256_set1_epi32(0x7FFFFFFF);
    __m256i m = _mm256_setzero_si256();
    for (; s.done + 8 <= dim; s.done += 8)
        m = _mm256_max_epi32(m, _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + s.done)), magnitude));
    alignas(32) std::uint32_t ms[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(ms), m);
    s.most = *std::max_element(ms, ms + 8);
}

void quantise_sse2(const float* v, std::size_t dim, float scale, float inv, std::int8_t* out, Sums& s) {
    const __m128 inv4 = _mm_set1_ps(inv), scale4 = _mm_set1_ps(scale);
    const __m128i lo = _mm_set1_epi16(-127), hi = _mm_set1_epi16(127);
    __m128i qsq = _mm_setzero_si128();
    __m128 esq = _mm_setzero_ps();
    for (; s.done + 8 <= dim; s.done += 8) {
        const float* x = v + s.done;
        const __m128 x0 = _mm_loadu_ps(x), x1 = _mm_loadu_ps(x + 4);
        __m128i q = _mm_packs_epi32(_mm_cvtps_epi32(_mm_mul_ps(x0, inv4)), _mm_cvtps_epi32(_mm_mul_ps(x1, inv4)));
        q = _mm_min_epi16(_mm_max_epi16(q, lo), hi);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + s.done), _mm_packs_epi16(q, q));
        qsq = _mm_add_epi32(qsq, _mm_madd_epi16(q, q));
        const __m128 q0 = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(q, q), 16));
        const __m128 q1 = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(q, q), 16));
        const __m128 e0 = _mm_sub_ps(x0, _mm_mul_ps(scale4, q0)), e1 = _mm_sub_ps(x1, _mm_mul_ps(scale4, q1));
        esq = _mm_add_ps(esq, _mm_add_ps(_mm_mul_ps(e0, e0), _mm_mul_ps(e1, e1)));
    }
    alignas(16) std::int32_t qs[4];
    alignas(16) float es[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(qs), qsq);
    _mm_store_ps(es, esq);
    for (int j = 0; j < 4; ++j) s.q2 += qs[j], s.e2 += es[j];
}

// As quantise_sse2, sixteen at a time; the packs work within 128-bit lanes, so the quarters are
// put back in order after each.
__attribute__((target("avx2"))) void quantise_avx2(const float* v, std::size_t dim, float scale, float inv,
                                                   std::int8_t* out, Sums& s) {
    const __m256 inv8 = _mm256_set1_ps(inv), scale8 = _mm256_set1_ps(scale);
    const __m256i lo = _mm256_set1_epi16(-127), hi = _mm256_set1_epi16(127);
    __m256i qsq = _mm256_setzero_si256();
    __m256 esq = _mm256_setzero_ps();
    for (; s.done + 16 <= dim; s.done += 16) {
        const float* x = v + s.done;
        const __m256 x0 = _mm256_loadu_ps(x), x1 = _mm256_loadu_ps(x + 8);
        __m256i q = _mm256_packs_epi32(_mm256_cvtps_epi32(_mm256_mul_ps(x0, inv8)),
                                       _mm256_cvtps_epi32(_mm256_mul_ps(x1, inv8)));
        q = _mm256_permute4x64_epi64(q, _MM_SHUFFLE(3, 1, 2, 0));
        q = _mm256_min_epi16(_mm256_max_epi16(q, lo), hi);
        const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packs_epi16(q, q), _MM_SHUFFLE(3, 1, 2, 0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + s.done), _mm256_castsi256_si128(bytes));
        qsq = _mm256_add_epi32(qsq, _mm256_madd_epi16(q, q));
        const __m256 q0 = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm256_castsi256_si128(q)));
        const __m256 q1 = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm256_extracti128_si256(q, 1)));
        const __m256 e0 = _mm256_sub_ps(x0, _mm256_mul_ps(scale8, q0)), e1 = _mm256_sub_ps(x1, _mm256_mul_ps(scale8, q1));
        esq = _mm256_add_ps(esq, _mm256_add_ps(_mm256_mul_ps(e0, e0), _mm256_mul_ps(e1, e1)));
    }
    alignas(32) std::int32_t qs[8];
    alignas(32) float es[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(qs), qsq);
    _mm256_store_ps(es, esq);
    for (int j = 0; j < 8; ++j) s.q2 += qs[j], s.e2 += es[j];
}

#endif

using ScoreFn = float (*)(const float*, const double*, std::size_t);

ScoreFn score_fn() {
#if defined(__x86_64__)
    static const ScoreFn fn = __builtin_cpu_supports("avx2") ? &score_avx2 : &score_sse2;
    return fn;
#else
    return &score_scalar;
#endif
}

}  // namespace

std::size_t stride(std::size_t dim) { return (dim + VEC - 1) / VEC * VEC; }

RowBound quantise(Kernel kernel, const float* v, std::size_t dim, std::int8_t* out) {
    std::memset(out, 0, stride(dim));
    // The largest magnitude, compared as bits: a NaN or an infinity has every exponent bit set.
    Sums sums;
    switch (kernel) {
#if defined(__x86_64__)
        case Kernel::avx2: most_avx2(v, dim, sums); break;
        case Kernel::sse2: most_sse2(v, dim, sums); break;
#endif
        default: break;
    }
    for (; sums.done < dim; ++sums.done)
        sums.most = std::max(sums.most, std::bit_cast<std::uint32_t>(v[sums.done]) & 0x7FFFFFFFu);
    if (sums.most >= 0x7F800000u) return {0, std::numeric_limits<float>::infinity(), 0};
    const float scale = std::bit_cast<float>(sums.most) / 127.0f;
    if (!(scale > 0)) {
        double sq = 0;
        for (std::size_t i = 0; i < dim; ++i) sq += static_cast<double>(v[i]) * v[i];
        return {0, sq > 0 ? up(std::sqrt(sq) + 1e-40) : 0.0f, 0};
    }
    // q = v / scale rounded to nearest; the residual e = v - scale * q and its squares' sum are
    // taken in float (bounded below).
    const float inv = 1.0f / scale;
    sums.done = 0;
    switch (kernel) {
#if defined(__x86_64__)
        case Kernel::avx2: quantise_avx2(v, dim, scale, inv, out, sums); break;
        case Kernel::sse2: quantise_sse2(v, dim, scale, inv, out, sums); break;
#endif
        default: break;
    }
    for (std::size_t i = sums.done; i < dim; ++i) {
        const int q = std::clamp(static_cast<int>(std::nearbyint(v[i] * inv)), -127, 127);
        out[i] = static_cast<std::int8_t>(q);
        sums.q2 += static_cast<std::int64_t>(q) * q;
        const float e = v[i] - scale * static_cast<float>(q);
        sums.e2 += e * e;
    }
    // Taken in float, scale * q is off by up to 2^-24 of itself and the difference by 2^-24 of
    // itself: |e| <= (1 + 2^-23) |e as taken| + 2^-24 |scale * q|, in norms too. The sum of
    // squares is off by less than dim * 2^-23 of itself, and by 2^-149 a term where one underflows.
    const double norm = std::sqrt(static_cast<double>(sums.q2)) * scale;
    const double d = static_cast<double>(dim);
    const double taken = std::sqrt(sums.e2 * (1 + (d + 8) * 0x1p-23) + d * 0x1p-149);
    return {scale, up(taken * (1 + 0x1p-22) + norm * 0x1p-23), norm > 0 ? up(norm) : 0.0f};
}

RowBound quantise(const float* v, std::size_t dim, std::int8_t* out) { return quantise(best_kernel(), v, dim, out); }

float score(const float* row, const double* query, std::size_t dim) { return score_fn()(row, query, dim); }

bool available(Kernel kernel) {
#if defined(__x86_64__)
    return kernel != Kernel::avx2 || __builtin_cpu_supports("avx2");
#else
    return kernel == Kernel::scalar;
#endif
}

Kernel best_kernel() {
    static const Kernel best = available(Kernel::avx2) ? Kernel::avx2 : available(Kernel::sse2) ? Kernel::sse2 : Kernel::scalar;
    return best;
}

float score(Kernel kernel, const float* row, const double* query, std::size_t dim) {
    switch (kernel) {
#if defined(__x86_64__)
        case Kernel::avx2: return score_avx2(row, query, dim);
        case Kernel::sse2: return score_sse2(row, query, dim);
#endif
        default: return score_scalar(row, query, dim);
    }
}

void dots(Kernel kernel, const std::int8_t* rows, std::size_t n, std::size_t stride, const std::int8_t* query,
          std::int32_t* out) {
    switch (kernel) {
#if defined(__x86_64__)
        case Kernel::avx2: return dots_avx2(rows, n, stride, query, out);
        case Kernel::sse2: return dots_sse2(rows, n, stride, query, out);
#endif
        default: return dots_scalar(rows, n, stride, query, out);
    }
}

std::optional<std::vector<std::pair<std::size_t, float>>> top(const RowReader& row_of, const std::int8_t* qrows,
                                                              const RowBound* bounds, std::size_t n,
                                                              std::size_t dim, const float* query,
                                                              std::size_t k, std::size_t* rescored) {
    const std::size_t width = stride(dim);
    std::vector<std::int8_t> p(width);
    const RowBound qb = quantise(query, dim, p.data());
    if (!(qb.scale > 0) || std::isinf(qb.err)) return std::nullopt;
    double ny = 0;
    for (std::size_t i = 0; i < dim; ++i) ny += static_cast<double>(query[i]) * query[i];
    ny = up(std::sqrt(ny));

    // Row x = sx*q + e and query y = sy*p + f give x.y = sx*sy*(q.p) + e.y + (sx*q).f, so the int8
    // score is off by at most |e|*|y| + |sx*q|*|f|. The float score adds its own rounding, within
    // 2^-24 |x.y| <= 2^-24 (|sx*q| + |e|) |y|, and the double sums within far less: 3e-7 covers
    // both and the rounding of this arithmetic itself; 1e-38 covers subnormal scores.
    const double sy = qb.scale, on_err = ny * (1 + 3e-7), on_norm = static_cast<double>(qb.err) + 3e-7 * ny;
    auto reach = [&](const RowBound& b) { return b.err * on_err + b.norm * on_norm + 1e-38; };

    // The k highest lower bounds so far: a row whose upper bound is below the least of them
    // cannot be among the k best.
    std::priority_queue<double, std::vector<double>, std::greater<>> lows;
    double floor = -std::numeric_limits<double>::infinity();
    std::vector<std::pair<double, std::uint32_t>> candidates;  // upper bound, row
    constexpr std::size_t BLOCK = 256;
    std::int32_t dot[BLOCK];
    const Kernel kernel = best_kernel();
    for (std::size_t at = 0; at < n; at += BLOCK) {
        const std::size_t m = std::min(BLOCK, n - at);
        dots(kernel, qrows + at * width, m, width, p.data(), dot);
        for (std::size_t j = 0; j < m; ++j) {
            const RowBound& b = bounds[at + j];
            const double approx = static_cast<double>(b.scale) * sy * dot[j], d = reach(b);
            if (approx + d < floor) continue;
            // A float score this large may round to an infinity, past any bound.
            if (std::fabs(approx) + d > 1e37) return std::nullopt;
            candidates.emplace_back(approx + d, static_cast<std::uint32_t>(at + j));
            if (lows.size() < k) {
                lows.push(approx - d);
            } else if (approx - d > lows.top()) {
                lows.pop();
                lows.push(approx - d);
            }
            if (lows.size() == k) floor = lows.top();
        }
    }
    std::erase_if(candidates, [&](const auto& c) { return c.first < floor; });
    std::sort(candidates.begin(), candidates.end(),
              [](const auto& a, const auto& b) { return a.first > b.first || (a.first == b.first && a.second < b.second); });

    // Exact scores in order of the upper bounds, until the k-th best beats every bound left.
    const std::vector<double> qd(query, query + dim);
    auto better = [](const std::pair<std::size_t, float>& a, const std::pair<std::size_t, float>& b) {
        return a.second > b.second || (!(b.second > a.second) && a.first < b.first);
    };
    std::vector<std::pair<std::size_t, float>> best;  // a heap, the worst on top
    best.reserve(k + 1);
    const ScoreFn fn = score_fn();
    if (rescored) *rescored = 0;
    std::vector<float> x(dim);
    for (const auto& [upper, row] : candidates) {
        if (best.size() == k && static_cast<double>(best.front().second) > upper) break;
        if (rescored) ++*rescored;
        row_of(row, x.data());
        best.emplace_back(row, fn(x.data(), qd.data(), dim));
        std::push_heap(best.begin(), best.end(), better);
        if (best.size() > k) {
            std::pop_heap(best.begin(), best.end(), better);
            best.pop_back();
        }
    }
    std::sort_heap(best.begin(), best.end(), better);
    return best;
}

}  // namespace quillbox::int8
