// The batch driver's workspace cache under allocation failures, driven through the CPU stand-in's failure
// injection (host build only).
#include <gtest/gtest.h>

#include <cpu_cuda/control.hpp>
#include <string>

#include "batch_driver_fixture.hpp"

namespace quarvel::cuda_backend::driver_test {
namespace {

using test_support::BatchArrays;

constexpr std::size_t kSomeArrays = 256;  // bytes: room for a few small arrays of a workspace, not all of them

class BatchDriverAllocation : public BatchDriverTest {
 protected:
  static void lift_budget() { cpu_cuda::set_memory_budget(0, cpu_cuda::default_device().total_global_mem); }

  void SetUp() override {
    cpu_cuda::reset();
    BatchDriverTest::SetUp();
  }
  void TearDown() override {
    BatchDriverTest::TearDown();
    workspace_.reset();
    cpu_cuda::reset();
  }
};

TEST_F(BatchDriverAllocation, FailureLeavesNoWorkspaceAndTheNextCallSucceeds) {
  const BatchArrays b = BatchArrays::consecutive({3, 2}, 2, 10.0);
  ResultArrays r(2, 5);
  const std::size_t before = cpu_cuda::live_allocation_count();
  cpu_cuda::set_memory_budget(0, kSomeArrays);
  EXPECT_EQ(evaluate(b.view(), r.view()), QRVL_STATUS_RUNTIME_ERROR);
  EXPECT_NE(std::string(qrvl_last_error_message()).find("out of memory"), std::string::npos)
      << qrvl_last_error_message();
  EXPECT_EQ(workspace_, nullptr);
  EXPECT_EQ(atom_capacity_, 0u);
  EXPECT_EQ(cpu_cuda::live_allocation_count(), before);  // the partial workspace was released
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);

  lift_budget();
  ASSERT_EQ(evaluate(b.view(), r.view()), QRVL_STATUS_OK) << qrvl_last_error_message();
  EXPECT_EQ(r.force[3], b.positions[3]);
}

TEST_F(BatchDriverAllocation, FailedRebuildKeepsTheCachedWorkspace) {
  const BatchArrays small = BatchArrays::consecutive({2, 2}, 2, 10.0);
  ResultArrays r(2, 4);
  ASSERT_EQ(evaluate(small.view(), r.view()), QRVL_STATUS_OK) << qrvl_last_error_message();
  const DeviceWorkspace* cached = workspace_.get();

  const BatchArrays large = BatchArrays::consecutive({6, 5, 4}, 2, 10.0);
  ResultArrays big(3, 15);
  cpu_cuda::set_memory_budget(0, cpu_cuda::live_allocation_bytes() + kSomeArrays);
  EXPECT_EQ(evaluate(large.view(), big.view()), QRVL_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(workspace_.get(), cached);
  EXPECT_EQ(atom_capacity_, 4u);
  EXPECT_EQ(structure_capacity_, 2u);

  lift_budget();
  ResultArrays again(2, 4);
  ASSERT_EQ(evaluate(small.view(), again.view()), QRVL_STATUS_OK);
  EXPECT_EQ(workspace_.get(), cached);
  EXPECT_EQ(again.force, r.force);
  ASSERT_EQ(evaluate(large.view(), big.view()), QRVL_STATUS_OK);
  EXPECT_EQ(atom_capacity_, 15u);
}

}  // namespace
}  // namespace quarvel::cuda_backend::driver_test
