#include "finite_input.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace quarvel::cuda_backend {
namespace {

constexpr std::size_t kAxes = 3;
constexpr std::size_t kCellValues = 9;

// Refuses the first record of `width` values (one per owner: atom or structure) that holds a non-finite value.
void require_finite_records(const double* values, std::int32_t owners, std::size_t width, const char* owner,
                            const char* what) {
  for (std::int32_t i = 0; i < owners; ++i) {
    if (!all_finite(values + width * static_cast<std::size_t>(i), width)) {
      refuse_non_finite(owner, i, what);
    }
  }
}

}  // namespace

bool all_finite(const double* values, std::size_t count) {
  for (std::size_t k = 0; k < count; ++k) {
    if (!std::isfinite(values[k])) return false;
  }
  return true;
}

void refuse_non_finite(const char* owner, std::int64_t index, const char* what) {
  throw std::invalid_argument(std::string(owner) + " " + std::to_string(index) + " has a non-finite " + what);
}

void require_finite_batch(const QrvlStructureBatch& batch, bool with_spins) {
  if (batch.positions != nullptr) require_finite_records(batch.positions, batch.num_atoms, kAxes, "atom", "position");
  if (batch.boxes != nullptr) {
    require_finite_records(batch.boxes, batch.num_structures, kCellValues, "structure", "cell");
  }
  if (with_spins && batch.spins != nullptr) require_finite_records(batch.spins, batch.num_atoms, kAxes, "atom", "spin");
}

}  // namespace quarvel::cuda_backend
