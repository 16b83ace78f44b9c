#pragma once
// Launchers of the ZBL force kernels: the screened nuclear repulsion of ZBL models over the radial neighbor
// list, as per-atom energies (eV), forces and per-atom virials. Plain C++, no CUDA headers.
// accumulate_zbl_forces_on_device and accumulate_zbl_forces_batched are declared with the other pipeline stages
// in pipeline_stages.hpp.
#include "pipeline_stages.hpp"
