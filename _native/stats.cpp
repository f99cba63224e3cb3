#include "stats.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#if defined(__SSE2__)
#include <immintrin.h>
#endif
#include <stdexcept>
#include <string>
#include <utility>

namespace zelt {

#if defined(__SSE2__)
namespace {
std::int64_t lane_sum(__m128i v) {
    alignas(16) std::int64_t lanes[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
    return lanes[0] + lanes[1];
}
}  // namespace
#endif

double median_inplace(std::vector<double> v) {
    const std::size_t n = v.size();
    if (n == 0) return 0.0;
    const auto hi = v.begin() + static_cast<std::ptrdiff_t>(n / 2);
    std::nth_element(v.begin(), hi, v.end());
    if (n % 2 == 1) return *hi;
    // After the selection the lower half holds the n/2 smallest values, so the
    // lower middle value is their maximum: one scan instead of a second selection.
    const double a = *hi;
    double b = v.front();
    for (auto it = v.begin() + 1; it != hi; ++it) {
        if (*it > b) b = *it;
    }
    return (a + b) * 0.5;
}

double mad(const VectorCRef& y) {
    const Eigen::Index n = y.size();
    if (n == 0) return 0.0;
    // The selection has no order for NaN: it would return an arbitrary value
    // that depends on where the NaN sits. A NaN anywhere makes the spread
    // unknown, as NumPy's median says.
    if (y.hasNaN()) return std::numeric_limits<double>::quiet_NaN();
    std::vector<double> buf(y.data(), y.data() + n);
    const double m = median_inplace(buf);
    // An infinite median less an infinite value is NaN too; the selection
    // must not see it either.
    bool deviation_nan = false;
    for (double& v : buf) {
        v = std::abs(v - m);
        deviation_nan |= std::isnan(v);
    }
    if (deviation_nan) return std::numeric_limits<double>::quiet_NaN();
    return median_inplace(std::move(buf));
}

double compute_SR(const VectorCRef& yp, const VectorCRef& yt, double eps) {
    return success_rate(count_within(yp, yt, eps), yt.size());
}

std::int64_t count_within(const VectorCRef& yp, const VectorCRef& yt, double eps) {
    const Eigen::Index n = yt.size();
    const double* p = yp.data();
    const double* t = yt.data();
    Eigen::Index i = 0;
    std::int64_t hit = 0;
#if defined(__SSE2__)
    // Two positions per step: the comparison mask is all ones (-1) where the
    // position counts, so subtracting it adds one per success.
    const __m128d sign = _mm_set1_pd(-0.0);
    const __m128d veps = _mm_set1_pd(eps);
    __m128i acc = _mm_setzero_si128();
    for (; i + 2 <= n; i += 2) {
        const __m128d d = _mm_andnot_pd(sign, _mm_sub_pd(_mm_loadu_pd(p + i), _mm_loadu_pd(t + i)));
        acc = _mm_sub_epi64(acc, _mm_castpd_si128(_mm_cmplt_pd(d, veps)));
    }
    hit = lane_sum(acc);
#endif
    // NaN differences compare false and never count.
    for (; i < n; ++i) hit += (std::abs(p[i] - t[i]) < eps) ? 1 : 0;
    return hit;
}

double success_rate(std::int64_t hit, Eigen::Index n) {
    const double sr = static_cast<double>(hit) / static_cast<double>(n);
    const double floor = 1.0 / (2.0 * static_cast<double>(n));
    return (floor > sr) ? floor : sr;  // keeps sr when equal or NaN
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

#if defined(__GNUC__) && defined(__x86_64__) && defined(__SSE2__) && !defined(__AVX__) && !defined(__FMA__)
// In the portable build the same sums run four rows at a time where the
// processor has AVX2, chosen at run time. Without fused multiply-add (not
// enabled here) every lane does exactly the rounded product and rounded sum
// of the SSE2 code, so the results are the same bits on every processor.
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
    const __m128d sign = _mm_set1_pd(-0.0);
    const __m128d veps = _mm_set1_pd(eps);
    __m128i acc = _mm_setzero_si128();
    auto pairs = [&](Eigen::Index i, __m128d v) {
        const __m128d d = _mm_andnot_pd(sign, _mm_sub_pd(v, _mm_loadu_pd(t + i)));
        acc = _mm_sub_epi64(acc, _mm_castpd_si128(_mm_cmplt_pd(d, veps)));
    };
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
    hit += lane_sum(acc);
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

double quad_form(const VectorCRef& b, const MatrixCRef& R) {
    // b'Rb = sum_j b_j (R_{:,j} . b): column dots instead of the temporary R*b.
    const Eigen::Index p = R.cols();
    if (R.rows() == 0) return 0.0;
    double s = 0.0;
    for (Eigen::Index j = 0; j < p; ++j) s += b[j] * R.col(j).dot(b);
    return s;
}

double tolerance_from_targets(const VectorCRef& yt) {
    const double m = mad(yt);
    return (m > 0.0) ? 0.4 * m : 0.4;  // NaN falls to 0.4 too
}

namespace {
// n ln(SR(hit)): one function for the table and for the direct path, kept out
// of line so that no build (one with fused multiply-add, say) can fuse its
// product into the subtraction that follows in one path but not in the other.
__attribute__((noinline)) double data_term(std::int64_t hit, Eigen::Index n) {
    return static_cast<double>(n) * std::log(success_rate(hit, n));
}
}  // namespace

PreparedScore prepare_score(Eigen::Index n, int k, int H, bool tabulate) {
    PreparedScore ps;
    ps.n = n;
    const double nd = static_cast<double>(n);
    const double kd = static_cast<double>(k);
    // (k and H are doubles here: 2.0 * H never overflows an int.)
    const double logHk = (k > 0) ? kd * std::log(2.0 * static_cast<double>(H)) : 0.0;
    ps.model = (logHk / nd) * kd;
    if (tabulate && n <= kScoreTableMaxN) {
        // SR takes only the n + 1 values of hit = 0 .. n: one logarithm each.
        ps.data.resize(static_cast<std::size_t>(n) + 1);
        for (Eigen::Index hit = 0; hit <= n; ++hit) ps.data[static_cast<std::size_t>(hit)] = data_term(hit, n);
    }
    return ps;
}

double score_from_hits(const PreparedScore& ps, std::int64_t hit, const Vector* beta,
                       const PenaltySpec* pen) {
    const double data = ps.data.empty() ? data_term(hit, ps.n) : ps.data[static_cast<std::size_t>(hit)];
    double L = ps.model - data;
    if (beta != nullptr && pen != nullptr && pen->active()) {
        if (pen->gamma1 != 0.0 && pen->R1 != nullptr) L += pen->gamma1 * quad_form(*beta, *pen->R1);
        if (pen->gamma2 != 0.0 && pen->R2 != nullptr) L += pen->gamma2 * quad_form(*beta, *pen->R2);
    }
    return L;
}

double mdl_score_cached(const VectorCRef& yp, const VectorCRef& yt, int k, int H, double eps,
                        const Vector* beta, const PenaltySpec* pen) {
    const PreparedScore ps = prepare_score(yt.size(), k, H, /*tabulate=*/false);
    return score_from_hits(ps, count_within(yp, yt, eps), beta, pen);
}

double mdl_score(const VectorCRef& yp, const VectorCRef& yt, int k, int H, const Vector* beta,
                 const PenaltySpec* pen) {
    return mdl_score_cached(yp, yt, k, H, tolerance_from_targets(yt), beta, pen);
}

void require_prediction_covers_targets(const VectorCRef& yp, const VectorCRef& yt) {
    if (yp.size() < yt.size()) {
        throw std::invalid_argument("yp is shorter than yt (" + std::to_string(yp.size()) + " < " +
                                    std::to_string(yt.size()) + ")");
    }
}

namespace {
void require_square(const Matrix* R, double gamma, Eigen::Index p, const char* name) {
    if (gamma == 0.0 || R == nullptr) return;  // an unused term is never read
    if (R->rows() != p || R->cols() != p) {
        throw std::invalid_argument(std::string(name) + " must be " + std::to_string(p) + " x " +
                                    std::to_string(p) + ", got " + std::to_string(R->rows()) +
                                    " x " + std::to_string(R->cols()));
    }
}
}  // namespace

void require_penalty_shape(const PenaltySpec& pen, Eigen::Index p) {
    require_square(pen.R1, pen.gamma1, p, "R1");
    require_square(pen.R2, pen.gamma2, p, "R2");
}

void require_finite(const MatrixCRef& a, const char* name) {
    // An empty matrix may still have 2^50 columns: nothing to look at.
    if (a.size() > 0 && !a.allFinite()) throw std::invalid_argument(std::string(name) + " contains NaN or infinity");
}

void require_finite(double v, const char* name) {
    if (!std::isfinite(v)) {
        throw std::invalid_argument(std::string(name) + " is " + std::to_string(v) +
                                    ", not a finite number");
    }
}

void require_finite_penalty(const PenaltySpec& pen) {
    // Only a used term is inspected: a weight of exactly 0.0 (or an absent
    // matrix) never reads its matrix, whatever it holds.
    if (pen.gamma1 != 0.0 && pen.R1 != nullptr) {
        require_finite(pen.gamma1, "gamma1");
        require_finite(*pen.R1, "R1");
    }
    if (pen.gamma2 != 0.0 && pen.R2 != nullptr) {
        require_finite(pen.gamma2, "gamma2");
        require_finite(*pen.R2, "R2");
    }
}

}  // namespace zelt
