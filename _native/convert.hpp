// How the binding converts its array and list arguments: in the shapes and
// dtypes that pybind11's own casters accept (the signatures read the same), but
// an exception that the argument raises while it converts (an __array__ that
// raises OSError, a KeyboardInterrupt, a MemoryError) propagates unchanged, as
// numpy.asarray lets it; complex, string, bytes, datetime and timedelta data are
// refused instead of being taken as numbers; and a sequence's __len__ is not
// trusted to size anything. Values that simply do not convert give pybind11's
// standard TypeError. Python-side code of the binding.
#pragma once

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <utility>
#include <vector>

#include "types.hpp"

namespace zelt_py {

// Argument kinds: each holds the owned native value after conversion.
struct VectorArg {
    zelt::Vector value;
};
struct MatrixArg {
    zelt::Matrix value;
};
template <class Elem>
struct ListArg;

inline zelt::Vector unwrap(VectorArg&& a) { return std::move(a.value); }
inline zelt::Matrix unwrap(MatrixArg&& a) { return std::move(a.value); }
inline int unwrap(int v) { return v; }
inline std::pair<double, double> unwrap(std::pair<double, double>&& v) { return v; }
template <class Elem>
auto unwrap(ListArg<Elem>&& a) { return std::move(a.value); }

// A sequence (or another iterable, taken whole first) whose items convert as Elem.
template <class Elem>
struct ListArg {
    using Item = decltype(unwrap(std::declval<Elem&&>()));
    std::vector<Item> value;
};

// obj as an ndarray of real numbers (bool, int, unsigned, float, or object
// holding numbers), without changing its dtype. False when it does not convert
// or holds other data; any exception but TypeError and ValueError (numpy's
// "does not convert") propagates.
bool real_array(pybind11::handle obj, bool convert, pybind11::object& out);

// An optional matrix parameter (R1, R2): None is absent; anything else must
// convert, or RuntimeError "Unable to cast Python instance of type <type> to a
// matrix for <name> ...".
std::optional<zelt::Matrix> optional_matrix(const pybind11::object& obj, const char* name);

}  // namespace zelt_py

namespace pybind11::detail {

// Through real_array, then pybind11's Eigen caster on the array: the same
// shapes, the same float64 copy.
template <class Arg, class Native>
struct real_array_caster {
    PYBIND11_TYPE_CASTER(Arg, make_caster<Native>::name);
    bool load(handle src, bool convert) {
        object arr;
        if (!zelt_py::real_array(src, convert, arr)) return false;
        make_caster<Native> native;
        if (!native.load(arr, convert)) return false;
        value.value = cast_op<Native&&>(std::move(native));
        return true;
    }
};

template <>
struct type_caster<zelt_py::VectorArg> : real_array_caster<zelt_py::VectorArg, zelt::Vector> {};
template <>
struct type_caster<zelt_py::MatrixArg> : real_array_caster<zelt_py::MatrixArg, zelt::Matrix> {};

// pybind11's list caster without its reserve(len(obj)): items are read by
// iteration, so a __len__ that lies cannot size an allocation.
template <class Elem>
struct type_caster<zelt_py::ListArg<Elem>> {
    using Arg = zelt_py::ListArg<Elem>;
    PYBIND11_TYPE_CASTER(Arg, make_caster<std::vector<typename Arg::Item>>::name);
    bool load(handle src, bool convert) {
        if (!object_is_convertible_to_std_vector(src)) return false;  // str and bytes refused
        object items = reinterpret_borrow<object>(src);
        if (!isinstance<sequence>(src)) {
            if (!convert) return false;
            items = tuple(reinterpret_borrow<iterable>(src));  // a generator is consumed whole first
        }
        value.value.clear();
        for (const auto& item : items) {
            make_caster<Elem> conv;
            if (!conv.load(item, convert)) return false;
            value.value.push_back(zelt_py::unwrap(cast_op<Elem&&>(std::move(conv))));
        }
        return true;
    }
};

}  // namespace pybind11::detail
