#pragma once
// Launchers of the radial force kernels: forces and per-atom virials from the radial part of the descriptor
// derivatives (fp rows 0 .. n_max_radial). Plain C++, no CUDA headers. VirialTarget,
// accumulate_radial_forces_on_device and accumulate_radial_forces_batched are declared with the other pipeline
// stages in pipeline_stages.hpp.
#include "pipeline_stages.hpp"
