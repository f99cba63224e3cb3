// The starts of the robust refit. Each function follows zelt_fit's NumPy
// reference step for step (the same thresholds, stopping rules, orderings and
// NaN comparisons), so that both give the same estimate to rounding.
#include "robust_start.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <utility>
#include <vector>

#include "fit.hpp"
#include "order_stats.hpp"
#include "small_solve.hpp"

namespace zelt {

namespace {

using Index = Eigen::Index;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
// the MAD of a standard normal: |r| / this is a consistent scale
constexpr double kMadNormal = 0.6744897501960817;

// fast-S's settings (see s_estimate's declaration)
constexpr int kSubsets = 500;
constexpr int kMinSubsets = 30;
constexpr int kFirstSteps = 1;
constexpr int kKeep = 1;
constexpr Index kScreenPoints = 500;
constexpr double kPolishTol = 1e-6;

constexpr std::uint64_t kSeedMix = 0x5345535453455354ULL;
constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ULL;

std::uint64_t splitmix_next(std::uint64_t& state) {
    state += kGolden;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

double median_of(std::vector<double>& values) { return median_in_place(values.data(), values.size()); }

// max |x|, NaN when x holds a NaN (as np.max)
template <class Derived>
double max_abs(const Eigen::MatrixBase<Derived>& x) {
    double out = -kInf;
    for (Index i = 0; i < x.size(); ++i) {
        const double a = std::abs(x[i]);
        if (std::isnan(a)) return kNaN;
        if (a > out) out = a;
    }
    return out;
}

// max |a - b| without forming the difference, NaN as max_abs
double max_abs_diff(const Vector& a, const Vector& b) {
    double out = -kInf;
    for (Index i = 0; i < a.size(); ++i) {
        const double d = std::abs(a[i] - b[i]);
        if (std::isnan(d)) return kNaN;
        if (d > out) out = d;
    }
    return out;
}

// Tukey's bisquare rho scaled to 1 beyond c, and its weight (1 - (t/c)^2)^2,
// written as the reference writes them (min(NaN, 1) stays NaN).
double bisquare_rho(double t, double c) {
    double u = t * (1.0 / c);
    u = 1.0 - std::min(u * u, 1.0);
    return 1.0 - u * u * u;
}

double bisquare_weight(double t, double c) {
    double u = t * (1.0 / c);
    u = 1.0 - std::min(u * u, 1.0);
    return u * u;
}

// fast-S's approximate scale of residuals r: the normalised MAD moved once
// towards the root of mean rho(r / s) = b; 0 where that MAD is not positive.
// `buf` is scratch of len(r).
double approximate_scale(const Vector& r, double c, double b, std::vector<double>& buf) {
    const std::size_t m = static_cast<std::size_t>(r.size());
    for (std::size_t i = 0; i < m; ++i) buf[i] = std::abs(r[static_cast<Index>(i)]);
    const double s0 = median_in_place(buf.data(), m) / kMadNormal;
    if (!(s0 > 0.0)) return 0.0;
    // the mean of rho, summed in row order
    double sum = 0.0;
    for (std::size_t i = 0; i < m; ++i) sum += bisquare_rho(r[static_cast<Index>(i)] / s0, c);
    return s0 * std::sqrt((sum / static_cast<double>(m)) / b);
}

// Scratch of the weighted solves, sized on first use and reused.
struct WeightedWork {
    Matrix PW;
    Matrix G;
    Vector h;
};

// Weighted least squares, the system Phi'W Phi refused where it is not of
// full rank by the reference's test on its eigenvalues (or not finite). A
// well-posed system (see small_solve.hpp) is solved by Cholesky's
// factorisation, the rest through the eigen-decomposition the test reads.
bool solve_weighted(const MatrixCRef& Phi, const VectorCRef& v, const Vector& w, WeightedWork& work, Vector& out) {
    work.PW.noalias() = Phi.transpose() * w.asDiagonal();
    work.G.noalias() = work.PW * Phi;
    if (!work.G.allFinite()) return false;
    work.h.noalias() = work.PW * v;
    if (small::cholesky_solve(work.G, work.h, small::kGramPosed, out)) return true;
    const Eigen::SelfAdjointEigenSolver<Matrix> eig(work.G);
    if (eig.info() != Eigen::Success) return false;
    const Vector& lam = eig.eigenvalues();  // ascending, as eigh's
    const Index p = lam.size();
    if (!(lam[0] > std::max(lam[p - 1], 0.0) * 1e-12)) return false;
    const Matrix& V = eig.eigenvectors();
    out = V * ((V.transpose() * work.h).array() / lam.array()).matrix();
    return true;
}

// The M-scale of m_scale_one with its scratch given (resized to 2 len(r)).
double m_scale_with(const VectorCRef& r, double c, double b, double s0, double tol, int iterations,
                    std::vector<double>& a);

// Reweighted least-squares steps of the S-objective from beta, the M-scale
// re-solved after each; returns the scale (beta moves in place).
double polish_candidate(const MatrixCRef& Phi, const VectorCRef& v, Vector& beta, double c, double b, int steps,
                        WeightedWork& work, std::vector<double>& buf) {
    const Index m = Phi.rows();
    Vector r(m);
    r.noalias() = v - Phi * beta;
    double s = m_scale_with(r, c, b, 0.0, 1e-12, 200, buf);
    Vector w(m), next(beta.size());
    for (int step = 0; step < steps; ++step) {
        if (!(s > 0.0)) break;
        for (Index i = 0; i < m; ++i) w[i] = bisquare_weight(r[i] / s, c);
        if (!solve_weighted(Phi, v, w, work, next)) break;
        const double moved = max_abs_diff(next, beta);
        beta = next;
        r.noalias() = v - Phi * beta;
        s = m_scale_with(r, c, b, s, 1e-12, 200, buf);
        if (moved <= kPolishTol * (1.0 + max_abs(beta))) break;
    }
    return s;
}

}  // namespace

int subset_count(int p) {
    const double share = 0.3, miss = 1e-3;
    const double clean = std::pow(1.0 - share, p);
    const double need = clean < 1.0 ? std::log(miss) / std::log1p(-clean) : 1.0;
    return static_cast<int>(std::min<double>(kSubsets, std::max<double>(kMinSubsets, std::ceil(need))));
}

namespace {

double m_scale_with(const VectorCRef& r, double c, double b, double s0, double tol, int iterations,
                    std::vector<double>& a) {
    const Index m = r.size();
    Index nonzero = 0;
    for (Index i = 0; i < m; ++i) nonzero += (r[i] != 0.0);  // NaN counts, as count_nonzero
    // mean rho(r / s) <= b for every s > 0: the scale of an exact fit
    if (static_cast<double>(nonzero) <= b * static_cast<double>(m)) return 0.0;
    // a[0, m): |r| in row order (the sums below run in it); a[m, 2m): the median's selection
    a.resize(2 * static_cast<std::size_t>(m));
    for (Index i = 0; i < m; ++i) a[static_cast<std::size_t>(i)] = std::abs(r[i]);
    double s = s0;
    if (!(s0 > 0.0)) {
        std::copy(a.begin(), a.begin() + m, a.begin() + m);
        s = median_in_place(a.data() + m, static_cast<std::size_t>(m)) / kMadNormal;
    }
    if (!(s > 0.0)) {
        double sum = 0.0;
        for (Index i = 0; i < m; ++i) sum += a[static_cast<std::size_t>(i)];
        s = (sum / static_cast<double>(m)) / kMadNormal;
        if (!(s > 0.0)) return 0.0;
    }
    const double n = static_cast<double>(m);
    double lo = 0.0, hi = kInf;
    for (int it = 0; it < iterations; ++it) {
        const double k = 1.0 / (c * s);
        double sum_rho = 0.0, sum_d = 0.0;
        for (Index i = 0; i < m; ++i) {
            const double t = a[static_cast<std::size_t>(i)] * k;
            const double u = std::min(t * t, 1.0);
            const double w = 1.0 - u;
            sum_rho += 1.0 - w * w * w;
            sum_d += 6.0 * u * w * w;
        }
        const double f = sum_rho / n - b;
        if (f > 0.0) {
            lo = s;
        } else {
            hi = s;
        }
        const double d = sum_d / n;
        double next = d > 0.0 ? s * (1.0 + f / d) : (f > 0.0 ? 2.0 * s : 0.5 * s);
        if (std::abs(next - s) <= tol * next) return next;
        // Newton's step left the bracket: bisect it geometrically (or widen it)
        if (!(lo < next && next < hi)) {
            next = (lo > 0.0 && std::isfinite(hi)) ? std::sqrt(lo * hi) : (f > 0.0 ? 2.0 * s : 0.5 * s);
        }
        s = next;
    }
    return s;
}

}  // namespace

double m_scale_one(const VectorCRef& r, double c, double b, double s0, double tol, int iterations) {
    std::vector<double> a;
    return m_scale_with(r, c, b, s0, tol, iterations, a);
}

bool s_estimate(const MatrixCRef& Phi, const VectorCRef& v, std::uint64_t seed, int subsets, double c, double b,
                int polish, SEstimate& out) {
    const Index m = Phi.rows(), p = Phi.cols();
    if (v.size() != m) throw std::invalid_argument("s_estimate: v must have one value per row of Phi");
    if (p == 0) throw std::invalid_argument("s_estimate: Phi has no columns");
    // the scales of non-finite residuals mean nothing (a NaN makes every
    // candidate's look 0): refused, as the reference refuses them
    if (!Phi.allFinite()) throw std::invalid_argument("s_estimate: Phi holds NaN or infinity");
    if (!v.allFinite()) throw std::invalid_argument("s_estimate: v holds NaN or infinity");
    if (m <= p) return false;
    const Index k = subsets < 0 ? subset_count(static_cast<int>(p)) : subsets;

    // k subsets of p indices, drawn row by row; those with a repeated row dropped
    std::vector<Index> idx;
    idx.reserve(static_cast<std::size_t>(k * p));
    std::vector<Index> row(static_cast<std::size_t>(p)), sorted(static_cast<std::size_t>(p));
    std::uint64_t state = seed ^ kSeedMix;
    const std::uint64_t mu = static_cast<std::uint64_t>(m);
    for (Index s = 0; s < k; ++s) {
        for (auto& j : row) j = static_cast<Index>(splitmix_next(state) % mu);
        sorted = row;
        std::sort(sorted.begin(), sorted.end());
        if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) continue;
        idx.insert(idx.end(), row.begin(), row.end());
    }
    if (idx.empty()) return false;

