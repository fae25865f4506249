#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <random>

#include "quillbox/semantic.h"
#include "quillbox/semantic/int8.h"
#include "tiny_model.h"

using namespace quillbox;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t DIM = 40;  // two whole runs of 16 lanes and a tail; padded to 64 bytes in int8
using Top = std::vector<std::pair<std::size_t, float>>;

std::vector<float> gaussian(std::mt19937& rng, double scale = 1) {
    std::normal_distribution<float> d;
    std::vector<float> v(DIM);
    double n = 0;
    for (auto& x : v) {
        x = d(rng);
        n += static_cast<double>(x) * x;
    }
    for (auto& x : v) x = static_cast<float>(x * scale / std::sqrt(n));
    return v;
}

// Vectors of one kind: spread out; in tight clusters with exact copies (near ties and ties); or
// awkward ones (zero, subnormal-small, huge, one-hot, negated copies).
std::vector<float> vector_of(int kind, std::mt19937& rng, const std::vector<std::vector<float>>& centres) {
    if (kind == 0) return gaussian(rng);
    if (kind == 1) {
        std::vector<float> v = centres[rng() % centres.size()];
        if (rng() % 4 == 0) return v;
        for (float& x : v) x += std::normal_distribution<float>(0, 1e-3f)(rng);
        return v;
    }
    switch (rng() % 6) {
        case 0: return std::vector<float>(DIM, 0.0f);
        case 1: return gaussian(rng, 1e-41);
        case 2: return gaussian(rng, 1e12);
        case 3: {
            std::vector<float> v(DIM, 0.0f);
            v[rng() % DIM] = rng() % 2 ? 1.0f : -1.0f;
            return v;
        }
        case 4: {
            std::vector<float> v = centres[rng() % centres.size()];
            for (float& x : v) x = -x;
            return v;
        }
        default: return gaussian(rng);
    }
}

// The oracle: each row's dot product summed in double, rounded to float; best first, ties by row.
Top brute_force(const VectorStore& s, const std::vector<float>& q) {
    Top all;
    const std::vector<float> m = s.matrix();
    for (std::size_t r = 0; r < s.size(); ++r) {
        double d = 0;
        for (std::size_t i = 0; i < DIM; ++i) d += static_cast<double>(m[r * DIM + i]) * q[i];
        all.emplace_back(r, static_cast<float>(d));
    }
    std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    return all;
}

}  // namespace

// The int8 scan with its float re-rank against the float path and a brute-force ranking, for
// every k, over spread, clustered and awkward matrices as rows are added, overwritten, removed,
// compacted away and read back by a second store: the same rows, in the same order, with
// bit-identical scores. QB_INT8_SEED and QB_INT8_ROUNDS vary it for a long run (scripts/int8).
TEST(VectorStoreInt8, SameTopKAsTheFloatPathForEveryK) {
    tiny::TempDir tmp;
    const char* seed = std::getenv("QB_INT8_SEED");
    const char* rounds_env = std::getenv("QB_INT8_ROUNDS");
    const int rounds = rounds_env ? std::atoi(rounds_env) : 4;
    for (int kind = 0; kind < 3; ++kind) {
        SCOPED_TRACE("kind " + std::to_string(kind));
        std::mt19937 rng(static_cast<unsigned>(11 + kind + 3 * (seed ? std::atoi(seed) : 0)));
        std::vector<std::vector<float>> centres;
        for (int c = 0; c < 4; ++c) centres.push_back(gaussian(rng));
        const fs::path file = tmp.path / ("m" + std::to_string(kind) + ".qbv");
        VectorStore store(file, DIM), reader(file, DIM);
        std::vector<VectorKey> keys;
        for (int round = 0; round < rounds; ++round) {
            std::vector<VectorKey> put_keys;
            std::vector<std::vector<float>> vecs;
            for (int i = 0; i < 50; ++i) {
                const bool overwrite = !keys.empty() && rng() % 4 == 0;
                if (!overwrite) keys.push_back(vector_key(std::to_string(kind) + "/" + std::to_string(round) + "/" + std::to_string(i)));
                put_keys.push_back(overwrite ? keys[rng() % keys.size()] : keys.back());
                vecs.push_back(vector_of(kind, rng, centres));
            }
            store.put(put_keys, vecs);
            std::vector<VectorKey> gone;
            for (int i = 0; i < 12; ++i) gone.push_back(keys[rng() % keys.size()]);
            store.remove(gone);
            if (round % 5 == 2) store.compact(0);
            reader.refresh();
            ASSERT_EQ(reader.size(), store.size());

            std::vector<std::vector<float>> queries{gaussian(rng), vector_of(kind, rng, centres),
                                                    store.vector(store.keys().front())};
            for (const auto& q : queries) {
                const Top expected = brute_force(store, q);
                for (const VectorStore* s : {&store, &reader}) {
                    const Top all = s->top(q.data(), s->size(), VectorStore::Scoring::float32);
                    ASSERT_EQ(all.size(), expected.size());
                    for (std::size_t i = 0; i < all.size(); ++i) {
                        ASSERT_EQ(s->keys()[all[i].first], store.keys()[expected[i].first]) << "rank " << i;
                        ASSERT_EQ(all[i].second, expected[i].second) << "rank " << i;
                    }
                    for (std::size_t k = 1; k <= s->size() + 1; ++k) {
                        const Top fast = s->top(q.data(), k, VectorStore::Scoring::int8);
                        const Top slow(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(k, all.size())));
                        ASSERT_EQ(fast, slow) << "k " << k;
                        if (k <= 20) {
                            ASSERT_EQ(s->top(q.data(), k), slow) << "k " << k;
                        }
                    }
                }
            }
        }
    }
}

