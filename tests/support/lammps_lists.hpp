#pragma once
// LAMMPS-style full neighbor lists for tests: local atoms in a periodic cell, their periodic images within the
// ghost cutoff as ghost atoms, and per local atom every other atom (local or ghost) closer than the list cutoff,
// found by brute force. Owns the arrays the host and device input records point at.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "cuda_backend/device_buffer.hpp"
#include "cuda_backend/cuda_runtime_platform.hpp"
#include "quarvel/quarvel.h"
#include "support/cell_math.hpp"

namespace quarvel::test_support {

constexpr std::int32_t kLammpsFlagShift = 30;  // a LAMMPS neighbor entry keeps two flag bits above the index

// The entry k of a row as LAMMPS may hand it over: the atom index with flag value k % 4 in the two top bits.
inline std::int32_t flagged_entry(std::int32_t atom, std::size_t k) {
  const auto flags = static_cast<std::uint32_t>(k % 4) << kLammpsFlagShift;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(atom) | flags);
}

struct LammpsSystem {
  int nlocal = 0;
  int nall = 0;
  double list_cutoff = 0.0;                  // Angstrom: rows hold every other atom closer than this
  std::vector<std::int32_t> types;           // LAMMPS type per atom (local then ghosts)
  std::vector<double> positions;             // x, y, z per atom
  std::vector<std::int32_t> image_of;        // the local atom each atom is a copy of
  std::vector<std::vector<std::int32_t>> rows;  // full neighbor row of each local atom, ascending index

  std::vector<std::int32_t> row_of(int i, double cutoff) const {
    std::vector<std::int32_t> row;
    for (int j = 0; j < nall; ++j) {
      if (j != i && distance(i, j) < cutoff) row.push_back(j);
    }
    return row;
  }

  double distance(int i, int j) const {
    double d2 = 0.0;
    for (int c = 0; c < 3; ++c) {
      const double d = positions[3 * j + c] - positions[3 * i + c];
      d2 += d * d;
    }
    return std::sqrt(d2);
  }
  // Atoms a host list stages: the local ones and every atom some row names.
  int referenced_count() const {
    int n = nlocal;
    for (const auto& row : rows) {
      for (int j : row) n = std::max(n, j + 1);
    }
    return n;
  }
  int longest_row() const {
    int longest = 0;
    for (const auto& row : rows) longest = std::max(longest, static_cast<int>(row.size()));
    return longest;
  }

  // The local atoms of a periodic cell (positions x, y, z inside it) and their ghosts as LAMMPS builds them:
  // every image whose fractional coordinates lie within `ghost_cutoff` (at least the list cutoff) of the cell,
  // measured across the lattice planes, in the order of the cell shifts and then of the local atoms. The rows
  // of the local atoms hold every other atom closer than the list cutoff, images of the atom itself included
  // when the cell is thinner than the cutoff.
  static LammpsSystem periodic(const Cell& cell, const std::vector<double>& local_positions,
                               const std::vector<std::int32_t>& lammps_types, double list_cutoff,
                               double ghost_cutoff = 0.0) {
    ghost_cutoff = std::max(ghost_cutoff, list_cutoff);
    const Cell inverse = inverse_of(cell);
    double reach[3];  // the ghost shell's thickness along each cell vector, in fractional units
    int shells[3];
    for (int k = 0; k < 3; ++k) {
      const double plane_density = std::sqrt(inverse[3 * k] * inverse[3 * k] + inverse[3 * k + 1] * inverse[3 * k + 1] +
                                             inverse[3 * k + 2] * inverse[3 * k + 2]);
      reach[k] = ghost_cutoff * plane_density;
      shells[k] = static_cast<int>(std::ceil(reach[k]));
    }
    LammpsSystem s;
    s.nlocal = static_cast<int>(lammps_types.size());
    s.list_cutoff = list_cutoff;
    s.types = lammps_types;
    s.positions = local_positions;
    for (int i = 0; i < s.nlocal; ++i) s.image_of.push_back(i);
    for (int a = -shells[0]; a <= shells[0]; ++a) {
      for (int b = -shells[1]; b <= shells[1]; ++b) {
        for (int c = -shells[2]; c <= shells[2]; ++c) {
          if (a == 0 && b == 0 && c == 0) continue;
          const int shift[3] = {a, b, c};
          for (int i = 0; i < s.nlocal; ++i) {
            double p[3];
            for (int row = 0; row < 3; ++row) {
              p[row] = local_positions[3 * i + row] + a * cell[3 * row] + b * cell[3 * row + 1] + c * cell[3 * row + 2];
            }
            bool near = true;
            for (int k = 0; k < 3; ++k) {
              double f = 0.0;
              for (int row = 0; row < 3; ++row) f += inverse[3 * k + row] * local_positions[3 * i + row];
              f += shift[k];
              near = near && f > -reach[k] && f < 1.0 + reach[k];
            }
            if (!near) continue;
            s.types.push_back(lammps_types[i]);
            s.positions.insert(s.positions.end(), p, p + 3);
            s.image_of.push_back(i);
          }
        }
      }
    }
    s.nall = static_cast<int>(s.types.size());
    s.rows.resize(s.nlocal);
    for (int i = 0; i < s.nlocal; ++i) s.rows[i] = s.row_of(i, list_cutoff);
    return s;
  }

