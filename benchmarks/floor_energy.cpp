// Floor of one energy evaluation of the tournament search: one bare
// matrix-vector product X*b plus the count of predictions within eps, on the
// data the benchmark writes. No random draws, no logarithms, no Metropolis test.
//
//   floor_energy DATA_FILE REPS  ->  prints "<ns per evaluation> <checksum>"
// DATA_FILE: int64 n, int64 k, then X (n*k doubles, column-major), y (n), b (k), eps.
#include <Eigen/Dense>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s DATA_FILE REPS\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::int64_t n = 0, k = 0;
    in.read(reinterpret_cast<char*>(&n), sizeof n);
    in.read(reinterpret_cast<char*>(&k), sizeof k);
    Eigen::MatrixXd X(n, k);
    Eigen::VectorXd y(n), b(k), yp(n);
    double eps = 0.0;
    in.read(reinterpret_cast<char*>(X.data()), static_cast<std::streamsize>(sizeof(double) * n * k));
    in.read(reinterpret_cast<char*>(y.data()), static_cast<std::streamsize>(sizeof(double) * n));
    in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(sizeof(double) * k));
    in.read(reinterpret_cast<char*>(&eps), sizeof eps);
    if (!in) {
        std::fprintf(stderr, "short data file\n");
        return 2;
    }
    const long reps = std::atol(argv[2]);

    std::int64_t total = 0;
    std::vector<double> samples;
    for (int s = 0; s < 7; ++s) {
        const auto t0 = std::chrono::steady_clock::now();
        for (long r = 0; r < reps; ++r) {
            b[r % k] += 1e-12;  // a new point each time, as in the search
            yp.noalias() = X * b;
            std::int64_t hit = 0;
            for (Eigen::Index i = 0; i < n; ++i) hit += (std::abs(yp[i] - y[i]) < eps) ? 1 : 0;
            total += hit;
        }
        const auto t1 = std::chrono::steady_clock::now();
        samples.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count() / static_cast<double>(reps));
    }
    std::sort(samples.begin(), samples.end());
    std::printf("%.3f %lld\n", samples[samples.size() / 2], static_cast<long long>(total));
    return 0;
}
