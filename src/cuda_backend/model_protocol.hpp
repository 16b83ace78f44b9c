#pragma once
// The shape of a NEP model as read from its "nep.txt" header, and the records of a whole parsed file.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "quarvel/export.h"

namespace quarvel::cuda_backend {

// Angular order and coupling switches of the "l_max" line.
struct BodyChannelConfig {
  std::int32_t l_max_3body = 0;  // 0..8
  bool has_q_222 = false;
  bool has_q_1111 = false;
  bool has_q_112 = false;
  bool has_q_123 = false;
  bool has_q_233 = false;
  bool has_q_134 = false;

  // Angular descriptor channels per radial function: l_max_3body plus the coupling switches that are set.
  std::int32_t channel_count() const {
    return l_max_3body + static_cast<std::int32_t>(has_q_222) + static_cast<std::int32_t>(has_q_1111) +
           static_cast<std::int32_t>(has_q_112) + static_cast<std::int32_t>(has_q_123) +
           static_cast<std::int32_t>(has_q_233) + static_cast<std::int32_t>(has_q_134);
  }
  // (l, m) angular sums per radial function: (l_max_3body + 1)^2 - 1.
  std::int32_t abc_count() const { return (l_max_3body + 1) * (l_max_3body + 1) - 1; }
};

// Every header setting of a model and every quantity derived from it. Unused fields stay 0, false or empty.
// Cutoffs in Angstrom; T = num_types; per-type vectors are in type order.
struct ModelProtocol {
  std::int32_t version = 0;      // 4 or 5
  std::int32_t charge_mode = 0;  // 0, or 1..3 for the "_charge1".."_charge3" families
  std::int32_t spin_mode = 0;    // 0, or 1 for spin models
  std::int32_t num_types = 0;    // 1..118
  std::int32_t n_max_radial = 0;
  std::int32_t n_max_angular = 0;
  std::int32_t basis_size_radial = 0;
  std::int32_t basis_size_angular = 0;
  std::int32_t descriptor_dim = 0;             // structural plus spin rows
  std::int32_t structural_descriptor_dim = 0;  // n_max_radial + 1 + (n_max_angular + 1) x channel_count()
  std::int32_t spin_descriptor_dim = 0;
  std::int32_t spin_compress = 0;
  std::int32_t spin_basis_size_radial = 0;
  std::int32_t spin_basis_size_angular = 0;  // only bounds spin_n_max_angular
  std::int32_t spin_n_max_radial = 0;
  std::int32_t spin_n_max_angular = 0;
  std::int32_t spin_l_max = 0;
  std::int32_t spin_chiral = 0;
  std::int32_t hidden_neurons = 0;   // H1, 1..120
  std::int32_t hidden_neurons2 = 0;  // H2, 0..120; non-zero only for ordinary NEP4 models
  std::int32_t max_neighbors_radial = 0;
  std::int32_t max_neighbors_angular = 0;
  std::int32_t neighbor_capacity_radial = 0;   // ceil(1.25 x max_neighbors_radial): slots per atom
  std::int32_t neighbor_capacity_angular = 0;  // ceil(1.25 x max_neighbors_angular): slots per atom
  bool has_zbl = false;
  bool flexible_zbl = false;  // per-pair ZBL records follow the parameter block
  bool type_dependent_cutoffs = false;
  bool typewise_zbl = false;
  double zbl_rc_inner = 0.0;
  double zbl_rc_outer = 0.0;  // flexible ZBL: largest per-pair outer cutoff, 0 until the records are read
  double typewise_zbl_factor = 0.0;
  double cutoff_radial = 0.0;       // largest per-type radial cutoff
  double cutoff_radial_list = 0.0;  // radial neighbor-list cutoff: also covers the ZBL outer and spin cutoffs
  double cutoff_angular = 0.0;      // largest per-type angular cutoff
  double cutoff_max = 0.0;          // largest cutoff of any kind
  double spin_cutoff = 0.0;
  std::uint64_t ann_parameter_count = 0;
  std::uint64_t descriptor_coefficient_count = 0;  // structural plus spin
  std::uint64_t structural_coefficient_count = 0;  // radial plus angular
  std::uint64_t spin_coefficient_count = 0;
  std::uint64_t parameter_count = 0;  // ann_parameter_count + descriptor_coefficient_count
  std::uint64_t scaler_count = 0;     // descriptor_dim
  std::vector<std::string> elements;
  std::vector<std::int32_t> atomic_numbers;  // 1..118
  std::vector<double> cutoff_radial_by_type;
  std::vector<double> cutoff_angular_by_type;
  std::vector<double> spin_baseline;
  std::vector<std::int32_t> spin_dof_type;  // flags 0/1
  std::vector<std::int32_t> spin_env_type;  // flags 0/1
  BodyChannelConfig body_channels;
};

// A whole model file: its protocol, the parameter block and, for flexible ZBL, the per-pair records.
struct ParsedModelFile {
  ModelProtocol protocol;
  std::vector<float> parameters;               // parameter_count + scaler_count values, file order
  std::vector<float> flexible_zbl_parameters;  // 10 x T(T+1)/2 values for flexible ZBL, else empty
};

// A well-formed model file that describes a model the CUDA engine refuses.
class QUARVEL_API UnsupportedModelProtocol : public std::runtime_error {
 public:
  explicit UnsupportedModelProtocol(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace quarvel::cuda_backend
