#include "cuda_backend/host_model_parameters.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "cuda_backend/model_file_reader.hpp"
#include "support/model_file_writer.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::ModelShape;
using test_support::TempModelFile;
using test_support::WrittenModel;
using test_support::compact_shape;
using test_support::write_model;

constexpr std::size_t kZblRecordValues = 10;
const std::vector<float> kZblScreening = {0.18175f, 3.1998f, 0.50986f, 0.94229f,
                                          0.28022f, 0.4029f, 0.02817f, 0.20162f};

HostModelParameters load(const WrittenModel& written) {
  const TempModelFile file(written.text);
  return load_host_model_parameters(file.path());
}

std::vector<float> slice(const std::vector<float>& values, std::uint64_t offset, std::size_t count) {
  return std::vector<float>(values.begin() + static_cast<std::ptrdiff_t>(offset),
                            values.begin() + static_cast<std::ptrdiff_t>(offset + count));
}

std::vector<float> zbl_record(const HostModelParameters& host, std::size_t i, std::size_t j) {
  const std::size_t types = static_cast<std::size_t>(host.protocol.num_types);
  return slice(host.zbl_pair_parameters, kZblRecordValues * (i * types + j), kZblRecordValues);
}

struct LayoutCase {
  const char* name;
  ModelShape shape;
};

std::vector<LayoutCase> layout_cases() {
  ModelShape per_type = compact_shape("nep4", {"C", "H", "O"}, 3);
  per_type.cutoff_radial = {5.0, 4.5, 6.0};
  per_type.cutoff_angular = {4.0, 3.5, 3.0};
  ModelShape two_layers = compact_shape("nep4", {"Si", "O"}, 4);
  two_layers.hidden_neurons2 = 3;
  ModelShape typewise = compact_shape("nep4_zbl", {"C", "H"}, 6);
  typewise.zbl = {1.0, 2.5, 0.7};
  ModelShape flexible = compact_shape("nep4_zbl", {"W", "Re", "Os"}, 7);
  flexible.zbl = {0.0, 0.0, std::nullopt};
  ModelShape spin = compact_shape("nep4_spin", {"Fe", "O"}, 9);
  spin.spin.chiral = 1;
  return {{"nep4_one_type", compact_shape("nep4", {"C"}, 1)},
          {"nep4_per_type_cutoffs", per_type},
          {"nep4_two_hidden_layers", two_layers},
          {"nep4_zbl", compact_shape("nep4_zbl", {"Mo", "S"}, 5)},
          {"nep4_zbl_typewise", typewise},
          {"nep4_zbl_flexible", flexible},
          {"nep4_zbl_charge2", compact_shape("nep4_zbl_charge2", {"Na", "Cl"}, 8)},
          {"nep5", compact_shape("nep5", {"Ga", "N"}, 2)},
          {"nep4_spin", spin}};
}

void PrintTo(const LayoutCase& c, std::ostream* out) { *out << c.name; }

class HostParameters : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(HostParameters, NetworkBlocksStandWhereTheFileHadThem) {
  const WrittenModel written = write_model(GetParam().shape);
  const HostModelParameters host = load(written);
  const ModelProtocol& p = host.protocol;
  const std::size_t d = static_cast<std::size_t>(p.descriptor_dim);
  const std::size_t h1 = static_cast<std::size_t>(p.hidden_neurons);
  const std::size_t h2 = static_cast<std::size_t>(p.hidden_neurons2);

