#pragma once
// Born effective charges of qNEP models: how the polarisation sum_i q_i r_i of one structure changes when an atom
// moves. Plain C++, no CUDA headers.
#include "device_model.hpp"
#include "device_workspace.hpp"
#include "model_protocol.hpp"
#include "simulation_box.hpp"

namespace quarvel::cuda_backend {

// Adds the radial-descriptor part of the charges' position derivatives to bec_soa9 (component 3 row + column of
// atom i at (3 row + column) x A + i): for every pair (i, j) of i's radial list, with d = r_j - r_i and
// v = dq_i/dr_j, +d_a v_b / 2 on atom i and -d_a v_b / 2 on atom j. Reads charge_derivative. Queues the kernel
// without waiting; the caller keeps atom_count within the workspace capacity. Throws std::runtime_error.
void accumulate_qnep_radial_bec_on_device(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                          const DeviceModel& model, DeviceWorkspace& workspace);

// The Born effective charges of atoms 0 .. atom_count-1 into bec_soa9 (e, row-major per atom: row the
// polarisation component, column the displacement), times `scale` (sqrt_epsilon_inf): q_i delta_ab plus the
// radial and angular parts of the charge derivatives. Overwrites fp with charge_derivative and, with angular
// channels, uses force_soa3 and virial_soa9 as scratch, so it runs after the structure's outputs were read.
// Throws std::runtime_error; waits for the device.
void compute_qnep_bec_on_device(const ModelProtocol& protocol, int atom_count, const SimulationBox& box, float scale,
                                const DeviceModel& model, DeviceWorkspace& workspace);

}  // namespace quarvel::cuda_backend
