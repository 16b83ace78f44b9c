#include "support/fake_engine.hpp"

#include <stdexcept>
#include <string>
#include <iterator>
#include <thread>

namespace quarvel::testing {
namespace {

constexpr int kNonStandardCode = 7;
constexpr const char* kStatusPrefix = "status-";

[[noreturn]] void throw_failure(Failure failure) {
  if (failure == Failure::non_standard) {
    throw NonStandardFailure{kNonStandardCode};
  }
  throw std::runtime_error(kModelFailureText);
}

// Reads "<kind>" or "<kind>:<behaviour>" into `options`; false for a path that names no fake model.
bool options_for_path(const std::string& path, FakeModelOptions& options) {
  const std::size_t colon = path.find(':');
  const std::string kind = path.substr(0, colon);
  const std::string behaviour = colon == std::string::npos ? std::string() : path.substr(colon + 1);
  const char* const kinds[] = {"ordinary", "spin", "charge", "dipole", "polarizability"};  // in kind order
  options = FakeModelOptions{};
  options.kind = -1;
  for (int k = 0; k < static_cast<int>(std::size(kinds)); ++k) {
    if (kind == kinds[k]) {
      options.kind = k;
    }
  }
  if (options.kind < 0) {
    return false;
  }
  if (behaviour.empty()) {
    return true;
  }
  if (behaviour == "failing") {
    options.failure = Failure::standard;
  } else if (behaviour == "failing-other") {
    options.failure = Failure::non_standard;
  } else if (behaviour == "failing-kind") {
    options.kind_failure = Failure::standard;
  } else if (behaviour == "failing-kind-other") {
    options.kind_failure = Failure::non_standard;
  } else if (behaviour == "waits-for-cancel") {
    options.waits_for_cancel = true;
  } else if (behaviour.rfind(kStatusPrefix, 0) == 0) {
    options.status = std::stoi(behaviour.substr(std::string(kStatusPrefix).size()));
  } else {
    return false;
  }
  return true;
}

}  // namespace

FakeModel::FakeModel(FakeModelOptions options, std::atomic<int>& live_models)
    : options_(options), live_models_(live_models) {
  ++live_models_;
}

FakeModel::~FakeModel() { --live_models_; }

int FakeModel::serve(Operation operation, double* first_output) const {
  last_operation_ = operation;
  if (options_.failure != Failure::none) {
    throw_failure(options_.failure);
  }
  if (cancel_requested.load(std::memory_order_relaxed)) {
    return QRVL_STATUS_CANCELLED;
  }
  if (options_.status == QRVL_STATUS_OK && first_output != nullptr) {
    *first_output = kWrittenMarker;
  }
  return options_.status;
}

int FakeModel::model_info(QrvlModelInfo& out) const {
  last_operation_ = Operation::model_info;
  if (options_.failure != Failure::none) {
    throw_failure(options_.failure);
  }
  out.cutoff_radial = kFakeCutoffRadial;
  out.cutoff_angular = kFakeCutoffAngular;
  out.cutoff_max = kFakeCutoffRadial;
  out.capabilities = kFakeEngineCapabilities;
  out.num_types = kFakeTypeCount;
  out.descriptor_dim = kFakeDescriptorDim;
  return QRVL_STATUS_OK;
}

int FakeModel::model_kind() const {
  if (options_.kind_failure != Failure::none) {
    throw_failure(options_.kind_failure);
  }
  return options_.kind;
}

int FakeModel::estimate_workspace(int atom_capacity, int structure_capacity, QrvlWorkspaceEstimate& out) const {
  last_operation_ = Operation::estimate_workspace;
  if (options_.failure != Failure::none) {
    throw_failure(options_.failure);
  }
  out = QrvlWorkspaceEstimate{};
  out.atom_capacity = atom_capacity;
  out.structure_capacity = structure_capacity;
  return QRVL_STATUS_OK;
}

int FakeModel::find_force_batch(const QrvlStructureBatch& /*batch*/, QrvlFindForceResult& result) {
  if (options_.waits_for_cancel) {
    last_operation_ = Operation::find_force_batch;
    while (!cancel_requested.load(std::memory_order_relaxed)) {
      std::this_thread::yield();
    }
    return QRVL_STATUS_CANCELLED;
  }
  return serve(Operation::find_force_batch, result.energy);
}

int FakeModel::evaluate_batch(const QrvlStructureBatch& /*batch*/, QrvlEvaluateResult& result) {
  return serve(Operation::evaluate_batch, result.energy);
}

int FakeModel::find_charge_batch(const QrvlStructureBatch& /*batch*/, QrvlFindForceResult& result) {
  return serve(Operation::find_charge_batch, result.charge);
}

int FakeModel::find_descriptors(const QrvlStructureBatch& /*batch*/, QrvlFindDescriptorResult& result) {
  return serve(Operation::find_descriptors, result.descriptors);
}

int FakeModel::find_dipoles(const QrvlStructureBatch& /*batch*/, QrvlDipoleResult& result) {
  return serve(Operation::find_dipoles, result.dipoles);
}

int FakeModel::find_polarizabilities(const QrvlStructureBatch& /*batch*/, QrvlPolarizabilityResult& result) {
  return serve(Operation::find_polarizabilities, result.polarizabilities);
}

int FakeModel::compute_dftd3_batch(const QrvlStructureBatch& /*batch*/, const QrvlDftd3Parameters& /*parameters*/,
                                   QrvlDftd3Result& result, bool include_model) {
  last_include_model_ = include_model;
  return serve(Operation::compute_dftd3_batch, result.energy);
}

int FakeModel::find_force_lammps_neighbors(const QrvlLammpsNeighborInput& /*input*/,
                                           QrvlLammpsNeighborResult& result) {
  return serve(Operation::find_force_lammps_neighbors, result.energy);
}

int FakeModel::find_force_lammps_device_neighbors(const QrvlLammpsDeviceNeighborInput& /*input*/,
                                                  QrvlLammpsDeviceNeighborResult& result) {
  return serve(Operation::find_force_lammps_device_neighbors, result.energy);
}

int MinimalModel::find_force_batch(const QrvlStructureBatch& /*batch*/, QrvlFindForceResult& result) {
  if (result.energy != nullptr) {
    *result.energy = kWrittenMarker;
  }
  return QRVL_STATUS_OK;
}

EngineInfo FakeEngine::info() {
  if (info_throws_.load()) {
    throw std::runtime_error("fake engine info failure");
  }
  return EngineInfo{name_, kFakeEngineVersion, capabilities_};
}

int FakeEngine::load_model(const std::string& path, std::unique_ptr<Model>& out) {
  if (path.empty()) {
    return QRVL_STATUS_INVALID_ARGUMENT;
  }
  if (path == "refused") {
    out = std::make_unique<FakeModel>(FakeModelOptions{}, live_models_);
    set_last_error(kLoadRefusalText);
    return QRVL_STATUS_UNSUPPORTED;
  }
  if (path == "empty") {
    return QRVL_STATUS_OK;
  }
  if (path == "throws") {
    out = std::make_unique<FakeModel>(FakeModelOptions{}, live_models_);
    throw std::runtime_error(kLoadFailureText);
  }
  if (path == "throws-other") {
    out = std::make_unique<FakeModel>(FakeModelOptions{}, live_models_);
    throw NonStandardFailure{kNonStandardCode};
  }
  if (path == "minimal") {
    out = std::make_unique<MinimalModel>();
    return QRVL_STATUS_OK;
  }
  FakeModelOptions options;
  if (!options_for_path(path, options)) {
    set_last_error("fake engine cannot open " + path);
    return QRVL_STATUS_RUNTIME_ERROR;
  }
  auto model = std::make_unique<FakeModel>(options, live_models_);
  last_loaded_model_ = model.get();
  out = std::move(model);
  return QRVL_STATUS_OK;
}

FakeEngine& registered_fake_engine() {
  static FakeEngine engine(kFakeEngineName, kFakeEngineCapabilities);
  static const bool registered = register_engine(&engine);
  static_cast<void>(registered);
  return engine;
}

}  // namespace quarvel::testing
