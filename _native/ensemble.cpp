// Gibbs entropy of an energy sample, and the tournament search: the
// per-fit problem, the chain phase on the OpenMP team (with its guard against
// a team lost in a fork), the diverse elite and its cold refinement.
#include "ensemble.hpp"

#include "checks.hpp"
#include "interrupt.hpp"
#include "kernels.hpp"
#include "metropolis.hpp"
#include "random_streams.hpp"
#include "stats.hpp"
#include "team.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace zelt {

GibbsResult gibbs_entropy(const VectorCRef& energies, double T) {
    require_energies(energies);
    const Eigen::Index N = energies.size();
    const double* E = energies.data();

    double emin = E[0];
    for (Eigen::Index i = 1; i < N; ++i) emin = std::min(emin, E[i]);

    // w_i = exp(-(E_i - emin) / T): the lowest energy gets weight 1, so the
    // partition sum cannot overflow for T > 0. Plain index-order loops keep
    // the sums reproducible.
    const double Teff = T + 1e-300;
    Vector w(N);
    double wsum = 0.0;
    for (Eigen::Index i = 0; i < N; ++i) {
        w[i] = std::exp(-(E[i] - emin) / Teff);
        wsum += w[i];
    }
    // H = -sum p ln(p + 1e-300); an underflowed weight contributes exactly 0.
    double H = 0.0;
    for (Eigen::Index i = 0; i < N; ++i) {
        const double p = w[i] / wsum;
        H -= p * std::log(p + 1e-300);
    }

    GibbsResult g;
    g.H = H;
    g.Hmax = std::log(std::max(static_cast<double>(N), 2.0));
    g.He = H / (g.Hmax + 1e-300);
    g.r_heat = 0.01 + 0.99 * g.He;

    double sum = 0.0;
    for (Eigen::Index i = 0; i < N; ++i) sum += E[i];
    const double meanE = sum / static_cast<double>(N);
    double var = 0.0;
    for (Eigen::Index i = 0; i < N; ++i) {
        const double d = E[i] - meanE;
        var += d * d;
    }
    g.var_E = var / static_cast<double>(N);
    g.T = T;
    return g;
}

namespace {

// Euclidean distance, summed in index order (off the hot path).
double distance(const Vector& a, const Vector& b) {
    double s = 0.0;
    for (Eigen::Index i = 0; i < a.size(); ++i) {
        const double d = a[i] - b[i];
        s += d * d;
    }
    return std::sqrt(s);
}

constexpr double kDiversityRadius = 0.1;  // absolute, in coefficient units; inclusive

}  // namespace

struct TournamentMCMC::Problem {
    MatrixCRef X;
    VectorCRef y;
    Eigen::Index k;
    PenaltySpec pen;
    double eps_cached;   // tolerance from mad(y), once per fit
    PreparedScore score;  // model term and ln(SR) table of the MDL score, once per fit
    // Whether the fused product-and-count gives the bits of Eigen's X * b here
    // (portable build, at least 2 rows, fewer than 128 columns); otherwise the
    // product is formed by Eigen and counted afterwards.
    bool fused;
    double work_per_step;  // elementary operations of one Metropolis step, for polling
};

struct TournamentMCMC::Workspace {
    Mt64 rng;
    PolarNormal prop;
    Vector b;    // current point
    double e = 0.0;
    Vector bc;   // candidate
    Vector yp;   // prediction X * candidate, where it is formed at all

    Workspace(std::uint64_t seed, double sd, Eigen::Index k, Eigen::Index n)
        : rng(seed), prop(sd), b(k), bc(k), yp(n) {}
};

TournamentMCMC::TournamentMCMC(int n_chains, int n_warmup, int n_deep, int n_elite,
                               double step_size, int H_piH, std::uint64_t seed)
    : n_chains_(n_chains),
      n_warmup_(n_warmup),
      n_deep_(n_deep),
      n_elite_(n_elite),
      step_size_(step_size),
      H_piH_(H_piH),
      seed_(seed) {}

