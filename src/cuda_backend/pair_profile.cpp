#include "pair_profile.hpp"

#include <cstdio>
#include <cstdlib>

namespace quarvel::cuda_backend {
namespace {

constexpr std::int32_t kDefaultProfiledCalls = 5;
constexpr int kDecimal = 10;
constexpr std::size_t kLineCapacity = 1024;  // characters: fourteen fields even with the largest float values
constexpr const char* kRankVariables[] = {"OMPI_COMM_WORLD_RANK", "PMI_RANK", "PMIX_RANK", "SLURM_PROCID"};

// The leading base-10 integer of `text` (white space and a sign allowed before it, anything after it ignored),
// cut to 32 bits; false when `text` is null, empty or has no leading integer.
bool leading_integer(const char* text, std::int32_t& value) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  const long long parsed = std::strtoll(text, &end, kDecimal);
  if (end == text) return false;
  value = static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<unsigned long long>(parsed)));
  return true;
}

}  // namespace

const char* process_environment(const char* name) { return std::getenv(name); }

PairProfileSettings read_pair_profile_settings(EnvironmentLookup lookup) {
  PairProfileSettings settings;
  const char* switch_value = lookup("QUARVEL_PROFILE_PAIR");
  if (switch_value == nullptr || *switch_value == '\0') return settings;
  settings.enabled = true;
  if (!leading_integer(switch_value, settings.limit)) settings.limit = kDefaultProfiledCalls;
  if (!leading_integer(lookup("QUARVEL_PROFILE_PAIR_RANK"), settings.wanted_rank)) settings.wanted_rank = 0;
  for (const char* name : kRankVariables) {
    std::int32_t rank = 0;
    if (leading_integer(lookup(name), rank) && rank >= 0) {
      settings.rank = rank;
      break;
    }
  }
  return settings;
}

bool claim_pair_profile_sample(const PairProfileSettings& settings, std::atomic<std::uint32_t>& samples,
                               std::int32_t& sample) {
  if (!settings.enabled || settings.rank != settings.wanted_rank) return false;
  std::uint32_t taken = samples.load(std::memory_order_relaxed);
  do {
    if (settings.limit >= 1 && taken >= static_cast<std::uint32_t>(settings.limit)) return false;
  } while (!samples.compare_exchange_weak(taken, taken + 1, std::memory_order_relaxed));
  sample = static_cast<std::int32_t>(taken + 1);
  return true;
}

std::string format_pair_profile_line(std::int32_t sample, std::int32_t nlocal, bool rebuild,
                                     const PairProfilePhases& phases) {
  const ForcePipelineTimings& t = phases.pipeline;
  float total = phases.stage_ms;
  total += phases.clear_ms;
  total += t.descriptor_ann_ms;
  total += t.radial_force_ms;
  total += t.angular_force_ms;
  total += t.zbl_force_ms;
  total += t.spin_onsite_ms;
  total += t.spin_density_ms;
  total += t.spin_chiral_ms;
  total += phases.output_ms;
  char line[kLineCapacity];
  std::snprintf(line, sizeof line,
                "QRVL_PAIR_PROFILE sample=%d nlocal=%d rebuild=%d stage_ms=%.3f clear_ms=%.3f descriptor_ann_ms=%.3f "
                "radial_force_ms=%.3f angular_force_ms=%.3f zbl_force_ms=%.3f spin_onsite_ms=%.3f "
                "spin_density_ms=%.3f spin_chiral_ms=%.3f output_ms=%.3f total_ms=%.3f\n",
                sample, nlocal, rebuild ? 1 : 0, static_cast<double>(phases.stage_ms),
                static_cast<double>(phases.clear_ms), static_cast<double>(t.descriptor_ann_ms),
                static_cast<double>(t.radial_force_ms), static_cast<double>(t.angular_force_ms),
                static_cast<double>(t.zbl_force_ms), static_cast<double>(t.spin_onsite_ms),
                static_cast<double>(t.spin_density_ms), static_cast<double>(t.spin_chiral_ms),
                static_cast<double>(phases.output_ms), static_cast<double>(total));
  return line;
}

}  // namespace quarvel::cuda_backend
