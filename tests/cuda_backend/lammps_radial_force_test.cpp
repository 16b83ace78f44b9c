#include "cuda_backend/lammps_radial_force.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <numeric>
#include <ostream>
#include <string>
#include <vector>

#include "cuda_backend/lammps_device_staging.hpp"
#include "cuda_backend/workspace_plan.hpp"
#include "support/device_test.hpp"
#include "support/finite_difference.hpp"
#include "support/lammps_lists.hpp"
#include "support/loaded_model.hpp"
#include "support/model_file_writer.hpp"
#include "support/protocol_shapes.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::DeviceLammpsInput;
using test_support::download;
using test_support::LammpsSystem;
using test_support::upload;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

constexpr int kTypes = 2;
constexpr int kVirials = 9;
// Float pair terms of order 1 eV/Angstrom summed over a few dozen pairs, compared in double: the sums agree to a
// few float roundings of the largest term.
constexpr double kFloatSumTolerance = 1e-4;

// A model on the device, a LAMMPS system staged into an external workspace with its float sink, and arbitrary
// descriptor derivatives in place of the network's.
class LammpsRadialForceTest : public test_support::DeviceTest {
 protected:
  void prepare(const char* family, const LammpsSystem& system) {
    model_ = test_support::load_model(test_support::compact_shape(family, {"C", "H"}));
    protocol_ = model_->protocol();
    protocol_.neighbor_capacity_radial = std::max(protocol_.neighbor_capacity_radial, system.longest_row());
    protocol_.neighbor_capacity_angular = std::max(protocol_.neighbor_capacity_angular, system.longest_row());
    system_ = system;
    input_ = std::make_unique<DeviceLammpsInput>(system_, kTypes, system_.longest_row());
    workspace_ = DeviceWorkspace(make_external_neighbor_workspace_plan(
        protocol_, static_cast<std::uint64_t>(system_.nall), static_cast<std::uint64_t>(system_.nlocal), true, false));
    stage_lammps_device_neighbors_on_device(input_->view(), protocol_, workspace_, true);
    const DeviceWorkspaceView v = workspace_.view();
    std::vector<float> fp(static_cast<std::size_t>(protocol_.descriptor_dim) * v.atom_capacity);
    for (std::size_t k = 0; k < fp.size(); ++k) fp[k] = 0.25f * static_cast<float>((k * 7) % 11) - 1.0f;
    upload(v.fp, fp);
    clear_outputs();
  }

  void clear_outputs() {
    const DeviceWorkspaceView v = workspace_.view();
    upload(v.potential, std::vector<double>(v.atom_capacity, 0.0));
    upload(v.per_atom_virial_float_soa9, std::vector<float>(kVirials * v.atom_capacity, 0.0f));
  }

  void run(VirialTarget target, bool zbl_energy = false) {
    const ModelProtocol p = protocol_;
    accumulate_lammps_radial_forces_on_device(p, system_.nlocal, lammps_identity_box(), model_->device, workspace_,
                                              target, zbl_energy);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  }

  std::vector<double> forces() const { return download(workspace_.view().force_soa3, 3 * capacity()); }
  std::vector<double> virials() const { return download(workspace_.view().virial_soa9, kVirials * capacity()); }
  std::size_t capacity() const { return workspace_.view().atom_capacity; }

  // Sum over every atom of component c (c x A + i layout).
  template <typename T>
  double total(const std::vector<T>& soa, int c) const {
    double sum = 0.0;
    for (std::size_t i = 0; i < capacity(); ++i) sum += static_cast<double>(soa[c * capacity() + i]);
    return sum;
  }

  std::unique_ptr<test_support::LoadedModel> model_;
  ModelProtocol protocol_;
  LammpsSystem system_;
  std::unique_ptr<DeviceLammpsInput> input_;
  DeviceWorkspace workspace_;
};

LammpsSystem dense_system() { return LammpsSystem::random(24, 7.0, 5.5, kTypes); }

