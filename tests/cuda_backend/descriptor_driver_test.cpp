// Descriptors of whole structures through the flat interface, against the double-precision reference of every
// atom (scaled), under rotation, translation and reordering, for thin cells and for batches; the driver's
// validation, model refusals, cancellation and the batch workspace it shares with the batch driver.
#include "cuda_backend/descriptor_driver.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "quarvel/quarvel.h"
#include "support/batch_builder.hpp"
#include "support/batch_driver_state.hpp"
#include "support/descriptor_reference.hpp"
#include "support/descriptor_structures.hpp"
#include "support/device_test.hpp"
#include "support/flat_model.hpp"
#include "support/loaded_model.hpp"
#include "support/model_file_writer.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::batch_of;
using test_support::Cell;
using test_support::ModelCase;
using test_support::ModelShape;
using test_support::Structure;
using test_support::Vec3;

// Two evaluations of the same descriptors that differ only in the float rounding of reordered neighbor sums,
// relative to the component's size (plus an absolute floor for components near zero).
constexpr double kRoundingRelative = 2e-5;
constexpr double kRoundingFloor = 1e-5;
constexpr double kUntouched = -777.0;  // fills caller arrays so that unwritten rows show

bool near(double a, double b) { return std::abs(a - b) <= kRoundingRelative * std::abs(b) + kRoundingFloor; }

ModelShape base_shape(const char* family, std::vector<std::string> elements) {
  ModelShape s = test_support::compact_shape(family, std::move(elements), 11);
  s.cutoff_radial = {4.0};
  s.cutoff_angular = {3.5};
  return s;
}

std::vector<ModelCase> shape_cases() {
  std::vector<ModelCase> cases;
  cases.push_back({"Nep4OneType", base_shape("nep4", {"C"})});
  ModelCase couplings{"Nep4TwoTypesAllCouplings", base_shape("nep4", {"C", "H"})};
  couplings.shape.l_max_3body = 4;
  couplings.shape.q222 = 1;
  couplings.shape.coupling_flags = {1, 1, 1, 1, 1};
  cases.push_back(couplings);
  ModelCase high{"Nep5ThreeTypesOrderEight", base_shape("nep5", {"C", "H", "O"})};
  high.shape.l_max_3body = 8;
  cases.push_back(high);
  ModelCase typewise{"Nep4TypewiseCutoffs", base_shape("nep4", {"C", "H"})};
  typewise.shape.cutoff_radial = {4.0, 3.0};
  typewise.shape.cutoff_angular = {3.5, 2.5};
  cases.push_back(typewise);
  cases.push_back({"Nep4ZblTwoTypes", base_shape("nep4_zbl", {"C", "O"})});
  ModelCase charge{"Nep4ChargeOrderEight", base_shape("nep4_charge1", {"C", "H"})};
  charge.shape.l_max_3body = 8;
  cases.push_back(charge);
  return cases;
}

// A model file loaded through the flat interface, and the same file read for the reference.
class DescriptorModel {
 public:
  explicit DescriptorModel(const ModelShape& shape)
      : reference_(test_support::load_model(shape)), flat_(reference_->written.text) {}

  QrvlModel* handle() const { return flat_.handle(); }
  const test_support::LoadedModel& reference() const { return *reference_; }
  int dimension() const { return reference_->protocol().descriptor_dim; }

  // Rows of every atom of the batch; the status is checked.
  std::vector<double> descriptors(const test_support::BatchArrays& b) const {
    std::vector<double> rows(b.types.size() * static_cast<std::size_t>(dimension()), kUntouched);
    EXPECT_EQ(call(b.view(), rows), QRVL_STATUS_OK) << qrvl_last_error_message();
    return rows;
  }

  int call(const QrvlStructureBatch& batch, std::vector<double>& rows) const {
    QrvlFindDescriptorResult result{rows.data()};
    return qrvl_find_descriptors(handle(), &batch, &result);
  }

 private:
  std::unique_ptr<test_support::LoadedModel> reference_;
  test_support::FlatModel flat_;
};

class DescriptorDriver : public ::testing::TestWithParam<ModelCase> {
 protected:
  void SetUp() override {
    if (!test_support::cuda_device_present()) GTEST_SKIP() << "no CUDA device";
    model_ = std::make_unique<DescriptorModel>(GetParam().shape);
  }

