// The fused pass of zelt_fit's refit (see row_pass.hpp): per-row evaluation,
// per-block sums in a flat slot of their own, the blocks on the OpenMP team,
// and the blocks' sums added in block order.
#include "row_pass.hpp"

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

    SlotLayout(std::int64_t p_, std::int64_t q_, bool bisquare) : p(p_), q(q_) {
        std::int64_t at = 0;
        G = at, at += p * p;
        h = at, at += p;
        Gu = at, at += bisquare ? p * p : 0;
        Hpsi = at, at += bisquare ? p * p : 0;
        gpsi = at, at += bisquare ? p : 0;
        QQ = at, at += q * q;
        Qz = at, at += q;
        scalars = at, at += kScalars;
        size = at;
    }
};

// Per-row scratch, one set per thread, sized once before the loop.
struct RowScratch {
    double* u;       // scaled variables (d)
    double* powers;  // u_j^k for k = 0 .. top, variable by variable
    double* phi;     // the basis (p)
    double* Q;       // the variance basis 1, u_j, u_j^2 (1 + 2d)
};

// Adds w * a a' to the upper triangle of the p x p row-major S.
inline void add_outer_upper(double* S, const double* a, std::int64_t p, double w) {
    for (std::int64_t i = 0; i < p; ++i) {
        const double wa = w * a[i];
        double* row = S + i * p;
        for (std::int64_t j = i; j < p; ++j) row[j] += wa * a[j];
    }
}

inline void add_scaled(double* s, const double* a, std::int64_t p, double w) {
    for (std::int64_t i = 0; i < p; ++i) s[i] += w * a[i];
}

inline double dot(const double* a, const double* b, std::int64_t p) {
    double s = 0.0;
    for (std::int64_t i = 0; i < p; ++i) s += a[i] * b[i];
    return s;
}

// The problem's fixed parts, read by every row.
struct PassShape {
    const TermMatrix& terms;
    const RowScaling& scaling;
    std::int64_t d, p, top;
};

// Scaled variables, the basis and the scaled target of row i.
template <class TX, class TY>
double form_row(const PassShape& shape, const StridedView<TX>& X, const StridedView<TY>& y,
                std::int64_t i, const RowScratch& s) {
    const std::int64_t width = shape.top + 1;
    for (std::int64_t j = 0; j < shape.d; ++j) {
        const double u = (static_cast<double>(X.at(i, j)) - shape.scaling.x_center[j]) / shape.scaling.x_scale[j];
        s.u[j] = u;
        double* pw = s.powers + j * width;
        pw[0] = 1.0;
        for (std::int64_t k = 1; k < width; ++k) pw[k] = pw[k - 1] * u;
    }
    for (std::int64_t m = 0; m < shape.p; ++m) {
        double f = 1.0;
        for (std::int64_t j = 0; j < shape.d; ++j) {
            const int k = shape.terms(m, j);
            if (k > 0) f *= s.powers[j * width + k];
        }
        s.phi[m] = f;
    }
    return (static_cast<double>(y.at(i, 0)) - shape.scaling.y_center) / shape.scaling.y_scale;
}

// rel = exp(clamp(Q'g / 2)): the modelled noise scale relative to its geometric mean.
inline double relative_scale(const double* u, std::int64_t d, const Vector& g) {
    double s = g[0];
    for (std::int64_t j = 0; j < d; ++j) s += g[1 + 2 * j] * u[j] + g[2 + 2 * j] * (u[j] * u[j]);
    return std::exp(std::min(std::max(0.5 * s, -kLogRel), kLogRel));
}

struct RowFit {
    double r;    // residual
    double t;    // standardised residual
    double rel;  // noise scale (1 without a model)
    bool keep;
};

inline RowFit evaluate(const RowEvaluation& ev, const RowScratch& s, std::int64_t d, std::int64_t p, double v) {
    RowFit f;
    f.r = v - dot(s.phi, ev.coef.data(), p);
    f.rel = ev.g != nullptr ? relative_scale(s.u, d, *ev.g) : 1.0;
    f.t = ev.g != nullptr ? f.r / f.rel : f.r;
    const double a = std::abs(f.t);
    f.keep = ev.has_bisquare ? a < ev.bisquare : a <= ev.cut;
    return f;
}

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

}  // namespace

