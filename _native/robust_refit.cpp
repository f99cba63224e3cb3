// The robust fit of robust_refit.hpp. The order of every operation follows
// the NumPy reference (zelt_fit._refit, _fit), so that the two agree to the
// rounding of their linear algebra.
#include "robust_refit.hpp"

#include "ensemble.hpp"
#include "fit.hpp"
#include "interrupt.hpp"
#include "robust_start.hpp"
#include "small_solve.hpp"
#include "team.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>

namespace zelt {

namespace {

constexpr double kCut = 4.0;
constexpr double kVarianceAlpha = 1e-3;
// the M-step holds the M-scale where it is less than the set's scale unless the
// variance model is significant at this level
constexpr double kTailAlpha = 0.05;
constexpr int kMaxRounds = 30;
constexpr int kMaxMmRounds = 100;
constexpr double kMmTol = 1e-10;
constexpr double kNearExact = 1e-10;
constexpr double kScaleFloor = 1e-12;
constexpr double kCS = 1.5476450;  // the S-estimate's bisquare: 50 % breakdown
constexpr double kBS = 0.5;
constexpr double kCMM = 4.6850649;  // the M-step's: 95 % Gaussian efficiency
constexpr int kSPolish = 3;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// E[Z^2 | |Z| <= c] for a standard normal Z: the variance of residuals cut at c
// standard deviations.
double kappa(double c) {
    const double p = std::erf(c / std::sqrt(2.0));
    return 1.0 - 2.0 * c * std::exp(-0.5 * c * c) / std::sqrt(2.0 * M_PI) / p;
}

// What a pass evaluates (zelt_fit's Evaluation); `id` tells one evaluation
// from another, so that a pass can reuse the rows the last one kept.
struct Eval {
    Vector coef;
    double cut = kInf;
    bool has_g = false;
    Vector g;
    bool has_bisquare = false;
    double bisquare = 0.0;
    double tuning = kCMM;
    long id = 0;

    RowEvaluation view() const {
        RowEvaluation e{coef, cut};
        e.g = has_g ? &g : nullptr;
        e.has_bisquare = has_bisquare;
        e.bisquare = bisquare;
        e.tuning = tuning;
        return e;
    }
};

// The passes of one fit over its rows, with the kept rows of the last one.
class Runner {
public:
    explicit Runner(const FitData& d)
        : d_(d), keep_(static_cast<std::size_t>(d.n)), spare_(static_cast<std::size_t>(d.n)) {}

    Eval eval(Vector coef, double cut) {
        Eval e;
        e.coef = std::move(coef);
        e.cut = cut;
        return with_id(std::move(e));
    }
    Eval bisquare_eval(Vector coef, double c, bool has_g, const Vector& g) {
        Eval e;
        e.coef = std::move(coef);
        e.cut = c;
        e.has_g = has_g;
        e.g = g;
        e.has_bisquare = true;
        e.bisquare = c;
        e.tuning = kCMM;
        return with_id(std::move(e));
    }

    PassSums run(const Eval& ev, const Eval* previous = nullptr, bool variance = false, double clip = kNaN,
                 unsigned m_sums = ~0u) {
        PassOptions opt;
        const bool known = previous != nullptr && previous->id == last_;
        std::optional<RowEvaluation> prev_view;
        if (previous != nullptr && !known) {
            prev_view.emplace(previous->view());
            opt.previous = &*prev_view;
        }
        opt.previous_keep = known ? keep_.data() : nullptr;
        opt.keep_out = spare_.data();
        opt.case_weights = d_.case_weights;
        opt.variance = variance;
        opt.has_clip = !std::isnan(clip);
        opt.clip = opt.has_clip ? clip : 0.0;
        opt.m_sums = m_sums;
        const RowEvaluation view = ev.view();
        PassSums out = d_.pass(view, opt);
        std::swap(keep_, spare_);
        last_ = ev.id;
        return out;
    }

    std::int64_t rows() const { return d_.n; }

    // The rows the last pass kept, where that pass evaluated `ev` (else null).
    const std::uint8_t* kept_by(const Eval& ev) const { return last_ == ev.id ? keep_.data() : nullptr; }

private:
    Eval with_id(Eval e) {
        e.id = ++next_;
        return e;
    }

    const FitData& d_;
    std::vector<std::uint8_t> keep_, spare_;
    long last_ = -1;
    long next_ = 0;
};

// A candidate model: some columns of the full basis, with its penalty.
struct Columns {
    Eigen::VectorXi index;
    int width = 0;
    double slope = 0.0, curvature = 0.0;
    Matrix R1, R2;  // restricted to the columns (empty without a penalty)

    int p() const { return static_cast<int>(index.size()); }
    bool penalised() const { return slope != 0.0 || curvature != 0.0; }

