// Memory, failure and device-selection behaviour of the engine, driven through the CPU stand-in's controls
// (host build only).
#include <gtest/gtest.h>

#include <cpu_cuda/control.hpp>
#include <cmath>
#include <string>
#include <vector>

#include "cuda_backend/cuda_engine.hpp"
#include "cuda_backend/device_workspace.hpp"
#include "cuda_backend/engine_routines.hpp"
#include "cuda_backend/runtime_probe.hpp"
#include "quarvel/quarvel.h"
#include "support/batch_builder.hpp"
#include "support/model_file_writer.hpp"
#include "support/protocol_shapes.hpp"

namespace quarvel {
namespace {

using test_support::ModelShape;

// The driver version the stand-in reports after a reset, to switch the driver back on with.
int working_driver_version() {
  int version = 0;
  EXPECT_EQ(cudaDriverGetVersion(&version), cudaSuccess);
  return version;
}

class StandinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cpu_cuda::reset();
    ASSERT_EQ(qrvl_register_cuda_engine(), 1);
  }
  void TearDown() override {
    EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "a CUDA error was left pending";
    cpu_cuda::reset();
  }
  test_support::TempModelFile file_{test_support::write_model(ModelShape{}).text};
};

TEST_F(StandinTest, LoadingAndFreeingInALoopReturnsEveryAllocation) {
  const std::size_t before = cpu_cuda::live_allocation_count();
  for (int round = 0; round < 5; ++round) {
    QrvlModel* model = nullptr;
    ASSERT_EQ(qrvl_load_model("cuda", file_.path().c_str(), &model), QRVL_STATUS_OK) << qrvl_last_error_message();
    EXPECT_GT(cpu_cuda::live_allocation_count(), before);
    qrvl_free_model(model);
    EXPECT_EQ(cpu_cuda::live_allocation_count(), before);
  }
}

TEST_F(StandinTest, EstimatingAllocatesNothing) {
  QrvlModel* model = nullptr;
  ASSERT_EQ(qrvl_load_model("cuda", file_.path().c_str(), &model), QRVL_STATUS_OK);
  const std::size_t loaded = cpu_cuda::live_allocation_bytes();
  QrvlWorkspaceEstimate estimate{};
  ASSERT_EQ(qrvl_estimate_workspace(model, 100000, 10, &estimate), QRVL_STATUS_OK);
  EXPECT_EQ(cpu_cuda::live_allocation_bytes(), loaded);
  EXPECT_EQ(estimate.model_bytes, loaded);  // the model part is exactly what the upload holds
  qrvl_free_model(model);
}

