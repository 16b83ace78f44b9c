#include <algorithm>
#include <cstddef>
#include <vector>

#include "engine_routines.hpp"
#include "evaluation_guard.hpp"
#include "lammps_drivers.hpp"
#include "lammps_host_staging.hpp"
#include "workspace_plan.hpp"

namespace quarvel::cuda_backend {
namespace {

constexpr std::size_t kAxes = 3;
constexpr std::size_t kVirialComponents = 9;
// Device virial order xx, yy, zz, xy, xz, yz, yx, zx, zy: the diagonal, then each off-diagonal pair.
constexpr std::size_t kDiagonal[kAxes] = {0, 1, 2};
constexpr std::size_t kUpper[kAxes] = {3, 4, 5};
constexpr std::size_t kLower[kAxes] = {6, 7, 8};

bool cancelled(const HostLammpsDriverModel& model) { return model.cancel_requested.load(std::memory_order_relaxed); }

// The workspace's accumulators after one evaluation, downloaded whole.
struct Downloads {
  std::vector<double> potential, force, mforce, virial;
  std::vector<float> virial_rows, spin_transfer;
};

void write_rows(const std::vector<double>& soa3, std::size_t a, std::size_t atoms, double* const* rows) {
  for (std::size_t i = 0; i < atoms; ++i) {
    if (rows[i] == nullptr) continue;
    for (std::size_t c = 0; c < kAxes; ++c) rows[i][c] = soa3[c * a + i];
  }
}

template <typename T>
void write_nine(const std::vector<T>& soa9, std::size_t a, std::size_t atoms, double* const* rows) {
  for (std::size_t i = 0; i < atoms; ++i) {
    if (rows[i] == nullptr) continue;
    for (std::size_t k = 0; k < kVirialComponents; ++k) rows[i][k] = static_cast<double>(soa9[k * a + i]);
  }
}

// Rows of local atoms (energies) and of every staged atom (forces, magnetic forces, per-atom virials, spin
// transfer: ghost rows carry what the caller adds onto the atoms they image). The totals are the per-atom virials
// booked on the centres, in double precision and in atom order, which the pipeline computes alike whether or not
// per-atom rows are asked for; the rows come from the float sink, where each term is also booked on its atom,
// and add up to the totals within single precision.
void fill_result(const Downloads& d, std::size_t a, std::size_t nlocal, std::size_t n,
                 QrvlLammpsNeighborResult& result) {
  double energy = 0.0;
  for (std::size_t i = 0; i < nlocal; ++i) {
    if (result.potential != nullptr) result.potential[i] = d.potential[i];
    energy += d.potential[i];
  }
  write_rows(d.force, a, n, result.force);
  if (result.mforce != nullptr && !d.mforce.empty()) write_rows(d.mforce, a, n, result.mforce);
  if (result.virial_per_atom != nullptr) write_nine(d.virial_rows, a, n, result.virial_per_atom);
  if (result.spin_transfer != nullptr) write_nine(d.spin_transfer, a, n, result.spin_transfer);

  double sums[kVirialComponents] = {};
  for (std::size_t k = 0; k < kVirialComponents; ++k) {
    for (std::size_t i = 0; i < n; ++i) sums[k] += d.virial[k * a + i];
  }
  *result.energy = energy;
  for (std::size_t c = 0; c < kAxes; ++c) {
    result.virial[c] = sums[kDiagonal[c]];
    result.virial[kAxes + c] = (sums[kUpper[c]] + sums[kLower[c]]) / 2.0;
  }
}

int evaluate_checked(const HostLammpsDriverModel& model, const QrvlLammpsNeighborInput& input,
                     QrvlLammpsNeighborResult& result) {
  const ModelProtocol& p = model.protocol;
  const bool spin = p.spin_mode != 0;
  const bool spin_transfer = result.spin_transfer != nullptr;
  // Every check of the caller's list comes before the first device allocation.
  const LammpsNeighborSelection list = select_lammps_neighbors(input, p);
  const EvaluationDevice device(model.device);
  const std::int32_t n = list.atoms.count;
  const bool virial_rows = result.virial_per_atom != nullptr;
  DeviceWorkspace workspace(make_external_neighbor_workspace_plan(p, static_cast<std::uint64_t>(n),
                                                                  static_cast<std::uint64_t>(input.inum), virial_rows,
                                                                  spin_transfer));
  upload_lammps_neighbor_selection(list, p, workspace);
  const SimulationBox box = lammps_identity_box();
  const DeviceWorkspaceView v = workspace.view();
  const std::size_t a = v.atom_capacity;
  clear_device_doubles(v.potential, a);
  clear_device_doubles(v.force_soa3, kAxes * a);
  if (v.mforce_soa3 != nullptr) clear_device_doubles(v.mforce_soa3, kAxes * a);
  clear_device_doubles(v.virial_soa9, kVirialComponents * a);
  const ForceEvaluationRequest request{kHostLammpsNeighborTopology, virial_rows ? kPerAtomVirials : kVirialTotals,
                                       true, spin_transfer, n};
  // The local atoms are the centres; the ghosts only receive the pushed pair forces and virial terms.
  model.stages.force_pipeline(p, request, input.nlocal, box, model.device_model, workspace, nullptr);

  Downloads d;
  d.potential = download_device_doubles(v.potential, a);
  d.force = download_device_doubles(v.force_soa3, kAxes * a);
  if (result.mforce != nullptr && spin) d.mforce = download_device_doubles(v.mforce_soa3, kAxes * a);
  d.virial = download_device_doubles(v.virial_soa9, kVirialComponents * a);
  if (virial_rows) d.virial_rows = download_device_floats(v.per_atom_virial_float_soa9, kVirialComponents * a);
  if (spin_transfer) d.spin_transfer = download_device_floats(v.spin_transfer_soa9, kVirialComponents * a);
  fill_result(d, a, static_cast<std::size_t>(input.nlocal), static_cast<std::size_t>(n), result);
  return cancelled(model) ? QRVL_STATUS_CANCELLED : QRVL_STATUS_OK;
}

// A rank without atoms, as domain decomposition leaves some: zero totals, nothing else is written.
int evaluate_empty_rank(QrvlLammpsNeighborResult& result) {
  *result.energy = 0.0;
  std::fill(result.virial, result.virial + 2 * kAxes, 0.0);
  return QRVL_STATUS_OK;
}

}  // namespace

int evaluate_host_lammps_neighbors(const HostLammpsDriverModel& model, const QrvlLammpsNeighborInput& input,
                                   QrvlLammpsNeighborResult& result) {
  if (input.nlocal < 0 || input.inum < 0 || input.ilist == nullptr || input.numneigh == nullptr ||
      input.firstneigh == nullptr || input.types == nullptr || input.type_map == nullptr ||
      input.positions == nullptr || result.energy == nullptr || result.virial == nullptr || result.force == nullptr) {
    return QRVL_STATUS_INVALID_ARGUMENT;
  }
  if (cancelled(model)) return QRVL_STATUS_CANCELLED;
  if (!supports_force_pipeline(model.protocol)) return QRVL_STATUS_UNSUPPORTED;
  if (result.spin_transfer != nullptr && model.protocol.spin_mode == 0) return QRVL_STATUS_UNSUPPORTED;
  if (input.nlocal == 0 && input.inum == 0) return evaluate_empty_rank(result);
  return guard_evaluation([&] { return evaluate_checked(model, input, result); });
}

}  // namespace quarvel::cuda_backend
