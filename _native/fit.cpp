// Linear fitting: least squares through the SVD of X, and the penalised
// normal equations through LDLT of their lower triangle.
#include "fit.hpp"

#include "checks.hpp"

namespace zelt {

Vector ols(const Matrix& X, const VectorCRef& y) {
    require_ols_arguments(X, y);
    // An empty X has rank 0, so the minimum-norm solution is zero; the
    // decomposition itself must not see it (its scaling step takes the
    // largest entry of X).
    if (X.size() == 0) return Vector::Zero(X.cols());
    if (X.rows() == 1 && X.cols() > 1) {
        // The decomposition of a single wide row takes the address of an
        // element of an empty superdiagonal (undefined behaviour inside the
        // library). A zero equation appended below changes neither the
        // least-squares problem nor its minimum-norm solution.
        Matrix padded = Matrix::Zero(2, X.cols());
        padded.row(0) = X.row(0);
        Vector y_padded = Vector::Zero(2);
        y_padded[0] = y[0];
        const Eigen::BDCSVD<Matrix> svd(padded, Eigen::ComputeThinU | Eigen::ComputeThinV);
        return svd.solve(y_padded);
    }
    const Eigen::BDCSVD<Matrix> svd(X, Eigen::ComputeThinU | Eigen::ComputeThinV);
    // beta = V_r diag(1/sigma_r) U_r' y; singular values below
    // max(sigma_max * max(1, min(n, p)) * eps, DBL_MIN) are dropped.
    return svd.solve(y);
}

Vector fit_regularized_linear(const MatrixCRef& Phi, const VectorCRef& y, const Matrix* R1,
                              const Matrix* R2, double gamma1, double gamma2, double ridge) {
    require_fit_arguments(Phi, y, PenaltySpec{R1, R2, gamma1, gamma2}, ridge);
    const double n = static_cast<double>(y.size());
    const Eigen::Index p = Phi.cols();

    // Only the lower triangle of A is built and read: LDLT works on it, so a
    // non-symmetric penalty acts through its lower triangle and diagonal.
    Matrix A = Matrix::Zero(p, p);
    // With no observations (or no columns) Phi'Phi is zero; the library's product kernel must
    // not be handed an empty operand (it forms references through its null data).
    if (Phi.size() > 0) A.selfadjointView<Eigen::Lower>().rankUpdate(Phi.transpose());  // Phi'Phi
    // Fixed order: ridge (unscaled, always), then n*gamma1*R1, then n*gamma2*R2.
    A.diagonal().array() += ridge;
    // A NaN weight compares unequal to 0.0 and so counts as used.
    if (gamma1 != 0.0 && R1 != nullptr) A.triangularView<Eigen::Lower>() += (n * gamma1) * (*R1);
    if (gamma2 != 0.0 && R2 != nullptr) A.triangularView<Eigen::Lower>() += (n * gamma2) * (*R2);

    Vector b = Vector::Zero(p);
    if (Phi.size() > 0) b.noalias() = Phi.transpose() * y;

    // The status is not consulted. The solve applies the pseudo-inverse of D:
    // a pivot with |d| <= DBL_MIN contributes a zero component, so a singular
    // system still yields a finite beta.
    // Finite inputs can still overflow here: refused, not solved into zeros.
    require_finite_normal_equations(A, b);
    const Eigen::LDLT<Matrix, Eigen::Lower> ldlt(A);
    Vector beta = ldlt.solve(b);
    require_finite_solution(beta);
    return beta;
}

}  // namespace zelt
