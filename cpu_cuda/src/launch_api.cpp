// Kernel launch: the runtime's checks, then the blocks, then a device fault turned into the sticky launch failure.
#include <algorithm>
#include <cstdio>

#include "block_pool.hpp"
#include "runtime_state.hpp"

namespace cpu_cuda::detail {
namespace {
// Grid and block shape within the device's limits (every dimension at least 1).
bool valid_configuration(const dim3& grid, const dim3& block, const cudaDeviceProp& prop) {
  const unsigned int block_dims[3] = {block.x, block.y, block.z};
  const unsigned int grid_dims[3] = {grid.x, grid.y, grid.z};
  for (int d = 0; d < 3; ++d) {
    if (block_dims[d] == 0 || block_dims[d] > static_cast<unsigned int>(prop.maxThreadsDim[d])) return false;
    if (grid_dims[d] == 0 || grid_dims[d] > static_cast<unsigned int>(prop.maxGridSize[d])) return false;
  }
  const unsigned long threads = static_cast<unsigned long>(block.x) * block.y * block.z;
  return threads <= static_cast<unsigned long>(prop.maxThreadsPerBlock);
}

// The check the runtime makes before a kernel starts; success when it may run.
cudaError_t refuse_launch(Runtime& runtime, const KernelLaunch& launch) {
  if (cudaError_t error = runtime.context_error()) return error;
  if (cudaError_t error = runtime.injected(Operation::launch)) return error;
  const int device_index = runtime.current_device();
  const DeviceState& device = runtime.device(device_index);
  cudaDeviceProp prop;
  fill_properties(prop, device.config);
  if (!valid_configuration(launch.grid, launch.block, prop)) return cudaErrorInvalidConfiguration;
  const auto raised = device.dynamic_shared_limit.find(launch.kernel);
  const std::size_t limit = raised != device.dynamic_shared_limit.end()
                                ? raised->second
                                : std::min(kDefaultDynamicSharedLimit, device.config.shared_mem_per_block);
  if (launch.dynamic_shared_bytes > limit) return cudaErrorInvalidValue;
  return device.kernel_failure;
}
}  // namespace

void execute_launch(const KernelLaunch& launch) {
  Runtime& runtime = Runtime::instance();
  {
    std::unique_lock<std::mutex> lock(runtime.mutex());
    if (cudaError_t error = refuse_launch(runtime, launch)) {
      runtime.fail(error);
      return;
    }
  }
  std::string fault;
  if (run_blocks(launch, runtime.serial_blocks().load(), fault)) return;
  std::fprintf(stderr, "cpu_cuda: %s\n", fault.c_str());
  const std::lock_guard<std::mutex> lock(runtime.mutex());
  runtime.fail(cudaErrorLaunchFailure);  // as a device fault: sticky, every later call answers it
}
}  // namespace cpu_cuda::detail
