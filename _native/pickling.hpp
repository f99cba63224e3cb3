// Pickling and copying of the module's three classes, and the repr, equality
// and hash that go with them: what makes results and engines travel between
// processes bit for bit. Python-side code of the binding.
#pragma once

#include <pybind11/pybind11.h>

#include "ensemble.hpp"

namespace zelt_py {

// Each adds __getstate__, __setstate__, __reduce__, __copy__, __deepcopy__
// and __repr__ to its class; the engine also __eq__ and __hash__.
void add_gibbs_protocols(pybind11::class_<zelt::GibbsResult>& cls);
void add_result_protocols(pybind11::class_<zelt::MCMCResult>& cls);
void add_engine_protocols(pybind11::class_<zelt::TournamentMCMC>& cls);

}  // namespace zelt_py
