#include "structure_ranges.hpp"

#include <algorithm>
#include <cstddef>
#include <stdexcept>

namespace quarvel::cuda_backend {
namespace {

constexpr std::size_t kAxes = 3;
constexpr std::size_t kCellValues = 9;

}  // namespace

const char* claim_structure_ranges(const QrvlStructureBatch& batch, std::vector<std::int32_t>& owner) {
  owner.assign(static_cast<std::size_t>(batch.num_atoms), kUnclaimedAtom);
  for (std::int32_t s = 0; s < batch.num_structures; ++s) {
    const std::int32_t count = batch.atom_counts[s];
    const std::int32_t offset = batch.atom_offsets[s];
    if (count < 1) return "structure atom count must be positive";
    if (offset < 0) return "structure atom offset must be non-negative";
    if (offset > batch.num_atoms || count > batch.num_atoms - offset) {
      return "structure atom range exceeds batch atom count";
    }
    for (std::int32_t i = offset; i < offset + count; ++i) {
      if (owner[static_cast<std::size_t>(i)] != kUnclaimedAtom) return "overlapping structure atom ranges";
      owner[static_cast<std::size_t>(i)] = s;
    }
  }
  return nullptr;
}

bool structures_lie_inside_batch(const QrvlStructureBatch& batch) {
  for (std::int32_t s = 0; s < batch.num_structures; ++s) {
    const std::int32_t count = batch.atom_counts[s];
    const std::int32_t offset = batch.atom_offsets[s];
    if (count < 1 || offset < 0) return false;
    // Summed in 64 bits: an offset near 2^31 must not wrap past the check.
    if (std::int64_t{offset} + count > batch.num_atoms) return false;
  }
  return true;
}

void require_tiled_atom_ranges(const QrvlStructureBatch& batch) {
  std::vector<std::int32_t> owner;
  const char* failure = claim_structure_ranges(batch, owner);
  if (failure != nullptr) throw std::runtime_error(failure);
  if (std::find(owner.begin(), owner.end(), kUnclaimedAtom) != owner.end()) {
    throw std::runtime_error("batch atom is not covered by any structure");
  }
}

SingleStructureView::SingleStructureView(const QrvlStructureBatch& batch, std::int32_t s)
    : count_(batch.atom_counts[s]) {
  const auto o = static_cast<std::size_t>(batch.atom_offsets[s]);
  const auto structure = static_cast<std::size_t>(s);
  view_.num_structures = 1;
  view_.num_atoms = count_;
  view_.atom_counts = &count_;
  view_.atom_offsets = &first_atom_;
  view_.types = batch.types + o;
  view_.positions = batch.positions + kAxes * o;
  view_.spins = batch.spins != nullptr ? batch.spins + kAxes * o : nullptr;
  view_.boxes = batch.boxes + kCellValues * structure;
  view_.pbc = batch.pbc != nullptr ? batch.pbc + kAxes * structure : nullptr;
}

}  // namespace quarvel::cuda_backend
