// Pickling and copying of the module's three classes, and the repr, equality
// and hash that go with them: what makes results and engines travel between
// processes bit for bit, and how an instance is made whole from a state.
// Python-side code of the binding.
#pragma once

#include <pybind11/pybind11.h>

#include "ensemble.hpp"

namespace zelt_py {

// Each adds __getstate__, __setstate__, __reduce__, __copy__, __deepcopy__
// and __repr__ to its class; the engine also __eq__ and __hash__.
void add_gibbs_protocols(pybind11::class_<zelt::GibbsResult>& cls);
void add_result_protocols(pybind11::class_<zelt::MCMCResult>& cls);
void add_engine_protocols(pybind11::class_<zelt::TournamentMCMC>& cls);

// Cls.__new__(Cls) alone refused (TypeError) and Cls.__new__(Cls, state) made
// whole from a pickled state, for the three classes and their subclasses;
// the binding library's base type raises TypeError instead of aborting.
void refuse_half_made_objects(pybind11::class_<zelt::GibbsResult>& gibbs,
                              pybind11::class_<zelt::MCMCResult>& result,
                              pybind11::class_<zelt::TournamentMCMC>& engine);

}  // namespace zelt_py
