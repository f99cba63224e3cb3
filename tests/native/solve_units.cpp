// Checks of the refit's small solves (small_solve.hpp) and order statistics
// (order_stats.hpp), which Python reaches only through whole starts:
// - the median and the k-th smallest equal those of a sorted copy, with ties,
//   signed zeros and every size, and the selection leaves the array
//   partitioned around its k-th value;
// - a solve that reports success does so only where the decomposition it
//   stands in for accepts the system (the rank tests of fast-S's subsets and
//   of the weighted solves), agrees with that decomposition's solution to the
//   rounding of a well-posed system, and leaves its output alone otherwise;
// - systems beyond the bound, singular, indefinite, not finite or too large
//   are refused.
// Prints one "name failures" line per check; tests/test_compiled_starts.py
// expects every count to be 0 and the accepted counts to be positive.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "order_stats.hpp"
#include "small_solve.hpp"

namespace {

using zelt::Matrix;
using zelt::Vector;

// A p x p matrix U diag(s) V' with orthogonal U, V and singular values from 1
// down to 1 / cond, geometrically spaced.
Matrix with_condition(std::mt19937_64& gen, Eigen::Index p, double cond) {
    std::normal_distribution<double> normal(0.0, 1.0);
    Matrix a(p, p), b(p, p);
    for (Eigen::Index i = 0; i < p; ++i) {
        for (Eigen::Index j = 0; j < p; ++j) {
            a(i, j) = normal(gen);
            b(i, j) = normal(gen);
        }
    }
    const Matrix U = Eigen::HouseholderQR<Matrix>(a).householderQ();
    const Matrix V = Eigen::HouseholderQR<Matrix>(b).householderQ();
    Vector s(p);
    for (Eigen::Index i = 0; i < p; ++i) s(i) = p == 1 ? 1.0 : std::pow(cond, -static_cast<double>(i) / (p - 1));
    return U * s.asDiagonal() * V.transpose();
}

double rel_error(const Vector& x, const Vector& ref) { return (x - ref).norm() / std::max(ref.norm(), 1e-300); }

}  // namespace

