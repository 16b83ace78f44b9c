#pragma once
// Launchers of the per-type neural network: the atom type schedule and the network energies with their
// descriptor derivatives. Plain C++, no CUDA headers. evaluate_ann_energy_on_device is declared with the other
// pipeline stages in pipeline_stages.hpp.
#include "pipeline_stages.hpp"

namespace quarvel::cuda_backend {

// Atoms per schedule block: type_scheduled_atoms groups the atoms of each block of this many by type.
constexpr int kTypeScheduleAtomsPerBlock = 1024;

// Groups the first atom_count atoms of every schedule block by ascending type (atoms of invalid type last) into
// type_scheduled_atoms, and stores each block's number of distinct valid types in
// type_schedule_active_type_counts; blocks with fewer than two types keep the identity order and their
// positions are not written. Nothing to do for one type or no atoms. Queues the kernel without waiting; throws
// std::runtime_error naming the violated limit or missing array.
void build_atom_type_schedule_on_device(const ModelProtocol& protocol, int atom_count, DeviceWorkspace& workspace);

}  // namespace quarvel::cuda_backend
