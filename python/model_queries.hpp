#pragma once
// The two dictionary queries of a `Model`; they hold the interpreter lock and take no compute lock.
#include <pybind11/pybind11.h>

#include <cstdint>

#include "model_state.hpp"

namespace quarvel::python {

// Cutoffs (Angstrom), capability bits, type count, descriptor dimension, model kind name and the dipole,
// polarizability and DFT-D3 flags, in that key order.
pybind11::dict model_info(PyModel& self);

// Device bytes of the model and of a batch workspace for the capacities, with the capacities echoed.
pybind11::dict workspace_estimate(PyModel& self, std::int32_t atom_capacity, std::int32_t structure_capacity);

}  // namespace quarvel::python
