#include "cuda_backend/periodic_expansion.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <ostream>
#include <string>
#include <vector>

#include "support/batch_builder.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::BatchArrays;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

constexpr double kCutoff = 5.0;  // Angstrom

BatchArrays one_structure(const std::vector<double>& cell, int atoms = 2) {
  BatchArrays b = BatchArrays::consecutive({atoms}, 2);
  b.boxes = cell;
  return b;
}

std::vector<double> cubic(double edge) { return {edge, 0, 0, 0, edge, 0, 0, 0, edge}; }

struct ReplicaCase {
  const char* name;
  std::vector<double> cell;
  std::vector<std::int32_t> replicas;  // expected n_a n_b n_c per structure; empty: no expansion
};

// Names the case in test output instead of its bytes.
inline void PrintTo(const ReplicaCase& c, std::ostream* os) { *os << c.name; }

std::vector<ReplicaCase> replica_cases() {
  const double tiny_overshoot = 2.0 * kCutoff / (1.0 + 1e-13);  // edge giving F = 1 + 1e-13
  const double small_overshoot = 2.0 * kCutoff / 1.001;         // edge giving F = 1.001
  return {
      {"EdgeTwiceTheCutoff", cubic(2.0 * kCutoff), {}},
      {"EdgeEqualToTheCutoff", cubic(kCutoff), {8}},
      {"WithinTolerance", cubic(tiny_overshoot), {}},
      {"JustBeyondTolerance", {small_overshoot, 0, 0, 0, 20, 0, 0, 0, 20}, {2}},
      {"ThinAlongOneVector", {30, 0, 0, 0, 3.0, 0, 0, 0, 12}, {4}},
      // Cell vectors (12, 0, 0), (11, 4, 0) and (0, 0, 12) are all longer than 2 x cutoff, but the lattice
      // planes are 4.1 and 4 apart along the first two: three copies along each.
      {"ShearedWithLongVectors", {12, 11, 0, 0, 4, 0, 0, 0, 12}, {9}},
  };
}

class ReplicaCounts : public ::testing::TestWithParam<ReplicaCase> {};

TEST_P(ReplicaCounts, FollowThePlaneSpacing) {
  const BatchArrays b = one_structure(GetParam().cell);
  const ExpandedBatch e = expand_periodic_batch(b.view(), kCutoff);
  EXPECT_EQ(e.expanded, !GetParam().replicas.empty());
  EXPECT_EQ(e.replicas, GetParam().replicas);
}

