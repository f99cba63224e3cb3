// The starts of zelt_fit's robust refit, run on the search's sample of points
// (a dense design Phi (m x p) and targets v (m)): the high-breakdown
// S-estimate by fast-S, the M-scale of one vector of residuals, Tukey's
// biweight from least squares, and the upper tail of Fisher's F (the variance
// model's test). Pure functions of their arguments: no threads, no state, so
// many threads may call them at once.
#pragma once

#include <cstdint>

#include "types.hpp"

namespace zelt {

struct SEstimate {
    Vector coef;
    double scale = 0.0;
    int subsets = 0;  // elemental subsets that gave a determined solve
};

// Fast-S: elemental subsets of p rows drawn by splitmix64 from
// seed ^ 0x5345535453455354 (index z % m, subset by subset), those with a
// repeated row or a singular solve dropped, each candidate moved by one
// reweighted step on at most 500 spread rows, the best polished on every row
// by `polish` steps. subsets < 0 means subset_count(p). Returns false (out
// untouched) when m <= p or no subset determines the coefficients; throws
// std::invalid_argument for sizes that disagree, no columns, NaN or infinity.
bool s_estimate(const MatrixCRef& Phi, const VectorCRef& v, std::uint64_t seed, int subsets, double c, double b,
                int polish, SEstimate& out);

// Elemental subsets for a chance of at most 1e-3 that none is free of 30 %
// wrong points, within [30, 500].
int subset_count(int p);

// The bisquare M-scale s of r (mean rho(r / s) = b) by Newton's steps kept
// inside a bracket of the root; s0 > 0 is the first guess (else the
// normalised MAD). 0 when at most b * len(r) residuals are non-zero.
double m_scale_one(const VectorCRef& r, double c, double b, double s0, double tol, int iterations);

struct BiweightStart {
    Vector coef;
    double scale = 0.0;  // 1.4826 * median |v - Phi coef|
};

// Tukey's biweight by reweighted least squares from least squares, the scale
// the normalised MAD of each round's residuals, for at most max_rounds rounds.
BiweightStart biweight_start(const MatrixCRef& Phi, const VectorCRef& v, double c, int max_rounds);

// Upper tail of Fisher's F distribution with (d1, d2) degrees of freedom,
// through the regularised incomplete beta function (continued fraction,
// std::lgamma with Stirling's series for large arguments). 1 for F <= 0, NaN
// for a NaN argument or degrees of freedom that are not finite and positive.
double f_sf(double F, double d1, double d2);

}  // namespace zelt
