// The random streams of the tournament search: the 64-bit Mersenne Twister,
// its canonical uniform draw and the polar-method normal draws of the
// proposals, each the same stream bit for bit as the standard library's.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "types.hpp"

namespace zelt {

// Chains draw from these instead of std::mt19937_64 with the library's
// normal and uniform distributions: they give the same streams bit for bit
// (the seeding, recurrence and tempering of the 64-bit Mersenne Twister, the
// libstdc++ canonical uniform and polar normal method) at a fraction of the
// cost per draw, which matters because a proposal of k coefficients costs k
// normal draws next to one n x k product.

// An integer below 2^32 as a double, exactly: its bits below those of 2^52,
// minus 2^52 (the packed form of the conversion, which SSE2 lacks).
inline double small_to_double(std::uint64_t v) {
    const std::uint64_t bits = 0x4330000000000000ULL | v;
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d - 0x1p52;
}

// generate_canonical<double, 53> on a 64-bit engine output x: x * 2^-64
// rounded to nearest, 1.0 taken down to the largest double below it. The two
// 32-bit halves scale exactly and their sum rounds once, so this is the
// correctly rounded x * 2^-64 of the library, without the branch of an
// unsigned 64-bit conversion and in a form that vectorises.
inline double canonical_from_bits(std::uint64_t x) {
    const double u = small_to_double(x >> 32) * 0x1p-32 + small_to_double(x & 0xffffffffu) * 0x1p-64;
    return (u >= 1.0) ? 0x1.fffffffffffffp-1 : u;
}

// std::mt19937_64: same seed sequence, same outputs. Every refill of the
// state also turns the 312 new outputs into their canonical uniforms at once,
// in loops without branches that the compiler vectorises (the library's
// refill picks the twist constant with a branch per word, and a draw would
// temper and convert one output at a time).
class Mt64 {
public:
    explicit Mt64(std::uint64_t seed) {
        x_[0] = seed;
        for (std::size_t i = 1; i < kN; ++i) {
            x_[i] = 6364136223846793005ULL * (x_[i - 1] ^ (x_[i - 1] >> 62)) + i;
        }
    }

    // The next output, as the library's engine returns it.
    std::uint64_t operator()() {
        if (p_ >= kN) refill();
        return temper(x_[p_++]);
    }

    // canonical_from_bits of the next output: a uniform draw on [0, 1).
    // (uniform_real_distribution(0, 1) returns canonical * (1 - 0) + 0, the same value.)
    double uniform() {
        if (p_ >= kN) refill();
        return u_[p_++];
    }

private:
    static constexpr std::size_t kN = 312, kM = 156;
    static constexpr std::uint64_t kUpper = 0xFFFFFFFF80000000ULL, kLower = 0x7FFFFFFFULL;
    static std::uint64_t twist(std::uint64_t a, std::uint64_t b, std::uint64_t far) {
        const std::uint64_t y = (a & kUpper) | (b & kLower);
        return far ^ (y >> 1) ^ ((0 - (y & 1)) & 0xB5026F5AA96619E9ULL);
    }
    static std::uint64_t temper(std::uint64_t z) {
        z ^= (z >> 29) & 0x5555555555555555ULL;
        z ^= (z << 17) & 0x71D67FFFEDA60000ULL;
        z ^= (z << 37) & 0xFFF7EEE000000000ULL;
        return z ^ (z >> 43);
    }
    void refill() {
        for (std::size_t k = 0; k < kN - kM; ++k) x_[k] = twist(x_[k], x_[k + 1], x_[k + kM]);
        for (std::size_t k = kN - kM; k < kN - 1; ++k) x_[k] = twist(x_[k], x_[k + 1], x_[k - (kN - kM)]);
        x_[kN - 1] = twist(x_[kN - 1], x_[0], x_[kM - 1]);
        for (std::size_t k = 0; k < kN; ++k) u_[k] = canonical_from_bits(temper(x_[k]));
        p_ = 0;
    }

    std::uint64_t x_[kN];
    double u_[kN];
    std::size_t p_ = kN;
};

// A uniform draw on [0, 1): one engine output.
inline double canonical(Mt64& rng) { return rng.uniform(); }

// The normal draws of libstdc++'s normal_distribution (polar method) on a
// unit deviate, scaled outside the unit object as (z * 1 + 0) * sd + 0: the
// same stream bit for bit, and sd <= 0 (step_size = 0 must work) is fine here
// while the library's distribution takes it as a broken precondition. The
// spare deviate is kept here, so it carries over between calls as it should.
//
// A call asks for all draws of one proposal at once: the engine outputs of
// every pair are taken first (their number and order do not depend on the
// logarithms), then the pairs' scale factors, which are independent of each
// other, so their log, division and square root overlap in the processor
// instead of running one after the other.
class PolarNormal {
public:
    explicit PolarNormal(double sd) : sd_(sd) {}

    // out[i] = base[i] + draw_i, i = 0 .. k-1, in draw order.
    void add_to(Mt64& rng, const double* base, double* out, Eigen::Index k) {
        generate(rng, k, [&](Eigen::Index i, double v) { out[i] = base[i] + v; });
    }
    // out[i] = draw_i.
    void fill(Mt64& rng, double* out, Eigen::Index k) {
        generate(rng, k, [&](Eigen::Index i, double v) { out[i] = v; });
    }

private:
    double scaled(double z) const { return (z * 1.0 + 0.0) * sd_ + 0.0; }

    template <class Sink>
    void generate(Mt64& rng, Eigen::Index k, Sink&& sink) {
        Eigen::Index i = 0;
        if (has_spare_ && k > 0) {
            sink(i++, scaled(spare_));
            has_spare_ = false;
        }
        constexpr int kChunk = 8;  // pairs per batch: 16 draws
        double xs[kChunk], ys[kChunk], ms[kChunk];
        while (i < k) {
            const Eigen::Index left = k - i;
            const int pairs = static_cast<int>(std::min<Eigen::Index>(kChunk, (left + 1) / 2));
            // Rejection of pairs outside the unit disc (or at its centre): each
            // try is written to slot p, which advances only on acceptance, so
            // the 21% of rejected tries cost no mispredicted branch.
            for (int p = 0; p < pairs;) {
                const double x = 2.0 * canonical(rng) - 1.0;
                const double y = 2.0 * canonical(rng) - 1.0;
                const double r2 = x * x + y * y;
                xs[p] = x;
                ys[p] = y;
                ms[p] = r2;
                p += (r2 <= 1.0) & (r2 != 0.0);
            }
            for (int p = 0; p < pairs; ++p) ms[p] = std::sqrt(-2.0 * std::log(ms[p]) / ms[p]);
            // Each pair returns y * m and keeps x * m as the spare.
            for (int p = 0; p < pairs; ++p) {
                sink(i++, scaled(ys[p] * ms[p]));
                if (i < k) {
                    sink(i++, scaled(xs[p] * ms[p]));
                } else {
                    spare_ = xs[p] * ms[p];
                    has_spare_ = true;
                }
            }
        }
    }

    double sd_;
    double spare_ = 0.0;
    bool has_spare_ = false;
};

}  // namespace zelt
