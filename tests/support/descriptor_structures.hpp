#pragma once
// Periodic test structures for the descriptor and network kernels: random atoms in a cell, their full neighbor
// lists built by brute force on the host (minimum image through fractional coordinates), and the staging of
// structures and lists into a workspace exactly as the kernels read them.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "cuda_backend/device_workspace.hpp"
#include "cuda_backend/simulation_box.hpp"
#include "support/angular_reference.hpp"
#include "support/device_test.hpp"

namespace quarvel::test_support {

using Cell = std::array<double, 9>;  // row-major, columns are the cell vectors (Angstrom)

inline Cell inverse_of(const Cell& h) {
  const double det =
      h[0] * (h[4] * h[8] - h[5] * h[7]) - h[1] * (h[3] * h[8] - h[5] * h[6]) + h[2] * (h[3] * h[7] - h[4] * h[6]);
  return {(h[4] * h[8] - h[5] * h[7]) / det, (h[2] * h[7] - h[1] * h[8]) / det, (h[1] * h[5] - h[2] * h[4]) / det,
          (h[5] * h[6] - h[3] * h[8]) / det, (h[0] * h[8] - h[2] * h[6]) / det, (h[2] * h[3] - h[0] * h[5]) / det,
          (h[3] * h[7] - h[4] * h[6]) / det, (h[1] * h[6] - h[0] * h[7]) / det, (h[0] * h[4] - h[1] * h[3]) / det};
}

inline Vec3 matrix_times(const Cell& m, const Vec3& v) {
  return {m[0] * v[0] + m[1] * v[1] + m[2] * v[2], m[3] * v[0] + m[4] * v[1] + m[5] * v[2],
          m[6] * v[0] + m[7] * v[1] + m[8] * v[2]};
}

struct Structure {
  Cell cell;
  std::vector<std::int32_t> types;
  std::vector<Vec3> positions;  // Angstrom

  int size() const { return static_cast<int>(types.size()); }

  cuda_backend::SimulationBox box() const {
    cuda_backend::SimulationBox b{};
    const Cell inverse = inverse_of(cell);
    for (int k = 0; k < 9; ++k) {
      b.box[k] = cell[k];
      b.inverse[k] = inverse[k];
    }
    b.pbc[0] = b.pbc[1] = b.pbc[2] = 1;
    return b;
  }

