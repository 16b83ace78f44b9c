// The force pipeline's energy stages on the library's own batched neighbor lists: staged batch, cell-list
// builder, descriptors and network give every atom the energy of a double-precision reference, and the atoms of a
// supercell the energies of the cell they replicate. The force stages are left out (replaced by no-ops).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cuda_backend/device_staging.hpp"
#include "cuda_backend/force_pipeline.hpp"
#include "cuda_backend/internal_neighbor_builder.hpp"
#include "cuda_backend/workspace_plan.hpp"
#include "support/batch_builder.hpp"
#include "support/descriptor_reference.hpp"
#include "support/device_test.hpp"
#include "support/loaded_model.hpp"
#include "support/network_reference.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::Structure;

constexpr double kListMargin = 0.6;  // Angstrom beyond the radial cutoff for the reference's own lists

// The structure repeated once more along its first cell vector.
Structure doubled_along_first_vector(const Structure& s) {
  Structure d = s;
  for (int row = 0; row < 3; ++row) d.cell[3 * row] *= 2.0;
  for (int i = 0; i < s.size(); ++i) {
    const test_support::Vec3& r = s.positions[i];
    d.positions.push_back({r[0] + s.cell[0], r[1] + s.cell[3], r[2] + s.cell[6]});
    d.types.push_back(s.types[i]);
  }
  return d;
}

ForcePipelineStages energy_stages_only() {
  ForcePipelineStages stages;
  stages.radial_batched = [](const ModelProtocol&, int, const DeviceModel&, DeviceWorkspace&, VirialTarget) {};
  stages.angular_batched = [](const ModelProtocol&, int, const DeviceModel&, DeviceWorkspace&, VirialTarget) {};
  stages.zbl_batched = [](const ModelProtocol&, int, const DeviceModel&, DeviceWorkspace&, VirialTarget) {};
  return stages;
}

class PipelineEnergies : public test_support::DeviceTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(PipelineEnergies, MatchTheReferenceAndRepeatInSupercells) {
  test_support::ModelShape shape = test_support::compact_shape(GetParam(), {"C", "N"}, 9);
  shape.l_max_3body = 4;
  shape.q222 = 1;
  shape.coupling_flags = {1, 1, 1, 1, 1};
  shape.n_max_angular = 2;
  const std::unique_ptr<test_support::LoadedModel> model = test_support::load_model(shape);
  const ModelProtocol& p = model->protocol();
  const double reach = p.cutoff_radial + kListMargin;
  const Structure cell = test_support::random_structure(26, p.num_types, reach, 17);
  const Structure other = test_support::random_structure(31, p.num_types, reach, 18);
  const std::vector<Structure> structures = {cell, doubled_along_first_vector(cell), other};
  const test_support::BatchArrays batch = test_support::batch_of(structures);
  const int atoms = static_cast<int>(batch.types.size());

  DeviceWorkspace workspace(
      make_internal_neighbor_workspace_plan(p, static_cast<std::uint64_t>(atoms), structures.size(), false));
  stage_batch_on_device(batch.view(), p.num_types, workspace);
  build_internal_neighbors_batched(p, static_cast<int>(structures.size()), atoms, workspace, false);
  ForceEvaluationRequest request;
  request.neighbor_topology = kBatchedNeighborTopology;
  request.virial_mode = kNoVirial;
  run_force_pipeline(energy_stages_only(), p, request, atoms, structures.front().box(), model->device, workspace,
                     nullptr);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  const std::vector<double> potential = test_support::download(workspace.view().potential, atoms);

  const test_support::ReferenceNetwork network{&model->written, p.descriptor_dim, shape.hidden_neurons, 0};
  int first = 0;
  for (const Structure& s : structures) {
    const test_support::NeighborLists lists =
        test_support::brute_force_lists(s, reach, p.cutoff_angular + kListMargin, p.num_types);
    for (int i = 0; i < s.size(); ++i) {
      const test_support::ReferenceAtom ref = test_support::reference_atom(*model, s, lists, i);
      double magnitude = 0.0;
      const double energy = network.energy(s.types[i], ref.value, &magnitude);
      const std::vector<double> slope = network.gradient(s.types[i], ref.value);
      // Descriptor tolerances carried through the network's slope, plus the float network itself.
      double tolerance = 2e-6 * magnitude * p.descriptor_dim;
      for (int d = 0; d < p.descriptor_dim; ++d) tolerance += std::fabs(slope[d]) * ref.tolerance[d];
      EXPECT_NEAR(potential[first + i], energy, tolerance) << "structure atom " << first + i;
    }
    first += s.size();
  }
  // The supercell's atoms (and their copies) have the energies of the cell's atoms.
  for (int i = 0; i < 2 * cell.size(); ++i) {
    const double original = potential[i % cell.size()];
    // Same neighborhoods in another list order: float rounding of the descriptors only.
    EXPECT_NEAR(potential[cell.size() + i], original, 1e-5 * (1.0 + std::fabs(original))) << "supercell atom " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, PipelineEnergies, ::testing::Values("nep4", "nep5"),
                         [](const auto& family) { return std::string(family.param); });

}  // namespace
}  // namespace quarvel::cuda_backend
