// The spin descriptor stage under the CPU stand-in's launch-failure injection (host build only): a failed core
// or chiral launch is reported under the stage's own text and does not linger as the runtime's last error.
#include <gtest/gtest.h>

#include <cpu_cuda/control.hpp>
#include <stdexcept>
#include <string>

#include "cuda_backend/pipeline_stages.hpp"
#include "cuda_backend/workspace_plan.hpp"
#include "support/loaded_model.hpp"

namespace quarvel::cuda_backend {
namespace {

constexpr int kAtoms = 3;

class SpinDescriptorStandIn : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override { cpu_cuda::reset(); }
  void TearDown() override { cpu_cuda::reset(); }
};

// Parameter: which launch fails, 1 the core kernel, 2 the chiral kernel queued after it.
TEST_P(SpinDescriptorStandIn, ReportsAFailedLaunchUnderItsStep) {
  test_support::ModelShape shape = test_support::compact_shape("nep4_spin", {"Fe"}, 2);
  shape.spin.chiral = 1;
  const auto model = test_support::load_model(shape);
  DeviceWorkspace workspace(make_internal_neighbor_workspace_plan(model->protocol(), kAtoms, 1, false));
  cpu_cuda::inject_failure(cpu_cuda::Operation::launch, GetParam(), cudaErrorLaunchOutOfResources);
  try {
    build_spin_descriptors_on_device(model->protocol(), kAtoms, SimulationBox{}, model->device, workspace);
    ADD_FAILURE() << "no failure reported";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), std::string("build spin descriptors kernel launch failed: ") +
                                             cudaGetErrorString(cudaErrorLaunchOutOfResources));
  }
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

INSTANTIATE_TEST_SUITE_P(Launches, SpinDescriptorStandIn, ::testing::Values(1, 2), [](const auto& launch) {
  return launch.param == 1 ? std::string("CoreKernel") : std::string("ChiralKernel");
});

}  // namespace
}  // namespace quarvel::cuda_backend