  // `nlocal` atoms at fixed pseudo-random spots of a cubic cell of `edge` Angstrom; LAMMPS type 1 + i % lammps_types.
  static LammpsSystem random(int nlocal, double edge, double list_cutoff, int lammps_types, std::uint32_t seed = 7,
                             double ghost_cutoff = 0.0) {
    std::uint32_t state = seed;
    auto next = [&state] {
      state = state * 1664525u + 1013904223u;  // a fixed linear congruential sequence: same atoms on every run
      return static_cast<double>(state >> 8) / static_cast<double>(1u << 24);
    };
    std::vector<std::int32_t> types;
    std::vector<double> positions;
    for (int i = 0; i < nlocal; ++i) {
      types.push_back(1 + i % lammps_types);
      for (int c = 0; c < 3; ++c) positions.push_back(edge * next());
    }
    const Cell cubic = {edge, 0.0, 0.0, 0.0, edge, 0.0, 0.0, 0.0, edge};
    return periodic(cubic, positions, types, list_cutoff, ghost_cutoff);
  }
};

// The map of LAMMPS type t to model type t - 1 (entry 0 unmapped).
inline std::vector<std::int32_t> shifted_type_map(int lammps_types) {
  std::vector<std::int32_t> map = {-1};
  for (int t = 1; t <= lammps_types; ++t) map.push_back(t - 1);
  return map;
}

// LAMMPS spin rows of every atom (direction x, y, z, then magnitude) from spin vectors of the local atoms, one
// x, y, z triple each; ghosts carry the spins of the atoms they image.
inline std::vector<std::vector<double>> lammps_spin_rows(const LammpsSystem& s, const std::vector<double>& spins) {
  std::vector<std::vector<double>> rows;
  for (int i = 0; i < s.nall; ++i) {
    const double* v = &spins[3 * static_cast<std::size_t>(s.image_of[i])];
    const double magnitude = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    rows.push_back({v[0] / magnitude, v[1] / magnitude, v[2] / magnitude, magnitude});
  }
  return rows;
}

// Host-memory record of a system, with row pointers as LAMMPS hands them over: ilist names the local atoms.
struct HostLammpsInput {
  std::vector<std::int32_t> ilist, numneigh, types, type_map;
  std::vector<std::vector<std::int32_t>> neighbor_rows;
  std::vector<const std::int32_t*> firstneigh;
  std::vector<const double*> positions;
  std::vector<std::vector<double>> spin_rows;
  std::vector<const double*> spins;

