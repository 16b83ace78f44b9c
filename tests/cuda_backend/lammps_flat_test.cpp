// Both LAMMPS roads through the flat interface with a loaded model, against the batch road on the same
// structure: the LAMMPS lists of a periodic cell (ghost atoms as images) must give what the batch gives.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "quarvel/quarvel.h"
#include "support/batch_builder.hpp"
#include "support/device_test.hpp"
#include "support/lammps_lists.hpp"
#include "support/model_file_writer.hpp"

namespace quarvel {
namespace {

using test_support::DeviceCopy;
using test_support::DeviceLammpsInput;
using test_support::HostLammpsInput;
using test_support::LammpsSystem;

constexpr int kTypes = 2;
constexpr int kAtoms = 40;  // dense enough that some pairs fall inside the ZBL range
constexpr double kEdge = 10.5;  // Angstrom: at least twice the model's largest cutoff, so the batch is not replicated
constexpr double kZblOuterCutoff = 2.0;  // Angstrom, the writer's default
constexpr double kSkin = 0.5;   // Angstrom beyond the largest cutoff in the LAMMPS lists
// Single-precision pair terms summed in another neighbor order: relative agreement of the totals.
constexpr double kRelativeTolerance = 1e-4;

void expect_close(double lammps, double batch, const char* what) {
  EXPECT_NEAR(lammps, batch, kRelativeTolerance * std::max(1.0, std::abs(batch))) << what;
}

class LammpsFlatTest : public test_support::DeviceTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    test_support::DeviceTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_EQ(qrvl_register_cuda_engine(), 1);
    file_ = std::make_unique<test_support::TempModelFile>(
        test_support::write_model(test_support::compact_shape(GetParam(), {"C", "H"})).text);
    ASSERT_EQ(qrvl_load_model("cuda", file_->path().c_str(), &model_), QRVL_STATUS_OK) << qrvl_last_error_message();
    QrvlModelInfo info{};
    ASSERT_EQ(qrvl_model_info(model_, &info), QRVL_STATUS_OK);
    ASSERT_LE(2.0 * info.cutoff_max, kEdge);
    const double list_cutoff = info.cutoff_max + kSkin;
    system_ = LammpsSystem::random(kAtoms, kEdge, list_cutoff, kTypes, 7, 2.0 * list_cutoff);
    double closest = kEdge;
    for (int i = 0; i < kAtoms; ++i) {
      for (int j : system_.rows[i]) closest = std::min(closest, system_.distance(i, j));
    }
    ASSERT_LT(closest, kZblOuterCutoff);
  }
  void TearDown() override { qrvl_free_model(model_); }

  // The batch road on the local atoms in their periodic cell; types are LAMMPS types - 1.
  int evaluate_batch(double& energy, std::vector<double>& force, std::vector<double>& virial) {
    test_support::BatchArrays b = test_support::BatchArrays::consecutive({kAtoms}, kTypes, kEdge);
    for (int i = 0; i < kAtoms; ++i) {
      b.types[i] = system_.types[i] - 1;
      for (int c = 0; c < 3; ++c) b.positions[3 * i + c] = system_.positions[3 * i + c];
    }
    const QrvlStructureBatch batch = b.view();
    force.assign(3 * kAtoms, 0.0);
    virial.assign(9, 0.0);
    QrvlFindForceResult r{};
    r.energy = &energy;
    r.force = force.data();
    r.virial = virial.data();
    return qrvl_find_force_batch(model_, &batch, &r);
  }

  std::unique_ptr<test_support::TempModelFile> file_;
  QrvlModel* model_ = nullptr;
  LammpsSystem system_;
};

void expect_same_outcome(int lammps_status, int batch_status, const std::string& batch_error) {
  EXPECT_EQ(lammps_status, batch_status);
  // Until every stage exists, both roads stop at the same missing stage.
  if (batch_status == QRVL_STATUS_UNSUPPORTED) {
    EXPECT_EQ(std::string(qrvl_last_error_message()), batch_error);
  }
}

