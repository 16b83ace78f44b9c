// The LAMMPS drivers under allocation and launch failures, driven through the CPU stand-in's failure injection
// (host build only): every failure answers with its text, frees what the call allocated, keeps the cached
// workspace, and the next call works.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cpu_cuda/control.hpp>
#include <string>
#include <vector>

#include "lammps_driver_fixture.hpp"

namespace quarvel::cuda_backend::lammps_test {
namespace {

using test_support::DeviceCopy;
using test_support::DeviceLammpsInput;
using test_support::HostLammpsInput;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class LammpsDriverFailures : public LammpsDriverTest {
 protected:
  static void lift_budget() { cpu_cuda::set_memory_budget(0, cpu_cuda::default_device().total_global_mem); }

  void SetUp() override {
    cpu_cuda::reset();
    // Plain allocations only, so that an injected failure is not answered by the plain fallback.
    cpu_cuda::set_async_allocation_supported(false);
    LammpsDriverTest::SetUp();
  }
  void TearDown() override {
    LammpsDriverTest::TearDown();
    workspace_.reset();
    cpu_cuda::reset();
  }

  // Device allocations of the host-list driver's workspace for this system (zero-element arrays take none).
  int workspace_allocations() const {
    const std::size_t before = cpu_cuda::live_allocation_count();
    const DeviceWorkspace ws(make_external_neighbor_workspace_plan(
        protocol_, static_cast<std::uint64_t>(system_.referenced_count()),
        static_cast<std::uint64_t>(system_.nlocal), false, false));
    return static_cast<int>(cpu_cuda::live_allocation_count() - before);
  }

  // Device forces only, atom-major.
  static QrvlLammpsDeviceNeighborResult forces_into(const DeviceCopy<double>& force) {
    QrvlLammpsDeviceNeighborResult r{};
    r.force = force.get();
    r.force_atom_stride = 3;
    r.force_component_stride = 1;
    return r;
  }

  // Host rows for the local atoms' forces and the totals.
  struct HostOut {
    double energy = 0.0;
    double virial[6] = {};
    std::vector<std::vector<double>> force;
    std::vector<double*> rows;
    explicit HostOut(int atoms) : force(atoms, std::vector<double>(3, 0.0)) {
      for (auto& row : force) rows.push_back(row.data());
    }
    QrvlLammpsNeighborResult view() {
      QrvlLammpsNeighborResult r{};
      r.energy = &energy;
      r.virial = virial;
      r.force = rows.data();
      return r;
    }
  };
};

// The workspace is the first allocation, the staging temporaries come after it.
TEST_F(LammpsDriverFailures, HostListAllocationFailuresFreeEverythingAndTheNextCallWorks) {
  const HostLammpsInput in(system_, kLammpsTypes);
  HostOut out(system_.nall);
  const std::size_t before = cpu_cuda::live_allocation_count();
  for (const char* step : {"", "upload lammps types", "upload angular neighbors"}) {
    if (std::string(step).empty()) {
      cpu_cuda::inject_failure(cpu_cuda::Operation::allocation, 1, cudaErrorMemoryAllocation);
    } else {
      // The workspace's allocations come first; then the temporaries, types first and angular rows last.
      const int temporary = std::string(step) == "upload lammps types" ? 1 : 7;
      cpu_cuda::inject_failure(cpu_cuda::Operation::allocation, workspace_allocations() + temporary,
                               cudaErrorMemoryAllocation);
    }
    QrvlLammpsNeighborResult r = out.view();
    EXPECT_EQ(evaluate_host(in.view(system_.nlocal), r), QRVL_STATUS_RUNTIME_ERROR);
    EXPECT_THAT(qrvl_last_error_message(), HasSubstr("out of memory")) << step;
    EXPECT_THAT(qrvl_last_error_message(), StartsWith(step));
    EXPECT_EQ(cpu_cuda::live_allocation_count(), before) << step;
    EXPECT_EQ(pipeline_record().calls, 0);
  }
  QrvlLammpsNeighborResult r = out.view();
  ASSERT_EQ(evaluate_host(in.view(system_.nlocal), r), QRVL_STATUS_OK) << qrvl_last_error_message();
  EXPECT_EQ(out.force[0][0], system_.positions[0]);
  EXPECT_EQ(cpu_cuda::live_allocation_count(), before);  // nothing outlives a host-list call
}

TEST_F(LammpsDriverFailures, DeviceListFirstAllocationFailureLeavesNoCache) {
  const DeviceLammpsInput in(system_, kLammpsTypes, system_.longest_row());
  const DeviceCopy<double> force(std::vector<double>(3 * system_.nall, 0.0));
  const QrvlLammpsDeviceNeighborResult r = forces_into(force);
  const std::size_t before = cpu_cuda::live_allocation_count();
  cpu_cuda::inject_failure(cpu_cuda::Operation::allocation, 3, cudaErrorMemoryAllocation);
  EXPECT_EQ(evaluate_device(in.view(), r), QRVL_STATUS_RUNTIME_ERROR);
  EXPECT_THAT(qrvl_last_error_message(), HasSubstr("out of memory"));
  EXPECT_EQ(workspace_, nullptr);
  EXPECT_EQ(atoms_, 0u);
  EXPECT_EQ(cpu_cuda::live_allocation_count(), before);
  ASSERT_EQ(evaluate_device(in.view(), r), QRVL_STATUS_OK) << qrvl_last_error_message();
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_EQ(force.read()[0], system_.positions[0]);
}

TEST_F(LammpsDriverFailures, DeviceListFailedRebuildKeepsTheCachedWorkspace) {
  const DeviceLammpsInput in(system_, kLammpsTypes, system_.longest_row());
  const DeviceCopy<double> force(std::vector<double>(3 * system_.nall, 0.0));
  const DeviceCopy<double> virial(std::vector<double>(9 * system_.nall, 0.0));
  QrvlLammpsDeviceNeighborResult r{};
  r.force = force.get();
  r.force_atom_stride = 3;
  r.force_component_stride = 1;
  ASSERT_EQ(evaluate_device(in.view(), r), QRVL_STATUS_OK) << qrvl_last_error_message();
  const DeviceWorkspace* cached = workspace_.get();
  const std::uint64_t atoms = atoms_;

  QrvlLammpsDeviceNeighborResult with_virials = r;  // needs the float sink: a rebuild
  with_virials.virial_per_atom = virial.get();
  with_virials.virial_atom_stride = 9;
  with_virials.virial_component_stride = 1;
  cpu_cuda::set_memory_budget(0, cpu_cuda::live_allocation_bytes() + 256);
  EXPECT_EQ(evaluate_device(in.view(), with_virials), QRVL_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(workspace_.get(), cached);
  EXPECT_EQ(atoms_, atoms);
  EXPECT_FALSE(float_sink_);

  lift_budget();
  ASSERT_EQ(evaluate_device(in.view(), r), QRVL_STATUS_OK) << qrvl_last_error_message();
  EXPECT_EQ(workspace_.get(), cached);
  ASSERT_EQ(evaluate_device(in.view(), with_virials), QRVL_STATUS_OK) << qrvl_last_error_message();
  EXPECT_TRUE(float_sink_);
}

// The first launch of a call with a type map stages the types; its failure names the step.
TEST_F(LammpsDriverFailures, DeviceListLaunchFailureNamesTheStep) {
  const DeviceLammpsInput in(system_, kLammpsTypes, system_.longest_row());
  const DeviceCopy<double> force(std::vector<double>(3 * system_.nall, 0.0));
  const QrvlLammpsDeviceNeighborResult r = forces_into(force);
  cpu_cuda::inject_failure(cpu_cuda::Operation::launch, 1, cudaErrorLaunchOutOfResources);
  EXPECT_EQ(evaluate_device(in.view(), r), QRVL_STATUS_RUNTIME_ERROR);
  EXPECT_THAT(qrvl_last_error_message(), StartsWith("stage device LAMMPS types: "));
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);  // the failure does not resurface later
  ASSERT_EQ(evaluate_device(in.view(), r), QRVL_STATUS_OK) << qrvl_last_error_message();
}

}  // namespace
}  // namespace quarvel::cuda_backend::lammps_test