int main() {
    std::mt19937_64 gen(20261209);
    long median_bad = 0, select_bad = 0;
    // ---- order statistics
    std::uniform_int_distribution<int> small_int(-3, 3);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (std::size_t n = 0; n <= 700; n += (n < 80 ? 1 : 37)) {
        for (int kind = 0; kind < 3; ++kind) {
            std::vector<double> a(n);
            for (std::size_t i = 0; i < n; ++i) {
                // distinct values; many ties; signed zeros among ties
                a[i] = kind == 0 ? normal(gen) : kind == 1 ? small_int(gen) : (small_int(gen) == 0 ? -0.0 : 0.0);
            }
            std::vector<double> sorted = a;
            std::sort(sorted.begin(), sorted.end());
            std::vector<double> work = a;
            const double med = zelt::median_in_place(work.data(), n);
            if (n == 0) {
                median_bad += !std::isnan(med);
                continue;
            }
            const double want = n % 2 ? sorted[n / 2] : (sorted[n / 2] + sorted[n / 2 - 1]) * 0.5;
            median_bad += !(med == want);
            for (std::size_t k : {std::size_t{0}, n / 3, n / 2, n - 1}) {
                work = a;
                const double v = zelt::select_kth(work.data(), n, k);
                bool ok = v == sorted[k] && work[k] == v;
                for (std::size_t i = 0; i < n; ++i) ok = ok && (i < k ? work[i] <= v : i > k ? work[i] >= v : true);
                std::vector<double> back = work;
                std::sort(back.begin(), back.end());
                ok = ok && back == sorted;  // a permutation of the input
                select_bad += !ok;
            }
        }
    }
    std::vector<double> with_nan = {1.0, std::numeric_limits<double>::quiet_NaN(), 2.0};
    median_bad += !std::isnan(zelt::median_in_place(with_nan.data(), with_nan.size()));

    // ---- square solves against the SVD of fast-S's subsets
    long lu_bad = 0, lu_accepted = 0, chol_bad = 0, chol_accepted = 0, refused_bad = 0;
    std::uniform_real_distribution<double> log_cond(0.0, 13.0);
    for (int trial = 0; trial < 3000; ++trial) {
        const Eigen::Index p = 1 + trial % 8;
        // (a 1 x 1 system's condition number is 1)
        const double cond = p == 1 ? 1.0 : std::pow(10.0, log_cond(gen));
        const Matrix A = with_condition(gen, p, cond);
        Vector b(p);
        for (Eigen::Index i = 0; i < p; ++i) b(i) = normal(gen);
        const Eigen::JacobiSVD<Matrix> svd(A, Eigen::ComputeFullU | Eigen::ComputeFullV);
        const Vector& S = svd.singularValues();
        const bool svd_keeps = S[p - 1] > S[0] * 1e-10;
        Vector x = Vector::Constant(p, 7.0);
        if (zelt::small::lu_solve(A, b, zelt::small::kWellPosed, x)) {
            ++lu_accepted;
            const Vector ref = svd.solve(b);
            // accepted only where the subset test keeps the system, the bound
            // at least the true condition number, the solutions alike
            lu_bad += !svd_keeps || !(cond <= zelt::small::kWellPosed * 1.0000001) ||
                      !(rel_error(x, ref) <= 4e-14 * static_cast<double>(p) * cond);
        } else {
            // refused: well-conditioned systems are not (the Frobenius bound is
            // at most p times the condition number), and x is untouched
            lu_bad += cond * static_cast<double>(p) < 0.5 * zelt::small::kWellPosed;
            lu_bad += !(x.array() == 7.0).all();
        }
        // the Gram matrix A'A, against the eigen-decomposition of the weighted solves
        const Matrix G = A.transpose() * A;
        const Eigen::SelfAdjointEigenSolver<Matrix> eig(G);
        const Vector& lam = eig.eigenvalues();
        const bool eig_keeps = lam[0] > std::max(lam[p - 1], 0.0) * 1e-12;
        Vector y = Vector::Constant(p, 7.0);
        if (zelt::small::cholesky_solve(G, b, zelt::small::kGramPosed, y)) {
            ++chol_accepted;
            const Matrix& Q = eig.eigenvectors();
            const Vector ref = Q * ((Q.transpose() * b).array() / lam.array()).matrix();
            chol_bad += !eig_keeps || !(cond * cond <= zelt::small::kGramPosed * 1.0000001) ||
                        !(rel_error(y, ref) <= 4e-14 * static_cast<double>(p) * cond * cond);
        } else {
            // trace(G) trace(G^-1) is at most p^2 lambda_max / lambda_min
            chol_bad += cond * cond * static_cast<double>(p * p) < 0.5 * zelt::small::kGramPosed;
            chol_bad += !(y.array() == 7.0).all();
        }
    }

    // ---- what must be refused
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Vector x3 = Vector::Constant(3, 7.0), b3 = Vector::Ones(3);
    Matrix singular(3, 3);
    singular << 1, 2, 3, 2, 4, 6, 1, 0, 1;
    Matrix indefinite(3, 3);
    indefinite << 2, 0, 0, 0, -1, 0, 0, 0, 3;
    Matrix with_nan_m = Matrix::Identity(3, 3);
    with_nan_m(1, 2) = nan;
    Matrix with_inf = Matrix::Identity(3, 3);
    with_inf(0, 0) = std::numeric_limits<double>::infinity();
    const Matrix too_large = Matrix::Identity(9, 9);
    const Vector b9 = Vector::Ones(9);
    Vector x9 = Vector::Constant(9, 7.0);
    Vector b_nan = b3;
    b_nan(1) = nan;
    refused_bad += zelt::small::lu_solve(singular, b3, 1e300, x3);
    refused_bad += zelt::small::cholesky_solve(indefinite, b3, 1e300, x3);
    refused_bad += zelt::small::cholesky_solve(singular.transpose() * singular, b3, 1e300, x3);
    refused_bad += zelt::small::lu_solve(with_nan_m, b3, 1e300, x3);
    refused_bad += zelt::small::lu_solve(with_inf, b3, 1e300, x3);
    refused_bad += zelt::small::cholesky_solve(with_inf, b3, 1e300, x3);
    refused_bad += zelt::small::lu_solve(Matrix::Identity(3, 3), b_nan, 1e300, x3);
    refused_bad += zelt::small::cholesky_solve(Matrix::Identity(3, 3), b_nan, 1e300, x3);
    refused_bad += zelt::small::lu_solve(too_large, b9, 1e300, x9);
    refused_bad += zelt::small::cholesky_solve(too_large, b9, 1e300, x9);
    refused_bad += !(x3.array() == 7.0).all() || !(x9.array() == 7.0).all();
    // and the identity is solved exactly by both
    refused_bad += !zelt::small::lu_solve(Matrix::Identity(3, 3), b3, 3.0, x3) || x3 != b3;
    x3.setZero();
    refused_bad += !zelt::small::cholesky_solve(Matrix::Identity(3, 3), b3, 9.0, x3) || x3 != b3;

    std::printf("median_failures %ld\n", median_bad);
    std::printf("select_failures %ld\n", select_bad);
    std::printf("lu_failures %ld\n", lu_bad);
    std::printf("lu_accepted %ld\n", lu_accepted);
    std::printf("cholesky_failures %ld\n", chol_bad);
    std::printf("cholesky_accepted %ld\n", chol_accepted);
    std::printf("refusal_failures %ld\n", refused_bad);
    return 0;
}
