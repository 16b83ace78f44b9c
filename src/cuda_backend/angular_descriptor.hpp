#pragma once
// Launcher of the descriptor kernels: every atom's unscaled radial and angular descriptors, the angular sums
// (sum_fxyz) and the angular pair cache that the angular force kernels read. Plain C++, no CUDA headers.
//
// build_descriptor_core_from_positions_on_device and DescriptorCoreTopology are declared with the other
// pipeline stages in pipeline_stages.hpp.
#include "pipeline_stages.hpp"
