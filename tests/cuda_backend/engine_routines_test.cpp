#include "cuda_backend/engine_routines.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "quarvel/engine.hpp"
#include "support/device_test.hpp"
#include "support/protocol_shapes.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::download;
using test_support::upload;
using ::testing::ElementsAre;
using ::testing::Each;

TEST(MakeStructureBox, InvertsACellAndSetsAllFlags) {
  const double cell[9] = {4.0, 1.0, 0.0, 0.0, 5.0, 0.5, 0.0, 0.0, 2.0};
  const std::int32_t pbc[3] = {1, 1, 1};
  SimulationBox box{};
  ASSERT_TRUE(make_structure_box(cell, pbc, box));
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      double product = 0.0;
      for (int k = 0; k < 3; ++k) product += cell[3 * r + k] * box.inverse[3 * k + c];
      EXPECT_NEAR(product, r == c ? 1.0 : 0.0, 1e-15);  // double rounding of a unit-sized inverse
    }
  }
  EXPECT_THAT(box.pbc, ElementsAre(1, 1, 1));
  EXPECT_EQ(box.box[1], 1.0);
}

TEST(MakeStructureBox, RefusesANearlySingularCellWithoutWritingTheInverse) {
  const double cell[9] = {1e-13, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0};
  const std::int32_t pbc[3] = {1, 1, 1};
  SimulationBox box{};
  box.inverse[0] = 42.0;
  EXPECT_FALSE(make_structure_box(cell, pbc, box));
  EXPECT_EQ(box.inverse[0], 42.0);
}

TEST(MakeStructureBox, RefusesAnOpenAxisAfterWritingTheInverse) {
  const double cell[9] = {2.0, 0.0, 0.0, 0.0, 2.0, 0.0, 0.0, 0.0, 2.0};
  const std::int32_t pbc[3] = {1, 1, 0};
  SimulationBox box{};
  EXPECT_FALSE(make_structure_box(cell, pbc, box));
  EXPECT_EQ(box.inverse[0], 0.5);
  EXPECT_FALSE(make_structure_box(cell, nullptr, box));
}

TEST(MakeStructureBox, RefusesANonFiniteInverse) {
  const double inf = std::numeric_limits<double>::infinity();
  const double cell[9] = {inf, 0.0, 0.0, 0.0, 2.0, 0.0, 0.0, 0.0, 2.0};
  const std::int32_t pbc[3] = {1, 1, 1};
  SimulationBox box{};
  EXPECT_FALSE(make_structure_box(cell, pbc, box));
}

struct PipelineCase {
  const char* name;
  ModelProtocol protocol;
  bool supported;
};

// Test names and failure output show the case by its name, not its bytes.
void PrintTo(const PipelineCase& c, std::ostream* os) { *os << c.name; }

ModelProtocol with(ModelProtocol p, void (*change)(ModelProtocol&)) {
  change(p);
  return p;
}

std::vector<PipelineCase> pipeline_cases() {
  const ModelProtocol base = test_support::minimal_protocol();
  return {
      {"Nep4", base, true},
      {"Nep5", with(base, [](ModelProtocol& p) { p.version = 5; }), true},
      {"Nep3", with(base, [](ModelProtocol& p) { p.version = 3; }), false},
      {"Charge", with(base, [](ModelProtocol& p) { p.charge_mode = 1; }), false},
      {"SpinWithinLimits", test_support::spin_protocol(4, 3, 4, 1), true},
      {"SpinCompressFive", test_support::spin_protocol(5, 7, 0, 0), false},
      {"SpinBasisBelowCompress", test_support::spin_protocol(2, 0, 0, 0), false},
      {"SpinOrderFive", test_support::spin_protocol(1, 1, 5, 0), false},
      {"Zbl", with(base, [](ModelProtocol& p) { p.has_zbl = true; p.zbl_rc_inner = 1.0; p.zbl_rc_outer = 2.0; }), true},
      {"ZblInnerAtOuter",
       with(base, [](ModelProtocol& p) { p.has_zbl = true; p.zbl_rc_inner = 2.0; p.zbl_rc_outer = 2.0; }), false},
      {"ZblNaN",
       with(base,
            [](ModelProtocol& p) {
              p.has_zbl = true;
              p.zbl_rc_inner = std::nan("");
              p.zbl_rc_outer = 2.0;
            }),
       false},
      {"FlexibleZblIgnoresInner",
       with(base,
            [](ModelProtocol& p) {
              p.has_zbl = p.flexible_zbl = true;
              p.zbl_rc_inner = 5.0;
              p.zbl_rc_outer = 2.0;
            }),
       true},
      {"FlexibleZblWithoutRecords", with(base, [](ModelProtocol& p) { p.has_zbl = p.flexible_zbl = true; }), false},
      {"AngularOrderNine", with(base, [](ModelProtocol& p) { p.body_channels.l_max_3body = 9; }), false},
  };
}

class SupportsForcePipeline : public ::testing::TestWithParam<PipelineCase> {};

TEST_P(SupportsForcePipeline, ByModelShape) {
  EXPECT_EQ(supports_force_pipeline(GetParam().protocol), GetParam().supported);
}

