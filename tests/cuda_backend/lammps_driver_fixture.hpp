#pragma once
// Models for the two LAMMPS drivers without a model file: a protocol, empty parameters, the cancel flag, the
// device workspace cache and a profiling counter of their own, with a stand-in force pipeline whose outputs
// follow from the staged data alone, so that every step around the pipeline can be checked exactly.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cuda_backend/lammps_drivers.hpp"
#include "quarvel/engine.hpp"
#include "quarvel/quarvel.h"
#include "support/device_test.hpp"
#include "support/lammps_lists.hpp"
#include "support/protocol_shapes.hpp"

namespace quarvel::cuda_backend::lammps_test {

constexpr int kLammpsTypes = 2;
constexpr double kEdge = 5.0;        // Angstrom
constexpr double kListCutoff = 2.6;  // Angstrom

// What the stand-in pipeline saw, and a hook it runs first.
struct PipelineRecord {
  int calls = 0;
  ForceEvaluationRequest last_request{};
  int last_atom_count = -1;
  bool timed = false;
  const DeviceWorkspace* last_workspace = nullptr;
  DeviceWorkspaceView last_view{};
  std::function<void()> hook;
};

inline PipelineRecord& pipeline_record() {
  static PipelineRecord record;
  return record;
}

// Writes, for atoms 0 .. atom_count-1: potential = radial neighbor count; force = staged position; device virial
// component k = (k + 1) x position x; float sink component k = (k + 1) x position y; magnetic force = staged
// spin; spin transfer component k = k + 0.5. Ghost atoms get force = -position (neighbor reactions).
inline void fake_pipeline(const ModelProtocol&, const ForceEvaluationRequest& request, int atom_count,
                          const SimulationBox&, const DeviceModel&, DeviceWorkspace& workspace,
                          ForcePipelineTimings* timings) {
  PipelineRecord& record = pipeline_record();
  ++record.calls;
  record.last_request = request;
  record.last_atom_count = atom_count;
  record.timed = timings != nullptr;
  record.last_workspace = &workspace;
  record.last_view = workspace.view();
  if (record.hook) record.hook();
  const DeviceWorkspaceView v = workspace.view();
  const std::size_t a = v.atom_capacity;
  const std::vector<double> positions = test_support::download(v.positions_soa3, 3 * a);
  const std::vector<std::int32_t> counts = test_support::download(v.nn_radial, a);
  std::vector<double> potential = test_support::download(v.potential, a);
  std::vector<double> force(3 * a, 0.0), virial(9 * a, 0.0);
  std::vector<float> sink(9 * a, 0.0f), transfer(9 * a, 0.0f);
  for (std::size_t i = 0; i < a; ++i) {
    const bool centre = i < static_cast<std::size_t>(atom_count);
    if (centre) potential[i] = counts[i];
    for (std::size_t c = 0; c < 3; ++c) force[c * a + i] = centre ? positions[c * a + i] : -positions[c * a + i];
    if (!centre) continue;
    for (std::size_t k = 0; k < 9; ++k) {
      virial[k * a + i] = static_cast<double>(k + 1) * positions[i];
      sink[k * a + i] = static_cast<float>(static_cast<double>(k + 1) * positions[a + i]);
      transfer[k * a + i] = static_cast<float>(k) + 0.5f;
    }
  }
  test_support::upload(v.potential, potential);
  test_support::upload(v.force_soa3, force);
  test_support::upload(v.virial_soa9, virial);
  if (v.per_atom_virial_float_soa9 != nullptr) test_support::upload(v.per_atom_virial_float_soa9, sink);
  if (v.spin_transfer_soa9 != nullptr) test_support::upload(v.spin_transfer_soa9, transfer);
  if (v.mforce_soa3 != nullptr) test_support::upload(v.mforce_soa3, test_support::download(v.spins_soa3, 3 * a));
}

inline ModelProtocol lammps_protocol(int capacity) {
  ModelProtocol p = test_support::minimal_protocol();
  p.num_types = kLammpsTypes;
  p.cutoff_radial = kListCutoff;
  p.cutoff_radial_list = kListCutoff;
  p.cutoff_angular = 2.0;
  p.cutoff_max = kListCutoff;
  p.neighbor_capacity_radial = capacity;
  p.neighbor_capacity_angular = capacity;
  return p;
}

// The environment the device driver's lookup sees in these tests.
inline std::map<std::string, std::string>& test_environment() {
  static std::map<std::string, std::string> variables;
  return variables;
}

inline const char* test_lookup(const char* name) {
  const auto found = test_environment().find(name);
  return found == test_environment().end() ? nullptr : found->second.c_str();
}

class LammpsDriverTest : public test_support::DeviceTest {
 protected:
  void SetUp() override {
    test_support::DeviceTest::SetUp();
    pipeline_record() = PipelineRecord{};
    test_environment().clear();
    clear_last_error();
  }
  void TearDown() override {
    pipeline_record() = PipelineRecord{};
    test_environment().clear();
  }

  int evaluate_host(const QrvlLammpsNeighborInput& input, QrvlLammpsNeighborResult& result) {
    HostLammpsDriverModel model{protocol_, device_model_, cancel_};
    model.stages.force_pipeline = &fake_pipeline;
    return evaluate_host_lammps_neighbors(model, input, result);
  }

  int evaluate_device(const QrvlLammpsDeviceNeighborInput& input, const QrvlLammpsDeviceNeighborResult& result) {
    DeviceLammpsDriverModel model{protocol_,      device_model_,   cancel_,         workspace_,
                                  atoms_,         active_atoms_,   radial_capacity_, angular_capacity_,
                                  float_sink_,    spin_transfer_,  samples_};
    model.environment = &test_lookup;
    model.stages.force_pipeline = &fake_pipeline;
    return evaluate_device_lammps_neighbors(model, input, result);
  }

  test_support::LammpsSystem system_ =
      test_support::LammpsSystem::random(6, kEdge, kListCutoff, kLammpsTypes);
  ModelProtocol protocol_ = lammps_protocol(system_.longest_row() + 2);
  DeviceModel device_model_{};
  std::atomic<bool> cancel_{false};
  std::unique_ptr<DeviceWorkspace> workspace_;
  std::uint64_t atoms_ = 0;
  std::uint64_t active_atoms_ = 0;
  std::int32_t radial_capacity_ = 0;
  std::int32_t angular_capacity_ = 0;
  bool float_sink_ = false;
  bool spin_transfer_ = false;
  std::atomic<std::uint32_t> samples_{0};
};

}  // namespace quarvel::cuda_backend::lammps_test