INSTANTIATE_TEST_SUITE_P(Cells, ReplicaCounts, ::testing::ValuesIn(replica_cases()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(PeriodicExpansion, BuildsSupercellsCopyByCopy) {
  // Structure 0 is thick enough and stays one copy; structure 1 is thin along its first and third vectors.
  BatchArrays b = BatchArrays::consecutive({1, 2}, 2, 12.0);
  b.boxes = {12, 0, 0, 0, 12, 0, 0, 0, 12, /**/ 6, 1, 0, 0, 11, 0, 0.5, 0, 7};
  b.spins = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  const ExpandedBatch e = expand_periodic_batch(b.view(), kCutoff);
  ASSERT_TRUE(e.expanded);
  EXPECT_THAT(e.replicas, ElementsAre(1, 4));
  EXPECT_THAT(e.atom_counts, ElementsAre(1, 8));
  EXPECT_THAT(e.atom_offsets, ElementsAre(0, 1));
  EXPECT_THAT(e.boxes, ElementsAre(12, 0, 0, 0, 12, 0, 0, 0, 12, /**/ 12, 1, 0, 0, 11, 0, 1, 0, 14));
  EXPECT_THAT(e.pbc, ElementsAre(1, 1, 1, 1, 1, 1));
  EXPECT_THAT(e.source_atom, ElementsAre(0, 1, 2, 1, 2, 1, 2, 1, 2));
  EXPECT_THAT(e.atom_weight, ElementsAre(1.0, 0.25, 0.25, 0.25, 0.25, 0.25, 0.25, 0.25, 0.25));
  EXPECT_THAT(e.types, ElementsAre(0, 1, 0, 1, 0, 1, 0, 1, 0));
  // Copies (j, k, l) in the order (0,0,0), (0,0,1), (1,0,0), (1,0,1): shift j a + l c.
  const double shifts[4][3] = {{0, 0, 0}, {0, 0, 7}, {6, 0, 0.5}, {6, 0, 7.5}};
  for (int copy = 0; copy < 4; ++copy) {
    for (int atom = 0; atom < 2; ++atom) {
      const std::size_t e_index = 1 + 2 * copy + atom;
      for (int r = 0; r < 3; ++r) {
        EXPECT_EQ(e.positions[3 * e_index + r], shifts[copy][r] + b.positions[3 * (1 + atom) + r])
            << "copy " << copy << " atom " << atom;
        EXPECT_EQ(e.spins[3 * e_index + r], b.spins[3 * (1 + atom) + r]);
      }
    }
  }
  EXPECT_EQ(e.batch.num_structures, 2);
  EXPECT_EQ(e.batch.num_atoms, 9);
  EXPECT_EQ(e.batch.positions, e.positions.data());
  EXPECT_EQ(e.batch.spins, e.spins.data());
}

TEST(PeriodicExpansion, BatchWithoutSpinsGetsNoSpins) {
  const BatchArrays b = one_structure(cubic(kCutoff));
  const ExpandedBatch e = expand_periodic_batch(b.view(), kCutoff);
  ASSERT_TRUE(e.expanded);
  EXPECT_EQ(e.batch.spins, nullptr);
  EXPECT_TRUE(e.spins.empty());
}

TEST(PeriodicExpansion, NothingIsBuiltWhenNoStructureIsThin) {
  const BatchArrays b = BatchArrays::consecutive({3, 4}, 2, 2.0 * kCutoff);
  const ExpandedBatch e = expand_periodic_batch(b.view(), kCutoff);
  EXPECT_FALSE(e.expanded);
  EXPECT_TRUE(e.types.empty());
  EXPECT_EQ(e.batch.num_atoms, 0);
  EXPECT_EQ(e.batch.types, nullptr);
}

struct RefusalCase {
  const char* name;
  std::vector<double> second_cell;
  std::vector<std::int32_t> pbc;
  int second_count;
  const char* message;
};

// Names the case in test output instead of its bytes.
inline void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class ExpansionRefuses : public ::testing::TestWithParam<RefusalCase> {};

// The first structure is thin (it would be replicated): the refusal of the second comes before any building.
TEST_P(ExpansionRefuses, WithItsMessage) {
  const RefusalCase& c = GetParam();
  BatchArrays b = BatchArrays::consecutive({1, 1}, 1, 1.0);
  b.boxes.assign(c.second_cell.begin(), c.second_cell.end());
  b.boxes.insert(b.boxes.begin(), {4, 0, 0, 0, 4, 0, 0, 0, 4});
  b.pbc = c.pbc;
  b.counts[1] = c.second_count;
  EXPECT_THAT([&] { expand_periodic_batch(b.view(), kCutoff); },
              ThrowsMessage<std::invalid_argument>(StrEq(c.message)));
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ExpansionRefuses,
    ::testing::Values(
        RefusalCase{"NotPeriodicAlongZ", cubic(20), {1, 1, 1, 1, 1, 0}, 1,
                    "CUDA batch evaluation requires three-dimensional periodic boxes"},
        RefusalCase{"FlagOfTwo", cubic(20), {1, 1, 1, 2, 1, 1}, 1,
                    "CUDA batch evaluation requires three-dimensional periodic boxes"},
        RefusalCase{"Singular", {10, 10, 0, 0, 0, 0, 0, 0, 10}, {1, 1, 1, 1, 1, 1}, 1,
                    "cannot expand a singular periodic box"},
        RefusalCase{"FactorBeyondInt32", {1e-9, 0, 0, 0, 1e4, 0, 0, 0, 1e4}, {1, 1, 1, 1, 1, 1}, 1,
                    "periodic box expansion is too large"},
        RefusalCase{"TooManyCopies", {1e-4, 0, 0, 0, 1e-4, 0, 0, 0, 1e8}, {1, 1, 1, 1, 1, 1}, 1,
                    "expanded periodic batch is too large"},
        RefusalCase{"TooManyAtoms", {1e-1, 0, 0, 0, 1e-1, 0, 0, 0, 1e7}, {1, 1, 1, 1, 1, 1}, 300000,
                    "expanded periodic batch is too large"}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(PeriodicExpansion, MissingFlagsAreRefusedEvenWithoutThinCells) {
  BatchArrays b = BatchArrays::consecutive({2}, 1, 20.0);
  QrvlStructureBatch batch = b.view();
  batch.pbc = nullptr;
  EXPECT_THAT([&] { expand_periodic_batch(batch, kCutoff); },
              ThrowsMessage<std::invalid_argument>(StrEq("CUDA batch evaluation requires three-dimensional periodic boxes")));
}

// A batch of one atom and two atoms whose second structure is replicated twice: replicated atoms 0, 1, 2, 1, 2.
ExpandedBatch second_structure_twice() {
  BatchArrays b = BatchArrays::consecutive({1, 2}, 2, 12.0);
  b.boxes = {12, 0, 0, 0, 12, 0, 0, 0, 12, /**/ 6, 0, 0, 0, 12, 0, 0, 0, 12};  // structure 1: two copies
  return expand_periodic_batch(b.view(), kCutoff);
}

// Folding: per-structure values divided by the copies, per-atom values averaged over each atom's copies.
TEST(PeriodicExpansion, FoldsResultsBackOntoTheCallersAtoms) {
  const ExpandedBatch e = second_structure_twice();
  ASSERT_THAT(e.source_atom, ElementsAre(0, 1, 2, 1, 2));

  std::vector<double> energy(2, -1.0), force(9, -1.0), potential(3, -1.0), virial(18, -1.0), virial_atom(27, -1.0),
      mforce(9, -1.0);
  QrvlFindForceResult caller{};
  caller.energy = energy.data();
  caller.force = force.data();
  caller.potential = potential.data();
  caller.virial = virial.data();
  caller.virial_per_atom = virial_atom.data();
  caller.mforce = mforce.data();
  ExpandedResult r = make_expanded_result(e, caller);
  EXPECT_EQ(r.result.charge, nullptr);
  EXPECT_EQ(r.result.bec, nullptr);
  EXPECT_EQ(r.result.spin_transfer, nullptr);
  ASSERT_EQ(r.force.size(), 15u);
  EXPECT_THAT(r.virial_per_atom, ::testing::Each(0.0));
  // Replicated values: energy 10 and 40; each replicated atom e carries value 100 e + component.
  r.energy = {10.0, 40.0};
  for (int atom = 0; atom < 5; ++atom) {
    r.potential[atom] = 100.0 * atom;
    for (int c = 0; c < 3; ++c) r.force[3 * atom + c] = r.mforce[3 * atom + c] = 100.0 * atom + c;
    for (int c = 0; c < 9; ++c) r.virial_per_atom[9 * atom + c] = 100.0 * atom + c;
  }
  for (int c = 0; c < 18; ++c) r.virial[c] = c;

  fold_expanded_results(e, r.result, 3, caller);
  EXPECT_THAT(energy, ElementsAre(10.0, 20.0));
  EXPECT_EQ(virial[4], 4.0);
  EXPECT_EQ(virial[9 + 4], 13.0 / 2.0);
  // Atom 1 is replicated atoms 1 and 3, atom 2 is 2 and 4.
  EXPECT_THAT(potential, ElementsAre(0.0, 200.0, 300.0));
  EXPECT_THAT(force, ElementsAre(0, 1, 2, 200, 201, 202, 300, 301, 302));
  EXPECT_THAT(mforce, ElementsAreArray(force));
  EXPECT_EQ(virial_atom[9 * 1 + 8], 208.0);
  EXPECT_EQ(virial_atom[9 * 2 + 0], 300.0);
}

// Descriptor rows fold the same way: each atom's row becomes the mean of its copies' rows.
TEST(PeriodicExpansion, FoldsDescriptorRowsBackOntoTheCallersAtoms) {
  const ExpandedBatch e = second_structure_twice();
  ASSERT_THAT(e.source_atom, ElementsAre(0, 1, 2, 1, 2));
  constexpr int kDimension = 2;
  std::vector<double> replicated;
  for (int atom = 0; atom < 5; ++atom) replicated.insert(replicated.end(), {10.0 * atom, 10.0 * atom + 1.0});
  std::vector<double> rows(3 * kDimension, -1.0);
  fold_expanded_descriptors(e, replicated.data(), 3, kDimension, rows.data());
  // Atom 1 is replicated atoms 1 and 3, atom 2 is 2 and 4; weights 1/2 of sums of exact small values.
  EXPECT_THAT(rows, ElementsAre(0.0, 1.0, 20.0, 21.0, 30.0, 31.0));
}

}  // namespace
}  // namespace quarvel::cuda_backend
