#pragma once
// The device stages the force pipeline and the batch driver call, with the small records they share. Each stage
// is its own kernel family.
#include <cstdint>
#include <stdexcept>
#include <string>

#include "device_model.hpp"
#include "device_workspace.hpp"
#include "host_model_parameters.hpp"
#include "model_protocol.hpp"
#include "quarvel/quarvel.h"
#include "simulation_box.hpp"

namespace quarvel::cuda_backend {

// What a force launcher does with the per-atom virial (components xx, yy, zz, xy, xz, yz, yx, zx, zy).
enum class VirialTarget : std::int32_t {
  none = 0,          // forces only
  fp64_owner = 1,    // pair terms booked on the centre atom in virial_soa9
  fp64_scatter = 2,  // pair terms booked on the neighbor atom in virial_soa9 (double atomics)
  float_sink = 3,    // as fp64_owner, plus neighbor-booked float terms in per_atom_virial_float_soa9
};

// Where the descriptor kernels take each atom's cell from.
enum class DescriptorCoreTopology : std::int32_t {
  single_box = 0,  // every atom in the one SimulationBox passed by value
  batched = 1,     // atom i in the cell of structure atom_to_structure[i], read from the workspace
};

// Milliseconds of the three spin force phases.
struct SpinForceTimings {
  float onsite_ms = 0.0f;
  float density_ms = 0.0f;
  float chiral_ms = 0.0f;
};

// Unscaled radial and angular descriptors of atoms 0 .. atom_count-1.
void build_descriptor_core_from_positions_on_device(const ModelProtocol& protocol, int atom_count,
                                                    const SimulationBox& box, const DeviceModel& model,
                                                    DeviceWorkspace& workspace, DescriptorCoreTopology topology);
// Spin descriptor rows after the structural ones, and the spin densities the spin forces read.
void build_spin_descriptors_on_device(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                      const DeviceModel& model, DeviceWorkspace& workspace);
// Per-atom energies (eV, into potential) and the energy derivatives with respect to the descriptors (fp).
void evaluate_ann_energy_on_device(const ModelProtocol& protocol, int atom_count, const DeviceModel& model,
                                   DeviceWorkspace& workspace);
// Radial forces of a batch built with the batched lists (target 1 or 2); waits for the device.
void accumulate_radial_forces_batched(const ModelProtocol& protocol, int atom_count, const DeviceModel& model,
                                      DeviceWorkspace& workspace, VirialTarget target);
// Radial forces of one neighbor-list set; clear_outputs clears forces (and virials when booked) first.
void accumulate_radial_forces_on_device(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                        const DeviceModel& model, DeviceWorkspace& workspace, VirialTarget target,
                                        bool clear_outputs);
// Radial forces of one neighbor-list set with the universal ZBL repulsion fused in (a ZBL that is neither
// flexible nor typewise, within the radial cutoff); clears the forces first, writes no energy and no virial.
void accumulate_radial_and_zbl_forces_on_device(const ModelProtocol& protocol, int atom_count,
                                                const SimulationBox& box, const DeviceModel& model,
                                                DeviceWorkspace& workspace);
// Clears the float per-atom virial sink of the device LAMMPS path.
void prepare_lammps_per_atom_virial_sink(int atom_count, DeviceWorkspace& workspace);
// Radial forces on device LAMMPS lists; ZBL is added when protocol.has_zbl.
void accumulate_lammps_radial_forces_on_device(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                               const DeviceModel& model, DeviceWorkspace& workspace,
                                               VirialTarget target, bool zbl_energy);
// Angular forces of a batch (target 1 or 2); waits for the device.
void accumulate_l2_angular_forces_batched(const ModelProtocol& protocol, int atom_count, const DeviceModel& model,
                                          DeviceWorkspace& workspace, VirialTarget target);
// Angular forces of one neighbor-list set.
void accumulate_l2_angular_forces_on_device(const ModelProtocol& protocol, int atom_count, const DeviceModel& model,
                                            DeviceWorkspace& workspace, VirialTarget target);
// ZBL repulsion of a batch, energies and virials always (target 1 or 2); waits for the device.
void accumulate_zbl_forces_batched(const ModelProtocol& protocol, int atom_count, const DeviceModel& model,
                                   DeviceWorkspace& workspace, VirialTarget target);
// ZBL repulsion of one neighbor-list set.
void accumulate_zbl_forces_on_device(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                     const DeviceModel& model, DeviceWorkspace& workspace, bool energy_and_virial,
                                     VirialTarget target);
// Forces, magnetic forces, virials and (when asked) spin transfer of a spin model; timings may be null.
void accumulate_spin_forces_on_device(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                      const DeviceModel& model, DeviceWorkspace& workspace, VirialTarget target,
                                      bool spin_transfer, SpinForceTimings* timings);
// Sets the magnetic forces of atoms 0 .. atom_count-1 whose type has no spin degree of freedom to exactly zero
// (nothing to do when every type has one); for LAMMPS lists, whose ghost rows also receive magnetic forces.
void mask_inactive_spin_mforces_on_device(const ModelProtocol& protocol, int atom_count, const DeviceModel& model,
                                          DeviceWorkspace& workspace);

// The charge model's stages for one structure, in place of the force pipeline: descriptors, charge network,
// neutrality, electrostatics, the charge chain and the radial, angular and ZBL forces. The flags say whether
// the caller gave per-atom energies and per-atom virials.
void run_charge_model_sequence(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                               const DeviceModel& model, DeviceWorkspace& workspace, bool potential_given,
                               bool virial_per_atom_given);
// The Born effective charges of one structure, after its outputs were copied back (they reuse the force and
// virial arrays as scratch), written row-major into result.bec from atom atom_offset on.
void add_charge_model_bec_to_result(const HostModelParameters& parameters, const ModelProtocol& protocol,
                                    int atom_count, int atom_offset, const SimulationBox& box,
                                    const DeviceModel& model, DeviceWorkspace& workspace,
                                    QrvlFindForceResult& result);

}  // namespace quarvel::cuda_backend
