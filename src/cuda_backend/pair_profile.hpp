#pragma once
// Optional timing of device LAMMPS evaluations: which calls are timed, on which process rank, and the line each
// timed call prints on standard error. Configured by environment variables that the driver reads per call and
// passes down.
#include <atomic>
#include <cstdint>
#include <string>

#include "force_pipeline.hpp"

namespace quarvel::cuda_backend {

// Looks up an environment variable: null when unset (std::getenv, or a test's own table).
using EnvironmentLookup = const char* (*)(const char*);
// The process environment (std::getenv).
const char* process_environment(const char* name);

// The settings of one call.
struct PairProfileSettings {
  bool enabled = false;      // QUARVEL_PROFILE_PAIR set and non-empty
  std::int32_t limit = 0;    // calls to time per process; below 1 times every call
  std::int32_t wanted_rank = 0;  // QUARVEL_PROFILE_PAIR_RANK
  std::int32_t rank = 0;     // this process: the first usable of OMPI_COMM_WORLD_RANK, PMI_RANK, PMIX_RANK, SLURM_PROCID
};

// Reads the profiling variables; the rank variables only when profiling is switched on.
PairProfileSettings read_pair_profile_settings(EnvironmentLookup lookup);

// Whether this call is timed. A timed call takes the next number of the process-wide `samples` counter as its
// sample number (1 for the first timed call); the counter is shared by every model and thread.
bool claim_pair_profile_sample(const PairProfileSettings& settings, std::atomic<std::uint32_t>& samples,
                               std::int32_t& sample);

// Milliseconds of the phases of one timed call.
struct PairProfilePhases {
  float stage_ms = 0.0f;
  float clear_ms = 0.0f;
  ForcePipelineTimings pipeline{};
  float output_ms = 0.0f;
};

// The line "QRVL_PAIR_PROFILE sample=... total_ms=...\n"; total_ms is the single-precision sum of the phases in
// the order they are printed.
std::string format_pair_profile_line(std::int32_t sample, std::int32_t nlocal, bool rebuild,
                                     const PairProfilePhases& phases);

}  // namespace quarvel::cuda_backend
