#pragma once
// Small routines the CUDA engine's evaluation drivers share: which models the force pipeline serves, the cell
// of one structure, clearing and downloading device arrays, the copy of batch outputs into the caller's
// result, and the phase timer of profiled calls.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "cuda_runtime_platform.hpp"
#include "device_workspace.hpp"
#include "model_protocol.hpp"
#include "quarvel/quarvel.h"
#include "simulation_box.hpp"

namespace quarvel::cuda_backend {

// Highest angular order (l_max_3body) the descriptor and force kernels serve.
constexpr int kMaxPipelineAngularOrder = 8;

// Whether the force pipeline can evaluate the model: NEP4/NEP5 without charges, a spin shape within the
// spin-core limits, a usable ZBL cutoff range, and an angular order of at most 8.
bool supports_force_pipeline(const ModelProtocol& protocol);

// Whether the descriptor driver serves the model: every model of the force pipeline, and NEP4 charge models
// without spin of angular order at most 8.
bool supports_descriptors(const ModelProtocol& protocol);

// Builds the box of one structure from its row-major cell and periodic flags. False for a cell with
// |det| <= 1e-12 (inverse not written), for flags that are missing or not all 1 (after writing the inverse), and
// for an inverse whose diagonal is not finite.
bool make_structure_box(const double* box9, const std::int32_t* pbc3, SimulationBox& out);

// Zeroes `count` doubles of device memory; throws std::runtime_error "failed to clear CUDA double buffer".
void clear_device_doubles(double* device, std::size_t count);
// Blocking downloads of `count` values; throw std::runtime_error "failed to copy CUDA float output" /
// "failed to copy CUDA double output", and std::length_error for a count no vector can hold.
std::vector<float> download_device_floats(const float* device, std::size_t count);
std::vector<double> download_device_doubles(const double* device, std::size_t count);

// Stores `message` as the calling thread's last error and answers QRVL_STATUS_INVALID_ARGUMENT.
int report_invalid_argument(const char* message);

// Copies the outputs of one device pass (structure_count structures, atom_count atoms) into the caller's
// result at the given offsets: energies, forces, and the optional per-atom energies, per-atom and structure
// virials, spin transfer (spin passes), charges (charge passes) and magnetic forces (spin passes). Throws
// std::runtime_error naming the first copy that failed.
void copy_outputs_to_host(const DeviceWorkspaceView& view, int structure_count, int atom_count,
                          int structure_offset, int atom_offset, bool spin, bool charge, QrvlFindForceResult& result);

// Makes `device` the calling thread's current device for the lifetime of the scope and gives the caller's device
// back afterwards. A model runs every operation inside one, on the device it was loaded on, so that a probe or a
// switch of device on the calling thread cannot make it work on another device's memory. Throws
// std::runtime_error when the current device cannot be read or changed.
class ScopedDevice {
 public:
  explicit ScopedDevice(int device);
  ScopedDevice(const ScopedDevice&) = delete;
  ScopedDevice& operator=(const ScopedDevice&) = delete;
  ~ScopedDevice();

 private:
  int previous_ = 0;
  bool restore_ = false;
};

// The model's device for the device work of one evaluation, entered after the evaluation's own checks so that
// their refusals never depend on a working driver. Makes `device` current as ScopedDevice does, then refuses to
// start while a CUDA error is pending on the calling thread (std::runtime_error "a CUDA error was pending before
// the call: " and the CUDA error string): left there by the caller's own code, it would otherwise be reported as
// the failure of the evaluation's first step. Reading it consumes it. Leaving drains the last CUDA error, so that a
// failure of this evaluation cannot resurface in the caller's next CUDA call.
class EvaluationDevice {
 public:
  explicit EvaluationDevice(int device);
  EvaluationDevice(const EvaluationDevice&) = delete;
  EvaluationDevice& operator=(const EvaluationDevice&) = delete;
  ~EvaluationDevice();

 private:
  ScopedDevice scope_;
};

// One profiled call: the caller fills the first four fields and creates the events. Statuses of the event calls
// are ignored: timing is informational.
struct LapTimer {
  bool active = false;
  std::int32_t sample = 0;
  std::int32_t nlocal = 0;
  bool rebuild = false;
  cudaEvent_t start = nullptr;
  cudaEvent_t stop = nullptr;

  LapTimer() = default;
  LapTimer(const LapTimer&) = delete;
  LapTimer& operator=(const LapTimer&) = delete;
  ~LapTimer();
  // Milliseconds from `start` to now on the default stream (waits for the device to get there); restarts.
  void lap(float& milliseconds);
};

}  // namespace quarvel::cuda_backend
