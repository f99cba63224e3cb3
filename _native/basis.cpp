#include "basis.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

namespace zelt {

// ---- one variable ---------------------------------------------------------

void deriv_row(double x, int deg, int order, Eigen::Ref<Vector> out) {
    for (int p = 0; p <= deg; ++p) out[p] = col_deriv_scalar(x, p, order);
}

Matrix design_matrix_1d(int deg, const VectorCRef& x) {
    if (deg < 0) throw std::invalid_argument("deg < 0");
    const Eigen::Index n = x.size();
    Matrix Phi(n, static_cast<Eigen::Index>(deg) + 1);
    if (n == 0) return Phi;
    Phi.col(0).setOnes();
    // x^p = x^(p-1) * x: one multiplication per entry, no power function.
    for (Eigen::Index p = 1; p <= deg; ++p) Phi.col(p) = Phi.col(p - 1).cwiseProduct(x);
    return Phi;
}

PenaltyMatrices1D smoothness_penalty_matrices_1d(int deg, double x_min, double x_max, int n_grid) {
    if (deg < 0) throw std::invalid_argument("deg < 0");
    if (n_grid < 2) throw std::invalid_argument("n_grid < 2");
    const Eigen::Index M = static_cast<Eigen::Index>(deg) + 1;
    const double dx = (x_max - x_min) / static_cast<double>(n_grid - 1);
    PenaltyMatrices1D r{Matrix::Zero(M, M), Matrix::Zero(M, M)};
    Vector d1(M), d2(M);
    for (int g = 0; g < n_grid; ++g) {
        const double x = x_min + static_cast<double>(g) * dx;
        deriv_row(x, deg, 1, d1);
        deriv_row(x, deg, 2, d2);
        // R += dx * (d d'): the product d[i]*d[j] is formed before the
        // weight, so (i, j) and (j, i) round identically and R stays exactly
        // symmetric.
        for (Eigen::Index j = 0; j < M; ++j) {
            for (Eigen::Index i = 0; i < M; ++i) {
                r.R1(i, j) += dx * (d1[i] * d1[j]);
                r.R2(i, j) += dx * (d2[i] * d2[j]);
            }
        }
    }
    return r;
}

Matrix boundary_reduce_1d(int deg, double x_min, double x_max) {
    // A negative size is an impossible allocation, as it is for the tables of
    // the several-variable penalties.
    if (deg < -1) throw std::bad_alloc();
    const Eigen::Index M = static_cast<Eigen::Index>(deg) + 1;
    Vector a1(M), a2(M), b1(M), b2(M);
    deriv_row(x_min, deg, 1, a1);
    deriv_row(x_min, deg, 2, a2);
    deriv_row(x_max, deg, 1, b1);
    deriv_row(x_max, deg, 2, b2);
    // C = b2 b1' - a2 a1'; Rb = (C + C') / 2.
    Matrix C(M, M);
    for (Eigen::Index j = 0; j < M; ++j) {
        for (Eigen::Index i = 0; i < M; ++i) C(i, j) = b2[i] * b1[j] - a2[i] * a1[j];
    }
    Matrix Rb(M, M);
    for (Eigen::Index j = 0; j < M; ++j) {
        for (Eigen::Index i = 0; i < M; ++i) Rb(i, j) = (C(i, j) + C(j, i)) * 0.5;
    }
    return Rb;
}

// ---- several variables ----------------------------------------------------

void generate_multi_indices(const std::vector<int>& degrees, std::size_t dim, MultiIndex& current,
                            MultiIndexList& out) {
    if (dim == degrees.size()) {
        out.push_back(current);
        return;
    }
    for (int i = 0; i <= degrees[dim]; ++i) {
        current[dim] = i;
        generate_multi_indices(degrees, dim + 1, current, out);
    }
}

double col_deriv_scalar(double val, int p, int order) {
    if (order <= 0) return std::pow(val, static_cast<double>(p));
    if (p < order) return 0.0;
    // Falling factorial p (p-1) ... (p-order+1). For order 2 the double
    // product of the exact integers p and p-1 rounds like the integer product
    // converted to double, and cannot overflow.
    double c = 1.0;
    for (int t = 0; t < order; ++t) c *= static_cast<double>(p - t);
    return c * std::pow(val, static_cast<double>(p - order));
}

Matrix design_matrix_nd(const MultiIndexList& multi_indices, const std::vector<Vector>& X_cols) {
    const std::size_t D = X_cols.size();
    if (D == 0) throw std::invalid_argument("X_cols is empty");
    const Eigen::Index n = X_cols[0].size();
    for (std::size_t d = 1; d < D; ++d) {
        if (X_cols[d].size() != n) {
            throw std::invalid_argument("X_cols[" + std::to_string(d) + "] has length " +
                                        std::to_string(X_cols[d].size()) + ", X_cols[0] has length " +
                                        std::to_string(n));
        }
    }
    const Eigen::Index M = static_cast<Eigen::Index>(multi_indices.size());
    for (Eigen::Index j = 0; j < M; ++j) {
        const std::size_t len = multi_indices[static_cast<std::size_t>(j)].size();
        if (len < D) {
            throw std::invalid_argument("multi-index " + std::to_string(j) + " has " +
                                        std::to_string(len) + " entries for " + std::to_string(D) +
                                        " variables");
        }
    }
    Matrix Phi(n, M);
    for (Eigen::Index j = 0; j < M; ++j) {
        const MultiIndex& mi = multi_indices[static_cast<std::size_t>(j)];
        auto col = Phi.col(j).array();
        col.setOnes();
        // Powers <= 0 contribute no factor (a negative power acts as 0).
        for (std::size_t d = 0; d < D; ++d) {
            if (mi[d] > 0) col *= X_cols[d].array().pow(static_cast<double>(mi[d]));
        }
    }
    return Phi;
}

namespace {

// Basis size prod (deg_d + 1), refused as an impossible allocation when it
// does not fit the 32-bit count of the basis (or when a degree is <= -2,
// which would size a table with a negative number of columns).
Eigen::Index tensor_basis_size(const std::vector<int>& degrees) {
    std::int64_t M = 1;
    for (int deg : degrees) {
        if (deg < -1) throw std::bad_alloc();
    }
    for (int deg : degrees) {
        if (deg == -1) return 0;
    }
    for (int deg : degrees) {
        if (__builtin_mul_overflow(M, static_cast<std::int64_t>(deg) + 1, &M) ||
            M > std::numeric_limits<int>::max()) {
            throw std::bad_alloc();
        }
    }
    return static_cast<Eigen::Index>(M);
}

// G = n^D; a grid that a 64-bit index cannot count is refused rather than
// wrapped around into a meaningless size.
std::int64_t grid_size(int n, std::size_t D) {
    std::int64_t G = 1;
    for (std::size_t d = 0; d < D; ++d) {
        if (__builtin_mul_overflow(G, static_cast<std::int64_t>(n), &G)) {
            throw std::invalid_argument("grid of n_grid_per_dim^" + std::to_string(D) +
                                        " points overflows a 64-bit index");
        }
    }
    return G;
}

}  // namespace

PenaltyMatricesND build_penalty_matrices_nd(const std::vector<int>& degrees, const Bounds& bounds,
                                            int n_grid_per_dim) {
    const std::size_t D = degrees.size();
    if (bounds.size() != D) throw std::invalid_argument("Dimension mismatch.");
    // n = 1 divides every step by zero; n <= 0 leaves no grid at all.
    if (n_grid_per_dim < 2) throw std::invalid_argument("n_grid < 2");
    const int n = n_grid_per_dim;

    PenaltyMatricesND r;
    const Eigen::Index M = tensor_basis_size(degrees);
    r.multi_indices.reserve(static_cast<std::size_t>(M));
    MultiIndex current(D, 0);
    generate_multi_indices(degrees, 0, current, r.multi_indices);

    const std::int64_t G = grid_size(n, D);

    // Cell volume dV = prod_d step_d and the axes.
    double dV = 1.0;
    std::vector<Vector> axes(D);
    for (std::size_t d = 0; d < D; ++d) {
        const auto [lo, hi] = bounds[d];
        const double step = (hi - lo) / static_cast<double>(n - 1);
        dV = step * dV;
        axes[d] = Vector::LinSpaced(n, lo, hi);
    }

    // deriv_tab[d][order](k, p) = d^order/dx^order x^p at axis point k: every
    // power-function call of the construction happens here.
    std::vector<std::array<Matrix, 3>> deriv_tab(D);
    for (std::size_t d = 0; d < D; ++d) {
        const Eigen::Index P = static_cast<Eigen::Index>(degrees[d]) + 1;
        for (int order = 0; order < 3; ++order) {
            Matrix& T = deriv_tab[d][static_cast<std::size_t>(order)];
            T = Matrix::Zero(n, P);
            for (Eigen::Index p = 0; p < P; ++p) {
                for (int k = 0; k < n; ++k) {
                    T(k, p) = col_deriv_scalar(axes[d][k], static_cast<int>(p), order);
                }
            }
        }
    }

    // Axis position of every grid point, decoded once; variable 0 varies
    // fastest.
    std::vector<int> grid_k(static_cast<std::size_t>(G) * D);
    for (std::int64_t g = 0; g < G; ++g) {
        std::int64_t temp = g;
        for (std::size_t d = 0; d < D; ++d) {
            grid_k[static_cast<std::size_t>(g) * D + d] = static_cast<int>(temp % n);
            temp /= n;
        }
    }

    r.R1 = Matrix::Zero(M, M);
    r.R2 = Matrix::Zero(M, M);
    Matrix W(G, M);  // Hmat or Gmat: one G x M work matrix at a time

    // W(g, m) = prod_d deriv_tab[d][ord[d]](k_d(g), mi_m[d]).
    std::vector<int> ord(D);
    auto fill = [&]() {
        for (Eigen::Index m = 0; m < M; ++m) {
            const MultiIndex& mi = r.multi_indices[static_cast<std::size_t>(m)];
            for (std::int64_t g = 0; g < G; ++g) {
                const int* k = &grid_k[static_cast<std::size_t>(g) * D];
                double term = 1.0;
                for (std::size_t d = 0; d < D; ++d) {
                    term *= deriv_tab[d][static_cast<std::size_t>(ord[d])](k[d], mi[d]);
                }
                W(g, m) = term;
            }
        }
    };

    // Hessian: every ordered pair (i, j), so mixed terms count twice.
    for (std::size_t i = 0; i < D; ++i) {
        for (std::size_t j = 0; j < D; ++j) {
            for (std::size_t d = 0; d < D; ++d) ord[d] = (d == i ? 1 : 0) + (d == j ? 1 : 0);
            fill();
            r.R2.selfadjointView<Eigen::Lower>().rankUpdate(W.transpose(), dV);
        }
    }
    // Gradient.
    for (std::size_t i = 0; i < D; ++i) {
        for (std::size_t d = 0; d < D; ++d) ord[d] = (d == i ? 1 : 0);
        fill();
        r.R1.selfadjointView<Eigen::Lower>().rankUpdate(W.transpose(), dV);
    }
    r.R2.triangularView<Eigen::StrictlyUpper>() = r.R2.transpose();
    r.R1.triangularView<Eigen::StrictlyUpper>() = r.R1.transpose();
    return r;
}

}  // namespace zelt
