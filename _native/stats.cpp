// Robust statistics and the MDL score: median and median absolute deviation,
// success rate, tolerance rule, the score prepared once per fit and its
// smoothness penalty. The vectorised counts it builds on are in kernels.cpp.
#include "stats.hpp"

#include "checks.hpp"
#include "kernels.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace zelt {

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
    require_prediction_covers_targets(yp, yt);
    return success_rate(count_within(yp, yt, eps), yt.size());
}

double success_rate(std::int64_t hit, Eigen::Index n) {
    const double sr = static_cast<double>(hit) / static_cast<double>(n);
    const double floor = 1.0 / (2.0 * static_cast<double>(n));
    return (floor > sr) ? floor : sr;  // keeps sr when equal or NaN
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
    require_prediction_covers_targets(yp, yt);
    if (beta != nullptr && pen != nullptr) require_penalty_shape(*pen, beta->size());
    return mdl_score_cached(yp, yt, k, H, tolerance_from_targets(yt), beta, pen);
}

}  // namespace zelt
