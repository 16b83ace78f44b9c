#include "device_workspace.hpp"

#include <cstring>
#include <utility>

#include "cuda_checks.hpp"
#include "cuda_platform.cuh"

namespace quarvel::cuda_backend {
namespace {

// One view field per array name; the setter stores a device pointer with the field's element type.
struct ViewField {
  const char* name;
  void (*assign)(DeviceWorkspaceView& view, void* pointer);
};

template <typename T, T* DeviceWorkspaceView::*Field>
void assign_field(DeviceWorkspaceView& view, void* pointer) {
  view.*Field = static_cast<T*>(pointer);
}

using V = DeviceWorkspaceView;
using I32 = std::int32_t;
constexpr ViewField kViewFields[] = {
    {"types", &assign_field<I32, &V::types>},
    {"positions_soa3", &assign_field<double, &V::positions_soa3>},
    {"spins_soa3", &assign_field<double, &V::spins_soa3>},
    {"potential", &assign_field<double, &V::potential>},
    {"force_soa3", &assign_field<double, &V::force_soa3>},
    {"mforce_soa3", &assign_field<double, &V::mforce_soa3>},
    {"virial_soa9", &assign_field<double, &V::virial_soa9>},
    {"spin_transfer_soa9", &assign_field<float, &V::spin_transfer_soa9>},
    {"charge", &assign_field<double, &V::charge>},
    {"bec_soa9", &assign_field<double, &V::bec_soa9>},
    {"d_real", &assign_field<float, &V::d_real>},
    {"lammps_partial_sums", &assign_field<double, &V::lammps_partial_sums>},
    {"atom_to_structure", &assign_field<I32, &V::atom_to_structure>},
    {"structure_atom_counts", &assign_field<I32, &V::structure_atom_counts>},
    {"structure_atom_offsets", &assign_field<I32, &V::structure_atom_offsets>},
    {"boxes_row_major9", &assign_field<double, &V::boxes_row_major9>},
    {"box_inverse_row_major9", &assign_field<double, &V::box_inverse_row_major9>},
    {"pbc_flags3", &assign_field<I32, &V::pbc_flags3>},
    {"output_forces_aos3", &assign_field<double, &V::output_forces_aos3>},
    {"output_mforces_aos3", &assign_field<double, &V::output_mforces_aos3>},
    {"output_virials_per_atom_row_major9", &assign_field<double, &V::output_virials_per_atom_row_major9>},
    {"structure_energy", &assign_field<double, &V::structure_energy>},
    {"structure_virial_row_major9", &assign_field<double, &V::structure_virial_row_major9>},
    {"active_atom_indices", &assign_field<I32, &V::active_atom_indices>},
    {"type_scheduled_atoms", &assign_field<I32, &V::type_scheduled_atoms>},
    {"type_schedule_active_type_counts", &assign_field<I32, &V::type_schedule_active_type_counts>},
    {"nn_radial", &assign_field<I32, &V::nn_radial>},
    {"nl_radial_slot_major", &assign_field<I32, &V::nl_radial_slot_major>},
    {"nn_angular", &assign_field<I32, &V::nn_angular>},
    {"nl_angular_slot_major", &assign_field<I32, &V::nl_angular_slot_major>},
    {"cell_counts", &assign_field<I32, &V::cell_counts>},
    {"cell_offsets", &assign_field<I32, &V::cell_offsets>},
    {"cell_fill", &assign_field<I32, &V::cell_fill>},
    {"cell_atoms", &assign_field<I32, &V::cell_atoms>},
    {"atom_cell", &assign_field<I32, &V::atom_cell>},
    {"cell_dims", &assign_field<I32, &V::cell_dims>},
    {"structure_cell_offsets", &assign_field<I32, &V::structure_cell_offsets>},
    {"structure_cell_dims4", &assign_field<I32, &V::structure_cell_dims4>},
    {"neighbor_overflow", &assign_field<I32, &V::neighbor_overflow>},
    {"fp", &assign_field<float, &V::fp>},
    {"charge_derivative", &assign_field<float, &V::charge_derivative>},
    {"descriptors", &assign_field<float, &V::descriptors>},
    {"sum_fxyz", &assign_field<float, &V::sum_fxyz>},
    {"r12_angular", &assign_field<float, &V::r12_angular>},
    {"f12x", &assign_field<float, &V::f12x>},
    {"f12y", &assign_field<float, &V::f12y>},
    {"f12z", &assign_field<float, &V::f12z>},
    {"per_atom_virial_float_soa9", &assign_field<float, &V::per_atom_virial_float_soa9>},
    {"spin_density_rho0", &assign_field<float, &V::spin_density_rho0>},
    {"spin_density_raw1", &assign_field<float, &V::spin_density_raw1>},
    {"spin_density_angular2", &assign_field<float, &V::spin_density_angular2>},
    {"spin_density_angular3", &assign_field<float, &V::spin_density_angular3>},
    {"spin_density_angular4", &assign_field<float, &V::spin_density_angular4>},
    {"spin_density_geom", &assign_field<float, &V::spin_density_geom>},
    {"spin_density_rho0_dot", &assign_field<float, &V::spin_density_rho0_dot>},
    {"spin_density_raw1_dot", &assign_field<float, &V::spin_density_raw1_dot>},
    {"spin_chiral_polar", &assign_field<float, &V::spin_chiral_polar>},
    {"spin_chiral_octupoles_raw", &assign_field<float, &V::spin_chiral_octupoles_raw>},
    {"spin_chiral_hexadecapoles_raw", &assign_field<float, &V::spin_chiral_hexadecapoles_raw>},
    {"spin_chiral_chirals", &assign_field<float, &V::spin_chiral_chirals>},
};
constexpr std::size_t kViewPointerCount = 60;
static_assert(sizeof(kViewFields) / sizeof(kViewFields[0]) == kViewPointerCount,
              "every workspace view pointer has exactly one named entry");

// Stores `pointer` in the view field named `name`; a name without a field changes nothing.
void set_view_pointer(DeviceWorkspaceView& view, const std::string& name, void* pointer) {
  for (const ViewField& field : kViewFields) {
    if (name == field.name) {
      field.assign(view, pointer);
      return;
    }
  }
}

std::int32_t encode_neighbor_source(NeighborSource source) { return source == NeighborSource::external ? 1 : 0; }

}  // namespace

DeviceWorkspace::DeviceWorkspace(const WorkspacePlan& plan) {
  view_.neighbor_source = encode_neighbor_source(plan.source);
  view_.atom_capacity = plan.atom_capacity;
  view_.active_atom_capacity = plan.active_atom_capacity;
  view_.structure_capacity = plan.structure_capacity;
  summary_.array_count = plan.arrays.size();
  // A throw leaves the arrays allocated so far to their owners' destructors: nothing stays allocated.
  allocations_.reserve(plan.arrays.size());
  for (const DeviceArrayPlan& array : plan.arrays) {
    Allocation record{array.name, array.type, array.count,
                      DeviceBuffer::stream_ordered_or_plain(array.bytes(), array.name.c_str())};
    if (record.buffer.data() != nullptr) summary_.total_bytes += array.bytes();
    set_view_pointer(view_, record.name, record.buffer.data());
    allocations_.push_back(std::move(record));
  }
}

DeviceWorkspace::DeviceWorkspace(DeviceWorkspace&& other) noexcept { take(other); }

DeviceWorkspace& DeviceWorkspace::operator=(DeviceWorkspace&& other) noexcept {
  if (this != &other) {
    release();
    take(other);
  }
  return *this;
}

void DeviceWorkspace::take(DeviceWorkspace& other) noexcept {
  allocations_ = std::move(other.allocations_);
  other.allocations_.clear();
  view_ = other.view_;
  summary_ = other.summary_;
  dynamic_shared_limit_ = std::exchange(other.dynamic_shared_limit_, 0);
  other.view_ = DeviceWorkspaceView{};
  other.summary_ = DeviceWorkspaceSummary{};
}

const DeviceWorkspace::Allocation* DeviceWorkspace::find_allocation(const std::string& name) const {
  for (const Allocation& record : allocations_) {
    if (record.name == name) return &record;
  }
  return nullptr;
}

void DeviceWorkspace::override_types(std::int32_t* device_types) { view_.types = device_types; }

void DeviceWorkspace::override_positions_soa3(double* device_positions_soa3) {
  view_.positions_soa3 = device_positions_soa3;
}

void DeviceWorkspace::reset_runtime_overrides() {
  if (const Allocation* types = find_allocation("types")) view_.types = types->buffer.as<std::int32_t>();
  if (const Allocation* positions = find_allocation("positions_soa3")) {
    view_.positions_soa3 = positions->buffer.as<double>();
  }
}

std::size_t DeviceWorkspace::dynamic_shared_limit(const char* device_step, const char* limit_step) {
  if (dynamic_shared_limit_ != 0) return dynamic_shared_limit_;
  int device = 0;
  check_cuda(cudaGetDevice(&device), device_step);
  int optin = 0;
  int per_block = 0;
  check_cuda(cudaDeviceGetAttribute(&optin, cudaDevAttrMaxSharedMemoryPerBlockOptin, device), limit_step);
  check_cuda(cudaDeviceGetAttribute(&per_block, cudaDevAttrMaxSharedMemoryPerBlock, device), limit_step);
  dynamic_shared_limit_ = static_cast<std::size_t>(optin > per_block ? optin : per_block);
  return dynamic_shared_limit_;
}

void DeviceWorkspace::release() noexcept {
  allocations_.clear();
  view_ = DeviceWorkspaceView{};
  summary_ = DeviceWorkspaceSummary{};
}

}  // namespace quarvel::cuda_backend
