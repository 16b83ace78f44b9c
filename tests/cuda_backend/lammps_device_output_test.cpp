#include "cuda_backend/lammps_device_output.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "cuda_backend/pipeline_stages.hpp"
#include "cuda_backend/workspace_plan.hpp"
#include "support/device_test.hpp"
#include "support/lammps_lists.hpp"
#include "support/protocol_shapes.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::DeviceCopy;
using test_support::download;
using test_support::upload;
using ::testing::Each;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

constexpr double kUntouched = -777.0;

// A spin workspace with every optional output, its accumulators filled with small integers (exact sums):
// potential[i] = i + 1, force component c = 10 c + i, magnetic force = -(10 c + i), device virial component k
// = 100 k + i (float sink: 1000 k + i), spin transfer = -(1000 k + i).
class LammpsDeviceOutputTest : public test_support::DeviceTest {
 protected:
  void fill(std::uint64_t atoms) {
    ModelProtocol p = test_support::spin_protocol(1, 1, 0, 0);
    workspace_ = DeviceWorkspace(make_external_neighbor_workspace_plan(p, atoms, atoms, true, true));
    const DeviceWorkspaceView v = workspace_.view();
    const std::size_t a = v.atom_capacity;
    std::vector<double> potential(a), force(3 * a), mforce(3 * a), virial(9 * a);
    std::vector<float> sink(9 * a), transfer(9 * a);
    for (std::size_t i = 0; i < a; ++i) {
      potential[i] = static_cast<double>(i + 1);
      for (std::size_t c = 0; c < 3; ++c) {
        force[c * a + i] = static_cast<double>(10 * c + i);
        mforce[c * a + i] = -static_cast<double>(10 * c + i);
      }
      for (std::size_t k = 0; k < 9; ++k) {
        virial[k * a + i] = static_cast<double>(100 * k + i);
        sink[k * a + i] = static_cast<float>(1000 * k + i);
        transfer[k * a + i] = -static_cast<float>(1000 * k + i);
      }
    }
    upload(v.potential, potential);
    upload(v.force_soa3, force);
    upload(v.mforce_soa3, mforce);
    upload(v.virial_soa9, virial);
    upload(v.per_atom_virial_float_soa9, sink);
    upload(v.spin_transfer_soa9, transfer);
  }

  DeviceWorkspace workspace_;
};

struct Layout {
  const char* name;
  int atom_stride;
  int component_stride;  // in units of the padded atom count when `component_major`
  bool component_major;
};

class LammpsDeviceOutputLayouts : public LammpsDeviceOutputTest, public ::testing::WithParamInterface<Layout> {};

// Every output lands at i x atom stride + c x component stride and nowhere else; per-atom energies only for
// local atoms, everything else for ghosts too.
TEST_P(LammpsDeviceOutputLayouts, WriteEveryOutputAtItsStrides) {
  constexpr int kNlocal = 5, kNall = 7, kPadded = 9;
  fill(kPadded);
  const Layout& layout = GetParam();
  const int component_stride = layout.component_major ? kPadded : layout.component_stride;
  const int atom_stride = layout.atom_stride;
  const std::size_t extent = static_cast<std::size_t>(atom_stride) * kPadded + 9 * component_stride;
  DeviceCopy<double> force(std::vector<double>(extent, kUntouched)), mforce(std::vector<double>(extent, kUntouched)),
      virial(std::vector<double>(extent, kUntouched)), transfer(std::vector<double>(extent, kUntouched)),
      potential(std::vector<double>(kPadded, kUntouched));
  QrvlLammpsDeviceNeighborInput in{};
  in.nlocal = kNlocal;
  in.nall = kNall;
  QrvlLammpsDeviceNeighborResult r{};
  r.force = force.get();
  r.mforce = mforce.get();
  r.virial_per_atom = virial.get();
  r.spin_transfer = transfer.get();
  r.potential = potential.get();
  r.force_atom_stride = r.mforce_atom_stride = r.virial_atom_stride = r.spin_transfer_atom_stride = atom_stride;
  r.force_component_stride = r.mforce_component_stride = r.virial_component_stride =
      r.spin_transfer_component_stride = component_stride;
  write_lammps_device_outputs(in, r, workspace_);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);

  std::vector<double> want_force(extent, kUntouched), want_mforce(extent, kUntouched),
      want_virial(extent, kUntouched), want_transfer(extent, kUntouched), want_potential(kPadded, kUntouched);
  for (int i = 0; i < kNall; ++i) {
    for (int c = 0; c < 3; ++c) {
      want_force[i * atom_stride + c * component_stride] = 10.0 * c + i;
      want_mforce[i * atom_stride + c * component_stride] = -(10.0 * c + i);
    }
    for (int k = 0; k < 9; ++k) {
      want_virial[i * atom_stride + k * component_stride] = 1000.0 * k + i;
      want_transfer[i * atom_stride + k * component_stride] = -(1000.0 * k + i);
    }
    if (i < kNlocal) want_potential[i] = i + 1.0;
  }
  EXPECT_EQ(force.read(), want_force);
  EXPECT_EQ(mforce.read(), want_mforce);
  EXPECT_EQ(virial.read(), want_virial);
  EXPECT_EQ(transfer.read(), want_transfer);
  EXPECT_EQ(potential.read(), want_potential);
}

