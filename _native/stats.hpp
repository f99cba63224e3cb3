// Robust statistics and the MDL score, and the vector and matrix types
// shared by every part of the core.
#pragma once

#include <Eigen/Dense>
#include <cstdint>
#include <vector>

namespace zelt {

using Vector = Eigen::VectorXd;
using Matrix = Eigen::MatrixXd;
using VectorCRef = Eigen::Ref<const Vector>;
using MatrixCRef = Eigen::Ref<const Matrix>;

// Median by nth-element selection; consumes (and reorders) its argument.
// 0.0 for an empty sequence.
double median_inplace(std::vector<double> v);

// Raw median absolute deviation (no consistency factor, no floor); NaN when
// y holds a NaN.
double mad(const VectorCRef& y);

// Share of positions i < len(yt) with |yp[i] - yt[i]| < eps, floored at 1/(2n).
// Innermost loop of the tournament search: one pass, no allocation.
double compute_SR(const VectorCRef& yp, const VectorCRef& yt, double eps);

// hit / n floored at 1/(2n), keeping hit / n when equal or NaN (n = 0).
double success_rate(std::int64_t hit, Eigen::Index n);

// Optional quadratic smoothness penalty gamma1*b'R1b + gamma2*b'R2b.
// Owns nothing; a term counts only with a non-zero weight and a matrix.
struct PenaltySpec {
    const Matrix* R1 = nullptr;
    const Matrix* R2 = nullptr;
    double gamma1 = 0.0;
    double gamma2 = 0.0;

    bool active() const {
        return (gamma1 != 0.0 && R1 != nullptr) || (gamma2 != 0.0 && R2 != nullptr);
    }
};

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

double mdl_score(const VectorCRef& yp, const VectorCRef& yt, int k, int H, const Vector* beta,
                 const PenaltySpec* pen);

// Argument checks of the Python entries (std::invalid_argument on failure).
void require_prediction_covers_targets(const VectorCRef& yp, const VectorCRef& yt);
void require_penalty_shape(const PenaltySpec& pen, Eigen::Index p);
// Fits refuse numbers that are not finite before any work: "<name> contains
// NaN or infinity" for arrays, "<name> is nan, not a finite number" for scalars.
void require_finite(const MatrixCRef& a, const char* name);
void require_finite(double v, const char* name);
// The matrix and weight of each used penalty term (weight not exactly 0.0).
void require_finite_penalty(const PenaltySpec& pen);

}  // namespace zelt
