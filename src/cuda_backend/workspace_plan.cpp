#include "workspace_plan.hpp"

#include <algorithm>
#include <stdexcept>

namespace quarvel::cuda_backend {
namespace {

constexpr int kMaxSpinCompress = 4;
constexpr int kMaxSpinBasisFunctions = 8;  // spin_basis_size + 1
constexpr int kMaxSpinLMax = 4;

// Element counts are 64-bit products of capacities and protocol values; protocol values are widened as signed
// numbers first, so a negative setting cannot wrap into a huge unsigned factor unnoticed.
std::uint64_t factor(std::int32_t value) { return static_cast<std::uint64_t>(static_cast<std::int64_t>(value)); }

// ceil(count / block) without forming count + block - 1.
std::uint64_t blocks_of(std::uint64_t count, std::uint64_t block) { return count / block + (count % block != 0 ? 1 : 0); }

bool is_spin_model(const ModelProtocol& protocol) { return protocol.spin_mode != 0; }

class PlanBuilder {
 public:
  explicit PlanBuilder(WorkspacePlan& plan) : plan_(plan) {}
  void add(const char* name, DeviceScalarType type, std::uint64_t count) {
    plan_.arrays.push_back(DeviceArrayPlan{name, type, count});
  }
  void ints(const char* name, std::uint64_t count) { add(name, DeviceScalarType::int32, count); }
  void floats(const char* name, std::uint64_t count) { add(name, DeviceScalarType::float32, count); }
  void doubles(const char* name, std::uint64_t count) { add(name, DeviceScalarType::float64, count); }

