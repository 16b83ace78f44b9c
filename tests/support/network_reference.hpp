#pragma once
// Double-precision reference of the per-type network, from the model file's own values.
#include <cmath>
#include <cstddef>
#include <vector>

#include "support/finite_difference.hpp"
#include "support/model_file_writer.hpp"

namespace quarvel::test_support {

constexpr double kFiniteDifferenceStep = 1e-5;  // in the unscaled descriptor; the reference is double

// The written network of one type evaluated in double from the file's own values (unfolded weights and the
// separate descriptor scaler), with the magnitudes that bound its float rounding.
struct ReferenceNetwork {
  const WrittenModel* written;
  int descriptor_dim;
  int hidden;
  int hidden2;

  double energy(int type, const std::vector<double>& q, double* magnitude = nullptr) const {
    const NetworkBlock& n = written->network[static_cast<std::size_t>(type)];
    std::vector<double> a(static_cast<std::size_t>(hidden));
    double scale = 0.0;
    for (int j = 0; j < hidden; ++j) {
      double z = -static_cast<double>(n.b0[j]);
      for (int d = 0; d < descriptor_dim; ++d) {
        z += static_cast<double>(n.w0[j * descriptor_dim + d]) * written->scaler[d] * q[d];
      }
      a[j] = std::tanh(z);
    }
    double e = 0.0;
    if (hidden2 == 0) {
      for (int j = 0; j < hidden; ++j) {
        e += n.w1[j] * a[j];
        scale += std::fabs(n.w1[j]);
      }
    } else {
      for (int k = 0; k < hidden2; ++k) {
        double z = -static_cast<double>(n.b1[k]);
        for (int j = 0; j < hidden; ++j) z += static_cast<double>(n.w1[k * hidden + j]) * a[j];
        e += n.w2[k] * std::tanh(z);
        scale += std::fabs(static_cast<double>(n.w2[k])) * hidden;
      }
    }
    if (n.type_bias) e -= *n.type_bias;
    e -= written->energy_bias;
    if (magnitude != nullptr) *magnitude = scale + 1.0;
    return e;
  }

  // Central differences of the double energy: independent of any analytic derivative.
  std::vector<double> gradient(int type, const std::vector<double>& q) const {
    return test_support::gradient(
        q, [&](const std::vector<double>& moved) { return energy(type, moved); }, kFiniteDifferenceStep);
  }
};

}  // namespace quarvel::test_support
