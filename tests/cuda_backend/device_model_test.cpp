#include "cuda_backend/device_model.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "support/device_test.hpp"

namespace quarvel::cuda_backend {
namespace {

// Host parameters of a non-spin model with distinct values per array.
HostModelParameters ordinary_parameters() {
  HostModelParameters p;
  p.protocol.num_types = 2;
  p.ann_type_major = {1.0f, 2.0f, 3.0f};
  p.ann_type_major_qscaled = {4.0f, 5.0f, 6.0f};
  p.descriptor_coefficients = {7.0f, 8.0f};
  p.type_pair_major_descriptor_coefficients = {9.0f, 10.0f};
  p.center_type_major_angular_coefficients = {11.0f};
  p.q_scaler = {0.5f, 0.25f, 0.125f, 1.0f, 2.0f};
  p.radial_pair_cutoffs = {5.0f, 5.0f, 5.0f, 5.0f};
  p.angular_pair_cutoffs = {4.0f, 4.0f, 4.0f, 4.0f};
  p.atomic_numbers = {6, 1};
  return p;
}

class DeviceModelTest : public test_support::DeviceTest {};

TEST_F(DeviceModelTest, UploadsEveryArrayUnchangedAndCountsElements) {
  const HostModelParameters host = ordinary_parameters();
  const DeviceModel model(host);
  const DeviceModelView v = model.view();
  EXPECT_EQ(test_support::download(v.ann_type_major, 3), host.ann_type_major);
  EXPECT_EQ(test_support::download(v.q_scaler, 5), host.q_scaler);
  EXPECT_EQ(test_support::download(v.atomic_numbers, 2), host.atomic_numbers);
  EXPECT_EQ(v.q_scaler_count, 5u);  // elements, not bytes
  EXPECT_EQ(model.upload_summary().array_bytes[5], 20u);
}

TEST_F(DeviceModelTest, EmptyArraysStayNullWithZeroCountsAndBytes) {
  const DeviceModel model(ordinary_parameters());
  const DeviceModelView v = model.view();
  EXPECT_EQ(v.zbl_pair_parameters, nullptr);
  EXPECT_EQ(v.spin_baseline, nullptr);
  EXPECT_EQ(v.spin_dof_type_active, nullptr);
  EXPECT_EQ(v.spin_env_type_active, nullptr);
  EXPECT_EQ(v.spin_baseline_count, 0u);
  EXPECT_EQ(model.upload_summary().array_bytes[9], 0u);
}

TEST_F(DeviceModelTest, TotalBytesCountsFourPerFloatOrIntAndEightPerDouble) {
  HostModelParameters host = ordinary_parameters();
  host.protocol.spin_dof_type = {1, 0};
  host.protocol.spin_env_type = {1, 1};
  host.spin_baseline = {0.5, 0.25};
  const DeviceModel model(host);
  // 3 + 3 + 2 + 2 + 1 + 5 + 4 + 4 floats, 2 + 2 + 2 ints, 2 doubles.
  EXPECT_EQ(model.upload_summary().total_bytes, 4u * (24 + 6) + 8u * 2);
  EXPECT_EQ(test_support::download(model.view().spin_dof_type_active, 2), host.protocol.spin_dof_type);
}

TEST_F(DeviceModelTest, MovingLeavesTheSourceEmpty) {
  DeviceModel source(ordinary_parameters());
  const DeviceModelView before = source.view();
  DeviceModel target(std::move(source));
  EXPECT_EQ(target.view().ann_type_major, before.ann_type_major);
  EXPECT_EQ(source.view().ann_type_major, nullptr);
  EXPECT_EQ(source.view().ann_type_major_count, 0u);
  EXPECT_EQ(source.upload_summary().total_bytes, 0u);
}

}  // namespace
}  // namespace quarvel::cuda_backend