// Push form: every pair force taken from the neighbor (ghost or local) is the one given to the centre.
TEST_F(LammpsRadialForceTest, ForcesPushedOntoGhostsBalanceTheCentres) {
  prepare("nep4", dense_system());
  run(VirialTarget::none);
  const std::vector<double> f = forces();
  double largest = 0.0;
  for (double x : f) largest = std::max(largest, std::abs(x));
  ASSERT_GT(largest, 0.0);
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(total(f, c), 0.0, kFloatSumTolerance * largest) << "axis " << c;
  double ghost_force = 0.0;
  for (int i = system_.nlocal; i < system_.nall; ++i) ghost_force += std::abs(f[i]);
  EXPECT_GT(ghost_force, 0.0);  // ghosts without lists still receive their reactions
}

// The same pair terms booked three ways: on the centre in double, on the neighbor in double, on the neighbor in
// the float sink (with the owner double virial written as well).
TEST_F(LammpsRadialForceTest, OwnerScatterAndSinkBookTheSameTotalVirial) {
  prepare("nep4", dense_system());
  run(VirialTarget::fp64_owner);
  const std::vector<double> owner = virials();
  const std::vector<double> owner_forces = forces();
  run(VirialTarget::fp64_scatter);
  const std::vector<double> scatter = virials();
  clear_outputs();
  run(VirialTarget::float_sink);
  const std::vector<double> sink_owner = virials();
  const std::vector<float> sink = download(workspace_.view().per_atom_virial_float_soa9, kVirials * capacity());
  EXPECT_EQ(sink_owner, owner);
  EXPECT_EQ(forces(), owner_forces);
  for (int q = 0; q < kVirials; ++q) {
    const double reference = total(owner, q);
    const double scale = std::max(1.0, std::abs(reference));
    EXPECT_NEAR(total(scatter, q), reference, kFloatSumTolerance * scale) << "component " << q;
    EXPECT_NEAR(total(sink, q), reference, kFloatSumTolerance * scale) << "component " << q;
  }
}

// The pull state is rebuilt at every change of neighbor type: any row order gives the same forces.
TEST_F(LammpsRadialForceTest, RowOrderDoesNotChangeTheForces) {
  prepare("nep4", dense_system());
  run(VirialTarget::none);
  const std::vector<double> grouped = forces();
  for (int i = 0; i < system_.nlocal; ++i) {
    auto row = input_->host_neighbors.begin() + static_cast<std::ptrdiff_t>(i) * input_->row_width;
    std::reverse(row, row + static_cast<std::ptrdiff_t>(system_.rows[i].size()));
  }
  input_->refresh_lists();
  stage_lammps_device_neighbors_on_device(input_->view(), protocol_, workspace_, true);
  run(VirialTarget::none);
  const std::vector<double> reversed = forces();
  double largest = 0.0;
  for (double x : grouped) largest = std::max(largest, std::abs(x));
  for (std::size_t k = 0; k < grouped.size(); ++k) {
    EXPECT_NEAR(reversed[k], grouped[k], kFloatSumTolerance * largest) << "entry " << k;
  }
}

// Two local atoms inside the ZBL range, no network terms: the force is minus the derivative of the ZBL energy
// the kernel books, checked by central differences.
TEST_F(LammpsRadialForceTest, FusedZblForceIsTheGradientOfItsEnergy) {
  LammpsSystem pair;
  pair.nlocal = pair.nall = 2;
  pair.types = {1, 2};
  pair.positions = {0.0, 0.0, 0.0, 1.3, 0.4, -0.2};
  pair.rows = {{1}, {0}};
  prepare("nep4_zbl", pair);
  ASSERT_TRUE(protocol_.has_zbl);
  upload(workspace_.view().fp, std::vector<float>(protocol_.descriptor_dim * capacity(), 0.0f));
  const auto energy_at = [&](double dx) {
    std::vector<double> moved = pair.positions;
    moved[3] += dx;
    input_->upload(pair.types, {-1, 0, 1}, moved);
    stage_lammps_device_neighbors_on_device(input_->view(), protocol_, workspace_, true);
    clear_outputs();
    run(VirialTarget::none, true);
    const std::vector<double> potential = download(workspace_.view().potential, 2);
    return potential[0] + potential[1];
  };
  constexpr double kStep = 1e-2;  // Angstrom: float energies of a few eV leave ~1e-5 eV of noise per evaluation
  const double derivative = test_support::central_difference(energy_at, kStep);
  energy_at(0.0);
  const std::vector<double> f = forces();
  EXPECT_GT(std::abs(derivative), 1.0);
  // Central differences of float energies: truncation O(h^2) and float noise of 1e-5 eV / h.
  EXPECT_NEAR(f[1], -derivative, 1e-2 * std::abs(derivative));
  EXPECT_NEAR(f[0], derivative, 1e-2 * std::abs(derivative));

  clear_outputs();
  run(VirialTarget::none, false);
  EXPECT_EQ(download(workspace_.view().potential, 2), (std::vector<double>{0.0, 0.0}));  // no energy asked for
}

