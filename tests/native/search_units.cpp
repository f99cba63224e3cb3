// Checks the building blocks that make the tournament search fast against
// the references whose bits they must reproduce: the twister and the draws
// against libstdc++'s std::mt19937_64, generate_canonical and
// normal_distribution; the fused product against Eigen's X * b; the prepared
// score against the plain formula. Prints one "name mismatches" line per
// case, and "fit_<i> <bits>" lines with whole searches in hex. Built twice by
// CMake (search_units as the module is built, search_units_sse2 with the
// SSE2 row blocks only) and run by ctest; tests/test_ensemble.py expects
// every count to be 0 in both and the searches to agree bit for bit.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "ensemble.hpp"
#include "kernels.hpp"
#include "metropolis.hpp"
#include "random_streams.hpp"
#include "stats.hpp"

namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void report(const char* name, long bad) { std::printf("%s %ld\n", name, bad); }

// An engine that returns one fixed value, for generate_canonical's edge cases.
struct Fixed {
    using result_type = std::uint64_t;
    std::uint64_t v;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return ~std::uint64_t{0}; }
    result_type operator()() { return v; }
};

void twister() {
    long bad = 0;
    for (std::uint64_t seed : {std::uint64_t{0}, std::uint64_t{42}, std::uint64_t{3042},
                               std::uint64_t{7777 + 13}, ~std::uint64_t{0} - 1499}) {
        std::mt19937_64 ref(seed);
        zelt::Mt64 mt(seed);
        for (int i = 0; i < 3 * 312 + 5; ++i) bad += (ref() != mt()) ? 1 : 0;  // several refills
    }
    report("twister", bad);
}

void canonical_edges() {
    long bad = 0;
    const std::uint64_t top = ~std::uint64_t{0};
    const std::uint64_t one = 1;
    const std::vector<std::uint64_t> values = {0, 1, one << 63, top, top - 1023, top - 1024, top - 1025,
                                               top - 2047, top - 2048, 0x123456789abcdefULL,
                                               (one << 53) + 1, (one << 54) + 3, (one << 32) - 1};
    for (std::uint64_t v : values) {
        Fixed f{v};
        const double ref = std::generate_canonical<double, std::numeric_limits<double>::digits>(f);
        bad += same_bits(ref, zelt::canonical_from_bits(v)) ? 0 : 1;
    }
    std::mt19937_64 ref(9);
    zelt::Mt64 mt(9);
    std::uniform_real_distribution<double> unif(0.0, 1.0);
    for (int i = 0; i < 5000; ++i) bad += same_bits(unif(ref), zelt::canonical(mt)) ? 0 : 1;
    report("canonical", bad);
}

// Proposals of k draws, with a uniform draw between some of them (the
// Metropolis test), so that a spare deviate must survive both.
void normals(double sd, const char* name) {
    long bad = 0;
    for (Eigen::Index k : {1, 2, 3, 4, 7, 16, 17, 40}) {
        std::mt19937_64 ref(1000 + static_cast<std::uint64_t>(k));
        zelt::Mt64 mt(1000 + static_cast<std::uint64_t>(k));
        std::normal_distribution<double> unit(0.0, 1.0);
        std::uniform_real_distribution<double> unif(0.0, 1.0);
        zelt::PolarNormal prop(sd);
        std::vector<double> base(static_cast<std::size_t>(k)), out(base.size());
        for (int step = 0; step < 60; ++step) {
            for (std::size_t i = 0; i < base.size(); ++i) base[i] = 0.25 * static_cast<double>(i) - 1.0;
            if (step % 5 == 0) {
                prop.fill(mt, out.data(), k);
            } else {
                prop.add_to(mt, base.data(), out.data(), k);
            }
            for (std::size_t i = 0; i < base.size(); ++i) {
                const double d = unit(ref) * sd + 0.0;
                const double want = (step % 5 == 0) ? d : base[i] + d;
                bad += same_bits(want, out[i]) ? 0 : 1;
            }
            if (step % 3 == 1) bad += same_bits(unif(ref), zelt::canonical(mt)) ? 0 : 1;
        }
    }
    report(name, bad);
}

