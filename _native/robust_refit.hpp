// zelt_fit's whole robust fit on the scaled problem, in one call: the core's
// search on a sample of the rows, three starts (the search's band, Tukey's
// biweight, an S-estimate), the consensus rounds of each and the choice among
// them, the degree for deg="auto", the variance model and the bisquare
// M-step with its covariance. Every round over the rows is one row_pass; the
// rest works on p x p sums. The Python modules _refit and _fit hold the same
// estimator as NumPy code, the reference this one is tested against.
#pragma once

#include "row_pass.hpp"
#include "types.hpp"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zelt {

// The search's settings (zelt_fit.SearchSettings) and whether its columns are
// mapped to [-1, 1] first (terms not closed under lowering a power).
struct SearchConfig {
    int n_chains = 25;
    int n_warmup = 200;
    int n_deep = 200;
    int n_elite = 5;
    double step_size = 0.05;
    std::uint64_t seed = 42;
    bool centred = false;
};

struct RefitConfig {
    SearchConfig search;
    bool auto_degree = false;
    int top = 0;                    // largest candidate degree (deg="auto"), or the model's degree
    std::vector<int> degrees;       // each term's degree as its basis counts it
    double slope = 0.0;             // smoothness weights of the refit (full-width R1, R2)
    double curvature = 0.0;
    const Matrix* R1 = nullptr;
    const Matrix* R2 = nullptr;
};

// One series: the raw rows (read through the scaling), their case weights
// (null: all 1) and weighted size, and the search's sample of them on the
// scaled problem (full-width design rows and targets).
struct FitData {
    std::int64_t n = 0;             // rows
    // one pass over the rows (row_pass on them, with the terms and scaling below)
    std::function<PassSums(const RowEvaluation&, const PassOptions&)> pass;
    const TermMatrix* terms = nullptr;
    const RowScaling* scaling = nullptr;
    const double* case_weights = nullptr;
    double total = 0.0;
    double tolerance = 0.4;         // half-width of the search's band
    const Matrix* Phi_s = nullptr;
    const Vector* v_s = nullptr;
    // the search's points as rows of their own, unweighted, where they are not
    // every row (null otherwise): the starts' consensus rounds and the choice
    // among them run there, and only the chosen start's rounds on every row
    const FitData* sample = nullptr;
    // where given, the final fit's membership of every row (one byte each),
    // written from the fit's last pass when that pass evaluated the final fit
    std::uint8_t* final_keep = nullptr;
};

struct DegreeRow {
    int degree = 0;
    int terms = 0;
    double criterion = 0.0;
    double bic = 0.0;
    std::int64_t inliers = 0;
};

// The fit on the scaled problem. ok = false: no robust fit rests on half the
// points (failed_inliers: the best found), and nothing else is set.
struct FitOutcome {
    bool ok = false;
    std::string error;              // set where the fit threw (in a batch)
    std::int64_t failed_inliers = 0;
    Eigen::VectorXi index;          // the chosen columns of the full basis
    Vector coef;                    // their coefficients
    // the evaluation that defines the inliers
    Vector final_coef;              // full width
    double final_cut = 0.0;
    bool has_g = false;
    Vector g;
    bool has_bisquare = false;
    double bisquare = 0.0;
    std::int64_t n_inliers = 0;
    int rounds = 0;
    Matrix cov_unit;
    double sigma = 0.0;
    double dof = 0.0;
    bool heteroscedastic = false;
    double scale = 0.0;
    double wcount = 0.0;
    Vector found_coef;              // the search's, full width
    double found_energy = 0.0;
    int start = 0;                  // 0 search band, 1 biweight, 2 S-estimate
    int degree = 0;                 // the chosen candidate (deg="auto")
    std::vector<DegreeRow> table;   // every candidate (deg="auto")
    bool keep_written = false;      // FitData::final_keep holds the final membership
};

FitOutcome robust_fit(const FitData& data, const RefitConfig& config);

// A series that lacks some of the batch's rows (a missing value of its own):
// the rows it uses (ascending indices into the batch's rows) and what its
// single fit would have of its own: the scaling of its variables, the
// search's sample (indices into its own rows) and that sample's design, the
// largest degree its data determine, its weighted size, and whether the
// batch's case weights apply (false where its own are all 1).
struct SeriesRows {
    std::vector<std::int64_t> rows;
    Vector x_center;
    Vector x_scale;
    std::vector<std::int64_t> sample;
    Matrix Phi_s;
    int top = 0;
    double total = 0.0;
    bool weighted = false;
};

// Many series sharing the rows X: column k of Y (n x m, at any strides) with
// its own scaling of y (y_center[k], y_scale[k]) and band (tolerance[k]),
// the same case weights, sample rows (indices into the n rows, whose scaled
// design is Phi_s) and settings for all.
struct SeriesBatch {
    StridedView<double> X;          // the rows, float64 ...
    StridedView<float> X_single;    // ... or float32 (read as it is) when x_single
    bool x_single = false;
    const unsigned char* Y = nullptr;
    bool y_single = false;          // Y holds float32
    std::int64_t m = 0;
    std::int64_t y_row_stride = 0;  // bytes
    std::int64_t y_col_stride = 0;
    const TermMatrix* terms = nullptr;
    const Vector* x_center = nullptr;
    const Vector* x_scale = nullptr;
    const double* y_center = nullptr;
    const double* y_scale = nullptr;
    const double* tolerance = nullptr;
    const double* case_weights = nullptr;
    double total = 0.0;
    const std::int64_t* sample = nullptr;
    std::int64_t sample_size = 0;
    const Matrix* Phi_s = nullptr;
    // per series: null, or that series' own rows (then everything above that
    // concerns rows, the scaling of x and the sample is its own)
    const std::vector<const SeriesRows*>* own = nullptr;
};

// Every series' fit, the series shared by the OpenMP team (one series per
// iteration, each fitted exactly as alone: the same bits for any team size).
// keep and weight (m x n, row k for series k) receive each row's membership
// and robustness weight in the final fit (0 where a series has none); weight
// may be null (the memberships alone). A
// series whose fit throws has ok = false and the message in `error`; a stop
// (Ctrl-C) ends the whole batch with Interrupted.
std::vector<FitOutcome> robust_fit_batch(const SeriesBatch& batch, const RefitConfig& config, std::uint8_t* keep,
                                         double* weight);

// The evaluation of the outcome as row_pass reads it (views into `out`).
RowEvaluation final_evaluation(const FitOutcome& out);

}  // namespace zelt
