#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "lammps_driver_fixture.hpp"

namespace quarvel::cuda_backend::lammps_test {
namespace {

using test_support::HostLammpsInput;
using ::testing::Each;

constexpr double kUntouched = -4321.0;

// Caller-owned host rows for every staged atom, filled with a sentinel.
struct HostResult {
  double energy = kUntouched;
  std::vector<double> virial = std::vector<double>(6, kUntouched);
  std::vector<double> potential;
  std::vector<std::vector<double>> force, mforce, virial_per_atom, spin_transfer;
  std::vector<double*> force_rows, mforce_rows, virial_rows, transfer_rows;

  explicit HostResult(int atoms) : potential(atoms, kUntouched) {
    rows(force, force_rows, atoms, 3);
    rows(mforce, mforce_rows, atoms, 3);
    rows(virial_per_atom, virial_rows, atoms, 9);
    rows(spin_transfer, transfer_rows, atoms, 9);
  }
  static void rows(std::vector<std::vector<double>>& storage, std::vector<double*>& pointers, int atoms, int width) {
    storage.assign(atoms, std::vector<double>(width, kUntouched));
    for (auto& row : storage) pointers.push_back(row.data());
  }
  QrvlLammpsNeighborResult view(bool per_atom_virials = false) {
    QrvlLammpsNeighborResult r{};
    r.energy = &energy;
    r.virial = virial.data();
    r.potential = potential.data();
    r.force = force_rows.data();
    if (per_atom_virials) r.virial_per_atom = virial_rows.data();
    return r;
  }
};

class HostLammpsDriverTest : public LammpsDriverTest {
 protected:
  HostLammpsInput input_{system_, kLammpsTypes};
  int staged_ = system_.referenced_count();
};

// The stand-in pipeline's outputs read back in LAMMPS layout: the pipeline runs over every staged atom; energy and
// forces come from local atoms, per-atom virials from every staged atom, and the virial totals from local atoms
// (or from all staged atoms when per-atom virials are booked on neighbors).
TEST_F(HostLammpsDriverTest, WritesLammpsRowsAndTotals) {
  for (const bool per_atom : {false, true}) {
    HostResult out(staged_);
    QrvlLammpsNeighborResult r = out.view(per_atom);
    ASSERT_EQ(evaluate_host(input_.view(system_.nlocal), r), QRVL_STATUS_OK) << qrvl_last_error_message();
    EXPECT_EQ(pipeline_record().last_request.neighbor_topology, kSingleSetNeighborTopology);
    EXPECT_EQ(pipeline_record().last_request.virial_mode, per_atom ? kPerAtomVirials : kVirialTotals);
    EXPECT_TRUE(pipeline_record().last_request.compute_energy);
    EXPECT_EQ(pipeline_record().last_atom_count, staged_);
    EXPECT_EQ(pipeline_record().last_view.atom_capacity, static_cast<std::uint64_t>(staged_));

    double energy = 0.0, sum_x_local = 0.0, sum_x_all = 0.0;
    for (int i = 0; i < staged_; ++i) {
      const double x = system_.positions[3 * i];
      sum_x_all += x;
      if (i < system_.nlocal) {
        energy += static_cast<double>(system_.rows[i].size());
        sum_x_local += x;
        EXPECT_EQ(out.potential[i], static_cast<double>(system_.rows[i].size()));
        for (int c = 0; c < 3; ++c) EXPECT_EQ(out.force[i][c], system_.positions[3 * i + c]) << "atom " << i;
      } else {
        EXPECT_THAT(out.force[i], Each(kUntouched)) << "ghost " << i;
      }
      if (per_atom) {
        for (int k = 0; k < 9; ++k) EXPECT_EQ(out.virial_per_atom[i][k], (k + 1) * x) << "atom " << i;
      } else {
        EXPECT_THAT(out.virial_per_atom[i], Each(kUntouched));
      }
    }
    EXPECT_EQ(out.energy, energy);
    const double sum_x = per_atom ? sum_x_all : sum_x_local;
    // Device components k = (k + 1) x: xx = 1, yy = 2, zz = 3, xy = (4 + 7)/2, xz = (5 + 8)/2, yz = (6 + 9)/2.
    const double factors[6] = {1.0, 2.0, 3.0, 5.5, 6.5, 7.5};
    for (int k = 0; k < 6; ++k) EXPECT_DOUBLE_EQ(out.virial[k], factors[k] * sum_x) << "component " << k;
    EXPECT_THAT(out.mforce[0], Each(kUntouched));
  }
}

// Null rows are skipped; magnetic forces of an ordinary model are ignored.
TEST_F(HostLammpsDriverTest, SkipsNullRowsAndIgnoresMagneticForcesOfOrdinaryModels) {
  HostResult out(staged_);
  out.force_rows[1] = nullptr;
  out.virial_rows[0] = nullptr;
  QrvlLammpsNeighborResult r = out.view(true);
  r.mforce = out.mforce_rows.data();
  ASSERT_EQ(evaluate_host(input_.view(system_.nlocal), r), QRVL_STATUS_OK);
  EXPECT_THAT(out.force[1], Each(kUntouched));
  EXPECT_EQ(out.force[2][0], system_.positions[6]);
  EXPECT_THAT(out.virial_per_atom[0], Each(kUntouched));
  EXPECT_EQ(out.virial_per_atom[2][0], system_.positions[6]);
  for (const auto& row : out.mforce) EXPECT_THAT(row, Each(kUntouched));
}

// A local atom that ilist leaves out is evaluated with empty lists; its energy still counts.
TEST_F(HostLammpsDriverTest, LocalAtomOutsideIlistHasEmptyListsAndCounts) {
  input_.ilist = {0, 1, 2, 4, 5};
  HostResult out(staged_);
  QrvlLammpsNeighborResult r = out.view();
  ASSERT_EQ(evaluate_host(input_.view(system_.nlocal), r), QRVL_STATUS_OK);
  EXPECT_EQ(out.potential[3], 0.0);
  EXPECT_EQ(out.force[3][0], system_.positions[9]);
}

TEST_F(HostLammpsDriverTest, SpinModelStagesSpinsAndReturnsMagneticForcesAndTransfer) {
  protocol_.spin_mode = 1;
  protocol_.spin_compress = 1;
  protocol_.spin_basis_size_radial = 1;
  std::vector<std::vector<double>> spins;
  for (int i = 0; i < system_.nall; ++i) spins.push_back({1.0, 0.0, 0.0, 0.5 * (i + 1)});
  input_.add_spins(spins);
  HostResult out(staged_);
  QrvlLammpsNeighborResult r = out.view();
  r.mforce = out.mforce_rows.data();
  r.spin_transfer = out.transfer_rows.data();
  ASSERT_EQ(evaluate_host(input_.view(system_.nlocal), r), QRVL_STATUS_OK) << qrvl_last_error_message();
  EXPECT_TRUE(pipeline_record().last_request.spin_transfer);
  for (int i = 0; i < system_.nlocal; ++i) {
    EXPECT_EQ(out.mforce[i][0], 0.5 * (i + 1)) << "atom " << i;
    EXPECT_EQ(out.spin_transfer[i][3], 3.5) << "atom " << i;
  }
  EXPECT_THAT(out.mforce[staged_ - 1], Each(kUntouched));  // magnetic forces of local atoms only
}

struct StatusCase {
  const char* name;
  std::function<void(QrvlLammpsNeighborInput&, QrvlLammpsNeighborResult&, std::atomic<bool>&)> change;
  int status;
  const char* message;  // "" when the refusal sets no text
};

std::vector<StatusCase> status_cases() {
  using In = QrvlLammpsNeighborInput;
  using R = QrvlLammpsNeighborResult;
  using C = std::atomic<bool>;
  static double* scratch_rows[64] = {};
  static const std::int32_t unmapped[kLammpsTypes + 1] = {-1, -1, -1};
  return {
      {"NegativeNlocal", [](In& in, R&, C&) { in.nlocal = -1; }, QRVL_STATUS_INVALID_ARGUMENT, ""},
      {"NegativeInum", [](In& in, R&, C&) { in.inum = -1; }, QRVL_STATUS_INVALID_ARGUMENT, ""},
      {"MissingIlist", [](In& in, R&, C&) { in.ilist = nullptr; }, QRVL_STATUS_INVALID_ARGUMENT, ""},
      {"MissingNumneigh", [](In& in, R&, C&) { in.numneigh = nullptr; }, QRVL_STATUS_INVALID_ARGUMENT, ""},
      {"MissingFirstneigh", [](In& in, R&, C&) { in.firstneigh = nullptr; }, QRVL_STATUS_INVALID_ARGUMENT, ""},
      {"MissingTypes", [](In& in, R&, C&) { in.types = nullptr; }, QRVL_STATUS_INVALID_ARGUMENT, ""},
      {"MissingTypeMap", [](In& in, R&, C&) { in.type_map = nullptr; }, QRVL_STATUS_INVALID_ARGUMENT, ""},
      {"MissingPositions", [](In& in, R&, C&) { in.positions = nullptr; }, QRVL_STATUS_INVALID_ARGUMENT, ""},
      {"MissingEnergy", [](In&, R& r, C&) { r.energy = nullptr; }, QRVL_STATUS_INVALID_ARGUMENT, ""},
      {"MissingVirial", [](In&, R& r, C&) { r.virial = nullptr; }, QRVL_STATUS_INVALID_ARGUMENT, ""},
      {"MissingForce", [](In&, R& r, C&) { r.force = nullptr; }, QRVL_STATUS_INVALID_ARGUMENT, ""},
      {"Cancelled", [](In&, R&, C& cancel) { cancel = true; }, QRVL_STATUS_CANCELLED, ""},
      {"SpinTransferOfOrdinaryModel", [](In&, R& r, C&) { r.spin_transfer = scratch_rows; },
       QRVL_STATUS_UNSUPPORTED, ""},
      {"NoAtoms",
       [](In& in, R&, C&) {
         in.nlocal = 0;
         in.inum = 0;
       },
       QRVL_STATUS_INVALID_ARGUMENT, ""},
      {"NoActiveAtoms", [](In& in, R&, C&) { in.inum = 0; }, QRVL_STATUS_RUNTIME_ERROR,
       "active_atom_capacity must be in 1..atom_capacity"},
      {"BadListContents", [](In& in, R&, C&) { in.type_map = unmapped; },
       QRVL_STATUS_RUNTIME_ERROR, "unmapped LAMMPS atom type"},
  };
}

class HostLammpsDriverAnswers : public HostLammpsDriverTest, public ::testing::WithParamInterface<StatusCase> {};

// Refusals before the device work answer without a text; later failures carry one and leave the caller's
// arrays untouched.
TEST_P(HostLammpsDriverAnswers, WithItsStatusAndText) {
  HostResult out(staged_);
  QrvlLammpsNeighborInput in = input_.view(system_.nlocal);
  QrvlLammpsNeighborResult r = out.view();
  GetParam().change(in, r, cancel_);
  EXPECT_EQ(evaluate_host(in, r), GetParam().status);
  EXPECT_STREQ(qrvl_last_error_message(), GetParam().message);
  EXPECT_EQ(pipeline_record().calls, 0);
  EXPECT_EQ(out.energy, kUntouched);
  EXPECT_THAT(out.force[0], Each(kUntouched));
}

INSTANTIATE_TEST_SUITE_P(Inputs, HostLammpsDriverAnswers, ::testing::ValuesIn(status_cases()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

// A cancel request that arrives during the evaluation still lets the results be written.
TEST_F(HostLammpsDriverTest, CancelDuringTheEvaluationWritesResultsAndAnswersCancelled) {
  pipeline_record().hook = [this] { cancel_ = true; };
  HostResult out(staged_);
  QrvlLammpsNeighborResult r = out.view();
  EXPECT_EQ(evaluate_host(input_.view(system_.nlocal), r), QRVL_STATUS_CANCELLED);
  EXPECT_EQ(out.force[0][0], system_.positions[0]);
  EXPECT_NE(out.energy, kUntouched);
}

}  // namespace
}  // namespace quarvel::cuda_backend::lammps_test