  EXPECT_EQ(host.ann_type_major, slice(written.parameters, 0, p.ann_parameter_count));
  ASSERT_EQ(host.ann_type_blocks.size(), written.network.size());
  for (std::size_t t = 0; t < written.network.size(); ++t) {
    const AnnTypeBlock& block = host.ann_type_blocks[t];
    const auto& expected = written.network[t];
    EXPECT_EQ(slice(host.ann_type_major, block.w0_offset, h1 * d), expected.w0);
    EXPECT_EQ(slice(host.ann_type_major, block.b0_offset, h1), expected.b0);
    EXPECT_EQ(slice(host.ann_type_major, block.w1_offset, expected.w1.size()), expected.w1);
    EXPECT_EQ(block.has_second_layer, h2 > 0);
    if (block.has_second_layer) {
      EXPECT_EQ(slice(host.ann_type_major, block.b1_offset, h2), expected.b1);
      EXPECT_EQ(slice(host.ann_type_major, block.w2_offset, h2), expected.w2);
    } else {
      EXPECT_EQ(block.b1_offset, 0u);
      EXPECT_EQ(block.w2_offset, 0u);
    }
    EXPECT_EQ(block.has_charge_weights, !expected.charge_weights.empty());
    if (block.has_charge_weights) {
      EXPECT_EQ(slice(host.ann_type_major, block.charge_weights_offset, h1), expected.charge_weights);
    }
    EXPECT_EQ(block.has_type_bias, expected.type_bias.has_value());
    if (block.has_type_bias) {
      EXPECT_EQ(host.ann_type_major[block.type_bias_offset], *expected.type_bias);
    }
  }
  EXPECT_EQ(host.ann_type_major[host.energy_bias_index], written.energy_bias);
  EXPECT_EQ(host.has_charge, written.sqrt_epsilon_inf.has_value());
  if (host.has_charge) {
    EXPECT_EQ(host.ann_type_major[host.sqrt_epsilon_inf_index], *written.sqrt_epsilon_inf);
    EXPECT_EQ(host.sqrt_epsilon_inf_index, p.ann_parameter_count - 2);
  } else {
    EXPECT_EQ(host.sqrt_epsilon_inf_index, 0u);
    EXPECT_EQ(host.energy_bias_index, p.ann_parameter_count - 1);
  }
}

TEST_P(HostParameters, ScalerIsFoldedIntoFirstLayerWeightsOnly) {
  const WrittenModel written = write_model(GetParam().shape);
  const HostModelParameters host = load(written);
  const std::size_t d = static_cast<std::size_t>(host.protocol.descriptor_dim);
  const std::size_t h1 = static_cast<std::size_t>(host.protocol.hidden_neurons);
  EXPECT_EQ(host.q_scaler, written.scaler);
  std::vector<float> expected = host.ann_type_major;
  for (const AnnTypeBlock& block : host.ann_type_blocks) {
    for (std::size_t h = 0; h < h1; ++h) {
      for (std::size_t k = 0; k < d; ++k) expected[block.w0_offset + h * d + k] *= written.scaler[k];
    }
  }
  EXPECT_EQ(host.ann_type_major_qscaled, expected);  // one float product per weight, as the device would do
}

TEST_P(HostParameters, CoefficientsRegroupedByTypePair) {
  const WrittenModel written = write_model(GetParam().shape);
  const HostModelParameters host = load(written);
  const std::size_t types = written.network.size();
  const std::size_t radial = written.radial_by_pair[0].size();
  const std::size_t angular = written.angular_by_pair[0].size();
  const std::uint64_t ann = host.protocol.ann_parameter_count;

  EXPECT_EQ(host.descriptor_coefficients,
            slice(written.parameters, ann, host.protocol.descriptor_coefficient_count));
  EXPECT_EQ(host.radial_coefficient_count, types * types * radial);
  EXPECT_EQ(host.angular_coefficient_count, types * types * angular);
  EXPECT_EQ(host.radial_coefficient_offset, 0u);
  EXPECT_EQ(host.angular_coefficient_offset, host.radial_coefficient_count);
  ASSERT_EQ(host.type_pair_major_descriptor_coefficients.size(), host.structural_coefficient_count);
  ASSERT_EQ(host.center_type_major_angular_coefficients.size(), host.angular_coefficient_count);
  const std::size_t rc = static_cast<std::size_t>(host.radial_coefficient_count);
  for (std::size_t ti = 0; ti < types; ++ti) {
    for (std::size_t tj = 0; tj < types; ++tj) {
      const std::size_t p = ti * types + tj;
      EXPECT_EQ(slice(host.type_pair_major_descriptor_coefficients, p * radial, radial), written.radial_by_pair[p]);
      EXPECT_EQ(slice(host.type_pair_major_descriptor_coefficients, rc + p * angular, angular),
                written.angular_by_pair[p]);
      for (std::size_t q = 0; q < angular; ++q) {
        EXPECT_EQ(host.center_type_major_angular_coefficients[(ti * angular + q) * types + tj],
                  written.angular_by_pair[p][q]);
      }
      // The spin section stays in file order: function q of pair p at structural count + q T^2 + p.
      for (std::size_t q = 0; q < (written.spin_by_pair.empty() ? 0 : written.spin_by_pair[p].size()); ++q) {
        EXPECT_EQ(host.descriptor_coefficients[host.structural_coefficient_count + q * types * types + p],
                  written.spin_by_pair[p][q]);
      }
    }
  }
}

