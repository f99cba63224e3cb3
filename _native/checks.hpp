// Every check of a caller's input and every message it gives, one function per
// fault and one wording per message. Each entry point of the core calls its
// checks before any work, so the same fault reads the same from every call.
// All throw std::invalid_argument (ValueError in Python) except
// ImpossibleSize, an allocation refused before it is tried (MemoryError).
#pragma once

#include <cstddef>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "types.hpp"

namespace zelt {

// An allocation that cannot be made, with a message that says which size was
// impossible. A std::bad_alloc, so callers treat it as any failed allocation.
class ImpossibleSize : public std::bad_alloc {
public:
    explicit ImpossibleSize(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// ---- shapes -----------------------------------------------------------------

// "yp is shorter than yt (2 < 3)": predictions are read at every target.
void require_prediction_covers_targets(const VectorCRef& yp, const VectorCRef& yt);
// "X has 4 rows but y has 3 entries" (name: "X" or "Phi").
void require_rows_match(const MatrixCRef& X, const VectorCRef& y, const char* name);
// "R1 must be 3 x 3, got 2 x 3", for each used term only: a weight of exactly
// 0.0 or an absent matrix is never read, whatever its shape.
void require_penalty_shape(const PenaltySpec& pen, Eigen::Index p);

// ---- numbers ----------------------------------------------------------------

// "<name> contains NaN or infinity".
void require_finite(const MatrixCRef& a, const char* name);
// "<name> is nan, not a finite number".
void require_finite(double v, const char* name);
// The matrix and weight of each used penalty term.
void require_finite_penalty(const PenaltySpec& pen);

// ---- bases and penalties ----------------------------------------------------

void require_degree(int deg);   // "deg < 0"
void require_grid(int n_grid);  // "n_grid < 2"
// "Dimension mismatch.": one interval per variable.
void require_same_dimension(std::size_t n_degrees, std::size_t n_bounds);
// A boundary matrix of degree <= -2 would have a negative size (ImpossibleSize).
void require_boundary_degree(int deg);
// Size prod (deg_d + 1) of a tensor-product basis: 0 with a degree of -1,
// ImpossibleSize for a degree <= -2 or more than 2^31 - 1 functions.
Eigen::Index require_tensor_basis_size(const std::vector<int>& degrees);
// A grid of n^D points must be countable by a 64-bit index.
void require_countable_grid(int n, std::size_t D);
// X_cols not empty, its columns of one length, every multi-index with an
// entry per variable.
void require_design_nd_inputs(const MultiIndexList& multi_indices, const std::vector<Vector>& X_cols);

// ---- results that finite inputs can still spoil ------------------------------

// The penalised normal equations A beta = b formed from finite inputs, and
// their solution: a double overflowed (Phi'Phi of columns beyond about 1e154,
// a degree-9 basis of nanosecond timestamps) when any is not finite, and the
// fit would return zeros or NaN. The message says which and that the columns
// need scaling.
void require_finite_normal_equations(const MatrixCRef& A, const VectorCRef& b);
void require_finite_solution(const VectorCRef& beta);

// ---- entry points with several checks, in the order they are made -----------

// gibbs_entropy: "gibbs_entropy: energies is empty" (no minimum, no mean).
void require_energies(const VectorCRef& energies);
// ols: rows of X, then X and y finite.
void require_ols_arguments(const MatrixCRef& X, const VectorCRef& y);
// fit_regularized_linear: rows of Phi, penalty shapes, then every number
// that the fit reads finite.
void require_fit_arguments(const MatrixCRef& Phi, const VectorCRef& y, const PenaltySpec& pen,
                           double ridge);
// TournamentMCMC::fit: at least one chain, rows of X, penalty shapes, then
// X, y, the used penalty and the step size finite.
void require_search_arguments(int n_chains, const MatrixCRef& X, const VectorCRef& y,
                              const PenaltySpec& pen, double step_size);

}  // namespace zelt
