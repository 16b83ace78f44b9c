// The descriptor driver under an allocation failure, driven through the CPU stand-in's memory budget (host
// build only): the failure answers with its text, keeps nothing, and the next call works.
#include <gtest/gtest.h>

#include <cpu_cuda/control.hpp>
#include <string>
#include <vector>

#include "quarvel/quarvel.h"
#include "support/batch_builder.hpp"
#include "support/model_file_writer.hpp"

namespace quarvel {
namespace {

constexpr std::size_t kSomeArrays = 256;  // bytes: room for a few small arrays of a workspace, not all of them

class DescriptorDriverAllocation : public ::testing::Test {
 protected:
  void SetUp() override {
    cpu_cuda::reset();
    ASSERT_EQ(qrvl_register_cuda_engine(), 1);
    ASSERT_EQ(qrvl_load_model("cuda", file_.path().c_str(), &model_), QRVL_STATUS_OK) << qrvl_last_error_message();
    QrvlModelInfo info{};
    ASSERT_EQ(qrvl_model_info(model_, &info), QRVL_STATUS_OK);
    dimension_ = static_cast<std::size_t>(info.descriptor_dim);
  }
  void TearDown() override {
    qrvl_free_model(model_);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "a CUDA error was left pending";
    cpu_cuda::reset();
  }

  int find(const test_support::BatchArrays& b, std::vector<double>& rows) {
    rows.assign(b.types.size() * dimension_, 0.0);
    const QrvlStructureBatch batch = b.view();
    QrvlFindDescriptorResult result{rows.data()};
    return qrvl_find_descriptors(model_, &batch, &result);
  }

  test_support::TempModelFile file_{
      test_support::write_model(test_support::compact_shape("nep4", {"C", "H"})).text};
  QrvlModel* model_ = nullptr;
  std::size_t dimension_ = 0;
};

TEST_F(DescriptorDriverAllocation, FailureKeepsNothingAndTheNextCallWorks) {
  const test_support::BatchArrays b = test_support::BatchArrays::consecutive({3, 2}, 2);
  std::vector<double> expected;
  ASSERT_EQ(find(b, expected), QRVL_STATUS_OK) << qrvl_last_error_message();

  // A fresh model has no workspace yet: its first call must allocate one.
  qrvl_free_model(model_);
  ASSERT_EQ(qrvl_load_model("cuda", file_.path().c_str(), &model_), QRVL_STATUS_OK);
  const std::size_t loaded = cpu_cuda::live_allocation_count();
  cpu_cuda::set_memory_budget(0, cpu_cuda::live_allocation_bytes() + kSomeArrays);
  std::vector<double> rows;
  EXPECT_EQ(find(b, rows), QRVL_STATUS_RUNTIME_ERROR);
  EXPECT_NE(std::string(qrvl_last_error_message()).find("out of memory"), std::string::npos)
      << qrvl_last_error_message();
  EXPECT_EQ(cpu_cuda::live_allocation_count(), loaded);  // the partial workspace was released

  cpu_cuda::set_memory_budget(0, cpu_cuda::default_device().total_global_mem);
  ASSERT_EQ(find(b, rows), QRVL_STATUS_OK) << qrvl_last_error_message();
  EXPECT_EQ(rows, expected);
}

}  // namespace
}  // namespace quarvel
