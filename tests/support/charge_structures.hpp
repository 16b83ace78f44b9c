#pragma once
// Point-charge structures for the electrostatics tests: ionic lattices, their supercells and small
// displacements. Lengths are dyadic (multiples of powers of two), so separations of these structures and of
// small dyadic steps away from them are exact in single precision as well as in double.
#include <array>
#include <cstddef>
#include <vector>

namespace quarvel::test_support {

using Cell = std::array<double, 9>;  // row-major, columns are the cell vectors (Angstrom)

struct ChargedStructure {
  Cell cell{};
  std::vector<double> positions;  // x, y, z per atom (Angstrom)
  std::vector<double> charges;    // e

  int atom_count() const { return static_cast<int>(charges.size()); }
  void add(double x, double y, double z, double q) {
    positions.insert(positions.end(), {x, y, z});
    charges.push_back(q);
  }
};

inline Cell cubic_cell(double edge) { return {edge, 0, 0, 0, edge, 0, 0, 0, edge}; }

// `repeats` copies of a cubic motif of edge `a` along each axis; the motif lists fractional positions and charges.
struct MotifSite {
  double fx, fy, fz, q;
};

inline ChargedStructure cubic_supercell(double a, const std::vector<MotifSite>& motif, int rx, int ry, int rz) {
  ChargedStructure s;
  s.cell = {a * rx, 0, 0, 0, a * ry, 0, 0, 0, a * rz};
  for (int i = 0; i < rx; ++i) {
    for (int j = 0; j < ry; ++j) {
      for (int k = 0; k < rz; ++k) {
        for (const MotifSite& m : motif) s.add(a * (i + m.fx), a * (j + m.fy), a * (k + m.fz), m.q);
      }
    }
  }
  return s;
}

// Rock salt in its conventional cubic cell: four cations (+1) and four anions (-1).
inline std::vector<MotifSite> rock_salt_motif() {
  return {{0, 0, 0, 1},   {0, 0.5, 0.5, 1},  {0.5, 0, 0.5, 1},  {0.5, 0.5, 0, 1},
          {0.5, 0, 0, -1}, {0, 0.5, 0, -1}, {0, 0, 0.5, -1}, {0.5, 0.5, 0.5, -1}};
}

// Caesium chloride: a cation at the corner and an anion at the centre of a simple cubic cell.
inline std::vector<MotifSite> cesium_chloride_motif() { return {{0, 0, 0, 1}, {0.5, 0.5, 0.5, -1}}; }

// Moves every atom by a deterministic dyadic offset of at most `step` x 7 / 8 per component and scales charges
// away from +-1 by dyadic amounts that keep the total at zero, so nothing is left symmetric.
inline ChargedStructure disturbed(ChargedStructure s, double step) {
  const double pattern[8] = {0.125, -0.5, 0.875, -0.25, 0.375, -0.75, 0.625, 0.0};
  for (std::size_t i = 0; i < s.positions.size(); ++i) s.positions[i] += step * pattern[(5 * i + 3) % 8];
  for (std::size_t i = 0; i + 1 < s.charges.size(); i += 2) {
    const double shift = 0.0625 * pattern[i % 8];
    s.charges[i] += shift;
    s.charges[i + 1] -= shift;
  }
  return s;
}

}  // namespace quarvel::test_support