    // each subset's exact solve, kept where its smallest singular value is
    // above 1e-10 of its largest: by elimination where the system is plainly
    // well posed (small_solve.hpp), else by the SVD that the test reads
    const std::size_t drawn = idx.size() / static_cast<std::size_t>(p);
    Matrix cands(p, static_cast<Index>(drawn));  // column j: candidate j
    Index kept = 0;
    Matrix A(p, p);
    Vector rhs(p), x(p);
    for (std::size_t s = 0; s < drawn; ++s) {
        for (Index j = 0; j < p; ++j) {
            const Index i = idx[s * static_cast<std::size_t>(p) + static_cast<std::size_t>(j)];
            A.row(j) = Phi.row(i);
            rhs[j] = v[i];
        }
        if (small::lu_solve(A, rhs, small::kWellPosed, x)) {
            cands.col(kept++) = x;
            continue;
        }
        const Eigen::JacobiSVD<Matrix> svd(A, Eigen::ComputeFullU | Eigen::ComputeFullV);
        const Vector& S = svd.singularValues();  // descending
        if (!(S[p - 1] > S[0] * 1e-10)) continue;
        cands.col(kept++) = svd.matrixV() * ((svd.matrixU().transpose() * rhs).array() / S.array()).matrix();
    }
    if (kept == 0) return false;

