// Checks that the refit's starts (robust_start.hpp) are pure functions that
// many threads may call at once, as the compiled refit calls them across its
// OpenMP team: every problem solved serially, then again by four threads in
// an interleaved order, must give the same bits. Prints one
// "name mismatches" line per function; tests/test_compiled_starts.py expects
// every count to be 0.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "robust_start.hpp"

namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool same_bits(const zelt::Vector& a, const zelt::Vector& b) {
    if (a.size() != b.size()) return false;
    for (Eigen::Index i = 0; i < a.size(); ++i) {
        if (!same_bits(a[i], b[i])) return false;
    }
    return true;
}

struct Problem {
    zelt::Matrix Phi;
    zelt::Vector v;
};

// A quadratic in u on [-1, 1] with a fifth of the targets moved far off.
Problem make_problem(int index) {
    std::mt19937_64 gen(static_cast<std::uint64_t>(1000 + index));
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::normal_distribution<double> noise(0.0, 0.05);
    const int m = 40 + 37 * index;
    Problem pr{zelt::Matrix(m, 3), zelt::Vector(m)};
    for (int i = 0; i < m; ++i) {
        const double u = unit(gen);
        pr.Phi(i, 0) = 1.0;
        pr.Phi(i, 1) = u;
        pr.Phi(i, 2) = u * u;
        pr.v[i] = 0.5 - u + 2.0 * u * u + noise(gen) + (i % 5 == 0 ? 4.0 + unit(gen) : 0.0);
    }
    return pr;
}

struct Outcome {
    zelt::SEstimate s;
    bool found = false;
    double scale = 0.0;
    zelt::BiweightStart bw;
    double tail = 0.0;
};

Outcome solve(const Problem& pr, int index) {
    Outcome o;
    o.found = zelt::s_estimate(pr.Phi, pr.v, static_cast<std::uint64_t>(index), -1, 1.5476450, 0.5, 3, o.s);
    o.scale = zelt::m_scale_one(pr.v, 1.5476450, 0.5, 0.0, 1e-12, 200);
    o.bw = zelt::biweight_start(pr.Phi, pr.v, 4.685, 50);
    o.tail = zelt::f_sf(0.1 * index, 1.0 + index % 7, 3.0 + 11.0 * index);
    return o;
}

}  // namespace

int main() {
    constexpr int count = 48;
    std::vector<Problem> problems;
    for (int i = 0; i < count; ++i) problems.push_back(make_problem(i));
    std::vector<Outcome> serial(count), team(count);
    for (int i = 0; i < count; ++i) {
        serial[static_cast<std::size_t>(i)] = solve(problems[static_cast<std::size_t>(i)], i);
    }
    // every thread on every fourth problem, in reverse: neighbours run at once
#pragma omp parallel for num_threads(4) schedule(static, 1)
    for (int j = 0; j < count; ++j) {
        const int i = count - 1 - j;
        team[static_cast<std::size_t>(i)] = solve(problems[static_cast<std::size_t>(i)], i);
    }
    long s_bad = 0, m_bad = 0, b_bad = 0, f_bad = 0, none = 0;
    for (std::size_t i = 0; i < serial.size(); ++i) {
        const Outcome &a = serial[i], &b = team[i];
        none += !a.found;
        s_bad += a.found != b.found || !same_bits(a.s.coef, b.s.coef) || !same_bits(a.s.scale, b.s.scale) ||
                 a.s.subsets != b.s.subsets;
        m_bad += !same_bits(a.scale, b.scale);
        b_bad += !same_bits(a.bw.coef, b.bw.coef) || !same_bits(a.bw.scale, b.bw.scale);
        f_bad += !same_bits(a.tail, b.tail);
    }
    std::printf("s_estimate_found %ld\n", static_cast<long>(count) - none);
    std::printf("s_estimate_threads %ld\n", s_bad);
    std::printf("m_scale_one_threads %ld\n", m_bad);
    std::printf("biweight_start_threads %ld\n", b_bad);
    std::printf("f_sf_threads %ld\n", f_bad);
    return 0;
}
