#pragma once
// Replication of cells too thin for minimum-image neighbor lists, and the folding of the replicated batch's
// results back onto the caller's atoms and structures.
#include <cstdint>
#include <vector>

#include "quarvel/quarvel.h"

namespace quarvel::cuda_backend {

// A replicated copy of a batch. Each structure becomes n_a x n_b x n_c copies of itself (one copy when thick
// enough), ordered by copy (a outermost, c innermost) and within a copy by source atom; copy (0, 0, 0) is the
// unshifted structure. `batch` points into the vectors below, so the record is move-only. When `expanded` is
// false every vector is empty and `batch` is all zero.
struct ExpandedBatch {
  QrvlStructureBatch batch{};
  std::vector<std::int32_t> atom_counts;   // per structure: source count x replicas
  std::vector<std::int32_t> atom_offsets;  // per structure: running sum from 0
  std::vector<std::int32_t> types;         // per replicated atom
  std::vector<double> positions;           // 3 per replicated atom (Angstrom)
  std::vector<double> spins;               // 3 per replicated atom; only when the source batch has spins
  std::vector<double> boxes;               // 9 per structure: the supercell, column k scaled by n_k
  std::vector<std::int32_t> pbc;           // 3 per structure, all 1
  std::vector<std::int32_t> source_atom;   // per replicated atom: its atom index in the caller's batch
  std::vector<double> atom_weight;         // per replicated atom: 1 / replicas of its structure
  std::vector<std::int32_t> replicas;      // per structure: n_a n_b n_c
  bool expanded = false;                   // some structure has more than one copy

  ExpandedBatch() = default;
  ExpandedBatch(ExpandedBatch&&) = default;
  ExpandedBatch& operator=(ExpandedBatch&&) = default;
  ExpandedBatch(const ExpandedBatch&) = delete;
  ExpandedBatch& operator=(const ExpandedBatch&) = delete;
};

// Replicates every structure whose lattice-plane spacing along a cell vector is below 2 x cutoff (Angstrom)
// along that vector, n_k = max(1, ceil(2 cutoff |row k of the inverse cell| - 1e-12)) times. Trusts the
// structure counts and offsets. Throws std::invalid_argument for periodic flags missing or not all 1, a
// singular cell (|det| <= 1e-12) and replica or atom counts of 2^31 or more, before building anything.
ExpandedBatch expand_periodic_batch(const QrvlStructureBatch& batch, double cutoff);

// Zero-filled host arrays for the results of an expanded batch: energy and force always, every other array
// exactly when `caller` has it. `result` points into the vectors (move-only, like ExpandedBatch).
struct ExpandedResult {
  QrvlFindForceResult result{};
  std::vector<double> energy, potential, force, virial, virial_per_atom, charge, bec, mforce, spin_transfer;

  ExpandedResult() = default;
  ExpandedResult(ExpandedResult&&) = default;
  ExpandedResult& operator=(ExpandedResult&&) = default;
  ExpandedResult(const ExpandedResult&) = delete;
  ExpandedResult& operator=(const ExpandedResult&) = delete;
};

ExpandedResult make_expanded_result(const ExpandedBatch& expanded, const QrvlFindForceResult& caller);

// Folds the results of the expanded batch into the caller's: per-structure energies and virials times
// 1 / replicas; every per-atom array the caller gave becomes the mean over the atom's copies (the caller's
// arrays for `source_atoms` atoms are cleared first).
void fold_expanded_results(const ExpandedBatch& expanded, const QrvlFindForceResult& replicated, int source_atoms,
                           QrvlFindForceResult& caller);

// Folds the descriptors of the expanded batch (`replicated`, one row of `dimension` values per replicated atom)
// into the caller's rows (`source_atoms` rows, cleared first): each row becomes the mean over the atom's copies.
void fold_expanded_descriptors(const ExpandedBatch& expanded, const double* replicated, int source_atoms,
                               int dimension, double* caller);

}  // namespace quarvel::cuda_backend
