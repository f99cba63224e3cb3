// Pickling and copying of the module's three classes, with their repr,
// equality and hash (see pickling.hpp).
#include "pickling.hpp"

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

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

// ---- no half-made objects ------------------------------------------------------
// pybind11 makes an instance in two steps: the type's allocation leaves the
// native value unmade, and __init__ (or __setstate__) makes it. Called alone,
// Cls.__new__(Cls) would hand out an instance whose methods read memory that
// was never initialised. So each class gets a __new__ of its own for explicit
// calls, which refuses to make a bare instance and makes a whole one from a
// pickled state, while calling the class keeps the allocation of the binding
// library (its slot), followed by __init__ as before. Python subclasses get the
// same split when they are created.

newfunc bare_allocation = nullptr;  // the binding library's allocation, shared by its classes
std::vector<py::handle> native_classes;  // the three classes, for their __setstate__

// A pickle carries (kStateTag, state) as the arguments of __new__: tagged, so
// that no call of a class (or of a subclass with its own __init__) is taken
// for one. Protocols 2 and up pass them to the allocation slot directly.
constexpr const char* kStateTag = "zelt_core pickled state";

bool is_tagged_state(PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 2 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) return false;
    PyObject* tag = PyTuple_GET_ITEM(args, 0);
    return PyUnicode_Check(tag) && PyUnicode_CompareWithASCIIString(tag, kStateTag) == 0;
}

// A whole instance of `type` (a class of the module or a subclass) from a state.
py::object from_state(PyTypeObject* type, py::handle state) {
    for (const py::handle native : native_classes) {
        if (!PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(native.ptr()))) continue;
        py::object obj = py::reinterpret_steal<py::object>(bare_allocation(type, py::tuple().ptr(), nullptr));
        if (!obj) throw py::error_already_set();
        native.attr("__setstate__")(obj, state);  // makes the value, or raises
        return obj;
    }
    throw py::type_error("not a zelt_core class");
}

// The allocation slot of the classes: a whole instance from a tagged state
// (unpickling), else the library's bare allocation that __init__ completes
// (calling the class, whose __init__ the library checks was run).
PyObject* allocation(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (!is_tagged_state(args, kwargs)) return bare_allocation(type, args, kwargs);
    try {
        return from_state(type, PyTuple_GET_ITEM(args, 1)).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    }
    return nullptr;
}

// Calling a class (or a subclass without a __new__ of its own) uses the slot.
void use_allocation_slot(py::handle cls, bool own_class = false) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    if (own_class || !py::reinterpret_borrow<py::dict>(type->tp_dict).contains("__new__")) {
        type->tp_new = &allocation;
        PyType_Modified(type);
    }
}

template <class T>
void def_whole_new(py::class_<T>& cls, const char* what) {
    const std::string refusal = py::str(cls.attr("__qualname__")).cast<std::string>() +
                                ".__new__ makes an instance only from a pickled state; " + what;
    py::cpp_function new_fn(
        [refusal](const py::args& args, const py::kwargs& kwargs) -> py::object {
            if (args.size() < 1 || !PyType_Check(args[0].ptr())) throw py::type_error(refusal);
            auto* type = reinterpret_cast<PyTypeObject*>(args[0].ptr());
            const py::tuple rest = args[py::slice(1, static_cast<py::ssize_t>(args.size()), 1)];
            if (is_tagged_state(rest.ptr(), kwargs.ptr())) return from_state(type, rest[1]);
            if (rest.size() == 1 && kwargs.empty()) return from_state(type, rest[0]);
            throw py::type_error(refusal);
        },
        py::name("__new__"));
    cls.attr("__new__") = py::staticmethod(new_fn);
    py::cpp_function init_subclass([](const py::object& cls, const py::kwargs&) { use_allocation_slot(cls); },
                                   py::name("__init_subclass__"), py::arg("cls"));
    cls.attr("__init_subclass__") = py::reinterpret_steal<py::object>(PyClassMethod_New(init_subclass.ptr()));
    use_allocation_slot(cls, /*own_class=*/true);
}