  // Nearest periodic image of r_j - r_i.
  Vec3 separation(int i, int j) const {
    const Cell inverse = inverse_of(cell);
    Vec3 d{positions[j][0] - positions[i][0], positions[j][1] - positions[i][1], positions[j][2] - positions[i][2]};
    Vec3 s = matrix_times(inverse, d);
    for (double& c : s) c -= std::nearbyint(c);
    return matrix_times(cell, s);
  }
};

inline double norm(const Vec3& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

// A slightly skewed cell whose lattice planes are more than twice `reach` apart, so that every neighbor within
// reach is a unique nearest image; `atoms` atoms at least 1 Angstrom apart, types cycling through type_count.
inline Structure random_structure(int atoms, int type_count, double reach, unsigned seed) {
  const double edge = 2.0 * reach + 1.5;
  Structure s;
  s.cell = {edge, 0.15 * edge, 0.05 * edge, 0.0, edge, 0.1 * edge, 0.0, 0.0, edge};
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  while (s.size() < atoms) {
    const Vec3 r = matrix_times(s.cell, {unit(rng), unit(rng), unit(rng)});
    s.positions.push_back(r);
    s.types.push_back(s.size() % type_count);
    bool crowded = false;
    for (int j = 0; j + 1 < s.size() && !crowded; ++j) crowded = norm(s.separation(s.size() - 1, j)) < 1.0;
    if (crowded) {
      s.positions.pop_back();
      s.types.pop_back();
    }
  }
  return s;
}

// Full neighbor lists per atom (local indices, ascending), only neighbors whose type is below type_count.
struct NeighborLists {
  std::vector<std::vector<int>> radial;
  std::vector<std::vector<int>> angular;
};

inline NeighborLists brute_force_lists(const Structure& s, double radial_reach, double angular_reach, int type_count) {
  NeighborLists lists;
  lists.radial.resize(static_cast<std::size_t>(s.size()));
  lists.angular.resize(static_cast<std::size_t>(s.size()));
  for (int i = 0; i < s.size(); ++i) {
    for (int j = 0; j < s.size(); ++j) {
      if (j == i || s.types[j] < 0 || s.types[j] >= type_count) continue;
      const double r = norm(s.separation(i, j));
      if (r < radial_reach) lists.radial[i].push_back(j);
      if (r < angular_reach) lists.angular[i].push_back(j);
    }
  }
  return lists;
}

// Stages structures (atoms laid one after the other) and their lists into a workspace, with the per-structure
// cells the batched kernels read.
inline void stage_structures(const std::vector<Structure>& structures, const std::vector<NeighborLists>& lists,
                             const cuda_backend::DeviceWorkspaceView& v) {
  const std::size_t a = v.atom_capacity;
  std::vector<std::int32_t> types(a, 0), owner(a, 0), nn_radial(a, 0), nn_angular(a, 0);
  std::vector<double> positions(3 * a, 0.0), boxes, inverses;
  std::vector<std::int32_t> pbc;
  std::size_t offset = 0;
  for (std::size_t s = 0; s < structures.size(); ++s) {
    const Structure& st = structures[s];
    const Cell inverse = inverse_of(st.cell);
    boxes.insert(boxes.end(), st.cell.begin(), st.cell.end());
    inverses.insert(inverses.end(), inverse.begin(), inverse.end());
    pbc.insert(pbc.end(), {1, 1, 1});
    for (int i = 0; i < st.size(); ++i) {
      const std::size_t g = offset + static_cast<std::size_t>(i);
      types[g] = st.types[i];
      owner[g] = static_cast<std::int32_t>(s);
      for (std::size_t c = 0; c < 3; ++c) positions[c * a + g] = st.positions[i][c];
      nn_radial[g] = static_cast<std::int32_t>(lists[s].radial[i].size());
      nn_angular[g] = static_cast<std::int32_t>(lists[s].angular[i].size());
    }
    offset += static_cast<std::size_t>(st.size());
  }
  upload(v.types, types);
  upload(v.positions_soa3, positions);
  upload(v.nn_radial, nn_radial);
  if (v.atom_to_structure != nullptr) {
    upload(v.atom_to_structure, owner);
    upload(v.boxes_row_major9, boxes);
    upload(v.box_inverse_row_major9, inverses);
    upload(v.pbc_flags3, pbc);
  }
  // Only the slots some atom uses are uploaded; the planned capacity must hold them.
  const auto upload_list = [&](std::int32_t* device, bool radial) {
    std::size_t slots = 0;
    for (std::size_t s = 0; s < structures.size(); ++s) {
      for (const auto& l : radial ? lists[s].radial : lists[s].angular) slots = std::max(slots, l.size());
    }
    std::vector<std::int32_t> host(std::max<std::size_t>(slots, 1) * a, 0);
    std::size_t first = 0;
    for (std::size_t s = 0; s < structures.size(); ++s) {
      const auto& per_atom = radial ? lists[s].radial : lists[s].angular;
      for (std::size_t i = 0; i < per_atom.size(); ++i) {
        for (std::size_t k = 0; k < per_atom[i].size(); ++k) {
          host[k * a + first + i] = static_cast<std::int32_t>(first) + per_atom[i][k];
        }
      }
      first += static_cast<std::size_t>(structures[s].size());
    }
    upload(device, host);
  };
  upload_list(v.nl_radial_slot_major, true);
  if (v.nl_angular_slot_major != nullptr) {
    upload(v.nn_angular, nn_angular);
    upload_list(v.nl_angular_slot_major, false);
  }
}

}  // namespace quarvel::test_support
