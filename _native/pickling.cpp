// Pickling and copying of the module's three classes, with their repr,
// equality and hash (see pickling.hpp).
#include "pickling.hpp"

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

namespace py = pybind11;
using namespace pybind11::literals;
using zelt::Vector;

namespace zelt_py {

namespace {

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

}  // namespace

void add_gibbs_protocols(py::class_<zelt::GibbsResult>& cls) {
    using zelt::GibbsResult;
    cls.def(py::pickle([](const GibbsResult& g) { return gibbs_state(g); },
                       [](const py::object& state) { return gibbs_from_state(state); }))
        .def("__repr__", [](const GibbsResult& g) {
            return "GibbsResult(H=" + float_text(g.H) + ", Hmax=" + float_text(g.Hmax) +
                   ", He=" + float_text(g.He) + ", r_heat=" + float_text(g.r_heat) +
                   ", var_E=" + float_text(g.var_E) + ", T=" + float_text(g.T) + ")";
        });
    def_copies<GibbsResult>(cls);
}

void add_result_protocols(py::class_<zelt::MCMCResult>& cls) {
    using zelt::MCMCResult;
    cls.def(py::pickle([](const MCMCResult& r) { return mcmc_result_state(r); },
                       [](const py::object& state) { return mcmc_result_from_state(state); }))
        .def("__repr__", [](const py::object& self) {
            const MCMCResult& r = self.cast<const MCMCResult&>();
            return "MCMCResult(energy=" + float_text(r.energy) +
                   ", beta_mcmc=" + py::repr(self.attr("beta_mcmc")).cast<std::string>() +
                   ", n_chains=" + std::to_string(r.n_chains) +
                   ", n_elite=" + std::to_string(r.n_elite) + ")";
        });
    def_copies<MCMCResult>(cls);
}

void add_engine_protocols(py::class_<zelt::TournamentMCMC>& cls) {
    using zelt::TournamentMCMC;
    cls.def(py::pickle([](const TournamentMCMC& e) { return engine_state(e); },
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
    def_copies<TournamentMCMC>(cls);
}

}  // namespace zelt_py
