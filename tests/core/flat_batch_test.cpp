#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <tuple>
#include <vector>

#include "core/flat_calls.hpp"
#include "quarvel/engine.hpp"

namespace quarvel::testing {
namespace {

using quarvel::testing::operator<<;  // the cases below print as their names

constexpr const char* kGateText = "Quarvel supports fully periodic structures only (pbc=[1,1,1])";
constexpr const char* kStaleText = "text of an earlier call";

std::string case_name(const std::string& raw) {
  std::string name;
  for (char c : raw) {
    name += std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
  }
  return name;
}

FakeModel& last_model() { return *registered_fake_engine().last_loaded_model(); }

// --- null pointers: status 1, empty last error, nothing written, the model not reached -------------------------

enum class NullArgument { model, batch, result, parameters, functional };

struct NullCase {
  std::string operation;
  NullArgument missing;
  std::string name;
};

std::vector<NullCase> null_cases() {
  std::vector<NullCase> cases;
  for (const BatchOperation& operation : batch_operations()) {
    const std::string op = operation.name;
    cases.push_back({op, NullArgument::model, op + "_model"});
    cases.push_back({op, NullArgument::batch, op + "_batch"});
    cases.push_back({op, NullArgument::result, op + "_result"});
    if (operation.reaches == Operation::compute_dftd3_batch) {
      cases.push_back({op, NullArgument::parameters, op + "_parameters"});
      cases.push_back({op, NullArgument::functional, op + "_functional"});
    }
  }
  return cases;
}

class BatchNullArgument : public ::testing::TestWithParam<NullCase> {};

TEST_P(BatchNullArgument, AnswersInvalidArgumentAndWritesNothing) {
  const BatchOperation& operation = batch_operation(GetParam().operation);
  LoadedModel model(operation.accepted_kind);
  ASSERT_EQ(model.status(), QRVL_STATUS_OK);
  const ValidBatch valid;
  const QrvlStructureBatch batch = valid.record();
  FlatOutputs outputs;
  const NullArgument missing = GetParam().missing;
  outputs.omit_result = missing == NullArgument::result;
  outputs.omit_parameters = missing == NullArgument::parameters;
  outputs.omit_functional = missing == NullArgument::functional;
  set_last_error(kStaleText);

  const int status = operation.call(missing == NullArgument::model ? nullptr : model.handle(),
                                    missing == NullArgument::batch ? nullptr : &batch, outputs);

  EXPECT_EQ(status, QRVL_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(qrvl_last_error_message(), "");
  EXPECT_TRUE(outputs.untouched());
  EXPECT_EQ(last_model().last_operation(), Operation::none);
}

INSTANTIATE_TEST_SUITE_P(EveryBatchOperation, BatchNullArgument, ::testing::ValuesIn(null_cases()),
                         [](const auto& named) { return named.param.name; });

// --- the periodicity gate: status 2 with its text, even for a model the operation accepts ------------------------

struct GateCase {
  const char* name;
  void (*spoil)(QrvlStructureBatch& batch, std::array<int32_t, 3>& pbc);
};

const GateCase kGateCases[] = {
    {"no_structures", [](QrvlStructureBatch& b, std::array<int32_t, 3>&) { b.num_structures = 0; }},
    {"negative_structures", [](QrvlStructureBatch& b, std::array<int32_t, 3>&) { b.num_structures = -1; }},
    {"null_pbc", [](QrvlStructureBatch& b, std::array<int32_t, 3>&) { b.pbc = nullptr; }},
    {"last_flag_open", [](QrvlStructureBatch&, std::array<int32_t, 3>& pbc) { pbc[2] = 0; }},
    {"first_flag_two", [](QrvlStructureBatch&, std::array<int32_t, 3>& pbc) { pbc[0] = 2; }},
    {"middle_flag_negative", [](QrvlStructureBatch&, std::array<int32_t, 3>& pbc) { pbc[1] = -1; }},
};

class PeriodicityGate : public ::testing::TestWithParam<std::tuple<BatchOperation, GateCase>> {};

TEST_P(PeriodicityGate, RefusesBeforeTheModelIsAsked) {
  const auto& [operation, gate] = GetParam();
  LoadedModel model(operation.accepted_kind);
  ASSERT_EQ(model.status(), QRVL_STATUS_OK);
  ValidBatch valid;
  QrvlStructureBatch batch = valid.record();
  gate.spoil(batch, valid.pbc);
  FlatOutputs outputs;

  EXPECT_EQ(operation.call(model.handle(), &batch, outputs), QRVL_STATUS_UNSUPPORTED);
  EXPECT_STREQ(qrvl_last_error_message(), kGateText);
  EXPECT_TRUE(outputs.untouched());
  EXPECT_EQ(last_model().last_operation(), Operation::none);
}

INSTANTIATE_TEST_SUITE_P(EveryBatchOperation, PeriodicityGate,
                         ::testing::Combine(::testing::ValuesIn(batch_operations()), ::testing::ValuesIn(kGateCases)),
                         [](const auto& named) {
                           return std::string(std::get<0>(named.param).name) + "_" + std::get<1>(named.param).name;
                         });

TEST(PeriodicityGate, ComesBeforeTheRoutingByKind) {
  LoadedModel charge("charge");
  ValidBatch valid;
  QrvlStructureBatch batch = valid.record();
  batch.pbc = nullptr;
  FlatOutputs outputs;
  EXPECT_EQ(qrvl_find_force_batch(charge.handle(), &batch, &outputs.force), QRVL_STATUS_UNSUPPORTED);
  EXPECT_STREQ(qrvl_last_error_message(), kGateText);
}

// Every structure's three flags are tested, not only the first structure's.
TEST(PeriodicityGate, ReadsTheFlagsOfEveryStructure) {
  LoadedModel model("ordinary");
  const std::array<int32_t, 2> counts{1, 1};
  const std::array<int32_t, 2> offsets{0, 1};
  ValidBatch valid;
  std::array<double, 18> boxes{};
  std::array<int32_t, 6> pbc{1, 1, 1, 1, 1, 0};
  QrvlStructureBatch batch = valid.record();
  batch.num_structures = 2;
  batch.atom_counts = counts.data();
  batch.atom_offsets = offsets.data();
  batch.boxes = boxes.data();
  batch.pbc = pbc.data();
  FlatOutputs outputs;
  EXPECT_EQ(qrvl_find_force_batch(model.handle(), &batch, &outputs.force), QRVL_STATUS_UNSUPPORTED);
  EXPECT_STREQ(qrvl_last_error_message(), kGateText);
  pbc[5] = 1;
  EXPECT_EQ(qrvl_find_force_batch(model.handle(), &batch, &outputs.force), QRVL_STATUS_OK);
  EXPECT_STREQ(qrvl_last_error_message(), "");
}

// --- routing by model kind --------------------------------------------------------------------------------------

struct RoutingCase {
  const char* operation;
  const char* kind;
  int status;
  const char* text;  // "" when the model is reached
};

constexpr const char* kChargeRoute = "charge models require qrvl_find_charge_batch";
constexpr const char* kResponseRoute = "response models require their explicit dipole or polarizability API";
constexpr const char* kEvaluateRoute = "evaluate_batch currently supports ordinary NEP models only";
constexpr const char* kChargeOnlyRoute = "calculate_charge requires a charge NEP model";
constexpr const char* kDipoleRoute = "dipoles require a dipole NEP model";
constexpr const char* kPolarizabilityRoute = "polarizabilities require a polarizability NEP model";
constexpr const char* kDftd3Route = "DFT-D3 is supported only for ordinary non-spin, non-charge NEP models";

const RoutingCase kRoutingCases[] = {
    {"find_force_batch", "ordinary", QRVL_STATUS_OK, ""},
    {"find_force_batch", "spin", QRVL_STATUS_OK, ""},
    {"find_force_batch", "charge", QRVL_STATUS_UNSUPPORTED, kChargeRoute},
    {"find_force_batch", "dipole", QRVL_STATUS_UNSUPPORTED, kResponseRoute},
    {"find_force_batch", "polarizability", QRVL_STATUS_UNSUPPORTED, kResponseRoute},
    {"evaluate_batch", "ordinary", QRVL_STATUS_OK, ""},
    {"evaluate_batch", "spin", QRVL_STATUS_UNSUPPORTED, kEvaluateRoute},
    {"evaluate_batch", "charge", QRVL_STATUS_UNSUPPORTED, kEvaluateRoute},
    {"find_charge_batch", "charge", QRVL_STATUS_OK, ""},
    {"find_charge_batch", "ordinary", QRVL_STATUS_UNSUPPORTED, kChargeOnlyRoute},
    {"find_charge_batch", "spin", QRVL_STATUS_UNSUPPORTED, kChargeOnlyRoute},
    {"find_descriptors", "ordinary", QRVL_STATUS_OK, ""},
    {"find_descriptors", "charge", QRVL_STATUS_OK, ""},
    {"find_descriptors", "dipole", QRVL_STATUS_OK, ""},
    {"find_dipoles", "dipole", QRVL_STATUS_OK, ""},
    {"find_dipoles", "ordinary", QRVL_STATUS_UNSUPPORTED, kDipoleRoute},
    {"find_dipoles", "polarizability", QRVL_STATUS_UNSUPPORTED, kDipoleRoute},
    {"find_polarizabilities", "polarizability", QRVL_STATUS_OK, ""},
    {"find_polarizabilities", "ordinary", QRVL_STATUS_UNSUPPORTED, kPolarizabilityRoute},
    {"find_polarizabilities", "dipole", QRVL_STATUS_UNSUPPORTED, kPolarizabilityRoute},
    {"compute_dftd3_batch", "ordinary", QRVL_STATUS_OK, ""},
    {"compute_dftd3_batch", "spin", QRVL_STATUS_UNSUPPORTED, kDftd3Route},
    {"compute_dftd3_batch", "charge", QRVL_STATUS_UNSUPPORTED, kDftd3Route},
    {"compute_with_dftd3_batch", "ordinary", QRVL_STATUS_OK, ""},
    {"compute_with_dftd3_batch", "dipole", QRVL_STATUS_UNSUPPORTED, kDftd3Route},
};

std::ostream& operator<<(std::ostream& os, const RoutingCase& routing) {
  return os << routing.operation << "_" << routing.kind;
}

class RoutingByKind : public ::testing::TestWithParam<RoutingCase> {};

TEST_P(RoutingByKind, ReachesTheModelOrRefusesWithItsText) {
  const RoutingCase& routing = GetParam();
  const BatchOperation& operation = batch_operation(routing.operation);
  LoadedModel model(routing.kind);
  ASSERT_EQ(model.status(), QRVL_STATUS_OK);
  const ValidBatch valid;
  const QrvlStructureBatch batch = valid.record();
  FlatOutputs outputs;

  EXPECT_EQ(operation.call(model.handle(), &batch, outputs), routing.status);
  EXPECT_STREQ(qrvl_last_error_message(), routing.text);
  const bool reached = routing.status == QRVL_STATUS_OK;
  EXPECT_EQ(last_model().last_operation(), reached ? operation.reaches : Operation::none);
  EXPECT_EQ(outputs.written(), reached ? 1 : 0);
  EXPECT_EQ(outputs.untouched(), !reached);
}

INSTANTIATE_TEST_SUITE_P(Kinds, RoutingByKind, ::testing::ValuesIn(kRoutingCases), [](const auto& named) {
  return case_name(std::string(named.param.operation) + "_" + named.param.kind);
});

TEST(Dftd3, TellsTheModelWhetherToIncludeItsOwnResults) {
  LoadedModel model("ordinary");
  const ValidBatch valid;
  const QrvlStructureBatch batch = valid.record();
  FlatOutputs outputs;
  ASSERT_EQ(qrvl_compute_with_dftd3_batch(model.handle(), &batch, &outputs.dftd3_parameters, &outputs.dftd3),
            QRVL_STATUS_OK);
  EXPECT_TRUE(last_model().last_include_model());
  ASSERT_EQ(qrvl_compute_dftd3_batch(model.handle(), &batch, &outputs.dftd3_parameters, &outputs.dftd3),
            QRVL_STATUS_OK);
  EXPECT_FALSE(last_model().last_include_model());
}

// --- the model's own status passes through unchanged, and the last error describes this call only --------------

class ModelStatus : public ::testing::TestWithParam<std::tuple<BatchOperation, int>> {};

TEST_P(ModelStatus, PassesThroughUnchanged) {
  const auto& [operation, status] = GetParam();
  LoadedModel model(std::string(operation.accepted_kind) + ":status-" + std::to_string(status));
  ASSERT_EQ(model.status(), QRVL_STATUS_OK);
  const ValidBatch valid;
  const QrvlStructureBatch batch = valid.record();
  FlatOutputs outputs;
  set_last_error(kStaleText);

  EXPECT_EQ(operation.call(model.handle(), &batch, outputs), status);
  EXPECT_STREQ(qrvl_last_error_message(), "");
}

INSTANTIATE_TEST_SUITE_P(EveryBatchOperation, ModelStatus,
                         ::testing::Combine(::testing::ValuesIn(batch_operations()),
                                            ::testing::Values(QRVL_STATUS_INVALID_ARGUMENT, QRVL_STATUS_UNSUPPORTED,
                                                              QRVL_STATUS_RUNTIME_ERROR, QRVL_STATUS_CANCELLED,
                                                              99)),
                         [](const auto& named) {
                           return std::string(std::get<0>(named.param).name) + "_" +
                                  std::to_string(std::get<1>(named.param));
                         });

// --- no exception crosses the flat interface --------------------------------------------------------------------

struct ThrowCase {
  const char* name;
  const char* behaviour;
  const char* text;
};

const ThrowCase kThrowCases[] = {
    {"standard_from_operation", "failing", kModelFailureText},
    {"other_from_operation", "failing-other", "unknown exception"},
    {"standard_from_model_kind", "failing-kind", kModelFailureText},
    {"other_from_model_kind", "failing-kind-other", "unknown exception"},
};

class ThrowingModel : public ::testing::TestWithParam<std::tuple<BatchOperation, ThrowCase>> {};

TEST_P(ThrowingModel, AnswersRuntimeErrorWithTheText) {
  const auto& [operation, thrown] = GetParam();
  LoadedModel model(std::string(operation.accepted_kind) + ":" + thrown.behaviour);
  ASSERT_EQ(model.status(), QRVL_STATUS_OK);
  const ValidBatch valid;
  const QrvlStructureBatch batch = valid.record();
  FlatOutputs outputs;

  const int status = operation.call(model.handle(), &batch, outputs);

  // find_descriptors does not route by kind, so a model_kind that throws is never asked.
  const bool kind_asked = operation.reaches != Operation::find_descriptors;
  const bool throws_here = std::string(thrown.behaviour).find("kind") == std::string::npos || kind_asked;
  EXPECT_EQ(status, throws_here ? QRVL_STATUS_RUNTIME_ERROR : QRVL_STATUS_OK);
  EXPECT_STREQ(qrvl_last_error_message(), throws_here ? thrown.text : "");
  EXPECT_TRUE(outputs.untouched() || !throws_here);
}

INSTANTIATE_TEST_SUITE_P(EveryBatchOperation, ThrowingModel,
                         ::testing::Combine(::testing::ValuesIn(batch_operations()), ::testing::ValuesIn(kThrowCases)),
                         [](const auto& named) {
                           return std::string(std::get<0>(named.param).name) + "_" + std::get<1>(named.param).name;
                         });

}  // namespace
}  // namespace quarvel::testing
