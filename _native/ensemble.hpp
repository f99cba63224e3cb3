// Ensemble search: Gibbs entropy of an energy sample and the tournament MCMC
// engine (annealed parallel chains, diverse elite, cold refinement).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "stats.hpp"

namespace zelt {

// Boltzmann-weight statistics of an energy sample at temperature T.
struct GibbsResult {
    double H = 0.0;       // entropy of the weights, nats
    double Hmax = 0.0;    // ln(max(N, 2))
    double He = 0.0;      // H / (Hmax + 1e-300)
    double r_heat = 0.0;  // 0.01 + 0.99 He: reheat factor of the elite stage
    double var_E = 0.0;   // unweighted population variance of the energies
    double T = 0.0;       // temperature as passed
};

// Throws std::invalid_argument for an empty sample (no minimum, no mean).
GibbsResult gibbs_entropy(const VectorCRef& energies, double T);

// A chain's current coefficient vector and its energy.
struct Chain {
    Vector beta;
    double energy = 0.0;
};

struct MCMCResult {
    Vector beta_mcmc;  // best coefficient vector met
    double energy = 0.0;
    GibbsResult gibbs;  // summary of the chain-phase energies at T = 1
    int n_chains = 0;   // the engine's settings, reported unchanged
    int n_elite = 0;
};

// ---- random streams of the search ------------------------------------------
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

class TournamentMCMC {
public:
    TournamentMCMC(int n_chains, int n_warmup, int n_deep, int n_elite, double step_size, int H_piH,
                   std::uint64_t seed);

    // X: n x k design matrix, y: n targets; R1/R2 may be null (no such penalty).
    // Deterministic in (inputs, settings): independent of the OpenMP team size.
    MCMCResult fit(const MatrixCRef& X, const VectorCRef& y, const Matrix* R1, const Matrix* R2,
                   double gamma1, double gamma2) const;

    // The settings as constructed, read back to copy or describe an engine.
    int n_chains() const { return n_chains_; }
    int n_warmup() const { return n_warmup_; }
    int n_deep() const { return n_deep_; }
    int n_elite() const { return n_elite_; }
    double step_size() const { return step_size_; }
    int H_piH() const { return H_piH_; }
    std::uint64_t seed() const { return seed_; }

private:
    struct Problem;    // per-fit values shared read-only by every chain
    struct Workspace;  // one chain's random stream and buffers

    // MDL score of X*bv against y with the penalty on bv; yp is the caller's
    // prediction buffer, so that an evaluation allocates nothing.
    double energy_local(const Problem& pb, const Vector& bv, Vector& yp) const;
    // One proposal plus Metropolis test at temperature T.
    void metropolis_step(const Problem& pb, Workspace& ws, double T) const;
    Chain run_chain(const Problem& pb, int c) const;
    // Deep refinement of elite chain ei from its start state at start
    // temperature T. Returns the first state of lowest energy that it met (a
    // strict `<` from +inf: a NaN never counts), or energy +inf when it met
    // none; the caller merges these in elite order.
    Chain refine_elite(const Problem& pb, const Chain& start, std::size_t ei, double T) const;

    int n_chains_;
    int n_warmup_;
    int n_deep_;
    int n_elite_;
    double step_size_;
    int H_piH_;
    std::uint64_t seed_;
};

}  // namespace zelt
