#pragma once
// The engine-side drivers behind the two LAMMPS entry points: full neighbor lists held in host memory (a fresh
// workspace per call, results copied into host rows) and lists already in device memory (a cached workspace
// that grows, results left in the caller's device arrays, optional profiling).
#include <atomic>
#include <cstdint>
#include <memory>

#include "device_model.hpp"
#include "device_workspace.hpp"
#include "force_pipeline.hpp"
#include "model_protocol.hpp"
#include "pair_profile.hpp"
#include "quarvel/quarvel.h"

namespace quarvel::cuda_backend {

// The stage a LAMMPS evaluation runs after staging; the default is the library's own pipeline.
struct LammpsPassStages {
  void (*force_pipeline)(const ModelProtocol&, const ForceEvaluationRequest&, int, const SimulationBox&,
                         const DeviceModel&, DeviceWorkspace&, ForcePipelineTimings*) = &run_force_pipeline;
};

// The parts of a loaded model the host-list driver reads (owned by the model).
struct HostLammpsDriverModel {
  const ModelProtocol& protocol;
  const DeviceModel& device_model;
  const std::atomic<bool>& cancel_requested;  // may be set by another thread; read at fixed points
  LammpsPassStages stages{};
  int device = 0;  // the CUDA device the model lives on, taken once the checks that need no device have passed
};

// Evaluates the list into the caller's host rows, with the local atoms of ilist as centres: per-atom energies of
// the local atoms; forces, magnetic forces, per-atom virials and spin transfer of every staged atom (the caller
// adds the ghost rows onto the atoms they image); totals that are the sums of those rows. Answers 0 ok, 1 invalid
// argument, 2 unsupported, 4 runtime error, 5 cancelled (results written); a rank without atoms answers 0 with
// zero totals. Refusals of the record set no last error; every other failure does, and leaves the caller's
// arrays untouched.
int evaluate_host_lammps_neighbors(const HostLammpsDriverModel& model, const QrvlLammpsNeighborInput& input,
                                   QrvlLammpsNeighborResult& result);

// The device-list driver's view of a loaded model and of the workspace it caches between calls (owned by the
// model; this record only refers to them). The cache is replaced only by a rebuild, which builds the new
// workspace before dropping the old one.
struct DeviceLammpsDriverModel {
  const ModelProtocol& protocol;
  const DeviceModel& device_model;
  const std::atomic<bool>& cancel_requested;
  std::unique_ptr<DeviceWorkspace>& workspace;
  std::uint64_t& workspace_atoms;
  std::uint64_t& workspace_active_atoms;
  std::int32_t& workspace_radial_capacity;
  std::int32_t& workspace_angular_capacity;
  bool& workspace_float_sink;
  bool& workspace_spin_transfer;
  std::atomic<std::uint32_t>& profile_samples;  // numbering of profiled calls, shared by the whole process
  EnvironmentLookup environment = &process_environment;
  LammpsPassStages stages{};
  int device = 0;  // as for the host-list driver
};

// The counter every loaded model numbers its profiled calls with.
std::atomic<std::uint32_t>& process_pair_profile_samples();

// Evaluates the device list and returns once the force work is queued on the default stream (every call waits
// for the check of its staged list, a profiled call after each phase). Statuses as above; a rank without atoms
// answers 0 with zero totals; refusals store their text as the last error.
int evaluate_device_lammps_neighbors(DeviceLammpsDriverModel& model, const QrvlLammpsDeviceNeighborInput& input,
                                     const QrvlLammpsDeviceNeighborResult& result);

}  // namespace quarvel::cuda_backend