  int type_count() const { return model_->reference().protocol().num_types; }
  double reach() const {
    const ModelProtocol& p = model_->reference().protocol();
    return std::max(p.cutoff_radial, p.cutoff_angular);
  }

  // Rows of atoms `first` .. of `b` equal `expected` rows (atom by atom) up to rounding.
  void expect_rows(const std::vector<double>& rows, std::size_t first, const std::vector<double>& expected,
                   const char* what) const {
    const std::size_t d = static_cast<std::size_t>(model_->dimension());
    for (std::size_t k = 0; k < expected.size(); ++k) {
      EXPECT_PRED2(near, rows[first * d + k], expected[k]) << what << ": atom " << first + k / d << " component "
                                                           << k % d;
    }
  }

  std::unique_ptr<DescriptorModel> model_;
};

// Each component is the unscaled descriptor of the kernels times its scaler: the form the first-layer weights of
// the model file apply to.
TEST_P(DescriptorDriver, RowsAreTheScaledDescriptorsOfEveryAtom) {
  const test_support::LoadedModel& m = model_->reference();
  const ModelProtocol& p = m.protocol();
  const Structure s = test_support::random_structure(12, type_count(), reach(), 3);
  const std::vector<double> rows = model_->descriptors(batch_of({s}));
  const test_support::NeighborLists lists = test_support::brute_force_lists(s, p.cutoff_radial, p.cutoff_angular,
                                                                            p.num_types);
  const std::size_t d = static_cast<std::size_t>(p.descriptor_dim);
  ASSERT_EQ(m.host.q_scaler.size(), d);
  double largest = 0.0;
  for (int i = 0; i < s.size(); ++i) {
    const test_support::ReferenceAtom ref = test_support::reference_atom(m, s, lists, i);
    for (std::size_t k = 0; k < d; ++k) {
      const double scaler = m.host.q_scaler[k];
      // The reference's float tolerance, carried through the scaler.
      EXPECT_NEAR(rows[i * d + k], ref.value[k] * scaler, ref.tolerance[k] * std::abs(scaler))
          << "atom " << i << " component " << k;
      largest = std::max(largest, std::abs(rows[i * d + k]));
    }
  }
  EXPECT_GT(largest, 0.01) << "a structure without descriptors checks nothing";
}

TEST_P(DescriptorDriver, InvariantUnderRotationTranslationAndReordering) {
  const Structure s = test_support::random_structure(10, type_count(), reach(), 4);
  const std::vector<double> rows = model_->descriptors(batch_of({s}));
  const Cell rotation = test_support::tilted_rotation(0.9);
  const Structure moved = test_support::moved_and_reversed(s, rotation, {-2.3, 0.71, 5.5});
  const std::vector<double> moved_rows = model_->descriptors(batch_of({moved}));
  const std::size_t d = static_cast<std::size_t>(model_->dimension());
  const std::size_t n = static_cast<std::size_t>(s.size());
  for (std::size_t i = 0; i < n; ++i) {
    const std::vector<double> expected(rows.begin() + i * d, rows.begin() + (i + 1) * d);
    expect_rows(moved_rows, n - 1 - i, expected, "moved");
  }
}

// A cell a third as thick as the cutoff needs along its first vector is replicated by the driver; the explicit
// replica, thick enough to need nothing, gives every copy of an atom the same descriptors.
TEST_P(DescriptorDriver, ThinCellEqualsItsExplicitReplica) {
  const Structure thin = test_support::thin_slice(test_support::random_structure(12, type_count(), reach(), 5), 3, 4);
  ASSERT_GE(thin.size(), 2);
  const Structure replica = test_support::repeated_along_first_vector(thin, 3);
  const std::vector<double> thin_rows = model_->descriptors(batch_of({thin}));
  const std::vector<double> replica_rows = model_->descriptors(batch_of({replica}));
  for (int copy = 0; copy < 3; ++copy) {
    expect_rows(replica_rows, static_cast<std::size_t>(copy * thin.size()), thin_rows, "copy");
  }
}