double TournamentMCMC::energy_local(const Problem& pb, const Vector& bv, Vector& yp) const {
    // mdl_score_cached(X * bv, y, k, H_piH, eps, &bv, &pen), with its per-fit
    // parts prepared once: only the count depends on the candidate.
    std::int64_t hit;
    if (pb.fused) {
        hit = count_within_product(pb.X, bv, pb.y, pb.eps_cached);
    } else {
        yp.noalias() = pb.X * bv;
        hit = count_within(yp, pb.y, pb.eps_cached);
    }
    return score_from_hits(pb.score, hit, &bv, &pb.pen);
}

void TournamentMCMC::metropolis_step(const Problem& pb, Workspace& ws, double T) const {
    propose(ws.prop, ws.rng, ws.b, ws.bc);
    const double ec = energy_local(pb, ws.bc, ws.yp);
    if (metropolis_accepts(ws.e, ec, T, ws.rng)) {
        ws.b.swap(ws.bc);  // the old point's buffer takes the next candidate
        ws.e = ec;
    }
}

Chain TournamentMCMC::run_chain(const Problem& pb, int c) const {
    // Seeds wrap modulo 2^64, so engines with seeds s and s + 1000 d share streams.
    const std::uint64_t seed = seed_ + 1000u * static_cast<std::uint64_t>(c);
    Workspace ws(seed, step_size_, pb.k, pb.fused ? 0 : pb.X.rows());
    PolarNormal init(0.5);
    init.fill(ws.rng, ws.b.data(), pb.k);
    ws.e = energy_local(pb, ws.b, ws.yp);

    // Annealing: step it runs at T = 2 * 0.995^it.
    double T = 2.0;
    InterruptPacer pacer(pb.work_per_step);
    for (int it = 0; it < n_warmup_; ++it) {
        pacer.step();
        metropolis_step(pb, ws, T);
        T *= 0.995;
    }
    return Chain{std::move(ws.b), ws.e};  // final state, not the best visited
}

Chain TournamentMCMC::refine_elite(const Problem& pb, const Chain& start, std::size_t ei,
                                   double T) const {
    const std::uint64_t seed = seed_ + 7777u + 13u * static_cast<std::uint64_t>(ei);
    Workspace ws(seed, 0.3 * step_size_, pb.k, pb.fused ? 0 : pb.X.rows());
    ws.b = start.beta;
    ws.e = start.energy;  // taken over, not recomputed
    Chain best{Vector(pb.k), std::numeric_limits<double>::infinity()};  // sized once: copies below reuse it
    InterruptPacer pacer(pb.work_per_step);
    for (int it = 0; it < n_deep_; ++it) {
        pacer.step();
        metropolis_step(pb, ws, T);
        if (ws.e < best.energy) {
            best.beta = ws.b;
            best.energy = ws.e;
        }
        T *= 0.9997;
    }
    return best;
}