// Rows of the fused product against Eigen's X * b, bit for bit, over shapes
// that reach every row block and the scalar tail, and a strided view.
void product() {
    std::mt19937_64 g(5);
    std::normal_distribution<double> nd(0.0, 1.0);
    long bad_rows = 0, bad_counts = 0;
    const std::pair<Eigen::Index, Eigen::Index> shapes[] = {{2, 1}, {3, 2}, {5, 0}, {17, 13}, {31, 5},
                                                            {60, 4}, {1000, 8}, {33, 127}};
    for (const auto& [n, k] : shapes) {
        zelt::Matrix big(n + 3, k);
        for (Eigen::Index i = 0; i < big.size(); ++i) big.data()[i] = nd(g) * 3.0;
        if (n > 3 && k > 0) big(2, 0) = std::nan("");  // a NaN row never counts
        const zelt::MatrixCRef views[] = {big.topRows(n), big.middleRows(1, n)};  // outer stride n + 3
        for (const zelt::MatrixCRef& X : views) {
            zelt::Vector y(n), yp(n), fused(n), b(k);
            for (Eigen::Index i = 0; i < n; ++i) y[i] = nd(g);
            for (int t = 0; t < 50; ++t) {
                for (Eigen::Index j = 0; j < k; ++j) b[j] = nd(g) * (t % 4 + 1);
                yp.noalias() = X * b;
                zelt::product_in_column_order(X, b, fused);
                for (Eigen::Index i = 0; i < n; ++i) bad_rows += same_bits(yp[i], fused[i]) ? 0 : 1;
                // eps at a row's own distance: the strict comparison must agree there too
                for (double eps : {0.5, std::abs(yp[0] - y[0]), std::abs(yp[n - 1] - y[n - 1]), 0.0, -1.0}) {
                    bad_counts += (zelt::count_within(yp, y, eps) == zelt::count_within_product(X, b, y, eps)) ? 0 : 1;
                }
            }
        }
    }
    report("product_rows", bad_rows);
    report("product_counts", bad_counts);
}

// Prepared score with its table against the plain formula for every count.
void prepared_score() {
    long bad = 0;
    const zelt::Matrix R = zelt::Matrix::Identity(2, 2) * 3.0;
    const zelt::Vector beta = zelt::Vector::LinSpaced(2, -1.0, 2.0);
    const zelt::PenaltySpec pen{&R, &R, 0.5, 0.25};
    for (Eigen::Index n : {1, 2, 7, 60, 4096, 4097}) {
        for (int k : {-2, 0, 3}) {
            for (int H : {-1, 0, 5, 20}) {
                const zelt::PreparedScore tab = zelt::prepare_score(n, k, H, true);
                const zelt::PreparedScore plain = zelt::prepare_score(n, k, H, false);
                if (tab.data.empty() != (n > zelt::kScoreTableMaxN)) ++bad;
                for (Eigen::Index hit = 0; hit <= n; ++hit) {
                    const double nd = static_cast<double>(n), kd = static_cast<double>(k);
                    const double logHk = (k > 0) ? kd * std::log(2.0 * static_cast<double>(H)) : 0.0;
                    const double sr = zelt::success_rate(hit, n);
                    const double want = (logHk / nd) * kd - nd * std::log(sr);
                    const double a = zelt::score_from_hits(tab, hit, nullptr, nullptr);
                    const double b = zelt::score_from_hits(plain, hit, nullptr, nullptr);
                    bad += (same_bits(want, a) || (std::isnan(want) && std::isnan(a))) ? 0 : 1;
                    bad += (same_bits(a, b) || (std::isnan(a) && std::isnan(b))) ? 0 : 1;
                    const double pa = zelt::score_from_hits(tab, hit, &beta, &pen);
                    const double pb = zelt::score_from_hits(plain, hit, &beta, &pen);
                    bad += (same_bits(pa, pb) || (std::isnan(pa) && std::isnan(pb))) ? 0 : 1;
                }
            }
        }
    }
    report("prepared_score", bad);
}