// One call over a batch (one structure thin, so the batch is replicated) equals each structure alone.
TEST_P(DescriptorDriver, BatchEqualsItsStructuresEvaluatedAlone) {
  Structure thin = test_support::random_structure(3, type_count(), reach(), 6);
  for (int row = 0; row < 3; ++row) thin.cell[3 * row + 1] *= 0.5;
  for (Vec3& r : thin.positions) r[1] *= 0.5;
  const std::vector<Structure> structures = {test_support::random_structure(7, type_count(), reach(), 7), thin,
                                             test_support::random_structure(5, type_count(), reach(), 8)};
  const std::vector<double> rows = model_->descriptors(batch_of(structures));
  std::size_t first = 0;
  for (const Structure& s : structures) {
    expect_rows(rows, first, model_->descriptors(batch_of({s})), "alone");
    first += static_cast<std::size_t>(s.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Models, DescriptorDriver, ::testing::ValuesIn(shape_cases()),
                         [](const auto& case_info) { return std::string(case_info.param.name); });

// Refusals of the flat call: the argument checks answer without a text and write nothing; replication and
// range refusals carry their texts.
struct RefusalCase {
  const char* name;
  std::function<void(QrvlStructureBatch&, QrvlFindDescriptorResult&)> spoil;
  int status;
  const char* message;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

std::vector<RefusalCase> refusal_cases() {
  using B = QrvlStructureBatch;
  using R = QrvlFindDescriptorResult;
  static const std::int32_t zero_count[2] = {2, 0};
  static const std::int32_t negative_offset[2] = {0, -1};
  static const std::int32_t past_end[2] = {0, 3};
  static const std::int32_t overlap_counts[2] = {3, 2};
  static const std::int32_t gap_counts[2] = {1, 2};
  static const double singular[18] = {10, 0, 0, 0, 10, 0, 0, 0, 10, /**/ 1, 0, 0, 0, 1, 0, 0, 0, 1e-13};
  const int invalid = QRVL_STATUS_INVALID_ARGUMENT;
  return {
      {"NoAtoms", [](B& b, R&) { b.num_atoms = 0; }, invalid, ""},
      {"NullCounts", [](B& b, R&) { b.atom_counts = nullptr; }, invalid, ""},
      {"NullOffsets", [](B& b, R&) { b.atom_offsets = nullptr; }, invalid, ""},
      {"NullTypes", [](B& b, R&) { b.types = nullptr; }, invalid, ""},
      {"NullPositions", [](B& b, R&) { b.positions = nullptr; }, invalid, ""},
      {"NullBoxes", [](B& b, R&) { b.boxes = nullptr; }, invalid, ""},
      {"NullDescriptors", [](B&, R& r) { r.descriptors = nullptr; }, invalid, ""},
      {"EmptyStructure", [](B& b, R&) { b.atom_counts = zero_count; }, invalid, ""},
      {"NegativeOffset", [](B& b, R&) { b.atom_offsets = negative_offset; }, invalid, ""},
      {"OneAtomPastTheEnd", [](B& b, R&) { b.atom_offsets = past_end; }, invalid, ""},
      {"OverlappingStructures", [](B& b, R&) { b.atom_counts = overlap_counts; }, QRVL_STATUS_RUNTIME_ERROR,
       "overlapping structure atom ranges"},
      {"AtomOfNoStructure", [](B& b, R&) { b.atom_counts = gap_counts; }, QRVL_STATUS_RUNTIME_ERROR,
       "batch atom is not covered by any structure"},
      {"SingularCell", [](B& b, R&) { b.boxes = singular; }, invalid, "cannot expand a singular periodic box"},
  };
}

class DescriptorRefusals : public test_support::DeviceTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(DescriptorRefusals, AnswerTheirStatusAndText) {
  const DescriptorModel model(base_shape("nep4", {"C", "H"}));
  const test_support::BatchArrays b = test_support::BatchArrays::consecutive({2, 2}, 2);
  std::vector<double> rows(4 * static_cast<std::size_t>(model.dimension()), kUntouched);
  QrvlStructureBatch batch = b.view();
  QrvlFindDescriptorResult result{rows.data()};
  GetParam().spoil(batch, result);
  EXPECT_EQ(qrvl_find_descriptors(model.handle(), &batch, &result), GetParam().status);
  EXPECT_STREQ(qrvl_last_error_message(), GetParam().message);
  EXPECT_THAT(rows, ::testing::Each(kUntouched));
}

INSTANTIATE_TEST_SUITE_P(Checks, DescriptorRefusals, ::testing::ValuesIn(refusal_cases()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

class DescriptorModels : public test_support::DeviceTest {
 protected:
  test_support::BatchArrays batch_ = test_support::BatchArrays::consecutive({3, 2}, 2);
};

// A spin model beyond the spin core's limits (more spin basis functions than it holds) loads but is refused.
TEST_F(DescriptorModels, ModelsOutsideTheDescriptorKernelsAreUnsupportedWithoutText) {
  ModelShape shape = base_shape("nep4_spin", {"C", "H"});
  shape.spin.basis_size_radial = 8;
  const DescriptorModel spin(shape);
  batch_.spins.assign(batch_.positions.size(), 0.25);
  std::vector<double> rows(5 * static_cast<std::size_t>(spin.dimension()), kUntouched);
  EXPECT_EQ(spin.call(batch_.view(), rows), QRVL_STATUS_UNSUPPORTED);
  EXPECT_STREQ(qrvl_last_error_message(), "");
  QrvlModelInfo info{};
  ASSERT_EQ(qrvl_model_info(spin.handle(), &info), QRVL_STATUS_OK);
  EXPECT_EQ(info.capabilities & QRVL_CAP_DESCRIPTORS, 0u);
  EXPECT_THAT(rows, ::testing::Each(kUntouched));
}

// A spin model needs spins; with them its rows come back.
TEST_F(DescriptorModels, SpinModelsNeedSpins) {
  const DescriptorModel spin(base_shape("nep4_spin", {"C", "H"}));
  std::vector<double> rows(5 * static_cast<std::size_t>(spin.dimension()), kUntouched);
  EXPECT_EQ(spin.call(batch_.view(), rows), QRVL_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(qrvl_last_error_message(), "");
  batch_.spins.assign(batch_.positions.size(), 0.25);
  EXPECT_EQ(spin.call(batch_.view(), rows), QRVL_STATUS_OK) << qrvl_last_error_message();
  EXPECT_THAT(rows, ::testing::Not(::testing::Contains(kUntouched)));
}

TEST_F(DescriptorModels, CancelFlagAnswersCancelledUntilItIsReset) {
  const DescriptorModel model(base_shape("nep4", {"C", "H"}));
  std::vector<double> rows(5 * static_cast<std::size_t>(model.dimension()), kUntouched);
  ASSERT_EQ(qrvl_cancel_model(model.handle()), QRVL_STATUS_OK);
  EXPECT_EQ(model.call(batch_.view(), rows), QRVL_STATUS_CANCELLED);
  EXPECT_STREQ(qrvl_last_error_message(), "");
  EXPECT_THAT(rows, ::testing::Each(kUntouched));
  ASSERT_EQ(qrvl_reset_cancel(model.handle()), QRVL_STATUS_OK);
  EXPECT_EQ(model.call(batch_.view(), rows), QRVL_STATUS_OK) << qrvl_last_error_message();
  EXPECT_THAT(rows, ::testing::Not(::testing::Contains(kUntouched)));
}

// The driver on a model of its own, so that the shared workspace cache and a cancelling stage can be seen.
class DescriptorDriverCache : public test_support::DeviceTest {
 protected:
  void SetUp() override {
    test_support::DeviceTest::SetUp();
    if (IsSkipped()) return;
    model_ = test_support::load_model(base_shape("nep4", {"C", "H"}));
    cancel_of_stage() = &state_.cancel;
  }
  void TearDown() override { cancel_of_stage() = nullptr; }

  BatchDriverModel driver() {
    return state_.driver(model_->protocol(), model_->host, model_->device);
  }

  // The flag a cancelling descriptor stage sets, as a plain function pointer's state.
  static std::atomic<bool>*& cancel_of_stage() {
    static std::atomic<bool>* flag = nullptr;
    return flag;
  }

  // The library's descriptor stage, after which the model is cancelled as if by another thread.
  static void descriptors_then_cancel(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                      const DeviceModel& model, DeviceWorkspace& workspace,
                                      DescriptorCoreTopology topology) {
    build_descriptor_core_from_positions_on_device(protocol, atom_count, box, model, workspace, topology);
    cancel_of_stage()->store(true);
  }

  std::unique_ptr<test_support::LoadedModel> model_;
  test_support::BatchDriverState state_;
};

// Charge models are served only as NEP4 without spin and of angular order at most 8; the others, and models
// outside the force pipeline, are refused before any device work.
TEST_F(DescriptorDriverCache, RefusesModelsTheDescriptorKernelsDoNotServe) {
  const std::vector<std::function<void(ModelProtocol&)>> changes = {
      [](ModelProtocol& p) { p.version = 3; },
      [](ModelProtocol& p) {
        p.version = 5;
        p.charge_mode = 1;
      },
      [](ModelProtocol& p) {
        p.charge_mode = 1;
        p.body_channels.l_max_3body = 9;
      }};
  const test_support::BatchArrays b = test_support::BatchArrays::consecutive({3, 2}, 2);
  for (std::size_t c = 0; c < changes.size(); ++c) {
    ModelProtocol p = model_->protocol();
    changes[c](p);
    std::vector<double> rows(5 * static_cast<std::size_t>(p.descriptor_dim), kUntouched);
    QrvlFindDescriptorResult result{rows.data()};
    BatchDriverModel m = state_.driver(p, model_->host, model_->device);
    EXPECT_EQ(evaluate_batch_descriptors(m, b.view(), result), QRVL_STATUS_UNSUPPORTED) << "change " << c;
    EXPECT_EQ(state_.workspace, nullptr);
    EXPECT_THAT(rows, ::testing::Each(kUntouched));
  }
}

// A cancellation during a structure lets that structure's rows reach the caller and stops before the next.
TEST_F(DescriptorDriverCache, CancelledBetweenStructuresKeepsTheFinishedRows) {
  const test_support::BatchArrays b = test_support::BatchArrays::consecutive({3, 2}, 2);
  const std::size_t d = static_cast<std::size_t>(model_->protocol().descriptor_dim);
  std::vector<double> rows(5 * d, kUntouched);
  QrvlFindDescriptorResult result{rows.data()};
  DescriptorPassStages stages;
  stages.descriptors = &descriptors_then_cancel;
  BatchDriverModel m = driver();
  EXPECT_EQ(evaluate_batch_descriptors(m, b.view(), result, stages), QRVL_STATUS_CANCELLED);
  EXPECT_THAT(std::vector<double>(rows.begin(), rows.begin() + 3 * d),
              ::testing::Not(::testing::Contains(kUntouched)));
  EXPECT_THAT(std::vector<double>(rows.begin() + 3 * d, rows.end()), ::testing::Each(kUntouched));
}

// Descriptors need a workspace for one structure: a batch driver's workspace for several is rebuilt, and the
// one-structure workspace then serves a batch call on one structure no larger.
TEST_F(DescriptorDriverCache, SharesTheBatchWorkspaceForOneStructure) {
  const test_support::BatchArrays several = test_support::BatchArrays::consecutive({3, 4, 2}, 2);
  std::vector<double> energy(3), force(27);
  QrvlFindForceResult forces{};
  forces.energy = energy.data();
  forces.force = force.data();
  BatchDriverModel m = driver();
  ASSERT_EQ(evaluate_structure_batch(m, several.view(), forces, true), QRVL_STATUS_OK) << qrvl_last_error_message();
  const DeviceWorkspace* batched = state_.workspace.get();
  EXPECT_EQ(state_.structure_capacity, 3u);

  std::vector<double> rows(9 * static_cast<std::size_t>(model_->protocol().descriptor_dim), kUntouched);
  QrvlFindDescriptorResult result{rows.data()};
  ASSERT_EQ(evaluate_batch_descriptors(m, several.view(), result), QRVL_STATUS_OK) << qrvl_last_error_message();
  EXPECT_NE(state_.workspace.get(), batched);
  EXPECT_EQ(state_.structure_capacity, 1u);
  EXPECT_EQ(state_.atom_capacity, 4u);
  EXPECT_FALSE(state_.spin_transfer);

  const DeviceWorkspace* single = state_.workspace.get();
  const test_support::BatchArrays one = test_support::BatchArrays::consecutive({4}, 2);
  ASSERT_EQ(evaluate_structure_batch(m, one.view(), forces, true), QRVL_STATUS_OK) << qrvl_last_error_message();
  EXPECT_EQ(state_.workspace.get(), single);
  ASSERT_EQ(evaluate_batch_descriptors(m, one.view(), result), QRVL_STATUS_OK);
  EXPECT_EQ(state_.workspace.get(), single);
}

}  // namespace
}  // namespace quarvel::cuda_backend