TEST_F(StandinTest, AnExhaustedBudgetFailsTheLoadWithTheUploadTextAndLeaksNothing) {
  const std::size_t before = cpu_cuda::live_allocation_count();
  cpu_cuda::set_memory_budget(0, 16);
  QrvlModel* model = nullptr;
  EXPECT_EQ(qrvl_load_model("cuda", file_.path().c_str(), &model), QRVL_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(std::string(qrvl_last_error_message()),
            std::string("upload ann_type_major: ") + cudaGetErrorString(cudaErrorMemoryAllocation));
  EXPECT_EQ(model, nullptr);
  EXPECT_EQ(cpu_cuda::live_allocation_count(), before);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  cpu_cuda::set_memory_budget(0, cpu_cuda::default_device().total_global_mem);
  ASSERT_EQ(qrvl_load_model("cuda", file_.path().c_str(), &model), QRVL_STATUS_OK);
  qrvl_free_model(model);
}

TEST_F(StandinTest, AnInjectedUploadFailureFreesTheArraysBeforeIt) {
  const std::size_t before = cpu_cuda::live_allocation_count();
  cpu_cuda::inject_failure(cpu_cuda::Operation::copy, 3, cudaErrorInvalidValue);
  QrvlModel* model = nullptr;
  EXPECT_EQ(qrvl_load_model("cuda", file_.path().c_str(), &model), QRVL_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(std::string(qrvl_last_error_message()),
            std::string("upload descriptor_coefficients: ") + cudaGetErrorString(cudaErrorInvalidValue));
  EXPECT_EQ(cpu_cuda::live_allocation_count(), before);
}

TEST_F(StandinTest, WorkspaceFallsBackToPlainAllocationWithoutStreamOrderedSupport) {
  cpu_cuda::set_async_allocation_supported(false);
  const cuda_backend::WorkspacePlan plan =
      cuda_backend::make_internal_neighbor_workspace_plan(test_support::minimal_protocol(), 4, 1, false);
  {
    const cuda_backend::DeviceWorkspace workspace(plan);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(workspace.summary().total_bytes, plan.total_bytes());
    for (const auto& array : plan.arrays) {
      const auto* record = workspace.find_allocation(array.name);
      ASSERT_NE(record, nullptr);
      EXPECT_EQ(record->buffer.mode(), cuda_backend::AllocationMode::plain) << array.name;
    }
  }
  EXPECT_EQ(cpu_cuda::live_allocation_count(), 0u);
}

TEST_F(StandinTest, WorkspaceUsesStreamOrderedAllocationWhereSupported) {
  const cuda_backend::DeviceWorkspace workspace(
      cuda_backend::make_internal_neighbor_workspace_plan(test_support::minimal_protocol(), 4, 1, false));
  EXPECT_EQ(workspace.find_allocation("types")->buffer.mode(), cuda_backend::AllocationMode::stream_ordered);
}

TEST_F(StandinTest, AFailedWorkspaceAllocationNamesTheArrayAndFreesTheOthers) {
  cpu_cuda::set_async_allocation_supported(false);
  cpu_cuda::inject_failure(cpu_cuda::Operation::allocation, 4, cudaErrorMemoryAllocation);
  const cuda_backend::WorkspacePlan plan =
      cuda_backend::make_internal_neighbor_workspace_plan(test_support::minimal_protocol(), 4, 1, false);
  EXPECT_THROW(
      {
        try {
          const cuda_backend::DeviceWorkspace workspace(plan);
        } catch (const std::runtime_error& error) {
          EXPECT_EQ(std::string(error.what()),
                    std::string("force_soa3: ") + cudaGetErrorString(cudaErrorMemoryAllocation));
          throw;
        }
      },
      std::runtime_error);
  EXPECT_EQ(cpu_cuda::live_allocation_count(), 0u);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(StandinTest, ProbeReportsAFailingKernelAndAFailingAllocation) {
  std::string detail;
  cpu_cuda::fail_kernels_on_device(0, cudaErrorNoKernelImageForDevice);
  EXPECT_FALSE(probe_cuda_device(0, detail));
  EXPECT_EQ(detail, std::string("CUDA probe kernel failed: ") + cudaGetErrorString(cudaErrorNoKernelImageForDevice));
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(cpu_cuda::live_allocation_count(), 0u);
  cpu_cuda::fail_kernels_on_device(0, cudaSuccess);
  cpu_cuda::inject_failure(cpu_cuda::Operation::allocation, 1, cudaErrorMemoryAllocation);
  EXPECT_FALSE(probe_cuda_device(0, detail));
  EXPECT_EQ(detail,
            std::string("CUDA probe allocation failed: ") + cudaGetErrorString(cudaErrorMemoryAllocation));
  cpu_cuda::inject_failure(cpu_cuda::Operation::copy, 1, cudaErrorInvalidValue);
  EXPECT_FALSE(probe_cuda_device(0, detail));
  EXPECT_EQ(detail, std::string("CUDA probe kernel failed: ") + cudaGetErrorString(cudaErrorInvalidValue));
  EXPECT_EQ(cpu_cuda::live_allocation_count(), 0u);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(StandinTest, ProbeDiscardsAnEarlierPendingErrorAndStaysOnTheProbedDevice) {
  cpu_cuda::set_devices({cpu_cuda::default_device(), cpu_cuda::default_device()});
  void* pointer = nullptr;
  EXPECT_NE(cudaMalloc(&pointer, std::size_t{1} << 62), cudaSuccess);  // leaves a non-sticky error pending
  std::string detail;
  EXPECT_TRUE(probe_cuda_device(1, detail)) << detail;
  int current = -1;
  ASSERT_EQ(cudaGetDevice(&current), cudaSuccess);
  EXPECT_EQ(current, 1);
}

// A model keeps the device it was loaded on: later device switches on the calling thread neither move its
// work nor its frees, and every flat call gives the caller's device back.
TEST_F(StandinTest, AModelWorksOnItsOwnDeviceAndRestoresTheCallers) {
  cpu_cuda::set_devices({cpu_cuda::default_device(), cpu_cuda::default_device()});
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  QrvlModel* model = nullptr;
  ASSERT_EQ(qrvl_load_model("cuda", file_.path().c_str(), &model), QRVL_STATUS_OK);
  std::string detail;
  ASSERT_TRUE(probe_cuda_device(0, detail)) << detail;  // the caller's thread moves to device 0
  const test_support::BatchArrays arrays = test_support::BatchArrays::consecutive({1}, 1);
  const QrvlStructureBatch batch = arrays.view();
  std::vector<double> energy(1), force(3);
  QrvlFindForceResult result{};
  result.energy = energy.data();
  result.force = force.data();
  (void)qrvl_find_force_batch(model, &batch, &result);
  int current = -1;
  ASSERT_EQ(cudaGetDevice(&current), cudaSuccess);
  EXPECT_EQ(current, 0);
  // Budgets show which device the frees land on: device 1 must get its bytes back.
  const std::size_t before_free = cpu_cuda::live_allocation_bytes();
  qrvl_free_model(model);
  EXPECT_LT(cpu_cuda::live_allocation_bytes(), before_free);
  EXPECT_EQ(cpu_cuda::live_allocation_count(), 0u);
  ASSERT_EQ(cudaGetDevice(&current), cudaSuccess);
  EXPECT_EQ(current, 0);
}

TEST_F(StandinTest, ScopedDeviceSelectsAndGivesTheCallersDeviceBack) {
  cpu_cuda::set_devices({cpu_cuda::default_device(), cpu_cuda::default_device()});
  ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
  int current = -1;
  {
    const cuda_backend::ScopedDevice scope(1);
    ASSERT_EQ(cudaGetDevice(&current), cudaSuccess);
    EXPECT_EQ(current, 1);
  }
  ASSERT_EQ(cudaGetDevice(&current), cudaSuccess);
  EXPECT_EQ(current, 0);
  EXPECT_THROW(cuda_backend::ScopedDevice scope(2), std::runtime_error);
  ASSERT_EQ(cudaGetDevice(&current), cudaSuccess);
  EXPECT_EQ(current, 0);
}

TEST_F(StandinTest, AModelIsLoadedOntoTheCurrentDevice) {
  cpu_cuda::set_devices({cpu_cuda::default_device(), cpu_cuda::default_device()});
  cpu_cuda::set_memory_budget(1, 16);
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  QrvlModel* model = nullptr;
  EXPECT_EQ(qrvl_load_model("cuda", file_.path().c_str(), &model), QRVL_STATUS_RUNTIME_ERROR);
  ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
  ASSERT_EQ(qrvl_load_model("cuda", file_.path().c_str(), &model), QRVL_STATUS_OK) << qrvl_last_error_message();
  qrvl_free_model(model);
}

// Without a usable driver only work that needs the device fails: the file is read and checked first, so a
// refused or broken file keeps its own status and text.
TEST_F(StandinTest, WithoutADriverLoadingKeepsTheReadersRefusals) {
  const int working_driver = working_driver_version();
  cpu_cuda::set_driver_version(0);
  ModelShape dipole;
  dipole.family = "nep4_dipole";
  ModelShape temperature;
  temperature.family = "nep4_temperature";
  const struct {
    std::string text;
    int status;
    std::string message;
  } cases[] = {
      {test_support::write_model(dipole).text, QRVL_STATUS_UNSUPPORTED,
       "dipole and polarizability models are unsupported by the CUDA backend; CPU fallback is disabled"},
      {test_support::write_model(temperature).text, QRVL_STATUS_UNSUPPORTED,
       "CUDA engine only accepts supported NEP potential models"},
      {"nep4 1\n", QRVL_STATUS_RUNTIME_ERROR, "malformed model header"},
  };
  for (const auto& c : cases) {
    const test_support::TempModelFile file(c.text);
    QrvlModel* model = nullptr;
    EXPECT_EQ(qrvl_load_model("cuda", file.path().c_str(), &model), c.status) << c.message;
    EXPECT_EQ(qrvl_last_error_message(), c.message);
    EXPECT_EQ(model, nullptr);
  }
  QrvlModel* model = nullptr;
  EXPECT_EQ(qrvl_load_model("cuda", file_.path().c_str(), &model), QRVL_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(std::string(qrvl_last_error_message()),
            std::string("query current CUDA device: ") + cudaGetErrorString(cudaErrorInsufficientDriver));
  cpu_cuda::set_driver_version(working_driver);
}

// Evaluations check their arguments and the cancel flag before they take the device, so without a driver a
// refusal keeps its status (and text) on every road.
TEST_F(StandinTest, WithoutADriverEvaluationsKeepTheirRefusals) {
  QrvlModel* model = nullptr;
  ASSERT_EQ(qrvl_load_model("cuda", file_.path().c_str(), &model), QRVL_STATUS_OK) << qrvl_last_error_message();
  const int working_driver = working_driver_version();
  cpu_cuda::set_driver_version(0);

  test_support::BatchArrays arrays = test_support::BatchArrays::consecutive({2}, 1);
  std::vector<double> energy(1), force(6), descriptors(1000);
  QrvlFindForceResult result{};
  result.energy = energy.data();
  result.force = force.data();
  QrvlFindDescriptorResult descriptor_result{descriptors.data()};
  QrvlStructureBatch beyond = arrays.view();
  arrays.offsets[0] = 1;  // the structure reaches past the batch's atoms
  EXPECT_EQ(qrvl_find_force_batch(model, &beyond, &result), QRVL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(qrvl_find_descriptors(model, &beyond, &descriptor_result), QRVL_STATUS_INVALID_ARGUMENT);
  arrays.offsets[0] = 0;
  arrays.positions[4] = std::nan("");
  const QrvlStructureBatch non_finite = arrays.view();
  EXPECT_EQ(qrvl_find_force_batch(model, &non_finite, &result), QRVL_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(qrvl_last_error_message(), "atom 1 has a non-finite position");
  EXPECT_EQ(qrvl_find_descriptors(model, &non_finite, &descriptor_result), QRVL_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(qrvl_last_error_message(), "atom 1 has a non-finite position");

  QrvlLammpsNeighborInput host_list{};
  host_list.nlocal = -1;
  double total = 0.0, virial[6] = {};
  double* force_row = force.data();
  QrvlLammpsNeighborResult host_result{};
  host_result.energy = &total;
  host_result.virial = virial;
  host_result.force = &force_row;
  EXPECT_EQ(qrvl_find_force_lammps_neighbors(model, &host_list, &host_result), QRVL_STATUS_INVALID_ARGUMENT);
  QrvlLammpsDeviceNeighborInput device_list{};
  QrvlLammpsDeviceNeighborResult device_result{};
  EXPECT_EQ(qrvl_find_force_lammps_device_neighbors(model, &device_list, &device_result),
            QRVL_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(qrvl_last_error_message(), "invalid device LAMMPS neighbor input or force output");

  arrays.positions[4] = 1.0;
  const QrvlStructureBatch valid = arrays.view();
  ASSERT_EQ(qrvl_cancel_model(model), QRVL_STATUS_OK);
  EXPECT_EQ(qrvl_find_force_batch(model, &valid, &result), QRVL_STATUS_CANCELLED);
  EXPECT_EQ(qrvl_find_descriptors(model, &valid, &descriptor_result), QRVL_STATUS_CANCELLED);
  ASSERT_EQ(qrvl_reset_cancel(model), QRVL_STATUS_OK);
  // Work that needs the device is what fails.
  EXPECT_EQ(qrvl_find_force_batch(model, &valid, &result), QRVL_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(std::string(qrvl_last_error_message()),
            std::string("query current CUDA device: ") + cudaGetErrorString(cudaErrorInsufficientDriver));
  cpu_cuda::set_driver_version(working_driver);
  qrvl_free_model(model);
}

// A CUDA error that the caller's own code left pending is reported as such, not as the failure of the first
// step of the evaluation; it is consumed, so the next evaluation runs.
TEST_F(StandinTest, AnErrorPendingBeforeTheCallIsNamedAsSuch) {
  QrvlModel* model = nullptr;
  ASSERT_EQ(qrvl_load_model("cuda", file_.path().c_str(), &model), QRVL_STATUS_OK) << qrvl_last_error_message();
  const test_support::BatchArrays arrays = test_support::BatchArrays::consecutive({2}, 1);
  const QrvlStructureBatch batch = arrays.view();
  std::vector<double> energy(1), force(6);
  QrvlFindForceResult result{};
  result.energy = energy.data();
  result.force = force.data();
  void* pointer = nullptr;
  ASSERT_EQ(cudaMalloc(&pointer, std::size_t{1} << 62), cudaErrorMemoryAllocation);  // leaves the error pending
  EXPECT_EQ(qrvl_find_force_batch(model, &batch, &result), QRVL_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(std::string(qrvl_last_error_message()),
            std::string("a CUDA error was pending before the call: ") + cudaGetErrorString(cudaErrorMemoryAllocation));
  EXPECT_EQ(qrvl_find_force_batch(model, &batch, &result), QRVL_STATUS_OK) << qrvl_last_error_message();
  qrvl_free_model(model);
}

}  // namespace
}  // namespace quarvel
