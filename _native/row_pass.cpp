// The fused pass of zelt_fit's refit (see row_pass.hpp): rows evaluated a tile
// at a time, per-block sums in a flat slot of their own, the blocks on the OpenMP team,
// and the blocks' sums added in block order.
#include "row_pass.hpp"
#include "tile_log.hpp"

#include "interrupt.hpp"
#include "team.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

namespace zelt {

namespace {

// The modelled noise scale is held within a factor exp(kLogRel) = 30 of its
// geometric mean (a quadratic in log r^2 extrapolated past the data could overflow).
const double kLogRel = std::log(30.0);
// Tuning of the bisquare criterion of the clip sum: 95 % Gaussian efficiency.
constexpr double kRhoC = 4.6850649;

// Where each sum lives in a block's slot: sizes are 0 for sums not asked for.
struct SlotLayout {
    std::int64_t p = 0, q = 0;
    std::int64_t G = 0, h = 0, Gu = 0, Hpsi = 0, gpsi = 0, QQ = 0, Qz = 0, scalars = 0, size = 0;
    enum Scalar { kVv, kTt, kPsi2, kDpsi, kDpsi2, kZ1, kZ2, kClipped, kPrevRr, kWcount, kCount, kChanged, kScalars };

    // gram, qgram: the entries a block keeps of a Gram of the basis, of the
    // variance basis (p * p and q * q, or their power moments in one variable)
    SlotLayout(std::int64_t p_, std::int64_t q_, bool bisquare, std::int64_t gram, std::int64_t qgram)
        : p(p_), q(q_) {
        std::int64_t at = 0;
        G = at, at += gram;
        h = at, at += p;
        Gu = at, at += bisquare ? gram : 0;
        Hpsi = at, at += bisquare ? gram : 0;
        gpsi = at, at += bisquare ? p : 0;
        QQ = at, at += qgram;
        Qz = at, at += q;
        scalars = at, at += kScalars;
        size = at;
    }
};

// The problem's fixed parts, read by every row.
// width: the power columns u^0 .. u^(width - 1) made per variable;
// moments: one variable, the Grams from its power moments (see add_power_moments).
struct PassShape {
    const TermMatrix& terms;
    const RowScaling& scaling;
    std::int64_t d, p, top, width;
    bool moments;
};

void require(bool ok, const std::string& message) {
    if (!ok) throw std::invalid_argument(message);
}

template <class TX, class TY>
void require_pass_inputs(const StridedView<TX>& X, const StridedView<TY>& y, const TermMatrix& terms,
                         const RowScaling& scaling, const RowEvaluation& ev, const RowEvaluation* previous) {
    const std::int64_t d = X.cols;
    require(y.rows == X.rows, "row_pass: X has " + std::to_string(X.rows) + " rows, y " + std::to_string(y.rows));
    require(terms.cols() == d, "row_pass: terms have " + std::to_string(terms.cols()) + " columns, X " +
                                   std::to_string(d));
    require(terms.rows() >= 1, "row_pass: no terms");
    require(terms.size() == 0 || terms.minCoeff() >= 0, "row_pass: negative power in terms");
    require(scaling.x_center.size() == d && scaling.x_scale.size() == d, "row_pass: scaling of another width");
    for (const RowEvaluation* e : {&ev, previous}) {
        if (e == nullptr) continue;
        require(e->coef.size() == terms.rows(), "row_pass: coef of " + std::to_string(e->coef.size()) +
                                                    " entries for " + std::to_string(terms.rows()) + " terms");
        require(e->g == nullptr || e->g->size() == 1 + 2 * d, "row_pass: variance model of the wrong size");
    }
}

template <class TX>
std::int64_t block_count(const StridedView<TX>& X, std::int64_t block_rows) {
    return X.rows == 0 ? 0 : (X.rows + block_rows - 1) / block_rows;
}


// ---- the pass, a tile of rows at a time ------------------------------------
// Rows are taken kTile at a time into column arrays (a variable, a basis
// function, a weight per array), so that each sum over the tile is a dot
// product of two arrays, which the compiler vectorises: kLanes independent
// partial sums, combined in a fixed order. A tile past the end of the rows is
// padded with zero weights.
// The tile helpers are inlined into both widths of the block loop below.
#define ZELT_TILE_INLINE __attribute__((always_inline)) inline
constexpr std::int64_t kTile = 64;
constexpr std::int64_t kLanes = 8;

ZELT_TILE_INLINE double lane_dot(const double* a, const double* b) {
    double s[kLanes] = {};
    for (std::int64_t k = 0; k < kTile; k += kLanes) {
        for (std::int64_t l = 0; l < kLanes; ++l) s[l] += a[k + l] * b[k + l];
    }
    return ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
}

ZELT_TILE_INLINE double lane_sum(const double* a) {
    double s[kLanes] = {};
    for (std::int64_t k = 0; k < kTile; k += kLanes) {
        for (std::int64_t l = 0; l < kLanes; ++l) s[l] += a[k + l];
    }
    return ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
}

// S (m x m, upper triangle, row-major) += sum over the tile of W_a B_b, with
// W_a = weight * B_a formed once per column.
ZELT_TILE_INLINE void add_gram(double* S, const double* B, double* W, const double* weight, std::int64_t m) {
    for (std::int64_t a = 0; a < m; ++a) {
        for (std::int64_t k = 0; k < kTile; ++k) W[a * kTile + k] = weight[k] * B[a * kTile + k];
    }
    for (std::int64_t a = 0; a < m; ++a) {
        for (std::int64_t b = a; b < m; ++b) S[a * m + b] += lane_dot(W + a * kTile, B + b * kTile);
    }
}

ZELT_TILE_INLINE void add_moments(double* s, const double* B, const double* weight, std::int64_t m) {
    for (std::int64_t a = 0; a < m; ++a) s[a] += lane_dot(B + a * kTile, weight);
}

// In one variable with monomial terms, entry (a, b) of a Gram is
// sum w u^(e_a + e_b): the power moments M_e = sum w u^e, e = 0 .. count - 1,
// one dot product each with the tile's power columns, stand for the whole
// matrix, which is filled from the blocks' total (from_moments, at the end of the pass).
ZELT_TILE_INLINE void add_power_moments(double* s, const double* P, const double* weight, std::int64_t count) {
    add_moments(s, P, weight, count);
}

// z = log max(r^2, 1e-300) on the kept rows, 0 (the log of 1) on the others:
// the argument chosen by selects into arg, then the log of every row, each a
// loop without branches that the compiler vectorises.
ZELT_TILE_INLINE void log_residuals(double* z, double* arg, const double* r, const double* keep) {
    for (std::int64_t k = 0; k < kTile; ++k) {
        const double r2 = r[k] * r[k];
        const double clamped = r2 < 1e-300 ? 1e-300 : r2;
        arg[k] = keep[k] != 0.0 ? clamped : 1.0;
    }
    for (std::int64_t k = 0; k < kTile; ++k) z[k] = tile_log(arg[k]);
}

// The column arrays of one tile, in one thread's scratch.
struct Tile {
    double* U;      // d columns: scaled variables
    double* P;      // d * (top + 1) columns: their powers
    double* Phi;    // p columns: the basis
    double* W;      // max(p, q) columns: a weighted copy (add_gram)
    double* Q;      // q columns: the variance basis
    double* v;      // the scaled target
    double* cw;     // case weight, 0 on padding
    double* r;      // residual
    double* t;      // standardised residual
    double* rel;    // the modelled noise scale (1 without a model)
    double* inv;    // 1 / rel^2
    double* keep;   // 1 on kept rows
    double* pkeep;  // 1 on the previous evaluation's kept rows
    double* a1;     // per-row terms of the sums (reused)
    double* a2;
    double* a3;

