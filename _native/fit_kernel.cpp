// Python binding of zelt_fit's compiled pass (zelt_fit._kernel): converts the
// arrays (float64 and float32 read in place, anything else converted once),
// calls row_pass / row_inliers, and returns the sums as a dict; and the
// refit's starts on the search's sample (robust_start.hpp), for the tests
// that hold them to their NumPy references. No computation here. The
// interpreter lock is held for the whole call, so that the
// cancellation hook can run Python's signal handlers (as in zelt_core).
#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "interrupt.hpp"
#include "robust_start.hpp"
#include "row_pass.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

// An array read in place when it holds float64 or float32 (at any strides and
// alignment); otherwise converted to float64 once (the owner is kept here).
struct ArrayIn {
    py::array array;
    bool single = false;  // float32
};

ArrayIn array_in(const py::object& obj, const char* name, int ndim) {
    py::array a = py::array::ensure(obj);
    if (!a) throw py::type_error(std::string(name) + " must be an array of numbers");
    if (a.ndim() != ndim) {
        throw py::value_error(std::string(name) + " must have " + std::to_string(ndim) + " dimension(s), got " +
                              std::to_string(a.ndim()));
    }
    const bool f64 = a.dtype().is(py::dtype::of<double>());
    const bool f32 = a.dtype().is(py::dtype::of<float>());
    if (f64 || f32) return ArrayIn{a, f32};
    return ArrayIn{py::array_t<double, py::array::forcecast>::ensure(a), false};
}

template <class T>
zelt::StridedView<T> view_of(const py::array& a) {
    zelt::StridedView<T> v;
    v.data = static_cast<const unsigned char*>(a.data());
    v.rows = a.shape(0);
    v.row_stride = a.strides(0);
    if (a.ndim() == 2) {
        v.cols = a.shape(1);
        v.col_stride = a.strides(1);
    }
    return v;
}

// Calls f(view of X, view of y) with the element types the arrays hold.
template <class F>
auto with_views(const ArrayIn& X, const ArrayIn& y, F&& f) {
    if (X.single) {
        return y.single ? f(view_of<float>(X.array), view_of<float>(y.array))
                        : f(view_of<float>(X.array), view_of<double>(y.array));
    }
    return y.single ? f(view_of<double>(X.array), view_of<float>(y.array))
                    : f(view_of<double>(X.array), view_of<double>(y.array));
}

// A byte-per-row mask of n rows (numpy bool or uint8, contiguous).
template <class Ptr>
Ptr mask_of(const py::object& obj, py::ssize_t n, const char* name, bool write) {
    if (obj.is_none()) return nullptr;
    py::array a = py::array::ensure(obj);
    if (!a || a.ndim() != 1 || a.itemsize() != 1 || (a.dtype().kind() != 'b' && a.dtype().kind() != 'u') ||
        a.shape(0) != n || (a.strides(0) != 1 && n > 1)) {
        throw py::value_error(std::string(name) + " must be a contiguous bool array of " + std::to_string(n) +
                              " rows");
    }
    if (write) {
        if (!a.writeable()) throw py::value_error(std::string(name) + " is read-only");
        return reinterpret_cast<Ptr>(a.mutable_data());
    }
    return reinterpret_cast<Ptr>(const_cast<void*>(a.data()));
}

struct EvalArgs {
    zelt::Vector coef;
    std::optional<zelt::Vector> g;
    double cut;
    std::optional<double> bisquare;
    double tuning;

    zelt::RowEvaluation view() const {
        zelt::RowEvaluation e{coef, cut};
        e.g = g ? &*g : nullptr;
        e.has_bisquare = bisquare.has_value();
        e.bisquare = bisquare.value_or(0.0);
        e.tuning = tuning;
        return e;
    }
};

zelt::TermMatrix terms_of(const py::array_t<int, py::array::c_style | py::array::forcecast>& t) {
    if (t.ndim() != 2) throw py::value_error("terms must be a (p, d) array of powers");
    return Eigen::Map<const zelt::TermMatrix>(t.data(), t.shape(0), t.shape(1));
}

py::dict sums_to_dict(const zelt::PassSums& s) {
    py::dict out;
    out["G"] = s.G;
    out["h"] = s.h;
    out["vv"] = s.vv;
    out["count"] = s.count;
    out["tt"] = s.tt;
    out["changed"] = s.changed;
    out["psi2"] = s.psi2;
    out["dpsi"] = s.dpsi;
    out["dpsi2"] = s.dpsi2;
    out["QQ"] = s.QQ.size() ? py::cast(s.QQ) : py::none();
    out["Qz"] = s.Qz.size() ? py::cast(s.Qz) : py::none();
    out["z1"] = s.z1;
    out["z2"] = s.z2;
    out["Gu"] = s.Gu.size() ? py::cast(s.Gu) : py::none();
    out["Hpsi"] = s.Hpsi.size() ? py::cast(s.Hpsi) : py::none();
    out["gpsi"] = s.gpsi.size() ? py::cast(s.gpsi) : py::none();
    out["clipped"] = s.clipped;
    out["prev_rr"] = s.prev_rr;
    out["wcount"] = s.wcount;
    return out;
}