INSTANTIATE_TEST_SUITE_P(Shapes, SupportsForcePipeline, ::testing::ValuesIn(pipeline_cases()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(ReportInvalidArgument, StoresTheTextAndAnswersOne) {
  clear_last_error();
  EXPECT_EQ(report_invalid_argument("atom_count must be positive"), QRVL_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(qrvl_last_error_message(), "atom_count must be positive");
}

class EngineRoutinesDeviceTest : public test_support::DeviceTest {};

TEST_F(EngineRoutinesDeviceTest, ClearsAndDownloadsDeviceArrays) {
  DeviceWorkspace ws(make_internal_neighbor_workspace_plan(test_support::minimal_protocol(), 3, 1, false));
  const DeviceWorkspaceView v = ws.view();
  upload(v.potential, std::vector<double>{1.5, 2.5, 3.5});
  EXPECT_THAT(download_device_doubles(v.potential, 3), ElementsAre(1.5, 2.5, 3.5));
  clear_device_doubles(v.potential, 3);
  EXPECT_THAT(download_device_doubles(v.potential, 3), Each(0.0));
  upload(v.fp, std::vector<float>{0.25f, 0.5f, 0.75f});
  EXPECT_THAT(download_device_floats(v.fp, 3), ElementsAre(0.25f, 0.5f, 0.75f));
}

TEST_F(EngineRoutinesDeviceTest, ADownloadNoVectorCanHoldIsRefusedBeforeAnyCopy) {
  EXPECT_THAT([] { download_device_doubles(nullptr, std::numeric_limits<std::size_t>::max()); },
              ::testing::ThrowsMessage<std::length_error>(
                  ::testing::StrEq("cannot create std::vector larger than max_size()")));
}

TEST_F(EngineRoutinesDeviceTest, LapTimerMeasuresAndRestarts) {
  LapTimer timer;
  ASSERT_EQ(cudaEventCreate(&timer.start), cudaSuccess);
  ASSERT_EQ(cudaEventCreate(&timer.stop), cudaSuccess);
  ASSERT_EQ(cudaEventRecord(timer.start, nullptr), cudaSuccess);
  float first = -1.0f;
  float second = -1.0f;
  timer.lap(first);
  timer.lap(second);
  EXPECT_GE(first, 0.0f);
  EXPECT_GE(second, 0.0f);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

// A spin workspace of capacity 4 holding two atoms' outputs, copied into a result at offsets (1 structure, 1 atom).
class CopyOutputsTest : public test_support::DeviceTest {
 protected:
  void SetUp() override {
    test_support::DeviceTest::SetUp();
    if (IsSkipped()) return;
    ws_ = DeviceWorkspace(
        make_internal_neighbor_workspace_plan(test_support::spin_protocol(1, 1, 0, 0), kCapacity, 1, true));
    const DeviceWorkspaceView v = ws_.view();
    upload(v.structure_energy, std::vector<double>{-3.0});
    upload(v.output_forces_aos3, std::vector<double>{1, 2, 3, 4, 5, 6, 0, 0, 0, 0, 0, 0});
    upload(v.potential, std::vector<double>{-1.0, -2.0, 0.0, 0.0});
    upload(v.output_mforces_aos3, std::vector<double>{7, 8, 9, 10, 11, 12, 0, 0, 0, 0, 0, 0});
    std::vector<float> transfer(9 * kCapacity, 0.0f);
    for (int k = 0; k < 9; ++k) {
      transfer[k * kCapacity + 0] = static_cast<float>(k);
      transfer[k * kCapacity + 1] = static_cast<float>(10 + k);
    }
    upload(v.spin_transfer_soa9, transfer);
  }

  static constexpr int kCapacity = 4;
  DeviceWorkspace ws_;
  std::vector<double> energy_ = std::vector<double>(2, 99.0);
  std::vector<double> force_ = std::vector<double>(9, 99.0);
  std::vector<double> potential_ = std::vector<double>(3, 99.0);
  std::vector<double> mforce_ = std::vector<double>(9, 99.0);
  std::vector<double> transfer_ = std::vector<double>(27, 99.0);
};

TEST_F(CopyOutputsTest, CopiesASpinPassAtItsOffsetsEvenWithoutMagneticForces) {
  QrvlFindForceResult result{};
  result.energy = energy_.data();
  result.force = force_.data();
  result.potential = potential_.data();
  result.spin_transfer = transfer_.data();
  copy_outputs_to_host(ws_.view(), 1, 2, 1, 1, true, false, result);
  EXPECT_THAT(energy_, ElementsAre(99.0, -3.0));
  EXPECT_THAT(force_, ElementsAre(99, 99, 99, 1, 2, 3, 4, 5, 6));
  EXPECT_THAT(potential_, ElementsAre(99.0, -1.0, -2.0));
  for (int k = 0; k < 9; ++k) {
    EXPECT_EQ(transfer_[9 + k], k);
    EXPECT_EQ(transfer_[18 + k], 10 + k);
  }
}

TEST_F(CopyOutputsTest, LeavesMagneticForcesAloneOnANonSpinPass) {
  QrvlFindForceResult result{};
  result.energy = energy_.data();
  result.force = force_.data();
  result.mforce = mforce_.data();
  copy_outputs_to_host(ws_.view(), 1, 2, 0, 0, false, false, result);
  EXPECT_THAT(mforce_, Each(99.0));
  copy_outputs_to_host(ws_.view(), 1, 2, 0, 0, true, false, result);
  EXPECT_THAT(mforce_, ElementsAre(7, 8, 9, 10, 11, 12, 99, 99, 99));
}

}  // namespace
}  // namespace quarvel::cuda_backend