TEST_P(HostParameters, PairTablesAndCopies) {
  const ModelShape& shape = GetParam().shape;
  const WrittenModel written = write_model(shape);
  const HostModelParameters host = load(written);
  const std::size_t types = shape.elements.size();
  ASSERT_EQ(host.radial_pair_cutoffs.size(), types * types);
  for (std::size_t i = 0; i < types; ++i) {
    for (std::size_t j = 0; j < types; ++j) {
      const double ri = shape.cutoff_radial[shape.cutoff_radial.size() > 1 ? i : 0];
      const double rj = shape.cutoff_radial[shape.cutoff_radial.size() > 1 ? j : 0];
      const double ai = shape.cutoff_angular[shape.cutoff_angular.size() > 1 ? i : 0];
      const double aj = shape.cutoff_angular[shape.cutoff_angular.size() > 1 ? j : 0];
      EXPECT_EQ(host.radial_pair_cutoffs[i * types + j], static_cast<float>((ri + rj) * 0.5));
      EXPECT_EQ(host.angular_pair_cutoffs[i * types + j], static_cast<float>((ai + aj) * 0.5));
    }
  }
  EXPECT_EQ(host.atomic_numbers, host.protocol.atomic_numbers);
  EXPECT_EQ(host.spin_baseline, host.protocol.spin_baseline);
  EXPECT_EQ(host.flexible_zbl_parameters, written.flexible_zbl_records);
  EXPECT_EQ(host.spin_coefficient_count, host.protocol.spin_coefficient_count);
  if (!host.protocol.has_zbl) {
    EXPECT_TRUE(host.zbl_pair_parameters.empty());  // no records of zeros
    return;
  }
  ASSERT_EQ(host.zbl_pair_parameters.size(), kZblRecordValues * types * types);
  for (std::size_t i = 0; i < types; ++i) {
    for (std::size_t j = 0; j < types; ++j) {
      const std::vector<float> record = zbl_record(host, i, j);
      EXPECT_EQ(record, zbl_record(host, j, i));
      if (!host.protocol.flexible_zbl) {
        EXPECT_EQ(slice(record, 2, 8), kZblScreening);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, HostParameters, ::testing::ValuesIn(layout_cases()),
                         [](const auto& named) { return std::string(named.param.name); });

ModelShape zbl_pair(const char* second_element, double inner, double outer, std::optional<double> factor) {
  ModelShape shape = compact_shape("nep4_zbl", {"C", second_element}, 11);
  shape.zbl = {inner, outer, factor};
  return shape;
}

TEST(HostParametersZbl, FixedCutoffsInEveryRecord) {
  const HostModelParameters host = load(write_model(zbl_pair("H", 0.5, 1.75, std::nullopt)));
  std::vector<float> expected = {0.5f, 1.75f};
  expected.insert(expected.end(), kZblScreening.begin(), kZblScreening.end());
  EXPECT_EQ(zbl_record(host, 0, 1), expected);
  EXPECT_EQ(zbl_record(host, 1, 1), expected);
}

TEST(HostParametersZbl, TypewiseOuterCutoffFromRadiiCappedByTheLine) {
  const HostModelParameters wide = load(write_model(zbl_pair("H", 1.0, 3.0, 1.0)));
  EXPECT_EQ(zbl_record(wide, 0, 1)[0], 0.0f);  // the line's inner cutoff is not used
  EXPECT_EQ(zbl_record(wide, 0, 1)[1], 1.0f + 0.426667f);  // C and H radii, summed in float
  EXPECT_EQ(zbl_record(wide, 1, 1)[1], 0.426667f + 0.426667f);
  const HostModelParameters narrow = load(write_model(zbl_pair("H", 0.5, 1.2, 1.0)));
  EXPECT_EQ(zbl_record(narrow, 0, 1)[1], 1.2f);
  EXPECT_EQ(zbl_record(narrow, 1, 1)[1], 0.426667f + 0.426667f);
  // A factor beyond the float range rounds to infinity, so the line's outer cutoff caps every pair.
  const HostModelParameters huge = load(write_model(zbl_pair("H", 0.5, 1.2, 1e300)));
  EXPECT_EQ(zbl_record(huge, 0, 1)[1], 1.2f);
}

TEST(HostParametersZbl, TypewiseNeedsAtomicNumbersUpTo94) {
  const WrittenModel written = write_model(zbl_pair("Am", 1.0, 3.0, 1.0));
  const TempModelFile file(written.text);
  EXPECT_THAT([&] { load_host_model_parameters(file.path()); },
              ::testing::ThrowsMessage<std::runtime_error>(
                  ::testing::StrEq("typewise ZBL requires atomic numbers within 1..94")));
  const HostModelParameters plutonium = load(write_model(zbl_pair("Pu", 1.0, 9.0, 1.0)));
  EXPECT_EQ(zbl_record(plutonium, 1, 1)[1], 2.06667f + 2.06667f);
}

TEST(HostParametersZbl, FlexibleRecordsSharedByBothOrders) {
  const WrittenModel written = write_model(zbl_pair("H", 0.0, 0.0, std::nullopt));
  const HostModelParameters host = load(written);
  const auto file_record = [&](std::size_t r) { return slice(written.flexible_zbl_records, 10 * r, 10); };
  EXPECT_EQ(zbl_record(host, 0, 0), file_record(0));
  EXPECT_EQ(zbl_record(host, 0, 1), file_record(1));
  EXPECT_EQ(zbl_record(host, 1, 0), file_record(1));
  EXPECT_EQ(zbl_record(host, 1, 1), file_record(2));
}

TEST(HostParametersLayout, OneTypeKeepsFileOrder) {
  const WrittenModel written = write_model(compact_shape("nep4", {"C"}, 12));
  const HostModelParameters host = load(written);
  const auto& file = host.descriptor_coefficients;
  EXPECT_EQ(host.type_pair_major_descriptor_coefficients, slice(file, 0, host.structural_coefficient_count));
  EXPECT_EQ(host.center_type_major_angular_coefficients,
            slice(file, host.angular_coefficient_offset, host.angular_coefficient_count));
}

TEST(HostParametersLayout, UnitScalerLeavesWeightsAlone) {
  WrittenModel written = write_model(compact_shape("nep4", {"C", "H"}, 13));
  ParsedModelFile parsed;
  {
    std::istringstream in(written.text);
    parsed = parse_model_stream(in);
  }
  std::fill(parsed.parameters.begin() + static_cast<std::ptrdiff_t>(parsed.protocol.parameter_count),
            parsed.parameters.end(), 1.0f);
  const HostModelParameters host = build_host_model_parameters(parsed);
  EXPECT_EQ(host.ann_type_major_qscaled, host.ann_type_major);
}

TEST(HostParametersLayout, ParameterCountMustMatchTheHeader) {
  std::istringstream in(write_model(compact_shape("nep4", {"C"}, 14)).text);
  ParsedModelFile parsed = parse_model_stream(in);
  parsed.parameters.pop_back();
  EXPECT_THAT([&] { build_host_model_parameters(parsed); },
              ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq("model parameter count mismatch")));
}

TEST(HostParametersLayout, ReaderFailuresPassThrough) {
  const TempModelFile file("nep4_polarizability 1 C\n");
  EXPECT_THROW(load_host_model_parameters(file.path()), UnsupportedModelProtocol);
  EXPECT_THAT([] { load_host_model_parameters("/nonexistent/quarvel/nep.txt"); },
              ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq("failed to open model file")));
}

}  // namespace
}  // namespace quarvel::cuda_backend
