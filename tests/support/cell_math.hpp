#pragma once
// Cell arithmetic for building test structures, independent of the library's own, and the periodic box record
// that kernels take for a cell.
#include <array>

#include "cuda_backend/simulation_box.hpp"

namespace quarvel::test_support {

using Cell = std::array<double, 9>;  // row-major, columns are the cell vectors (Angstrom)

// Row a of the inverse dotted with a position gives fractional coordinate a.
inline Cell inverse_of(const Cell& h) {
  const double det =
      h[0] * (h[4] * h[8] - h[5] * h[7]) - h[1] * (h[3] * h[8] - h[5] * h[6]) + h[2] * (h[3] * h[7] - h[4] * h[6]);
  return {(h[4] * h[8] - h[5] * h[7]) / det, (h[2] * h[7] - h[1] * h[8]) / det, (h[1] * h[5] - h[2] * h[4]) / det,
          (h[5] * h[6] - h[3] * h[8]) / det, (h[0] * h[8] - h[2] * h[6]) / det, (h[2] * h[3] - h[0] * h[5]) / det,
          (h[3] * h[7] - h[4] * h[6]) / det, (h[1] * h[6] - h[0] * h[7]) / det, (h[0] * h[4] - h[1] * h[3]) / det};
}

// The cell, its inverse and all three axes periodic.
inline cuda_backend::SimulationBox periodic_box(const Cell& h) {
  cuda_backend::SimulationBox box{};
  const Cell g = inverse_of(h);
  for (int k = 0; k < 9; ++k) {
    box.box[k] = h[k];
    box.inverse[k] = g[k];
  }
  box.pbc[0] = box.pbc[1] = box.pbc[2] = 1;
  return box;
}

}  // namespace quarvel::test_support
