#pragma once
// A model's parameters on the host, regrouped into the arrays the device model uploads one to one.
#include <cstdint>
#include <string>
#include <vector>

#include "model_protocol.hpp"

namespace quarvel::cuda_backend {

// Where one type's network weights stand: indices valid in ann_type_major and ann_type_major_qscaled alike.
// An index whose part the model lacks is 0 and its flag false.
struct AnnTypeBlock {
  std::uint64_t w0_offset = 0;              // first-layer weights, H1 x D, hidden-neuron-major
  std::uint64_t b0_offset = 0;              // first-layer biases, H1
  std::uint64_t w1_offset = 0;              // output weights (H1), or second-layer weights (H2 x H1)
  std::uint64_t b1_offset = 0;              // second-layer biases, H2
  std::uint64_t w2_offset = 0;              // output weights of a two-layer network, H2
  std::uint64_t charge_weights_offset = 0;  // charge output weights, H1
  std::uint64_t type_bias_offset = 0;       // per-type bias of version 5
  bool has_type_bias = false;
  bool has_charge_weights = false;
  bool has_second_layer = false;
};

// T = num_types, D = descriptor_dim; pair index p = centre type x T + neighbor type.
struct HostModelParameters {
  ModelProtocol protocol;
  std::vector<float> ann_type_major;          // network section in file order, ann_parameter_count values
  std::vector<float> ann_type_major_qscaled;  // the same with every first-layer weight times its scaler
  std::vector<float> descriptor_coefficients;                  // radial, angular, spin sections as read
  std::vector<float> type_pair_major_descriptor_coefficients;  // structural coefficients grouped by pair
  std::vector<float> center_type_major_angular_coefficients;   // angular coefficients grouped by centre type
  std::vector<float> q_scaler;                                 // D values
  std::vector<float> radial_pair_cutoffs;                      // T^2, Angstrom, symmetric
  std::vector<float> angular_pair_cutoffs;                     // T^2, Angstrom, symmetric
  std::vector<float> zbl_pair_parameters;  // 10 per ordered pair with ZBL (rc_inner, rc_outer, a1, b1..a4, b4)
  std::vector<double> spin_baseline;
  std::vector<std::int32_t> atomic_numbers;
  std::vector<float> flexible_zbl_parameters;  // the file's per-pair records (flexible ZBL), else empty
  std::vector<AnnTypeBlock> ann_type_blocks;   // one per type
  std::uint64_t radial_coefficient_offset = 0;
  std::uint64_t angular_coefficient_offset = 0;
  std::uint64_t structural_coefficient_count = 0;
  std::uint64_t radial_coefficient_count = 0;   // T^2 (n_max_radial + 1)(basis_size_radial + 1)
  std::uint64_t angular_coefficient_count = 0;  // T^2 (n_max_angular + 1)(basis_size_angular + 1)
  std::uint64_t spin_coefficient_count = 0;
  std::uint64_t energy_bias_index = 0;       // index of the global energy bias in ann_type_major
  std::uint64_t sqrt_epsilon_inf_index = 0;  // charge models: index of sqrt_epsilon_inf; else 0
  bool has_charge = false;
};

// Reads the model file at `path` and regroups it; every failure leaves as an exception.
HostModelParameters load_host_model_parameters(const std::string& path);

// Regroups an already parsed file (what load_host_model_parameters does after reading it).
HostModelParameters build_host_model_parameters(ParsedModelFile parsed);

}  // namespace quarvel::cuda_backend
