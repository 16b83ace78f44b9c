#pragma once
// One periodic cell as kernels receive it by value.
#include <cstdint>

namespace quarvel::cuda_backend {

// Cell matrix H (row-major; its columns are the cell vectors, so a Cartesian vector is H times its fractional
// coordinates), its inverse (row a dotted with a Cartesian vector gives fractional coordinate a) and one
// periodic flag per cell vector (non-zero = periodic). Separations take the nearest image along flagged axes.
struct SimulationBox {
  double box[9];      // Angstrom
  double inverse[9];  // 1/Angstrom
  std::int32_t pbc[3];
};

// The box of LAMMPS lists: ghost atoms carry the periodic images, so separations are plain differences.
inline SimulationBox lammps_identity_box() {
  return SimulationBox{{1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0}, {1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0}, {0, 0, 0}};
}

}  // namespace quarvel::cuda_backend
