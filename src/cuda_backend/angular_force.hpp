#pragma once
// Launchers of the angular force kernels: forces and per-atom virials from the angular part of the descriptor
// derivatives, read through the angular sums and the pair cache of the descriptor stage. Plain C++, no CUDA
// headers. accumulate_l2_angular_forces_on_device and accumulate_l2_angular_forces_batched are declared with the
// other pipeline stages in pipeline_stages.hpp.
#include "pipeline_stages.hpp"