    static std::int64_t columns(std::int64_t d, std::int64_t width, std::int64_t p, std::int64_t q) {
        return d + d * width + p + std::max(p, q) + q + 12;
    }
    Tile(double* base, std::int64_t d, std::int64_t width, std::int64_t p, std::int64_t q) {
        double* at = base;
        const auto take = [&](std::int64_t cols) {
            double* out = at;
            at += cols * kTile;
            return out;
        };
        U = take(d), P = take(d * width), Phi = take(p), W = take(std::max(p, q)), Q = take(q);
        v = take(1), cw = take(1), r = take(1), t = take(1), rel = take(1), inv = take(1), keep = take(1), pkeep = take(1);
        a1 = take(1), a2 = take(1), a3 = take(1);
    }
};

// Loads rows lo .. lo + m - 1 (m <= kTile) into the tile: variables, basis,
// target; padding rows are zeros.
template <class TX, class TY>
ZELT_TILE_INLINE void load_tile(const Tile& T, const PassShape& shape, const StridedView<TX>& X, const StridedView<TY>& y,
               const double* case_weights, std::int64_t lo, std::int64_t m) {
    const std::int64_t d = shape.d, width = shape.width;
    for (std::int64_t j = 0; j < d; ++j) {
        double* u = T.U + j * kTile;
        const double c = shape.scaling.x_center[j], h = shape.scaling.x_scale[j];
        for (std::int64_t k = 0; k < m; ++k) u[k] = (static_cast<double>(X.at(lo + k, j)) - c) / h;
        for (std::int64_t k = m; k < kTile; ++k) u[k] = 0.0;
        double* pw = T.P + j * width * kTile;
        for (std::int64_t k = 0; k < kTile; ++k) pw[k] = 1.0;
        for (std::int64_t e = 1; e < width; ++e) {
            for (std::int64_t k = 0; k < kTile; ++k) pw[e * kTile + k] = pw[(e - 1) * kTile + k] * u[k];
        }
    }
    for (std::int64_t a = 0; a < shape.p; ++a) {
        double* phi = T.Phi + a * kTile;
        for (std::int64_t k = 0; k < kTile; ++k) phi[k] = 1.0;
        for (std::int64_t j = 0; j < d; ++j) {
            const int e = shape.terms(a, j);
            if (e == 0) continue;
            const double* pw = T.P + (j * width + e) * kTile;
            for (std::int64_t k = 0; k < kTile; ++k) phi[k] *= pw[k];
        }
    }
    const double yc = shape.scaling.y_center, ys = shape.scaling.y_scale;
    for (std::int64_t k = 0; k < m; ++k) {
        T.v[k] = (static_cast<double>(y.at(lo + k, 0)) - yc) / ys;
        T.cw[k] = case_weights != nullptr ? case_weights[lo + k] : 1.0;
    }
    for (std::int64_t k = m; k < kTile; ++k) T.v[k] = T.cw[k] = 0.0;
}

// Residuals of `ev` into r, standardised into t, the noise scale into rel and
// 1/rel^2 into inv (when given), and the kept rows (1.0 / 0.0; never a padding
// row) into keep.
ZELT_TILE_INLINE void evaluate_tile(const Tile& T, const RowEvaluation& ev, std::int64_t d, std::int64_t p, std::int64_t m,
                   double* r, double* t, double* rel, double* inv, double* keep) {
    for (std::int64_t k = 0; k < kTile; ++k) r[k] = 0.0;
    for (std::int64_t a = 0; a < p; ++a) {
        const double c = ev.coef[a];
        const double* phi = T.Phi + a * kTile;
        for (std::int64_t k = 0; k < kTile; ++k) r[k] += c * phi[k];
    }
    for (std::int64_t k = 0; k < kTile; ++k) r[k] = T.v[k] - r[k];
    if (ev.g != nullptr) {
        const Vector& g = *ev.g;
        for (std::int64_t k = 0; k < kTile; ++k) t[k] = g[0];
        for (std::int64_t j = 0; j < d; ++j) {
            const double* u = T.U + j * kTile;
            for (std::int64_t k = 0; k < kTile; ++k) t[k] += g[1 + 2 * j] * u[k] + g[2 + 2 * j] * (u[k] * u[k]);
        }
        for (std::int64_t k = 0; k < kTile; ++k) {
            const double s = std::exp(std::min(std::max(0.5 * t[k], -kLogRel), kLogRel));
            t[k] = r[k] / s;
            if (inv != nullptr) {
                rel[k] = s;
                inv[k] = 1.0 / (s * s);
            }
        }
    } else {
        for (std::int64_t k = 0; k < kTile; ++k) t[k] = r[k];
        if (inv != nullptr) {
            for (std::int64_t k = 0; k < kTile; ++k) rel[k] = inv[k] = 1.0;
        }
    }
    // as arithmetic (compare, select), not branches: membership is data-dependent
    if (ev.has_bisquare) {
        for (std::int64_t k = 0; k < kTile; ++k) keep[k] = std::abs(t[k]) < ev.bisquare ? 1.0 : 0.0;
    } else {
        for (std::int64_t k = 0; k < kTile; ++k) keep[k] = std::abs(t[k]) <= ev.cut ? 1.0 : 0.0;
    }
    for (std::int64_t k = m; k < kTile; ++k) keep[k] = 0.0;
}

// One block's rows [lo, hi), tile by tile, into the block's slot.
struct BlockJob {
    const PassShape& shape;
    const RowEvaluation& ev;
    const PassOptions& opt;
    const SlotLayout& L;
    std::int64_t d, p, q;
    bool has_previous;
};

template <class TX, class TY>
ZELT_TILE_INLINE void pass_rows(const BlockJob& job, const StridedView<TX>& X, const StridedView<TY>& y,
                                const Tile& T, double* slot, InterruptPacer& pacer, std::int64_t lo,
                                std::int64_t hi) {
    const PassShape& shape = job.shape;
    const RowEvaluation& ev = job.ev;
    const PassOptions& opt = job.opt;
    const SlotLayout& L = job.L;
    const std::int64_t d = job.d, p = job.p, q = job.q;
    const bool has_previous = job.has_previous;
    double* sc = slot + L.scalars;
    const std::int64_t moments = 2 * shape.top + 1;
    const auto gram = [&](double* S, const double* weight) {
        if (shape.moments) {
            add_power_moments(S, T.P, weight, moments);
        } else {
            add_gram(S, T.Phi, T.W, weight, p);
        }
    };
    for (std::int64_t t0 = lo; t0 < hi; t0 += kTile) {
        pacer.step();
        const std::int64_t m = std::min(kTile, hi - t0);
        load_tile(T, shape, X, y, opt.case_weights, t0, m);
        evaluate_tile(T, ev, d, p, m, T.r, T.t, T.rel, T.inv, T.keep);
        if (opt.keep_out != nullptr) {
            for (std::int64_t k = 0; k < m; ++k) opt.keep_out[t0 + k] = static_cast<std::uint8_t>(T.keep[k]);
        }
        if (has_previous) {
            if (opt.previous_keep != nullptr) {
                for (std::int64_t k = 0; k < m; ++k) T.pkeep[k] = opt.previous_keep[t0 + k] != 0 ? 1.0 : 0.0;
                for (std::int64_t k = m; k < kTile; ++k) T.pkeep[k] = 0.0;
            } else {
                // the previous evaluation's residuals, in scratch columns a1 and a2
                evaluate_tile(T, *opt.previous, d, p, m, T.a1, T.a2, nullptr, nullptr, T.pkeep);
            }
            // keep and pkeep are 0 or 1, residuals finite: products stand for selections
            for (std::int64_t k = 0; k < kTile; ++k) T.a1[k] = (T.pkeep[k] - T.keep[k]) * (T.pkeep[k] - T.keep[k]);
            sc[SlotLayout::kChanged] += lane_sum(T.a1);
            for (std::int64_t k = 0; k < kTile; ++k) T.a1[k] = T.pkeep[k] * T.cw[k] * (T.r[k] * T.r[k]);
            sc[SlotLayout::kPrevRr] += lane_sum(T.a1);
        }
        if (opt.has_clip) {
            // 2 rho(r / clip) / (c^2 / 3): rho as statsmodels scales the bisquare
            const double scale = opt.clip * kRhoC;
            for (std::int64_t k = 0; k < kTile; ++k) {
                const double a = std::min(std::abs(T.r[k]) / scale, 1.0);
                const double w = 1.0 - a * a;
                T.a1[k] = T.cw[k] * (1.0 - w * w * w);  // cw is 0 on padding
            }
            sc[SlotLayout::kClipped] += lane_sum(T.a1);
        }
        // a1: cw on kept rows; a2: the weight of G, h, vv
        for (std::int64_t k = 0; k < kTile; ++k) T.a1[k] = T.keep[k] * T.cw[k];
        sc[SlotLayout::kCount] += lane_sum(T.keep);
        sc[SlotLayout::kWcount] += lane_sum(T.a1);
        for (std::int64_t k = 0; k < kTile; ++k) T.a3[k] = T.keep[k] * (T.t[k] * T.t[k]);
        sc[SlotLayout::kTt] += lane_dot(T.a1, T.a3);
        // w: the weight of G, h and vv on each row
        double w[kTile];
        bool sum_g = true;
        if (ev.has_bisquare) {
            // the M-step: q = t / bisquare, wb = (1 - q^2)^2, psi = q c wb, psi' = (1 - q^2)(1 - 5 q^2)
            double wb[kTile], psi[kTile], dp[kTile], sq[kTile], ww[kTile];
            for (std::int64_t k = 0; k < kTile; ++k) {
                const double qb = T.keep[k] * T.t[k] / ev.bisquare;
                const double q2 = qb * qb;
                wb[k] = T.keep[k] * ((1.0 - q2) * (1.0 - q2));
                psi[k] = qb * ev.tuning * wb[k];
                dp[k] = T.keep[k] * ((1.0 - q2) * (1.0 - 5.0 * q2));
            }
            if (opt.m_sums & kMSumsCovariance) {
                sc[SlotLayout::kDpsi] += lane_dot(T.a1, dp);
                for (std::int64_t k = 0; k < kTile; ++k) sq[k] = dp[k] * dp[k];
                sc[SlotLayout::kDpsi2] += lane_dot(T.a1, sq);
                for (std::int64_t k = 0; k < kTile; ++k) sq[k] = psi[k] * psi[k];
                sc[SlotLayout::kPsi2] += lane_dot(T.a1, sq);
                for (std::int64_t k = 0; k < kTile; ++k) ww[k] = T.a1[k] * T.inv[k];
                gram(slot + L.Gu, ww);
            }
            if (opt.m_sums & kMSumsStep) {
                for (std::int64_t k = 0; k < kTile; ++k) ww[k] = T.a1[k] * (dp[k] * T.inv[k]);
                gram(slot + L.Hpsi, ww);
                for (std::int64_t k = 0; k < kTile; ++k) ww[k] = T.a1[k] * (psi[k] / T.rel[k]);
                add_moments(slot + L.gpsi, T.Phi, ww, p);
            }
            sum_g = (opt.m_sums & kMSumsReweight) != 0;
            for (std::int64_t k = 0; k < kTile; ++k) w[k] = T.a1[k] * (wb[k] * T.inv[k]);
        } else {
            for (std::int64_t k = 0; k < kTile; ++k) w[k] = T.a1[k] * T.inv[k];
        }
        if (sum_g) {
            gram(slot + L.G, w);
            for (std::int64_t k = 0; k < kTile; ++k) T.a2[k] = w[k] * T.v[k];
            add_moments(slot + L.h, T.Phi, T.a2, p);
            sc[SlotLayout::kVv] += lane_dot(T.a2, T.v);
        }
        if (q > 0 && shape.moments) {
            // Q = [1, u, u^2] are the power columns 0 .. 2, its Gram moments 0 .. 4
            double* z = T.a3;
            log_residuals(z, T.a2, T.r, T.keep);
            add_power_moments(slot + L.QQ, T.P, T.a1, 5);
            for (std::int64_t k = 0; k < kTile; ++k) T.a2[k] = T.a1[k] * z[k];
            add_moments(slot + L.Qz, T.P, T.a2, q);
            sc[SlotLayout::kZ1] += lane_sum(T.a2);
            sc[SlotLayout::kZ2] += lane_dot(T.a2, z);
        } else if (q > 0) {
            for (std::int64_t k = 0; k < kTile; ++k) T.Q[k] = 1.0;
            for (std::int64_t j = 0; j < d; ++j) {
                const double* u = T.U + j * kTile;
                for (std::int64_t k = 0; k < kTile; ++k) {
                    T.Q[(1 + 2 * j) * kTile + k] = u[k];
                    T.Q[(2 + 2 * j) * kTile + k] = u[k] * u[k];
                }
            }
            double* z = T.a3;
            log_residuals(z, T.a2, T.r, T.keep);
            add_gram(slot + L.QQ, T.Q, T.W, T.a1, q);
            for (std::int64_t k = 0; k < kTile; ++k) T.a2[k] = T.a1[k] * z[k];
            add_moments(slot + L.Qz, T.Q, T.a2, q);
            sc[SlotLayout::kZ1] += lane_sum(T.a2);
            sc[SlotLayout::kZ2] += lane_dot(T.a2, z);
        }
    }
}

#if defined(__GNUC__) && defined(__x86_64__) && defined(__SSE2__) && !defined(__AVX__) && !defined(__FMA__) && \
    !defined(ZELT_SSE2_ROWS_ONLY)
// The portable build runs the same tiles with AVX2 where the processor has it,
// chosen at run time, as the core's search does. Every sum is split into
// kLanes explicit lanes and there is no fused multiply-add, so each lane does
// the same rounded operations at either width: the same bits on every processor.
// The native checks build the pass a second time with ZELT_SSE2_ROWS_ONLY
// (the SSE2 tiles on a processor with AVX2 too) and compare the bits.
bool wide_tiles_available() {
    static const bool ok = __builtin_cpu_supports("avx2");
    return ok;
}
template <class TX, class TY>
__attribute__((target("avx2"))) void pass_rows_wide(const BlockJob& job, const StridedView<TX>& X,
                                                    const StridedView<TY>& y, const Tile& T, double* slot,
                                                    InterruptPacer& pacer, std::int64_t lo, std::int64_t hi) {
    pass_rows(job, X, y, T, slot, pacer, lo, hi);
}
#else
bool wide_tiles_available() { return false; }
template <class TX, class TY>
void pass_rows_wide(const BlockJob&, const StridedView<TX>&, const StridedView<TY>&, const Tile&, double*,
                    InterruptPacer&, std::int64_t, std::int64_t) {}
#endif

template <class TX, class TY>
void pass_rows_portable(const BlockJob& job, const StridedView<TX>& X, const StridedView<TY>& y, const Tile& T,
                        double* slot, InterruptPacer& pacer, std::int64_t lo, std::int64_t hi) {
    pass_rows(job, X, y, T, slot, pacer, lo, hi);
}

}  // namespace

template <class TX, class TY>
PassSums row_pass(const StridedView<TX>& X, const StridedView<TY>& y, const TermMatrix& terms,
                  const RowScaling& scaling, const RowEvaluation& ev, const PassOptions& opt) {
    require_pass_inputs(X, y, terms, scaling, ev, opt.previous);
    require(opt.block_rows >= 1, "row_pass: block_rows must be at least 1");
    const InterruptScope interruptible;
    const std::int64_t n = X.rows, d = X.cols, p = terms.rows();
    const std::int64_t q = opt.variance ? 1 + 2 * d : 0;
    const std::int64_t top = terms.size() ? static_cast<std::int64_t>(terms.maxCoeff()) : 0;
    const bool moments = d == 1 && opt.power_moments;
    // in one variable the powers go on to the Grams' highest, 2 top, and u^4 for Q's
    const std::int64_t width = moments ? std::max(2 * top, q > 0 ? std::int64_t{4} : std::int64_t{0}) + 1 : top + 1;
    const PassShape shape{terms, scaling, d, p, top, width, moments};
    const SlotLayout L(p, q, ev.has_bisquare, moments ? 2 * top + 1 : p * p, moments ? (q > 0 ? 5 : 0) : q * q);
    const std::int64_t blocks = block_count(X, opt.block_rows);
    require(blocks <= 2147483647, "row_pass: too many row blocks");

    // Every block's sums in their own slot (zeroed here, out of the loop).
    std::vector<double> slots(static_cast<std::size_t>(std::max<std::int64_t>(blocks, 1) * L.size), 0.0);
    const bool use_team = blocks > 1 && thread_team_usable();
    const int threads = use_team ? std::max(omp_get_max_threads(), 1) : 1;
    const std::int64_t scratch_size = Tile::columns(d, width, p, q) * kTile;
    std::vector<double> scratch(static_cast<std::size_t>(threads * scratch_size));
    const int grams = ev.has_bisquare ? __builtin_popcount(opt.m_sums & 7u) : 1;  // one Gram matrix a group
    const double work_per_tile = static_cast<double>(kTile * (p * p * grams + p * (d + 4) + q * q + 16));
    const BlockJob job{shape, ev, opt, L, d, p, q, opt.previous_keep != nullptr || opt.previous != nullptr};

    for_each_index_on_team(static_cast<int>(blocks), use_team, [&](int b) {
        const int thread = use_team ? omp_get_thread_num() : 0;
        if (thread >= threads) throw std::logic_error("row_pass: more threads than scratch sets");
        const Tile T(scratch.data() + thread * scratch_size, d, width, p, q);
        double* slot = slots.data() + static_cast<std::int64_t>(b) * L.size;
        InterruptPacer pacer(work_per_tile);
        const std::int64_t lo = static_cast<std::int64_t>(b) * opt.block_rows;
        const std::int64_t hi = std::min(n, lo + opt.block_rows);
        if (wide_tiles_available()) {
            pass_rows_wide(job, X, y, T, slot, pacer, lo, hi);
        } else {
            pass_rows_portable(job, X, y, T, slot, pacer, lo, hi);
        }
    });

    // The blocks' sums in block order: the same additions for any team size.
    std::vector<double> total(static_cast<std::size_t>(L.size), 0.0);
    for (std::int64_t b = 0; b < blocks; ++b) {
        const double* slot = slots.data() + b * L.size;
        for (std::int64_t k = 0; k < L.size; ++k) total[static_cast<std::size_t>(k)] += slot[k];
    }
    // a Gram from its power moments: entry (a, b) is moment e_a + e_b
    const auto from_moments = [&](std::int64_t at, const std::vector<int>& e) {
        const std::int64_t m = static_cast<std::int64_t>(e.size());
        Matrix S(m, m);
        for (std::int64_t i = 0; i < m; ++i) {
            for (std::int64_t j = 0; j < m; ++j) {
                S(i, j) = total[static_cast<std::size_t>(at + e[static_cast<std::size_t>(i)] +
                                                         e[static_cast<std::size_t>(j)])];
            }
        }
        return S;
    };
    std::vector<int> powers(static_cast<std::size_t>(p));
    for (std::int64_t a = 0; a < p && moments; ++a) powers[static_cast<std::size_t>(a)] = terms(a, 0);
    const auto symmetric = [&](std::int64_t at, std::int64_t m) {
        Matrix S(m, m);
        for (std::int64_t i = 0; i < m; ++i) {
            for (std::int64_t j = i; j < m; ++j) S(i, j) = S(j, i) = total[static_cast<std::size_t>(at + i * m + j)];
        }
        return S;
    };
    const auto basis_gram = [&](std::int64_t at) { return moments ? from_moments(at, powers) : symmetric(at, p); };
    const auto vector = [&](std::int64_t at, std::int64_t m) {
        return Vector(Eigen::Map<const Vector>(total.data() + at, m));
    };
    const double* sc = total.data() + L.scalars;
    PassSums out;
    const unsigned made = ev.has_bisquare ? opt.m_sums : kMSumsReweight;
    if (made & kMSumsReweight) {
        out.G = basis_gram(L.G);
        out.h = vector(L.h, p);
    }
    out.vv = sc[SlotLayout::kVv];
    out.count = static_cast<std::int64_t>(sc[SlotLayout::kCount]);
    out.tt = sc[SlotLayout::kTt];
    out.changed = static_cast<std::int64_t>(sc[SlotLayout::kChanged]);
    out.psi2 = sc[SlotLayout::kPsi2];
    out.dpsi = sc[SlotLayout::kDpsi];
    out.dpsi2 = sc[SlotLayout::kDpsi2];
    if (q > 0) {
        out.QQ = moments ? from_moments(L.QQ, {0, 1, 2}) : symmetric(L.QQ, q);
        out.Qz = vector(L.Qz, q);
    }
    out.z1 = sc[SlotLayout::kZ1];
    out.z2 = sc[SlotLayout::kZ2];
    if (ev.has_bisquare && (made & kMSumsCovariance)) out.Gu = basis_gram(L.Gu);
    if (ev.has_bisquare && (made & kMSumsStep)) {
        out.Hpsi = basis_gram(L.Hpsi);
        out.gpsi = vector(L.gpsi, p);
    }
    out.clipped = kRhoC * kRhoC / 3.0 * sc[SlotLayout::kClipped];
    out.prev_rr = sc[SlotLayout::kPrevRr];
    out.wcount = sc[SlotLayout::kWcount];
    return out;
}

template <class TX, class TY>
void row_inliers(const StridedView<TX>& X, const StridedView<TY>& y, const TermMatrix& terms,
                 const RowScaling& scaling, const RowEvaluation& ev, std::uint8_t* keep, double* weight,
                 std::int64_t block_rows) {
    require_pass_inputs(X, y, terms, scaling, ev, nullptr);
    require(block_rows >= 1, "row_inliers: block_rows must be at least 1");
    const InterruptScope interruptible;
    const std::int64_t n = X.rows, d = X.cols, p = terms.rows();
    const std::int64_t top = terms.size() ? static_cast<std::int64_t>(terms.maxCoeff()) : 0;
    const PassShape shape{terms, scaling, d, p, top, top + 1, false};
    const std::int64_t blocks = block_count(X, block_rows);
    require(blocks <= 2147483647, "row_inliers: too many row blocks");
    const bool use_team = blocks > 1 && thread_team_usable();
    const int threads = use_team ? std::max(omp_get_max_threads(), 1) : 1;
    const std::int64_t scratch_size = Tile::columns(d, shape.width, p, 0) * kTile;
    std::vector<double> scratch(static_cast<std::size_t>(threads * scratch_size));
    // every row writes only its own entries: nothing to add up
    for_each_index_on_team(static_cast<int>(blocks), use_team, [&](int b) {
        const int thread = use_team ? omp_get_thread_num() : 0;
        if (thread >= threads) throw std::logic_error("row_inliers: more threads than scratch sets");
        const Tile T(scratch.data() + thread * scratch_size, d, shape.width, p, 0);
        InterruptPacer pacer(static_cast<double>(kTile * (p * (d + 2) + 8)));
        const std::int64_t lo = static_cast<std::int64_t>(b) * block_rows;
        const std::int64_t hi = std::min(n, lo + block_rows);
        for (std::int64_t t0 = lo; t0 < hi; t0 += kTile) {
            pacer.step();
            const std::int64_t m = std::min(kTile, hi - t0);
            load_tile(T, shape, X, y, nullptr, t0, m);
            evaluate_tile(T, ev, d, p, m, T.r, T.t, nullptr, nullptr, T.keep);
            for (std::int64_t k = 0; k < m; ++k) keep[t0 + k] = static_cast<std::uint8_t>(T.keep[k]);
            if (weight == nullptr) continue;
            if (ev.has_bisquare) {
                for (std::int64_t k = 0; k < m; ++k) {
                    const double qb = std::min(std::abs(T.t[k]) / ev.bisquare, 1.0);
                    const double one = 1.0 - qb * qb;
                    weight[t0 + k] = T.keep[k] * (one * one);
                }
            } else {
                for (std::int64_t k = 0; k < m; ++k) weight[t0 + k] = T.keep[k];
            }
        }
    });
}

#define ZELT_ROW_PASS(TX, TY)                                                                              \
    template PassSums row_pass<TX, TY>(const StridedView<TX>&, const StridedView<TY>&, const TermMatrix&, \
                                       const RowScaling&, const RowEvaluation&, const PassOptions&);       \
    template void row_inliers<TX, TY>(const StridedView<TX>&, const StridedView<TY>&, const TermMatrix&,  \
                                      const RowScaling&, const RowEvaluation&, std::uint8_t*, double*,     \
                                      std::int64_t);
ZELT_ROW_PASS(double, double)
ZELT_ROW_PASS(double, float)
ZELT_ROW_PASS(float, double)
ZELT_ROW_PASS(float, float)
#undef ZELT_ROW_PASS
#undef ZELT_TILE_INLINE

}  // namespace zelt
