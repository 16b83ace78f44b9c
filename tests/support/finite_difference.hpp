#pragma once
// Central differences for the tests' physics checks: of a function of one step, of a state along one of its
// coordinates, the per-atom gradients that forces are checked against and the strain derivatives that virials
// are; and the sums and magnitudes those checks use.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <type_traits>
#include <vector>

namespace quarvel::test_support {

// df/dx at x = 0 from f(+step) and f(-step); the truncation error is of order step^2. f returns a number, or a
// vector of numbers that is differenced entry by entry.
template <typename Function>
auto central_difference(Function&& f, double step) {
  auto plus = f(step);
  const auto minus = f(-step);
  if constexpr (std::is_arithmetic_v<decltype(plus)>) {
    return (plus - minus) / (2.0 * step);
  } else {
    for (std::size_t k = 0; k < plus.size(); ++k) plus[k] = (plus[k] - minus[k]) / (2.0 * step);
    return plus;
  }
}

// df/dx at `state`, x being the number that `coordinate` returns by reference from a copy of the state.
template <typename State, typename Coordinate, typename Function>
auto partial_derivative(const State& state, Coordinate&& coordinate, Function&& f, double step) {
  return central_difference(
      [&](double h) {
        State moved = state;
        coordinate(moved) += h;
        return f(moved);
      },
      step);
}

// The gradient of f at `point`, a vector or array of numbers, entry by entry.
template <typename Point, typename Function>
Point gradient(const Point& point, Function&& f, double step) {
  Point slope = point;
  for (std::size_t k = 0; k < point.size(); ++k) {
    slope[k] = partial_derivative(point, [k](Point& p) -> auto& { return p[k]; }, f, step);
  }
  return slope;
}

// The atoms 0, stride, 2 stride, ... below `count`.
inline std::vector<int> every_atom(int count, int stride = 1) {
  std::vector<int> atoms;
  for (int atom = 0; atom < count; atom += stride) atoms.push_back(atom);
  return atoms;
}

// Minus the gradient of `energy` with respect to per-atom 3-vectors: entry 3 k + c is -dE/dx for
// x = coordinate(state, atoms[k])[c]. `coordinate` gives the atom's vector in a copy of the state, as a reference
// or as a pointer to its three numbers.
template <typename State, typename Coordinate, typename Energy>
std::vector<double> minus_gradient(const State& state, const std::vector<int>& atoms, Coordinate&& coordinate,
                                   Energy&& energy, double step) {
  std::vector<double> minus;
  for (const int atom : atoms) {
    for (int c = 0; c < 3; ++c) {
      const auto component = [&](State& moved) -> double& { return coordinate(moved, atom)[c]; };
      minus.push_back(-partial_derivative(state, component, energy, step));
    }
  }
  return minus;
}

// Entry (row, column) of `values`: 3 numbers a row, or a function of (row, column).
template <typename Values>
double entry(const Values& values, int row, int column) {
  if constexpr (std::is_invocable_v<const Values&, int, int>) {
    return values(row, column);
  } else {
    return values[3 * static_cast<std::size_t>(row) + static_cast<std::size_t>(column)];
  }
}

// Expects each axis of `force` on each atom of `atoms` within `tolerance` of minus_gradient's value. `force` is
// 3 numbers per atom, or a function of (atom, axis); `what` names it in failure messages.
template <typename Force, typename State, typename Coordinate, typename Energy>
void expect_minus_gradient(const char* what, const Force& force, double tolerance, const State& state,
                           const std::vector<int>& atoms, Coordinate&& coordinate, Energy&& energy, double step) {
  const std::vector<double> expected = minus_gradient(state, atoms, coordinate, energy, step);
  for (std::size_t k = 0; k < atoms.size(); ++k) {
    for (int c = 0; c < 3; ++c) {
      EXPECT_NEAR(entry(force, atoms[k], c), expected[3 * k + static_cast<std::size_t>(c)], tolerance)
          << what << " on atom " << atoms[k] << " axis " << c;
    }
  }
}

// Expects component ab of `virial` (9 numbers row-major, or a function of (a, b)) within `tolerance` of
// -dE/d epsilon at 0, E being strained_energy(a, b, epsilon): the energy under the strain that adds epsilon times
// component b to component a of every position and cell vector.
template <typename Virial, typename StrainedEnergy>
void expect_minus_strain_derivative(const Virial& virial, double tolerance, StrainedEnergy&& strained_energy,
                                    double step) {
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 3; ++b) {
      const double difference = -central_difference([&](double h) { return strained_energy(a, b, h); }, step);
      EXPECT_NEAR(entry(virial, a, b), difference, tolerance) << "virial component " << a << b;
    }
  }
}

// The sum over atoms of 3 numbers per atom (or a function of (atom, axis)), per axis: the net force.
template <typename Force>
std::array<double, 3> net_force(const Force& force, int atom_count) {
  std::array<double, 3> sum{0.0, 0.0, 0.0};
  for (int atom = 0; atom < atom_count; ++atom) {
    for (int c = 0; c < 3; ++c) sum[static_cast<std::size_t>(c)] += entry(force, atom, c);
  }
  return sum;
}

// Largest absolute value in `values` (0 when empty).
template <typename Values>
double largest_magnitude(const Values& values) {
  double largest = 0.0;
  for (double x : values) largest = std::max(largest, std::abs(x));
  return largest;
}

}  // namespace quarvel::test_support
