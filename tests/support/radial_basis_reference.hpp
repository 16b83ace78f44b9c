#pragma once
// Double-precision reference of the descriptor basis: the smooth cutoff and the Chebyshev basis values of one
// pair, with T_b(x) = cos(b acos x) rather than the recurrence the kernels use.
#include <cmath>
#include <cstddef>
#include <vector>

#include "support/angular_reference.hpp"

namespace quarvel::test_support {

// f[0] = fc, f[b] = (fc/2)(T_b(x) + 1), fc = (cos(pi r/rc) + 1)/2 below rc and 0 from rc on,
// x = 2 (r/rc - 1)^2 - 1.
inline std::vector<double> basis_reference(double r, double rc, int basis_size) {
  std::vector<double> f(static_cast<std::size_t>(basis_size) + 1, 0.0);
  if (r >= rc) return f;
  const double fc = 0.5 * std::cos(kPi * r / rc) + 0.5;
  const double x = 2.0 * (r / rc - 1.0) * (r / rc - 1.0) - 1.0;
  f[0] = fc;
  for (int b = 1; b <= basis_size; ++b) f[b] = 0.5 * fc * (std::cos(b * std::acos(x)) + 1.0);
  return f;
}

}  // namespace quarvel::test_support
