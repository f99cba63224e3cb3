// Input checks of the core's entry points and their messages (see checks.hpp).
#include "checks.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace zelt {

namespace {
std::string str(Eigen::Index v) { return std::to_string(v); }

void require_square(const Matrix* R, double gamma, Eigen::Index p, const char* name) {
    if (gamma == 0.0 || R == nullptr) return;  // an unused term is never read
    if (R->rows() != p || R->cols() != p) {
        throw std::invalid_argument(std::string(name) + " must be " + str(p) + " x " + str(p) + ", got " +
                                    str(R->rows()) + " x " + str(R->cols()));
    }
}
}  // namespace

// ---- shapes -----------------------------------------------------------------

void require_prediction_covers_targets(const VectorCRef& yp, const VectorCRef& yt) {
    if (yp.size() < yt.size()) {
        throw std::invalid_argument("yp is shorter than yt (" + str(yp.size()) + " < " + str(yt.size()) + ")");
    }
}

void require_rows_match(const MatrixCRef& X, const VectorCRef& y, const char* name) {
    if (X.rows() != y.size()) {
        throw std::invalid_argument(std::string(name) + " has " + str(X.rows()) + " rows but y has " +
                                    str(y.size()) + " entries");
    }
}

void require_penalty_shape(const PenaltySpec& pen, Eigen::Index p) {
    require_square(pen.R1, pen.gamma1, p, "R1");
    require_square(pen.R2, pen.gamma2, p, "R2");
}

// ---- numbers ----------------------------------------------------------------

void require_finite(const MatrixCRef& a, const char* name) {
    // An empty matrix may still have 2^50 columns: nothing to look at.
    if (a.size() > 0 && !a.allFinite()) throw std::invalid_argument(std::string(name) + " contains NaN or infinity");
}

void require_finite(double v, const char* name) {
    if (!std::isfinite(v)) {
        throw std::invalid_argument(std::string(name) + " is " + std::to_string(v) + ", not a finite number");
    }
}

void require_finite_penalty(const PenaltySpec& pen) {
    // Only a used term is inspected: a weight of exactly 0.0 (or an absent
    // matrix) never reads its matrix, whatever it holds.
    if (pen.uses_R1()) {
        require_finite(pen.gamma1, "gamma1");
        require_finite(*pen.R1, "R1");
    }
    if (pen.uses_R2()) {
        require_finite(pen.gamma2, "gamma2");
        require_finite(*pen.R2, "R2");
    }
}

// ---- bases and penalties ----------------------------------------------------

void require_degree(int deg) {
    if (deg < 0) throw std::invalid_argument("deg < 0");
}

void require_grid(int n_grid) {
    // n = 1 divides every step by zero; n <= 0 leaves no grid at all.
    if (n_grid < 2) throw std::invalid_argument("n_grid < 2");
}

void require_same_dimension(std::size_t n_degrees, std::size_t n_bounds) {
    if (n_bounds != n_degrees) throw std::invalid_argument("Dimension mismatch.");
}

void require_boundary_degree(int deg) {
    // A negative size is an impossible allocation, as it is for the tables of
    // the several-variable penalties.
    if (deg < -1) {
        throw ImpossibleSize("boundary_reduce_1d: deg = " + std::to_string(deg) + " gives a matrix of negative size");
    }
}

Eigen::Index require_tensor_basis_size(const std::vector<int>& degrees) {
    for (int deg : degrees) {
        if (deg < -1) throw ImpossibleSize("degree " + std::to_string(deg) + " gives a table of negative size");
    }
    for (int deg : degrees) {
        if (deg == -1) return 0;
    }
    std::int64_t M = 1;
    for (int deg : degrees) {
        if (__builtin_mul_overflow(M, static_cast<std::int64_t>(deg) + 1, &M) || M > std::numeric_limits<int>::max()) {
            throw ImpossibleSize("the degrees give a basis of more than 2^31 - 1 functions");
        }
    }
    return static_cast<Eigen::Index>(M);
}