// copy.copy and copy.deepcopy of an instance of the class itself make a value
// copy of the native record (the records hold no references); an instance of
// a Python subclass is rebuilt from its state, as unpickling does, so the
// copy keeps the subclass (and its instance dictionary). Pickling of every
// protocol goes through __reduce__ to __new__ with the tagged state (below):
// the default reduction of protocols 0 and 1 would call the binding library's
// base type with the instance.
template <class T, class Class>
void def_copies(Class& cls) {
    cls.def("__copy__",
            [](const py::object& self) -> py::object {
                const py::handle type = py::type::of(self);
                if (type.is(py::type::of<T>())) return py::cast(T(self.cast<const T&>()));
                py::object copy = from_state(reinterpret_cast<PyTypeObject*>(type.ptr()), self.attr("__getstate__")());
                if (py::hasattr(self, "__dict__")) copy.attr("__dict__").attr("update")(self.attr("__dict__"));
                return copy;
            })
        .def(
            "__deepcopy__",
            [](const py::object& self, const py::dict& memo) -> py::object {
                const py::handle type = py::type::of(self);
                if (type.is(py::type::of<T>())) return py::cast(T(self.cast<const T&>()));
                py::object copy = from_state(reinterpret_cast<PyTypeObject*>(type.ptr()), self.attr("__getstate__")());
                if (py::hasattr(self, "__dict__")) {
                    copy.attr("__dict__").attr("update")(
                        py::module_::import("copy").attr("deepcopy")(self.attr("__dict__"), memo));
                }
                return copy;
            },
            "memo"_a)
        .def("__reduce__", [](const py::object& self) -> py::tuple {
            return py::make_tuple(py::module_::import("copyreg").attr("__newobj__"),
                                  py::make_tuple(py::type::of(self), kStateTag, self.attr("__getstate__")()));
        });
}

// The binding library's base type fails with a C++ exception (which aborts
// the interpreter) when asked for an instance that no bound class describes:
// pybind11_object() itself, or copyreg's protocol-0 reduction calling it. This
// allocation turns that failure into a TypeError; the base type and every
// type already using the library's allocation get it, so that CPython's
// check that __new__ belongs to the type's own base still holds for them.
PyObject* guarded_allocation(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        return bare_allocation(type, args, kwargs);
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_TypeError, "cannot create '%s' instances: %s", type->tp_name, e.what());
        return nullptr;
    }
}

void guard_allocation_of(PyTypeObject* type, const std::vector<PyTypeObject*>& ours) {
    for (PyTypeObject* own : ours) {
        if (PyType_IsSubtype(type, own)) return;  // keeps the bare allocation, see above
    }
    if (type->tp_new == bare_allocation) {
        type->tp_new = &guarded_allocation;
        PyType_Modified(type);
    }
    const py::list subclasses = py::handle(reinterpret_cast<PyObject*>(type)).attr("__subclasses__")();
    for (const py::handle sub : subclasses) guard_allocation_of(reinterpret_cast<PyTypeObject*>(sub.ptr()), ours);
}

}  // namespace

void refuse_half_made_objects(py::class_<zelt::GibbsResult>& gibbs, py::class_<zelt::MCMCResult>& result,
                              py::class_<zelt::TournamentMCMC>& engine) {
    auto* base = reinterpret_cast<PyTypeObject*>(gibbs.ptr())->tp_base;
    if (bare_allocation == nullptr) bare_allocation = reinterpret_cast<PyTypeObject*>(gibbs.ptr())->tp_new;
    native_classes = {gibbs, result, engine};
    def_whole_new(gibbs, "results come from gibbs_entropy and MCMCResult.gibbs");
    def_whole_new(result, "results come from TournamentMCMC.fit");
    def_whole_new(engine, "make an engine by calling TournamentMCMC(...)");
    guard_allocation_of(base, {reinterpret_cast<PyTypeObject*>(gibbs.ptr()),
                               reinterpret_cast<PyTypeObject*>(result.ptr()),
                               reinterpret_cast<PyTypeObject*>(engine.ptr())});
}

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
