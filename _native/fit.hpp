// Linear fitting: least squares by singular value decomposition and the
// penalised normal-equation fit.
#pragma once

#include "types.hpp"

namespace zelt {

// Minimum-norm least-squares coefficients of y ~ X beta, through the
// divide-and-conquer SVD of X (thin U and V) and its solve at the library's
// default rank threshold. X is taken as a Matrix (not a Ref) because the
// decomposition is defined on that type and would otherwise copy it first.
// Refuses a y whose length is not the rows of X, and NaN or infinity.
Vector ols(const Matrix& X, const VectorCRef& y);

// beta solving (Phi'Phi + ridge I + n gamma1 R1 + n gamma2 R2) beta = Phi'y,
// n = len(y), through LDLT of the lower triangle. A penalty term counts only
// with a non-zero weight and a present matrix; a pivot of magnitude at or
// below the smallest normal double gives a zero component. Refuses sizes that
// disagree and NaN or infinity in what the fit reads.
Vector fit_regularized_linear(const MatrixCRef& Phi, const VectorCRef& y, const Matrix* R1,
                              const Matrix* R2, double gamma1, double gamma2, double ridge);

}  // namespace zelt
