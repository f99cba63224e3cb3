// Python binding of zelt_fit's compiled fit (robust_refit.hpp): converts the
// arrays and settings, calls robust_fit_batch, and returns every series'
// outcome as arrays of a dict. No computation here; the interpreter lock is
// held, so that the cancellation hook can run Python's signal handlers.
#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "robust_refit.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

using Terms = py::array_t<int, py::array::c_style | py::array::forcecast>;
using Indices = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using Contiguous = py::array_t<double, py::array::c_style | py::array::forcecast>;

void require(bool ok, const std::string& message) {
    if (!ok) throw py::value_error(message);
}

// An array read in place when it holds float64 or float32 (at any strides),
// otherwise converted to float64 once.
struct FloatsIn {
    py::array array;
    bool single = false;
};

FloatsIn floats_in(const py::object& obj, const char* name) {
    py::array a = py::array::ensure(obj);
    if (!a) throw py::type_error(std::string(name) + " must be an array of numbers");
    if (a.dtype().is(py::dtype::of<double>())) return FloatsIn{a, false};
    if (a.dtype().is(py::dtype::of<float>())) return FloatsIn{a, true};
    return FloatsIn{py::array_t<double, py::array::forcecast>::ensure(a), false};
}

const double* values_of(const Contiguous& a, py::ssize_t size, const char* name) {
    require(a.ndim() == 1 && a.shape(0) == size, std::string(name) + " must have " + std::to_string(size) + " values");
    return a.data();
}

py::dict outcomes_to_dict(const std::vector<zelt::FitOutcome>& out, int p, int q, int top, bool auto_degree,
                          py::array_t<bool>& keep, py::array_t<double>& weight) {
    const auto m = static_cast<py::ssize_t>(out.size());
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    py::array_t<bool> ok(m), het(m), has_g(m);
    py::array_t<double> coef({m, static_cast<py::ssize_t>(p)}), final_coef({m, static_cast<py::ssize_t>(p)}),
        found_coef({m, static_cast<py::ssize_t>(p)}), cov({m, static_cast<py::ssize_t>(p), static_cast<py::ssize_t>(p)}),
        g({m, static_cast<py::ssize_t>(q)}), table({m, static_cast<py::ssize_t>(auto_degree ? top + 1 : 0),
                                                    static_cast<py::ssize_t>(4)});
    py::array_t<double> final_cut(m), bisquare(m), sigma(m), dof(m), scale(m), wcount(m), energy(m);
    py::array_t<std::int64_t> n_inliers(m), rounds(m), start(m), degree(m), failed_inliers(m), width(m);
    py::list errors;
    auto C = coef.mutable_unchecked<2>();
    auto F = final_coef.mutable_unchecked<2>();
    auto S = found_coef.mutable_unchecked<2>();
    auto V = cov.mutable_unchecked<3>();
    auto Gm = g.mutable_unchecked<2>();
    auto T = table.mutable_unchecked<3>();
    for (py::ssize_t k = 0; k < m; ++k) {
        const zelt::FitOutcome& o = out[static_cast<std::size_t>(k)];
        ok.mutable_at(k) = o.ok;
        errors.append(py::str(o.error));
        for (int i = 0; i < p; ++i) {
            C(k, i) = o.ok ? 0.0 : nan;
            F(k, i) = o.ok ? o.final_coef(i) : nan;
            S(k, i) = o.found_coef.size() == p ? o.found_coef(i) : nan;
            for (int j = 0; j < p; ++j) V(k, i, j) = o.ok ? 0.0 : nan;
        }
        if (o.ok) {
            for (Eigen::Index i = 0; i < o.index.size(); ++i) {
                C(k, o.index(i)) = o.coef(i);
                for (Eigen::Index j = 0; j < o.index.size(); ++j) V(k, o.index(i), o.index(j)) = o.cov_unit(i, j);
            }
        }
        has_g.mutable_at(k) = o.has_g;
        for (int i = 0; i < q; ++i) Gm(k, i) = o.has_g ? o.g(i) : nan;
        for (std::size_t r = 0; auto_degree && r < static_cast<std::size_t>(top + 1); ++r) {
            const bool row = r < o.table.size();
            const auto rr = static_cast<py::ssize_t>(r);
            T(k, rr, 0) = row ? o.table[r].terms : nan;
            T(k, rr, 1) = row ? o.table[r].criterion : nan;
            T(k, rr, 2) = row ? o.table[r].bic : nan;
            T(k, rr, 3) = row ? static_cast<double>(o.table[r].inliers) : nan;
        }
        final_cut.mutable_at(k) = o.ok ? o.final_cut : nan;
        bisquare.mutable_at(k) = o.ok && o.has_bisquare ? o.bisquare : nan;
        sigma.mutable_at(k) = o.ok ? o.sigma : nan;
        dof.mutable_at(k) = o.ok ? o.dof : nan;
        scale.mutable_at(k) = o.ok ? o.scale : nan;
        wcount.mutable_at(k) = o.ok ? o.wcount : nan;
        energy.mutable_at(k) = o.found_coef.size() ? o.found_energy : nan;
        het.mutable_at(k) = o.heteroscedastic;
        n_inliers.mutable_at(k) = o.n_inliers;
        rounds.mutable_at(k) = o.rounds;
        start.mutable_at(k) = o.start;
        degree.mutable_at(k) = o.degree;
        failed_inliers.mutable_at(k) = o.failed_inliers;
        width.mutable_at(k) = static_cast<std::int64_t>(o.index.size());
    }
    return py::dict("ok"_a = ok, "error"_a = errors, "coef"_a = coef, "cov_unit"_a = cov, "final_coef"_a = final_coef,
                    "final_cut"_a = final_cut, "has_g"_a = has_g, "g"_a = g, "bisquare"_a = bisquare,
                    "n_inliers"_a = n_inliers, "rounds"_a = rounds, "sigma"_a = sigma, "dof"_a = dof,
                    "heteroscedastic"_a = het, "scale"_a = scale, "wcount"_a = wcount, "found_coef"_a = found_coef,
                    "found_energy"_a = energy, "start"_a = start, "degree"_a = degree, "table"_a = table,
                    "failed_inliers"_a = failed_inliers, "n_columns"_a = width, "inliers"_a = keep,
                    "weights"_a = weight);
}