    // screen on at most kScreenPoints rows spread over the points (rounded
    // linspace from 0 to m - 1); all of them read in place when they are fewer
    const Index ms = std::min(m, kScreenPoints);
    Matrix Ps_spread;
    Vector vs_spread;
    if (m > kScreenPoints) {
        Ps_spread.resize(ms, p);
        vs_spread.resize(ms);
        const double step = static_cast<double>(m - 1) / static_cast<double>(kScreenPoints - 1);
        for (Index i = 0; i < ms; ++i) {
            const Index src = (i == ms - 1) ? m - 1 : static_cast<Index>(std::nearbyint(static_cast<double>(i) * step));
            Ps_spread.row(i) = Phi.row(src);
            vs_spread[i] = v[src];
        }
    }
    const MatrixCRef Ps = m > kScreenPoints ? MatrixCRef(Ps_spread) : Phi;
    const VectorCRef vs = m > kScreenPoints ? VectorCRef(vs_spread) : v;
    std::vector<double> buf(static_cast<std::size_t>(ms));
    std::vector<double> scale(static_cast<std::size_t>(kept));
    Vector r(ms), w(ms), next(p);
    WeightedWork work;
    for (Index j = 0; j < kept; ++j) {
        r.noalias() = vs - Ps * cands.col(j);
        scale[static_cast<std::size_t>(j)] = approximate_scale(r, c, b, buf);
    }
    for (int step = 0; step < kFirstSteps; ++step) {
        bool any = false;
        for (double s : scale) any |= (s > 0.0);
        if (!any) break;
        for (Index j = 0; j < kept; ++j) {
            const double sj = scale[static_cast<std::size_t>(j)];
            r.noalias() = vs - Ps * cands.col(j);
            if (sj > 0.0) {
                for (Index i = 0; i < ms; ++i) w[i] = bisquare_weight(r[i] / sj, c);
                if (solve_weighted(Ps, vs, w, work, next) && next.allFinite()) {
                    cands.col(j) = next;
                    r.noalias() = vs - Ps * cands.col(j);
                }
            }
            // (a candidate left where it was keeps its residuals, and so its scale's bits)
            scale[static_cast<std::size_t>(j)] = approximate_scale(r, c, b, buf);
        }
    }

