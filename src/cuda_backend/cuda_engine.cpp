#include "cuda_engine.hpp"

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

#include "batch_driver.hpp"
#include "descriptor_driver.hpp"
#include "cuda_checks.hpp"
#include "device_model.hpp"
#include "device_workspace.hpp"
#include "engine_routines.hpp"
#include "host_model_parameters.hpp"
#include "lammps_drivers.hpp"
#include "model_protocol.hpp"
#include "quarvel/engine.hpp"
#include "workspace_plan.hpp"

namespace quarvel {
namespace {

using cuda_backend::DeviceModel;
using cuda_backend::DeviceWorkspace;
using cuda_backend::HostModelParameters;
using cuda_backend::ModelProtocol;

constexpr const char* kEngineName = "cuda";
constexpr const char* kEngineVersion = "1.0.2";
constexpr std::uint64_t kEngineCapabilities = QRVL_CAP_CUDA;

constexpr const char* kDftd3Unsupported = "DFT-D3 is unsupported by the CUDA backend; CPU fallback is disabled";

// Reads and discards the last CUDA error, so that a failure of one call cannot resurface in the next.
void drain_cuda_error() noexcept { (void)cudaGetLastError(); }

int refuse_unsupported(const char* message) {
  set_last_error(message);
  return QRVL_STATUS_UNSUPPORTED;
}

std::uint64_t capability_word(const ModelProtocol& protocol) {
  std::uint64_t word = QRVL_CAP_CUDA;
  if (protocol.spin_mode > 0) word |= QRVL_CAP_SPIN_INPUT | QRVL_CAP_MAGNETIC_FORCE;
  if (protocol.charge_mode > 0) word |= QRVL_CAP_CHARGE | QRVL_CAP_FORCE_BATCH;
  if (cuda_backend::supports_force_pipeline(protocol)) word |= QRVL_CAP_FORCE_BATCH | QRVL_CAP_NEIGHBOR_LISTS;
  if (cuda_backend::supports_descriptors(protocol)) word |= QRVL_CAP_DESCRIPTORS;
  return word;
}

// One loaded model: its host parameters, its uploaded arrays and its cached work arrays, all on the device that
// was current when it was loaded. Members are declared in construction order; the destructor frees the
// workspaces before the model arrays. Evaluations run one at a time: a second thread waits for the first, because
// they share the cached workspaces. The cancel flag is stored without waiting for anything.
class CudaModel final : public Model {
 public:
  CudaModel(HostModelParameters parameters, int device)
      : host_parameters_(std::move(parameters)),
        protocol_(host_parameters_.protocol),
        device_model_(host_parameters_),
        device_(device) {}

  ~CudaModel() override {
    try {
      cuda_backend::ScopedDevice scope(device_);
      release_device_memory();
    } catch (const std::exception&) {
      release_device_memory();  // the device could not be selected: free on the current one rather than leak
    }
    drain_cuda_error();
  }

  int model_info(QrvlModelInfo& out) const override {
    out = QrvlModelInfo{};
    out.cutoff_radial = protocol_.cutoff_radial;
    out.cutoff_angular = protocol_.cutoff_angular;
    out.cutoff_max = protocol_.cutoff_max;
    out.capabilities = capability_word(protocol_);
    out.num_types = protocol_.num_types;
    out.descriptor_dim = protocol_.descriptor_dim;
    return QRVL_STATUS_OK;
  }

  int model_kind() const override {
    if (protocol_.spin_mode > 0) return QRVL_MODEL_KIND_SPIN;
    if (protocol_.charge_mode > 0) return QRVL_MODEL_KIND_CHARGE;
    return QRVL_MODEL_KIND_ORDINARY;
  }

  // Plans the batch workspace for the capacities and reports its bytes with the uploaded model's; allocates
  // nothing.
  int estimate_workspace(int atom_capacity, int structure_capacity, QrvlWorkspaceEstimate& out) const override {
    if (atom_capacity < 1 || structure_capacity < 1) return QRVL_STATUS_INVALID_ARGUMENT;
    try {
      const cuda_backend::WorkspacePlan plan = cuda_backend::make_internal_neighbor_workspace_plan(
          protocol_, static_cast<std::uint64_t>(atom_capacity), static_cast<std::uint64_t>(structure_capacity),
          false);
      out = QrvlWorkspaceEstimate{};
      out.model_bytes = device_model_.upload_summary().total_bytes;
      out.workspace_bytes = plan.total_bytes();
      out.total_bytes = out.model_bytes + out.workspace_bytes;
      out.atom_capacity = atom_capacity;
      out.structure_capacity = structure_capacity;
      return QRVL_STATUS_OK;
    } catch (const std::exception& error) {
      set_last_error(error.what());
      return QRVL_STATUS_RUNTIME_ERROR;
    }
  }

  int find_force_batch(const QrvlStructureBatch& batch, QrvlFindForceResult& result) override {
    if (model_kind() == QRVL_MODEL_KIND_CHARGE) return QRVL_STATUS_UNSUPPORTED;
    return evaluate_structure_batch(batch, result);
  }

  int find_charge_batch(const QrvlStructureBatch& batch, QrvlFindForceResult& result) override {
    if (protocol_.spin_mode > 0 || protocol_.charge_mode <= 0) return QRVL_STATUS_UNSUPPORTED;
    if (result.charge == nullptr || result.bec == nullptr) return QRVL_STATUS_INVALID_ARGUMENT;
    return evaluate_structure_batch(batch, result);
  }