using Terms = py::array_t<int, py::array::c_style | py::array::forcecast>;
using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

py::dict pass_sums(const py::object& X_obj, const py::object& y_obj, const Terms& terms_arr,
                   const zelt::Vector& x_center, const zelt::Vector& x_scale, double y_center, double y_scale,
                   const EvalArgs& ev_args, std::optional<EvalArgs> prev_args, const py::object& previous_keep,
                   const py::object& keep_out, bool variance, std::optional<double> clip,
                   const std::optional<Doubles>& cw, std::int64_t block_rows) {
    const ArrayIn X = array_in(X_obj, "X", 2), y = array_in(y_obj, "y", 1);
    const zelt::TermMatrix terms = terms_of(terms_arr);
    const py::ssize_t n = X.array.shape(0);
    zelt::PassOptions opt;
    const zelt::RowEvaluation ev = ev_args.view();
    std::optional<zelt::RowEvaluation> prev;
    if (prev_args) prev.emplace(prev_args->view());
    opt.previous = prev ? &*prev : nullptr;
    opt.previous_keep = mask_of<const std::uint8_t*>(previous_keep, n, "previous_keep", false);
    opt.keep_out = mask_of<std::uint8_t*>(keep_out, n, "keep_out", true);
    opt.variance = variance;
    opt.has_clip = clip.has_value();
    opt.clip = clip.value_or(0.0);
    opt.block_rows = block_rows;
    std::vector<double> aligned_cw;
    if (cw) {
        if (cw->ndim() != 1 || cw->shape(0) != n) {
            throw py::value_error("cw must have one weight per row (" + std::to_string(n) + ")");
        }
        const double* w = cw->data();
        if (reinterpret_cast<std::uintptr_t>(w) % alignof(double) != 0) {
            // a view into a byte buffer: read once into aligned storage
            aligned_cw.resize(static_cast<std::size_t>(n));
            std::memcpy(aligned_cw.data(), static_cast<const void*>(w), static_cast<std::size_t>(n) * sizeof(double));
            w = aligned_cw.data();
        }
        for (py::ssize_t i = 0; i < n; ++i) {
            if (!(std::isfinite(w[i]) && w[i] >= 0.0)) {
                throw py::value_error("cw must be finite and non-negative; row " + std::to_string(i) + " is " +
                                      std::to_string(w[i]));
            }
        }
        opt.case_weights = w;
    }
    const zelt::RowScaling scaling{x_center, x_scale, y_center, y_scale};
    const zelt::PassSums sums =
        with_views(X, y, [&](const auto& xv, const auto& yv) { return zelt::row_pass(xv, yv, terms, scaling, ev, opt); });
    return sums_to_dict(sums);
}

py::tuple inliers(const py::object& X_obj, const py::object& y_obj, const Terms& terms_arr,
                  const zelt::Vector& x_center, const zelt::Vector& x_scale, double y_center, double y_scale,
                  const EvalArgs& ev_args, std::int64_t block_rows) {
    const ArrayIn X = array_in(X_obj, "X", 2), y = array_in(y_obj, "y", 1);
    const zelt::TermMatrix terms = terms_of(terms_arr);
    const py::ssize_t n = X.array.shape(0);
    py::array_t<bool> keep(n);
    py::array_t<double> weight(n);
    const zelt::RowEvaluation ev = ev_args.view();
    const zelt::RowScaling scaling{x_center, x_scale, y_center, y_scale};
    auto* keep_bytes = reinterpret_cast<std::uint8_t*>(keep.mutable_data());
    double* w = weight.mutable_data();
    with_views(X, y, [&](const auto& xv, const auto& yv) {
        zelt::row_inliers(xv, yv, terms, scaling, ev, keep_bytes, w, block_rows);
        return 0;
    });
    return py::make_tuple(keep, weight);
}

EvalArgs eval_args(const zelt::Vector& coef, double cut, const std::optional<zelt::Vector>& g,
                   std::optional<double> bisquare, double tuning) {
    return EvalArgs{coef, g, cut, bisquare, tuning};
}

bool python_signal_pending() { return PyErr_CheckSignals() != 0; }

