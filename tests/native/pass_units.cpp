// Checks of the pass's choice of sums (row_pass.hpp, PassOptions::m_sums):
// an M-step round that makes only some of its sums makes each of them with
// the same bits as a round that makes all, and leaves the others empty; a
// pass that adds the variance model's sums and the comparison with a previous
// evaluation leaves every other sum's bits alone. Over one and two variables,
// with and without case weights and a variance model, serially and on the
// team. In one variable, the Grams made from the power moments agree with
// the products of every pair of columns, and every other sum keeps its bits.
// The tiles' log is within 2 ulp of the C library's over the positive doubles
// the pass gives it. Prints one "name count" line per check, which
// tests/test_compiled_pass.py expects to be 0, and "sums_hash" of every sum's
// bits, which must not depend on the build (pass_units_sse2: SSE2 tiles only).

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <random>
#include <vector>

#include "row_pass.hpp"
#include "tile_log.hpp"

namespace {

using zelt::Matrix;
using zelt::PassOptions;
using zelt::PassSums;
using zelt::Vector;

bool same(const Matrix& a, const Matrix& b) {
    // (an empty matrix has no data pointer, which memcmp must not be given)
    return a.rows() == b.rows() && a.cols() == b.cols() &&
           (a.size() == 0 ||
            std::memcmp(a.data(), b.data(), sizeof(double) * static_cast<std::size_t>(a.size())) == 0);
}
bool same(const Vector& a, const Vector& b) {
    return a.size() == b.size() &&
           (a.size() == 0 ||
            std::memcmp(a.data(), b.data(), sizeof(double) * static_cast<std::size_t>(a.size())) == 0);
}
bool same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// entries within rtol of the largest magnitude of a
bool close(const Matrix& a, const Matrix& b, double rtol) {
    return a.rows() == b.rows() && a.cols() == b.cols() && a.size() > 0 &&
           (a - b).cwiseAbs().maxCoeff() <= rtol * a.cwiseAbs().maxCoeff();
}

// FNV-1a over the bits of every sum of a pass
struct BitsHash {
    std::uint64_t h = 1469598103934665603ull;
    void add(const double* x, std::int64_t n) {
        const auto* b = reinterpret_cast<const unsigned char*>(x);
        for (std::int64_t i = 0; i < n * static_cast<std::int64_t>(sizeof(double)); ++i) {
            h = (h ^ b[i]) * 1099511628211ull;
        }
    }
    void add(const Matrix& m) { add(m.data(), m.size()); }
    void add(const Vector& v) { add(v.data(), v.size()); }
    void add(const PassSums& s) {
        for (const Matrix* m : {&s.G, &s.Gu, &s.Hpsi, &s.QQ}) add(*m);
        for (const Vector* v : {&s.h, &s.gpsi, &s.Qz}) add(*v);
        const double scalars[] = {s.vv, s.tt, s.psi2, s.dpsi, s.dpsi2, s.z1, s.z2, s.clipped, s.prev_rr,
                                  s.wcount, static_cast<double>(s.count), static_cast<double>(s.changed)};
        add(scalars, sizeof scalars / sizeof scalars[0]);
    }
};

std::int64_t ordered(double x) {
    std::int64_t i;
    std::memcpy(&i, &x, sizeof i);
    return i;
}

// Values where the log's error is largest: many positive doubles from 1e-300
// to the largest, spread over the exponents, and densely about 1; the count
// of those off the C library's log by more than 2 ulp, and the largest error.
long log_failures(std::mt19937_64& gen, long& worst_ulp) {
    std::uniform_real_distribution<double> exponent(std::log2(1e-300), 1024.0);
    std::uniform_real_distribution<double> near_one(0.5, 2.0);
    std::vector<double> xs = {1e-300, 1.0, 2.0, 0.5, 0.7071067811865476, 1.4142135623730951,
                              std::nextafter(1.0, 0.0), std::nextafter(1.0, 2.0), 1.7976931348623157e308};
    for (int i = 0; i < 2000000; ++i) {
        xs.push_back(i % 2 ? std::exp2(exponent(gen)) : near_one(gen));
    }
    long bad = 0;
    worst_ulp = 0;
    for (const double x : xs) {
        if (!std::isfinite(x) || x < 1e-300) continue;
        const double mine = zelt::tile_log(x), theirs = std::log(x);
        const long ulp = (mine < 0) != (theirs < 0) && mine != 0.0 && theirs != 0.0
                             ? 1000000L
                             : static_cast<long>(std::llabs(ordered(std::abs(mine)) - ordered(std::abs(theirs))));
        worst_ulp = std::max(worst_ulp, ulp);
        bad += ulp > 2;
    }
    bad += !same(zelt::tile_log(1.0), 0.0);
    return bad;
}

}  // namespace

