// Exact solves of the small dense systems of the refit and its starts, for
// the sizes where they are cheaper than the eigen-decompositions and SVDs they
// stand in for. Each solve also bounds the system's condition number and
// reports success only when that bound is far inside what the full
// decomposition's rank test accepts: the caller then gets the solution the
// decomposition would give (to rounding), and falls back to the
// decomposition itself wherever the bound is not met (near-singular systems,
// sizes above kMaxSize, NaN or infinity), so every accept/reject choice stays
// the decomposition's own. Nothing here allocates.
#pragma once

#include <cmath>
#include <utility>

#include "types.hpp"

namespace zelt {
namespace small {

// Largest system solved here (stack storage of kMaxSize^2 doubles).
constexpr Eigen::Index kMaxSize = 8;

// A matrix of at most kMaxSize x kMaxSize on the stack.
using SmallMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::ColMajor, kMaxSize, kMaxSize>;

// Bounds on the condition number below which a system counts as well posed
// here. The rank tests these replace reject at 1e10 (fast-S's subsets, on
// singular values) and 1e12 (weighted solves, on eigenvalues) or above: a
// computed decomposition, accurate to a few ulps of its largest value, always
// accepts a system these bounds certify. They are set far lower than that
// for accuracy's sake: the starts' candidates feed a polish that stops short
// of convergence, and where the problem is flat there a solve's rounding
// shows in the estimate magnified. Below them elimination and the
// decompositions differ by a few ulps of a well-conditioned problem.
// kWellPosed: a square system A x = b (a subset, or R of a QR); kGramPosed:
// a Gram matrix G = A'A (the square of A's condition number).
constexpr double kWellPosed = 1e4;
constexpr double kGramPosed = 1e6;

// x = A^-1 b for a square A by Gaussian elimination with partial pivoting.
// True when A is at most kMaxSize wide, every pivot is non-zero and
// ||A||_F ||A^-1||_F <= max_cond (an upper bound of sigma_max / sigma_min);
// x is written only then.
template <class DerivedA, class DerivedB>
bool lu_solve(const Eigen::MatrixBase<DerivedA>& A, const Eigen::MatrixBase<DerivedB>& b, double max_cond,
              Vector& x) {
    const Eigen::Index p = A.rows();
    if (p == 0 || p > kMaxSize || A.cols() != p || b.size() != p) return false;
    constexpr Eigen::Index K = kMaxSize;
    // columns 0 .. p-1: A, then [b | I] beside it, row-major in a (p x (2p + 1))
    double a[K][2 * K + 1];
    const Eigen::Index w = 2 * p + 1;
    double norm_a = 0.0;
    for (Eigen::Index i = 0; i < p; ++i) {
        for (Eigen::Index j = 0; j < p; ++j) {
            a[i][j] = A(i, j);
            norm_a += a[i][j] * a[i][j];
        }
        a[i][p] = b(i);
        for (Eigen::Index j = 0; j < p; ++j) a[i][p + 1 + j] = i == j ? 1.0 : 0.0;
    }
    if (!std::isfinite(norm_a)) return false;
    for (Eigen::Index k = 0; k < p; ++k) {
        Eigen::Index piv = k;
        for (Eigen::Index i = k + 1; i < p; ++i) {
            if (std::abs(a[i][k]) > std::abs(a[piv][k])) piv = i;
        }
        if (!(a[piv][k] != 0.0)) return false;
        if (piv != k) {
            for (Eigen::Index j = k; j < w; ++j) std::swap(a[k][j], a[piv][j]);
        }
        const double inv = 1.0 / a[k][k];
        for (Eigen::Index i = k + 1; i < p; ++i) {
            const double f = a[i][k] * inv;
            if (f == 0.0) continue;
            for (Eigen::Index j = k + 1; j < w; ++j) a[i][j] -= f * a[k][j];
        }
    }
    // back substitution for every right-hand column
    for (Eigen::Index j = p; j < w; ++j) {
        for (Eigen::Index i = p - 1; i >= 0; --i) {
            double s = a[i][j];
            for (Eigen::Index l = i + 1; l < p; ++l) s -= a[i][l] * a[l][j];
            a[i][j] = s / a[i][i];
        }
    }
    double norm_inv = 0.0;
    for (Eigen::Index i = 0; i < p; ++i) {
        for (Eigen::Index j = p + 1; j < w; ++j) norm_inv += a[i][j] * a[i][j];
    }
    // NaN fails the comparison
    if (!(std::sqrt(norm_a) * std::sqrt(norm_inv) <= max_cond)) return false;
    for (Eigen::Index i = 0; i < p; ++i) {
        if (!std::isfinite(a[i][p])) return false;
    }
    x.resize(p);
    for (Eigen::Index i = 0; i < p; ++i) x(i) = a[i][p];
    return true;
}

// x = G^-1 h for a symmetric G (its lower triangle read) by Cholesky's
// factorisation. True when G is at most kMaxSize wide, positive definite as
// computed and trace(G) trace(G^-1) <= max_cond (an upper bound of
// lambda_max / lambda_min); x is written only then.
template <class DerivedG, class DerivedH>
bool cholesky_solve(const Eigen::MatrixBase<DerivedG>& G, const Eigen::MatrixBase<DerivedH>& h, double max_cond,
                    Vector& x) {
    const Eigen::Index p = G.rows();
    if (p == 0 || p > kMaxSize || G.cols() != p || h.size() != p) return false;
    constexpr Eigen::Index K = kMaxSize;
    double L[K][K];
    double trace = 0.0;
    for (Eigen::Index j = 0; j < p; ++j) {
        double d = G(j, j);
        trace += d;
        for (Eigen::Index k = 0; k < j; ++k) d -= L[j][k] * L[j][k];
        if (!(d > 0.0) || !std::isfinite(d)) return false;
        L[j][j] = std::sqrt(d);
        for (Eigen::Index i = j + 1; i < p; ++i) {
            double s = G(i, j);
            for (Eigen::Index k = 0; k < j; ++k) s -= L[i][k] * L[j][k];
            L[i][j] = s / L[j][j];
        }
    }
    // trace(G^-1) = ||L^-1||_F^2, L^-1 column by column (lower triangular)
    double trace_inv = 0.0;
    for (Eigen::Index c = 0; c < p; ++c) {
        double col[K];
        for (Eigen::Index i = c; i < p; ++i) {
            double s = i == c ? 1.0 : 0.0;
            for (Eigen::Index k = c; k < i; ++k) s -= L[i][k] * col[k];
            col[i] = s / L[i][i];
            trace_inv += col[i] * col[i];
        }
    }
    if (!(trace * trace_inv <= max_cond)) return false;
    double y[K];
    for (Eigen::Index i = 0; i < p; ++i) {
        double s = h(i);
        for (Eigen::Index k = 0; k < i; ++k) s -= L[i][k] * y[k];
        y[i] = s / L[i][i];
    }
    for (Eigen::Index i = p - 1; i >= 0; --i) {
        double s = y[i];
        for (Eigen::Index k = i + 1; k < p; ++k) s -= L[k][i] * y[k];
        y[i] = s / L[i][i];
    }
    for (Eigen::Index i = 0; i < p; ++i) {
        if (!std::isfinite(y[i])) return false;
    }
    x.resize(p);
    for (Eigen::Index i = 0; i < p; ++i) x(i) = y[i];
    return true;
}

}  // namespace small
}  // namespace zelt
