// One Metropolis step of the tournament search: the proposal (k normal draws
// added to the current point) and the acceptance test of the candidate.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "random_streams.hpp"
#include "types.hpp"

namespace zelt {

// 2^j for -1022 <= j <= 1023, built from its bits.
inline double pow2(int j) {
    const std::uint64_t bits = static_cast<std::uint64_t>(1023 + j) << 52;
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// The Metropolis test's u < std::exp(x), for x <= 0 and u in [0, 1), exactly,
// calling exp only when u is close to it. With t = x log2(e) rounded and m = trunc(t), the true e^x
// lies within 2^(m-1) .. 2^m up to a relative 1e-13, and the library's exp
// within an ulp of it, so its result is inside [2^(m-2), 2^(m+1)). At low
// temperature most rejected candidates have x far below 0 and never reach
// the exp call; below t = -70 every u but 0 (a multiple of 2^-64) is above it.
inline bool below_exp(double u, double x) {
    const double t = x * 1.4426950408889634;  // log2(e)
    if (t >= -70.0) {
        const int m = static_cast<int>(t);  // m - 1 < t <= m
        if (u >= pow2(m + 1)) return false;
        if (u < pow2(m - 2)) return true;
    } else if (u != 0.0) {
        return false;
    }
    return u < std::exp(x);
}

// The candidate: out = b + k draws of prop, written straight into out's buffer.
inline void propose(PolarNormal& prop, Mt64& rng, const Vector& b, Vector& out) {
    prop.add_to(rng, b.data(), out.data(), b.size());
}

// Whether to move from energy e to a candidate of energy ec at temperature T:
// a strictly better candidate is taken without a draw; otherwise one uniform
// draw u, accepted when u < exp(min(0, (e - ec) / T)), a NaN ratio counting as 0.
inline bool metropolis_accepts(double e, double ec, double T, Mt64& rng) {
    if (ec < e) return true;
    const double u = canonical(rng);  // uniform on [0, 1): u * (1 - 0) + 0 = u
    const double x = (e - ec) / T;
    return below_exp(u, x < 0.0 ? x : 0.0);
}

}  // namespace zelt
