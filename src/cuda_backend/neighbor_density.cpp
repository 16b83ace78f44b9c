#include "neighbor_density.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <stdexcept>

#include "simulation_box.hpp"

namespace quarvel::cuda_backend {
namespace {

constexpr std::size_t kCellValues = 9;
constexpr double kPi = 3.141592653589793;
constexpr int kCountDigits = 3;  // significant digits of the estimate in the refusal text

static_assert(kNeighborDensityMargin == 10.0, "the refusal text says ten times");

[[noreturn]] void refuse_density(std::int32_t structure, double estimate, std::int32_t capacity) {
  std::ostringstream text;
  text.precision(kCountDigits);
  text << "structure " << structure << " averages about " << estimate
       << " radial neighbors per atom, more than ten times the model's capacity of " << capacity
       << "; positions and cells are in Angstrom";
  throw std::runtime_error(text.str());
}

}  // namespace

void require_density_within_neighbor_capacity(const QrvlStructureBatch& batch, const ModelProtocol& protocol) {
  const double cutoff = protocol.cutoff_radial_list;
  const double sphere_volume = 4.0 / 3.0 * kPi * cutoff * cutoff * cutoff;  // Angstrom^3
  const double bound = kNeighborDensityMargin * static_cast<double>(protocol.neighbor_capacity_radial);
  for (std::int32_t s = 0; s < batch.num_structures; ++s) {
    const double volume = std::abs(cell_determinant(batch.boxes + kCellValues * static_cast<std::size_t>(s)));
    if (!(volume > kSingularDeterminant)) continue;
    // A uniform structure of this density has on average this many atoms within the cutoff of each atom.
    const double estimate = static_cast<double>(batch.atom_counts[s]) / volume * sphere_volume;
    if (estimate > bound) refuse_density(s, estimate, protocol.neighbor_capacity_radial);
  }
}

}  // namespace quarvel::cuda_backend
