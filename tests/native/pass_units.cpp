// Checks of the pass's choice of sums (row_pass.hpp, PassOptions::m_sums):
// an M-step round that makes only some of its sums makes each of them with
// the same bits as a round that makes all, and leaves the others empty; a
// pass that adds the variance model's sums and the comparison with a previous
// evaluation leaves every other sum's bits alone. Over one and two variables,
// with and without case weights and a variance model, serially and on the
// team. Prints one "name failures" line per check; tests/test_compiled_pass.py
// expects every count to be 0.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "row_pass.hpp"

namespace {

using zelt::Matrix;
using zelt::PassOptions;
using zelt::PassSums;
using zelt::Vector;

bool same(const Matrix& a, const Matrix& b) {
    return a.rows() == b.rows() && a.cols() == b.cols() &&
           std::memcmp(a.data(), b.data(), sizeof(double) * static_cast<std::size_t>(a.size())) == 0;
}
bool same(const Vector& a, const Vector& b) {
    return a.size() == b.size() &&
           std::memcmp(a.data(), b.data(), sizeof(double) * static_cast<std::size_t>(a.size())) == 0;
}
bool same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

int main() {
    std::mt19937_64 gen(20261210);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    long selection_bad = 0, variance_bad = 0;
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
            }
        }
    }
    std::printf("selection_failures %ld\n", selection_bad);
    std::printf("variance_failures %ld\n", variance_bad);
    return 0;
}
