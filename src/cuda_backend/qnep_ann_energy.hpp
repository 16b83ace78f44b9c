#pragma once
// Launchers of the charge network of qNEP models and the two steps around their electrostatics: neutrality and
// the chain of the electrostatic energy into the descriptor derivatives. Plain C++, no CUDA headers.
#include "device_model.hpp"
#include "device_workspace.hpp"
#include "model_protocol.hpp"

namespace quarvel::cuda_backend {

// Per atom of a valid type: the network energy (eV, stored into potential), the raw charge (e, into charge),
// dE/dq_d (fp) and dcharge/dq_d (charge_derivative) for the unscaled descriptors q_d. Atoms of other types keep
// their previous values. Throws std::runtime_error naming the violated limit or missing array; waits for the
// device.
void evaluate_qnep_ann_on_device(const ModelProtocol& protocol, int atom_count, const DeviceModel& model,
                                 DeviceWorkspace& workspace);

// Subtracts the mean charge of atoms 0 .. atom_count-1 from each of them (summed in double, fixed order), so the
// structure is neutral. Throws std::runtime_error; waits for the device.
void zero_total_charge_on_device(int atom_count, DeviceWorkspace& workspace);

// fp += charge_derivative x d_real per descriptor component and atom: the electrostatic energy's share of the
// descriptor derivatives. Throws std::runtime_error; waits for the device.
void add_charge_chain_to_fp_on_device(const ModelProtocol& protocol, int atom_count, DeviceWorkspace& workspace);

}  // namespace quarvel::cuda_backend
