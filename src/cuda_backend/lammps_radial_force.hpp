#pragma once
// Launcher of the radial force kernel on device LAMMPS lists (push form, universal ZBL optionally fused). Plain
// C++, no CUDA headers; accumulate_lammps_radial_forces_on_device is declared with the other pipeline stages in
// pipeline_stages.hpp.
#include "pipeline_stages.hpp"