void require_countable_grid(int n, std::size_t D) {
    // The factorised sums never index the grid, but a grid that a 64-bit index
    // cannot count is refused rather than silently summed.
    std::int64_t G = 1;
    for (std::size_t d = 0; d < D; ++d) {
        if (__builtin_mul_overflow(G, static_cast<std::int64_t>(n), &G)) {
            throw std::invalid_argument("grid of n_grid_per_dim^" + std::to_string(D) +
                                        " points overflows a 64-bit index");
        }
    }
}

void require_design_nd_inputs(const MultiIndexList& multi_indices, const std::vector<Vector>& X_cols) {
    const std::size_t D = X_cols.size();
    if (D == 0) throw std::invalid_argument("X_cols is empty");
    const Eigen::Index n = X_cols[0].size();
    for (std::size_t d = 1; d < D; ++d) {
        if (X_cols[d].size() != n) {
            throw std::invalid_argument("X_cols[" + std::to_string(d) + "] has length " + str(X_cols[d].size()) +
                                        ", X_cols[0] has length " + str(n));
        }
    }
    for (std::size_t j = 0; j < multi_indices.size(); ++j) {
        const std::size_t len = multi_indices[j].size();
        if (len < D) {
            // The usual cause: an (n, d) array passed where a list of d columns belongs.
            throw std::invalid_argument("multi-index " + std::to_string(j) + " has " + std::to_string(len) +
                                        " entries for " + std::to_string(D) +
                                        " variables; X_cols holds one column per variable "
                                        "(for an array X of shape (n, d), pass X.T)");
        }
    }
}

// ---- results that finite inputs can still spoil ------------------------------

namespace {
constexpr const char* kScaleAdvice =
    "; scale the columns of Phi (and y) to moderate values, for example x to [-1, 1] before building "
    "the basis";
}  // namespace

void require_finite_normal_equations(const MatrixCRef& A, const VectorCRef& b) {
    if (A.size() > 0 && !A.allFinite()) {
        throw std::invalid_argument(std::string("fit_regularized_linear: Phi'Phi plus the ridge and penalty terms "
                                                "overflows a double") + kScaleAdvice);
    }
    if (b.size() > 0 && !b.allFinite()) {
        throw std::invalid_argument(std::string("fit_regularized_linear: Phi'y overflows a double") + kScaleAdvice);
    }
}

void require_finite_solution(const VectorCRef& beta) {
    if (beta.size() > 0 && !beta.allFinite()) {
        throw std::invalid_argument(std::string("fit_regularized_linear: solving the normal equations overflows "
                                                "a double") + kScaleAdvice);
    }
}

// ---- entry points with several checks ---------------------------------------

void require_energies(const VectorCRef& energies) {
    if (energies.size() == 0) throw std::invalid_argument("gibbs_entropy: energies is empty");
}

void require_ols_arguments(const MatrixCRef& X, const VectorCRef& y) {
    require_rows_match(X, y, "X");
    // The decomposition of a non-finite X is reported invalid and its solve
    // would be meaningless; a non-finite y would spread over every coefficient.
    require_finite(X, "X");
    require_finite(y, "y");
}

void require_fit_arguments(const MatrixCRef& Phi, const VectorCRef& y, const PenaltySpec& pen, double ridge) {
    require_rows_match(Phi, y, "Phi");
    require_penalty_shape(pen, Phi.cols());
    // A non-finite entry would reach the factorisation, whose pivot rule turns
    // NaN pivots into zero components: a plausible-looking wrong answer.
    require_finite(Phi, "Phi");
    require_finite(y, "y");
    require_finite_penalty(pen);
    require_finite(ridge, "ridge");
}

void require_search_arguments(int n_chains, const MatrixCRef& X, const VectorCRef& y, const PenaltySpec& pen,
                              double step_size) {
    // The ranking and the elite need a chain; a negative count would size nothing.
    if (n_chains < 1) {
        throw std::invalid_argument("TournamentMCMC.fit: n_chains must be at least 1 (got " +
                                    std::to_string(n_chains) + ")");
    }
    require_rows_match(X, y, "X");
    require_penalty_shape(pen, X.cols());
    // A NaN target or entry is a miss for every candidate, so the search
    // would rank noise and report it as a fit; a NaN step never moves.
    require_finite(X, "X");
    require_finite(y, "y");
    require_finite_penalty(pen);
    require_finite(step_size, "step_size");
}

}  // namespace zelt
