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
#include "support/batch_builder.hpp"
#include "support/cell_math.hpp"
#include "cuda_backend/simulation_box.hpp"
#include "support/angular_reference.hpp"
#include "support/device_test.hpp"

namespace quarvel::test_support {

inline Vec3 matrix_times(const Cell& m, const Vec3& v) {
  return {m[0] * v[0] + m[1] * v[1] + m[2] * v[2], m[3] * v[0] + m[4] * v[1] + m[5] * v[2],
          m[6] * v[0] + m[7] * v[1] + m[8] * v[2]};
}

struct Structure {
  Cell cell;
  std::vector<std::int32_t> types;
  std::vector<Vec3> positions;  // Angstrom

  int size() const { return static_cast<int>(types.size()); }

  cuda_backend::SimulationBox box() const { return periodic_box(cell); }

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

// The structures laid out one after the other as one batch, all flags periodic.
inline BatchArrays batch_of(const std::vector<Structure>& structures) {
  BatchArrays b;
  std::int32_t offset = 0;
  for (const Structure& s : structures) {
    b.counts.push_back(s.size());
    b.offsets.push_back(offset);
    offset += s.size();
    b.boxes.insert(b.boxes.end(), s.cell.begin(), s.cell.end());
    b.pbc.insert(b.pbc.end(), {1, 1, 1});
    b.types.insert(b.types.end(), s.types.begin(), s.types.end());
    for (const Vec3& r : s.positions) b.positions.insert(b.positions.end(), r.begin(), r.end());
  }
  return b;
}

// The orthogonal matrix that turns by `angle` (radians) about z, then about x by the angle whose cosine is 0.6,
// so that no axis keeps its direction.
inline Cell tilted_rotation(double angle) {
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  return {c, -s, 0.0, s * 0.6, c * 0.6, -0.8, s * 0.8, c * 0.8, 0.6};
}

// The structure turned by an orthogonal `rotation`: positions and cell vectors.
inline Structure rotated(const Structure& s, const Cell& rotation) {
  Structure turned = s;
  for (Vec3& r : turned.positions) r = matrix_times(rotation, r);
  for (int column = 0; column < 3; ++column) {
    const Vec3 edge = matrix_times(rotation, {s.cell[column], s.cell[3 + column], s.cell[6 + column]});
    for (int row = 0; row < 3; ++row) turned.cell[3 * row + column] = edge[row];
  }
  return turned;
}

// The structure turned by an orthogonal `rotation`, shifted by `shift` (Angstrom), and with its atoms in reverse
// order: atom i becomes atom n - 1 - i.
inline Structure moved_and_reversed(const Structure& s, const Cell& rotation, const Vec3& shift) {
  Structure moved = rotated(s, rotation);
  for (Vec3& r : moved.positions) {
    for (int c = 0; c < 3; ++c) r[c] += shift[c];
  }
  std::reverse(moved.positions.begin(), moved.positions.end());
  std::reverse(moved.types.begin(), moved.types.end());
  return moved;
}

// The structure under the strain that adds `epsilon` times component b to component a of every position and
// cell vector: minus the energy's derivative in epsilon at 0 is a component of the virial.
inline Structure strained(const Structure& s, int a, int b, double epsilon) {
  Structure t = s;
  for (Vec3& r : t.positions) r[a] += epsilon * r[b];
  for (int column = 0; column < 3; ++column) t.cell[3 * a + column] += epsilon * s.cell[3 * b + column];
  return t;
}

// The structure repeated `copies` times along the first cell vector, atoms of copy k after those of copy k - 1.
inline Structure repeated_along_first_vector(const Structure& s, int copies) {
  Structure r;
  r.cell = s.cell;
  for (int row = 0; row < 3; ++row) r.cell[3 * row] *= copies;
  for (int k = 0; k < copies; ++k) {
    for (int i = 0; i < s.size(); ++i) {
      Vec3 p = s.positions[i];
      for (int row = 0; row < 3; ++row) p[row] += k * s.cell[3 * row];
      r.positions.push_back(p);
      r.types.push_back(s.types[i]);
    }
  }
  return r;
}

// A cell `parts` times thinner along the first cell vector holding up to `atoms` of the structure's atoms that
// lie inside it: repeated `parts` times it is a slice of the original structure.
inline Structure thin_slice(const Structure& s, int parts, int atoms) {
  Structure thin;
  thin.cell = s.cell;
  for (int row = 0; row < 3; ++row) thin.cell[3 * row] /= parts;
  const Cell inverse = inverse_of(thin.cell);
  for (int i = 0; i < s.size() && thin.size() < atoms; ++i) {
    const Vec3 f = matrix_times(inverse, s.positions[i]);
    if (f[0] >= 0.0 && f[0] < 1.0) {
      thin.positions.push_back(s.positions[i]);
      thin.types.push_back(s.types[i]);
    }
  }
  return thin;
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
