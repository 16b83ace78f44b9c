#pragma once
// The electrostatics of qNEP charge models for one periodic structure: a reciprocal-space Ewald sum evaluated
// directly over k-vectors and a damped real-space Coulomb term, chosen by the model's charge mode.
#include "device_workspace.hpp"
#include "model_protocol.hpp"
#include "simulation_box.hpp"

namespace quarvel::cuda_backend {

// Adds the electrostatic energy (eV, into potential), forces (eV/Angstrom) and per-atom virials (eV) of atoms
// 0 .. atom_count-1 to the workspace, from their neutral charges (e) and positions (Angstrom) in `box`, and leaves
// in d_real the derivative of the electrostatic energy with respect to each charge, shifted to zero mean over
// the structure. force_soa3, virial_soa9 and d_real are cleared first; potential is only added to.
// Charge mode 1: reciprocal sum, real-space erfc(alpha r)/r and self term; mode 2: reciprocal sum only; mode 3:
// damped shifted-force real-space term only; alpha = pi / cutoff_radial. Modes 1 and 3 read the radial lists.
// Modes 1 and 2 read QUARVEL_QNEP_KSPACE on every call: unset or "direct" is the direct k-vector sum, "pppm" and
// anything else are refused. The two flags (per-atom energies, per-atom virials requested) are not read: every
// output is computed. Throws std::runtime_error; waits for the device.
void apply_qnep_charge_terms_on_device(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                       DeviceWorkspace& workspace, bool potential_requested,
                                       bool virial_per_atom_requested);

}  // namespace quarvel::cuda_backend