 private:
  WorkspacePlan& plan_;
};

void append_atom_block(PlanBuilder& add, std::uint64_t a) {
  add.ints("types", a);
  add.doubles("positions_soa3", 3 * a);
  add.doubles("potential", a);
  add.doubles("force_soa3", 3 * a);
  add.doubles("virial_soa9", 9 * a);
}

// Radial and angular full lists: a count per atom and slot-major neighbor indices.
void append_neighbor_lists(PlanBuilder& add, const ModelProtocol& protocol, std::uint64_t a) {
  add.ints("nn_radial", a);
  add.ints("nl_radial_slot_major", factor(protocol.neighbor_capacity_radial) * a);
  add.ints("nn_angular", a);
  add.ints("nl_angular_slot_major", factor(protocol.neighbor_capacity_angular) * a);
}

void append_spin_block(PlanBuilder& add, const ModelProtocol& protocol, std::uint64_t a) {
  const int nc = protocol.spin_compress;
  const int l_max = protocol.spin_l_max;
  if (!spin_shape_within_core_limits(protocol)) {
    throw std::runtime_error(
        "CUDA spin workspace requires 1 <= spin_compress <= 4, spin_compress <= spin_basis_size + 1 <= 8, and "
        "spin_l_max <= 4");
  }
  const std::uint64_t channels = factor(nc) * a;
  const std::uint64_t chiral_channels = factor(std::min(nc, 2)) * a;  // at most two chiral channels
  add.doubles("spins_soa3", 3 * a);
  add.doubles("mforce_soa3", 3 * a);
  add.floats("spin_density_rho0", 3 * channels);
  add.floats("spin_density_raw1", 9 * channels);
  if (l_max >= 2) add.floats("spin_density_angular2", 15 * channels);
  if (l_max >= 3) add.floats("spin_density_angular3", 21 * channels);
  if (l_max >= 4) add.floats("spin_density_angular4", 27 * channels);
  add.floats("spin_density_geom", 6 * channels);
  add.floats("spin_density_rho0_dot", 3 * channels);
  add.floats("spin_density_raw1_dot", 9 * channels);
  if (protocol.spin_chiral != 0) {
    add.floats("spin_chiral_polar", 3 * channels);
    add.floats("spin_chiral_octupoles_raw", 7 * channels);
    add.floats("spin_chiral_hexadecapoles_raw", 9 * chiral_channels);
    add.floats("spin_chiral_chirals", chiral_channels);
  }
}

// The spin block (spin models) and then the spin-transfer array; a bad spin shape is reported first.
void append_spin_arrays(PlanBuilder& add, const ModelProtocol& protocol, std::uint64_t a, bool spin_transfer) {
  if (is_spin_model(protocol)) append_spin_block(add, protocol, a);
  if (spin_transfer) {
    if (!is_spin_model(protocol)) throw std::runtime_error("spin-transfer output requires a spin model");
    add.floats("spin_transfer_soa9", 9 * a);
  }
}

void append_model_block(PlanBuilder& add, const ModelProtocol& protocol, std::uint64_t a) {
  const std::uint64_t d = factor(protocol.descriptor_dim);
  const std::uint64_t angular_slots = factor(protocol.neighbor_capacity_angular) * a;
  add.floats("fp", d * a);
  if (protocol.charge_mode > 0) {
    add.doubles("charge", a);
    add.doubles("bec_soa9", 9 * a);
    add.floats("d_real", a);
    add.floats("charge_derivative", d * a);
  }
  add.floats("descriptors", d * a);
  if (protocol.num_types > 1) {
    add.ints("type_scheduled_atoms", a);
    add.ints("type_schedule_active_type_counts", blocks_of(a, kTypeScheduleAtomsPerBlock));
  }
  if (protocol.body_channels.channel_count() > 0) {
    add.floats("sum_fxyz", (factor(protocol.n_max_angular) + 1) * a * factor(protocol.body_channels.abc_count()));
    add.floats("r12_angular", angular_slots);
    add.floats("f12x", angular_slots);
    add.floats("f12y", angular_slots);
    add.floats("f12z", angular_slots);
  }
}

void require_atom_capacity(std::uint64_t atom_capacity) {
  if (atom_capacity == 0) throw std::runtime_error("atom_capacity must be positive");
}

}  // namespace

bool spin_shape_within_core_limits(const ModelProtocol& protocol) {
  const int nc = protocol.spin_compress;
  const int basis = protocol.spin_basis_size_radial + 1;
  return nc >= 1 && nc <= kMaxSpinCompress && basis >= nc && basis <= kMaxSpinBasisFunctions &&
         protocol.spin_l_max >= 0 && protocol.spin_l_max <= kMaxSpinLMax;
}

std::uint64_t DeviceArrayPlan::bytes() const {
  switch (type) {
    case DeviceScalarType::int32:
    case DeviceScalarType::float32:
      return count * 4;
    case DeviceScalarType::float64:
      return count * 8;
  }
  throw std::runtime_error("unknown scalar type");
}

std::uint64_t WorkspacePlan::total_bytes() const {
  std::uint64_t total = 0;
  for (const DeviceArrayPlan& array : arrays) total += array.bytes();
  return total;
}

const DeviceArrayPlan* WorkspacePlan::find_array(const std::string& name) const {
  for (const DeviceArrayPlan& array : arrays) {
    if (array.name == name) return &array;
  }
  return nullptr;
}

WorkspacePlan make_internal_neighbor_workspace_plan(const ModelProtocol& protocol, std::uint64_t atom_capacity,
                                                    std::uint64_t structure_capacity, bool spin_transfer) {
  require_atom_capacity(atom_capacity);
  if (structure_capacity == 0) throw std::runtime_error("structure_capacity must be positive");
  WorkspacePlan plan;
  plan.source = NeighborSource::internal;
  plan.atom_capacity = atom_capacity;
  plan.active_atom_capacity = atom_capacity;
  plan.structure_capacity = structure_capacity;
  const std::uint64_t a = atom_capacity;
  const std::uint64_t s = structure_capacity;
  PlanBuilder add(plan);
  append_atom_block(add, a);
  append_spin_arrays(add, protocol, a, spin_transfer);
  add.ints("atom_to_structure", a);
  add.ints("structure_atom_counts", s);
  add.ints("structure_atom_offsets", s);
  add.doubles("boxes_row_major9", 9 * s);
  add.doubles("box_inverse_row_major9", 9 * s);
  add.ints("pbc_flags3", 3 * s);
  add.doubles("output_forces_aos3", 3 * a);
  if (is_spin_model(protocol)) add.doubles("output_mforces_aos3", 3 * a);
  add.doubles("output_virials_per_atom_row_major9", 9 * a);
  add.doubles("structure_energy", s);
  add.doubles("structure_virial_row_major9", 9 * s);
  append_neighbor_lists(add, protocol, a);
  add.ints("cell_counts", a);
  add.ints("cell_offsets", a + 1);
  add.ints("cell_fill", a);
  add.ints("cell_atoms", a);
  add.ints("atom_cell", a);
  add.ints("cell_dims", 4);
  add.ints("neighbor_overflow", 3);
  add.ints("structure_cell_offsets", s + 1);
  add.ints("structure_cell_dims4", 4 * s);
  append_model_block(add, protocol, a);
  return plan;
}

WorkspacePlan make_external_neighbor_workspace_plan(const ModelProtocol& protocol, std::uint64_t atom_capacity,
                                                    std::uint64_t active_atom_capacity, bool float_virial_sink,
                                                    bool spin_transfer) {
  require_atom_capacity(atom_capacity);
  if (active_atom_capacity == 0 || active_atom_capacity > atom_capacity) {
    throw std::runtime_error("active_atom_capacity must be in 1..atom_capacity");
  }
  WorkspacePlan plan;
  plan.source = NeighborSource::external;
  plan.atom_capacity = atom_capacity;
  plan.active_atom_capacity = active_atom_capacity;
  plan.structure_capacity = 0;
  const std::uint64_t a = atom_capacity;
  PlanBuilder add(plan);
  append_atom_block(add, a);
  append_spin_arrays(add, protocol, a, spin_transfer);
  add.ints("active_atom_indices", active_atom_capacity);
  append_neighbor_lists(add, protocol, a);
  add.ints("neighbor_overflow", kLammpsStagingRecordInts);
  add.doubles("lammps_partial_sums", kLammpsPartialSumsPerBlock * blocks_of(a, kLammpsReductionBlockAtoms));
  append_model_block(add, protocol, a);
  if (float_virial_sink) add.floats("per_atom_virial_float_soa9", 9 * a);
  return plan;
}

}  // namespace quarvel::cuda_backend
