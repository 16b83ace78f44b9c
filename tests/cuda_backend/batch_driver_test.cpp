#include "cuda_backend/batch_driver.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "batch_driver_fixture.hpp"
#include "cuda_backend/cuda_engine.hpp"
#include "support/flat_model.hpp"
#include "support/model_file_writer.hpp"

namespace quarvel::cuda_backend::driver_test {
namespace {

using test_support::BatchArrays;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::StrEq;

// Structures of the given sizes in cubic cells thick enough for no replication; atom i of the batch sits at a
// position of its own.
BatchArrays thick_batch(const std::vector<std::int32_t>& counts) {
  return BatchArrays::consecutive(counts, 2, 2.0 * kCutoffMax + 1.0);
}

// What the stand-in pipeline gives that follows from the positions alone: force = position, and the
// structure virials (device component k is (k + 1) x x).
void expect_outputs_of(const BatchArrays& b, const ResultArrays& r, bool per_atom_virials) {
  for (std::size_t s = 0; s < b.counts.size(); ++s) {
    double sum_x = 0.0;
    for (int i = b.offsets[s]; i < b.offsets[s] + b.counts[s]; ++i) {
      sum_x += b.positions[3 * i];
      for (int c = 0; c < 3; ++c) EXPECT_EQ(r.force[3 * i + c], b.positions[3 * i + c]) << "atom " << i;
      if (per_atom_virials) {
        EXPECT_EQ(r.virial_per_atom[9 * i], b.positions[3 * i]);  // xx is device component 0
      }
    }
    // Row-major xx is device component 0 (x 1), yy is device component 1 (x 2); sums of a few exact values.
    EXPECT_DOUBLE_EQ(r.virial[9 * s + 0], sum_x) << "structure " << s;
    EXPECT_DOUBLE_EQ(r.virial[9 * s + 4], 2.0 * sum_x) << "structure " << s;
  }
}

TEST_F(BatchDriverTest, OrdinaryBatchRunsOnePassAndCopiesEveryOutput) {
  const BatchArrays b = thick_batch({3, 1, 4});
  ResultArrays r(3, 8);
  ASSERT_EQ(evaluate(b.view(), r.view(true)), QRVL_STATUS_OK) << qrvl_last_error_message();
  EXPECT_EQ(pipeline_record().calls, 1);
  EXPECT_EQ(pipeline_record().last_atom_count, 8);
  EXPECT_EQ(pipeline_record().last_request.neighbor_topology, kBatchedNeighborTopology);
  EXPECT_EQ(pipeline_record().last_request.virial_mode, kPerAtomVirials);
  expect_outputs_of(b, r, true);
  EXPECT_THAT(r.mforce, Each(ResultArrays::kUntouched));  // not a spin pass
}

TEST_F(BatchDriverTest, WithoutPerAtomVirialsAsksForTotals) {
  const BatchArrays b = thick_batch({2, 2});
  ResultArrays r(2, 4);
  ASSERT_EQ(evaluate(b.view(), r.view(false)), QRVL_STATUS_OK);
  EXPECT_EQ(pipeline_record().last_request.virial_mode, kVirialTotals);
  EXPECT_THAT(r.virial_per_atom, Each(ResultArrays::kUntouched));
}

// The cache is planned for exactly the needed sizes; one structure always gets a one-structure workspace.
TEST_F(BatchDriverTest, WorkspaceIsReusedOrRebuiltByShapeWithoutStaleData) {
  struct Step {
    std::vector<std::int32_t> counts;
    bool rebuilt;
    std::uint64_t atoms, structures;
  };
  const std::vector<Step> steps = {{{3, 2, 4}, true, 9, 3},
                                   {{5}, true, 5, 1},
                                   {{2, 2}, true, 4, 2},
                                   {{1, 3}, false, 4, 2},
                                   {{3}, true, 3, 1},
                                   {{2}, false, 3, 1}};
  const DeviceWorkspace* previous = nullptr;
  for (const Step& step : steps) {
    BatchArrays b = thick_batch(step.counts);
    for (double& x : b.positions) x += 0.5 * static_cast<double>(step.counts.size());  // each batch stages positions of its own
    ResultArrays r(step.counts.size(), b.types.size());
    ASSERT_EQ(evaluate(b.view(), r.view(true)), QRVL_STATUS_OK) << qrvl_last_error_message();
    EXPECT_EQ(workspace_.get() != previous, step.rebuilt) << step.counts.size() << " structures";
    EXPECT_EQ(atom_capacity_, step.atoms);
    EXPECT_EQ(structure_capacity_, step.structures);
    expect_outputs_of(b, r, true);
    previous = workspace_.get();
  }
}

TEST_F(BatchDriverTest, SpinModelRunsOneStructureAtATimeAndReusesItsWorkspace) {
  protocol_ = spin_model_protocol();
  BatchArrays b = thick_batch({10, 4, 7});
  for (std::size_t k = 0; k < b.positions.size(); ++k) b.spins.push_back(0.1 * static_cast<double>(k));
  ResultArrays r(3, 21);
  ASSERT_EQ(evaluate(b.view(), r.view(false, true)), QRVL_STATUS_OK) << qrvl_last_error_message();
  EXPECT_EQ(pipeline_record().calls, 3);
  EXPECT_EQ(pipeline_record().last_request.neighbor_topology, kSingleSetNeighborTopology);
  EXPECT_FALSE(pipeline_record().last_request.spin_transfer);
  EXPECT_EQ(atom_capacity_, 10u);
  EXPECT_EQ(structure_capacity_, 1u);
  expect_outputs_of(b, r, false);
  EXPECT_EQ(r.mforce, b.spins);

  const DeviceWorkspace* first = workspace_.get();
  const BatchArrays smaller = [&] {
    BatchArrays s = thick_batch({8, 2});
    for (std::size_t k = 0; k < s.positions.size(); ++k) s.spins.push_back(1.0);
    return s;
  }();
  ResultArrays r2(2, 10);
  ASSERT_EQ(evaluate(smaller.view(), r2.view()), QRVL_STATUS_OK);
  EXPECT_EQ(workspace_.get(), first);
  ResultArrays r3(2, 10);
  ASSERT_EQ(evaluate(smaller.view(), r3.view(false, false, true)), QRVL_STATUS_OK);
  EXPECT_NE(workspace_.get(), first);  // newly asked spin transfer needs its array
  EXPECT_TRUE(spin_transfer_);
  EXPECT_TRUE(pipeline_record().last_request.spin_transfer);
}

// Validation answers without a text and before any device work.
struct ValidationCase {
  const char* name;
  std::function<void(QrvlStructureBatch&, QrvlFindForceResult&, ModelProtocol&)> spoil;
  int status;
};

// Names the case in test output instead of its bytes.
inline void PrintTo(const ValidationCase& c, std::ostream* os) { *os << c.name; }

std::vector<ValidationCase> validation_cases() {
  using B = QrvlStructureBatch;
  using R = QrvlFindForceResult;
  using P = ModelProtocol;
  static const std::int32_t zero_count[2] = {2, 0};
  static const std::int32_t negative_offset[2] = {0, -1};
  static const std::int32_t past_end[2] = {0, 3};
  static double transfer[36];
  return {
      {"NoStructures", [](B& b, R&, P&) { b.num_structures = 0; }, QRVL_STATUS_INVALID_ARGUMENT},
      {"NoAtoms", [](B& b, R&, P&) { b.num_atoms = 0; }, QRVL_STATUS_INVALID_ARGUMENT},
      {"NullCounts", [](B& b, R&, P&) { b.atom_counts = nullptr; }, QRVL_STATUS_INVALID_ARGUMENT},
      {"NullOffsets", [](B& b, R&, P&) { b.atom_offsets = nullptr; }, QRVL_STATUS_INVALID_ARGUMENT},
      {"NullTypes", [](B& b, R&, P&) { b.types = nullptr; }, QRVL_STATUS_INVALID_ARGUMENT},
      {"NullPositions", [](B& b, R&, P&) { b.positions = nullptr; }, QRVL_STATUS_INVALID_ARGUMENT},
      {"NullBoxes", [](B& b, R&, P&) { b.boxes = nullptr; }, QRVL_STATUS_INVALID_ARGUMENT},
      {"NullEnergy", [](B&, R& r, P&) { r.energy = nullptr; }, QRVL_STATUS_INVALID_ARGUMENT},
      {"NullForce", [](B&, R& r, P&) { r.force = nullptr; }, QRVL_STATUS_INVALID_ARGUMENT},
      {"EmptyStructure", [](B& b, R&, P&) { b.atom_counts = zero_count; }, QRVL_STATUS_INVALID_ARGUMENT},
      {"NegativeOffset", [](B& b, R&, P&) { b.atom_offsets = negative_offset; }, QRVL_STATUS_INVALID_ARGUMENT},
      {"OneAtomPastTheEnd", [](B& b, R&, P&) { b.atom_offsets = past_end; }, QRVL_STATUS_INVALID_ARGUMENT},
      {"ModelOutsideThePipeline", [](B&, R&, P& p) { p.version = 3; }, QRVL_STATUS_UNSUPPORTED},
      {"SpinModelWithoutSpins", [](B&, R&, P& p) { p = spin_model_protocol(); }, QRVL_STATUS_INVALID_ARGUMENT},
      {"SpinTransferOfOrdinaryModel", [](B&, R& r, P&) { r.spin_transfer = transfer; }, QRVL_STATUS_UNSUPPORTED},
      {"SpinTransferOfChargeModel",
       [](B&, R& r, P& p) {
         p.charge_mode = 1;
         r.spin_transfer = transfer;
       },
       QRVL_STATUS_UNSUPPORTED},
  };
}

class BatchDriverValidation : public BatchDriverTest, public ::testing::WithParamInterface<ValidationCase> {};

TEST_P(BatchDriverValidation, AnswersItsStatusWithoutText) {
  const BatchArrays b = thick_batch({2, 2});
  ResultArrays r(2, 4);
  QrvlStructureBatch batch = b.view();
  QrvlFindForceResult result = r.view();
  GetParam().spoil(batch, result, protocol_);
  EXPECT_EQ(evaluate(batch, result), GetParam().status);
  EXPECT_STREQ(qrvl_last_error_message(), "");
  EXPECT_EQ(pipeline_record().calls, 0);
  EXPECT_EQ(workspace_, nullptr);
  EXPECT_THAT(r.energy, Each(ResultArrays::kUntouched));
}

INSTANTIATE_TEST_SUITE_P(Checks, BatchDriverValidation, ::testing::ValuesIn(validation_cases()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

TEST_F(BatchDriverTest, CancelFlagAtEntryWinsOverTheStructureTableButNotOverPointers) {
  const BatchArrays b = thick_batch({2, 2});
  cancel_ = true;
  ResultArrays r(2, 4);
  QrvlStructureBatch batch = b.view();
  const std::int32_t empty[2] = {0, 0};
  batch.atom_counts = empty;
  EXPECT_EQ(evaluate(batch, r.view()), QRVL_STATUS_CANCELLED);
  QrvlFindForceResult no_energy = r.view();
  no_energy.energy = nullptr;
  EXPECT_EQ(evaluate(b.view(), no_energy), QRVL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(pipeline_record().calls, 0);
}

TEST_F(BatchDriverTest, CancelledFromAnotherThreadBetweenStructures) {
  protocol_ = spin_model_protocol();
  BatchArrays b = thick_batch({2, 3, 2});
  b.spins.assign(b.positions.size(), 0.5);
  // Bounded waits on both sides, so a broken driver fails the test instead of hanging it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::thread canceller([&] {
    while (pipeline_record().calls < 1 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    cancel_.store(true);
  });
  // The first structure's pipeline waits until the other thread has cancelled, so the driver sees the flag at
  // its next check, right after the first structure's copy-back.
  pipeline_record().hook = [&](int) {
    while (!cancel_.load() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  };
  ResultArrays r(3, 7);
  const int status = evaluate(b.view(), r.view());
  canceller.join();
  EXPECT_EQ(status, QRVL_STATUS_CANCELLED);
  EXPECT_EQ(pipeline_record().calls, 1);
  EXPECT_EQ(r.force[0], b.positions[0]);  // the first structure is already in the caller's arrays
  EXPECT_THAT(std::vector<double>(r.energy.begin() + 1, r.energy.end()), Each(ResultArrays::kUntouched));
  EXPECT_THAT(std::vector<double>(r.force.begin() + 6, r.force.end()), Each(ResultArrays::kUntouched));
}

// The batched pass is not interrupted: a cancellation during it still delivers the results, then answers 5.
TEST_F(BatchDriverTest, CancelledDuringTheBatchedPassAnswersAfterTheCopyBack) {
  const BatchArrays b = thick_batch({2, 3});
  pipeline_record().hook = [&](int) { std::thread([&] { cancel_.store(true); }).join(); };
  ResultArrays r(2, 5);
  EXPECT_EQ(evaluate(b.view(), r.view()), QRVL_STATUS_CANCELLED);
  expect_outputs_of(b, r, false);
}

// A simple cubic lattice of one atom per 3 Angstrom cell: each atom has six neighbors at 3 Angstrom within the
// 3.5 Angstrom list, which only the replicated 9 Angstrom supercell (3 x 3 x 3 copies) shows.
TEST_F(BatchDriverTest, ThinCellIsEvaluatedAsItsSupercellAndFoldedBack) {
  BatchArrays b = BatchArrays::consecutive({2, 1}, 2, 2.0 * kCutoffMax + 1.0);
  b.boxes = {10, 0, 0, 0, 10, 0, 0, 0, 10, /**/ 3, 0, 0, 0, 3, 0, 0, 0, 3};
  b.positions = {1.0, 1.0, 1.0, 2.0, 1.5, 1.0, /**/ 0.5, 1.0, 1.5};
  ResultArrays r(2, 3);
  ASSERT_EQ(evaluate(b.view(), r.view(true)), QRVL_STATUS_OK) << qrvl_last_error_message();
  EXPECT_EQ(pipeline_record().last_atom_count, 2 + 27);
  // Folding multiplies by the double 1/27 and sums 27 weighted copies: exact to a few ulps of double.
  EXPECT_DOUBLE_EQ(r.energy[1], 6.0);
  EXPECT_DOUBLE_EQ(r.potential[2], 6.0);
  // The mean copy position is the atom's position plus one cell vector along each axis (copies 0, 1 and 2).
  EXPECT_DOUBLE_EQ(r.force[6], 3.5);
  EXPECT_DOUBLE_EQ(r.force[7], 4.0);
  EXPECT_DOUBLE_EQ(r.force[8], 4.5);
  // Per-structure virials divided by the 27 copies: xx is the mean x of the copies.
  EXPECT_DOUBLE_EQ(r.virial[9 + 0], 3.5);

  // The thick first structure gives what a direct evaluation of it alone gives.
  const BatchArrays alone = [&] {
    BatchArrays a = BatchArrays::consecutive({2}, 2, 10.0);
    a.positions.assign(b.positions.begin(), b.positions.begin() + 6);
    return a;
  }();
  ResultArrays direct(1, 2);
  ASSERT_EQ(evaluate(alone.view(), direct.view(true)), QRVL_STATUS_OK);
  EXPECT_EQ(r.energy[0], direct.energy[0]);
  EXPECT_EQ(std::vector<double>(r.force.begin(), r.force.begin() + 6), direct.force);
  EXPECT_EQ(std::vector<double>(r.virial_per_atom.begin(), r.virial_per_atom.begin() + 18), direct.virial_per_atom);
}

TEST_F(BatchDriverTest, ReplicationRefusalsCarryTheirText) {
  BatchArrays b = thick_batch({2});
  b.pbc = {1, 1, 0};
  ResultArrays r(1, 2);
  EXPECT_EQ(evaluate(b.view(), r.view()), QRVL_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(qrvl_last_error_message(), "CUDA batch evaluation requires three-dimensional periodic boxes");
  b.pbc = {1, 1, 1};
  b.boxes = {1, 0, 0, 0, 1, 0, 0, 0, 1e-13};
  EXPECT_EQ(evaluate(b.view(), r.view()), QRVL_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(qrvl_last_error_message(), "cannot expand a singular periodic box");
}

TEST_F(BatchDriverTest, PerStructureBoxThatCannotBePreparedIsUnsupported) {
  protocol_ = spin_model_protocol();
  BatchArrays b = thick_batch({2});
  b.spins.assign(6, 1.0);
  b.pbc = {1, 0, 1};
  ResultArrays r(1, 2);
  EXPECT_EQ(evaluate(b.view(), r.view(), false), QRVL_STATUS_UNSUPPORTED);
  EXPECT_STREQ(qrvl_last_error_message(), "");
}

// Overlapping or gapped structure ranges are refused on every road, with batch staging's status and text,
// before anything reaches the device or the caller's arrays.
struct RangeCase {
  const char* name;
  bool spin;
  bool thin;
  std::vector<std::int32_t> counts;
  std::vector<std::int32_t> offsets;
  const char* message;
};

// Names the case in test output instead of its bytes.
inline void PrintTo(const RangeCase& c, std::ostream* os) { *os << c.name; }

class BatchDriverRanges : public BatchDriverTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(BatchDriverRanges, AreRefusedOnEveryRoad) {
  const RangeCase& c = GetParam();
  if (c.spin) protocol_ = spin_model_protocol();
  BatchArrays b = thick_batch({2, 2});
  b.counts = c.counts;
  b.offsets = c.offsets;
  if (c.thin) b.boxes = {3, 0, 0, 0, 3, 0, 0, 0, 3, /**/ 3, 0, 0, 0, 3, 0, 0, 0, 3};
  if (c.spin) b.spins.assign(b.positions.size(), 1.0);
  ResultArrays r(2, 4);
  EXPECT_EQ(evaluate(b.view(), r.view()), QRVL_STATUS_RUNTIME_ERROR);
  EXPECT_STREQ(qrvl_last_error_message(), c.message);
  EXPECT_EQ(pipeline_record().calls, 0);
  EXPECT_THAT(r.energy, Each(ResultArrays::kUntouched));
  EXPECT_THAT(r.force, Each(ResultArrays::kUntouched));
}

std::vector<RangeCase> range_cases() {
  const std::vector<std::int32_t> overlap_counts = {3, 2}, gap_counts = {1, 2}, offsets = {0, 2};
  const char* overlap = "overlapping structure atom ranges";
  const char* gap = "batch atom is not covered by any structure";
  return {{"OrdinaryDirectOverlap", false, false, overlap_counts, offsets, overlap},
          {"OrdinaryDirectGap", false, false, gap_counts, offsets, gap},
          {"OrdinaryReplicatedOverlap", false, true, overlap_counts, offsets, overlap},
          {"OrdinaryReplicatedGap", false, true, gap_counts, offsets, gap},
          {"SpinDirectOverlap", true, false, overlap_counts, offsets, overlap},
          {"SpinDirectGap", true, false, gap_counts, offsets, gap},
          {"SpinReplicatedOverlap", true, true, overlap_counts, offsets, overlap},
          {"SpinReplicatedGap", true, true, gap_counts, offsets, gap}};
}

INSTANTIATE_TEST_SUITE_P(Roads, BatchDriverRanges, ::testing::ValuesIn(range_cases()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

// The library's own charge sequence runs for charge models: its first stage refuses a model without parameters.
TEST_F(BatchDriverTest, ChargeModelsTakeTheChargeSequence) {
  const BatchArrays b = thick_batch({2, 1});
  ResultArrays r(2, 3);
  QrvlFindForceResult result = r.view();
  protocol_ = ordinary_protocol();
  protocol_.charge_mode = 1;
  BatchDriverModel charge = driver();
  charge.stages = BatchPassStages{};
  EXPECT_EQ(evaluate_structure_batch(charge, b.view(), result, true), QRVL_STATUS_RUNTIME_ERROR);
  EXPECT_STREQ(qrvl_last_error_message(), "model missing type-pair-major descriptor coefficients");
}

// The library's pipeline with the descriptor, network and structural force stages skipped (this model has no
// parameters for them), so that the first stage still to come is reached.
void pipeline_past_the_network(const ModelProtocol& protocol, const ForceEvaluationRequest& request, int atom_count,
                               const SimulationBox& box, const DeviceModel& model, DeviceWorkspace& workspace,
                               ForcePipelineTimings* timings) {
  ForcePipelineStages stages;
  stages.descriptors = [](const ModelProtocol&, int, const SimulationBox&, const DeviceModel&, DeviceWorkspace&,
                          DescriptorCoreTopology) {};
  stages.spin_descriptors = [](const ModelProtocol&, int, const SimulationBox&, const DeviceModel&,
                                DeviceWorkspace&) {};
  stages.network = [](const ModelProtocol&, int, const DeviceModel&, DeviceWorkspace&) {};
  stages.radial = [](const ModelProtocol&, int, const SimulationBox&, const DeviceModel&, DeviceWorkspace&,
                     VirialTarget, bool) {};
  stages.radial_with_zbl = [](const ModelProtocol&, int, const SimulationBox&, const DeviceModel&,
                              DeviceWorkspace&) {};
  stages.angular = [](const ModelProtocol&, int, const DeviceModel&, DeviceWorkspace&, VirialTarget) {};
  stages.zbl = [](const ModelProtocol&, int, const SimulationBox&, const DeviceModel&, DeviceWorkspace&, bool,
                  VirialTarget) {};
  run_force_pipeline(stages, protocol, request, atom_count, box, model, workspace, timings);
}

// With the library's own spin force stage, a spin evaluation reaches it; its refusal of this parameterless model
// comes back to the caller as a runtime error with its text.
TEST_F(BatchDriverTest, SpinForceStageRefusalReachesTheCaller) {
  BatchArrays spun = thick_batch({2, 1});
  spun.spins.assign(3 * spun.types.size(), 0.5);
  ResultArrays r(2, 3);
  QrvlFindForceResult result = r.view();
  protocol_ = spin_model_protocol();
  BatchDriverModel spin = driver();
  spin.stages = BatchPassStages{};
  spin.stages.force_pipeline = &pipeline_past_the_network;
  EXPECT_EQ(evaluate_structure_batch(spin, spun.view(), result, true), QRVL_STATUS_RUNTIME_ERROR);
  EXPECT_STREQ(qrvl_last_error_message(), "spin descriptor is missing onsite terms");
}

// The whole road through the flat interface with a model file: the range refusal reaches the caller with its
// text, and a valid batch of two equal thin structures comes back with equal finite energies.
TEST_F(BatchDriverTest, FlatInterfaceRoadOfALoadedModel) {
  const test_support::FlatModel loaded(test_support::ModelShape{});
  QrvlModel* model = loaded.handle();
  ASSERT_NE(model, nullptr) << "the model did not load";
  BatchArrays b = BatchArrays::consecutive({2, 2}, 1, 3.0);  // thin cells: replicated first
  ResultArrays r(2, 4);
  QrvlFindForceResult result = r.view();
  b.counts = {3, 2};
  b.offsets = {0, 2};
  QrvlStructureBatch batch = b.view();
  EXPECT_EQ(qrvl_find_force_batch(model, &batch, &result), QRVL_STATUS_RUNTIME_ERROR);
  EXPECT_STREQ(qrvl_last_error_message(), "overlapping structure atom ranges");
  b.counts = {2, 2};
  batch = b.view();
  b.positions.assign(b.positions.begin(), b.positions.begin() + 6);
  b.positions.insert(b.positions.end(), b.positions.begin(), b.positions.end());
  batch = b.view();
  EXPECT_EQ(qrvl_find_force_batch(model, &batch, &result), QRVL_STATUS_OK) << qrvl_last_error_message();
  EXPECT_TRUE(std::isfinite(r.energy[0]));
  EXPECT_EQ(r.energy[0], r.energy[1]);
}

}  // namespace
}  // namespace quarvel::cuda_backend::driver_test
