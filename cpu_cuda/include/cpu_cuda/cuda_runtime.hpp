#pragma once
// The CPU stand-in for the CUDA runtime and device built-ins: what device sources see in the host build.
#include "cpu_cuda/runtime_api.hpp"
#include "cpu_cuda/device_builtins.hpp"
#include "cpu_cuda/collectives.hpp"
#include "cpu_cuda/launch.hpp"