INSTANTIATE_TEST_SUITE_P(Layouts, LammpsDeviceOutputLayouts,
                         ::testing::Values(Layout{"AtomMajorPadded", 11, 1, false},
                                           Layout{"ComponentMajor", 1, 0, true},
                                           Layout{"AtomMajorWideComponents", 2, 23, false}),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

// Totals over local atoms only: the energy, the diagonal, and each off-diagonal pair averaged per atom.
TEST_F(LammpsDeviceOutputTest, TotalsSumLocalAtomsWithSymmetrisedOffDiagonals) {
  constexpr int kNlocal = 600, kNall = 650;  // three reduction blocks; integer values keep every sum exact
  fill(kNall);
  DeviceCopy<double> force(std::vector<double>(3 * kNall, 0.0)), energy(std::vector<double>(1, kUntouched)),
      virial(std::vector<double>(6, kUntouched));
  QrvlLammpsDeviceNeighborInput in{};
  in.nlocal = kNlocal;
  in.nall = kNall;
  QrvlLammpsDeviceNeighborResult r{};
  r.force = force.get();
  r.force_atom_stride = 3;
  r.force_component_stride = 1;
  r.energy = energy.get();
  r.virial = virial.get();
  write_lammps_device_outputs(in, r, workspace_);
  const double n = kNlocal, index_sum = n * (n - 1) / 2;
  EXPECT_EQ(energy.read()[0], index_sum + n);
  const std::vector<double> v = virial.read();
  for (int k = 0; k < 3; ++k) EXPECT_EQ(v[k], 100.0 * k * n + index_sum) << "diagonal " << k;
  for (int k = 3; k < 6; ++k) {
    EXPECT_EQ(v[k], (100.0 * k + 100.0 * (k + 3)) * n / 2 + index_sum) << "off-diagonal " << k;
  }
  // A second reduction of the same data gives the same bits.
  write_lammps_device_outputs(in, r, workspace_);
  EXPECT_EQ(virial.read(), v);
}

TEST_F(LammpsDeviceOutputTest, NoLocalAtomsGiveZeroTotalsAndNoAtomsWriteNoForces) {
  fill(4);
  DeviceCopy<double> force(std::vector<double>(12, kUntouched)), energy(std::vector<double>(1, kUntouched)),
      virial(std::vector<double>(6, kUntouched));
  QrvlLammpsDeviceNeighborInput in{};
  QrvlLammpsDeviceNeighborResult r{};
  r.force = force.get();
  r.force_atom_stride = 3;
  r.force_component_stride = 1;
  r.energy = energy.get();
  r.virial = virial.get();
  write_lammps_device_outputs(in, r, workspace_);
  EXPECT_THAT(energy.read(), Each(0.0));
  EXPECT_THAT(virial.read(), Each(0.0));
  EXPECT_THAT(force.read(), Each(kUntouched));
}

TEST_F(LammpsDeviceOutputTest, SinkPreparationClearsTheWholeSink) {
  fill(6);
  prepare_lammps_per_atom_virial_sink(2, workspace_);
  EXPECT_THAT(download(workspace_.view().per_atom_virial_float_soa9, 54), Each(0.0f));
}

TEST_F(LammpsDeviceOutputTest, SinkPreparationRefusals) {
  fill(6);
  EXPECT_THAT([&] { prepare_lammps_per_atom_virial_sink(-1, workspace_); },
              ThrowsMessage<std::runtime_error>(StrEq("atom_count must be non-negative")));
  EXPECT_THAT([&] { prepare_lammps_per_atom_virial_sink(7, workspace_); },
              ThrowsMessage<std::runtime_error>(StrEq("atom_count exceeds workspace atom capacity")));
  DeviceWorkspace no_sink(
      make_external_neighbor_workspace_plan(test_support::minimal_protocol(), 6, 6, false, false));
  EXPECT_THAT([&] { prepare_lammps_per_atom_virial_sink(1, no_sink); },
              ThrowsMessage<std::runtime_error>(StrEq("workspace missing per-atom virial sink")));
}

struct RefusalCase {
  const char* name;
  std::function<void(QrvlLammpsDeviceNeighborInput&, QrvlLammpsDeviceNeighborResult&)> change;
  const char* message;
};

std::vector<RefusalCase> refusal_cases() {
  using In = QrvlLammpsDeviceNeighborInput;
  using R = QrvlLammpsDeviceNeighborResult;
  static double scratch = 0.0;  // any non-null pointer: nothing is written before the checks pass
  return {
      {"NegativeNlocal", [](In& in, R&) { in.nlocal = -1; }, "negative nlocal"},
      {"NallBelowNlocal", [](In& in, R&) { in.nall = 1; }, "nall must be at least nlocal"},
      {"EnergyWithoutVirial", [](In&, R& r) { r.energy = &scratch; }, "incomplete device total output"},
      {"VirialWithoutEnergy", [](In&, R& r) { r.virial = &scratch; }, "incomplete device total output"},
      {"MissingForce", [](In&, R& r) { r.force = nullptr; }, "missing device force output"},
      {"ForceAtomStride", [](In&, R& r) { r.force_atom_stride = 0; }, "invalid force atom stride"},
      {"ForceComponentStride", [](In&, R& r) { r.force_component_stride = 0; }, "invalid force component stride"},
      {"MforceAtomStride", [](In&, R& r) { r.mforce = &scratch; }, "invalid mforce atom stride"},
      {"MforceComponentStride",
       [](In&, R& r) {
         r.mforce = &scratch;
         r.mforce_atom_stride = 3;
       },
       "invalid mforce component stride"},
      {"VirialAtomStride", [](In&, R& r) { r.virial_per_atom = &scratch; }, "invalid virial atom stride"},
      {"VirialComponentStride",
       [](In&, R& r) {
         r.virial_per_atom = &scratch;
         r.virial_atom_stride = 9;
       },
       "invalid virial component stride"},
      {"SpinTransferAtomStride", [](In&, R& r) { r.spin_transfer = &scratch; }, "invalid spin-transfer atom stride"},
      {"SpinTransferComponentStride",
       [](In&, R& r) {
         r.spin_transfer = &scratch;
         r.spin_transfer_atom_stride = 9;
       },
       "invalid spin-transfer component stride"},
      {"MoreAtomsThanWorkspace", [](In& in, R&) { in.nall = 5; }, "nall exceeds workspace atom capacity"},
      {"MforceWithoutWorkspaceArray",
       [](In&, R& r) {
         r.mforce = &scratch;
         r.mforce_atom_stride = r.mforce_component_stride = 1;
       },
       "workspace missing mforce output"},
      {"PerAtomVirialWithoutSink",
       [](In&, R& r) {
         r.virial_per_atom = &scratch;
         r.virial_atom_stride = r.virial_component_stride = 1;
       },
       "workspace missing per-atom virial sink"},
      {"SpinTransferWithoutWorkspaceArray",
       [](In&, R& r) {
         r.spin_transfer = &scratch;
         r.spin_transfer_atom_stride = r.spin_transfer_component_stride = 1;
       },
       "workspace missing spin-transfer output"},
  };
}

class LammpsDeviceOutputRefuses : public LammpsDeviceOutputTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(LammpsDeviceOutputRefuses, BeforeAnyLaunch) {
  // An ordinary model's workspace of 4 atoms, without the float sink.
  DeviceWorkspace ws(make_external_neighbor_workspace_plan(test_support::minimal_protocol(), 4, 4, false, false));
  DeviceCopy<double> force(std::vector<double>(12, kUntouched));
  QrvlLammpsDeviceNeighborInput in{};
  in.nlocal = 2;
  in.nall = 4;
  QrvlLammpsDeviceNeighborResult r{};
  r.force = force.get();
  r.force_atom_stride = 3;
  r.force_component_stride = 1;
  GetParam().change(in, r);
  EXPECT_THAT([&] { write_lammps_device_outputs(in, r, ws); },
              ThrowsMessage<std::runtime_error>(StrEq(GetParam().message)));
  EXPECT_THAT(force.read(), Each(kUntouched));
}

INSTANTIATE_TEST_SUITE_P(Checks, LammpsDeviceOutputRefuses, ::testing::ValuesIn(refusal_cases()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

}  // namespace
}  // namespace quarvel::cuda_backend
