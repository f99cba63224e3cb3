// Floor of one energy evaluation of the tournament search: a bare
// matrix-vector product X*b plus the count of predictions within eps of the
// targets, on the data the benchmark writes. No random draws, no logarithm,
// no Metropolis test. Built by CMake (target floor_energy) against the
// module's computational library, with the module's compiler and flags.
//
//   floor_energy DATA_FILE REPS
//     -> "<eigen ns> <fused ns> <mismatches> <checksum>"
// eigen: Eigen's X*b into a buffer, then the vectorised count;
// fused: the product-and-count kernel of the search (no stored product);
// both per evaluation, the median of 7 timed runs of REPS evaluations.
// mismatches: evaluations whose row sums of the fused kernel differ in any
// bit from Eigen's product (the search relies on there being none).
//
// DATA_FILE: int64 n, int64 k, then X (n*k doubles, column-major), y (n), b (k), eps.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "kernels.hpp"
#include "stats.hpp"

namespace {

// Median ns per evaluation of eval(r) over 7 runs of reps evaluations.
template <class F>
double median_ns(long reps, F&& eval) {
    std::vector<double> samples;
    for (int s = 0; s < 7; ++s) {
        const auto t0 = std::chrono::steady_clock::now();
        for (long r = 0; r < reps; ++r) eval();
        const auto t1 = std::chrono::steady_clock::now();
        samples.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count() / static_cast<double>(reps));
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s DATA_FILE REPS\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::int64_t n = 0, k = 0;
    in.read(reinterpret_cast<char*>(&n), sizeof n);
    in.read(reinterpret_cast<char*>(&k), sizeof k);
    if (!in || n < 1 || k < 1) {
        std::fprintf(stderr, "bad header\n");
        return 2;
    }
    zelt::Matrix X(n, k);
    zelt::Vector y(n), b(k), yp(n), fused(n);
    double eps = 0.0;
    in.read(reinterpret_cast<char*>(X.data()), static_cast<std::streamsize>(sizeof(double) * n * k));
    in.read(reinterpret_cast<char*>(y.data()), static_cast<std::streamsize>(sizeof(double) * n));
    in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(sizeof(double) * k));
    in.read(reinterpret_cast<char*>(&eps), sizeof eps);
    if (!in) {
        std::fprintf(stderr, "short data file\n");
        return 2;
    }
    const long reps = std::max(1L, std::atol(argv[2]));

    // A new point for every evaluation, as in the search: one coefficient
    // moves by a tiny step, cycling over the coefficients.
    std::int64_t total = 0;
    Eigen::Index j = 0;
    auto next_point = [&] {
        b[j] += 1e-12;
        if (++j == k) j = 0;
    };

    long mismatches = 0;
    for (long r = 0; r < std::min(reps, 1000L); ++r) {
        next_point();
        yp.noalias() = X * b;
        zelt::product_in_column_order(X, b, fused);
        if (std::memcmp(yp.data(), fused.data(), sizeof(double) * static_cast<std::size_t>(n)) != 0) ++mismatches;
    }

    const double eigen_ns = median_ns(reps, [&] {
        next_point();
        yp.noalias() = X * b;
        total += zelt::count_within(yp, y, eps);
    });
    const double fused_ns = median_ns(reps, [&] {
        next_point();
        total += zelt::count_within_product(X, b, y, eps);
    });
    std::printf("%.3f %.3f %ld %lld\n", eigen_ns, fused_ns, mismatches, static_cast<long long>(total));
    return 0;
}
