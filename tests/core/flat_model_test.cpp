#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <tuple>
#include <vector>
#include <thread>

#include "core/flat_calls.hpp"
#include "quarvel/engine.hpp"

namespace quarvel::testing {
namespace {

using quarvel::testing::operator<<;  // the cases below print as their names

constexpr const char* kStaleText = "text of an earlier call";

// A handle value no call may keep: a refusal must overwrite it with null, a null-argument answer must leave it.
QrvlModel* const kForeignHandle = reinterpret_cast<QrvlModel*>(alignof(std::max_align_t));

// --- loading ----------------------------------------------------------------------------------------------------

struct LoadCase {
  const char* name;
  const char* backend;
  const char* path;
  int status;
  const char* text;
};

const LoadCase kLoadCases[] = {
    {"loads", kFakeEngineName, "ordinary", QRVL_STATUS_OK, ""},
    {"unknown_backend", "no-such-engine", "ordinary", QRVL_STATUS_BACKEND_UNAVAILABLE, ""},
    {"backend_name_prefix", "fak", "ordinary", QRVL_STATUS_BACKEND_UNAVAILABLE, ""},
    {"backend_name_longer", "fake ", "ordinary", QRVL_STATUS_BACKEND_UNAVAILABLE, ""},
    {"empty_backend_name", "", "ordinary", QRVL_STATUS_BACKEND_UNAVAILABLE, ""},
    {"engine_refuses_argument", kFakeEngineName, "", QRVL_STATUS_INVALID_ARGUMENT, ""},
    {"engine_refuses_model", kFakeEngineName, "refused", QRVL_STATUS_UNSUPPORTED, kLoadRefusalText},
    {"engine_fails", kFakeEngineName, "nowhere", QRVL_STATUS_RUNTIME_ERROR, "fake engine cannot open nowhere"},
    {"ok_without_model", kFakeEngineName, "empty", QRVL_STATUS_RUNTIME_ERROR, ""},
    {"engine_throws", kFakeEngineName, "throws", QRVL_STATUS_RUNTIME_ERROR, kLoadFailureText},
    {"engine_throws_other", kFakeEngineName, "throws-other", QRVL_STATUS_RUNTIME_ERROR, "unknown exception"},
};

class LoadModel : public ::testing::TestWithParam<LoadCase> {};

TEST_P(LoadModel, AnswersItsStatusAndTextAndOwnsOnlyWhatItReturns) {
  const LoadCase& load = GetParam();
  FakeEngine& engine = registered_fake_engine();
  const int live_before = engine.live_models();
  QrvlModel* handle = kForeignHandle;
  set_last_error(kStaleText);

  EXPECT_EQ(qrvl_load_model(load.backend, load.path, &handle), load.status);
  EXPECT_STREQ(qrvl_last_error_message(), load.text);
  if (load.status == QRVL_STATUS_OK) {
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(engine.live_models(), live_before + 1);
    qrvl_free_model(handle);
  } else {
    EXPECT_EQ(handle, nullptr);
  }
  // Whatever the engine left behind on a failure has been destroyed, and a freed handle took its model along.
  EXPECT_EQ(engine.live_models(), live_before);
}

INSTANTIATE_TEST_SUITE_P(Routes, LoadModel, ::testing::ValuesIn(kLoadCases),
                         [](const auto& named) { return std::string(named.param.name); });

struct LoadNullCase {
  const char* name;
  bool backend;
  bool path;
  bool out;
};

class LoadModelNullArgument : public ::testing::TestWithParam<LoadNullCase> {};

TEST_P(LoadModelNullArgument, AnswersInvalidArgumentAndLeavesOut) {
  const LoadNullCase& given = GetParam();
  registered_fake_engine();
  QrvlModel* handle = kForeignHandle;
  set_last_error(kStaleText);
  EXPECT_EQ(qrvl_load_model(given.backend ? kFakeEngineName : nullptr, given.path ? "ordinary" : nullptr,
                            given.out ? &handle : nullptr),
            QRVL_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(qrvl_last_error_message(), "");
  EXPECT_EQ(handle, kForeignHandle);
}

INSTANTIATE_TEST_SUITE_P(Arguments, LoadModelNullArgument,
                         ::testing::Values(LoadNullCase{"backend", false, true, true},
                                           LoadNullCase{"path", true, false, true},
                                           LoadNullCase{"out", true, true, false}),
                         [](const auto& named) { return std::string(named.param.name); });

TEST(FreeModel, IgnoresANullHandleAndKeepsTheLastError) {
  set_last_error(kStaleText);
  qrvl_free_model(nullptr);
  EXPECT_STREQ(qrvl_last_error_message(), kStaleText);
}

// --- the operations that take no batch --------------------------------------------------------------------------

// Storage for the outputs of the query and LAMMPS operations.
struct QueryOutputs {
  FlatOutputs flat;
  QrvlModelInfo info{};
  QrvlWorkspaceEstimate estimate{};
  int32_t kind = -1;
};

struct QueryOperation {
  const char* name;
  // `omit` 0: nothing omitted; 1: the output record; 2: the input record (LAMMPS only).
  int (*call)(QrvlModel* model, QueryOutputs& outputs, int omit);
};

constexpr int kOmitOutput = 1;
constexpr int kOmitInput = 2;
constexpr int kAtomCapacity = 128;
constexpr int kStructureCapacity = 4;

const QueryOperation kQueryOperations[] = {
    {"model_info",
     [](QrvlModel* m, QueryOutputs& o, int omit) { return qrvl_model_info(m, omit == kOmitOutput ? nullptr : &o.info); }},
    {"model_kind",
     [](QrvlModel* m, QueryOutputs& o, int omit) { return qrvl_model_kind(m, omit == kOmitOutput ? nullptr : &o.kind); }},
    {"estimate_workspace",
     [](QrvlModel* m, QueryOutputs& o, int omit) {
       return qrvl_estimate_workspace(m, kAtomCapacity, kStructureCapacity,
                                      omit == kOmitOutput ? nullptr : &o.estimate);
     }},
    {"find_force_lammps_neighbors",
     [](QrvlModel* m, QueryOutputs& o, int omit) {
       return qrvl_find_force_lammps_neighbors(m, omit == kOmitInput ? nullptr : &o.flat.lammps_input,
                                               omit == kOmitOutput ? nullptr : &o.flat.lammps);
     }},
    {"find_force_lammps_device_neighbors",
     [](QrvlModel* m, QueryOutputs& o, int omit) {
       return qrvl_find_force_lammps_device_neighbors(m, omit == kOmitInput ? nullptr : &o.flat.lammps_device_input,
                                                      omit == kOmitOutput ? nullptr : &o.flat.lammps_device);
     }},
};

bool query_outputs_untouched(const QueryOutputs& outputs) {
  return outputs.flat.untouched() && outputs.info.num_types == 0 && outputs.estimate.atom_capacity == 0 &&
         outputs.kind == -1;
}

const char* omitted_name(int omit) {
  switch (omit) {
    case kOmitOutput:
      return "output";
    case kOmitInput:
      return "input";
    default:
      return "model";
  }
}

class QueryNullArgument : public ::testing::TestWithParam<std::tuple<QueryOperation, int>> {};

TEST_P(QueryNullArgument, AnswersInvalidArgumentAndWritesNothing) {
  const auto& [operation, omit] = GetParam();
  LoadedModel model("ordinary");
  QueryOutputs outputs;
  set_last_error(kStaleText);
  EXPECT_EQ(operation.call(omit == 0 ? nullptr : model.handle(), outputs, omit), QRVL_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(qrvl_last_error_message(), "");
  EXPECT_TRUE(query_outputs_untouched(outputs));
  EXPECT_EQ(registered_fake_engine().last_loaded_model()->last_operation(), Operation::none);
}

// Model and output of every operation; the input record of the two LAMMPS operations, the only ones with one.
std::vector<std::tuple<QueryOperation, int>> query_null_cases() {
  std::vector<std::tuple<QueryOperation, int>> cases;
  for (const QueryOperation& operation : kQueryOperations) {
    cases.emplace_back(operation, 0);
    cases.emplace_back(operation, kOmitOutput);
    if (std::string(operation.name).find("lammps") != std::string::npos) {
      cases.emplace_back(operation, kOmitInput);
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(
    EveryOperation, QueryNullArgument, ::testing::ValuesIn(query_null_cases()),
    [](const auto& named) {
      return std::string(std::get<0>(named.param).name) + "_" + omitted_name(std::get<1>(named.param));
    });

struct CapacityCase {
  const char* name;
  int32_t atoms;
  int32_t structures;
};

class EstimateCapacity : public ::testing::TestWithParam<CapacityCase> {};

TEST_P(EstimateCapacity, BelowOneIsAnInvalidArgument) {
  LoadedModel model("ordinary");
  QrvlWorkspaceEstimate estimate{};
  set_last_error(kStaleText);
  EXPECT_EQ(qrvl_estimate_workspace(model.handle(), GetParam().atoms, GetParam().structures, &estimate),
            QRVL_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(qrvl_last_error_message(), "");
  EXPECT_EQ(estimate.atom_capacity, 0);
  EXPECT_EQ(registered_fake_engine().last_loaded_model()->last_operation(), Operation::none);
}

INSTANTIATE_TEST_SUITE_P(Capacities, EstimateCapacity,
                         ::testing::Values(CapacityCase{"no_atoms", 0, 1}, CapacityCase{"negative_atoms", -3, 1},
                                           CapacityCase{"no_structures", 1, 0},
                                           CapacityCase{"negative_structures", 1, -1}),
                         [](const auto& named) { return std::string(named.param.name); });

TEST(QueryOperations, HandTheModelsAnswersBack) {
  LoadedModel model("charge");
  QrvlModelInfo info{};
  ASSERT_EQ(qrvl_model_info(model.handle(), &info), QRVL_STATUS_OK);
  EXPECT_EQ(info.cutoff_radial, kFakeCutoffRadial);
  EXPECT_EQ(info.cutoff_angular, kFakeCutoffAngular);
  EXPECT_EQ(info.capabilities, kFakeEngineCapabilities);
  EXPECT_EQ(info.num_types, kFakeTypeCount);
  EXPECT_EQ(info.descriptor_dim, kFakeDescriptorDim);
  int32_t kind = -1;
  ASSERT_EQ(qrvl_model_kind(model.handle(), &kind), QRVL_STATUS_OK);
  EXPECT_EQ(kind, QRVL_MODEL_KIND_CHARGE);
  QrvlWorkspaceEstimate estimate{};
  ASSERT_EQ(qrvl_estimate_workspace(model.handle(), kAtomCapacity, kStructureCapacity, &estimate), QRVL_STATUS_OK);
  EXPECT_EQ(estimate.atom_capacity, kAtomCapacity);
  EXPECT_EQ(estimate.structure_capacity, kStructureCapacity);
}

// The LAMMPS entry points take no cell: no gate and no routing, whatever the model's kind.
TEST(LammpsOperations, ReachTheModelOfAnyKind) {
  for (const char* kind : {"ordinary", "spin", "charge", "dipole", "polarizability"}) {
    LoadedModel model(kind);
    QueryOutputs outputs;
    EXPECT_EQ(qrvl_find_force_lammps_neighbors(model.handle(), &outputs.flat.lammps_input, &outputs.flat.lammps),
              QRVL_STATUS_OK)
        << kind;
    EXPECT_EQ(registered_fake_engine().last_loaded_model()->last_operation(), Operation::find_force_lammps_neighbors);
    EXPECT_EQ(qrvl_find_force_lammps_device_neighbors(model.handle(), &outputs.flat.lammps_device_input,
                                                      &outputs.flat.lammps_device),
              QRVL_STATUS_OK)
        << kind;
    EXPECT_EQ(registered_fake_engine().last_loaded_model()->last_operation(),
              Operation::find_force_lammps_device_neighbors);
    EXPECT_EQ(outputs.flat.written(), 2);
  }
}

struct QueryThrowCase {
  const char* name;
  const char* behaviour;       // for every operation but model_kind
  const char* kind_behaviour;  // for model_kind, which the behaviour above leaves alone
  const char* text;
};

class QueryThrowingModel : public ::testing::TestWithParam<std::tuple<QueryOperation, QueryThrowCase>> {};

TEST_P(QueryThrowingModel, AnswersRuntimeErrorWithTheText) {
  const auto& [operation, thrown] = GetParam();
  const bool is_kind = std::string(operation.name) == "model_kind";
  LoadedModel model(std::string("ordinary:") + (is_kind ? thrown.kind_behaviour : thrown.behaviour));
  ASSERT_EQ(model.status(), QRVL_STATUS_OK);
  QueryOutputs outputs;
  EXPECT_EQ(operation.call(model.handle(), outputs, 0), QRVL_STATUS_RUNTIME_ERROR);
  EXPECT_STREQ(qrvl_last_error_message(), thrown.text);
  EXPECT_EQ(outputs.kind, -1);
}

INSTANTIATE_TEST_SUITE_P(
    EveryOperation, QueryThrowingModel,
    ::testing::Combine(::testing::ValuesIn(kQueryOperations),
                       ::testing::Values(QueryThrowCase{"standard", "failing", "failing-kind", kModelFailureText},
                                         QueryThrowCase{"other", "failing-other", "failing-kind-other",
                                                        "unknown exception"})),
    [](const auto& named) { return std::string(std::get<0>(named.param).name) + "_" + std::get<1>(named.param).name; });

// --- cancellation -----------------------------------------------------------------------------------------------

TEST(Cancel, HoldsUntilResetAndLeavesQueriesAlone) {
  LoadedModel model("ordinary");
  const ValidBatch valid;
  const QrvlStructureBatch batch = valid.record();
  FlatOutputs outputs;
  set_last_error(kStaleText);
  ASSERT_EQ(qrvl_cancel_model(model.handle()), QRVL_STATUS_OK);
  EXPECT_STREQ(qrvl_last_error_message(), "");
  EXPECT_EQ(qrvl_find_force_batch(model.handle(), &batch, &outputs.force), QRVL_STATUS_CANCELLED);
  EXPECT_EQ(qrvl_find_force_batch(model.handle(), &batch, &outputs.force), QRVL_STATUS_CANCELLED);
  EXPECT_EQ(qrvl_find_force_lammps_neighbors(model.handle(), &outputs.lammps_input, &outputs.lammps),
            QRVL_STATUS_CANCELLED);
  QrvlModelInfo info{};
  EXPECT_EQ(qrvl_model_info(model.handle(), &info), QRVL_STATUS_OK);
  EXPECT_TRUE(outputs.untouched());

  set_last_error(kStaleText);
  ASSERT_EQ(qrvl_reset_cancel(model.handle()), QRVL_STATUS_OK);
  EXPECT_STREQ(qrvl_last_error_message(), "");
  EXPECT_EQ(qrvl_find_force_batch(model.handle(), &batch, &outputs.force), QRVL_STATUS_OK);
}

TEST(Cancel, NullHandleIsAnInvalidArgument) {
  set_last_error(kStaleText);
  EXPECT_EQ(qrvl_cancel_model(nullptr), QRVL_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(qrvl_last_error_message(), "");
  set_last_error(kStaleText);
  EXPECT_EQ(qrvl_reset_cancel(nullptr), QRVL_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(qrvl_last_error_message(), "");
}

TEST(Cancel, ReachesAComputationRunningOnAnotherThread) {
  LoadedModel model("ordinary:waits-for-cancel");
  const ValidBatch valid;
  const QrvlStructureBatch batch = valid.record();
  FlatOutputs outputs;
  int status = QRVL_STATUS_OK;
  std::thread computing([&] { status = qrvl_find_force_batch(model.handle(), &batch, &outputs.force); });
  EXPECT_EQ(qrvl_cancel_model(model.handle()), QRVL_STATUS_OK);
  computing.join();
  EXPECT_EQ(status, QRVL_STATUS_CANCELLED);
}

}  // namespace
}  // namespace quarvel::testing
