#pragma once
// Kernel launch on the CPU: validated as the CUDA runtime validates a launch, then run block by block, each block's
// threads as fibers on one worker. The launch returns when every block is done; errors go to cudaGetLastError.
#include <cstddef>
#include <tuple>
#include <type_traits>

#include "cpu_cuda/runtime_api.hpp"

namespace cpu_cuda {
namespace detail {
// One launch, with the kernel's arguments erased behind `invoke`.
struct KernelLaunch {
  const char* kernel_signature;  // text naming the kernel, from the compiler
  const void* kernel;            // key of the kernel's attributes (cudaFuncSetAttribute)
  dim3 grid;
  dim3 block;
  std::size_t dynamic_shared_bytes;
  const void* arguments;
  void (*invoke)(const void* arguments);  // runs the kernel body once for the current thread
};

void execute_launch(const KernelLaunch& launch);

template <typename F>
struct KernelParameters;
template <typename... P>
struct KernelParameters<void (*)(P...)> {
  using Tuple = std::tuple<P...>;
};
template <typename... P>
struct KernelParameters<void (*)(P...) noexcept> {
  using Tuple = std::tuple<P...>;
};

template <auto Kernel>
const char* kernel_signature() {
  return __PRETTY_FUNCTION__;  // names Kernel; the fault report cuts the name out
}

// Converts the launch arguments to the kernel's parameter types, as the device launch does.
template <typename Tuple, typename... Args, std::size_t... I>
Tuple convert_arguments(std::index_sequence<I...>, Args&&... args) {
  static_assert((std::is_convertible_v<Args, std::tuple_element_t<I, Tuple>> && ...),
                "kernel argument not convertible to its parameter type");
  return Tuple(static_cast<std::tuple_element_t<I, Tuple>>(std::forward<Args>(args))...);
}

template <auto Kernel, typename Tuple>
void invoke_kernel(const void* arguments) {
  // Each thread receives its own copies of the arguments, as kernel parameters are passed by value.
  std::apply([](const auto&... a) { Kernel(a...); }, *static_cast<const Tuple*>(arguments));
}
}  // namespace detail

// Launches Kernel on the calling thread's current device, as Kernel<<<grid, block, dynamic_shared_bytes>>>(args...).
template <auto Kernel, typename... Args>
void launch(dim3 grid, dim3 block, std::size_t dynamic_shared_bytes, Args&&... args) {
  using Tuple = typename detail::KernelParameters<decltype(Kernel)>::Tuple;
  static_assert(std::tuple_size_v<Tuple> == sizeof...(Args), "kernel launched with the wrong number of arguments");
  const Tuple arguments =
      detail::convert_arguments<Tuple>(std::index_sequence_for<Args...>{}, std::forward<Args>(args)...);
  detail::execute_launch({detail::kernel_signature<Kernel>(), reinterpret_cast<const void*>(Kernel), grid, block,
                          dynamic_shared_bytes, &arguments, &detail::invoke_kernel<Kernel, Tuple>});
}

// The running block's dynamic shared memory, 16-byte aligned, as large as its launch asked.
void* dynamic_shared_memory();
}  // namespace cpu_cuda