TEST_P(LammpsFlatTest, HostListsGiveTheBatchResults) {
  double batch_energy = 0.0;
  std::vector<double> batch_force, batch_virial;
  const int batch_status = evaluate_batch(batch_energy, batch_force, batch_virial);
  ASSERT_THAT(batch_status, ::testing::AnyOf(QRVL_STATUS_OK, QRVL_STATUS_UNSUPPORTED));
  const std::string batch_error = qrvl_last_error_message();

  // Host lists are evaluated in gather form, so the ghosts next to local atoms need their own complete rows.
  HostLammpsInput in(system_, kTypes);
  in.add_ghost_rows(system_);
  double energy = 0.0;
  double virial[6] = {};
  std::vector<std::vector<double>> force(kAtoms, std::vector<double>(3, 0.0));
  std::vector<double*> rows;
  for (auto& row : force) rows.push_back(row.data());
  QrvlLammpsNeighborResult r{};
  r.energy = &energy;
  r.virial = virial;
  r.force = rows.data();
  const QrvlLammpsNeighborInput input = in.view(kAtoms);
  expect_same_outcome(qrvl_find_force_lammps_neighbors(model_, &input, &r), batch_status, batch_error);
  if (batch_status != QRVL_STATUS_OK) return;
  expect_close(energy, batch_energy, "energy");
  for (int i = 0; i < kAtoms; ++i) {
    for (int c = 0; c < 3; ++c) expect_close(force[i][c], batch_force[3 * i + c], "force");
  }
  const int diagonal[3] = {0, 4, 8};
  for (int c = 0; c < 3; ++c) expect_close(virial[c], batch_virial[diagonal[c]], "virial");
}

TEST_P(LammpsFlatTest, DeviceListsGiveTheBatchResults) {
  double batch_energy = 0.0;
  std::vector<double> batch_force, batch_virial;
  const int batch_status = evaluate_batch(batch_energy, batch_force, batch_virial);
  ASSERT_THAT(batch_status, ::testing::AnyOf(QRVL_STATUS_OK, QRVL_STATUS_UNSUPPORTED));
  const std::string batch_error = qrvl_last_error_message();

  const DeviceLammpsInput in(system_, kTypes, system_.longest_row());
  const DeviceCopy<double> energy(std::vector<double>(1, 0.0)), virial(std::vector<double>(6, 0.0)),
      force(std::vector<double>(3 * system_.nall, 0.0)), per_atom(std::vector<double>(9 * system_.nall, 0.0));
  QrvlLammpsDeviceNeighborResult r{};
  r.energy = energy.get();
  r.virial = virial.get();
  r.force = force.get();
  r.force_atom_stride = 3;
  r.force_component_stride = 1;
  r.virial_per_atom = per_atom.get();
  r.virial_atom_stride = 9;
  r.virial_component_stride = 1;
  const QrvlLammpsDeviceNeighborInput input = in.view();
  expect_same_outcome(qrvl_find_force_lammps_device_neighbors(model_, &input, &r), batch_status, batch_error);
  if (batch_status != QRVL_STATUS_OK) return;
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  expect_close(energy.read()[0], batch_energy, "energy");
  // Ghost atoms carry the reactions of their images: fold them back onto the local atoms.
  const std::vector<double> f = force.read();
  std::vector<double> folded(3 * kAtoms, 0.0);
  for (int i = 0; i < system_.nall; ++i) {
    for (int c = 0; c < 3; ++c) folded[3 * system_.image_of[i] + c] += f[3 * i + c];
  }
  for (int k = 0; k < 3 * kAtoms; ++k) expect_close(folded[k], batch_force[k], "force");
  const std::vector<double> v = virial.read();
  const std::vector<double> atoms = per_atom.read();
  const int diagonal[3] = {0, 4, 8};
  for (int c = 0; c < 3; ++c) {
    expect_close(v[c], batch_virial[diagonal[c]], "virial");
    double sum = 0.0;  // per-atom virials are booked on neighbors, ghosts included
    for (int i = 0; i < system_.nall; ++i) sum += atoms[9 * i + c];
    expect_close(sum, batch_virial[diagonal[c]], "per-atom virial sum");
  }
}

INSTANTIATE_TEST_SUITE_P(Families, LammpsFlatTest, ::testing::Values("nep4", "nep4_zbl", "nep5"),
                         [](const auto& test_case) { return std::string(test_case.param); });

}  // namespace
}  // namespace quarvel