MCMCResult TournamentMCMC::fit(const MatrixCRef& X, const VectorCRef& y, const Matrix* R1,
                               const Matrix* R2, double gamma1, double gamma2) const {
    // Settings, shapes and numbers are checked once here; the hot loop trusts them.
    const PenaltySpec pen{R1, R2, gamma1, gamma2};
    require_search_arguments(n_chains_, X, y, pen, step_size_);
    const InterruptScope interruptible;
    const double eps_cached = tolerance_from_targets(y);
    const Problem pb{X,
                     y,
                     X.cols(),
                     pen,
                     eps_cached,
                     prepare_score(y.size(), static_cast<int>(X.cols()), H_piH_, /*tabulate=*/true),
                     kFusedProductIsEigens && X.rows() >= 2 && X.cols() < 128,
                     // one step: the n x k product and count, plus the penalty's k x k forms
                     static_cast<double>(X.rows()) * static_cast<double>(X.cols() + 1) +
                         (pen.active() ? 2.0 * static_cast<double>(X.cols() * X.cols()) : 0.0)};

    // Chain phase: every chain owns its slot, so the loop needs no lock.
    std::vector<Chain> chains(static_cast<std::size_t>(n_chains_));
    const bool use_team = thread_team_usable();
    for_each_index_on_team(n_chains_, use_team,
                           [&](int c) { chains[static_cast<std::size_t>(c)] = run_chain(pb, c); });

    Vector energies(n_chains_);
    for (int c = 0; c < n_chains_; ++c) energies[c] = chains[static_cast<std::size_t>(c)].energy;
    const GibbsResult gb = gibbs_entropy(energies, 1.0);

    // Elite: the best chain, then chains farther than the radius from every
    // member, in ranking order; then fill up from position m of the ranking,
    // blind to what is already taken (a chain may enter twice).
    // Ascending energy; an energy that is not a number ranks after every
    // number. A bare `<` is no strict weak ordering once a NaN is present
    // (undefined behaviour for std::sort) and could rank a NaN chain first,
    // whose energy nothing can then improve on. Without NaNs this is exactly `<`.
    std::sort(chains.begin(), chains.end(), [](const Chain& a, const Chain& b) {
        return a.energy < b.energy || (!std::isnan(a.energy) && std::isnan(b.energy));
    });
    std::vector<Chain> elite;
    elite.push_back(chains[0]);
    // Up to n_chains x n_elite distances (billions with large settings): polled.
    InterruptPacer per_distance(3.0 * static_cast<double>(pb.k) + 1.0);
    for (std::size_t i = 1; i < chains.size() && static_cast<int>(elite.size()) < n_elite_; ++i) {
        bool diverse = true;
        for (const Chain& member : elite) {
            per_distance.step();
            if (distance(chains[i].beta, member.beta) <= kDiversityRadius) {
                diverse = false;
                break;
            }
        }
        if (diverse) elite.push_back(chains[i]);
    }
    if (static_cast<int>(elite.size()) < n_elite_) {
        const std::size_t m = elite.size();
        for (std::size_t i = m; i < chains.size() && static_cast<int>(elite.size()) < n_elite_; ++i) {
            per_distance.step();
            elite.push_back(chains[i]);
        }
    }

    // Deep refinement: smaller, colder steps; one temperature falls across the
    // whole stage, starting from 0.5 * r_heat of the chain ensemble, so elite
    // chain ei starts where the chains before it left it: 0.9997 applied
    // ei * n_deep times, by the same repeated multiplication (never pow).
    // With its start temperature known, each elite chain depends only on its
    // start state and seed, and the chains run on the team like the chain phase.
    std::vector<double> start_T(elite.size());
    double T = 0.5 * gb.r_heat;
    for (std::size_t ei = 0; ei < elite.size(); ++ei) {
        start_T[ei] = T;
        InterruptPacer pacer(1.0);  // n_deep may be in the billions
        for (int it = 0; it < n_deep_; ++it) {
            pacer.step();
            T *= 0.9997;
        }
    }
    // As in the chain phase: each elite chain writes only its own slot,
    // exceptions are rethrown lowest index first (an interruption before
    // all), and a forked child runs the loop on its calling thread.
    std::vector<Chain> refined(elite.size());
    for_each_index_on_team(static_cast<int>(elite.size()), use_team, [&](int ei) {
        const std::size_t slot = static_cast<std::size_t>(ei);
        refined[slot] = refine_elite(pb, elite[slot], slot, start_T[slot]);
    });

    // The best state met anywhere, as one sequential pass would keep it: from
    // the best chain's start, replaced only by a strictly lower energy, elite
    // chains in order, so the first chain to reach the lowest energy wins.
    Vector best_b = elite[0].beta;
    double best_e = elite[0].energy;
    for (Chain& r : refined) {
        if (r.energy < best_e) {
            best_b = std::move(r.beta);
            best_e = r.energy;
        }
    }

    return MCMCResult{std::move(best_b), best_e, gb, n_chains_, n_elite_};
}

}  // namespace zelt
