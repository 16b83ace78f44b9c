#pragma once
// LAMMPS-style full neighbor lists for tests: local atoms in a cubic cell, their periodic images within the list
// cutoff as ghost atoms, and per local atom every other atom (local or ghost) closer than the list cutoff, found
// by brute force. Owns the arrays the host and device input records point at.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "cuda_backend/device_buffer.hpp"
#include "cuda_backend/cuda_runtime_platform.hpp"
#include "quarvel/quarvel.h"

namespace quarvel::test_support {

struct LammpsSystem {
  int nlocal = 0;
  int nall = 0;
  double edge = 0.0;                         // Angstrom, cubic cell of the local atoms
  std::vector<std::int32_t> types;           // LAMMPS type per atom (local then ghosts)
  std::vector<double> positions;             // x, y, z per atom
  std::vector<std::int32_t> image_of;        // the local atom each atom is a copy of
  std::vector<std::vector<std::int32_t>> rows;  // full neighbor row of each local atom, ascending index
  std::vector<std::pair<std::int32_t, std::vector<std::int32_t>>> ghost_rows;  // (ghost, its complete row)

  std::vector<std::int32_t> row_of(int i, double list_cutoff) const {
    std::vector<std::int32_t> row;
    for (int j = 0; j < nall; ++j) {
      if (j != i && distance(i, j) < list_cutoff) row.push_back(j);
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

  // `nlocal` atoms at fixed pseudo-random spots of a cell of `edge` Angstrom; LAMMPS type 1 + i % lammps_types.
  // Ghost atoms are the images within `ghost_cutoff` (at least the list cutoff) of the cell. With a ghost cutoff
  // of twice the list cutoff, `ghost_rows` holds the complete rows of the ghosts within the list cutoff of the
  // cell, as a LAMMPS ghost neighbor list does.
  static LammpsSystem random(int nlocal, double edge, double list_cutoff, int lammps_types, std::uint32_t seed = 7,
                             double ghost_cutoff = 0.0) {
    ghost_cutoff = std::max(ghost_cutoff, list_cutoff);
    const int shells = static_cast<int>(std::ceil(ghost_cutoff / edge));
    LammpsSystem s;
    s.nlocal = nlocal;
    s.edge = edge;
    std::uint32_t state = seed;
    auto next = [&state] {
      state = state * 1664525u + 1013904223u;  // a fixed linear congruential sequence: same atoms on every run
      return static_cast<double>(state >> 8) / static_cast<double>(1u << 24);
    };
    for (int i = 0; i < nlocal; ++i) {
      s.types.push_back(1 + i % lammps_types);
      for (int c = 0; c < 3; ++c) s.positions.push_back(edge * next());
      s.image_of.push_back(i);
    }
    for (int a = -shells; a <= shells; ++a) {
      for (int b = -shells; b <= shells; ++b) {
        for (int c = -shells; c <= shells; ++c) {
          if (a == 0 && b == 0 && c == 0) continue;
          for (int i = 0; i < nlocal; ++i) {
            const double p[3] = {s.positions[3 * i] + a * edge, s.positions[3 * i + 1] + b * edge,
                                 s.positions[3 * i + 2] + c * edge};
            bool near = true;
            for (double x : p) near = near && x > -ghost_cutoff && x < edge + ghost_cutoff;
            if (!near) continue;
            s.types.push_back(s.types[i]);
            s.positions.insert(s.positions.end(), p, p + 3);
            s.image_of.push_back(i);
          }
        }
      }
    }
    s.nall = static_cast<int>(s.types.size());
    s.rows.resize(nlocal);
    for (int i = 0; i < nlocal; ++i) s.rows[i] = s.row_of(i, list_cutoff);
    if (ghost_cutoff >= 2.0 * list_cutoff) {
      for (int i = nlocal; i < s.nall; ++i) {
        bool inner = true;
        for (int c = 0; c < 3; ++c) {
          inner = inner && s.positions[3 * i + c] > -list_cutoff && s.positions[3 * i + c] < edge + list_cutoff;
        }
        if (inner) s.ghost_rows.emplace_back(i, s.row_of(i, list_cutoff));
      }
    }
    return s;
  }
};

// Host-memory record of a system, with row pointers as LAMMPS hands them over.
struct HostLammpsInput {
  std::vector<std::int32_t> ilist, numneigh, types, type_map;
  std::vector<std::vector<std::int32_t>> neighbor_rows;
  std::vector<const std::int32_t*> firstneigh;
  std::vector<const double*> positions;
  std::vector<std::vector<double>> spin_rows;
  std::vector<const double*> spins;

  // type_map maps LAMMPS type t to model type t - 1 (entry 0 unmapped).
  HostLammpsInput(const LammpsSystem& s, int lammps_types) {
    numneigh.assign(s.nall, 0);
    neighbor_rows.resize(s.nall);
    for (int i = 0; i < s.nlocal; ++i) {
      ilist.push_back(i);
      neighbor_rows[i] = s.rows[i];
      numneigh[i] = static_cast<std::int32_t>(s.rows[i].size());
    }
    for (const auto& row : neighbor_rows) firstneigh.push_back(row.empty() ? nullptr : row.data());
    types = s.types;
    type_map.push_back(-1);
    for (int t = 1; t <= lammps_types; ++t) type_map.push_back(t - 1);
    for (int i = 0; i < s.nall; ++i) positions.push_back(&s.positions[3 * i]);
  }
  // Lists the ghosts that have complete rows as active atoms too (a LAMMPS ghost neighbor list).
  void add_ghost_rows(const LammpsSystem& s) {
    for (const auto& [ghost, row] : s.ghost_rows) {
      ilist.push_back(ghost);
      neighbor_rows[ghost] = row;
      numneigh[ghost] = static_cast<std::int32_t>(row.size());
    }
    refresh_rows();
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
// `row_width` slots per local atom (atom stride row_width, slot stride 1), positions atom-major (atom stride 3,
// component stride 1), LAMMPS types with the map of HostLammpsInput.
struct DeviceLammpsInput {
  int nlocal = 0, nall = 0, row_width = 0;
  std::vector<std::int32_t> host_neighbors, host_numneigh, host_ilist;
  DeviceCopy<std::int32_t> ilist, numneigh, neighbors, types, type_map;
  DeviceCopy<double> positions;

  DeviceLammpsInput(const LammpsSystem& s, int lammps_types, int width)
      : nlocal(s.nlocal), nall(s.nall), row_width(width) {
    host_neighbors.assign(static_cast<std::size_t>(s.nlocal) * width, 0);
    for (int i = 0; i < s.nlocal; ++i) {
      host_ilist.push_back(i);
      host_numneigh.push_back(static_cast<std::int32_t>(s.rows[i].size()));
      for (std::size_t k = 0; k < s.rows[i].size() && static_cast<int>(k) < width; ++k) {
        host_neighbors[static_cast<std::size_t>(i) * width + k] = s.rows[i][k];
      }
    }
    std::vector<std::int32_t> map = {-1};
    for (int t = 1; t <= lammps_types; ++t) map.push_back(t - 1);
    upload(s.types, map, s.positions);
  }
  void upload(const std::vector<std::int32_t>& lammps_types, const std::vector<std::int32_t>& map,
              const std::vector<double>& xyz) {
    ilist = DeviceCopy<std::int32_t>(host_ilist);
    numneigh = DeviceCopy<std::int32_t>(host_numneigh);
    neighbors = DeviceCopy<std::int32_t>(host_neighbors);
    types = DeviceCopy<std::int32_t>(lammps_types);
    type_map = DeviceCopy<std::int32_t>(map);
    positions = DeviceCopy<double>(xyz);
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
    in.neighbor_rows = nlocal;
    in.numneigh_length = nlocal;
    in.ilist = ilist.get();
    in.numneigh = numneigh.get();
    in.neighbors = neighbors.get();
    in.neighbor_atom_stride = row_width;
    in.neighbor_slot_stride = 1;
    in.types = types.get();
    in.type_map = type_map.get();
    in.type_map_length = static_cast<std::int32_t>(type_map.count);
    in.positions = positions.get();
    in.position_atom_stride = 3;
    in.position_component_stride = 1;
    return in;
  }
};

}  // namespace quarvel::test_support
