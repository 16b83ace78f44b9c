#pragma once
// One structure staged with brute-force neighbor lists, its descriptors and network derivatives computed, ready
// for the force kernels to be launched on it one at a time; and the helpers that read their outputs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <vector>

#include "cuda_backend/ann_energy.hpp"
#include "cuda_backend/device_workspace.hpp"
#include "cuda_backend/pipeline_stages.hpp"
#include "cuda_backend/workspace_plan.hpp"
#include "support/descriptor_structures.hpp"
#include "support/device_test.hpp"
#include "support/loaded_model.hpp"
#include "support/protocol_shapes.hpp"

namespace quarvel::test_support {

constexpr int kForceSpareCapacity = 3;  // workspace atoms beyond those staged: the stride differs from N
constexpr double kUnwritten = -54321.0;  // fills outputs so that untouched entries can be told apart

// The outputs a force launcher adds to.
struct ForceOutputs {
  std::vector<double> force;   // soa3
  std::vector<double> virial;  // soa9
  std::vector<double> potential;
  std::vector<float> sink;     // soa9, empty without a sink
};

struct StagedStructure {
  std::unique_ptr<LoadedModel> model;
  Structure structure;
  NeighborLists lists;
  cuda_backend::DeviceWorkspace workspace;

  int atoms() const { return structure.size(); }
  const cuda_backend::ModelProtocol& protocol() const { return model->protocol(); }
  cuda_backend::DeviceWorkspaceView view() const { return workspace.view(); }

  // Sets force, virial, potential (and the sink) to `value`.
  void fill_outputs(double value) const {
    const cuda_backend::DeviceWorkspaceView v = view();
    const std::size_t a = v.atom_capacity;
    upload(v.force_soa3, std::vector<double>(3 * a, value));
    upload(v.virial_soa9, std::vector<double>(9 * a, value));
    upload(v.potential, std::vector<double>(a, value));
    if (v.per_atom_virial_float_soa9 != nullptr) {
      upload(v.per_atom_virial_float_soa9, std::vector<float>(9 * a, static_cast<float>(value)));
    }
  }

  // Gives atom 0 a type outside the model (after its descriptors were computed with its own).
  void make_first_atom_unknown() const {
    std::vector<std::int32_t> types = structure.types;
    types.resize(view().atom_capacity, 0);
    types[0] = protocol().num_types + 4;
    upload(view().types, types);
  }

  ForceOutputs outputs() const {
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    const cuda_backend::DeviceWorkspaceView v = view();
    const std::size_t a = v.atom_capacity;
    ForceOutputs o;
    o.force = download(v.force_soa3, 3 * a);
    o.virial = download(v.virial_soa9, 9 * a);
    o.potential = download(v.potential, a);
    if (v.per_atom_virial_float_soa9 != nullptr) o.sink = download(v.per_atom_virial_float_soa9, 9 * a);
    return o;
  }
};

// The structure of `atoms` atoms (types cycling over the model's) with lists, descriptors and fp computed for
// one neighbor-list set (batched cells as well, so batched launchers run on the same workspace). With
// float_sink the workspace also holds the LAMMPS path's float per-atom virial sink.
inline StagedStructure stage_for_forces(const ModelShape& shape, int atoms, unsigned seed, bool float_sink = false) {
  StagedStructure s;
  s.model = load_model(shape);
  const cuda_backend::ModelProtocol& p = s.model->protocol();
  const double reach = std::max(p.cutoff_radial, p.cutoff_angular);
  s.structure = random_structure(atoms, p.num_types, reach, seed);
  s.lists = brute_force_lists(s.structure, p.cutoff_radial, p.cutoff_angular, p.num_types);
  const std::uint64_t capacity = static_cast<std::uint64_t>(atoms + kForceSpareCapacity);
  cuda_backend::WorkspacePlan plan = cuda_backend::make_internal_neighbor_workspace_plan(p, capacity, 1, false);
  if (float_sink) {
    plan.arrays.push_back({"per_atom_virial_float_soa9", cuda_backend::DeviceScalarType::float32, 9 * capacity});
  }
  s.workspace = cuda_backend::DeviceWorkspace(plan);
  stage_structures({s.structure}, {s.lists}, s.workspace.view());
  cuda_backend::build_descriptor_core_from_positions_on_device(p, atoms, s.structure.box(), s.model->device,
                                                               s.workspace,
                                                               cuda_backend::DescriptorCoreTopology::single_box);
  cuda_backend::evaluate_ann_energy_on_device(p, atoms, s.model->device, s.workspace);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  return s;
}

// Sum over atoms 0..atoms-1 of component k of a soa array.
template <typename T>
double component_total(const std::vector<T>& soa, std::size_t capacity, int atoms, int k) {
  double sum = 0.0;
  for (int i = 0; i < atoms; ++i) sum += static_cast<double>(soa[k * capacity + i]);
  return sum;
}

// One refusal of a force launcher: a good call with one input broken (the protocol changed, or one workspace
// array left out of the plan), and the message it must throw.
struct LauncherRefusal {
  const char* name;
  bool batched;  // the batched launcher instead of the one-set launcher
  cuda_backend::VirialTarget target;
  std::function<void(cuda_backend::ModelProtocol&)> protocol_change;
  const char* dropped_array;  // or null
  const char* message;
};

inline void PrintTo(const LauncherRefusal& c, std::ostream* os) { *os << c.name; }

// A workspace of a few atoms planned for the protocol, without the refusal's dropped array.
inline cuda_backend::DeviceWorkspace refusal_workspace(const cuda_backend::ModelProtocol& protocol,
                                                       const LauncherRefusal& refusal) {
  constexpr std::uint64_t kAtoms = 8;
  cuda_backend::WorkspacePlan plan = cuda_backend::make_internal_neighbor_workspace_plan(protocol, kAtoms, 1, false);
  if (refusal.dropped_array != nullptr) plan = without_array(plan, refusal.dropped_array);
  return cuda_backend::DeviceWorkspace(plan);
}

// The base fixture of a table of launcher refusals.
class LauncherRefusalTest : public DeviceTest, public ::testing::WithParamInterface<LauncherRefusal> {};

// A force launcher in the common form of the batched ones: protocol, atom count, model, workspace, virial target.
using ForceLauncher = std::function<void(const cuda_backend::ModelProtocol&, int, const cuda_backend::DeviceModel&,
                                         cuda_backend::DeviceWorkspace&, cuda_backend::VirialTarget)>;

// Expects the launcher the refusal names, one_set or batched, to throw the refusal's message for a few atoms of a
// model of `shape` whose protocol was changed after its workspace was planned.
inline void expect_launcher_refusal(const LauncherRefusal& refusal, const ModelShape& shape,
                                    const ForceLauncher& one_set, const ForceLauncher& batched = nullptr) {
  constexpr int kAtoms = 4;  // fewer than the refusal workspace holds
  const std::unique_ptr<LoadedModel> model = load_model(shape);
  cuda_backend::ModelProtocol p = model->protocol();
  cuda_backend::DeviceWorkspace workspace = refusal_workspace(p, refusal);
  refusal.protocol_change(p);
  const ForceLauncher& launch = refusal.batched ? batched : one_set;
  ASSERT_TRUE(launch) << "the test has no batched launcher";
  EXPECT_THAT([&] { launch(p, kAtoms, model->device, workspace, refusal.target); },
              ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq(refusal.message)));
}

}  // namespace quarvel::test_support
