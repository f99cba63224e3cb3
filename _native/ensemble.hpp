// Ensemble search: Gibbs entropy of an energy sample and the tournament MCMC
// engine (annealed parallel chains, diverse elite, cold refinement). Its
// random streams are in random_streams.hpp, one Metropolis step in
// metropolis.hpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "types.hpp"

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

// The outcome of a search.
struct MCMCResult {
    Vector beta_mcmc;  // best coefficient vector met
    double energy = 0.0;
    GibbsResult gibbs;  // summary of the chain-phase energies at T = 1
    int n_chains = 0;   // the engine's settings, reported unchanged
    int n_elite = 0;
};

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