template <class TX, class TY>
PassSums row_pass(const StridedView<TX>& X, const StridedView<TY>& y, const TermMatrix& terms,
                  const RowScaling& scaling, const RowEvaluation& ev, const PassOptions& opt) {
    require_pass_inputs(X, y, terms, scaling, ev, opt.previous);
    require(opt.block_rows >= 1, "row_pass: block_rows must be at least 1");
    const InterruptScope interruptible;
    const std::int64_t n = X.rows, d = X.cols, p = terms.rows();
    const std::int64_t q = opt.variance ? 1 + 2 * d : 0;
    const PassShape shape{terms, scaling, d, p, terms.size() ? static_cast<std::int64_t>(terms.maxCoeff()) : 0};
    const SlotLayout L(p, q, ev.has_bisquare);
    const std::int64_t blocks = block_count(X, opt.block_rows);
    require(blocks <= 2147483647, "row_pass: too many row blocks");

    // Every block's sums in their own slot (zeroed here, out of the loop).
    std::vector<double> slots(static_cast<std::size_t>(std::max<std::int64_t>(blocks, 1) * L.size), 0.0);
    const bool use_team = blocks > 1 && thread_team_usable();
    const int threads = use_team ? std::max(omp_get_max_threads(), 1) : 1;
    const std::int64_t scratch_size = d + d * (shape.top + 1) + p + (1 + 2 * d);
    std::vector<double> scratch(static_cast<std::size_t>(threads * scratch_size));
    const double work_per_row = static_cast<double>(p * p * (ev.has_bisquare ? 3 : 1) + p * (d + 2) + q * q + 8);

    for_each_index_on_team(static_cast<int>(blocks), use_team, [&](int b) {
        const int thread = omp_get_thread_num();
        if (thread >= threads) throw std::logic_error("row_pass: more threads than scratch sets");
        double* base = scratch.data() + thread * scratch_size;
        const RowScratch s{base, base + d, base + d + d * (shape.top + 1), base + d + d * (shape.top + 1) + p};
        double* slot = slots.data() + static_cast<std::int64_t>(b) * L.size;
        double* sc = slot + L.scalars;
        InterruptPacer pacer(work_per_row);
        const std::int64_t lo = static_cast<std::int64_t>(b) * opt.block_rows;
        const std::int64_t hi = std::min(n, lo + opt.block_rows);
        for (std::int64_t i = lo; i < hi; ++i) {
            pacer.step();
            const double v = form_row(shape, X, y, i, s);
            const RowFit f = evaluate(ev, s, d, p, v);
            const double cw = opt.case_weights != nullptr ? opt.case_weights[i] : 1.0;
            if (opt.keep_out != nullptr) opt.keep_out[i] = f.keep ? 1 : 0;
            if (opt.previous_keep != nullptr || opt.previous != nullptr) {
                const bool was = opt.previous_keep != nullptr ? opt.previous_keep[i] != 0
                                                              : evaluate(*opt.previous, s, d, p, v).keep;
                if (was != f.keep) sc[SlotLayout::kChanged] += 1.0;
                if (was) sc[SlotLayout::kPrevRr] += cw * (f.r * f.r);
            }
            if (opt.has_clip) {
                // 2 rho(r / clip) / (c^2 / 3): rho as statsmodels scales the bisquare
                double a = std::abs(f.r) / (opt.clip * kRhoC);
                a = std::min(a, 1.0);
                const double w = 1.0 - a * a;
                sc[SlotLayout::kClipped] += cw * (1.0 - w * w * w);
            }
            if (!f.keep) continue;
            const double inv = ev.g != nullptr ? 1.0 / (f.rel * f.rel) : 1.0;
            sc[SlotLayout::kCount] += 1.0;
            sc[SlotLayout::kWcount] += cw;
            sc[SlotLayout::kTt] += cw * (f.t * f.t);
            double w;
            if (ev.has_bisquare) {
                const double qb = f.t / ev.bisquare;
                const double q2 = qb * qb;
                const double wb = (1.0 - q2) * (1.0 - q2);
                const double psi = qb * ev.tuning * wb;
                const double dp = (1.0 - q2) * (1.0 - 5.0 * q2);
                sc[SlotLayout::kPsi2] += cw * (psi * psi);
                sc[SlotLayout::kDpsi] += cw * dp;
                sc[SlotLayout::kDpsi2] += cw * (dp * dp);
                add_outer_upper(slot + L.Gu, s.phi, p, cw * inv);
                add_outer_upper(slot + L.Hpsi, s.phi, p, cw * (dp * inv));
                add_scaled(slot + L.gpsi, s.phi, p, cw * (ev.g != nullptr ? psi / f.rel : psi));
                w = cw * (wb * inv);
            } else {
                w = cw * inv;
            }
            add_outer_upper(slot + L.G, s.phi, p, w);
            add_scaled(slot + L.h, s.phi, p, w * v);
            sc[SlotLayout::kVv] += w * (v * v);
            if (q > 0) {
                double* Q = s.Q;
                Q[0] = 1.0;
                for (std::int64_t j = 0; j < d; ++j) {
                    Q[1 + 2 * j] = s.u[j];
                    Q[2 + 2 * j] = s.u[j] * s.u[j];
                }
                const double z = std::log(std::max(f.r * f.r, 1e-300));
                add_outer_upper(slot + L.QQ, Q, q, cw);
                add_scaled(slot + L.Qz, Q, q, cw * z);
                sc[SlotLayout::kZ1] += cw * z;
                sc[SlotLayout::kZ2] += cw * (z * z);
            }
        }
    });

    // The blocks' sums in block order: the same additions for any team size.
    std::vector<double> total(static_cast<std::size_t>(L.size), 0.0);
    for (std::int64_t b = 0; b < blocks; ++b) {
        const double* slot = slots.data() + b * L.size;
        for (std::int64_t k = 0; k < L.size; ++k) total[static_cast<std::size_t>(k)] += slot[k];
    }
    const auto symmetric = [&](std::int64_t at, std::int64_t m) {
        Matrix S(m, m);
        for (std::int64_t i = 0; i < m; ++i) {
            for (std::int64_t j = i; j < m; ++j) S(i, j) = S(j, i) = total[static_cast<std::size_t>(at + i * m + j)];
        }
        return S;
    };
    const auto vector = [&](std::int64_t at, std::int64_t m) {
        return Vector(Eigen::Map<const Vector>(total.data() + at, m));
    };
    const double* sc = total.data() + L.scalars;
    PassSums out;
    out.G = symmetric(L.G, p);
    out.h = vector(L.h, p);
    out.vv = sc[SlotLayout::kVv];
    out.count = static_cast<std::int64_t>(sc[SlotLayout::kCount]);
    out.tt = sc[SlotLayout::kTt];
    out.changed = static_cast<std::int64_t>(sc[SlotLayout::kChanged]);
    out.psi2 = sc[SlotLayout::kPsi2];
    out.dpsi = sc[SlotLayout::kDpsi];
    out.dpsi2 = sc[SlotLayout::kDpsi2];
    if (q > 0) {
        out.QQ = symmetric(L.QQ, q);
        out.Qz = vector(L.Qz, q);
    }
    out.z1 = sc[SlotLayout::kZ1];
    out.z2 = sc[SlotLayout::kZ2];
    if (ev.has_bisquare) {
        out.Gu = symmetric(L.Gu, p);
        out.Hpsi = symmetric(L.Hpsi, p);
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
    const PassShape shape{terms, scaling, d, p, terms.size() ? static_cast<std::int64_t>(terms.maxCoeff()) : 0};
    const std::int64_t blocks = block_count(X, block_rows);
    require(blocks <= 2147483647, "row_inliers: too many row blocks");
    const bool use_team = blocks > 1 && thread_team_usable();
    const int threads = use_team ? std::max(omp_get_max_threads(), 1) : 1;
    const std::int64_t scratch_size = d + d * (shape.top + 1) + p + (1 + 2 * d);
    std::vector<double> scratch(static_cast<std::size_t>(threads * scratch_size));
    // every row writes only its own entries: nothing to add up
    for_each_index_on_team(static_cast<int>(blocks), use_team, [&](int b) {
        const int thread = omp_get_thread_num();
        if (thread >= threads) throw std::logic_error("row_inliers: more threads than scratch sets");
        double* base = scratch.data() + thread * scratch_size;
        const RowScratch s{base, base + d, base + d + d * (shape.top + 1), base + d + d * (shape.top + 1) + p};
        InterruptPacer pacer(static_cast<double>(p * (d + 2) + 8));
        const std::int64_t lo = static_cast<std::int64_t>(b) * block_rows;
        const std::int64_t hi = std::min(n, lo + block_rows);
        for (std::int64_t i = lo; i < hi; ++i) {
            pacer.step();
            const double v = form_row(shape, X, y, i, s);
            const RowFit f = evaluate(ev, s, d, p, v);
            keep[i] = f.keep ? 1 : 0;
            double w = f.keep ? 1.0 : 0.0;
            if (f.keep && ev.has_bisquare) {
                const double qb = std::min(std::abs(f.t) / ev.bisquare, 1.0);
                const double one = 1.0 - qb * qb;
                w = one * one;
            }
            weight[i] = w;
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

}  // namespace zelt
