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

// Cells whose |det| is at most this (Angstrom^3, absolute) count as singular: no usable inverse, no volume.
constexpr double kSingularDeterminant = 1e-12;

// Determinant of a row-major 3x3 cell (Angstrom^3), expanded along the first row: the signed cell volume.
inline double cell_determinant(const double* h) {
  return h[0] * (h[4] * h[8] - h[5] * h[7]) - h[1] * (h[3] * h[8] - h[5] * h[6]) + h[2] * (h[3] * h[7] - h[4] * h[6]);
}

// The box of LAMMPS lists: ghost atoms carry the periodic images, so separations are plain differences.
inline SimulationBox lammps_identity_box() {
  return SimulationBox{{1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0}, {1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0}, {0, 0, 0}};
}

}  // namespace quarvel::cuda_backend
