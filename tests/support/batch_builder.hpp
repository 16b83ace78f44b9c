#pragma once
// Small structure batches for tests: owns the arrays a QrvlStructureBatch points at.
#include <cstdint>
#include <vector>

#include "quarvel/quarvel.h"

namespace quarvel::test_support {

struct BatchArrays {
  std::vector<std::int32_t> counts;
  std::vector<std::int32_t> offsets;
  std::vector<std::int32_t> types;
  std::vector<double> positions;  // x, y, z per atom (Angstrom)
  std::vector<double> spins;      // x, y, z per atom; empty for no spins
  std::vector<double> boxes;      // 9 per structure, row-major, columns are the cell vectors
  std::vector<std::int32_t> pbc;  // 3 per structure

  // Structures of the given atom counts laid out one after the other, cubic cells of `edge` Angstrom, all flags
  // periodic; atom i has type i % type_count and a position that depends on i only.
  static BatchArrays consecutive(const std::vector<std::int32_t>& atom_counts, int type_count, double edge = 10.0) {
    BatchArrays b;
    b.counts = atom_counts;
    std::int32_t offset = 0;
    for (std::int32_t count : atom_counts) {
      b.offsets.push_back(offset);
      offset += count;
      const double cell[9] = {edge, 0.0, 0.0, 0.0, edge, 0.0, 0.0, 0.0, edge};
      b.boxes.insert(b.boxes.end(), cell, cell + 9);
      b.pbc.insert(b.pbc.end(), {1, 1, 1});
    }
    for (std::int32_t i = 0; i < offset; ++i) {
      b.types.push_back(i % type_count);
      b.positions.insert(b.positions.end(), {0.5 + 0.25 * i, 1.0 + 0.125 * i, 2.0 - 0.0625 * i});
    }
    return b;
  }

  QrvlStructureBatch view() const {
    QrvlStructureBatch batch{};
    batch.num_structures = static_cast<std::int32_t>(counts.size());
    batch.num_atoms = static_cast<std::int32_t>(types.size());
    batch.atom_counts = counts.data();
    batch.atom_offsets = offsets.data();
    batch.types = types.data();
    batch.positions = positions.data();
    batch.spins = spins.empty() ? nullptr : spins.data();
    batch.boxes = boxes.data();
    batch.pbc = pbc.data();
    return batch;
  }
};

}  // namespace quarvel::test_support
