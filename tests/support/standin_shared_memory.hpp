#pragma once
// Base fixture of host-build tests that run device code on a stand-in device with chosen shared-memory limits.
#include <cpu_cuda/control.hpp>
#include <gtest/gtest.h>

#include <cstddef>

namespace quarvel::test_support {

class StandinSharedMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override { cpu_cuda::reset(); }
  void TearDown() override { cpu_cuda::reset(); }

  // One device whose blocks get `per_block` bytes of dynamic shared memory without opting in and `optin` bytes
  // at most. Replacing the devices frees every allocation: call it before building models and workspaces.
  static void use_device(std::size_t per_block, std::size_t optin) {
    cpu_cuda::DeviceConfig device = cpu_cuda::default_device();
    device.shared_mem_per_block = per_block;
    device.shared_mem_per_block_optin = optin;
    cpu_cuda::set_devices({device});
  }
};

}  // namespace quarvel::test_support
