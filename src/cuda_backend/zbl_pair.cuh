#pragma once
// The Ziegler-Biersack-Littmark screened nuclear repulsion of one pair, with its smooth switch-off, as the ZBL
// force kernels evaluate it. Only .cu files include this header.
//
// E(r) = fs(r) k Z_i Z_j phi(r/a) / r with a = 0.46848 / (Z_i^0.23 + Z_j^0.23), the screening
// phi(x) = sum_k a_k exp(-b_k x) and the switch fs = 1 below r_in, (cos(pi (r - r_in)/(r_out - r_in)) + 1)/2
// up to r_out, 0 beyond.
#include <algorithm>
#include <cstdint>
#include <iterator>

#include "cuda_platform.cuh"
#include "model_protocol.hpp"
#include "radial_basis.cuh"

namespace quarvel::cuda_backend {
namespace {

constexpr int kZblRecordFloats = 10;  // r_in, r_out, then (a_k, b_k) for k = 1..4
constexpr int kZblScreeningTerms = 4;
constexpr int kZblInnerCutoff = 0;
constexpr int kZblOuterCutoff = 1;
constexpr int kZblFirstScreening = 2;
constexpr float kZblChargeExponent = 0.23f;
constexpr float kZblInverseScreeningLength = 2.1345629692077637f;  // 1/0.46848 in float (bits 0x40089CAE)
constexpr float kCoulombEvAngstrom = 14.39964485168457f;            // e^2/(4 pi eps0) in eV Angstrom

// The universal screening coefficients (a_1, b_1, ..., a_4, b_4) that fill non-flexible records.
constexpr float kUniversalZblScreening[2 * kZblScreeningTerms] = {0.18175f, 3.1998f,  0.50986f, 0.94229f,
                                                                  0.28022f, 0.4029f, 0.02817f, 0.20162f};

// Energy of the pair with its switch (eV) and its derivative with respect to r (eV/Angstrom).
struct ZblPairTerms {
  float energy;
  float slope;
};

// Z^0.23 of an atomic number, once per atom.
__host__ __device__ __forceinline__ float zbl_charge_power(int atomic_number) {
  return powf(static_cast<float>(atomic_number), kZblChargeExponent);
}

// A centre atom's atomic number and its charge power, taken once per atom.
struct ZblCentre {
  int z;
  float power;
};

__device__ __forceinline__ ZblCentre zbl_centre(const std::int32_t* atomic_numbers, int type) {
  const int z = __ldg(&atomic_numbers[type]);
  return {z, zbl_charge_power(z)};
}

// One pair at distance r (0 < r < r_out), charge powers zi_power and zj_power, atomic number product zz,
// screening coefficients (a_1, b_1, ...), cutoffs r_in < r_out.
__host__ __device__ __forceinline__ ZblPairTerms zbl_pair_terms(float r, float zi_power, float zj_power, int zz,
                                                                const float* screening, float r_in, float r_out) {
  const float inverse_r = 1.0f / r;
  const float q = (zi_power + zj_power) * kZblInverseScreeningLength;
  const float amplitude = kCoulombEvAngstrom * static_cast<float>(zz);
  const float x = r * q;
  float phi = 0.0f;
  float dphi = 0.0f;
  for (int k = 0; k < kZblScreeningTerms; ++k) {
    const float a = screening[2 * k];
    const float b = screening[2 * k + 1];
    const float e = expf(-b * x);
    phi += a * e;
    dphi -= b * a * e;
  }
  const float e0 = inverse_r * amplitude * phi;
  const float de0 = inverse_r * (amplitude * q) * dphi - inverse_r * e0;
  float fs = 1.0f;
  float dfs = 0.0f;
  if (r >= r_in) {
    const float w = kPiF / (r_out - r_in);
    const float theta = (r - r_in) * w;
    fs = 0.5f * cosf(theta) + 0.5f;
    dfs = w * (-0.5f * sinf(theta));
  }
  return {e0 * fs, de0 * fs + e0 * dfs};
}

// The universal repulsion the fused radial kernels add to every pair: one switch for all type pairs and the
// universal screening, by value so that device code sees it.
struct UniversalZbl {
  float inner;  // Angstrom: the switch starts here
  float outer;  // Angstrom: pairs from here on feel no repulsion
  float screening[2 * kZblScreeningTerms];
  const std::int32_t* atomic_numbers;  // per type
};

inline UniversalZbl make_universal_zbl(const ModelProtocol& protocol, const std::int32_t* atomic_numbers) {
  UniversalZbl z{};
  z.inner = static_cast<float>(protocol.zbl_rc_inner);
  z.outer = static_cast<float>(protocol.zbl_rc_outer);
  std::copy(std::begin(kUniversalZblScreening), std::end(kUniversalZblScreening), z.screening);
  z.atomic_numbers = atomic_numbers;
  return z;
}

// The universal terms of a pair at distance r (0 < r < outer) between a centre and a neighbor of type tj.
__device__ __forceinline__ ZblPairTerms universal_zbl_terms(const UniversalZbl& z, const ZblCentre& centre, int tj,
                                                            float r) {
  const int zj = __ldg(&z.atomic_numbers[tj]);
  return zbl_pair_terms(r, centre.power, zbl_charge_power(zj), centre.z * zj, z.screening, z.inner, z.outer);
}

}  // namespace
}  // namespace quarvel::cuda_backend
