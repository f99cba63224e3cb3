// Python binding of the zelt_core numeric core: converts arguments, delegates
// to one computational function, converts the result back. No computation here.
#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "basis.hpp"
#include "ensemble.hpp"
#include "fit.hpp"
#include "interrupt.hpp"
#include "stats.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using zelt::Matrix;
using zelt::Vector;

namespace {

// Optional-matrix parameter: None -> absent; anything else must convert to a
// Matrix (a failed cast raises RuntimeError "Unable to cast Python instance
// of type ..."). Callers convert R1 before R2.
// Typed as Optional[ArrayLike] in the generated signatures.
using OptionalMatrix = py::typing::Optional<Matrix>;

std::optional<Matrix> optional_matrix(const py::object& obj) {
    if (obj.is_none()) return std::nullopt;
    return obj.cast<Matrix>();
}

const Matrix* pointer_to(const std::optional<Matrix>& m) { return m ? &*m : nullptr; }

// Entries 1-4.
void register_stats(py::module_& m) {
    m.def(
        "mad", [](const Vector& y) { return zelt::mad(y); }, "y"_a);
    m.def(
        "compute_sr",
        [](const Vector& yp, const Vector& yt, double eps) {
            zelt::require_prediction_covers_targets(yp, yt);
            return zelt::compute_SR(yp, yt, eps);
        },
        "yp"_a, "yt"_a, "eps"_a);
    m.def(
        "mdl_score",
        [](const Vector& yp, const Vector& yt, int k, int H) {
            zelt::require_prediction_covers_targets(yp, yt);
            return zelt::mdl_score(yp, yt, k, H, nullptr, nullptr);
        },
        "yp"_a, "yt"_a, "k"_a, "H"_a = 20);
    m.def(
        "mdl_score_reg",
        [](const Vector& yp, const Vector& yt, int k, int H, const Vector& beta, const Matrix& R1,
           const Matrix& R2, double gamma1, double gamma2) {
            const zelt::PenaltySpec pen{&R1, &R2, gamma1, gamma2};
            zelt::require_prediction_covers_targets(yp, yt);
            zelt::require_penalty_shape(pen, beta.size());
            return zelt::mdl_score(yp, yt, k, H, &beta, &pen);
        },
        "yp"_a, "yt"_a, "k"_a, "H"_a, "beta"_a, "R1"_a, "R2"_a, "gamma1"_a = 0.0,
        "gamma2"_a = 0.0);
}

// Entries 5-9: polynomial bases and penalties.
void register_basis(py::module_& m) {
    m.def(
        "design_matrix_1d", [](int deg, const Vector& x) { return zelt::design_matrix_1d(deg, x); },
        "deg"_a, "x"_a);
    m.def(
        "smoothness_penalty_matrices_1d",
        [](int deg, double x_min, double x_max, int n_grid) {
            zelt::PenaltyMatrices1D r = zelt::smoothness_penalty_matrices_1d(deg, x_min, x_max, n_grid);
            return std::make_pair(std::move(r.R1), std::move(r.R2));
        },
        "deg"_a, "x_min"_a, "x_max"_a, "n_grid"_a = 600);
    m.def(
        "boundary_reduce_1d",
        [](int deg, double x_min, double x_max) { return zelt::boundary_reduce_1d(deg, x_min, x_max); },
        "deg"_a, "x_min"_a, "x_max"_a);
    m.def(
        "design_matrix_nd",
        [](const zelt::MultiIndexList& multi_indices, const std::vector<Vector>& X_cols) {
            return zelt::design_matrix_nd(multi_indices, X_cols);
        },
        "multi_indices"_a, "X_cols"_a);
    m.def(
        "build_penalty_matrices_nd",
        [](const std::vector<int>& degrees, const zelt::Bounds& bounds, int n_grid_per_dim) {
            zelt::PenaltyMatricesND r = zelt::build_penalty_matrices_nd(degrees, bounds, n_grid_per_dim);
            return std::make_tuple(std::move(r.R1), std::move(r.R2), std::move(r.multi_indices));
        },
        "degrees"_a, "bounds"_a, "n_grid_per_dim"_a = 30);
}

// Entries 10-11: linear fits.
void register_fit(py::module_& m) {
    m.def(
        "ols",
        [](const Matrix& X, const Vector& y) {
            zelt::require_ols_arguments(X, y);
            return zelt::ols(X, y);
        },
        "X"_a, "y"_a);
    m.def(
        "fit_regularized_linear",
        [](const Matrix& Phi, const Vector& y, const OptionalMatrix& R1,
           const OptionalMatrix& R2, double gamma1, double gamma2, double ridge) {
            const std::optional<Matrix> r1 = optional_matrix(R1);
            const std::optional<Matrix> r2 = optional_matrix(R2);
            const zelt::PenaltySpec pen{pointer_to(r1), pointer_to(r2), gamma1, gamma2};
            zelt::require_fit_arguments(Phi, y, pen, ridge);
            return zelt::fit_regularized_linear(Phi, y, pen.R1, pen.R2, gamma1, gamma2, ridge);
        },
        "Phi"_a, "y"_a, "R1"_a = py::none(), "R2"_a = py::none(), "gamma1"_a = 0.0,
        "gamma2"_a = 0.0, "ridge"_a = 1e-10);
}

// ---- pickling, copying and repr of the classes ------------------------------
// A pickled state is a tuple led by a format number, so that a state written
// by a layout other than this one is refused by name instead of being misread.
// Floats travel as Python floats and coefficients as a float64 array: both
// keep every bit, so a round trip reproduces a result or an engine exactly.
constexpr int kStateFormat = 1;

[[noreturn]] void refuse_state(const char* cls, const std::string& why) {
    throw py::value_error(std::string("zelt_core.") + cls + ": cannot restore a pickled state: " + why);
}

// The tuple behind `state`, checked for this format and `n_items` items.
py::tuple state_tuple(const py::object& state, std::size_t n_items, const char* cls) {
    if (!py::isinstance<py::tuple>(state) || py::len(state) == 0 ||
        !py::isinstance<py::int_>(py::tuple(state)[0]) || py::isinstance<py::bool_>(py::tuple(state)[0])) {
        refuse_state(cls, "expected a tuple led by its format number, got " +
                              py::repr(state).cast<std::string>());
    }
    const py::tuple t = state;
    if (!py::int_(kStateFormat).equal(t[0])) {
        refuse_state(cls, "it has format " + py::repr(t[0]).cast<std::string>() +
                              ", this version of zelt_core reads format " +
                              std::to_string(kStateFormat));
    }
    if (t.size() != n_items) {
        refuse_state(cls, "format " + std::to_string(kStateFormat) + " has " +
                              std::to_string(n_items) + " items, the state has " +
                              std::to_string(t.size()));
    }
    return t;
}

template <class Int>
Int int_item(const py::tuple& t, std::size_t i, const char* cls, const char* field) {
    const py::handle h = t[i];
    if (py::isinstance<py::int_>(h) && !py::isinstance<py::bool_>(h)) {
        try {
            return h.cast<Int>();
        } catch (const py::cast_error&) {  // out of the field's range
        }
    }
    refuse_state(cls, std::string(field) + " must be an int in the field's range, got " +
                          py::repr(h).cast<std::string>());
}

double float_item(const py::tuple& t, std::size_t i, const char* cls, const char* field) {
    const py::handle h = t[i];
    if (!py::isinstance<py::float_>(h)) {
        refuse_state(cls, std::string(field) + " must be a float, got " + py::repr(h).cast<std::string>());
    }
    return h.cast<double>();
}

py::tuple gibbs_state(const zelt::GibbsResult& g) {
    return py::make_tuple(kStateFormat, g.H, g.Hmax, g.He, g.r_heat, g.var_E, g.T);
}

zelt::GibbsResult gibbs_from_state(const py::object& state, const char* cls = "GibbsResult") {
    const py::tuple t = state_tuple(state, 7, cls);
    zelt::GibbsResult g;
    g.H = float_item(t, 1, cls, "H");
    g.Hmax = float_item(t, 2, cls, "Hmax");
    g.He = float_item(t, 3, cls, "He");
    g.r_heat = float_item(t, 4, cls, "r_heat");
    g.var_E = float_item(t, 5, cls, "var_E");
    g.T = float_item(t, 6, cls, "T");
    return g;
}

py::tuple mcmc_result_state(const zelt::MCMCResult& r) {
    const Vector& b = r.beta_mcmc;
    return py::make_tuple(kStateFormat, py::array_t<double>(b.size(), b.data()), r.energy,
                          gibbs_state(r.gibbs), r.n_chains, r.n_elite);
}

zelt::MCMCResult mcmc_result_from_state(const py::object& state) {
    const char* cls = "MCMCResult";
    const py::tuple t = state_tuple(state, 6, cls);
    const py::handle beta = t[1];
    // Only what the state was written as: a 1-D float64 array, copied as is.
    if (!py::isinstance<py::array_t<double>>(beta) || py::reinterpret_borrow<py::array>(beta).ndim() != 1) {
        refuse_state(cls, "beta_mcmc must be a one-dimensional float64 array, got " +
                              py::repr(beta).cast<std::string>());
    }
    zelt::MCMCResult r;
    r.beta_mcmc = beta.cast<Vector>();
    r.energy = float_item(t, 2, cls, "energy");
    r.gibbs = gibbs_from_state(t[3], "MCMCResult (its gibbs record)");
    r.n_chains = int_item<int>(t, 4, cls, "n_chains");
    r.n_elite = int_item<int>(t, 5, cls, "n_elite");
    return r;
}

py::tuple engine_state(const zelt::TournamentMCMC& e) {
    return py::make_tuple(kStateFormat, e.n_chains(), e.n_warmup(), e.n_deep(), e.n_elite(),
                          e.step_size(), e.H_piH(), e.seed());
}

zelt::TournamentMCMC engine_from_state(const py::object& state) {
    const char* cls = "TournamentMCMC";
    const py::tuple t = state_tuple(state, 8, cls);
    return zelt::TournamentMCMC(
        int_item<int>(t, 1, cls, "n_chains"), int_item<int>(t, 2, cls, "n_warmup"),
        int_item<int>(t, 3, cls, "n_deep"), int_item<int>(t, 4, cls, "n_elite"),
        float_item(t, 5, cls, "step_size"), int_item<int>(t, 6, cls, "H_piH"),
        int_item<std::uint64_t>(t, 7, cls, "seed"));
}

// Python's shortest round-trip text of a double; in an engine's repr the
// non-finite values are spelled so that the text still evaluates.
std::string float_text(double x, bool evaluable = false) {
    if (evaluable && !std::isfinite(x)) {
        return std::isnan(x) ? "float('nan')" : (x > 0 ? "float('inf')" : "-float('inf')");
    }
    return py::repr(py::float_(x)).cast<std::string>();
}

// Two engines are equal when they fit identically: every setting the same,
// the step size bit for bit.
std::uint64_t bits_of(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

bool same_settings(const zelt::TournamentMCMC& a, const zelt::TournamentMCMC& b) {
    return a.n_chains() == b.n_chains() && a.n_warmup() == b.n_warmup() &&
           a.n_deep() == b.n_deep() && a.n_elite() == b.n_elite() &&
           bits_of(a.step_size()) == bits_of(b.step_size()) && a.H_piH() == b.H_piH() &&
           a.seed() == b.seed();
}

// copy.copy and copy.deepcopy make a value copy of the native record (the
// records hold no references). Pickling of every protocol goes through
// __reduce__ to the class's own __getstate__/__setstate__: the default
// reduction of protocols 0 and 1 would call the binding library's base type
// with the instance, which aborts the interpreter.
template <class T, class Class>
void def_copies(Class& cls) {
    cls.def("__copy__", [](const T& self) { return T(self); })
        .def("__deepcopy__", [](const T& self, const py::dict&) { return T(self); }, "memo"_a)
        .def("__reduce__", [](const py::object& self) -> py::tuple {
            return py::make_tuple(py::module_::import("copyreg").attr("__newobj__"),
                                  py::make_tuple(py::type::of(self)), self.attr("__getstate__")());
        });
}

// Entries 12-15: Gibbs entropy and the tournament search.
void register_ensemble(py::module_& m) {
    using zelt::GibbsResult;
    using zelt::MCMCResult;
    using zelt::TournamentMCMC;

    // No constructor and no instance dictionary: instances come only from the
    // module and every attribute is read-only.
    py::class_<GibbsResult> gibbs_class(m, "GibbsResult");
    gibbs_class.def_readonly("H", &GibbsResult::H)
        .def_readonly("Hmax", &GibbsResult::Hmax)
        .def_readonly("He", &GibbsResult::He)
        .def_readonly("r_heat", &GibbsResult::r_heat)
        .def_readonly("var_E", &GibbsResult::var_E)
        .def_readonly("T", &GibbsResult::T)
        .def(py::pickle([](const GibbsResult& g) { return gibbs_state(g); },
                        [](const py::object& state) { return gibbs_from_state(state); }))
        .def("__repr__", [](const GibbsResult& g) {
            return "GibbsResult(H=" + float_text(g.H) + ", Hmax=" + float_text(g.Hmax) +
                   ", He=" + float_text(g.He) + ", r_heat=" + float_text(g.r_heat) +
                   ", var_E=" + float_text(g.var_E) + ", T=" + float_text(g.T) + ")";
        });
    def_copies<GibbsResult>(gibbs_class);

    m.def(
        "gibbs_entropy", [](const Vector& energies, double T) { return zelt::gibbs_entropy(energies, T); },
        "energies"_a, "T"_a = 1.0);

    py::class_<MCMCResult> result_class(m, "MCMCResult");
    result_class
        .def_property_readonly(
            "beta_mcmc",
            [](const py::object& self) {
                // A read-only view of the stored coefficients whose base is the
                // result, so the memory lives as long as the array.
                const Vector& b = self.cast<const MCMCResult&>().beta_mcmc;
                // k = 0 still needs a non-null pointer, or NumPy allocates its own
                // (empty) buffer and the array loses the result as its base.
                static const double empty = 0.0;
                py::array_t<double> a({b.size()}, {static_cast<py::ssize_t>(sizeof(double))},
                                      b.size() > 0 ? b.data() : &empty, self);
                py::detail::array_proxy(a.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
                return a;
            })
        .def_readonly("energy", &MCMCResult::energy)
        .def_property_readonly(
            "gibbs", [](const MCMCResult& r) -> const GibbsResult& { return r.gibbs; },
            py::return_value_policy::reference_internal)
        .def_readonly("n_chains", &MCMCResult::n_chains)
        .def_readonly("n_elite", &MCMCResult::n_elite)
        .def(py::pickle([](const MCMCResult& r) { return mcmc_result_state(r); },
                        [](const py::object& state) { return mcmc_result_from_state(state); }))
        .def("__repr__", [](const py::object& self) {
            const MCMCResult& r = self.cast<const MCMCResult&>();
            return "MCMCResult(energy=" + float_text(r.energy) +
                   ", beta_mcmc=" + py::repr(self.attr("beta_mcmc")).cast<std::string>() +
                   ", n_chains=" + std::to_string(r.n_chains) +
                   ", n_elite=" + std::to_string(r.n_elite) + ")";
        });
    def_copies<MCMCResult>(result_class);

    py::class_<TournamentMCMC> engine_class(m, "TournamentMCMC");
    engine_class
        .def(py::init<int, int, int, int, double, int, std::uint64_t>(), "n_chains"_a = 25,
             "n_warmup"_a = 200, "n_deep"_a = 2000, "n_elite"_a = 5, "step_size"_a = 0.05,
             "H_piH"_a = 20, "seed"_a = std::uint64_t{42})
        .def(
            "fit",
            [](const TournamentMCMC& self, const Matrix& X, const Vector& y, const OptionalMatrix& R1,
               const OptionalMatrix& R2, double gamma1, double gamma2) {
                const std::optional<Matrix> r1 = optional_matrix(R1);  // R1 before R2
                const std::optional<Matrix> r2 = optional_matrix(R2);
                return self.fit(X, y, pointer_to(r1), pointer_to(r2), gamma1, gamma2);
            },
            "X"_a, "y"_a, "R1"_a = py::none(), "R2"_a = py::none(), "gamma1"_a = 0.0,
            "gamma2"_a = 0.0)
        .def(py::pickle([](const TournamentMCMC& e) { return engine_state(e); },
                        [](const py::object& state) { return engine_from_state(state); }))
        .def("__repr__",
             [](const TournamentMCMC& e) {
                 return "TournamentMCMC(n_chains=" + std::to_string(e.n_chains()) +
                        ", n_warmup=" + std::to_string(e.n_warmup()) +
                        ", n_deep=" + std::to_string(e.n_deep()) +
                        ", n_elite=" + std::to_string(e.n_elite()) +
                        ", step_size=" + float_text(e.step_size(), true) +
                        ", H_piH=" + std::to_string(e.H_piH()) +
                        ", seed=" + std::to_string(e.seed()) + ")";
             })
        .def("__eq__", &same_settings, py::is_operator(), "other"_a)
        .def("__hash__", [](const TournamentMCMC& e) {
            return py::hash(py::make_tuple(e.n_chains(), e.n_warmup(), e.n_deep(), e.n_elite(),
                                           bits_of(e.step_size()), e.H_piH(), e.seed()));
        });
    def_copies<TournamentMCMC>(engine_class);
}

// Long computations poll this on the thread that called in, which holds the
// interpreter lock for the whole call: a pending Ctrl-C runs the Python signal
// handler here, and the KeyboardInterrupt it raises (or whatever a custom
// handler raises) is already set when the computation unwinds.
bool python_signal_pending() { return PyErr_CheckSignals() != 0; }

void connect_interruption_and_errors() {
    zelt::set_interrupt_check(&python_signal_pending);
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const zelt::Interrupted&) {
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        } catch (const std::bad_alloc& e) {
            // The library's own text, "std::bad_alloc", tells a user nothing.
            const std::string what = e.what();
            PyErr_SetString(PyExc_MemoryError,
                            what == "std::bad_alloc"
                                ? "not enough memory for the arrays this call needs (sizes too large?)"
                                : what.c_str());
        }
    });
}

}  // namespace

PYBIND11_MODULE(zelt_core, m) {
    m.doc() = "ZELT-P performans-kritik cekirdegi (C++/Eigen).";
    connect_interruption_and_errors();
    register_stats(m);
    register_basis(m);
    register_fit(m);
    register_ensemble(m);
}