    // a candidate whose scale is 0 fits half the points exactly: as good as any
    std::vector<std::size_t> order(static_cast<std::size_t>(kept));
    std::iota(order.begin(), order.end(), std::size_t{0});
    auto key = [&](std::size_t j) { return std::isfinite(scale[j]) ? scale[j] : kInf; };
    std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) { return key(x) < key(y); });
    order.resize(std::min<std::size_t>(order.size(), kKeep));

    Vector best_coef;
    double best_scale = kNaN, best_key = kInf;
    std::vector<double> mbuf;
    for (std::size_t n = 0; n < order.size(); ++n) {
        Vector beta = cands.col(static_cast<Index>(order[n]));
        const double s = polish_candidate(Phi, v, beta, c, b, polish, work, mbuf);
        const double kk = std::isfinite(s) ? s : kInf;
        if (n == 0 || kk < best_key) {
            best_key = kk;
            best_scale = s;
            best_coef = std::move(beta);
        }
    }
    out.coef = std::move(best_coef);
    out.scale = best_scale;
    out.subsets = static_cast<int>(kept);
    return true;
}

namespace {

// Scratch of biweight_start's rounds, sized once per call.
struct LeastSquaresWork {
    Matrix QR;         // the Householder vectors below the diagonal, R above
    Vector rdiag;      // R's diagonal
    Vector rhs;        // Q'y
    small::SmallMatrix R;
};

// Least squares of y on X (m x p, m >= p) by Householder's QR, true when R
// is plainly well posed (small_solve.hpp), so that the core's SVD solve
// would keep every singular value and give the same solution to rounding;
// false (out untouched) otherwise, and the caller asks that solve.
bool qr_least_squares(const MatrixCRef& X, const VectorCRef& y, LeastSquaresWork& work, Vector& out) {
    const Index m = X.rows(), p = X.cols();
    if (p == 0 || p > small::kMaxSize || m < p) return false;
    work.QR = X;
    work.rhs = y;
    work.rdiag.resize(p);
    for (Index k = 0; k < p; ++k) {
        double norm2 = 0.0;
        for (Index i = k; i < m; ++i) norm2 += work.QR(i, k) * work.QR(i, k);
        const double norm = std::sqrt(norm2);
        if (!(norm > 0.0) || !std::isfinite(norm)) return false;
        const double head = work.QR(k, k);
        const double alpha = head > 0.0 ? -norm : norm;
        // v = x - alpha e1 in place; v'v = 2 (norm2 - alpha head)
        work.QR(k, k) = head - alpha;
        const double vv = 2.0 * (norm2 - alpha * head);
        work.rdiag[k] = alpha;
        for (Index j = k + 1; j < p; ++j) {
            double dot = 0.0;
            for (Index i = k; i < m; ++i) dot += work.QR(i, k) * work.QR(i, j);
            const double f = 2.0 * dot / vv;
            for (Index i = k; i < m; ++i) work.QR(i, j) -= f * work.QR(i, k);
        }
        double dot = 0.0;
        for (Index i = k; i < m; ++i) dot += work.QR(i, k) * work.rhs[i];
        const double f = 2.0 * dot / vv;
        for (Index i = k; i < m; ++i) work.rhs[i] -= f * work.QR(i, k);
    }
    work.R.setZero(p, p);
    for (Index i = 0; i < p; ++i) {
        work.R(i, i) = work.rdiag[i];
        for (Index j = i + 1; j < p; ++j) work.R(i, j) = work.QR(i, j);
    }
    return small::lu_solve(work.R, work.rhs.head(p), small::kWellPosed, out);
}

// The core's least-squares solve, by QR where that is certain to agree.
Vector least_squares(const Matrix& X, const VectorCRef& y, LeastSquaresWork& work) {
    Vector out(X.cols());
    if (qr_least_squares(X, y, work, out)) return out;
    return ols(X, y);
}

// The raw median absolute deviation of r (NaN when r holds one), as the
// core's mad computes it, in the scratch buf (2 len(r)).
double mad_with(const Vector& r, std::vector<double>& buf) {
    const std::size_t m = static_cast<std::size_t>(r.size());
    if (m == 0) return 0.0;
    buf.resize(m);
    for (std::size_t i = 0; i < m; ++i) buf[i] = r[static_cast<Index>(i)];
    const double med = median_in_place(buf.data(), m);
    if (std::isnan(med)) return kNaN;
    for (std::size_t i = 0; i < m; ++i) buf[i] = std::abs(r[static_cast<Index>(i)] - med);
    return median_in_place(buf.data(), m);
}

}  // namespace

