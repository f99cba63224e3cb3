// Conversion of the binding's array arguments (see convert.hpp).
#include "convert.hpp"

#include <string>

namespace py = pybind11;

namespace zelt_py {

namespace {
// numpy.asarray, looked up once and kept for the life of the process (never
// released: a static py::object would be destroyed after the interpreter).
PyObject* numpy_asarray() {
    static PyObject* const fn = py::object(py::module_::import("numpy").attr("asarray")).release().ptr();
    return fn;
}
}  // namespace

bool real_array(py::handle obj, bool convert, py::object& out) {
    if (py::isinstance<py::array>(obj)) {
        out = py::reinterpret_borrow<py::object>(obj);
    } else {
        if (!convert) return false;
        out = py::reinterpret_steal<py::object>(PyObject_CallOneArg(numpy_asarray(), obj.ptr()));
        if (!out) {
            // numpy's way of saying "not an array of numbers"; anything else
            // (OSError, KeyboardInterrupt, MemoryError) is the caller's to see.
            if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
                PyErr_Clear();
                return false;
            }
            throw py::error_already_set();
        }
    }
    // Complex (the imaginary part would be dropped), strings and bytes (parsed
    // as numbers), datetimes and timedeltas (their ticks) are no real data.
    switch (py::reinterpret_borrow<py::array>(out).dtype().kind()) {
        case 'b': case 'i': case 'u': case 'f': case 'O': return true;
        default: return false;
    }
}

std::optional<zelt::Matrix> optional_matrix(const py::object& obj, const char* name) {
    if (obj.is_none()) return std::nullopt;
    py::detail::make_caster<MatrixArg> conv;
    if (!conv.load(obj, true)) {
        throw py::cast_error("Unable to cast Python instance of type " + py::str(py::type::of(obj)).cast<std::string>() +
                             " to a matrix for " + name + " (None, or a 2-D array-like of real numbers)");
    }
    return std::move(py::detail::cast_op<MatrixArg&&>(std::move(conv)).value);
}

}  // namespace zelt_py
