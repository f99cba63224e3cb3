// The value types that every part of the core shares: dense vectors and
// matrices of doubles with their read-only references, the optional penalty
// of the scores and fits, and the multi-index lists of the bases.
#pragma once

#include <Eigen/Dense>
#include <utility>
#include <vector>

namespace zelt {

using Vector = Eigen::VectorXd;
using Matrix = Eigen::MatrixXd;
// Inputs are taken by these, so a caller's block or map is read in place.
using VectorCRef = Eigen::Ref<const Vector>;
using MatrixCRef = Eigen::Ref<const Matrix>;

// Optional quadratic smoothness penalty gamma1*b'R1b + gamma2*b'R2b.
// Owns nothing; a term counts only with a non-zero weight and a matrix.
struct PenaltySpec {
    const Matrix* R1 = nullptr;
    const Matrix* R2 = nullptr;
    double gamma1 = 0.0;
    double gamma2 = 0.0;

    bool uses_R1() const { return gamma1 != 0.0 && R1 != nullptr; }
    bool uses_R2() const { return gamma2 != 0.0 && R2 != nullptr; }
    bool active() const { return uses_R1() || uses_R2(); }
};

// One power per variable; a list of them is a tensor-product basis.
using MultiIndex = std::vector<int>;
using MultiIndexList = std::vector<MultiIndex>;
// (low, high) per variable.
using Bounds = std::vector<std::pair<double, double>>;

}  // namespace zelt