BiweightStart biweight_start(const MatrixCRef& Phi, const VectorCRef& v, double c, int max_rounds) {
    const Index m = Phi.rows(), p = Phi.cols();
    const Matrix P = Phi;
    LeastSquaresWork work;
    Vector beta = least_squares(P, v, work);
    Vector r(m), w(m), sw(m), vw(m), next(p);
    Matrix Pw(m, p);
    std::vector<double> buf(static_cast<std::size_t>(m));
    for (int round = 0; round < max_rounds; ++round) {
        r.noalias() = v - P * beta;
        const double s = 1.4826 * mad_with(r, buf);
        if (!(s > 0.0)) break;
        const double cs = c * s;
        Index nonzero = 0;
        for (Index i = 0; i < m; ++i) {
            const double t = r[i] / cs;
            const double q = 1.0 - t * t;
            w[i] = std::abs(t) < 1.0 ? q * q : 0.0;
            nonzero += (w[i] != 0.0);
        }
        if (nonzero < p) break;
        sw = w.cwiseSqrt();
        Pw.noalias() = sw.asDiagonal() * P;
        vw = v.cwiseProduct(sw);
        if (!qr_least_squares(Pw, vw, work, next)) next = ols(Pw, vw);
        const double moved = max_abs_diff(next, beta);
        const bool done = moved <= 1e-6 * (1.0 + max_abs(next));
        beta.swap(next);
        if (done) break;
    }
    r.noalias() = v - P * beta;
    std::vector<double> a(static_cast<std::size_t>(m));
    for (Index i = 0; i < m; ++i) a[static_cast<std::size_t>(i)] = std::abs(r[i]);
    return BiweightStart{beta, 1.4826 * median_of(a)};
}

// ---- the F distribution's upper tail --------------------------------------