// A row or a query holding a NaN or an infinity, or a query of zeros, is answered by the float
// path; once the odd row is gone the int8 scan answers again, as before.
TEST(VectorStoreInt8, NonFiniteRowsAndQueriesFallBackToTheFloatPath) {
    tiny::TempDir tmp;
    std::mt19937 rng(5);
    VectorStore store(tmp.path / "v.qbv", DIM);
    for (int i = 0; i < 40; ++i) store.put(vector_key(std::to_string(i)), gaussian(rng));
    std::vector<float> odd = gaussian(rng);
    odd[3] = std::numeric_limits<float>::quiet_NaN();
    const auto nan_key = vector_key("nan");
    auto bits = [](const Top& top) {  // a NaN score equals itself here
        std::vector<std::pair<std::size_t, std::uint32_t>> out;
        for (const auto& [row, score] : top) out.emplace_back(row, std::bit_cast<std::uint32_t>(score));
        return out;
    };
    auto same = [&](const std::vector<float>& q) {
        for (std::size_t k : {std::size_t{1}, std::size_t{7}, store.size()})
            EXPECT_EQ(bits(store.top(q.data(), k, VectorStore::Scoring::int8)),
                      bits(store.top(q.data(), k, VectorStore::Scoring::float32)));
    };
    std::vector<float> inf_query = gaussian(rng);
    inf_query[0] = std::numeric_limits<float>::infinity();
    same(inf_query);
    same(std::vector<float>(DIM, 0.0f));
    store.put(nan_key, odd);
    const std::vector<float> q = gaussian(rng);
    same(q);
    store.put(nan_key, gaussian(rng));  // overwritten by a finite row
    same(q);
    store.put(nan_key, odd);
    store.remove({nan_key});
    same(q);
}

// The SIMD kernels against the scalar loops: integer dot products at full-scale bytes, and float
// scores bit for bit (whole runs of lanes and tails).
TEST(VectorStoreInt8, KernelsAgreeWithTheScalarLoop) {
    std::mt19937 rng(3);
    for (std::size_t dim : {1u, 15u, 16u, 17u, 40u, 384u}) {
        std::normal_distribution<float> d;
        std::vector<float> row(dim);
        std::vector<double> q(dim);
        for (std::size_t i = 0; i < dim; ++i) row[i] = d(rng), q[i] = d(rng);
        const float want = int8::score(int8::Kernel::scalar, row.data(), q.data(), dim);
        for (auto kernel : {int8::Kernel::sse2, int8::Kernel::avx2}) {
            if (int8::available(kernel)) {
                EXPECT_EQ(int8::score(kernel, row.data(), q.data(), dim), want) << dim;
            }
        }
    }
    std::uniform_int_distribution<int> byte(-127, 127);
    for (std::size_t dim : {1u, 31u, 32u, 33u, 384u, 1000u}) {
        const std::size_t stride = int8::stride(dim), n = 37;
        std::vector<std::int8_t> rows(n * stride, 0), q(stride, 0);
        for (std::size_t r = 0; r < n; ++r)
            for (std::size_t i = 0; i < dim; ++i) rows[r * stride + i] = static_cast<std::int8_t>(r < 2 ? (r ? -127 : 127) : byte(rng));
        for (std::size_t i = 0; i < dim; ++i) q[i] = static_cast<std::int8_t>(i % 5 == 0 ? -127 : byte(rng));
        std::vector<std::int32_t> want(n), got(n);
        int8::dots(int8::Kernel::scalar, rows.data(), n, stride, q.data(), want.data());
        for (auto kernel : {int8::Kernel::sse2, int8::Kernel::avx2}) {
            if (!int8::available(kernel)) continue;
            int8::dots(kernel, rows.data(), n, stride, q.data(), got.data());
            EXPECT_EQ(got, want) << "dim " << dim;
        }
    }
}

// The quantisation's error bound holds (against the residual in long double), for vectors
// spread out, one-hot, subnormal, huge, and of widths with a tail past whole SIMD runs; every
// kernel rounds to the same bytes.
TEST(VectorStoreInt8, QuantisationBoundHolds) {
    std::mt19937 rng(9);
    for (std::size_t dim : {1u, 7u, 8u, 13u, 17u, 40u, 384u}) {
        std::vector<std::int8_t> q(int8::stride(dim)), scalar_q(q.size());
        for (double scale : {1.0, 1e-41, 1e-30, 1e30, 3e-39}) {
            for (int rep = 0; rep < 20; ++rep) {
                std::normal_distribution<double> d;
                std::vector<float> v(dim);
                for (auto& x : v) x = static_cast<float>(rep % 4 == 0 ? (rng() % dim == 0 ? scale : 0) : d(rng) * scale);
                int8::quantise(int8::Kernel::scalar, v.data(), dim, scalar_q.data());
                for (auto kernel : {int8::Kernel::scalar, int8::Kernel::sse2, int8::Kernel::avx2}) {
                    if (!int8::available(kernel)) continue;
                    const int8::RowBound b = int8::quantise(kernel, v.data(), dim, q.data());
                    ASSERT_EQ(q, scalar_q) << dim << " " << scale;
                    long double e = 0, n = 0;
                    for (std::size_t i = 0; i < dim; ++i) {
                        ASSERT_GE(q[i], -127);
                        const long double xq = static_cast<long double>(b.scale) * q[i];
                        e += (v[i] - xq) * (v[i] - xq);
                        n += xq * xq;
                    }
                    for (std::size_t i = dim; i < q.size(); ++i) ASSERT_EQ(q[i], 0);
                    EXPECT_LE(std::sqrt(e), static_cast<long double>(b.err)) << dim << " " << scale;
                    EXPECT_LE(std::sqrt(n), static_cast<long double>(b.norm)) << dim << " " << scale;
                }
            }
        }
    }
}
