#include "cuda_backend/pair_profile.hpp"

#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace quarvel::cuda_backend {
namespace {

// The environment the lookup under test sees.
std::map<std::string, std::string>& fake_environment() {
  static std::map<std::string, std::string> variables;
  return variables;
}

const char* lookup(const char* name) {
  const auto found = fake_environment().find(name);
  return found == fake_environment().end() ? nullptr : found->second.c_str();
}

struct SettingsCase {
  const char* name;
  std::map<std::string, std::string> variables;
  PairProfileSettings expected;
};

std::vector<SettingsCase> settings_cases() {
  return {
      {"Unset", {}, {false, 0, 0, 0}},
      {"Empty", {{"QUARVEL_PROFILE_PAIR", ""}, {"OMPI_COMM_WORLD_RANK", "2"}}, {false, 0, 0, 0}},
      {"CountOfCalls", {{"QUARVEL_PROFILE_PAIR", "2"}}, {true, 2, 0, 0}},
      {"NoIntegerMeansFive", {{"QUARVEL_PROFILE_PAIR", "yes"}}, {true, 5, 0, 0}},
      {"PrefixWithSpaceAndSign", {{"QUARVEL_PROFILE_PAIR", "  +3calls"}}, {true, 3, 0, 0}},
      {"ZeroTimesEveryCall", {{"QUARVEL_PROFILE_PAIR", "0"}}, {true, 0, 0, 0}},
      {"CutToThirtyTwoBits", {{"QUARVEL_PROFILE_PAIR", "4294967297"}}, {true, 1, 0, 0}},
      {"WantedRank", {{"QUARVEL_PROFILE_PAIR", "1"}, {"QUARVEL_PROFILE_PAIR_RANK", "4"}}, {true, 1, 4, 0}},
      {"WantedRankWithoutInteger", {{"QUARVEL_PROFILE_PAIR", "1"}, {"QUARVEL_PROFILE_PAIR_RANK", "x"}}, {true, 1, 0, 0}},
      {"OpenMpiRank", {{"QUARVEL_PROFILE_PAIR", "1"}, {"OMPI_COMM_WORLD_RANK", "3"}}, {true, 1, 0, 3}},
      {"FirstUsableRankVariable",
       {{"QUARVEL_PROFILE_PAIR", "1"},
        {"OMPI_COMM_WORLD_RANK", ""},
        {"PMI_RANK", "first"},
        {"PMIX_RANK", "-1"},
        {"SLURM_PROCID", "6"}},
       {true, 1, 0, 6}},
      {"RankVariablesInOrder", {{"QUARVEL_PROFILE_PAIR", "1"}, {"PMI_RANK", "2"}, {"SLURM_PROCID", "6"}}, {true, 1, 0, 2}},
  };
}

class PairProfileSettingsRead : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(PairProfileSettingsRead, FromTheEnvironment) {
  fake_environment() = GetParam().variables;
  const PairProfileSettings s = read_pair_profile_settings(&lookup);
  EXPECT_EQ(s.enabled, GetParam().expected.enabled);
  EXPECT_EQ(s.limit, GetParam().expected.limit);
  EXPECT_EQ(s.wanted_rank, GetParam().expected.wanted_rank);
  EXPECT_EQ(s.rank, GetParam().expected.rank);
}

INSTANTIATE_TEST_SUITE_P(Variables, PairProfileSettingsRead, ::testing::ValuesIn(settings_cases()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(PairProfileSamples, NumberTheFirstCallsUpToTheLimit) {
  std::atomic<std::uint32_t> samples{0};
  const PairProfileSettings two{true, 2, 0, 0};
  std::int32_t sample = 0;
  EXPECT_TRUE(claim_pair_profile_sample(two, samples, sample));
  EXPECT_EQ(sample, 1);
  EXPECT_TRUE(claim_pair_profile_sample(two, samples, sample));
  EXPECT_EQ(sample, 2);
  EXPECT_FALSE(claim_pair_profile_sample(two, samples, sample));
  EXPECT_EQ(samples.load(), 2u);
  const PairProfileSettings every{true, 0, 0, 0};
  EXPECT_TRUE(claim_pair_profile_sample(every, samples, sample));
  EXPECT_EQ(sample, 3);
}

TEST(PairProfileSamples, OtherRanksAndDisabledProfilingTakeNone) {
  std::atomic<std::uint32_t> samples{0};
  std::int32_t sample = 0;
  EXPECT_FALSE(claim_pair_profile_sample(PairProfileSettings{true, 0, 0, 3}, samples, sample));
  EXPECT_FALSE(claim_pair_profile_sample(PairProfileSettings{false, 0, 0, 0}, samples, sample));
  EXPECT_TRUE(claim_pair_profile_sample(PairProfileSettings{true, 0, 3, 3}, samples, sample));
  EXPECT_EQ(samples.load(), 1u);
}

TEST(PairProfileLine, PrintsEveryPhaseAndTheirSinglePrecisionSum) {
  PairProfilePhases phases;
  phases.stage_ms = 1.25f;
  phases.clear_ms = 0.5f;
  phases.pipeline = ForcePipelineTimings{2.0f, 3.0f, 4.0f, 0.125f, 0.25f, 0.0625f, 0.0f};
  phases.output_ms = 0.75f;
  EXPECT_EQ(format_pair_profile_line(7, 1200, true, phases),
            "QRVL_PAIR_PROFILE sample=7 nlocal=1200 rebuild=1 stage_ms=1.250 clear_ms=0.500 descriptor_ann_ms=2.000 "
            "radial_force_ms=3.000 angular_force_ms=4.000 zbl_force_ms=0.125 spin_onsite_ms=0.250 "
            "spin_density_ms=0.062 spin_chiral_ms=0.000 output_ms=0.750 total_ms=11.938\n");
  // 2^24 + 1 is not a float: the total is the single-precision sum, as the phases themselves are floats.
  PairProfilePhases large;
  large.stage_ms = 16777216.0f;
  large.clear_ms = 1.0f;
  const std::string line = format_pair_profile_line(1, 0, false, large);
  EXPECT_EQ(line.substr(line.rfind("total_ms=")), "total_ms=16777216.000\n");
  EXPECT_NE(line.find(" rebuild=0 "), std::string::npos);
}

}  // namespace
}  // namespace quarvel::cuda_backend
