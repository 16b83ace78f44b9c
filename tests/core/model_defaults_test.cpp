#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/flat_calls.hpp"
#include "quarvel/engine.hpp"

namespace quarvel::testing {
namespace {

using quarvel::testing::operator<<;  // the cases below print as their names

constexpr unsigned char kJunkByte = 0x5A;  // fills records that a default must clear

// One operation an engine may leave out, called on the object interface.
struct DefaultCase {
  const char* name;
  int (*call)(Model& model, FlatOutputs& outputs, const QrvlStructureBatch& batch);
};

const DefaultCase kDefaultCases[] = {
    {"evaluate_batch", [](Model& m, FlatOutputs& o, const QrvlStructureBatch& b) { return m.evaluate_batch(b, o.evaluate); }},
    {"find_charge_batch",
     [](Model& m, FlatOutputs& o, const QrvlStructureBatch& b) { return m.find_charge_batch(b, o.force); }},
    {"find_descriptors",
     [](Model& m, FlatOutputs& o, const QrvlStructureBatch& b) { return m.find_descriptors(b, o.descriptors); }},
    {"find_dipoles", [](Model& m, FlatOutputs& o, const QrvlStructureBatch& b) { return m.find_dipoles(b, o.dipoles); }},
    {"find_polarizabilities",
     [](Model& m, FlatOutputs& o, const QrvlStructureBatch& b) {
       return m.find_polarizabilities(b, o.polarizabilities);
     }},
    {"compute_dftd3_batch",
     [](Model& m, FlatOutputs& o, const QrvlStructureBatch& b) {
       return m.compute_dftd3_batch(b, o.dftd3_parameters, o.dftd3, false);
     }},
    {"compute_dftd3_batch_with_model",
     [](Model& m, FlatOutputs& o, const QrvlStructureBatch& b) {
       return m.compute_dftd3_batch(b, o.dftd3_parameters, o.dftd3, true);
     }},
    {"find_force_lammps_neighbors",
     [](Model& m, FlatOutputs& o, const QrvlStructureBatch&) {
       return m.find_force_lammps_neighbors(o.lammps_input, o.lammps);
     }},
    {"find_force_lammps_device_neighbors",
     [](Model& m, FlatOutputs& o, const QrvlStructureBatch&) {
       return m.find_force_lammps_device_neighbors(o.lammps_device_input, o.lammps_device);
     }},
};

class LeftOutOperation : public ::testing::TestWithParam<DefaultCase> {};

TEST_P(LeftOutOperation, AnswersUnsupportedWithoutTextOrOutput) {
  MinimalModel model;
  const ValidBatch valid;
  FlatOutputs outputs;
  clear_last_error();
  EXPECT_EQ(GetParam().call(model, outputs, valid.record()), QRVL_STATUS_UNSUPPORTED);
  EXPECT_STREQ(qrvl_last_error_message(), "");
  EXPECT_TRUE(outputs.untouched());
}

INSTANTIATE_TEST_SUITE_P(MinimalModel, LeftOutOperation, ::testing::ValuesIn(kDefaultCases),
                         [](const auto& named) { return std::string(named.param.name); });

TEST(LeftOutQueries, ClearTheirRecordAndAnswerUnsupported) {
  MinimalModel model;
  QrvlModelInfo info;
  std::memset(&info, kJunkByte, sizeof info);
  EXPECT_EQ(model.model_info(info), QRVL_STATUS_UNSUPPORTED);
  EXPECT_EQ(info.cutoff_radial, 0.0);
  EXPECT_EQ(info.cutoff_angular, 0.0);
  EXPECT_EQ(info.cutoff_max, 0.0);
  EXPECT_EQ(info.capabilities, 0u);
  EXPECT_EQ(info.num_types, 0);
  EXPECT_EQ(info.descriptor_dim, 0);

  QrvlWorkspaceEstimate estimate;
  std::memset(&estimate, kJunkByte, sizeof estimate);
  EXPECT_EQ(model.estimate_workspace(1, 1, estimate), QRVL_STATUS_UNSUPPORTED);
  EXPECT_EQ(estimate.model_bytes, 0u);
  EXPECT_EQ(estimate.workspace_bytes, 0u);
  EXPECT_EQ(estimate.total_bytes, 0u);
  EXPECT_EQ(estimate.atom_capacity, 0);
  EXPECT_EQ(estimate.structure_capacity, 0);

  EXPECT_EQ(model.model_kind(), QRVL_MODEL_KIND_ORDINARY);
  EXPECT_FALSE(model.cancel_requested.load());
}

// The same defaults seen through the flat interface, for every operation that routes a kind-0 model on to them.
TEST(LeftOutOperations, ReachCallersThroughTheFlatInterface) {
  LoadedModel model("minimal");
  ASSERT_EQ(model.status(), QRVL_STATUS_OK);
  const ValidBatch valid;
  const QrvlStructureBatch batch = valid.record();
  FlatOutputs outputs;
  for (const char* name : {"evaluate_batch", "find_descriptors", "compute_dftd3_batch", "compute_with_dftd3_batch"}) {
    EXPECT_EQ(batch_operation(name).call(model.handle(), &batch, outputs), QRVL_STATUS_UNSUPPORTED) << name;
    EXPECT_STREQ(qrvl_last_error_message(), "") << name;
  }
  EXPECT_EQ(qrvl_find_force_lammps_neighbors(model.handle(), &outputs.lammps_input, &outputs.lammps),
            QRVL_STATUS_UNSUPPORTED);
  QrvlModelInfo info{};
  EXPECT_EQ(qrvl_model_info(model.handle(), &info), QRVL_STATUS_UNSUPPORTED);
  EXPECT_STREQ(qrvl_last_error_message(), "");
  int32_t kind = -1;
  EXPECT_EQ(qrvl_model_kind(model.handle(), &kind), QRVL_STATUS_OK);
  EXPECT_EQ(kind, QRVL_MODEL_KIND_ORDINARY);
  EXPECT_TRUE(outputs.untouched());
  EXPECT_EQ(qrvl_find_force_batch(model.handle(), &batch, &outputs.force), QRVL_STATUS_OK);
  EXPECT_EQ(outputs.written(), 1);
}

}  // namespace
}  // namespace quarvel::testing
