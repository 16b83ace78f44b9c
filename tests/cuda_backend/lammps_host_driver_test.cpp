#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
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
constexpr const char* kIlistTooLong = "inum exceeds nlocal: ilist can name each local atom only once";

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

// The stand-in pipeline's outputs read back in LAMMPS layout: the local atoms are the centres; energies come from
// them, forces and per-atom virial rows (from the float sink) from every staged atom (the ghosts' rows carry what
// the caller adds onto the atoms they image), and the virial totals from the terms booked on the centres,
// whether or not per-atom virials are asked for.
TEST_F(HostLammpsDriverTest, WritesLammpsRowsAndTotals) {
  for (const bool per_atom : {false, true}) {
    HostResult out(staged_);
    QrvlLammpsNeighborResult r = out.view(per_atom);
    ASSERT_EQ(evaluate_host(input_.view(system_.nlocal), r), QRVL_STATUS_OK) << qrvl_last_error_message();
    EXPECT_EQ(pipeline_record().last_request.neighbor_topology, kHostLammpsNeighborTopology);
    EXPECT_EQ(pipeline_record().last_request.virial_mode, per_atom ? kPerAtomVirials : kVirialTotals);
    EXPECT_TRUE(pipeline_record().last_request.compute_energy);
    EXPECT_EQ(pipeline_record().last_atom_count, system_.nlocal);
    EXPECT_EQ(pipeline_record().last_request.staged_atom_count, staged_);
    EXPECT_EQ(pipeline_record().last_view.per_atom_virial_float_soa9 != nullptr, per_atom);
    EXPECT_EQ(pipeline_record().last_view.atom_capacity, static_cast<std::uint64_t>(staged_));

    double energy = 0.0, sum_x = 0.0;
    for (int i = 0; i < staged_; ++i) {
      const double x = system_.positions[3 * i];
      const double y = system_.positions[3 * i + 1];
      const bool local = i < system_.nlocal;
      if (local) {
        energy += static_cast<double>(system_.rows[i].size());
        sum_x += x;
        EXPECT_EQ(out.potential[i], static_cast<double>(system_.rows[i].size()));
      }
      const double sign = local ? 1.0 : -1.0;  // the stand-in pushes -position onto ghosts
      for (int c = 0; c < 3; ++c) EXPECT_EQ(out.force[i][c], sign * system_.positions[3 * i + c]) << "atom " << i;
      if (per_atom) {
        for (int k = 0; k < 9; ++k) {
          const double row = static_cast<float>((k + 1) * y);
          EXPECT_EQ(out.virial_per_atom[i][k], local ? row : 0.0) << "atom " << i;
        }
      } else {
        EXPECT_THAT(out.virial_per_atom[i], Each(kUntouched));
      }
    }
    EXPECT_EQ(out.energy, energy);
    // Device components k = (k + 1) x: xx = 1, yy = 2, zz = 3, xy = (4 + 7)/2, xz = (5 + 8)/2, yz = (6 + 9)/2.
    const double factors[6] = {1.0, 2.0, 3.0, 5.5, 6.5, 7.5};
    for (int k = 0; k < 6; ++k) EXPECT_DOUBLE_EQ(out.virial[k], factors[k] * sum_x) << "component " << k;
    EXPECT_THAT(out.mforce[0], Each(kUntouched));
  }
}

// A rank that domain decomposition left without atoms: zero totals, nothing else written, no device work.
TEST_F(HostLammpsDriverTest, EmptyRankAnswersZeroTotalsAndWritesNothingElse) {
  HostResult out(staged_);
  QrvlLammpsNeighborResult r = out.view(true);
  QrvlLammpsNeighborInput in = input_.view(0);
  in.inum = 0;
  ASSERT_EQ(evaluate_host(in, r), QRVL_STATUS_OK) << qrvl_last_error_message();
  EXPECT_EQ(out.energy, 0.0);
  EXPECT_THAT(out.virial, Each(0.0));
  EXPECT_THAT(out.potential, Each(kUntouched));
  for (const auto& row : out.force) EXPECT_THAT(row, Each(kUntouched));
  for (const auto& row : out.virial_per_atom) EXPECT_THAT(row, Each(kUntouched));
  EXPECT_EQ(pipeline_record().calls, 0);
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
  EXPECT_EQ(out.virial_per_atom[2][0], static_cast<double>(static_cast<float>(system_.positions[7])));
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
  for (int i = 0; i < staged_; ++i) {  // magnetic forces of ghosts too: the caller adds them onto their atoms
    EXPECT_EQ(out.mforce[i][0], 0.5 * (i + 1)) << "atom " << i;
    EXPECT_EQ(out.spin_transfer[i][3], i < system_.nlocal ? 3.5 : 0.0) << "atom " << i;
  }
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
  static const std::int32_t beyond_model[kLammpsTypes + 1] = {-1, 0, kLammpsTypes};
  static const double nan_row[3] = {std::nan(""), 0.0, 0.0};
  static const double* const nan_rows[1] = {nan_row};  // only atom 0's row is read before the refusal
  static const std::int32_t repeated[] = {0, 1, 2, 3, 4, 5, 0};  // the six local atoms, then the first again
  static const std::int32_t with_ghost[] = {0, 1, 2, 3, 4, 6};   // atom 6 is the first ghost
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
      {"ActiveAtomsOfAnEmptyRank", [](In& in, R&, C&) { in.nlocal = 0; }, QRVL_STATUS_INVALID_ARGUMENT,
       kIlistTooLong},
      {"NoActiveAtoms", [](In& in, R&, C&) { in.inum = 0; }, QRVL_STATUS_INVALID_ARGUMENT,
       "inum is 0 while nlocal is positive: ilist must name the local atoms"},
      {"IlistRepeatsALocalAtom",
       [](In& in, R&, C&) {
         in.ilist = repeated;
         in.inum = in.nlocal + 1;
       },
       QRVL_STATUS_INVALID_ARGUMENT, kIlistTooLong},
      {"BadListContents", [](In& in, R&, C&) { in.type_map = unmapped; },
       QRVL_STATUS_RUNTIME_ERROR, "unmapped LAMMPS atom type"},
      {"GhostAsActiveAtom",
       [](In& in, R&, C&) {
         in.ilist = with_ghost;
         in.inum = in.nlocal;
       },
       QRVL_STATUS_INVALID_ARGUMENT, "active atom index out of range"},
      {"TypeBeyondTheModel", [](In& in, R&, C&) { in.type_map = beyond_model; }, QRVL_STATUS_INVALID_ARGUMENT,
       "mapped LAMMPS atom type exceeds model type count"},
      {"NanPosition", [](In& in, R&, C&) { in.positions = nan_rows; }, QRVL_STATUS_INVALID_ARGUMENT,
       "atom 0 has a non-finite position"},
  };
}

class HostLammpsDriverAnswers : public HostLammpsDriverTest, public ::testing::WithParamInterface<StatusCase> {};

// Refusals of the record answer without a text, those of its contents with one; every call gives the same
// answer, the pipeline never runs and the caller's arrays stay untouched.
TEST_P(HostLammpsDriverAnswers, WithItsStatusAndTextOnEveryCall) {
  HostResult out(staged_);
  QrvlLammpsNeighborInput in = input_.view(system_.nlocal);
  QrvlLammpsNeighborResult r = out.view();
  GetParam().change(in, r, cancel_);
  for (const char* call : {"first call", "second call"}) {
    clear_last_error();
    EXPECT_EQ(evaluate_host(in, r), GetParam().status) << call;
    EXPECT_STREQ(qrvl_last_error_message(), GetParam().message) << call;
  }
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
