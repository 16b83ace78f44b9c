#pragma once
// What a loaded CUDA model keeps for its batch drivers, the cancel flag and the cached batch workspace, for tests
// that run the drivers on a model of their own and look at the cache.
#include <atomic>
#include <cstdint>
#include <memory>

#include "cuda_backend/batch_driver.hpp"

namespace quarvel::test_support {

struct BatchDriverState {
  std::atomic<bool> cancel{false};
  std::unique_ptr<cuda_backend::DeviceWorkspace> workspace;
  std::uint64_t atom_capacity = 0;
  std::uint64_t structure_capacity = 0;
  bool spin_transfer = false;

  // The drivers' record of a model (its shape, parameters and device copy) with this state as its cache.
  cuda_backend::BatchDriverModel driver(const cuda_backend::ModelProtocol& protocol,
                                        const cuda_backend::HostModelParameters& host,
                                        const cuda_backend::DeviceModel& device) {
    return {protocol, host, device, cancel, workspace, atom_capacity, structure_capacity, spin_transfer};
  }
};

}  // namespace quarvel::test_support
