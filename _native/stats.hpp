// Robust statistics and the MDL score.
#pragma once

#include <Eigen/Dense>
#include <vector>

namespace zelt {

using Vector = Eigen::VectorXd;
using Matrix = Eigen::MatrixXd;
using VectorCRef = Eigen::Ref<const Vector>;
using MatrixCRef = Eigen::Ref<const Matrix>;

// Median by nth-element selection; consumes (and reorders) its argument.
// 0.0 for an empty sequence.
double median_inplace(std::vector<double> v);

// Raw median absolute deviation (no consistency factor, no floor).
double mad(const VectorCRef& y);

// Share of positions i < len(yt) with |yp[i] - yt[i]| < eps, floored at 1/(2n).
// Innermost loop of the tournament search: one pass, no allocation.
double compute_SR(const VectorCRef& yp, const VectorCRef& yt, double eps);

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

// L = (k ln(2H) / n) * k - n ln(SR) [+ penalty on beta].
double mdl_score_cached(const VectorCRef& yp, const VectorCRef& yt, int k, int H, double eps,
                        const Vector* beta, const PenaltySpec* pen);

double mdl_score(const VectorCRef& yp, const VectorCRef& yt, int k, int H, const Vector* beta,
                 const PenaltySpec* pen);

// Argument checks of the Python entries (std::invalid_argument on failure).
void require_prediction_covers_targets(const VectorCRef& yp, const VectorCRef& yt);
void require_penalty_shape(const PenaltySpec& pen, Eigen::Index p);

}  // namespace zelt