  int find_descriptors(const QrvlStructureBatch& batch, QrvlFindDescriptorResult& result) override {
    const std::lock_guard<std::mutex> one_at_a_time(evaluation_mutex_);
    cuda_backend::BatchDriverModel driver = batch_driver();
    return cuda_backend::evaluate_batch_descriptors(driver, batch, result);
  }

  int compute_dftd3_batch(const QrvlStructureBatch&, const QrvlDftd3Parameters&, QrvlDftd3Result&, bool) override {
    return refuse_unsupported(kDftd3Unsupported);
  }

  int find_force_lammps_neighbors(const QrvlLammpsNeighborInput& input, QrvlLammpsNeighborResult& result) override {
    const std::lock_guard<std::mutex> one_at_a_time(evaluation_mutex_);
    cuda_backend::HostLammpsDriverModel driver{protocol_, device_model_, cancel_requested};
    driver.device = device_;
    return cuda_backend::evaluate_host_lammps_neighbors(driver, input, result);
  }

  int find_force_lammps_device_neighbors(const QrvlLammpsDeviceNeighborInput& input,
                                         QrvlLammpsDeviceNeighborResult& result) override {
    const std::lock_guard<std::mutex> one_at_a_time(evaluation_mutex_);
    cuda_backend::DeviceLammpsDriverModel driver{protocol_,
                                                 device_model_,
                                                 cancel_requested,
                                                 lammps_workspace_,
                                                 lammps_workspace_atoms_,
                                                 lammps_workspace_active_atoms_,
                                                 lammps_workspace_radial_capacity_,
                                                 lammps_workspace_angular_capacity_,
                                                 lammps_workspace_float_sink_,
                                                 lammps_workspace_spin_transfer_,
                                                 cuda_backend::process_pair_profile_samples()};
    driver.device = device_;
    return cuda_backend::evaluate_device_lammps_neighbors(driver, input, result);
  }

 private:
  // The batch driver, with periodic replication allowed.
  int evaluate_structure_batch(const QrvlStructureBatch& batch, QrvlFindForceResult& result) {
    const std::lock_guard<std::mutex> one_at_a_time(evaluation_mutex_);
    cuda_backend::BatchDriverModel driver = batch_driver();
    return cuda_backend::evaluate_structure_batch(driver, batch, result, true);
  }

  // The model as the batch and descriptor drivers see it, with the batch workspace cache they share. The caller
  // holds evaluation_mutex_.
  cuda_backend::BatchDriverModel batch_driver() {
    cuda_backend::BatchDriverModel driver{protocol_,        host_parameters_, device_model_,
                                          cancel_requested, batch_workspace_, batch_atom_capacity_,
                                          batch_structure_capacity_,          batch_spin_transfer_};
    driver.device = device_;
    return driver;
  }

  void release_device_memory() noexcept {
    lammps_workspace_.reset();
    batch_workspace_.reset();
    device_model_.release();
  }

  HostModelParameters host_parameters_;
  ModelProtocol protocol_;
  DeviceModel device_model_;
  std::unique_ptr<DeviceWorkspace> batch_workspace_;
  std::uint64_t batch_atom_capacity_ = 0;
  std::uint64_t batch_structure_capacity_ = 0;
  bool batch_spin_transfer_ = false;
  std::unique_ptr<DeviceWorkspace> lammps_workspace_;
  std::uint64_t lammps_workspace_atoms_ = 0;
  std::uint64_t lammps_workspace_active_atoms_ = 0;
  std::int32_t lammps_workspace_radial_capacity_ = 0;
  std::int32_t lammps_workspace_angular_capacity_ = 0;
  bool lammps_workspace_float_sink_ = false;
  bool lammps_workspace_spin_transfer_ = false;
  int device_ = 0;  // the CUDA device that was current at load; every operation runs on it
  std::mutex evaluation_mutex_;  // held for the whole of each evaluation; never by the cancel flag's writers
};

class CudaEngine final : public Engine {
 public:
  EngineInfo info() override { return EngineInfo{kEngineName, kEngineVersion, kEngineCapabilities}; }

  int load_model(const std::string& path, std::unique_ptr<Model>& out) override {
    if (path.empty()) return QRVL_STATUS_INVALID_ARGUMENT;
    try {
      // The file is read and checked before the device is asked for anything: its refusals need no driver.
      HostModelParameters parameters = cuda_backend::load_host_model_parameters(path);
      int device = 0;
      cuda_backend::check_cuda(cudaGetDevice(&device), "query current CUDA device");
      out = std::make_unique<CudaModel>(std::move(parameters), device);
      return QRVL_STATUS_OK;
    } catch (const cuda_backend::UnsupportedModelProtocol& error) {
      out.reset();
      drain_cuda_error();
      set_last_error(error.what());
      return QRVL_STATUS_UNSUPPORTED;
    } catch (const std::exception& error) {
      out.reset();
      drain_cuda_error();
      set_last_error(error.what());
      return QRVL_STATUS_RUNTIME_ERROR;
    }
  }
};

}  // namespace

bool register_cuda_engine() {
  static CudaEngine engine;
  static const bool registered = register_engine(&engine);
  return registered;
}

}  // namespace quarvel

// No exception may cross the C boundary: a registration that fails (out of memory) answers 0, and the next call
// tries again, since the answer is only stored once registering has returned.
extern "C" int qrvl_register_cuda_engine(void) {
  try {
    return quarvel::register_cuda_engine() ? 1 : 0;
  } catch (...) {
    return 0;
  }
}
