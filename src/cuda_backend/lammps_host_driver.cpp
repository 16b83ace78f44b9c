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

constexpr std::int32_t kLammpsNeighborMask = 0x3FFFFFFF;  // the two top bits of a LAMMPS index are flags
constexpr std::size_t kAxes = 3;
constexpr std::size_t kVirialComponents = 9;
// Device virial order xx, yy, zz, xy, xz, yz, yx, zx, zy: the diagonal, then each off-diagonal pair.
constexpr std::size_t kDiagonal[kAxes] = {0, 1, 2};
constexpr std::size_t kUpper[kAxes] = {3, 4, 5};
constexpr std::size_t kLower[kAxes] = {6, 7, 8};

bool cancelled(const HostLammpsDriverModel& model) { return model.cancel_requested.load(std::memory_order_relaxed); }

// nlocal, every non-negative active index + 1 and every masked neighbor index + 1 of their rows (a row counts when
// its count is positive and its pointer present); staging checks the rest.
std::int32_t staged_atom_count(const QrvlLammpsNeighborInput& in) {
  std::int32_t n = in.nlocal;
  for (std::int32_t t = 0; t < in.inum; ++t) {
    const std::int32_t i = in.ilist[t];
    if (i < 0) continue;
    n = std::max(n, i + 1);
    const std::int32_t c = in.numneigh[i];
    const std::int32_t* row = in.firstneigh[i];
    if (c <= 0 || row == nullptr) continue;
    for (std::int32_t j = 0; j < c; ++j) n = std::max(n, (row[j] & kLammpsNeighborMask) + 1);
  }
  return n;
}

// The workspace's accumulators after one evaluation, downloaded whole.
struct Downloads {
  std::vector<double> potential, force, mforce, virial;
  std::vector<float> spin_transfer;
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

void fill_result(const Downloads& d, std::size_t a, std::size_t nlocal, std::size_t n,
                 QrvlLammpsNeighborResult& result) {
  double energy = 0.0;
  for (std::size_t i = 0; i < nlocal; ++i) {
    if (result.potential != nullptr) result.potential[i] = d.potential[i];
    energy += d.potential[i];
  }
  write_rows(d.force, a, nlocal, result.force);
  if (result.mforce != nullptr && !d.mforce.empty()) write_rows(d.mforce, a, nlocal, result.mforce);
  if (result.virial_per_atom != nullptr) write_nine(d.virial, a, n, result.virial_per_atom);
  if (result.spin_transfer != nullptr) write_nine(d.spin_transfer, a, n, result.spin_transfer);

  // Per-atom virials are booked on neighbors when they are wanted, so ghost atoms then carry part of the total.
  const std::size_t summed = result.virial_per_atom != nullptr ? n : nlocal;
  double sums[kVirialComponents] = {};
  for (std::size_t k = 0; k < kVirialComponents; ++k) {
    for (std::size_t i = 0; i < summed; ++i) sums[k] += d.virial[k * a + i];
  }
  *result.energy = energy;
  for (std::size_t c = 0; c < kAxes; ++c) {
    result.virial[c] = sums[kDiagonal[c]];
    result.virial[kAxes + c] = (sums[kUpper[c]] + sums[kLower[c]]) / 2.0;
  }
}

int evaluate_checked(const HostLammpsDriverModel& model, const QrvlLammpsNeighborInput& input, std::int32_t n,
                     QrvlLammpsNeighborResult& result) {
  const ModelProtocol& p = model.protocol;
  const bool spin = p.spin_mode != 0;
  const bool spin_transfer = result.spin_transfer != nullptr;
  DeviceWorkspace workspace(make_external_neighbor_workspace_plan(p, static_cast<std::uint64_t>(n),
                                                                  static_cast<std::uint64_t>(input.inum), false,
                                                                  spin_transfer));
  stage_lammps_external_neighbors_on_device(input, p, workspace);
  const SimulationBox box = lammps_identity_box();
  const DeviceWorkspaceView v = workspace.view();
  const std::size_t a = v.atom_capacity;
  clear_device_doubles(v.potential, a);
  clear_device_doubles(v.force_soa3, kAxes * a);
  if (v.mforce_soa3 != nullptr) clear_device_doubles(v.mforce_soa3, kAxes * a);
  clear_device_doubles(v.virial_soa9, kVirialComponents * a);
  const ForceEvaluationRequest request{kSingleSetNeighborTopology,
                                       result.virial_per_atom != nullptr ? kPerAtomVirials : kVirialTotals, true,
                                       spin_transfer};
  model.stages.force_pipeline(p, request, n, box, model.device_model, workspace, nullptr);

  Downloads d;
  d.potential = download_device_doubles(v.potential, a);
  d.force = download_device_doubles(v.force_soa3, kAxes * a);
  if (result.mforce != nullptr && spin) d.mforce = download_device_doubles(v.mforce_soa3, kAxes * a);
  d.virial = download_device_doubles(v.virial_soa9, kVirialComponents * a);
  if (spin_transfer) d.spin_transfer = download_device_floats(v.spin_transfer_soa9, kVirialComponents * a);
  fill_result(d, a, static_cast<std::size_t>(input.nlocal), static_cast<std::size_t>(n), result);
  return cancelled(model) ? QRVL_STATUS_CANCELLED : QRVL_STATUS_OK;
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
  const std::int32_t n = staged_atom_count(input);
  if (n < 1) return QRVL_STATUS_INVALID_ARGUMENT;
  return guard_evaluation([&] {
    const EvaluationDevice device(model.device);
    return evaluate_checked(model, input, n, result);
  });
}

}  // namespace quarvel::cuda_backend
