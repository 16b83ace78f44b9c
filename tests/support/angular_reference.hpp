#pragma once
// Double-precision reference of the angular descriptor mathematics, derived from first principles rather than
// from the device tables: Legendre polynomials in exact integer arithmetic, real harmonics from complex powers,
// q_l from the addition theorem, and the coupling invariants written out from their definitions.
#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numeric>
#include <vector>

namespace quarvel::test_support {

constexpr double kPi = 3.14159265358979323846;
constexpr int kMaxReferenceDegree = 8;

using Vec3 = std::array<double, 3>;

// d^m P_l / dz^m = scale x Z_{l,m}(z), with Z_{l,m} of coprime integer coefficients (ascending powers) and a
// positive leading coefficient.
struct LegendreDerivative {
  std::vector<std::int64_t> coefficients;
  double scale = 1.0;

  double operator()(double z) const {
    double value = 0.0;
    for (std::size_t p = coefficients.size(); p-- > 0;) value = value * z + static_cast<double>(coefficients[p]);
    return value;
  }
};

inline std::int64_t binomial(int n, int k) {
  if (k < 0 || k > n) return 0;
  std::int64_t value = 1;
  for (int i = 1; i <= k; ++i) value = value * (n - k + i) / i;
  return value;
}

// Rodrigues: 2^l P_l(z) = sum_k C(l, k) (-1)^(l-k) C(2k, l) z^(2k-l), integer coefficients.
inline LegendreDerivative legendre_derivative(int l, int m) {
  std::vector<std::int64_t> c(static_cast<std::size_t>(l) + 1, 0);
  for (int k = 0; k <= l; ++k) {
    if (2 * k < l) continue;
    c[static_cast<std::size_t>(2 * k - l)] += binomial(l, k) * (((l - k) % 2 == 0) ? 1 : -1) * binomial(2 * k, l);
  }
  for (int d = 0; d < m; ++d) {
    for (std::size_t p = 0; p + 1 < c.size(); ++p) c[p] = c[p + 1] * static_cast<std::int64_t>(p + 1);
    c.pop_back();
  }
  std::int64_t common = 0;
  for (std::int64_t v : c) common = std::gcd(common, v < 0 ? -v : v);
  if (c.back() < 0) common = -common;
  LegendreDerivative result;
  for (std::int64_t v : c) result.coefficients.push_back(v / common);
  result.scale = static_cast<double>(common) / std::ldexp(1.0, l);
  return result;
}

inline double factorial(int n) { return n <= 1 ? 1.0 : n * factorial(n - 1); }

// The weight of order m of degree l in q_l: (2l + 1)/(4 pi) (l - m)!/(l + m)! c_{l,m}^2.
inline double harmonic_weight(int l, int m) {
  const double c = legendre_derivative(l, m).scale;
  return (2.0 * l + 1.0) / (4.0 * kPi) * factorial(l - m) / factorial(l + m) * c * c;
}

// The real harmonics of degrees 1..l_max of a unit vector, in angular-index order (per degree: order 0, then the
// cosine and sine parts of orders 1..l).
inline std::vector<double> real_harmonics(int l_max, const Vec3& u) {
  std::vector<double> y;
  const std::complex<double> transverse(u[0], u[1]);
  for (int l = 1; l <= l_max; ++l) {
    y.push_back(legendre_derivative(l, 0)(u[2]));
    for (int m = 1; m <= l; ++m) {
      const std::complex<double> power = std::pow(transverse, m);
      const double z = legendre_derivative(l, m)(u[2]);
      y.push_back(z * power.real());
      y.push_back(z * power.imag());
    }
  }
  return y;
}

// q_l of a neighborhood (weights g_j, unit vectors u_j) by the addition theorem:
// (2l + 1)/(4 pi) sum_jk g_j g_k P_l(u_j . u_k), j = k included.
inline double q_by_addition_theorem(int l, const std::vector<double>& g, const std::vector<Vec3>& u) {
  double sum = 0.0;
  for (std::size_t j = 0; j < g.size(); ++j) {
    for (std::size_t k = 0; k < g.size(); ++k) {
      const double c = u[j][0] * u[k][0] + u[j][1] * u[k][1] + u[j][2] * u[k][2];
      sum += g[j] * g[k] * std::legendre(static_cast<unsigned>(l), std::fmax(-1.0, std::fmin(1.0, c)));
    }
  }
  return (2.0 * l + 1.0) / (4.0 * kPi) * sum;
}

// The six coupling invariants of the sums s (angular-index order), in channel order q222, q1111, q112, q123,
// q233, q134.
inline std::array<double, 6> coupling_invariants(const std::vector<double>& s_in) {
  std::vector<double> s(s_in);
  s.resize(24, 0.0);
  std::array<double, 6> q{};
  q[0] = -0.00749948062 * s[3] * s[3] * s[3] - 0.134990647 * s[3] * (s[4] * s[4] + s[5] * s[5]) +
         0.0674953237 * s[3] * (s[6] * s[6] + s[7] * s[7]) + 0.404971957 * s[6] * (s[5] * s[5] - s[4] * s[4]) -
         0.809943914 * s[4] * s[5] * s[7];
  const double t = s[1] * s[1] + s[2] * s[2];
  q[1] = 0.0265968107 * s[0] * s[0] * s[0] * s[0] + 0.0531936213 * s[0] * s[0] * t + 0.0265968107 * t * t;
  q[2] = 0.0274935514 * s[0] * s[0] * s[3] + 0.164961308 * s[0] * (s[1] * s[4] + s[2] * s[5]) -
         0.0137467757 * s[3] * t + 0.0412403271 * s[6] * (s[1] * s[1] - s[2] * s[2]) +
         0.0824806541 * s[1] * s[2] * s[7];
  q[3] = -0.016836293 * s[3] * (s[0] * s[8] + s[1] * s[9] + s[2] * s[10]) -
         0.0673451722 * s[0] * (s[4] * s[9] + s[5] * s[10]) + 0.0336725861 * s[8] * (s[1] * s[4] + s[2] * s[5]) -
         0.0841814652 * s[0] * (s[6] * s[11] + s[7] * s[12]) -
         0.16836293 * (s[1] * s[4] * s[11] + s[1] * s[5] * s[12] + s[2] * s[4] * s[12] - s[2] * s[5] * s[11]) +
         0.00841814652 * (s[1] * s[6] * s[9] + s[1] * s[7] * s[10] + s[2] * s[7] * s[9] - s[2] * s[6] * s[10]) -
         0.0420907326 * (s[1] * s[6] * s[13] + s[1] * s[7] * s[14] + s[2] * s[6] * s[14] - s[2] * s[7] * s[13]);
  q[4] = 0.00857262034 * s[3] * s[8] * s[8] + 0.00964419823 * s[3] * (s[9] * s[9] + s[10] * s[10]) -
         0.0267894398 * s[3] * (s[13] * s[13] + s[14] * s[14]) + 0.0192883965 * s[6] * (s[9] * s[9] - s[10] * s[10]) +
         0.0385767929 * s[7] * s[9] * s[10] + 0.025717862 * s[8] * (s[4] * s[9] + s[5] * s[10]) -
         0.128589302 * s[8] * (s[6] * s[11] + s[7] * s[12]) +
         0.192883968 * (s[4] * s[9] * s[11] + s[5] * s[9] * s[12] + s[4] * s[10] * s[12] - s[5] * s[10] * s[11]) +
         0.321473271 * (s[4] * s[11] * s[13] + s[5] * s[11] * s[14] + s[4] * s[12] * s[14] - s[5] * s[12] * s[13]) -
         0.0321473256 * (s[6] * s[9] * s[13] + s[7] * s[9] * s[14] + s[6] * s[10] * s[14] - s[7] * s[10] * s[13]);
  q[5] = 0.00486021908 * s[0] * s[8] * s[15] - 0.00364516419 * s[15] * (s[1] * s[9] + s[2] * s[10]) +
         0.0243010949 * s[8] * (s[1] * s[16] + s[2] * s[17]) +
         0.0364516415 * (s[0] * s[9] * s[16] + s[0] * s[10] * s[17] - s[1] * s[11] * s[16] - s[1] * s[12] * s[17] -
                         s[2] * s[12] * s[16] + s[2] * s[11] * s[17]) +
         0.0729032829 * s[0] * (s[11] * s[18] + s[12] * s[19]) + 0.0850538313 * s[0] * (s[13] * s[20] + s[14] * s[21]) -
         0.00607527373 * (s[1] * s[13] * s[18] + s[1] * s[14] * s[19] + s[2] * s[14] * s[18] - s[2] * s[13] * s[19]) +
         0.0182258207 * (s[1] * s[9] * s[18] + s[1] * s[10] * s[19] + s[2] * s[9] * s[19] - s[2] * s[10] * s[18]) +
         0.255161494 * (s[1] * s[11] * s[20] + s[1] * s[12] * s[21] + s[2] * s[11] * s[21] - s[2] * s[12] * s[20]) +
         0.0425269157 * (s[1] * s[13] * s[22] + s[1] * s[14] * s[23] + s[2] * s[13] * s[23] - s[2] * s[14] * s[22]);
  return q;
}

// Smallest degree each coupling invariant reads, in channel order.
constexpr int kCouplingDegrees[6] = {2, 1, 2, 3, 3, 4};

// A rotation matrix (row-major) about the unit axis by the angle (radians).
inline std::array<double, 9> rotation(Vec3 axis, double angle) {
  const double n = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
  for (double& a : axis) a /= n;
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  const double t = 1.0 - c;
  const double x = axis[0], y = axis[1], z = axis[2];
  return {t * x * x + c,     t * x * y - s * z, t * x * z + s * y, t * x * y + s * z, t * y * y + c,
          t * y * z - s * x, t * x * z - s * y, t * y * z + s * x, t * z * z + c};
}

inline Vec3 rotate(const std::array<double, 9>& r, const Vec3& v) {
  return {r[0] * v[0] + r[1] * v[1] + r[2] * v[2], r[3] * v[0] + r[4] * v[1] + r[5] * v[2],
          r[6] * v[0] + r[7] * v[1] + r[8] * v[2]};
}

}  // namespace quarvel::test_support
