// Robust statistics and the MDL score: median, median absolute deviation,
// success rate, the tolerance rule and the score with its optional penalty.
#pragma once

#include <cstdint>
#include <vector>

#include "types.hpp"

namespace zelt {

// Median by nth-element selection; consumes (and reorders) its argument.
// 0.0 for an empty sequence.
double median_inplace(std::vector<double> v);

// Raw median absolute deviation (no consistency factor, no floor); NaN when
// y holds a NaN.
double mad(const VectorCRef& y);

// Share of positions i < len(yt) with |yp[i] - yt[i]| < eps, floored at 1/(2n).
// One pass, no allocation. Refuses a yp shorter than yt.
double compute_SR(const VectorCRef& yp, const VectorCRef& yt, double eps);

// hit / n floored at 1/(2n), keeping hit / n when equal or NaN (n = 0).
double success_rate(std::int64_t hit, Eigen::Index n);

// b' R b, without allocating.
double quad_form(const VectorCRef& b, const MatrixCRef& R);

// Tolerance rule shared by mdl_score and the tournament search:
// 0.4 * mad(yt) when positive, else 0.4.
double tolerance_from_targets(const VectorCRef& yt);

// The MDL score split at the success count: everything that depends only on
// n, k and H is formed once, so that a caller scoring many predictions
// against the same targets (the tournament search) pays one count per
// candidate and no logarithm. mdl_score_cached is built on it, so the score
// has one definition; every value is formed by the same operations in the
// same order as the plain formula, so a prepared score gives the same bits.
struct PreparedScore {
    Eigen::Index n = 0;     // number of targets
    double model = 0.0;     // (k ln(2H) / n) * k, or (0 / n) * k for k <= 0
    // data[hit] = n ln(SR(hit)) for hit = 0 .. n when tabulated; empty when n
    // exceeds the table limit and the logarithm is taken per call instead.
    std::vector<double> data;
};

// Largest n for which prepare_score builds the table of n + 1 logarithms:
// above it one logarithm is small next to the n-row count it follows.
constexpr Eigen::Index kScoreTableMaxN = 4096;

PreparedScore prepare_score(Eigen::Index n, int k, int H, bool tabulate);

// model - n ln(SR(hit)) [+ gamma1 beta'R1 beta] [+ gamma2 beta'R2 beta].
double score_from_hits(const PreparedScore& ps, std::int64_t hit, const Vector* beta,
                       const PenaltySpec* pen);

// L = (k ln(2H) / n) * k - n ln(SR) [+ penalty on beta].
double mdl_score_cached(const VectorCRef& yp, const VectorCRef& yt, int k, int H, double eps,
                        const Vector* beta, const PenaltySpec* pen);

// mdl_score_cached at the tolerance of yt. Refuses a yp shorter than yt and,
// with beta and pen, a used penalty that is not len(beta) square.
double mdl_score(const VectorCRef& yp, const VectorCRef& yt, int k, int H, const Vector* beta,
                 const PenaltySpec* pen);

}  // namespace zelt