  HostLammpsInput(const LammpsSystem& s, int lammps_types) : HostLammpsInput(s, shifted_type_map(lammps_types)) {}
  HostLammpsInput(const LammpsSystem& s, std::vector<std::int32_t> map) : type_map(std::move(map)) {
    numneigh.assign(s.nall, 0);
    neighbor_rows.resize(s.nall);
    for (int i = 0; i < s.nlocal; ++i) {
      ilist.push_back(i);
      neighbor_rows[i] = s.rows[i];
      numneigh[i] = static_cast<std::int32_t>(s.rows[i].size());
    }
    firstneigh.resize(s.nall);
    refresh_rows();
    types = s.types;
    for (int i = 0; i < s.nall; ++i) positions.push_back(&s.positions[3 * i]);
  }
  // Gives the ghosts rows too, as a LAMMPS list with ghost neighbors has them; ilist still names the local atoms.
  void add_ghost_rows(const LammpsSystem& s) {
    for (int ghost = s.nlocal; ghost < s.nall; ++ghost) {
      neighbor_rows[ghost] = s.row_of(ghost, s.list_cutoff);
      numneigh[ghost] = static_cast<std::int32_t>(neighbor_rows[ghost].size());
    }
    refresh_rows();
  }
  // Sets the two flag bits of the entries as flagged_entry does.
  void flag_entries() {
    for (auto& row : neighbor_rows) {
      for (std::size_t k = 0; k < row.size(); ++k) row[k] = flagged_entry(row[k], k);
    }
  }
  void add_spins(const std::vector<std::vector<double>>& rows) {
    spin_rows = rows;
    spins.clear();
    for (const auto& row : spin_rows) spins.push_back(row.data());
  }
  void refresh_rows() {
    for (std::size_t i = 0; i < neighbor_rows.size(); ++i) {
      firstneigh[i] = neighbor_rows[i].empty() ? nullptr : neighbor_rows[i].data();
    }
  }
  QrvlLammpsNeighborInput view(int nlocal) const {
    QrvlLammpsNeighborInput in{};
    in.nlocal = nlocal;
    in.inum = static_cast<std::int32_t>(ilist.size());
    in.ilist = ilist.data();
    in.numneigh = numneigh.data();
    in.firstneigh = firstneigh.data();
    in.types = types.data();
    in.type_map = type_map.data();
    in.positions = positions.data();
    in.spins = spins.empty() ? nullptr : spins.data();
    return in;
  }
};

// A device copy of a host vector, freed with the object.
template <typename T>
struct DeviceCopy {
  cuda_backend::DeviceBuffer buffer;
  std::size_t count = 0;
  DeviceCopy() = default;
  explicit DeviceCopy(const std::vector<T>& host) : buffer(host.size() * sizeof(T), "test upload"), count(host.size()) {
    if (!host.empty()) (void)cudaMemcpy(buffer.data(), host.data(), host.size() * sizeof(T), cudaMemcpyHostToDevice);
  }
  T* get() const { return buffer.as<T>(); }
  std::vector<T> read() const {
    std::vector<T> host(count);
    if (count > 0) (void)cudaMemcpy(host.data(), buffer.data(), count * sizeof(T), cudaMemcpyDeviceToHost);
    return host;
  }
};

// Device-memory arrays of a system in the layouts the device entry point takes: neighbors row-major with
// `row_width` slots per row (atom stride row_width, slot stride 1), rows for the local atoms (and the ghosts
// after add_ghost_rows), positions atom-major (atom stride 3, component stride 1), LAMMPS types with a map,
// spin rows of four values (atom stride 4) after add_spins.
struct DeviceLammpsInput {
  int nlocal = 0, nall = 0, row_width = 0;
  std::vector<std::int32_t> host_neighbors, host_numneigh, host_ilist;
  DeviceCopy<std::int32_t> ilist, numneigh, neighbors, types, type_map;
  DeviceCopy<double> positions, spins;