    Vector pad(const Vector& b) const {
        Vector out = Vector::Zero(width);
        for (int i = 0; i < p(); ++i) out(index(i)) = b(i);
        return out;
    }
    Vector take(const Vector& full) const {
        Vector out(p());
        for (int i = 0; i < p(); ++i) out(i) = full(index(i));
        return out;
    }
    Matrix take(const Matrix& full) const {
        Matrix out(p(), p());
        for (int i = 0; i < p(); ++i) {
            for (int j = 0; j < p(); ++j) out(i, j) = full(index(i), index(j));
        }
        return out;
    }
    // The sums cut down to the columns.
    PassSums cut(PassSums st) const {
        if (p() == width) return st;
        PassSums out = std::move(st);
        if (out.G.size()) out.G = take(out.G);
        if (out.h.size()) out.h = take(out.h);
        if (out.Gu.size()) out.Gu = take(out.Gu);
        if (out.Hpsi.size()) out.Hpsi = take(out.Hpsi);
        if (out.gpsi.size()) out.gpsi = take(out.gpsi);
        return out;
    }
};

Columns make_columns(Eigen::VectorXi index, int width, const RefitConfig& config) {
    Columns c;
    c.index = std::move(index);
    c.width = width;
    if (config.slope != 0.0 || config.curvature != 0.0) {
        c.slope = config.slope;
        c.curvature = config.curvature;
        c.R1 = c.take(*config.R1);
        c.R2 = c.take(*config.R2);
    }
    return c;
}

// (A, b) with A'A = G and A'b = h: the normal equations as a square
// least-squares problem for the core's solvers.
void sqrt_system(const Matrix& G, const Vector& h, Matrix& A, Vector& b) {
    const Eigen::SelfAdjointEigenSolver<Matrix> es(0.5 * (G + G.transpose()));
    const Vector& lam = es.eigenvalues();
    const Matrix& V = es.eigenvectors();
    const Eigen::Index p = lam.size();
    const double top = std::max(lam(p - 1), 0.0);
    const Vector Vh = V.transpose() * h;
    A.resize(p, p);
    b.resize(p);
    for (Eigen::Index i = 0; i < p; ++i) {
        const bool keep = lam(i) > top * 1e-15 * static_cast<double>(p);
        const double root = keep ? std::sqrt(lam(i)) : 0.0;
        A.row(i) = root * V.col(i).transpose();
        b(i) = keep ? Vh(i) / root : 0.0;
    }
}

// Coefficients from a pass's sums: least squares through the core's SVD
// solver (minimum norm where the set does not determine them), or its
// penalised solver, weighted by the set's size.
Vector solve(const Columns& cols, const PassSums& st) {
    if (!cols.penalised()) {
        // a plainly well-posed set (small_solve.hpp): every eigenvalue and
        // singular value below is kept, and the solve is G^-1 h
        Vector x(st.h.size());
        if (small::cholesky_solve(st.G, st.h, small::kGramPosed, x)) return x;
    }
    Matrix A;
    Vector b;
    sqrt_system(st.G, st.h, A, b);
    if (!cols.penalised()) return ols(A, b);
    const double scale = st.wcount / static_cast<double>(A.rows());
    return fit_regularized_linear(A, b, &cols.R1, &cols.R2, cols.slope * scale, cols.curvature * scale, 1e-10);
}

// sum w (v - phi'b)^2 from the sums: v'Wv - 2 b'h + b'Gb.
double rss_of(const PassSums& st, const Vector& b) {
    return std::max(st.vv - 2.0 * b.dot(st.h) + b.dot(st.G * b), 0.0);
}

// Pseudo-inverse of a symmetric matrix through its eigen-decomposition,
// eigenvalues below 1e-15 of the largest magnitude dropped.
Matrix pinv_symmetric(const Matrix& S) {
    const Eigen::Index p = S.rows();
    if (p <= small::kMaxSize) {
        // plainly well posed: no eigenvalue is dropped, and the pseudo-inverse
        // is the inverse, column by column through Cholesky's factorisation
        Matrix inv(p, p);
        Vector e = Vector::Zero(p), col(p);
        bool ok = true;
        for (Eigen::Index j = 0; j < p && ok; ++j) {
            e(j) = 1.0;
            ok = small::cholesky_solve(S, e, small::kGramPosed, col);
            inv.col(j) = col;
            e(j) = 0.0;
        }
        if (ok) return 0.5 * (inv + inv.transpose());
    }
    const Eigen::SelfAdjointEigenSolver<Matrix> es(S);
    const Vector& lam = es.eigenvalues();
    const Matrix& V = es.eigenvectors();
    const double cutoff = 1e-15 * lam.cwiseAbs().maxCoeff();
    Vector inv(lam.size());
    for (Eigen::Index i = 0; i < lam.size(); ++i) inv(i) = std::abs(lam(i)) > cutoff ? 1.0 / lam(i) : 0.0;
    return V * inv.asDiagonal() * V.transpose();
}

struct Stage1 {
    Vector coef;
    Eval ev;
    std::int64_t count = 0;
    double sigma = 0.0;
    int rounds = 0;
    double rss = 0.0;
    double clipped = kNaN;
    bool has_first = false;
    PassSums first;
    double wcount = kNaN;
    // the variance model's sums at `ev`, where the last round made them
    bool has_variance = false;
    PassSums variance;
    double size() const { return std::isnan(wcount) ? static_cast<double>(count) : wcount; }
};

Stage1 stage1_of(const Eval& new_ev, const Eval& ev, std::int64_t count, double s, int rounds, double rss,
                 double clipped, const PassSums& first, double wcount) {
    Stage1 out;
    out.coef = new_ev.coef;
    out.ev = ev;
    out.count = count;
    out.sigma = s;
    out.rounds = rounds;
    out.rss = rss;
    out.clipped = clipped;
    out.has_first = true;
    out.first = first;
    out.wcount = wcount;
    return out;
}

// The consensus set: least squares on the band, the set redrawn at kCut
// residual scales until stable. `first`: the band's sums when made already.
// `variance`: the M-step follows, whose variance model is fitted at the final
// set's evaluation, the one the last round's pass makes; a round that changed
// few rows is likely the one before the last, so the next pass makes the
// variance model's sums too (its other sums are the same bits either way), and
// the M-step then needs no pass of its own for them.
Stage1 consensus_rounds(Runner& run, const Columns& cols, const Eval& band, const PassSums* first,
                        double clip = kNaN, bool variance = false) {
    const int p = cols.p();
    const PassSums start_stats = first != nullptr ? *first : run.run(band);
    PassSums st = cols.cut(start_stats);
    int rounds = first != nullptr ? 0 : 1;
    Eval ev = band;
    static const double kKappa = kappa(kCut);
    std::int64_t changed = -1;  // rows the last round moved in or out of the set (-1: no round yet)
    const std::int64_t few_changed = std::max<std::int64_t>(2, run.rows() / 5000);
    if (st.count < p) {
        // too few points to determine the coefficients: all of them, trimmed by the scale
        ev = run.eval(Vector::Zero(cols.width), kInf);
        st = cols.cut(run.run(ev));
        ++rounds;
    }
    while (true) {
        const Vector b = solve(cols, st);
        double rss = rss_of(st, b);
        if (rss <= kNearExact * st.vv) {
            // the sums cancel to noise: the residuals themselves, in a pass of its own
            rss = run.run(run.eval(cols.pad(b), kInf), &ev).prev_rr;
            ++rounds;
        }
        double s = std::sqrt(rss / std::max(st.wcount - p, 1.0) / kKappa);
        // data exactly on a polynomial: the scale is held above the solves' rounding
        s = std::max(s, kScaleFloor * std::sqrt(st.vv / std::max(st.wcount, 1.0)));
        const Eval next = run.eval(cols.pad(b), s > 0 ? kCut * s : 1e-300);
        if (rounds >= kMaxRounds) return stage1_of(next, ev, st.count, s, rounds, rss, kNaN, start_stats, st.wcount);
        const bool with_variance = variance && s > 0 && changed >= 0 && changed <= few_changed;
        PassSums nst = run.run(next, &ev, with_variance, clip);
        ++rounds;
        changed = nst.changed;
        if (nst.count < p) return stage1_of(next, ev, st.count, s, rounds, rss, kNaN, start_stats, st.wcount);
        if (nst.changed == 0) {
            Stage1 out = stage1_of(next, next, nst.count, s, rounds, rss, nst.clipped, start_stats, nst.wcount);
            if (with_variance) {
                out.has_variance = true;
                out.variance = std::move(nst);
            }
            return out;
        }
        ev = next;
        st = cols.cut(std::move(nst));
    }
}

// The least robust scale of residuals on the search's points.
double sample_scale(const FitData& d, const Vector& coef) {
    const Vector r = *d.v_s - *d.Phi_s * coef;
    return m_scale_one(r, kCS, kBS, 0.0, 1e-12, 200);
}

struct BestStart {
    int index = 0;
    Stage1 s1;
};

// Stage 1 from every start; the one whose solve leaves the least M-scale on
// the search's points (which bad leverage points cannot lower).
BestStart best_start(Runner& run, const FitData& d, const Columns& cols, const std::vector<Eval>& starts) {
    std::vector<Stage1> results;
    std::vector<bool> same;
    results.push_back(consensus_rounds(run, cols, starts[0], nullptr));
    same.push_back(true);
    for (std::size_t k = 1; k < starts.size(); ++k) {
        const Stage1& first = results[0];
        const PassSums st = run.run(starts[k], &first.ev);
        if (st.changed == 0) {
            results.push_back(first);
            same.push_back(true);
            continue;
        }
        Stage1 other = consensus_rounds(run, cols, starts[k], &st);
        // the same final set gives the same sums, so the same solve, bit for bit
        const bool equal = other.coef == results[0].coef;
        results.push_back(equal ? results[0] : std::move(other));
        same.push_back(equal);
    }
    if (std::all_of(same.begin(), same.end(), [](bool s) { return s; })) return BestStart{0, results[0]};
    // the first of least scale (a scale that is not finite never wins)
    int best = 0;
    double best_crit = kInf;
    for (std::size_t k = 0; k < results.size(); ++k) {
        double c = sample_scale(d, results[k].coef);
        if (!std::isfinite(c)) c = kInf;
        if (k == 0 || c < best_crit) {
            best_crit = c;
            best = static_cast<int>(k);
        }
    }
    return BestStart{best, results[static_cast<std::size_t>(best)]};
}

// Coefficients g of log r^2 = Q'g, centred to a geometric-mean scale of 1
// over the set, where the regression is significant. `pval`: its F test's
// P-value against a constant (NaN where the set cannot carry the regression).
bool variance_model(const PassSums& st, int p, Vector& g, double& pval) {
    pval = kNaN;
    const double m = st.wcount;
    const Eigen::Index q = st.QQ.rows();
    if (m <= static_cast<double>(q + p + 2)) return false;
    g.resize(q);
    if (!small::cholesky_solve(st.QQ, st.Qz, small::kGramPosed, g)) {
        const Eigen::SelfAdjointEigenSolver<Matrix> es(st.QQ);
        const Vector& lam = es.eigenvalues();
        if (lam(0) <= lam(q - 1) * 1e-12) return false;  // a variable with too few distinct values
        const Matrix& V = es.eigenvectors();
        g = V * ((V.transpose() * st.Qz).array() / lam.array()).matrix();
    }
    const double rss1 = st.z2 - g.dot(st.Qz);
    const double rss0 = st.z2 - st.z1 * st.z1 / m;
    if (rss1 <= 0) return false;
    if (rss0 <= rss1) {
        pval = 1.0;
        return false;
    }
    const double F = ((rss0 - rss1) / static_cast<double>(q - 1)) / (rss1 / (m - static_cast<double>(q)));
    pval = f_sf(F, static_cast<double>(q - 1), m - static_cast<double>(q));
    if (!(pval <= kVarianceAlpha)) return false;
    g(0) -= st.z1 / m;
    return true;
}

struct Refit {
    Vector coef;
    Eval final;
    std::int64_t n_inliers = 0;
    int rounds = 0;
    Matrix cov_unit;
    double sigma = 0.0;
    double dof = 0.0;
    bool heteroscedastic = false;
    double scale = 0.0;
    double wcount = 0.0;
};

// Least squares (or the penalised fit) on a set: covariance for unit sigma,
// sigma and the degrees of freedom.
void covariance(const PassSums& st, const Columns& cols, double rss, Refit& out) {
    const double m = st.wcount;
    const int p = cols.p();
    if (cols.penalised()) {
        // the sandwich M^-1 G M^-1 with M = G + m (slope R1 + curvature R2), in
        // the basis that gives M a unit diagonal (the unpenalised directions can
        // be many orders of magnitude smaller than the pinned ones)
        Matrix M = st.G + m * (cols.slope * cols.R1 + cols.curvature * cols.R2);
        M = (0.5 * (M + M.transpose())).eval();
        Vector dg(p);
        for (int i = 0; i < p; ++i) dg(i) = M(i, i) > 0 ? 1.0 / std::sqrt(M(i, i)) : 0.0;
        const Matrix inner = dg.asDiagonal() * M * dg.asDiagonal();
        const Matrix Mi = dg.asDiagonal() * pinv_symmetric(inner) * dg.asDiagonal();
        const Matrix cov = Mi * st.G * Mi;
        out.dof = m - (Mi * st.G).trace();
        out.cov_unit = 0.5 * (cov + cov.transpose());
    } else {
        out.dof = m - p;
        out.cov_unit = pinv_symmetric(0.5 * (st.G + st.G.transpose()));
    }
    out.sigma = out.dof > 0 ? std::sqrt(rss / out.dof) : kNaN;
}

// Covariance of the bisquare M-step at the held scale s over its points
// (statsmodels' RLM H1 form; see zelt_fit._refit._mm_covariance).
void mm_covariance(const PassSums& st, const Columns& cols, double scale, Refit& out) {
    const double m = st.wcount;
    const int p = cols.p();
    out.dof = m - p;
    const double mean_d = m != 0.0 ? st.dpsi / m : kNaN;
    if (!(mean_d > 0) || out.dof <= 0) {
        out.cov_unit = Matrix::Constant(p, p, kNaN);
        out.sigma = kNaN;
        return;
    }
    const double var_d = std::max(st.dpsi2 / m - mean_d * mean_d, 0.0);
    const double K = 1.0 + p / m * var_d / (mean_d * mean_d);
    const double sigma2 = K * K * scale * scale * (st.psi2 / out.dof) / (mean_d * mean_d);
    out.cov_unit = pinv_symmetric(0.5 * (st.Gu + st.Gu.transpose()));
    out.sigma = std::sqrt(sigma2);
}

// Newton's step s Hpsi^-1 gpsi of the M-step; false where the Hessian is not
// positive definite (then a reweighted step).
bool newton_step(const PassSums& st, double s, Vector& step) {
    // Hpsi is exactly symmetric (the pass fills both triangles from one sum)
    Vector x(st.gpsi.size());
    if (small::cholesky_solve(st.Hpsi, st.gpsi, small::kGramPosed, x)) {
        step = s * x;
        return true;
    }
    const Eigen::SelfAdjointEigenSolver<Matrix> es(0.5 * (st.Hpsi + st.Hpsi.transpose()));
    const Vector& lam = es.eigenvalues();
    const Eigen::Index p = lam.size();
    if (!(lam(0) > std::max(lam(p - 1), 0.0) * 1e-10)) return false;
    const Matrix& V = es.eigenvectors();
    step = s * (V * ((V.transpose() * st.gpsi).array() / lam.array()).matrix());
    return true;
}

// `d`: the search's points, whose M-scale of the stage-1 residuals the M-step
// holds where it is less than the set's scale (null: the set's scale).
Refit robust_refit(Runner& run, const Columns& cols, const Stage1& s1, bool robust, const FitData* d) {
    const int p = cols.p();
    Refit out;
    out.rounds = s1.rounds;
    double s = s1.sigma;
    if (!robust || s1.count <= p || s == 0) {
        const PassSums st = cols.cut(run.run(s1.ev));
        ++out.rounds;
        const Vector b = solve(cols, st);
        double rss = rss_of(st, b);
        if (rss <= kNearExact * st.vv) {
            rss = run.run(run.eval(cols.pad(b), kInf), &s1.ev).prev_rr;
            ++out.rounds;
        }
        covariance(st, cols, rss, out);
        out.coef = b;
        out.final = s1.ev;
        out.n_inliers = st.count;
        out.scale = out.sigma;
        out.wcount = st.wcount;
        return out;
    }
    // the variance model, from the stage-1 solve's residuals over its set
    // (made by the consensus set's last round where it could tell it was last)
    const PassSums vst = s1.has_variance ? s1.variance : run.run(run.eval(s1.coef, kCut * s), nullptr, true);
    ++out.rounds;
    Vector g;
    double pval = kNaN;
    const bool has_g = variance_model(vst, p, g, pval);
    // the bisquare M-step at the held scale. The set's scale is the root mean
    // square within kCut scales: with heavy tails (t2, say) well above the
    // noise's spread, and a bisquare that wide weighs the tails like least
    // squares. The M-scale of every point gauges the spread as an S-estimate
    // does and breaks only when half the points are wrong, where it grows and
    // the set's scale is held. Not where the noise varies along the variables
    // (even short of the variance model's level): there the wider scale keeps
    // the noisy region's points.
    if (!has_g && d != nullptr && !(pval <= kTailAlpha)) {
        const double m = sample_scale(*d, s1.coef);
        if (std::isfinite(m) && m > 0.0 && m < s) s = m;
    }
    const double c = kCMM * s;
    // A round's pass makes only the sums its use needs: Newton's step, or, on
    // the last round (known before its pass: the step that led to it was
    // small), the covariance's. The reweighted step, where Newton's fails, and
    // a covariance after a round that kept too few rows take the same pass
    // again with the sums they need (the same bits: each sum is made alone).
    const auto m_pass = [&](const Eval& e, unsigned sums) { return cols.cut(run.run(e, nullptr, false, kNaN, sums)); };
    Eval ev = run.bisquare_eval(s1.coef, c, has_g, g);
    PassSums st = m_pass(ev, kMSumsStep);
    bool has_covariance = false;
    ++out.rounds;
    for (int round = 0; round < kMaxMmRounds; ++round) {
        if (st.count < p) break;
        Vector step;
        const Vector new_b = cols.pad(newton_step(st, s, step) ? Vector(cols.take(ev.coef) + step)
                                                               : solve(cols, m_pass(ev, kMSumsReweight)));
        const double moved = (new_b - ev.coef).cwiseAbs().maxCoeff();
        const bool last = moved <= kMmTol * (1.0 + new_b.cwiseAbs().maxCoeff()) || round + 1 == kMaxMmRounds;
        ev = run.bisquare_eval(new_b, c, has_g, g);
        st = m_pass(ev, last ? kMSumsCovariance : kMSumsStep);
        has_covariance = last;
        ++out.rounds;
        if (last) break;
    }
    if (!has_covariance) st = m_pass(ev, kMSumsCovariance);
    out.coef = cols.take(ev.coef);
    mm_covariance(st, cols, s, out);
    out.final = ev;
    out.n_inliers = st.count;
    out.heteroscedastic = has_g;
    out.scale = s;
    out.wcount = st.wcount;
    return out;
}

Eigen::VectorXi columns_up_to(const std::vector<int>& degrees, int deg) {
    std::vector<int> idx;
    for (std::size_t i = 0; i < degrees.size(); ++i) {
        if (degrees[i] <= deg) idx.push_back(static_cast<int>(i));
    }
    return Eigen::Map<const Eigen::VectorXi>(idx.data(), static_cast<Eigen::Index>(idx.size()));
}

struct DegreeChoice {
    int degree = 0;
    Columns cols;
    Stage1 s1;
};

// deg="auto": every candidate's consensus rounds from one start, and the one
// of least sum_i min(r_i^2 / s^2, ...) (every point's bisquare rho) + p log n.
DegreeChoice choose_degree(Runner& run, const RefitConfig& config, const Eval& band, const Stage1& top_s1,
                           double n, int width, std::vector<DegreeRow>& table) {
    const int top = config.top;
    const PassSums first = top_s1.has_first ? top_s1.first : run.run(band);
    const double sigma = top_s1.sigma > 0 ? top_s1.sigma : 1e-300;
    std::vector<DegreeChoice> cands(static_cast<std::size_t>(top + 1));
    std::vector<double> crit(static_cast<std::size_t>(top + 1));
    table.assign(static_cast<std::size_t>(top + 1), DegreeRow{});
    for (int deg = top; deg >= 0; --deg) {
        Columns cols = make_columns(columns_up_to(config.degrees, deg), width, config);
        Stage1 s1 = deg == top ? top_s1 : consensus_rounds(run, cols, band, &first, sigma);
        double clipped = s1.clipped;
        if (deg == top || !std::isfinite(clipped)) clipped = run.run(run.eval(s1.coef, kInf), nullptr, false, sigma).clipped;
        const double m = std::max(s1.size(), 1.0);
        const double bic = m * std::log(std::max(s1.rss, 1e-300) / m) + cols.p() * std::log(m);
        const double c = clipped + cols.p() * std::log(n);
        const auto k = static_cast<std::size_t>(deg);
        table[k] = DegreeRow{deg, cols.p(), c, bic, s1.count};
        crit[k] = c;
        cands[k] = DegreeChoice{deg, std::move(cols), std::move(s1)};
    }
    // least criterion, the lower degree on a tie; candidates taken from the top
    // down, and one whose criterion is NaN never replaces the one held
    std::size_t best = static_cast<std::size_t>(top);
    for (int deg = top - 1; deg >= 0; --deg) {
        const auto k = static_cast<std::size_t>(deg);
        const bool less = crit[k] == crit[best] ? k < best : crit[k] < crit[best];
        if (less) best = k;
    }
    return std::move(cands[best]);
}

// The search on the sample's columns `cols`, coefficients padded to full width.
void run_search(const FitData& d, const Columns& cols, const SearchConfig& sc, Vector& coef, double& energy) {
    Matrix P(d.Phi_s->rows(), cols.p());
    for (int j = 0; j < cols.p(); ++j) P.col(j) = d.Phi_s->col(cols.index(j));
    const TournamentMCMC engine(sc.n_chains, sc.n_warmup, sc.n_deep, sc.n_elite, sc.step_size, 20, sc.seed);
    int constant = -1;
    if (sc.centred && P.rows() > 0) {
        for (int j = 0; j < P.cols() && constant < 0; ++j) {
            if ((P.col(j).array() == 1.0).all()) constant = j;
        }
    }
    if (constant < 0) {
        const MCMCResult r = engine.fit(P, *d.v_s, nullptr, nullptr, 0.0, 0.0);
        coef = cols.pad(r.beta_mcmc);
        energy = r.energy;
        return;
    }
    // columns mapped to [-1, 1] on these points, where the chains reach their
    // coefficients; the constant columns kept (zelt_fit._engine.search says why)
    const Eigen::Index k = P.cols();
    Vector center(k), half(k);
    for (Eigen::Index j = 0; j < k; ++j) {
        const double lo = P.col(j).minCoeff(), hi = P.col(j).maxCoeff();
        center(j) = 0.5 * lo + 0.5 * hi;
        half(j) = 0.5 * hi - 0.5 * lo;
        if ((P.col(j).array() == 1.0).all()) {
            center(j) = 0.0;
            half(j) = 1.0;
        }
        if (half(j) == 0) {
            center(j) = 0.0;
            half(j) = 1.0;
        }
    }
    Matrix Pc(P.rows(), k);
    for (Eigen::Index j = 0; j < k; ++j) Pc.col(j) = (P.col(j).array() - center(j)) / half(j);
    const MCMCResult r = engine.fit(Pc, *d.v_s, nullptr, nullptr, 0.0, 0.0);
    Vector b = r.beta_mcmc.array() / half.array();
    b(constant) -= center.dot(b);
    coef = cols.pad(b);
    energy = r.energy;
}

Matrix sample_columns(const Matrix& Phi, const Columns& cols) {
    Matrix P(Phi.rows(), cols.p());
    for (int j = 0; j < cols.p(); ++j) P.col(j) = Phi.col(cols.index(j));
    return P;
}

}  // namespace

RowEvaluation final_evaluation(const FitOutcome& out) {
    RowEvaluation e{out.final_coef, out.final_cut};
    e.g = out.has_g ? &out.g : nullptr;
    e.has_bisquare = out.has_bisquare;
    e.bisquare = out.bisquare;
    e.tuning = kCMM;
    return e;
}

FitOutcome robust_fit(const FitData& d, const RefitConfig& config) {
    if (d.terms == nullptr || d.scaling == nullptr || d.Phi_s == nullptr || d.v_s == nullptr) {
        throw std::invalid_argument("robust_fit: missing data");
    }
    const int width = static_cast<int>(d.terms->rows());
    if (static_cast<int>(config.degrees.size()) != width || d.Phi_s->cols() != width) {
        throw std::invalid_argument("robust_fit: degrees and the sample's columns must match the terms");
    }
    const bool penalised = config.slope != 0.0 || config.curvature != 0.0;
    if (penalised && (config.R1 == nullptr || config.R2 == nullptr || config.R1->rows() != width ||
                      config.R2->rows() != width)) {
        throw std::invalid_argument("robust_fit: a penalty needs R1 and R2 of the terms' size");
    }
    Runner run(d);
    Eigen::VectorXi all(width);
    for (int i = 0; i < width; ++i) all(i) = i;
    Columns cols = make_columns(config.auto_degree ? columns_up_to(config.degrees, config.top) : all, width, config);

    FitOutcome out;
    run_search(d, cols, config.search, out.found_coef, out.found_energy);
    // the search's band, and two more starts on its points: Tukey's biweight,
    // and the S-estimate, which bad leverage points cannot pull
    const Matrix P_s = sample_columns(*d.Phi_s, cols);
    std::vector<Eval> starts;
    const Eval band = run.eval(out.found_coef, d.tolerance);
    starts.push_back(band);
    const BiweightStart bw = biweight_start(P_s, *d.v_s, 4.685, 50);
    starts.push_back(run.eval(cols.pad(bw.coef), bw.scale > 0 ? kCut * bw.scale : kInf));
    SEstimate high;
    if (s_estimate(P_s, *d.v_s, config.search.seed, -1, kCS, kBS, kSPolish, high)) {
        starts.push_back(run.eval(cols.pad(high.coef), high.scale > 0 ? kCut * high.scale : 1e-300));
    }
    BestStart chosen;
    if (d.sample == nullptr) {
        chosen = best_start(run, d, cols, starts);
    } else {
        // every start's rounds on the search's points; the chosen one's set
        // then redrawn over every row from its solve there
        Runner srun(*d.sample);
        std::vector<Eval> own;
        for (const Eval& e : starts) own.push_back(srun.eval(e.coef, e.cut));
        chosen = best_start(srun, d, cols, own);
        const Stage1& t = chosen.s1;
        chosen.s1 = consensus_rounds(run, cols, run.eval(t.coef, t.sigma > 0 ? kCut * t.sigma : 1e-300), nullptr,
                                     kNaN, !penalised);
    }
    out.start = chosen.index;
    Stage1 s1 = std::move(chosen.s1);
    out.degree = config.top;
    if (config.auto_degree) {
        DegreeChoice dc = choose_degree(run, config, starts[static_cast<std::size_t>(out.start)], s1, d.total, width,
                                        out.table);
        out.degree = dc.degree;
        cols = std::move(dc.cols);
        s1 = std::move(dc.s1);
    }
    Refit refit = robust_refit(run, cols, s1, !penalised, &d);
    const double min_set = std::floor((d.total + 1.0) / 2.0);
    if (refit.wcount < min_set) {
        // the set fell below half the points: the S-estimate of the chosen columns alone
        bool rescued = false;
        SEstimate again_s;
        const Matrix P_c = sample_columns(*d.Phi_s, cols);
        if (s_estimate(P_c, *d.v_s, config.search.seed, -1, kCS, kBS, kSPolish, again_s) && again_s.scale > 0) {
            const Vector coef = cols.pad(again_s.coef);
            const Vector r = *d.v_s - *d.Phi_s * coef;
            Stage1 hs;
            hs.coef = coef;
            hs.ev = run.eval(coef, kCut * again_s.scale);
            hs.count = (r.array().abs() <= kCut * again_s.scale).count();
            hs.sigma = again_s.scale;
            const Refit again = robust_refit(run, cols, hs, !penalised, &d);
            if (again.wcount >= min_set) {
                refit = again;
                rescued = true;
            }
        }
        if (!rescued) {
            out.ok = false;
            out.failed_inliers = refit.n_inliers;
            out.index = cols.index;
            return out;
        }
    }
    out.ok = true;
    out.index = cols.index;
    out.coef = refit.coef;
    out.final_coef = refit.final.coef;
    out.final_cut = refit.final.cut;
    out.has_g = refit.final.has_g;
    out.g = refit.final.g;
    out.has_bisquare = refit.final.has_bisquare;
    out.bisquare = refit.final.bisquare;
    out.n_inliers = refit.n_inliers;
    out.rounds = refit.rounds;
    out.cov_unit = refit.cov_unit;
    out.sigma = refit.sigma;
    out.dof = refit.dof;
    out.heteroscedastic = refit.heteroscedastic;
    out.scale = refit.scale;
    out.wcount = refit.wcount;
    if (d.final_keep != nullptr) {
        // the last pass evaluated the final fit (the M-step's last round): its rows, not another pass
        if (const std::uint8_t* kept = run.kept_by(refit.final)) {
            std::copy(kept, kept + d.n, d.final_keep);
            out.keep_written = true;
        }
    }
    return out;
}

namespace {

// One series of a batch on the rows X, y: its fit, and its rows' membership
// and weights when it has one (returns whether it has).
template <class TX, class TY>
bool fit_one_series(const SeriesBatch& b, const RefitConfig& config, int k, const StridedView<TX>& X,
                    const StridedView<TY>& y, const Vector& x_center, const Vector& x_scale,
                    const double* case_weights, double total, const std::int64_t* sample, std::int64_t sample_size,
                    const Matrix& Phi_s, int top, FitOutcome& o, std::uint8_t* keep, double* weight) {
    if (Phi_s.rows() != sample_size) {
        throw std::invalid_argument("robust_fit_batch: the sample's design must have a row per sample index");
    }
    for (std::int64_t i = 0; i < sample_size; ++i) {
        if (sample[i] < 0 || sample[i] >= X.rows) throw std::invalid_argument("robust_fit_batch: sample index out of range");
    }
    const RowScaling scaling{x_center, x_scale, b.y_center[k], b.y_scale[k]};
    // the search's targets: y at the sample rows on the scaled problem
    Vector v_s(sample_size);
    for (std::int64_t i = 0; i < sample_size; ++i) v_s(i) = (y.at(sample[i], 0) - b.y_center[k]) / b.y_scale[k];
    FitData d;
    d.n = X.rows;
    d.pass = [&](const RowEvaluation& ev, const PassOptions& opt) {
        return row_pass(X, y, *b.terms, scaling, ev, opt);
    };
    d.terms = b.terms;
    d.scaling = &scaling;
    d.case_weights = case_weights;
    d.total = total;
    d.tolerance = b.tolerance[k];
    d.Phi_s = &Phi_s;
    d.v_s = &v_s;
    // the search's points as rows of their own where they are fewer than the
    // rows (a copy of a few thousand rows)
    FitData ds;
    std::vector<double> Xs, ys;
    StridedView<double> Xs_view, ys_view;
    if (sample_size < X.rows) {
        const std::int64_t dim = X.cols;
        Xs.resize(static_cast<std::size_t>(sample_size * dim));
        ys.resize(static_cast<std::size_t>(sample_size));
        for (std::int64_t i = 0; i < sample_size; ++i) {
            for (std::int64_t j = 0; j < dim; ++j) Xs[static_cast<std::size_t>(i * dim + j)] = X.at(sample[i], j);
            ys[static_cast<std::size_t>(i)] = y.at(sample[i], 0);
        }
        Xs_view.data = reinterpret_cast<const unsigned char*>(Xs.data());
        Xs_view.rows = sample_size;
        Xs_view.cols = dim;
        Xs_view.row_stride = dim * static_cast<std::int64_t>(sizeof(double));
        ys_view.data = reinterpret_cast<const unsigned char*>(ys.data());
        ys_view.rows = sample_size;
        ds = d;
        ds.n = sample_size;
        ds.pass = [&](const RowEvaluation& ev, const PassOptions& opt) {
            return row_pass(Xs_view, ys_view, *b.terms, scaling, ev, opt);
        };
        ds.case_weights = nullptr;
        ds.total = static_cast<double>(sample_size);
        ds.final_keep = nullptr;
        d.sample = &ds;
    }
    // the memberships from the fit's last pass where no weights are asked for
    d.final_keep = weight == nullptr ? keep : nullptr;
    if (top == config.top) {
        o = robust_fit(d, config);
    } else {
        RefitConfig own = config;
        own.top = top;
        o = robust_fit(d, own);
    }
    if (!o.ok) return false;
    if (!o.keep_written) {
        row_inliers(X, y, *b.terms, scaling, final_evaluation(o), keep, weight, PassOptions{}.block_rows);
    }
    return true;
}

template <class TX, class TY>
std::vector<FitOutcome> fit_batch_rows(const SeriesBatch& b, const StridedView<TX>& X, const RefitConfig& config,
                                       std::uint8_t* keep, double* weight);

}  // namespace

std::vector<FitOutcome> robust_fit_batch(const SeriesBatch& b, const RefitConfig& config, std::uint8_t* keep,
                                         double* weight) {
    if (b.x_single) {
        return b.y_single ? fit_batch_rows<float, float>(b, b.X_single, config, keep, weight)
                          : fit_batch_rows<float, double>(b, b.X_single, config, keep, weight);
    }
    return b.y_single ? fit_batch_rows<double, float>(b, b.X, config, keep, weight)
                      : fit_batch_rows<double, double>(b, b.X, config, keep, weight);
}

namespace {

template <class TX, class TY>
std::vector<FitOutcome> fit_batch_rows(const SeriesBatch& b, const StridedView<TX>& X, const RefitConfig& config,
                                       std::uint8_t* keep, double* weight) {
    if (b.m < 0 || b.m > 2147483647) throw std::invalid_argument("robust_fit_batch: too many series");
    if (b.Phi_s == nullptr) throw std::invalid_argument("robust_fit_batch: no sample design");
    const std::int64_t n = X.rows;
    const InterruptScope interruptible;
    std::vector<FitOutcome> out(static_cast<std::size_t>(b.m));
    const int count = static_cast<int>(b.m);
    if (b.own != nullptr && static_cast<std::int64_t>(b.own->size()) != b.m) {
        throw std::invalid_argument("robust_fit_batch: own rows must be given for every series (or none)");
    }
    for_each_index_on_team(count, count > 1 && thread_team_usable(), [&](int k) {
        FitOutcome& o = out[static_cast<std::size_t>(k)];
        std::uint8_t* keep_k = keep + static_cast<std::int64_t>(k) * n;
        double* weight_k = weight != nullptr ? weight + static_cast<std::int64_t>(k) * n : nullptr;
        std::fill(keep_k, keep_k + n, std::uint8_t{0});
        if (weight_k != nullptr) std::fill(weight_k, weight_k + n, 0.0);
        StridedView<TY> y;
        y.data = b.Y + static_cast<std::int64_t>(k) * b.y_col_stride;
        y.rows = n;
        y.cols = 1;
        y.row_stride = b.y_row_stride;
        const SeriesRows* own = b.own != nullptr ? (*b.own)[static_cast<std::size_t>(k)] : nullptr;
        try {
            if (own == nullptr) {
                fit_one_series(b, config, k, X, y, *b.x_center, *b.x_scale, b.case_weights, b.total, b.sample,
                               b.sample_size, *b.Phi_s, config.top, o, keep_k, weight_k);
                return;
            }
            // its own rows gathered (a short series: a copy costs little next to its fit)
            const auto m_rows = static_cast<std::int64_t>(own->rows.size());
            const std::int64_t d = X.cols;
            std::vector<double> Xk(static_cast<std::size_t>(m_rows * d)), yk(static_cast<std::size_t>(m_rows)),
                wk(own->weighted ? static_cast<std::size_t>(m_rows) : 0);
            for (std::int64_t i = 0; i < m_rows; ++i) {
                const std::int64_t r = own->rows[static_cast<std::size_t>(i)];
                if (r < 0 || r >= n) throw std::invalid_argument("robust_fit_batch: a series' row out of range");
                for (std::int64_t j = 0; j < d; ++j) Xk[static_cast<std::size_t>(i * d + j)] = X.at(r, j);
                yk[static_cast<std::size_t>(i)] = y.at(r, 0);
                if (own->weighted) wk[static_cast<std::size_t>(i)] = b.case_weights[r];
            }
            StridedView<double> Xv;
            StridedView<double> yv;
            Xv.data = reinterpret_cast<const unsigned char*>(Xk.data());
            Xv.rows = m_rows;
            Xv.cols = d;
            Xv.row_stride = d * static_cast<std::int64_t>(sizeof(double));
            Xv.col_stride = sizeof(double);
            yv.data = reinterpret_cast<const unsigned char*>(yk.data());
            yv.rows = m_rows;
            std::vector<std::uint8_t> keep_own(static_cast<std::size_t>(m_rows));
            std::vector<double> weight_own(weight_k != nullptr ? static_cast<std::size_t>(m_rows) : 0);
            if (!fit_one_series(b, config, k, Xv, yv, own->x_center, own->x_scale,
                                own->weighted ? wk.data() : nullptr, own->total, own->sample.data(),
                                static_cast<std::int64_t>(own->sample.size()), own->Phi_s, own->top, o,
                                keep_own.data(), weight_k != nullptr ? weight_own.data() : nullptr)) {
                return;
            }
            for (std::int64_t i = 0; i < m_rows; ++i) {
                const std::int64_t r = own->rows[static_cast<std::size_t>(i)];
                keep_k[r] = keep_own[static_cast<std::size_t>(i)];
                if (weight_k != nullptr) weight_k[r] = weight_own[static_cast<std::size_t>(i)];
            }
        } catch (const Interrupted&) {
            throw;
        } catch (const std::exception& e) {
            o = FitOutcome{};
            o.error = e.what();
            std::fill(keep_k, keep_k + n, std::uint8_t{0});
            if (weight_k != nullptr) std::fill(weight_k, weight_k + n, 0.0);
        }
    });
    return out;
}

}  // namespace

}  // namespace zelt
