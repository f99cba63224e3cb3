// Python binding of the zelt_core numeric core: the module, one register_*
// per subsystem, the interruption hook and the exception translator. Each
// function converts its arguments, calls one computational function (which
// checks them) and converts the result back; no computation here. Pickling,
// copying and repr of the classes are in pickling.cpp.
#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <cstdint>
#include <new>
#include <optional>
#include <string>

#include "basis.hpp"
#include "convert.hpp"
#include "ensemble.hpp"
#include "fit.hpp"
#include "interrupt.hpp"
#include "pickling.hpp"
#include "stats.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using zelt::Matrix;
using zelt::Vector;

namespace {

// Array and list arguments arrive as these (convert.hpp): an owned native
// value, and an exception raised while converting propagates unchanged.
using zelt_py::ListArg;
using zelt_py::MatrixArg;
using zelt_py::VectorArg;

// Optional-matrix parameter: None -> absent; anything else must convert to a
// Matrix (RuntimeError "Unable to cast Python instance of type ..." naming the
// parameter). Callers convert R1 before R2. Typed as Optional[ArrayLike] in
// the generated signatures.
using OptionalMatrix = py::typing::Optional<Matrix>;
using zelt_py::optional_matrix;

const Matrix* pointer_to(const std::optional<Matrix>& m) { return m ? &*m : nullptr; }

// Entries 1-4.
void register_stats(py::module_& m) {
    m.def(
        "mad", [](const VectorArg& y) { return zelt::mad(y.value); }, "y"_a);
    m.def(
        "compute_sr",
        [](const VectorArg& yp, const VectorArg& yt, double eps) { return zelt::compute_SR(yp.value, yt.value, eps); },
        "yp"_a, "yt"_a, "eps"_a);
    m.def(
        "mdl_score",
        [](const VectorArg& yp, const VectorArg& yt, int k, int H) {
            return zelt::mdl_score(yp.value, yt.value, k, H, nullptr, nullptr);
        },
        "yp"_a, "yt"_a, "k"_a, "H"_a = 20);
    m.def(
        "mdl_score_reg",
        [](const VectorArg& yp, const VectorArg& yt, int k, int H, const VectorArg& beta, const MatrixArg& R1,
           const MatrixArg& R2, double gamma1, double gamma2) {
            const zelt::PenaltySpec pen{&R1.value, &R2.value, gamma1, gamma2};
            return zelt::mdl_score(yp.value, yt.value, k, H, &beta.value, &pen);
        },
        "yp"_a, "yt"_a, "k"_a, "H"_a, "beta"_a, "R1"_a, "R2"_a, "gamma1"_a = 0.0,
        "gamma2"_a = 0.0);
}

// Entries 5-9: polynomial bases and penalties.
void register_basis(py::module_& m) {
    m.def(
        "design_matrix_1d", [](int deg, const VectorArg& x) { return zelt::design_matrix_1d(deg, x.value); },
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
        [](const ListArg<ListArg<int>>& multi_indices, const ListArg<VectorArg>& X_cols) {
            return zelt::design_matrix_nd(multi_indices.value, X_cols.value);
        },
        "multi_indices"_a, "X_cols"_a);
    m.def(
        "build_penalty_matrices_nd",
        [](const ListArg<int>& degrees, const ListArg<std::pair<double, double>>& bounds, int n_grid_per_dim) {
            zelt::PenaltyMatricesND r = zelt::build_penalty_matrices_nd(degrees.value, bounds.value, n_grid_per_dim);
            return std::make_tuple(std::move(r.R1), std::move(r.R2), std::move(r.multi_indices));
        },
        "degrees"_a, "bounds"_a, "n_grid_per_dim"_a = 30);
}

// Entries 10-11: linear fits.
void register_fit(py::module_& m) {
    m.def(
        "ols",
        [](const MatrixArg& X, const VectorArg& y) { return zelt::ols(X.value, y.value); },
        "X"_a, "y"_a);
    m.def(
        "fit_regularized_linear",
        [](const MatrixArg& Phi, const VectorArg& y, const OptionalMatrix& R1,
           const OptionalMatrix& R2, double gamma1, double gamma2, double ridge) {
            const std::optional<Matrix> r1 = optional_matrix(R1, "R1");  // R1 before R2
            const std::optional<Matrix> r2 = optional_matrix(R2, "R2");
            return zelt::fit_regularized_linear(Phi.value, y.value, pointer_to(r1), pointer_to(r2), gamma1, gamma2,
                                                ridge);
        },
        "Phi"_a, "y"_a, "R1"_a = py::none(), "R2"_a = py::none(), "gamma1"_a = 0.0,
        "gamma2"_a = 0.0, "ridge"_a = 1e-10);
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
        .def_readonly("T", &GibbsResult::T);
    zelt_py::add_gibbs_protocols(gibbs_class);

    m.def(
        "gibbs_entropy", [](const VectorArg& energies, double T) { return zelt::gibbs_entropy(energies.value, T); },
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
                a.attr("setflags")("write"_a = false);
                return a;
            })
        .def_readonly("energy", &MCMCResult::energy)
        .def_property_readonly(
            "gibbs", [](const MCMCResult& r) -> const GibbsResult& { return r.gibbs; },
            py::return_value_policy::reference_internal)
        .def_readonly("n_chains", &MCMCResult::n_chains)
        .def_readonly("n_elite", &MCMCResult::n_elite);
    zelt_py::add_result_protocols(result_class);

    py::class_<TournamentMCMC> engine_class(m, "TournamentMCMC");
    engine_class
        .def(py::init<int, int, int, int, double, int, std::uint64_t>(), "n_chains"_a = 25,
             "n_warmup"_a = 200, "n_deep"_a = 2000, "n_elite"_a = 5, "step_size"_a = 0.05,
             "H_piH"_a = 20, "seed"_a = std::uint64_t{42})
        .def(
            "fit",
            [](const TournamentMCMC& self, const MatrixArg& X, const VectorArg& y, const OptionalMatrix& R1,
               const OptionalMatrix& R2, double gamma1, double gamma2) {
                const std::optional<Matrix> r1 = optional_matrix(R1, "R1");  // R1 before R2
                const std::optional<Matrix> r2 = optional_matrix(R2, "R2");
                return self.fit(X.value, y.value, pointer_to(r1), pointer_to(r2), gamma1, gamma2);
            },
            "X"_a, "y"_a, "R1"_a = py::none(), "R2"_a = py::none(), "gamma1"_a = 0.0,
            "gamma2"_a = 0.0);
    zelt_py::add_engine_protocols(engine_class);
    zelt_py::refuse_half_made_objects(gibbs_class, result_class, engine_class);
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

// pybind11's entry point is renamed so that the module's own runs first: in a
// sub-interpreter (mod_wsgi's default, _xxsubinterpreters) pybind11's set-up
// takes the interpreter lock through the main interpreter's thread state and
// deadlocks, so the import is refused before any of it runs.
#define PyInit_zelt_core zelt_core_pybind11_init
PYBIND11_MODULE(zelt_core, m) {
    m.doc() = "ZELT-P performans-kritik cekirdegi (C++/Eigen).";
    connect_interruption_and_errors();
    register_stats(m);
    register_basis(m);
    register_fit(m);
    register_ensemble(m);
}
#undef PyInit_zelt_core

extern "C" PYBIND11_EXPORT PyObject* PyInit_zelt_core() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "zelt_core does not support sub-interpreters: import it in the main interpreter "
                        "(under mod_wsgi: WSGIApplicationGroup %{GLOBAL})");
        return nullptr;
    }
    return zelt_core_pybind11_init();
}