// The bracketed Metropolis test against u < std::exp(x), with u on both
// sides of exp(x) by one ulp, at the edges of the bracket and at the extremes.
void metropolis_test() {
    long bad = 0, cases = 0;
    std::vector<double> xs = {0.0, -0.0, -1e-310, -1e-17, -0.5, -0.6931471805599453, -1.0, -3.5,
                              -20.0, -48.5, -48.52, -48.53, -70.0 / 1.4426950408889634, -49.0, -100.0,
                              -700.0, -745.0, -745.2, -746.0, -1e300, -std::numeric_limits<double>::infinity()};
    std::mt19937_64 g(11);
    std::uniform_real_distribution<double> spread(-60.0, 0.0);
    for (int i = 0; i < 2000; ++i) xs.push_back(spread(g));
    const double below_one = std::nextafter(1.0, 0.0);
    for (double x : xs) {
        const double ex = std::exp(x);
        std::vector<double> us = {0.0, 0x1p-64, 0x1p-53, 0.25, 0.5, below_one, ex, std::nextafter(ex, 0.0),
                                  std::nextafter(ex, 2.0)};
        const double t = x * 1.4426950408889634;
        if (t >= -70.0) {
            const int m = static_cast<int>(t);
            for (int j : {m - 3, m - 2, m - 1, m, m + 1, m + 2}) {
                const double p = std::ldexp(1.0, j);
                us.insert(us.end(), {p, std::nextafter(p, 0.0), std::nextafter(p, 2.0)});
            }
        }
        for (double u : us) {
            // The test's u is a canonical draw: 0 or a multiple of 2^-64 below 1.
            if (!(u >= 0.0 && u < 1.0) || std::fmod(u, 0x1p-64) != 0.0) continue;
            ++cases;
            bad += (zelt::below_exp(u, x) == (u < std::exp(x))) ? 0 : 1;
        }
    }
    report("metropolis_test", cases > 10000 ? bad : -1);
}

// Whole searches on dense data, where the product's rounding matters, over
// shapes that end in every row block and the scalar row, with and without a
// penalty: energy and coefficients in hex.
void fits() {
    std::mt19937_64 g(21);
    std::normal_distribution<double> nd(0.0, 1.0);
    const std::pair<Eigen::Index, Eigen::Index> shapes[] = {{60, 4}, {1000, 8}, {63, 3}, {45, 6}, {7, 2}};
    int id = 0;
    for (const auto& [n, k] : shapes) {
        zelt::Matrix X(n, k);
        zelt::Vector y(n);
        for (Eigen::Index i = 0; i < X.size(); ++i) X.data()[i] = nd(g);
        for (Eigen::Index i = 0; i < n; ++i) y[i] = X(i, 0) - 0.5 * X(i, k - 1) + 0.1 * nd(g);
        const zelt::Matrix R = zelt::Matrix::Identity(k, k);
        const zelt::TournamentMCMC eng(6, 60, 400, 3, 0.1, 20, 5);
        for (double gamma : {0.0, 0.9}) {
            const zelt::MCMCResult r = eng.fit(X, y, &R, nullptr, gamma, 0.0);
            std::printf("fit_%d %a", id++, r.energy);
            for (Eigen::Index j = 0; j < k; ++j) std::printf(" %a", r.beta_mcmc[j]);
            std::printf("\n");
        }
    }
}

}  // namespace

int main() {
    twister();
    canonical_edges();
    normals(1.0, "normal_sd_1");
    normals(0.05, "normal_sd_0.05");
    normals(0.0, "normal_sd_0");
    normals(-0.2, "normal_sd_negative");
    product();
    prepared_score();
    metropolis_test();
    fits();
    return 0;
}
