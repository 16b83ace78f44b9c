// The qNEP electrostatics under the CPU stand-in's failure injection and allocation count (host build only):
// every failing step reports its own text, and the per-call k-space never outlives the call.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cpu_cuda/control.hpp>
#include <stdexcept>
#include <string>

#include "qnep_charge_fixture.hpp"

namespace quarvel::cuda_backend::charge_test {
namespace {

using test_support::ChargedStructure;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

class QnepChargeStandIn : public QnepChargeTest {
 protected:
  void SetUp() override {
    cpu_cuda::reset();
    QnepChargeTest::SetUp();
  }
  void TearDown() override { cpu_cuda::reset(); }
};

TEST_F(QnepChargeStandIn, KSpaceIsFreedWithinTheCall) {
  const ChargedStructure s = cesium_chloride();
  DeviceWorkspace ws = prepare(charge_protocol(kEwald), s);
  const std::size_t before = cpu_cuda::live_allocation_count();
  apply_qnep_charge_terms_on_device(charge_protocol(kEwald), s.atom_count(), periodic_box(s.cell), ws, true, true);
  EXPECT_EQ(cpu_cuda::live_allocation_count(), before);
}

TEST_F(QnepChargeStandIn, BoxWithoutKVectorsAllocatesNothing) {
  const ChargedStructure s = cesium_chloride();
  const ModelProtocol p = charge_protocol(kReciprocalOnly, 30.0, 30.0);  // alpha |a_i| < 1: no k-vector
  DeviceWorkspace ws = prepare(p, s, false);
  cpu_cuda::inject_failure(cpu_cuda::Operation::allocation, 1, cudaErrorMemoryAllocation);
  EXPECT_NO_THROW(apply_qnep_charge_terms_on_device(p, s.atom_count(), periodic_box(s.cell), ws, true, true));
}

struct InjectedFailure {
  const char* name;
  cpu_cuda::Operation operation;
  int nth;  // counted from the call's start: copies include the three clearing memsets
  const char* step;
};

class QnepChargeFailure : public QnepChargeStandIn, public ::testing::WithParamInterface<InjectedFailure> {};

TEST_P(QnepChargeFailure, NamesItsStepAndLeavesNothingAllocated) {
  const InjectedFailure& c = GetParam();
  const ChargedStructure s = cesium_chloride();
  DeviceWorkspace ws = prepare(charge_protocol(kEwald), s);
  const std::size_t before = cpu_cuda::live_allocation_count();
  const cudaError_t error = c.operation == cpu_cuda::Operation::allocation ? cudaErrorMemoryAllocation
                                                                            : cudaErrorInvalidValue;
  cpu_cuda::inject_failure(c.operation, c.nth, error);
  EXPECT_THAT(
      [&] {
        apply_qnep_charge_terms_on_device(charge_protocol(kEwald), s.atom_count(), periodic_box(s.cell), ws, true,
                                          true);
      },
      ThrowsMessage<std::runtime_error>(StrEq(std::string(c.step) + ": " + cudaGetErrorString(error))));
  EXPECT_EQ(cpu_cuda::live_allocation_count(), before);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);  // the failure cannot resurface at a later call
}

INSTANTIATE_TEST_SUITE_P(
    Steps, QnepChargeFailure,
    ::testing::Values(InjectedFailure{"clear_force", cpu_cuda::Operation::copy, 1, "clear qNEP charge force"},
                      InjectedFailure{"clear_virial", cpu_cuda::Operation::copy, 2, "clear qNEP charge virial"},
                      InjectedFailure{"clear_d_real", cpu_cuda::Operation::copy, 3, "clear qNEP D_real"},
                      InjectedFailure{"allocate_kx", cpu_cuda::Operation::allocation, 1, "copy qNEP kx"},
                      InjectedFailure{"upload_kx", cpu_cuda::Operation::copy, 4, "copy qNEP kx"},
                      InjectedFailure{"allocate_ky", cpu_cuda::Operation::allocation, 2, "copy qNEP ky"},
                      InjectedFailure{"upload_kz", cpu_cuda::Operation::copy, 6, "copy qNEP kz"},
                      InjectedFailure{"upload_G", cpu_cuda::Operation::copy, 7, "copy qNEP G"},
                      InjectedFailure{"allocate_S_real", cpu_cuda::Operation::allocation, 5, "allocate qNEP S_real"},
                      InjectedFailure{"allocate_S_imag", cpu_cuda::Operation::allocation, 6, "allocate qNEP S_imag"},
                      InjectedFailure{"reciprocal_sums", cpu_cuda::Operation::launch, 1,
                                      "qNEP reciprocal sums launch failed"},
                      InjectedFailure{"reciprocal_apply", cpu_cuda::Operation::launch, 2,
                                      "qNEP reciprocal apply launch failed"},
                      InjectedFailure{"real_space", cpu_cuda::Operation::launch, 3,
                                      "qNEP real-space charge launch failed"},
                      InjectedFailure{"zero_mean", cpu_cuda::Operation::launch, 4,
                                      "qNEP zero-mean D_real launch failed"}),
    [](const ::testing::TestParamInfo<InjectedFailure>& c) { return std::string(c.param.name); });

}  // namespace
}  // namespace quarvel::cuda_backend::charge_test
