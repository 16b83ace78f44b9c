#pragma once
// Checks that physics makes exact on the outputs of whole structures: forces and virials against the energy's
// central differences over positions and strain, and the virial totals against their per-atom rows. Callers pass
// their tolerances, which name the precision that sets them.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

#include "support/descriptor_structures.hpp"
#include "support/finite_difference.hpp"
#include "support/flat_model.hpp"

namespace quarvel::test_support {

// Expects `force` (3 per atom) on each of `atoms` within `tolerance` times the largest force (at least 1
// eV/Angstrom) of minus the gradient of energy(structure) over that atom's position, and the net force within
// `rounding` times it of zero (Newton's third law).
template <typename Energy>
void expect_forces_are_minus_the_energy_gradient(const std::vector<double>& force, const Structure& s,
                                                 const std::vector<int>& atoms, Energy&& energy, double step,
                                                 double tolerance, double rounding) {
  const double scale = std::max(1.0, largest_magnitude(force));
  const auto position = [](Structure& moved, int atom) -> Vec3& { return moved.positions[atom]; };
  expect_minus_gradient("force", force, tolerance * scale, s, atoms, position, energy, step);
  for (double total : net_force(force, s.size())) EXPECT_NEAR(total, 0.0, rounding * scale) << "net force";
}

// Expects `virial` within `tolerance` times its largest component (at least 1 eV) of -dE/d(strain), positions
// and cell strained together.
template <typename Energy>
void expect_virial_is_minus_the_strain_derivative(const std::array<double, 9>& virial, const Structure& s,
                                                  Energy&& energy, double step, double tolerance) {
  const double scale = std::max(1.0, largest_magnitude(virial));
  expect_minus_strain_derivative(
      virial, tolerance * scale, [&](int a, int b, double epsilon) { return energy(strained(s, a, b, epsilon)); },
      step);
}

// Expects the per-atom virials of `per_atom` (an evaluation that asked for them) to sum to its total, and the
// total of `owner` (booked per structure owner) to equal it, each component within `tolerance`.
inline void expect_virial_totals_agree(const Evaluation& per_atom, const Evaluation& owner, double tolerance) {
  const int atoms = static_cast<int>(per_atom.virial_per_atom.size() / 9);
  for (int k = 0; k < 9; ++k) {
    double sum = 0.0;
    for (int i = 0; i < atoms; ++i) sum += per_atom.virial_per_atom[9 * i + k];
    EXPECT_NEAR(sum, per_atom.virial[k], tolerance) << "component " << k;
    EXPECT_NEAR(owner.virial[k], per_atom.virial[k], tolerance) << "component " << k;
  }
}

}  // namespace quarvel::test_support
