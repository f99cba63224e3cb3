// Vectorised kernels of the success count: predictions within a tolerance
// of their targets, and the fused product-and-count of the tournament search
// (SSE2, and AVX2 chosen at run time, with the bits of Eigen's product).
#include "kernels.hpp"

#include <cmath>
#include <cstdint>
#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace zelt {

#if defined(__SSE2__)
namespace {
std::int64_t lane_sum(__m128i v) {
    alignas(16) std::int64_t lanes[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
    return lanes[0] + lanes[1];
}

// Two positions at once: |p - t| < eps gives a mask of all ones (-1) where
// the position counts, so subtracting it adds one per success; a NaN
// difference compares false and never counts.
struct PairCounter {
    const __m128d sign = _mm_set1_pd(-0.0);
    const __m128d veps;
    __m128i acc = _mm_setzero_si128();

    explicit PairCounter(double eps) : veps(_mm_set1_pd(eps)) {}
    void add(__m128d p, __m128d t) {
        const __m128d d = _mm_andnot_pd(sign, _mm_sub_pd(p, t));
        acc = _mm_sub_epi64(acc, _mm_castpd_si128(_mm_cmplt_pd(d, veps)));
    }
    std::int64_t total() const { return lane_sum(acc); }
};
}  // namespace
#endif

std::int64_t count_within(const VectorCRef& yp, const VectorCRef& yt, double eps) {
    const Eigen::Index n = yt.size();
    const double* p = yp.data();
    const double* t = yt.data();
    Eigen::Index i = 0;
    std::int64_t hit = 0;
#if defined(__SSE2__)
    PairCounter pairs(eps);
    for (; i + 2 <= n; i += 2) pairs.add(_mm_loadu_pd(p + i), _mm_loadu_pd(t + i));
    hit = pairs.total();
#endif
    // NaN differences compare false and never count.
    for (; i < n; ++i) hit += (std::abs(p[i] - t[i]) < eps) ? 1 : 0;
    return hit;
}

namespace {

// Rows [i, i + 2P) of X * b, summed over the columns in index order from
// 0.0 (one rounded product, one rounded sum per column), handed to sink(row,
// value) in pairs. SSE2 has no fused multiply-add, so these are exactly the
// operations of Eigen's packet kernel for the same rows.
#if defined(__SSE2__)
template <int P, class Sink>
inline void row_block(const double* X, Eigen::Index ld, Eigen::Index k, const double* b,
                      Eigen::Index i, Sink& sink) {
    __m128d acc[P];
    for (int r = 0; r < P; ++r) acc[r] = _mm_setzero_pd();
    for (Eigen::Index j = 0; j < k; ++j) {
        const __m128d bj = _mm_set1_pd(b[j]);
        const double* col = X + j * ld + i;
        for (int r = 0; r < P; ++r) acc[r] = _mm_add_pd(acc[r], _mm_mul_pd(_mm_loadu_pd(col + 2 * r), bj));
    }
    for (int r = 0; r < P; ++r) sink(i + 2 * r, acc[r]);
}

// All row pairs: 16 rows at a time (eight independent accumulators hide the
// latency of the additions), then 8, 4 and 2. Returns the first row left.
template <class Sink>
Eigen::Index row_pairs(const double* x, Eigen::Index ld, Eigen::Index i, Eigen::Index n,
                       Eigen::Index k, const double* b, Sink& sink) {
    for (; i + 16 <= n; i += 16) row_block<8>(x, ld, k, b, i, sink);
    if (i + 8 <= n) { row_block<4>(x, ld, k, b, i, sink); i += 8; }
    if (i + 4 <= n) { row_block<2>(x, ld, k, b, i, sink); i += 4; }
    if (i + 2 <= n) { row_block<1>(x, ld, k, b, i, sink); i += 2; }
    return i;
}
#endif

#if defined(__GNUC__) && defined(__x86_64__) && defined(__SSE2__) && !defined(__AVX__) && !defined(__FMA__) && \
    !defined(ZELT_SSE2_ROWS_ONLY)
// In the portable build the same sums run four rows at a time where the
// processor has AVX2, chosen at run time. Without fused multiply-add (not
// enabled here) every lane does exactly the rounded product and rounded sum
// of the SSE2 code, so the results are the same bits on every processor.
// The native checks build these sources a second time with
// ZELT_SSE2_ROWS_ONLY, so that the SSE2 blocks run on a processor with AVX2
// too; the module never defines it.
#define ZELT_WIDE_ROWS 1

bool wide_rows_available() {
    static const bool ok = __builtin_cpu_supports("avx2");
    return ok;
}

// Rows [i, i + 4P): counted within eps of t (Store = false) or stored to out.
template <int P, bool Store>
__attribute__((target("avx2"))) inline void wide_block(const double* X, Eigen::Index ld,
                                                       Eigen::Index k, const double* b,
                                                       Eigen::Index i, const double* t, double eps,
                                                       __m256i& cnt, double* out) {
    __m256d acc[P];
    for (int r = 0; r < P; ++r) acc[r] = _mm256_setzero_pd();
    for (Eigen::Index j = 0; j < k; ++j) {
        const __m256d bj = _mm256_set1_pd(b[j]);
        const double* col = X + j * ld + i;
        for (int r = 0; r < P; ++r) acc[r] = _mm256_add_pd(acc[r], _mm256_mul_pd(_mm256_loadu_pd(col + 4 * r), bj));
    }
    if (Store) {
        for (int r = 0; r < P; ++r) _mm256_storeu_pd(out + i + 4 * r, acc[r]);
    } else {
        const __m256d sign = _mm256_set1_pd(-0.0);
        const __m256d veps = _mm256_set1_pd(eps);
        for (int r = 0; r < P; ++r) {
            const __m256d d = _mm256_andnot_pd(sign, _mm256_sub_pd(acc[r], _mm256_loadu_pd(t + i + 4 * r)));
            cnt = _mm256_sub_epi64(cnt, _mm256_castpd_si256(_mm256_cmp_pd(d, veps, _CMP_LT_OS)));
        }
    }
}

// Rows 0 .. i-1 for the largest multiple i of 4 below n; returns i and adds
// the successes to *hit (Store = false) or stores the sums (Store = true).
template <bool Store>
__attribute__((target("avx2"))) Eigen::Index wide_rows(const double* x, Eigen::Index ld,
                                                       Eigen::Index n, Eigen::Index k,
                                                       const double* b, const double* t,
                                                       double eps, std::int64_t* hit, double* out) {
    __m256i cnt = _mm256_setzero_si256();
    Eigen::Index i = 0;
    for (; i + 32 <= n; i += 32) wide_block<8, Store>(x, ld, k, b, i, t, eps, cnt, out);
    if (i + 16 <= n) { wide_block<4, Store>(x, ld, k, b, i, t, eps, cnt, out); i += 16; }
    if (i + 8 <= n) { wide_block<2, Store>(x, ld, k, b, i, t, eps, cnt, out); i += 8; }
    if (i + 4 <= n) { wide_block<1, Store>(x, ld, k, b, i, t, eps, cnt, out); i += 4; }
    if (!Store) {
        alignas(32) std::int64_t lanes[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), cnt);
        *hit += lanes[0] + lanes[1] + lanes[2] + lanes[3];
    }
    return i;
}
#endif

// Drives the row blocks over rows i0 .. n-1, then a last single row in scalar code.
template <class PairSink, class ScalarSink>
inline void product_rows(const MatrixCRef& X, const VectorCRef& b, Eigen::Index i0,
                         PairSink& pair_sink, ScalarSink& scalar_sink) {
    const Eigen::Index n = X.rows(), k = X.cols(), ld = X.outerStride();
    const double* x = X.data();
    const double* bp = b.data();
    Eigen::Index i = i0;
#if defined(__SSE2__) && !defined(__FMA__)
    i = row_pairs(x, ld, i, n, k, bp, pair_sink);
#else
    (void)pair_sink;
#endif
    for (; i < n; ++i) {
        double acc = 0.0;
        for (Eigen::Index j = 0; j < k; ++j) acc = acc + x[j * ld + i] * bp[j];
        scalar_sink(i, acc);
    }
}

}  // namespace

