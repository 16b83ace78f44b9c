#include "periodic_expansion.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <stdexcept>

#include "simulation_box.hpp"

namespace quarvel::cuda_backend {
namespace {

constexpr int kAxes = 3;
constexpr int kCellValues = 9;
constexpr int kTensorValues = 9;                       // per-atom and per-structure 3x3 outputs
constexpr double kReplicaTolerance = 1e-12;            // shortfall of 2 cutoff |g_k| still taken as one copy
constexpr double kLargestFactor = 2147483647.0;        // 2^31 - 1: replica factors must fit an int32
constexpr std::int64_t kIndexLimit = std::int64_t{1} << 31;  // replicas and atoms must stay below 2^31

constexpr const char* kNotPeriodic = "CUDA batch evaluation requires three-dimensional periodic boxes";

// Element (row, column) of structure s's cell.
double cell(const QrvlStructureBatch& batch, std::size_t s, int row, int column) {
  return batch.boxes[kCellValues * s + kAxes * row + column];
}

// Copies along each cell vector of one structure.
std::array<int, kAxes> replica_counts(const QrvlStructureBatch& batch, std::size_t s, double cutoff) {
  for (int a = 0; a < kAxes; ++a) {
    if (batch.pbc[kAxes * s + a] != 1) throw std::invalid_argument(kNotPeriodic);
  }
  const auto h = [&](int r, int c) { return cell(batch, s, r, c); };
  const double det = cell_determinant(batch.boxes + kCellValues * s);
  if (!(std::abs(det) > kSingularDeterminant)) throw std::invalid_argument("cannot expand a singular periodic box");
  const double r = 1.0 / det;
  // Rows of the inverse: cofactors times 1 / det.
  const double inverse[kAxes][kAxes] = {
      {(h(1, 1) * h(2, 2) - h(1, 2) * h(2, 1)) * r, (h(0, 2) * h(2, 1) - h(0, 1) * h(2, 2)) * r,
       (h(0, 1) * h(1, 2) - h(0, 2) * h(1, 1)) * r},
      {(h(1, 2) * h(2, 0) - h(1, 0) * h(2, 2)) * r, (h(0, 0) * h(2, 2) - h(0, 2) * h(2, 0)) * r,
       (h(0, 2) * h(1, 0) - h(0, 0) * h(1, 2)) * r},
      {(h(1, 0) * h(2, 1) - h(1, 1) * h(2, 0)) * r, (h(0, 1) * h(2, 0) - h(0, 0) * h(2, 1)) * r,
       (h(0, 0) * h(1, 1) - h(0, 1) * h(1, 0)) * r}};
  std::array<int, kAxes> counts{};
  for (int k = 0; k < kAxes; ++k) {
    const double* g = inverse[k];
    // |g_k| is the reciprocal of the spacing of the lattice planes spanned by the other two cell vectors.
    const double factor = 2.0 * cutoff * std::sqrt(g[0] * g[0] + g[1] * g[1] + g[2] * g[2]);
    if (!std::isfinite(factor) || factor > kLargestFactor) {
      throw std::invalid_argument("periodic box expansion is too large");
    }
    counts[k] = std::max(1, static_cast<int>(std::ceil(factor - kReplicaTolerance)));
  }
  return counts;
}

void require_below_index_limit(std::int64_t value) {
  if (value >= kIndexLimit) throw std::invalid_argument("expanded periodic batch is too large");
}

// Adds w times `count` values of `from` (record e) to `to` (record t), for arrays present on both sides.
void add_weighted(const double* from, double* to, int count, std::size_t e, std::size_t t, double w) {
  if (to == nullptr || from == nullptr) return;
  for (int c = 0; c < count; ++c) to[count * t + c] += w * from[count * e + c];
}

void zero(double* values, std::size_t count) {
  if (values != nullptr) std::fill(values, values + count, 0.0);
}

// A zero-filled array of `count` values when the caller has the slot, else none.
double* optional_array(const double* caller_slot, std::vector<double>& storage, std::size_t count) {
  if (caller_slot == nullptr) return nullptr;
  storage.assign(count, 0.0);
  return storage.data();
}

}  // namespace

ExpandedBatch expand_periodic_batch(const QrvlStructureBatch& batch, double cutoff) {
  ExpandedBatch out;
  const int structures = batch.num_structures;
  if (structures < 1) return out;
  if (batch.pbc == nullptr) throw std::invalid_argument(kNotPeriodic);

  // Every structure is checked before anything is built.
  std::vector<std::array<int, kAxes>> counts(static_cast<std::size_t>(structures));
  std::int64_t total_atoms = 0;
  bool any_copies = false;
  for (std::size_t s = 0; s < counts.size(); ++s) {
    counts[s] = replica_counts(batch, s, cutoff);
    const std::int64_t copies = std::int64_t{counts[s][0]} * counts[s][1] * counts[s][2];
    require_below_index_limit(copies);
    const std::int64_t atoms = copies * batch.atom_counts[s];
    require_below_index_limit(atoms);
    total_atoms += atoms;
    require_below_index_limit(total_atoms);
    any_copies = any_copies || copies > 1;
  }
  if (!any_copies) return out;

  const auto atom_total = static_cast<std::size_t>(total_atoms);
  const auto structure_total = static_cast<std::size_t>(structures);
  const bool with_spins = batch.spins != nullptr;
  out.atom_counts.reserve(structure_total);
  out.atom_offsets.reserve(structure_total);
  out.replicas.reserve(structure_total);
  out.boxes.reserve(kCellValues * structure_total);
  out.pbc.reserve(kAxes * structure_total);
  out.types.reserve(atom_total);
  out.source_atom.reserve(atom_total);
  out.atom_weight.reserve(atom_total);
  out.positions.reserve(kAxes * atom_total);
  if (with_spins) out.spins.reserve(kAxes * atom_total);

  std::int32_t offset = 0;
  for (std::size_t s = 0; s < structure_total; ++s) {
    const std::array<int, kAxes>& n = counts[s];
    const std::int32_t copies = n[0] * n[1] * n[2];
    const std::int32_t source_count = batch.atom_counts[s];
    const std::int32_t source_offset = batch.atom_offsets[s];
    out.replicas.push_back(copies);
    out.atom_offsets.push_back(offset);
    out.atom_counts.push_back(copies * source_count);
    for (int r = 0; r < kAxes; ++r) {
      for (int c = 0; c < kAxes; ++c) out.boxes.push_back(cell(batch, s, r, c) * n[c]);
    }
    out.pbc.insert(out.pbc.end(), {1, 1, 1});
    const double weight = 1.0 / copies;
    for (int j = 0; j < n[0]; ++j) {
      for (int k = 0; k < n[1]; ++k) {
        for (int l = 0; l < n[2]; ++l) {
          for (std::int32_t i = source_offset; i < source_offset + source_count; ++i) {
            const auto atom = static_cast<std::size_t>(i);
            out.types.push_back(batch.types[atom]);
            for (int r = 0; r < kAxes; ++r) {
              const double shift = (j * cell(batch, s, r, 0) + k * cell(batch, s, r, 1)) + l * cell(batch, s, r, 2);
              out.positions.push_back(shift + batch.positions[kAxes * atom + r]);
            }
            if (with_spins) {
              out.spins.insert(out.spins.end(), batch.spins + kAxes * atom, batch.spins + kAxes * atom + kAxes);
            }
            out.source_atom.push_back(i);
            out.atom_weight.push_back(weight);
          }
        }
      }
    }
    offset += copies * source_count;
  }

  out.expanded = true;
  out.batch.num_structures = structures;
  out.batch.num_atoms = static_cast<std::int32_t>(total_atoms);
  out.batch.atom_counts = out.atom_counts.data();
  out.batch.atom_offsets = out.atom_offsets.data();
  out.batch.types = out.types.data();
  out.batch.positions = out.positions.data();
  out.batch.spins = with_spins ? out.spins.data() : nullptr;
  out.batch.boxes = out.boxes.data();
  out.batch.pbc = out.pbc.data();
  return out;
}

ExpandedResult make_expanded_result(const ExpandedBatch& expanded, const QrvlFindForceResult& caller) {
  const auto structures = static_cast<std::size_t>(expanded.batch.num_structures);
  const auto atoms = static_cast<std::size_t>(expanded.batch.num_atoms);
  ExpandedResult out;
  out.energy.assign(structures, 0.0);
  out.force.assign(kAxes * atoms, 0.0);
  out.result.energy = out.energy.data();
  out.result.force = out.force.data();
  out.result.potential = optional_array(caller.potential, out.potential, atoms);
  out.result.virial = optional_array(caller.virial, out.virial, kTensorValues * structures);
  out.result.virial_per_atom = optional_array(caller.virial_per_atom, out.virial_per_atom, kTensorValues * atoms);
  out.result.charge = optional_array(caller.charge, out.charge, atoms);
  out.result.bec = optional_array(caller.bec, out.bec, kTensorValues * atoms);
  out.result.mforce = optional_array(caller.mforce, out.mforce, kAxes * atoms);
  out.result.spin_transfer = optional_array(caller.spin_transfer, out.spin_transfer, kTensorValues * atoms);
  return out;
}

void fold_expanded_results(const ExpandedBatch& expanded, const QrvlFindForceResult& replicated, int source_atoms,
                           QrvlFindForceResult& caller) {
  const auto structures = static_cast<std::size_t>(expanded.batch.num_structures);
  for (std::size_t s = 0; s < structures; ++s) {
    const double scale = 1.0 / expanded.replicas[s];
    caller.energy[s] = scale * replicated.energy[s];
    if (caller.virial != nullptr) {
      for (int c = 0; c < kTensorValues; ++c) {
        caller.virial[kTensorValues * s + c] = replicated.virial[kTensorValues * s + c] * scale;
      }
    }
  }
  const auto atoms = static_cast<std::size_t>(source_atoms);
  zero(caller.force, kAxes * atoms);
  zero(caller.potential, atoms);
  zero(caller.virial_per_atom, kTensorValues * atoms);
  zero(caller.charge, atoms);
  zero(caller.bec, kTensorValues * atoms);
  zero(caller.mforce, kAxes * atoms);
  zero(caller.spin_transfer, kTensorValues * atoms);
  // Every source atom has exactly `replicas` copies of weight 1 / replicas: the sums are means over the copies.
  for (std::size_t e = 0; e < expanded.source_atom.size(); ++e) {
    const auto t = static_cast<std::size_t>(expanded.source_atom[e]);
    const double w = expanded.atom_weight[e];
    add_weighted(replicated.force, caller.force, kAxes, e, t, w);
    add_weighted(replicated.mforce, caller.mforce, kAxes, e, t, w);
    add_weighted(replicated.potential, caller.potential, 1, e, t, w);
    add_weighted(replicated.charge, caller.charge, 1, e, t, w);
    add_weighted(replicated.virial_per_atom, caller.virial_per_atom, kTensorValues, e, t, w);
    add_weighted(replicated.bec, caller.bec, kTensorValues, e, t, w);
    add_weighted(replicated.spin_transfer, caller.spin_transfer, kTensorValues, e, t, w);
  }
}

void fold_expanded_descriptors(const ExpandedBatch& expanded, const double* replicated, int source_atoms,
                               int dimension, double* caller) {
  zero(caller, static_cast<std::size_t>(source_atoms) * static_cast<std::size_t>(dimension));
  for (std::size_t e = 0; e < expanded.source_atom.size(); ++e) {
    const auto t = static_cast<std::size_t>(expanded.source_atom[e]);
    add_weighted(replicated, caller, dimension, e, t, expanded.atom_weight[e]);
  }
}

}  // namespace quarvel::cuda_backend
