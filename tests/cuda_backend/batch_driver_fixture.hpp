#pragma once
// A model for the batch driver without a model file: a protocol, empty parameters, the cancel flag and the
// workspace cache, with a stand-in force pipeline whose outputs follow from the staged data alone, so that every
// step around the pipeline (staging, lists, packing, copy-back, folding) can be checked exactly.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "cuda_backend/batch_driver.hpp"
#include "quarvel/engine.hpp"
#include "quarvel/quarvel.h"
#include "support/batch_builder.hpp"
#include "support/device_test.hpp"
#include "support/protocol_shapes.hpp"

namespace quarvel::cuda_backend::driver_test {

constexpr double kCutoffMax = 4.5;      // Angstrom: replication and the cell grid
constexpr double kRadialListCutoff = 3.5;  // Angstrom
constexpr int kSlots = 64;

// What the stand-in pipeline saw, and a hook it runs first (for cancellation from another thread).
struct PipelineRecord {
  std::atomic<int> calls{0};  // read by a cancelling thread while the pipeline runs
  ForceEvaluationRequest last_request{};
  int last_atom_count = 0;
  std::function<void(int call)> hook;

  void reset() {
    calls = 0;
    last_request = ForceEvaluationRequest{};
    last_atom_count = 0;
    hook = nullptr;
  }
};

inline PipelineRecord& pipeline_record() {
  static PipelineRecord record;
  return record;
}

// Writes, for atoms 0 .. atom_count-1: potential = radial neighbor count; force = staged position;
// device virial component k = (k + 1) x position x; magnetic force = staged spin (spin workspaces).
inline void fake_pipeline(const ModelProtocol&, const ForceEvaluationRequest& request, int atom_count,
                          const SimulationBox&, const DeviceModel&, DeviceWorkspace& workspace,
                          ForcePipelineTimings*) {
  PipelineRecord& record = pipeline_record();
  const int call = ++record.calls;
  record.last_request = request;
  record.last_atom_count = atom_count;
  if (record.hook) record.hook(call);
  const DeviceWorkspaceView v = workspace.view();
  const std::size_t a = v.atom_capacity;
  const std::vector<double> positions = test_support::download(v.positions_soa3, 3 * a);
  const std::vector<std::int32_t> counts = test_support::download(v.nn_radial, a);
  std::vector<double> potential(a, 0.0), force(3 * a, 0.0), virial(9 * a, 0.0);
  for (std::size_t i = 0; i < static_cast<std::size_t>(atom_count); ++i) {
    potential[i] = counts[i];
    for (std::size_t c = 0; c < 3; ++c) force[c * a + i] = positions[c * a + i];
    for (std::size_t k = 0; k < 9; ++k) virial[k * a + i] = static_cast<double>(k + 1) * positions[i];
  }
  test_support::upload(v.potential, potential);
  test_support::upload(v.force_soa3, force);
  test_support::upload(v.virial_soa9, virial);
  if (v.mforce_soa3 != nullptr) {
    std::vector<double> spins = test_support::download(v.spins_soa3, 3 * a);
    for (std::size_t i = static_cast<std::size_t>(atom_count); i < a; ++i) {
      for (std::size_t c = 0; c < 3; ++c) spins[c * a + i] = 0.0;
    }
    test_support::upload(v.mforce_soa3, spins);
  }
}

inline ModelProtocol ordinary_protocol() {
  ModelProtocol p = test_support::minimal_protocol();
  p.num_types = 2;
  p.cutoff_max = kCutoffMax;
  p.cutoff_radial = kRadialListCutoff;
  p.cutoff_radial_list = kRadialListCutoff;
  p.cutoff_angular = 3.0;
  p.neighbor_capacity_radial = kSlots;
  p.neighbor_capacity_angular = kSlots;
  return p;
}

inline ModelProtocol spin_model_protocol() {
  ModelProtocol p = ordinary_protocol();
  p.spin_mode = 1;
  p.spin_compress = 1;
  p.spin_basis_size_radial = 1;
  return p;
}

// Caller-owned result arrays for a batch, filled with a sentinel so that untouched entries show.
struct ResultArrays {
  static constexpr double kUntouched = -12345.0;
  std::vector<double> energy, potential, force, virial, virial_per_atom, mforce, spin_transfer;

  ResultArrays(std::size_t structures, std::size_t atoms)
      : energy(structures, kUntouched),
        potential(atoms, kUntouched),
        force(3 * atoms, kUntouched),
        virial(9 * structures, kUntouched),
        virial_per_atom(9 * atoms, kUntouched),
        mforce(3 * atoms, kUntouched),
        spin_transfer(9 * atoms, kUntouched) {}

  // Energy, forces, per-atom energies and structure virials; per-atom virials, magnetic forces and spin
  // transfer on request.
  QrvlFindForceResult view(bool per_atom_virials = false, bool magnetic = false, bool transfer = false) {
    QrvlFindForceResult r{};
    r.energy = energy.data();
    r.force = force.data();
    r.potential = potential.data();
    r.virial = virial.data();
    if (per_atom_virials) r.virial_per_atom = virial_per_atom.data();
    if (magnetic) r.mforce = mforce.data();
    if (transfer) r.spin_transfer = spin_transfer.data();
    return r;
  }
};

class BatchDriverTest : public test_support::DeviceTest {
 protected:
  void SetUp() override {
    test_support::DeviceTest::SetUp();
    pipeline_record().reset();
    clear_last_error();
  }
  void TearDown() override { pipeline_record().reset(); }

  BatchDriverModel driver() {
    BatchDriverModel m{protocol_,  parameters_,    device_model_,       cancel_,
                       workspace_, atom_capacity_, structure_capacity_, spin_transfer_};
    m.stages.force_pipeline = &fake_pipeline;
    return m;
  }

  int evaluate(const QrvlStructureBatch& batch, QrvlFindForceResult result, bool allow_expand = true) {
    BatchDriverModel m = driver();
    return evaluate_structure_batch(m, batch, result, allow_expand);
  }

  ModelProtocol protocol_ = ordinary_protocol();
  HostModelParameters parameters_{};
  DeviceModel device_model_{};
  std::atomic<bool> cancel_{false};
  std::unique_ptr<DeviceWorkspace> workspace_;
  std::uint64_t atom_capacity_ = 0;
  std::uint64_t structure_capacity_ = 0;
  bool spin_transfer_ = false;
};

}  // namespace quarvel::cuda_backend::driver_test