// Types used in place are not checked by staging: an atom of an unknown type is skipped as centre and as
// neighbor, and the others see it as absent.
TEST_F(LammpsRadialForceTest, AtomsOfUnknownTypeAreSkipped) {
  prepare("nep4", dense_system());
  run(VirialTarget::none);
  const std::vector<double> reference = forces();
  std::vector<std::int32_t> types = download(workspace_.view().types, capacity());
  types[0] = kTypes;  // outside the model
  upload(workspace_.view().types, types);
  run(VirialTarget::none);
  const std::vector<double> skipped = forces();
  for (int c = 0; c < 3; ++c) EXPECT_EQ(skipped[c * capacity()], 0.0) << "axis " << c;
  bool changed = false;
  for (std::size_t k = 0; k < reference.size(); ++k) changed = changed || skipped[k] != reference[k];
  EXPECT_TRUE(changed);
}

struct RefusalCase {
  const char* name;
  std::function<void(ModelProtocol&)> change;
  VirialTarget target;
  bool without_sink;
  const char* message;
};

std::vector<RefusalCase> refusal_cases() {
  using P = ModelProtocol;
  return {
      {"NegativeBasis", [](P& p) { p.basis_size_radial = -1; }, VirialTarget::none, false,
       "basis_size_radial must be non-negative"},
      {"NoRadialCutoff", [](P& p) { p.cutoff_radial = 0.0; }, VirialTarget::none, false,
       "radial cutoff must be positive"},
      {"FlexibleZbl", [](P& p) { p.flexible_zbl = true; }, VirialTarget::none, false,
       "flexible ZBL is not supported yet"},
      // Its per-pair cutoffs are not those of the universal repulsion the kernel adds.
      {"TypewiseZbl", [](P& p) { p.typewise_zbl = true; }, VirialTarget::none, false,
       "typewise ZBL is not supported by the fused LAMMPS radial/ZBL kernel"},
      {"ZblOuterBelowInner", [](P& p) { p.zbl_rc_outer = p.zbl_rc_inner; }, VirialTarget::none, false,
       "ZBL outer cutoff must exceed inner"},
      {"RadialCutoffBelowZblRange", [](P& p) { p.zbl_rc_outer = p.cutoff_radial + 1.0; }, VirialTarget::none, false,
       "fused LAMMPS radial/ZBL kernel reuses the radial neighbor list"},
      {"SinkMissing", [](P&) {}, VirialTarget::float_sink, true, "workspace missing per-atom virial sink"},
  };
}

class LammpsRadialForceRefuses : public LammpsRadialForceTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(LammpsRadialForceRefuses, BeforeAnyDeviceWork) {
  prepare("nep4_zbl", dense_system());
  if (GetParam().without_sink) {
    workspace_ = DeviceWorkspace(test_support::without_array(
        make_external_neighbor_workspace_plan(protocol_, capacity(), 24, true, false), "per_atom_virial_float_soa9"));
  }
  ModelProtocol p = protocol_;
  GetParam().change(p);
  EXPECT_THAT([&] {
    accumulate_lammps_radial_forces_on_device(p, system_.nlocal, lammps_identity_box(), model_->device, workspace_,
                                              GetParam().target, true);
  }, ThrowsMessage<std::runtime_error>(StrEq(GetParam().message)));
}

INSTANTIATE_TEST_SUITE_P(Checks, LammpsRadialForceRefuses, ::testing::ValuesIn(refusal_cases()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

}  // namespace
}  // namespace quarvel::cuda_backend
