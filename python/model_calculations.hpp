#pragma once
// The computations of a `Model`: each validates its arrays with the interpreter lock held, allocates its result
// arrays, runs one flat call in the compute section (interpreter lock released, compute lock held) and returns
// new C-contiguous float64 arrays. Per-atom rows follow `types`, per-structure rows `atom_counts`; 9-component
// tensors are row-major 3x3. Energies eV, forces eV/Angstrom, virials eV, charges e.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>

#include "batch_preparation.hpp"
#include "model_state.hpp"

namespace quarvel::python {

using ResultArray = pybind11::array_t<double>;

// (per-atom energies (N,), forces (N, 3), per-atom virials (N, 9)); charge models must use calculate_charge.
pybind11::tuple calculate(PyModel& self, const Int32Array& types, const Float64Array& boxes,
                          const Float64Array& positions, const Int32Array& atom_counts, const pybind11::object& pbc);
// The three arrays of calculate, then charges (N,) and Born effective charges (N, 9).
pybind11::tuple calculate_charge(PyModel& self, const Int32Array& types, const Float64Array& boxes,
                                 const Float64Array& positions, const Int32Array& atom_counts,
                                 const pybind11::object& pbc);
// The three arrays of calculate, then descriptors (N, D).
pybind11::tuple calculate_with_descriptors(PyModel& self, const Int32Array& types, const Float64Array& boxes,
                                           const Float64Array& positions, const Int32Array& atom_counts,
                                           const pybind11::object& pbc);
// Dipoles (S, 3).
ResultArray dipoles(PyModel& self, const Int32Array& types, const Float64Array& boxes, const Float64Array& positions,
                    const Int32Array& atom_counts, const pybind11::object& pbc);
// Polarizabilities (S, 6).
ResultArray polarizabilities(PyModel& self, const Int32Array& types, const Float64Array& boxes,
                             const Float64Array& positions, const Int32Array& atom_counts,
                             const pybind11::object& pbc);
// The three arrays of calculate for the dispersion terms alone (calculate_dftd3) or added to the model's own
// (calculate_with_dftd3); cutoffs in Angstrom.
pybind11::tuple calculate_dftd3(PyModel& self, const Int32Array& types, const Float64Array& boxes,
                                const Float64Array& positions, const Int32Array& atom_counts,
                                const std::string& functional, double cutoff, double cutoff_cn,
                                const pybind11::object& pbc);
pybind11::tuple calculate_with_dftd3(PyModel& self, const Int32Array& types, const Float64Array& boxes,
                                     const Float64Array& positions, const Int32Array& atom_counts,
                                     const std::string& functional, double cutoff, double cutoff_cn,
                                     const pybind11::object& pbc);
// One structure: (energy as float, forces (n, 3), virial (9,)).
pybind11::tuple find_force(PyModel& self, const Int32Array& types, const Float64Array& positions,
                           const Float64Array& box, const pybind11::object& pbc);
// The three arrays of calculate, then magnetic forces (N, 3); spin models only.
pybind11::tuple calculate_spin(PyModel& self, const Int32Array& types, const Float64Array& boxes,
                               const Float64Array& positions, const Float64Array& spins,
                               const Int32Array& atom_counts, const pybind11::object& pbc);
// Descriptors (N, D).
ResultArray descriptors(PyModel& self, const Int32Array& types, const Float64Array& boxes,
                        const Float64Array& positions, const Int32Array& atom_counts, const pybind11::object& pbc);
// Descriptors (N, D) of a spin model.
ResultArray descriptors_spin(PyModel& self, const Int32Array& types, const Float64Array& boxes,
                             const Float64Array& positions, const Float64Array& spins,
                             const Int32Array& atom_counts, const pybind11::object& pbc);

}  // namespace quarvel::python
