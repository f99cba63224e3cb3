// Polynomial bases and smoothness penalties, in one and in several variables.
//
// Coefficient order: in one variable entry p belongs to x^p; in several
// variables entry m belongs to multi-index m of the full tensor-product list,
// generated with the last variable varying fastest.
#pragma once

#include <cstddef>
#include <vector>

#include "types.hpp"

namespace zelt {

// ---- one variable ---------------------------------------------------------

// out[p] = d^order/dx^order x^p at x, p = 0 .. deg (order 1 or 2). Writes
// entries 0 .. deg only (nothing when deg < 0) and allocates nothing.
void deriv_row(double x, int deg, int order, Eigen::Ref<Vector> out);

// Phi(i, p) = x[i]^p, p = 0 .. deg, powers by repeated multiplication.
// Throws std::invalid_argument "deg < 0".
Matrix design_matrix_1d(int deg, const VectorCRef& x);

// b'R1b = dx * sum_g f'(x_g)^2 and b'R2b = dx * sum_g f''(x_g)^2 on the
// equally spaced grid x_g = x_min + g*dx, g = 0 .. n_grid-1 (rectangle sum).
struct PenaltyMatrices1D {
    Matrix R1;
    Matrix R2;
};

// Throws std::invalid_argument "deg < 0", then "n_grid < 2".
PenaltyMatrices1D smoothness_penalty_matrices_1d(int deg, double x_min, double x_max, int n_grid);

// Symmetric part of the boundary term [f' f''] between x_min and x_max:
// b'Rb b = f'(x_max) f''(x_max) - f'(x_min) f''(x_min).
// deg = -1 gives 0 x 0; deg <= -2 throws ImpossibleSize (checks.hpp).
Matrix boundary_reduce_1d(int deg, double x_min, double x_max);

// ---- several variables ----------------------------------------------------

// Appends to `out` every multi-index k with 0 <= k_d <= degrees[d] for the
// variables d >= dim, the last variable varying fastest. Callers start with
// dim = 0 and `current` holding degrees.size() zeros.
void generate_multi_indices(const std::vector<int>& degrees, std::size_t dim, MultiIndex& current,
                            MultiIndexList& out);

// The order-th derivative (order 0, 1 or 2) of val^p at val.
double col_deriv_scalar(double val, int p, int order);

// Phi(i, j) = prod over d < X_cols.size() with mi[d] > 0 of X_cols[d][i]^mi[d],
// mi = multi_indices[j]. Throws std::invalid_argument for an empty X_cols, a
// multi-index with fewer entries than X_cols has variables, or columns of
// different lengths.
Matrix design_matrix_nd(const MultiIndexList& multi_indices, const std::vector<Vector>& X_cols);

// Gradient and Hessian penalties over a tensor grid of n points per axis:
// b'R1b = dV sum_g |grad f(x_g)|^2, b'R2b = dV sum_g ||Hess f(x_g)||_F^2.
struct PenaltyMatricesND {
    Matrix R1;
    Matrix R2;
    MultiIndexList multi_indices;
};

// Throws std::invalid_argument "Dimension mismatch." when bounds and degrees
// differ in length, then "n_grid < 2"; a grid of more than 2^63 - 1 points
// is refused with std::invalid_argument too.
PenaltyMatricesND build_penalty_matrices_nd(const std::vector<int>& degrees, const Bounds& bounds,
                                            int n_grid_per_dim);

}  // namespace zelt