int main() {
    std::mt19937_64 gen(20261210);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    long selection_bad = 0, variance_bad = 0, moment_bad = 0;
    BitsHash hash;
    for (int d = 1; d <= 2; ++d) {
        for (int weighted = 0; weighted <= 1; ++weighted) {
            for (int modelled = 0; modelled <= 1; ++modelled) {
                const std::int64_t n = 40000 + 777 * d;  // several row blocks, the last one short
                std::vector<double> X(static_cast<std::size_t>(n * d)), y(static_cast<std::size_t>(n)),
                    cw(static_cast<std::size_t>(n));
                for (std::int64_t i = 0; i < n; ++i) {
                    double f = 0.5;
                    for (int j = 0; j < d; ++j) {
                        const double u = uniform(gen);
                        X[static_cast<std::size_t>(i * d + j)] = 3.0 + 2.0 * u;
                        f += u - 0.7 * u * u;
                    }
                    y[static_cast<std::size_t>(i)] = f + 0.1 * normal(gen) + (i % 5 == 0 ? 4.0 : 0.0);
                    cw[static_cast<std::size_t>(i)] = 0.5 + 0.5 * (uniform(gen) + 1.0);
                }
                zelt::StridedView<double> Xv, yv;
                Xv.data = reinterpret_cast<const unsigned char*>(X.data());
                Xv.rows = n;
                Xv.cols = d;
                Xv.row_stride = d * static_cast<std::int64_t>(sizeof(double));
                yv.data = reinterpret_cast<const unsigned char*>(y.data());
                yv.rows = n;
                zelt::TermMatrix terms(1 + 2 * d, d);
                terms.setZero();
                for (int j = 0; j < d; ++j) {
                    terms(1 + 2 * j, j) = 1;
                    terms(2 + 2 * j, j) = 2;
                }
                const Vector xc = Vector::Constant(d, 3.0), xs = Vector::Constant(d, 2.0);
                const zelt::RowScaling scaling{xc, xs, 0.2, 1.5};
                Vector coef(terms.rows());
                for (Eigen::Index k = 0; k < coef.size(); ++k) coef(k) = 0.3 * normal(gen);
                Vector g = Vector::Zero(1 + 2 * d);
                g(1) = 0.4;
                zelt::RowEvaluation mm{coef, 0.4};
                mm.has_bisquare = true;
                mm.bisquare = 0.4;
                mm.g = modelled ? &g : nullptr;
                PassOptions all;
                all.case_weights = weighted ? cw.data() : nullptr;
                const PassSums full = zelt::row_pass(Xv, yv, terms, scaling, mm, all);
                for (unsigned sums = 0; sums < 8; ++sums) {
                    PassOptions some = all;
                    some.m_sums = sums;
                    const PassSums part = zelt::row_pass(Xv, yv, terms, scaling, mm, some);
                    const bool step = sums & zelt::kMSumsStep, rew = sums & zelt::kMSumsReweight,
                               cov = sums & zelt::kMSumsCovariance;
                    selection_bad += part.count != full.count || !same(part.wcount, full.wcount) ||
                                     !same(part.tt, full.tt);
                    selection_bad += step ? !same(part.Hpsi, full.Hpsi) || !same(part.gpsi, full.gpsi)
                                          : part.Hpsi.size() != 0 || part.gpsi.size() != 0;
                    selection_bad += rew ? !same(part.G, full.G) || !same(part.h, full.h) || !same(part.vv, full.vv)
                                         : part.G.size() != 0 || part.h.size() != 0 || part.vv != 0.0;
                    selection_bad += cov ? !same(part.Gu, full.Gu) || !same(part.psi2, full.psi2) ||
                                               !same(part.dpsi, full.dpsi) || !same(part.dpsi2, full.dpsi2)
                                         : part.Gu.size() != 0 || part.psi2 != 0.0;
                }
                // a cut round: its sums alone, then with the variance model's, a
                // previous evaluation's comparison and the clip sum added
                const zelt::RowEvaluation cut{coef, 0.5};
                Vector before = coef;
                before(0) += 0.3;
                const zelt::RowEvaluation previous{before, 0.3};
                PassOptions plain;
                plain.case_weights = all.case_weights;
                const PassSums alone = zelt::row_pass(Xv, yv, terms, scaling, cut, plain);
                PassOptions more = plain;
                more.variance = true;
                more.previous = &previous;
                more.has_clip = true;
                more.clip = 0.3;
                const PassSums fused = zelt::row_pass(Xv, yv, terms, scaling, cut, more);
                PassOptions var_only = plain;
                var_only.variance = true;
                const PassSums variance = zelt::row_pass(Xv, yv, terms, scaling, cut, var_only);
                variance_bad += !same(fused.G, alone.G) || !same(fused.h, alone.h) || !same(fused.vv, alone.vv) ||
                                fused.count != alone.count || !same(fused.wcount, alone.wcount) ||
                                !same(fused.tt, alone.tt);
                variance_bad += !same(fused.QQ, variance.QQ) || !same(fused.Qz, variance.Qz) ||
                                !same(fused.z1, variance.z1) || !same(fused.z2, variance.z2);
                variance_bad += fused.changed <= 0 || fused.QQ.rows() != 1 + 2 * d;
                for (const PassSums* s : {&full, &alone, &fused}) hash.add(*s);
                if (d != 1) continue;
                // one variable: the Grams from the power moments against the
                // products of the columns, the basis's powers in any order
                for (const int order : {0, 1}) {
                    zelt::TermMatrix cubic(4, 1);
                    cubic << 0, 1, 2, 3;
                    if (order == 1) cubic << 2, 0, 3, 1;
                    Vector c4(4);
                    for (Eigen::Index k = 0; k < 4; ++k) c4(k) = 0.3 * normal(gen);
                    zelt::RowEvaluation m4{c4, 0.4};
                    m4.has_bisquare = true;
                    m4.bisquare = 0.4;
                    m4.g = mm.g;
                    const zelt::RowEvaluation cut4{c4, 0.5};
                    for (const zelt::RowEvaluation* e : std::initializer_list<const zelt::RowEvaluation*>{&m4, &cut4, &mm, &cut}) {
                        const zelt::TermMatrix& t = e->coef.size() == 4 ? cubic : terms;
                        PassOptions fast = all;
                        fast.variance = true;
                        PassOptions slow = fast;
                        slow.power_moments = false;
                        const PassSums a = zelt::row_pass(Xv, yv, t, scaling, *e, fast);
                        const PassSums b = zelt::row_pass(Xv, yv, t, scaling, *e, slow);
                        moment_bad += !close(a.G, b.G, 1e-13) || !close(a.QQ, b.QQ, 1e-13);
                        if (e->has_bisquare) moment_bad += !close(a.Gu, b.Gu, 1e-13) || !close(a.Hpsi, b.Hpsi, 1e-13);
                        moment_bad += !same(a.h, b.h) || !same(a.Qz, b.Qz) || !same(a.gpsi, b.gpsi) ||
                                      !same(a.vv, b.vv) || !same(a.tt, b.tt) || !same(a.z1, b.z1) ||
                                      !same(a.z2, b.z2) || a.count != b.count || !same(a.psi2, b.psi2);
                        moment_bad += a.G != a.G.transpose();
                        hash.add(a);
                        hash.add(b);
                    }
                }
            }
        }
    }
    std::printf("selection_failures %ld\n", selection_bad);
    std::printf("variance_failures %ld\n", variance_bad);
    std::printf("moment_failures %ld\n", moment_bad);
    long worst_ulp = 0;
    std::printf("log_failures %ld\n", log_failures(gen, worst_ulp));
    std::printf("log_worst_ulp %ld\n", worst_ulp);
    std::printf("sums_hash %llu\n", static_cast<unsigned long long>(hash.h));
    return 0;
}