namespace {

// lgamma(x) - ((x - 1/2) log x - x + log(2 pi) / 2), by Stirling's series; for x >= 20
double stirling_correction(double x) {
    const double z = 1.0 / (x * x);
    const double tail = -1.0 / 1680.0 + z * (1.0 / 1188.0 + z * (-691.0 / 360360.0));
    return (1.0 / 12.0 + z * (-1.0 / 360.0 + z * (1.0 / 1260.0 + z * tail))) / x;
}

constexpr double kHalfLog2Pi = 0.91893853320467274178;

// log B(a, b). lgamma's difference loses digits when an argument is large
// (lgamma(5e4) is 5e5): there Stirling's series is combined by hand, every
// term of the size of the result.
double log_beta(double a, double b) {
    if (a > b) std::swap(a, b);  // a <= b
    if (b < 20.0) return std::lgamma(a) + std::lgamma(b) - std::lgamma(a + b);
    const double ab = a + b;
    const double corr = stirling_correction(b) - stirling_correction(ab);
    if (a < 20.0) {
        // lgamma(a + b) - lgamma(b) = (b - 1/2) log1p(a/b) + a log(a + b) - a + corrections
        const double rise = (b - 0.5) * std::log1p(a / b) + a * std::log(ab) - a - corr;
        return std::lgamma(a) - rise;
    }
    return kHalfLog2Pi - 0.5 * std::log(ab) + (a - 0.5) * std::log(a / ab) - (b - 0.5) * std::log1p(a / b) +
           stirling_correction(a) + corr;
}

// The continued fraction of I_x(a, b) (modified Lentz), valid and fast for
// x < (a + 1) / (a + b + 2). Near that point with one parameter large it
// takes thousands of terms, whose rounding adds up in double: the products
// run in long double (wider on x86; elsewhere the same as double).
double beta_fraction(double a_in, double b_in, double x_in) {
    using Real = long double;
    const Real a = a_in, b = b_in, x = x_in;
    const Real tiny = 1e-300L, eps = std::numeric_limits<Real>::epsilon();
    constexpr int max_terms = 100000;
    const Real qab = a + b, qap = a + 1, qam = a - 1;
    Real c = 1, d = 1 - qab * x / qap;
    if (std::abs(d) < tiny) d = tiny;
    d = 1 / d;
    Real h = d;
    for (int m = 1; m <= max_terms; ++m) {
        const Real rm = m, m2 = 2 * rm;
        Real aa = rm * (b - rm) * x / ((qam + m2) * (a + m2));
        d = 1 + aa * d;
        if (std::abs(d) < tiny) d = tiny;
        c = 1 + aa / c;
        if (std::abs(c) < tiny) c = tiny;
        d = 1 / d;
        h *= d * c;
        aa = -(a + rm) * (qab + rm) * x / ((a + m2) * (qap + m2));
        d = 1 + aa * d;
        if (std::abs(d) < tiny) d = tiny;
        c = 1 + aa / c;
        if (std::abs(c) < tiny) c = tiny;
        d = 1 / d;
        const Real del = d * c;
        h *= del;
        if (std::abs(del - 1) <= eps) break;
    }
    return static_cast<double>(h);
}

// I_x(a, b) with x and y = 1 - x both given (each formed without
// cancellation by the caller), for x below the fraction's switch point.
double beta_lower(double a, double b, double x, double y) {
    if (x <= 0.0) return 0.0;
    // x^a y^b / (a B(a, b)); the logarithms through log1p where the argument is near 1
    const double log_x = x > 0.5 ? std::log1p(-y) : std::log(x);
    const double log_y = y > 0.5 ? std::log1p(-x) : std::log(y);
    const double front = std::exp(a * log_x + b * log_y - std::log(a) - log_beta(a, b));
    return front * beta_fraction(a, b, x);
}

}  // namespace

double f_sf(double F, double d1, double d2) {
    if (std::isnan(F) || !(d1 > 0.0) || !(d2 > 0.0) || !std::isfinite(d1) || !std::isfinite(d2)) return kNaN;
    if (F <= 0.0) return 1.0;
    if (std::isinf(F)) return 0.0;
    // sf = I_y(d2/2, d1/2) with y = d2 / (d2 + d1 F) = 1 - x
    const double a = 0.5 * d2, b = 0.5 * d1;
    const double d1F = d1 * F;
    const double y = d2 / (d2 + d1F), x = d1F / (d2 + d1F);
    if (y < (a + 1.0) / (a + b + 2.0)) return beta_lower(a, b, y, x);
    return 1.0 - beta_lower(b, a, x, y);
}

}  // namespace zelt
