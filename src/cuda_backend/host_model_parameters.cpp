#include "host_model_parameters.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "error_checks.hpp"
#include "model_file_reader.hpp"

namespace quarvel::cuda_backend {
namespace {

constexpr std::size_t kZblRecordValues = 10;  // rc_inner, rc_outer, then a1, b1, ..., a4, b4
constexpr std::int32_t kMaxTypewiseZblAtomicNumber = 94;

// Coefficient and exponent pairs a1, b1, ..., a4, b4 of the universal ZBL screening function
// phi(x) = sum_k a_k exp(-b_k x).
constexpr std::array<float, 8> kZblScreening = {0.18175f, 3.1998f, 0.50986f, 0.94229f,
                                                0.28022f, 0.4029f, 0.02817f, 0.20162f};

// Radii in Angstrom for atomic numbers 1..94 that set the typewise ZBL outer cutoff of a pair.
constexpr std::array<float, kMaxTypewiseZblAtomicNumber> kTypewiseZblRadius = {
    0.426667f, 0.613333f, 1.6f,      1.25333f, 1.02667f, 1.0f,     0.946667f, 0.84f,     0.853333f, 0.893333f,
    1.86667f,  1.66667f,  1.50667f,  1.38667f, 1.46667f, 1.36f,    1.32f,     1.28f,     2.34667f,  2.05333f,
    1.77333f,  1.62667f,  1.61333f,  1.46667f, 1.42667f, 1.38667f, 1.33333f,  1.32f,     1.34667f,  1.45333f,
    1.49333f,  1.45333f,  1.53333f,  1.46667f, 1.52f,    1.56f,    2.52f,     2.22667f,  1.96f,     1.85333f,
    1.76f,     1.65333f,  1.53333f,  1.50667f, 1.50667f, 1.44f,    1.53333f,  1.64f,     1.70667f,  1.68f,
    1.68f,     1.64f,     1.76f,     1.74667f, 2.78667f, 2.34667f, 2.16f,     1.96f,     2.10667f,  2.09333f,
    2.08f,     2.06667f,  2.01333f,  2.02667f, 2.01333f, 2.0f,     1.98667f,  1.98667f,  1.97333f,  2.04f,
    1.94667f,  1.82667f,  1.74667f,  1.64f,    1.57333f, 1.54667f, 1.48f,     1.49333f,  1.50667f,  1.76f,
    1.73333f,  1.73333f,  1.81333f,  1.74667f, 1.84f,    1.89333f, 2.68f,     2.41333f,  2.22667f,  2.10667f,
    2.02667f,  2.04f,     2.05333f,  2.06667f};

// Rounds to the nearest float as IEEE arithmetic does, overflowing to an infinity. The plain cast leaves
// values beyond the float range undefined, and the ZBL cutoffs and factor of a file have no upper bound.
float round_to_float(double value) {
  constexpr double kLargestFloat = static_cast<double>(std::numeric_limits<float>::max());
  if (value > kLargestFloat) return std::numeric_limits<float>::infinity();
  if (value < -kLargestFloat) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

std::size_t nonnegative_size(std::int32_t value, const char* name) {
  if (value < 0) throw std::runtime_error(std::string(name) + " must be non-negative");
  return static_cast<std::size_t>(value);
}

// Copies `count` raw values from `cursor` onwards to the end of `section` and advances the cursor.
void append_parameter_section(const std::vector<float>& raw, std::size_t& cursor, std::size_t count,
                              std::vector<float>& section) {
  require(count <= raw.size() && cursor <= raw.size() - count, "parameter section exceeds raw parameter buffer");
  section.insert(section.end(), raw.begin() + static_cast<std::ptrdiff_t>(cursor),
                 raw.begin() + static_cast<std::ptrdiff_t>(cursor + count));
  cursor += count;
}

// Offset at which the next append lands, then the append itself.
std::uint64_t append_at(const std::vector<float>& raw, std::size_t& cursor, std::size_t count,
                        std::vector<float>& section) {
  const std::uint64_t offset = section.size();
  append_parameter_section(raw, cursor, count, section);
  return offset;
}

// The ten-value ZBL record of the ordered pair (i, j) of a model with a fixed or typewise ZBL cutoff.
std::array<float, kZblRecordValues> fixed_zbl_record(const ModelProtocol& protocol, std::size_t i, std::size_t j) {
  std::array<float, kZblRecordValues> record{};
  record[0] = round_to_float(protocol.zbl_rc_inner);
  record[1] = round_to_float(protocol.zbl_rc_outer);
  if (protocol.typewise_zbl) {
    const std::int32_t zi = protocol.atomic_numbers[i];
    const std::int32_t zj = protocol.atomic_numbers[j];
    require(zi >= 1 && zi <= kMaxTypewiseZblAtomicNumber && zj >= 1 && zj <= kMaxTypewiseZblAtomicNumber,
            "typewise ZBL requires atomic numbers within 1..94");
    const float factor = round_to_float(protocol.typewise_zbl_factor);
    const float radius_sum = kTypewiseZblRadius[static_cast<std::size_t>(zi - 1)] +
                             kTypewiseZblRadius[static_cast<std::size_t>(zj - 1)];
    const float outer = radius_sum * factor;
    record[0] = 0.0f;
    record[1] = outer < record[1] ? outer : record[1];
  }
  std::copy(kZblScreening.begin(), kZblScreening.end(), record.begin() + 2);
  return record;
}

void fill_pair_tables(HostModelParameters& host) {
  const ModelProtocol& protocol = host.protocol;
  const std::size_t types = static_cast<std::size_t>(protocol.num_types);
  host.radial_pair_cutoffs.resize(types * types);
  host.angular_pair_cutoffs.resize(types * types);
  if (protocol.has_zbl) host.zbl_pair_parameters.resize(kZblRecordValues * types * types);
  for (std::size_t i = 0; i < types; ++i) {
    for (std::size_t j = 0; j < types; ++j) {
      const std::size_t p = i * types + j;
      host.radial_pair_cutoffs[p] =
          static_cast<float>((protocol.cutoff_radial_by_type[j] + protocol.cutoff_radial_by_type[i]) * 0.5);
      host.angular_pair_cutoffs[p] =
          static_cast<float>((protocol.cutoff_angular_by_type[j] + protocol.cutoff_angular_by_type[i]) * 0.5);
      if (!protocol.has_zbl) continue;
      const auto destination = host.zbl_pair_parameters.begin() + static_cast<std::ptrdiff_t>(kZblRecordValues * p);
      if (protocol.flexible_zbl) {
        // The file holds one record per unordered pair (lo, hi), lo <= hi, in row order of the upper triangle.
        const std::size_t lo = std::min(i, j);
        const std::size_t hi = std::max(i, j);
        const std::size_t record = hi + lo * (types - 1) - lo * (lo - 1) / 2;
        const auto source =
            host.flexible_zbl_parameters.begin() + static_cast<std::ptrdiff_t>(kZblRecordValues * record);
        std::copy(source, source + static_cast<std::ptrdiff_t>(kZblRecordValues), destination);
      } else {
        const std::array<float, kZblRecordValues> values = fixed_zbl_record(protocol, i, j);
        std::copy(values.begin(), values.end(), destination);
      }
    }
  }
}

// Appends every type's network block in file order and records where each part stands.
void fill_network_blocks(HostModelParameters& host, const std::vector<float>& raw, std::size_t& cursor,
                         std::size_t d, std::size_t h1, std::size_t h2, std::size_t types) {
  const ModelProtocol& protocol = host.protocol;
  std::vector<float>& ann = host.ann_type_major;
  ann.reserve(static_cast<std::size_t>(protocol.ann_parameter_count));
  for (std::size_t t = 0; t < types; ++t) {
    AnnTypeBlock block;
    block.w0_offset = append_at(raw, cursor, h1 * d, ann);
    block.b0_offset = append_at(raw, cursor, h1, ann);
    if (h2 == 0) {
      block.w1_offset = append_at(raw, cursor, h1, ann);
    } else {
      block.has_second_layer = true;
      block.w1_offset = append_at(raw, cursor, h2 * h1, ann);
      block.b1_offset = append_at(raw, cursor, h2, ann);
      block.w2_offset = append_at(raw, cursor, h2, ann);
    }
    if (protocol.charge_mode > 0) {
      block.has_charge_weights = true;
      block.charge_weights_offset = append_at(raw, cursor, h1, ann);
    }
    if (protocol.version == 5) {
      block.has_type_bias = true;
      block.type_bias_offset = append_at(raw, cursor, 1, ann);
    }
    host.ann_type_blocks.push_back(block);
  }
  if (protocol.charge_mode > 0) host.sqrt_epsilon_inf_index = append_at(raw, cursor, 1, ann);
  host.energy_bias_index = append_at(raw, cursor, 1, ann);
}

// File order puts coefficient q of pair p at q T^2 + p; the device reads the structural coefficients
// pair-major (p x functions + q) and the angular ones centre-type-major ((t_i A + q) T + t_j).
void regroup_coefficients(HostModelParameters& host, std::size_t types, std::size_t radial_functions,
                          std::size_t angular_functions) {
  const std::vector<float>& file = host.descriptor_coefficients;
  const std::size_t pairs = types * types;
  const std::size_t rc = static_cast<std::size_t>(host.radial_coefficient_count);
  host.type_pair_major_descriptor_coefficients.assign(static_cast<std::size_t>(host.structural_coefficient_count),
                                                      0.0f);
  host.center_type_major_angular_coefficients.assign(static_cast<std::size_t>(host.angular_coefficient_count), 0.0f);
  for (std::size_t ti = 0; ti < types; ++ti) {
    for (std::size_t tj = 0; tj < types; ++tj) {
      const std::size_t p = ti * types + tj;
      for (std::size_t q = 0; q < radial_functions; ++q) {
        host.type_pair_major_descriptor_coefficients[p * radial_functions + q] = file[q * pairs + p];
      }
      for (std::size_t q = 0; q < angular_functions; ++q) {
        const float value = file[rc + q * pairs + p];
        host.type_pair_major_descriptor_coefficients[rc + p * angular_functions + q] = value;
        host.center_type_major_angular_coefficients[(ti * angular_functions + q) * types + tj] = value;
      }
    }
  }
}

}  // namespace

HostModelParameters build_host_model_parameters(ParsedModelFile parsed) {
  const ModelProtocol& protocol = parsed.protocol;
  require(parsed.parameters.size() == protocol.parameter_count + protocol.scaler_count,
          "model parameter count mismatch");
  HostModelParameters host;
  host.protocol = protocol;
  host.spin_baseline = protocol.spin_baseline;
  host.atomic_numbers = protocol.atomic_numbers;
  host.flexible_zbl_parameters = std::move(parsed.flexible_zbl_parameters);
  host.has_charge = protocol.charge_mode > 0;
  const std::size_t d = nonnegative_size(protocol.descriptor_dim, "descriptor_dim");
  const std::size_t h1 = nonnegative_size(protocol.hidden_neurons, "hidden_neurons");
  const std::size_t h2 = nonnegative_size(protocol.hidden_neurons2, "hidden_neurons2");
  const std::size_t types = nonnegative_size(protocol.num_types, "num_types");
  fill_pair_tables(host);

  const std::vector<float>& raw = parsed.parameters;
  std::size_t cursor = 0;
  fill_network_blocks(host, raw, cursor, d, h1, h2, types);

  const std::size_t radial_functions = (nonnegative_size(protocol.n_max_radial, "n_max_radial") + 1) *
                                       (nonnegative_size(protocol.basis_size_radial, "basis_size_radial") + 1);
  const std::size_t angular_functions = (nonnegative_size(protocol.n_max_angular, "n_max_angular") + 1) *
                                        (nonnegative_size(protocol.basis_size_angular, "basis_size_angular") + 1);
  host.radial_coefficient_count = types * types * radial_functions;
  host.angular_coefficient_count = types * types * angular_functions;
  host.radial_coefficient_offset = 0;
  host.angular_coefficient_offset = host.radial_coefficient_count;
  host.structural_coefficient_count = protocol.structural_coefficient_count;
  host.spin_coefficient_count = protocol.spin_coefficient_count;

  append_parameter_section(raw, cursor, static_cast<std::size_t>(protocol.descriptor_coefficient_count),
                           host.descriptor_coefficients);
  regroup_coefficients(host, types, radial_functions, angular_functions);
  require(cursor == protocol.parameter_count, "model parameter layout did not consume all model parameters");

  host.q_scaler.assign(raw.begin() + static_cast<std::ptrdiff_t>(protocol.parameter_count), raw.end());
  host.ann_type_major_qscaled = host.ann_type_major;
  for (const AnnTypeBlock& block : host.ann_type_blocks) {
    for (std::size_t h = 0; h < h1; ++h) {
      for (std::size_t k = 0; k < d; ++k) host.ann_type_major_qscaled[block.w0_offset + h * d + k] *= host.q_scaler[k];
    }
  }
  return host;
}

HostModelParameters load_host_model_parameters(const std::string& path) {
  return build_host_model_parameters(parse_model_file(path));
}

}  // namespace quarvel::cuda_backend