// The refit's starts on the search's sample (robust_start.hpp), at the
// defaults of their Python references (zelt_fit._sest, zelt_fit._refit).
void register_starts(py::module_& m) {
    m.def(
        "s_estimate",
        [](const zelt::Matrix& Phi, const zelt::Vector& v, const py::int_& seed, std::optional<int> subsets,
           int polish) -> py::object {
            if (subsets && *subsets < 0) throw py::value_error("subsets must be non-negative");
            if (polish < 0) throw py::value_error("polish must be non-negative");
            // any Python integer, taken modulo 2^64 as the reference takes it
            const auto seed64 = (seed & py::int_(0xFFFFFFFFFFFFFFFFULL)).cast<std::uint64_t>();
            zelt::SEstimate est;
            if (!zelt::s_estimate(Phi, v, seed64, subsets.value_or(-1), 1.5476450, 0.5, polish, est)) {
                return py::none();
            }
            return py::make_tuple(est.coef, est.scale, est.subsets);
        },
        "Phi"_a, "v"_a, "seed"_a, "subsets"_a = py::none(), "polish"_a = 3,
        "Fast-S on the rows of Phi (m, p) and v (m,): (coef, scale, subsets), or None when no subset "
        "determines the coefficients.");
    m.def(
        "m_scale_one",
        [](const zelt::Vector& r, double s0) { return zelt::m_scale_one(r, 1.5476450, 0.5, s0, 1e-12, 200); },
        "r"_a, "s0"_a = 0.0, "The bisquare M-scale (c = 1.5476450, b = 0.5) of one vector of residuals.");
    m.def(
        "biweight_start",
        [](const zelt::Matrix& Phi, const zelt::Vector& v) {
            if (v.size() != Phi.rows()) throw py::value_error("v must have one value per row of Phi");
            const zelt::BiweightStart st = zelt::biweight_start(Phi, v, 4.685, 50);
            return py::make_tuple(st.coef, st.scale);
        },
        "Phi"_a, "v"_a, "Tukey's biweight (c = 4.685, at most 50 rounds) from least squares: (coef, scale).");
    m.def("f_sf", &zelt::f_sf, "F"_a, "d1"_a, "d2"_a,
          "Upper tail of Fisher's F distribution with (d1, d2) degrees of freedom.");
}

}  // namespace

void register_fits(py::module_& m);  // fit_series.cpp

PYBIND11_MODULE(_kernel, m) {
    m.doc() =
        "zelt_fit's compiled pass: the sums of a refit round over raw rows, in one sweep; and the refit's starts.";
    zelt::set_interrupt_check(&python_signal_pending);
    // module-local: zelt_core keeps its own messages for its own calls
    py::register_local_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const zelt::Interrupted&) {
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        } catch (const std::bad_alloc&) {
            PyErr_SetString(PyExc_MemoryError, "not enough memory for the sums of this pass");
        }
    });
    m.attr("BLOCK_ROWS") = 16384;
    register_starts(m);
    m.def(
        "pass_sums",
        [](const py::object& X, const py::object& y, const Terms& terms, const zelt::Vector& x_center,
           const zelt::Vector& x_scale, double y_center, double y_scale, const zelt::Vector& coef, double cut,
           const std::optional<zelt::Vector>& g, std::optional<double> bisquare, double tuning,
           const std::optional<zelt::Vector>& prev_coef, double prev_cut, const std::optional<zelt::Vector>& prev_g,
           std::optional<double> prev_bisquare, double prev_tuning, const py::object& previous_keep,
           const py::object& keep_out, bool variance, std::optional<double> clip, const std::optional<Doubles>& cw,
           std::int64_t block_rows) {
            std::optional<EvalArgs> prev;
            if (prev_coef) prev = eval_args(*prev_coef, prev_cut, prev_g, prev_bisquare, prev_tuning);
            return pass_sums(X, y, terms, x_center, x_scale, y_center, y_scale,
                             eval_args(coef, cut, g, bisquare, tuning), prev, previous_keep, keep_out, variance,
                             clip, cw, block_rows);
        },
        "X"_a, "y"_a, "terms"_a, "x_center"_a, "x_scale"_a, "y_center"_a, "y_scale"_a, "coef"_a, "cut"_a,
        "g"_a = py::none(), "bisquare"_a = py::none(), "tuning"_a = 4.6850649, "prev_coef"_a = py::none(),
        "prev_cut"_a = std::numeric_limits<double>::infinity(), "prev_g"_a = py::none(),
        "prev_bisquare"_a = py::none(), "prev_tuning"_a = 4.6850649, "previous_keep"_a = py::none(),
        "keep_out"_a = py::none(), "variance"_a = false, "clip"_a = py::none(), "cw"_a = py::none(),
        "block_rows"_a = 16384,
        "The sums of one pass over the rows of X (n, d) and y (n,) (float64 or float32, read in place): "
        "a dict of zelt_fit's Stats fields and wcount.");
    m.def(
        "inliers",
        [](const py::object& X, const py::object& y, const Terms& terms, const zelt::Vector& x_center,
           const zelt::Vector& x_scale, double y_center, double y_scale, const zelt::Vector& coef, double cut,
           const std::optional<zelt::Vector>& g, std::optional<double> bisquare, double tuning,
           std::int64_t block_rows) {
            return inliers(X, y, terms, x_center, x_scale, y_center, y_scale,
                           eval_args(coef, cut, g, bisquare, tuning), block_rows);
        },
        "X"_a, "y"_a, "terms"_a, "x_center"_a, "x_scale"_a, "y_center"_a, "y_scale"_a, "coef"_a, "cut"_a,
        "g"_a = py::none(), "bisquare"_a = py::none(), "tuning"_a = 4.6850649, "block_rows"_a = 16384,
        "Every row's membership (bool) and robustness weight, as (keep, weight).");
    register_fits(m);
}