  DeviceLammpsInput(const LammpsSystem& s, int lammps_types, int width)
      : DeviceLammpsInput(s, shifted_type_map(lammps_types), width) {}
  DeviceLammpsInput(const LammpsSystem& s, const std::vector<std::int32_t>& map, int width)
      : nlocal(s.nlocal), nall(s.nall) {
    for (int i = 0; i < s.nlocal; ++i) host_ilist.push_back(i);
    lay_out_rows(s.rows, width);
    upload(s.types, map, s.positions);
  }
  void upload(const std::vector<std::int32_t>& lammps_types, const std::vector<std::int32_t>& map,
              const std::vector<double>& xyz) {
    refresh_lists();
    types = DeviceCopy<std::int32_t>(lammps_types);
    type_map = DeviceCopy<std::int32_t>(map);
    positions = DeviceCopy<double>(xyz);
  }
  // Gives the ghosts rows too, widening the rows to the longest one; ilist still names the local atoms.
  void add_ghost_rows(const LammpsSystem& s) {
    std::vector<std::vector<std::int32_t>> rows = s.rows;
    int width = row_width;
    for (int ghost = s.nlocal; ghost < s.nall; ++ghost) {
      rows.push_back(s.row_of(ghost, s.list_cutoff));
      width = std::max(width, static_cast<int>(rows.back().size()));
    }
    lay_out_rows(rows, width);
    refresh_lists();
  }
  // Sets the two flag bits of the entries as flagged_entry does.
  void flag_entries() {
    for (std::size_t i = 0; i < host_numneigh.size(); ++i) {
      for (int k = 0; k < std::min(host_numneigh[i], row_width); ++k) {
        std::int32_t& entry = host_neighbors[i * static_cast<std::size_t>(row_width) + static_cast<std::size_t>(k)];
        entry = flagged_entry(entry, static_cast<std::size_t>(k));
      }
    }
    refresh_lists();
  }
  void add_spins(const std::vector<std::vector<double>>& rows) {
    std::vector<double> flat;
    for (const auto& row : rows) flat.insert(flat.end(), row.begin(), row.end());
    spins = DeviceCopy<double>(flat);
  }
  // Re-uploads the lists after a test changed the host copies.
  void refresh_lists() {
    ilist = DeviceCopy<std::int32_t>(host_ilist);
    numneigh = DeviceCopy<std::int32_t>(host_numneigh);
    neighbors = DeviceCopy<std::int32_t>(host_neighbors);
  }
  QrvlLammpsDeviceNeighborInput view() const {
    QrvlLammpsDeviceNeighborInput in{};
    in.nlocal = nlocal;
    in.nall = nall;
    in.inum = static_cast<std::int32_t>(host_ilist.size());
    in.max_neighbors = row_width;
    in.neighbor_rows = static_cast<std::int32_t>(host_numneigh.size());
    in.numneigh_length = static_cast<std::int32_t>(host_numneigh.size());
    in.ilist = ilist.get();
    in.numneigh = numneigh.get();
    in.neighbors = neighbors.get();
    in.neighbor_atom_stride = std::max(row_width, 1);
    in.neighbor_slot_stride = 1;
    in.types = types.get();
    in.type_map = type_map.get();
    in.type_map_length = static_cast<std::int32_t>(type_map.count);
    in.positions = positions.get();
    in.position_atom_stride = 3;
    in.position_component_stride = 1;
    if (spins.count > 0) {
      in.spins = spins.get();
      in.spin_atom_stride = 4;
      in.spin_component_stride = 1;
    }
    return in;
  }

 private:
  // Row i at i x width, truncated to the width; the counts stay those of the full rows.
  void lay_out_rows(const std::vector<std::vector<std::int32_t>>& rows, int width) {
    row_width = width;
    host_numneigh.clear();
    host_neighbors.assign(rows.size() * static_cast<std::size_t>(std::max(width, 1)), 0);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      host_numneigh.push_back(static_cast<std::int32_t>(rows[i].size()));
      for (std::size_t k = 0; k < rows[i].size() && static_cast<int>(k) < width; ++k) {
        host_neighbors[i * static_cast<std::size_t>(std::max(width, 1)) + k] = rows[i][k];
      }
    }
  }
};

}  // namespace quarvel::test_support
