// One pass over the rows of zelt_fit's scaled problem: every sum a refit
// round needs, from the raw variables and targets, in one sweep. Each row's
// basis is formed on the fly (no design matrix); the rows are cut into fixed
// blocks whose sums are kept apart and added in block order, so the result
// does not depend on how many threads ran the blocks.
#pragma once

#include "types.hpp"

#include <cstdint>
#include <cstring>

namespace zelt {

// A strided read-only view of a (rows x cols) array of T: element (i, j) at
// byte i * row_stride + j * col_stride of data. Float32 input is read as it
// is. Elements are copied out byte-wise (one unaligned load on x86): arrays
// rebuilt from a byte buffer (a Dask chunk received from another process) need
// not be aligned to their element size.
template <class T>
struct StridedView {
    const unsigned char* data = nullptr;
    std::int64_t rows = 0;
    std::int64_t cols = 1;
    std::int64_t row_stride = sizeof(T);  // in bytes
    std::int64_t col_stride = sizeof(T);
    T at(std::int64_t i, std::int64_t j) const {
        T value;
        std::memcpy(&value, data + i * row_stride + j * col_stride, sizeof value);
        return value;
    }
};

// x[:, j] = x_center[j] + x_scale[j] * u[:, j], y = y_center + y_scale * v.
struct RowScaling {
    VectorCRef x_center;
    VectorCRef x_scale;
    double y_center;
    double y_scale;
};

// What a pass evaluates at each row (zelt_fit's Evaluation): residual
// r = v - phi'coef, t = r / rel with rel = exp(clamp(Q'g / 2)) when g is
// given, the row kept when |t| <= cut, or |t| < bisquare in an M-step round.
struct RowEvaluation {
    VectorCRef coef;
    double cut;
    const Vector* g = nullptr;  // variance model, 1 + 2d coefficients
    bool has_bisquare = false;
    double bisquare = 0.0;
    double tuning = 4.6850649;
};

// What else the pass sums; every pointer may be null.
struct PassOptions {
    const RowEvaluation* previous = nullptr;       // count rows whose membership differs from this one's
    const std::uint8_t* previous_keep = nullptr;   // or the previous kept rows, one byte each
    std::uint8_t* keep_out = nullptr;              // this evaluation's kept rows, written
    const double* case_weights = nullptr;          // cw >= 0, one per row
    bool variance = false;                         // sums of the regression of log r^2 on Q
    bool has_clip = false;                         // sum over all rows of 2 rho(r / clip)
    double clip = 0.0;
    std::int64_t block_rows = 16384;               // fixed: the sums' order depends on it alone
    // which of an M-step round's sums to make (kMSums*; the others stay empty):
    // a round that only steps needs Newton's, the last one only the covariance's
    unsigned m_sums = ~0u;
    // one variable: each Gram made from the power moments sum w u^e (fewer
    // products); false makes the products of every pair of basis columns, as
    // with several variables (the native checks compare the two)
    bool power_moments = true;
};

// The sums of an M-step round, as PassOptions::m_sums selects them. Each is made
// by the same operations whichever others are asked for: the same bits.
constexpr unsigned kMSumsStep = 1u;        // Hpsi, gpsi: Newton's step
constexpr unsigned kMSumsReweight = 2u;    // G, h, vv: the reweighted step
constexpr unsigned kMSumsCovariance = 4u;  // Gu, psi2, dpsi, dpsi2: the covariance

// The sums of a pass (zelt_fit's Stats). Matrices are symmetric and full;
// the M-step's (Gu, Hpsi, gpsi) are sized only in a bisquare round, the
// variance model's (QQ, Qz) only when asked; in a bisquare round each group
// of PassOptions::m_sums is sized only when asked.
struct PassSums {
    Matrix G;
    Vector h;
    double vv = 0.0;
    std::int64_t count = 0;
    double tt = 0.0;
    std::int64_t changed = 0;
    double psi2 = 0.0;
    double dpsi = 0.0;
    double dpsi2 = 0.0;
    Matrix QQ;
    Vector Qz;
    double z1 = 0.0;
    double z2 = 0.0;
    Matrix Gu;
    Matrix Hpsi;
    Vector gpsi;
    double clipped = 0.0;
    double prev_rr = 0.0;
    double wcount = 0.0;  // sum of the case weights over the kept rows
};

// The monomials: terms (p x d) of non-negative powers.
using TermMatrix = Eigen::Matrix<int, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// The pass. X (n x d) and y (n) of float or double. Throws
// std::invalid_argument on inconsistent shapes and Interrupted on Ctrl-C.
template <class TX, class TY>
PassSums row_pass(const StridedView<TX>& X, const StridedView<TY>& y, const TermMatrix& terms,
                  const RowScaling& scaling, const RowEvaluation& ev, const PassOptions& options);

// Every row's membership (keep, one byte) and robustness weight: the
// bisquare's (1 - (t / bisquare)^2)^2 in an M-step round, else 1, and 0 off the set
// (weight may be null: the membership alone).
template <class TX, class TY>
void row_inliers(const StridedView<TX>& X, const StridedView<TY>& y, const TermMatrix& terms,
                 const RowScaling& scaling, const RowEvaluation& ev, std::uint8_t* keep, double* weight,
                 std::int64_t block_rows);

}  // namespace zelt
