// Linear fitting: least squares by singular value decomposition and the
// penalised normal-equation fit.
#pragma once

#include "stats.hpp"

namespace zelt {

// Minimum-norm least-squares coefficients of y ~ X beta, through the
// divide-and-conquer SVD of X (thin U and V) and its solve at the library's
// default rank threshold. X is taken as a Matrix (not a Ref) because the
// decomposition is defined on that type and would otherwise copy it first.
Vector ols(const Matrix& X, const VectorCRef& y);

// beta solving (Phi'Phi + ridge I + n gamma1 R1 + n gamma2 R2) beta = Phi'y,
// n = len(y), through LDLT of the lower triangle. A penalty term counts only
// with a non-zero weight and a present matrix; a pivot of magnitude at or
// below the smallest normal double gives a zero component.
Vector fit_regularized_linear(const MatrixCRef& Phi, const VectorCRef& y, const Matrix* R1,
                              const Matrix* R2, double gamma1, double gamma2, double ridge);

// Argument checks of the Python entries (std::invalid_argument on failure).
void require_ols_arguments(const MatrixCRef& X, const VectorCRef& y);
// Shapes first, then every number that the fit reads must be finite.
void require_fit_arguments(const MatrixCRef& Phi, const VectorCRef& y, const PenaltySpec& pen,
                           double ridge);

}  // namespace zelt
