#pragma once
// Central differences and magnitudes for the tests' physics checks.
#include <algorithm>
#include <cmath>

namespace quarvel::test_support {

// df/dx at x = 0 from f(+step) and f(-step); the truncation error is of order step^2.
template <typename Function>
double central_difference(Function&& f, double step) {
  return (f(step) - f(-step)) / (2.0 * step);
}

// Largest absolute value in `values` (0 when empty).
template <typename Values>
double largest_magnitude(const Values& values) {
  double largest = 0.0;
  for (double x : values) largest = std::max(largest, std::abs(x));
  return largest;
}

}  // namespace quarvel::test_support
