// Polynomial bases and smoothness penalties: monomial design matrices in one
// and several variables, grid-summed penalty matrices (in several variables
// through sums over each axis and Kronecker products), the boundary matrix.
// Long loops poll for an interruption between blocks of work.
#include "basis.hpp"

#include "checks.hpp"
#include "interrupt.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

namespace zelt {

namespace {
// Rows of a design matrix filled between two interruption polls.
constexpr Eigen::Index kRowBlock = Eigen::Index{1} << 14;

// End of the first row block of a column starting at `col`: at least
// kRowBlock rows on, at the first 64-byte aligned row (or n). Later blocks
// of kRowBlock rows then all start aligned.
Eigen::Index aligned_block_end(const double* col, Eigen::Index n) {
    const auto address = reinterpret_cast<std::uintptr_t>(col + kRowBlock);
    const Eigen::Index to_boundary = static_cast<Eigen::Index>(((64 - address % 64) % 64) / sizeof(double));
    return std::min(n, kRowBlock + to_boundary);
}
}  // namespace

// ---- one variable ---------------------------------------------------------

void deriv_row(double x, int deg, int order, Eigen::Ref<Vector> out) {
    // A 64-bit counter: with deg = INT_MAX an int counter could never exceed it.
    for (std::int64_t p = 0; p <= deg; ++p) out[p] = col_deriv_scalar(x, static_cast<int>(p), order);
}

Matrix design_matrix_1d(int deg, const VectorCRef& x) {
    require_degree(deg);
    const InterruptScope interruptible;
    const Eigen::Index n = x.size();
    Matrix Phi(n, static_cast<Eigen::Index>(deg) + 1);
    if (n == 0) return Phi;
    // Columns in row blocks, so that a stop is seen within one block of a
    // long column; every entry is still its own single multiplication.
    InterruptPacer pacer(static_cast<double>(kRowBlock));
    Phi.col(0).setOnes();
    // x^p = x^(p-1) * x: one multiplication per entry, no power function.
    for (Eigen::Index p = 1; p <= deg; ++p) {
        for (Eigen::Index start = 0; start < n; start += kRowBlock) {
            const Eigen::Index len = std::min(kRowBlock, n - start);
            pacer.step();
            Phi.col(p).segment(start, len) = Phi.col(p - 1).segment(start, len).cwiseProduct(x.segment(start, len));
        }
    }
    return Phi;
}

PenaltyMatrices1D smoothness_penalty_matrices_1d(int deg, double x_min, double x_max, int n_grid) {
    require_degree(deg);
    require_grid(n_grid);
    const InterruptScope interruptible;
    const Eigen::Index M = static_cast<Eigen::Index>(deg) + 1;
    const double dx = (x_max - x_min) / static_cast<double>(n_grid - 1);
    PenaltyMatrices1D r{Matrix::Zero(M, M), Matrix::Zero(M, M)};
    Vector d1(M), d2(M);
    // A poll per grid point, and per column too once one grid point alone is
    // millions of operations (a poll per column costs 3% at degree 8).
    const double m = static_cast<double>(M);
    InterruptPacer per_point(2.0 * m * m + 40.0 * m), per_column(2.0 * m);
    const bool poll_columns = M > 1024;
    for (int g = 0; g < n_grid; ++g) {
        per_point.step();
        const double x = x_min + static_cast<double>(g) * dx;
        deriv_row(x, deg, 1, d1);
        deriv_row(x, deg, 2, d2);
        // R += dx * (d d'): the product d[i]*d[j] is formed before the
        // weight, so (i, j) and (j, i) round identically and R stays exactly
        // symmetric.
        for (Eigen::Index j = 0; j < M; ++j) {
            if (poll_columns) per_column.step();
            for (Eigen::Index i = 0; i < M; ++i) {
                r.R1(i, j) += dx * (d1[i] * d1[j]);
                r.R2(i, j) += dx * (d2[i] * d2[j]);
            }
        }
    }
    return r;
}

Matrix boundary_reduce_1d(int deg, double x_min, double x_max) {
    require_boundary_degree(deg);
    const InterruptScope interruptible;
    const Eigen::Index M = static_cast<Eigen::Index>(deg) + 1;
    // The M x M result first: an impossible size fails here, before any work.
    Matrix Rb(M, M);
    InterruptPacer pacer(4.0 * static_cast<double>(M));
    Vector a1(M), a2(M), b1(M), b2(M);
    deriv_row(x_min, deg, 1, a1);
    deriv_row(x_min, deg, 2, a2);
    deriv_row(x_max, deg, 1, b1);
    deriv_row(x_max, deg, 2, b2);
    // Rb = (C + C') / 2 with C = b2 b1' - a2 a1'. Both entries of C are formed
    // on the fly (same operations, same rounding), so no second M x M matrix.
    for (Eigen::Index j = 0; j < M; ++j) {
        pacer.step();
        for (Eigen::Index i = 0; i < M; ++i) {
            const double c_ij = b2[i] * b1[j] - a2[i] * a1[j];
            const double c_ji = b2[j] * b1[i] - a2[j] * a1[i];
            Rb(i, j) = (c_ij + c_ji) * 0.5;
        }
    }
    return Rb;
}

// ---- several variables ----------------------------------------------------

void generate_multi_indices(const std::vector<int>& degrees, std::size_t dim, MultiIndex& current,
                            MultiIndexList& out) {
    // An odometer over the variables dim .. D-1, the last one turning fastest:
    // no recursion, so no stack depth that grows with the number of variables.
    const std::size_t D = degrees.size();
    for (std::size_t d = dim; d < D; ++d) {
        if (degrees[d] < 0) return;  // an empty range of powers: no index at all
        current[d] = 0;
    }
    for (;;) {
        // A poll every 2^16 indices: a list of many millions takes seconds.
        if ((out.size() & 0xFFFF) == 0xFFFF) check_interrupt();
        out.push_back(current);
        std::size_t d = D;
        while (d > dim && current[d - 1] == degrees[d - 1]) current[--d] = 0;
        if (d == dim) return;
        ++current[d - 1];  // below degrees[d - 1] <= INT_MAX: no overflow
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
    require_design_nd_inputs(multi_indices, X_cols);
    const std::size_t D = X_cols.size();
    const Eigen::Index n = X_cols[0].size();
    const Eigen::Index M = static_cast<Eigen::Index>(multi_indices.size());
    const InterruptScope interruptible;
    Matrix Phi(n, M);
    InterruptPacer pacer(static_cast<double>(kRowBlock) * static_cast<double>(D));
    for (Eigen::Index j = 0; j < M; ++j) {
        const MultiIndex& mi = multi_indices[static_cast<std::size_t>(j)];
        double* col = Phi.col(j).data();
        // Each column in row blocks, with a poll between blocks. Where the
        // library vectorises the power (builds for SSE4.1 and up), its packet
        // and scalar results differ in the last bit, and the alignment of a
        // block's start decides which rows take which; so every block after
        // the first starts on a 64-byte boundary, where a whole-column pass
        // would take packets too: the same bits in every build.
        const Eigen::Index first_end = aligned_block_end(col, n);
        for (Eigen::Index start = 0; start < n;) {
            const Eigen::Index end = start == 0 ? first_end : std::min(n, start + kRowBlock);
            pacer.step();
            auto block = Eigen::Map<Eigen::ArrayXd>(col + start, end - start);
            block.setOnes();
            // Powers <= 0 contribute no factor (a negative power acts as 0).
            for (std::size_t d = 0; d < D; ++d) {
                if (mi[d] > 0) block *= X_cols[d].array().segment(start, end - start).pow(static_cast<double>(mi[d]));
            }
            start = end;
        }
    }
    return Phi;
}

namespace {

// One-variable sums over the axis points for orders 0, 1, 2:
//   A[o](p, q) = sum_k T_o(k, p) T_o(k, q),  T_o(k, p) = col_deriv_scalar(axis[k], p, o).
// Each is computed once per pair p >= q and mirrored, so the tables are
// exactly symmetric.
std::array<Matrix, 3> axis_sums(double lo, double hi, int n, int deg) {
    // The axis stays a lazy LinSpaced expression: its points are read one at
    // a time (the same values as a stored LinSpaced Vector), so memory does
    // not grow with n.
    const auto axis = Vector::LinSpaced(n, lo, hi);
    const Eigen::Index P = static_cast<Eigen::Index>(deg) + 1;
    std::array<Matrix, 3> A;
    for (Matrix& a : A) a = Matrix::Zero(P, P);
    Matrix T(P, 3);  // row p, column o: the three derivative rows at one axis point
    InterruptPacer pacer(20.0 * static_cast<double>(P) + 1.5 * static_cast<double>(P * P));
    for (Eigen::Index k = 0; k < n; ++k) {
        pacer.step();
        const double x = axis.coeff(k);
        for (int o = 0; o < 3; ++o) {
            for (Eigen::Index p = 0; p < P; ++p) T(p, o) = col_deriv_scalar(x, static_cast<int>(p), o);
        }
        for (int o = 0; o < 3; ++o) {
            Matrix& a = A[static_cast<std::size_t>(o)];
            for (Eigen::Index q = 0; q < P; ++q) {
                for (Eigen::Index p = q; p < P; ++p) a(p, q) += T(p, o) * T(q, o);
            }
        }
    }
    for (Matrix& a : A) a.triangularView<Eigen::StrictlyUpper>() = a.transpose();
    return A;
}

// out += s * kron(A, B), out being (rows(A) rows(B)) x (cols(A) cols(B)).
// Entry (i rB + k, j cB + l) belongs to the multi-index pair whose earlier
// variables sit at (i, j) and whose new variable sits at (k, l): the last
// variable varies fastest, as in the basis order.
void add_kron(const Matrix& A, const Matrix& B, double s, Matrix& out) {
    const Eigen::Index rB = B.rows(), cB = B.cols();
    InterruptPacer pacer(static_cast<double>(out.rows()));
    for (Eigen::Index j = 0; j < A.cols(); ++j) {
        for (Eigen::Index l = 0; l < cB; ++l) {
            pacer.step();
            auto col = out.col(j * cB + l);
            for (Eigen::Index i = 0; i < A.rows(); ++i) {
                const double a = s * A(i, j);
                col.segment(i * rB, rB) += a * B.col(l);
            }
        }
    }
}

// A zero rows x rows matrix, filled a column at a time between polls.
Matrix square_zeros(Eigen::Index rows) {
    Matrix Z(rows, rows);
    InterruptPacer pacer(static_cast<double>(rows));
    for (Eigen::Index j = 0; j < rows; ++j) {
        pacer.step();
        Z.col(j).setZero();
    }
    return Z;
}

// R = dV * P with its strict upper triangle mirrored from the lower one (so
// exactly symmetric), a column at a time between polls.
void scale_and_mirror(double dV, const Matrix& P, Matrix& R) {
    InterruptPacer pacer(static_cast<double>(P.rows()));
    for (Eigen::Index j = 0; j < P.cols(); ++j) {
        pacer.step();
        R.col(j) = dV * P.col(j);
    }
    for (Eigen::Index j = 0; j < P.cols(); ++j) {
        pacer.step();
        for (Eigen::Index i = 0; i < j; ++i) R(i, j) = R(j, i);
    }
}

}  // namespace

// On a full tensor grid a tensor-product basis function and each of its
// derivatives is a product of one-variable factors, so every grid sum of a
// product of two of them factorises into a product of one-variable sums:
//   sum_g prod_d T_d(k_d(g), a_d) T_d(k_d(g), b_d) = prod_d A_d(a_d, b_d).
// Hence (with dV factored out)
//   R1 = sum_i  kron_d (A1 if d = i else A0),
//   R2 = sum_i  kron_d (A2 if d = i else A0)
//      + sum_{i != j} kron_d (A1 if d in {i, j} else A0).
// The three running sums over the variables taken so far,
//   P0 = kron(A0 ...), P1 = the R1 form, P2 = the R2 form,
// extend by one variable as
//   P2 <- P2 (x) A0 + 2 P1 (x) A1 + P0 (x) A2   (the pairs (i, d) and (d, i))
//   P1 <- P1 (x) A0 + P0 (x) A1
//   P0 <- P0 (x) A0,
// so the cost is a few M x M passes plus n (deg_d + 1) power calls per axis,
// whatever the number of grid points n^D.
PenaltyMatricesND build_penalty_matrices_nd(const std::vector<int>& degrees, const Bounds& bounds,
                                            int n_grid_per_dim) {
    const std::size_t D = degrees.size();
    require_same_dimension(D, bounds.size());
    require_grid(n_grid_per_dim);
    const int n = n_grid_per_dim;
    const InterruptScope interruptible;

    PenaltyMatricesND r;
    const Eigen::Index M = require_tensor_basis_size(degrees);
    // The two results first: an impossible size fails before any other work.
    // Every entry is written at the end, so they are not cleared here.
    r.R1.resize(M, M);
    r.R2.resize(M, M);
    // The grid before the list: a count of variables whose grid overflows is
    // refused before any index of that many entries is made.
    require_countable_grid(n, D);
    r.multi_indices.reserve(static_cast<std::size_t>(M));
    MultiIndex current(D, 0);
    generate_multi_indices(degrees, 0, current, r.multi_indices);
    if (M == 0) return r;

    // Cell volume dV = prod_d step_d, the weight of every grid point.
    double dV = 1.0;
    for (const auto& [lo, hi] : bounds) dV = ((hi - lo) / static_cast<double>(n - 1)) * dV;

    Matrix P0 = Matrix::Ones(1, 1), P1 = Matrix::Zero(1, 1), P2 = Matrix::Zero(1, 1);
    for (std::size_t d = 0; d < D; ++d) {
        const auto [lo, hi] = bounds[d];
        const std::array<Matrix, 3> A = axis_sums(lo, hi, n, degrees[d]);
        if (d == 0) {
            // Start from the first variable's tables rather than from
            // 1 (x) A with zero P1, P2: no 0 * inf where a table overflows.
            P0 = A[0];
            P1 = A[1];
            P2 = A[2];
            continue;
        }
        const Eigen::Index rows = P0.rows() * A[0].rows();
        Matrix Q1 = square_zeros(rows), Q2 = square_zeros(rows);
        add_kron(P2, A[0], 1.0, Q2);
        add_kron(P1, A[1], 2.0, Q2);
        add_kron(P0, A[2], 1.0, Q2);
        add_kron(P1, A[0], 1.0, Q1);
        add_kron(P0, A[1], 1.0, Q1);
        if (d + 1 < D) {  // P0 is not needed after the last variable
            Matrix Q0 = square_zeros(rows);
            add_kron(P0, A[0], 1.0, Q0);
            P0.swap(Q0);
        }
        P1.swap(Q1);
        P2.swap(Q2);
    }
    scale_and_mirror(dV, P1, r.R1);
    scale_and_mirror(dV, P2, r.R2);
    return r;
}

}  // namespace zelt