py::dict fit_series(const py::object& X_obj, const py::object& Y_obj, const Terms& terms_arr, const zelt::Vector& x_center,
                    const zelt::Vector& x_scale, const Contiguous& y_center, const Contiguous& y_scale,
                    const Contiguous& tolerance, const std::optional<Contiguous>& cw, double total,
                    const Indices& sample, const zelt::Matrix& Phi_s, int n_chains, int n_warmup, int n_deep,
                    int n_elite, double step_size, std::uint64_t seed, bool centred, bool auto_degree, int top,
                    const std::vector<int>& degrees, double slope, double curvature,
                    const std::optional<zelt::Matrix>& R1, const std::optional<zelt::Matrix>& R2,
                    const py::object& own_rows, bool want_weights) {
    const FloatsIn Xin = floats_in(X_obj, "X"), Yin = floats_in(Y_obj, "Y");
    const py::array& X = Xin.array;
    const py::array& Y = Yin.array;
    require(X.ndim() == 2 && Y.ndim() == 2 && X.shape(0) == Y.shape(0), "X must be (n, d) and Y (n, m)");
    require(terms_arr.ndim() == 2 && terms_arr.shape(1) == X.shape(1), "terms must be (p, d)");
    const py::ssize_t n = X.shape(0), m = Y.shape(1);
    const int p = static_cast<int>(terms_arr.shape(0)), d = static_cast<int>(X.shape(1));
    require(x_center.size() == d && x_scale.size() == d, "x_center and x_scale must have d values");
    require(sample.ndim() == 1, "sample must be a vector of row indices");
    const zelt::TermMatrix terms = Eigen::Map<const zelt::TermMatrix>(terms_arr.data(), p, d);
    zelt::SeriesBatch b;
    const auto set_view = [&](auto& v) {
        v.data = static_cast<const unsigned char*>(X.data());
        v.rows = n;
        v.cols = d;
        v.row_stride = X.strides(0);
        v.col_stride = X.strides(1);
    };
    b.x_single = Xin.single;
    if (Xin.single) {
        set_view(b.X_single);
    } else {
        set_view(b.X);
    }
    b.Y = static_cast<const unsigned char*>(Y.data());
    b.y_single = Yin.single;
    b.m = m;
    b.y_row_stride = Y.strides(0);
    b.y_col_stride = Y.strides(1);
    b.terms = &terms;
    b.x_center = &x_center;
    b.x_scale = &x_scale;
    b.y_center = values_of(y_center, m, "y_center");
    b.y_scale = values_of(y_scale, m, "y_scale");
    b.tolerance = values_of(tolerance, m, "tolerance");
    b.case_weights = cw ? values_of(*cw, n, "cw") : nullptr;
    b.total = total;
    b.sample = sample.data();
    b.sample_size = sample.shape(0);
    b.Phi_s = &Phi_s;
    // the series with rows of their own: (rows, x_center, x_scale, sample, Phi_s, top, total, weighted)
    std::vector<zelt::SeriesRows> own_store;
    std::vector<const zelt::SeriesRows*> own;
    if (!own_rows.is_none()) {
        const py::list items = own_rows.cast<py::list>();
        require(static_cast<py::ssize_t>(items.size()) == m, "own must have an entry per series");
        own_store.reserve(items.size());
        for (const py::handle item : items) {
            if (item.is_none()) continue;
            const py::tuple t = item.cast<py::tuple>();
            require(t.size() == 8, "an own entry is (rows, x_center, x_scale, sample, Phi_s, top, total, weighted)");
            zelt::SeriesRows r;
            r.rows = t[0].cast<std::vector<std::int64_t>>();
            r.x_center = t[1].cast<zelt::Vector>();
            r.x_scale = t[2].cast<zelt::Vector>();
            r.sample = t[3].cast<std::vector<std::int64_t>>();
            r.Phi_s = t[4].cast<zelt::Matrix>();
            r.top = t[5].cast<int>();
            r.total = t[6].cast<double>();
            r.weighted = t[7].cast<bool>();
            require(r.x_center.size() == d && r.x_scale.size() == d && r.Phi_s.cols() == p,
                    "an own entry's scaling and design must match the terms");
            require(!r.weighted || cw, "an own entry asks for case weights the batch does not have");
            own_store.push_back(std::move(r));
        }
        std::size_t next = 0;
        for (const py::handle item : items) own.push_back(item.is_none() ? nullptr : &own_store[next++]);
        b.own = &own;
    }
    zelt::RefitConfig config;
    config.search = zelt::SearchConfig{n_chains, n_warmup, n_deep, n_elite, step_size, seed, centred};
    config.auto_degree = auto_degree;
    config.top = top;
    config.degrees = degrees;
    config.slope = slope;
    config.curvature = curvature;
    config.R1 = R1 ? &*R1 : nullptr;
    config.R2 = R2 ? &*R2 : nullptr;
    py::array_t<bool> keep({m, n});
    py::array_t<double> weight(want_weights ? std::vector<py::ssize_t>{m, n} : std::vector<py::ssize_t>{0, 0});
    const std::vector<zelt::FitOutcome> out = zelt::robust_fit_batch(
        b, config, reinterpret_cast<std::uint8_t*>(keep.mutable_data()), want_weights ? weight.mutable_data() : nullptr);
    const int top_degree = degrees.empty() ? 0 : *std::max_element(degrees.begin(), degrees.end());
    return outcomes_to_dict(out, p, 1 + 2 * d, top_degree, auto_degree, keep, weight);
}

}  // namespace

void register_fits(py::module_& m) {
    m.def("fit_series", &fit_series, "X"_a, "Y"_a, "terms"_a, "x_center"_a, "x_scale"_a, "y_center"_a, "y_scale"_a,
          "tolerance"_a, "cw"_a, "total"_a, "sample"_a, "Phi_s"_a, "n_chains"_a, "n_warmup"_a, "n_deep"_a,
          "n_elite"_a, "step_size"_a, "seed"_a, "centred"_a, "auto_degree"_a, "top"_a, "degrees"_a, "slope"_a,
          "curvature"_a, "R1"_a = py::none(), "R2"_a = py::none(), "own"_a = py::none(), "weights"_a = true,
          "The robust fit of every column of Y (n, m) against X (n, d) on the scaled problem, the series "
          "shared by the OpenMP team: a dict of arrays with a row per series.");
}