std::int64_t count_within_product(const MatrixCRef& X, const VectorCRef& b, const VectorCRef& yt,
                                  double eps) {
    const double* t = yt.data();
    std::int64_t hit = 0;
#if defined(__SSE2__)
    PairCounter counter(eps);
    auto pairs = [&](Eigen::Index i, __m128d v) { counter.add(v, _mm_loadu_pd(t + i)); };
#else
    int pairs = 0;
#endif
    auto single = [&](Eigen::Index i, double v) { hit += (std::abs(v - t[i]) < eps) ? 1 : 0; };
    Eigen::Index i0 = 0;
#if defined(ZELT_WIDE_ROWS)
    if (wide_rows_available()) {
        i0 = wide_rows<false>(X.data(), X.outerStride(), X.rows(), X.cols(), b.data(), t, eps, &hit, nullptr);
    }
#endif
    product_rows(X, b, i0, pairs, single);
#if defined(__SSE2__)
    hit += counter.total();
#endif
    return hit;
}

void product_in_column_order(const MatrixCRef& X, const VectorCRef& b, Eigen::Ref<Vector> out) {
    double* o = out.data();
#if defined(__SSE2__)
    auto pairs = [&](Eigen::Index i, __m128d v) { _mm_storeu_pd(o + i, v); };
#else
    int pairs = 0;
#endif
    auto single = [&](Eigen::Index i, double v) { o[i] = v; };
    Eigen::Index i0 = 0;
#if defined(ZELT_WIDE_ROWS)
    if (wide_rows_available()) {
        i0 = wide_rows<true>(X.data(), X.outerStride(), X.rows(), X.cols(), b.data(), nullptr, 0.0, nullptr, o);
    }
#endif
    product_rows(X, b, i0, pairs, single);
}

}  // namespace zelt
