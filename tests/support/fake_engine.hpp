#ifndef QUARVEL_TESTS_SUPPORT_FAKE_ENGINE_HPP
#define QUARVEL_TESTS_SUPPORT_FAKE_ENGINE_HPP

// A test engine that drives every route of the flat interface without a device. Its "model files" are names:
// the path given to load_model chooses the model's kind and behaviour (see FakeEngine::load_model).

#include <atomic>
#include <memory>
#include <string>

#include "quarvel/engine.hpp"

namespace quarvel::testing {

// The name the fake engine registers under.
inline constexpr const char* kFakeEngineName = "fake";
inline constexpr const char* kFakeEngineVersion = "0.0.1";
inline constexpr std::uint64_t kFakeEngineCapabilities = QRVL_CAP_FORCE_BATCH | QRVL_CAP_DESCRIPTORS;

// Texts the fake engine and its models fail with.
inline constexpr const char* kModelFailureText = "fake model failure";
inline constexpr const char* kLoadFailureText = "fake engine cannot read the file";
inline constexpr const char* kLoadRefusalText = "fake engine refuses the model";

// Value a fake model writes into the first element of every output it fills, so a test can tell whether the
// model's operation ran.
inline constexpr double kWrittenMarker = 42.0;

// Thrown by models configured to fail with an exception outside the std::exception family.
struct NonStandardFailure {
  int code;
};

enum class Failure { none, standard, non_standard };

// The model operation a fake model last served.
enum class Operation {
  none,
  model_info,
  estimate_workspace,
  find_force_batch,
  evaluate_batch,
  find_charge_batch,
  find_descriptors,
  find_dipoles,
  find_polarizabilities,
  compute_dftd3_batch,
  find_force_lammps_neighbors,
  find_force_lammps_device_neighbors,
};

// What a fake model answers: its kind, the status of every evaluation, and how its operations fail.
struct FakeModelOptions {
  int kind = QRVL_MODEL_KIND_ORDINARY;
  int status = QRVL_STATUS_OK;
  Failure failure = Failure::none;       // every operation but model_kind
  Failure kind_failure = Failure::none;  // model_kind alone
  bool waits_for_cancel = false;         // find_force_batch spins until the cancel flag is set, then answers 5
};

// Model info the fake models report (Angstrom; counts).
inline constexpr double kFakeCutoffRadial = 6.0;
inline constexpr double kFakeCutoffAngular = 4.0;
inline constexpr int kFakeTypeCount = 2;
inline constexpr int kFakeDescriptorDim = 5;

class FakeModel final : public Model {
 public:
  FakeModel(FakeModelOptions options, std::atomic<int>& live_models);
  ~FakeModel() override;

  int model_info(QrvlModelInfo& out) const override;
  int model_kind() const override;
  int estimate_workspace(int atom_capacity, int structure_capacity, QrvlWorkspaceEstimate& out) const override;
  int find_force_batch(const QrvlStructureBatch& batch, QrvlFindForceResult& result) override;
  int evaluate_batch(const QrvlStructureBatch& batch, QrvlEvaluateResult& result) override;
  int find_charge_batch(const QrvlStructureBatch& batch, QrvlFindForceResult& result) override;
  int find_descriptors(const QrvlStructureBatch& batch, QrvlFindDescriptorResult& result) override;
  int find_dipoles(const QrvlStructureBatch& batch, QrvlDipoleResult& result) override;
  int find_polarizabilities(const QrvlStructureBatch& batch, QrvlPolarizabilityResult& result) override;
  int compute_dftd3_batch(const QrvlStructureBatch& batch, const QrvlDftd3Parameters& parameters,
                          QrvlDftd3Result& result, bool include_model) override;
  int find_force_lammps_neighbors(const QrvlLammpsNeighborInput& input, QrvlLammpsNeighborResult& result) override;
  int find_force_lammps_device_neighbors(const QrvlLammpsDeviceNeighborInput& input,
                                         QrvlLammpsDeviceNeighborResult& result) override;

  Operation last_operation() const { return last_operation_; }
  // The include_model flag of the last compute_dftd3_batch call.
  bool last_include_model() const { return last_include_model_; }

 private:
  // Records the operation, throws as configured, then answers 5 while cancelled or the configured status.
  int serve(Operation operation, double* first_output) const;

  FakeModelOptions options_;
  std::atomic<int>& live_models_;
  mutable Operation last_operation_ = Operation::none;
  bool last_include_model_ = false;
};

// A model that provides only the one operation without a default.
class MinimalModel final : public Model {
 public:
  int find_force_batch(const QrvlStructureBatch& batch, QrvlFindForceResult& result) override;
};

// Paths load_model understands:
//   ""                 answers 1 without a text
//   "refused"          leaves a model in `out`, sets kLoadRefusalText, answers 2
//   "empty"            answers 0 without a model
//   "throws"           leaves a model in `out`, throws std::runtime_error(kLoadFailureText)
//   "throws-other"     leaves a model in `out`, throws NonStandardFailure
//   "minimal"          a MinimalModel
//   "<kind>" or "<kind>:<behaviour>"   a FakeModel; kind is ordinary, spin, charge, dipole or polarizability;
//                      behaviour is one of
//                        failing, failing-other           every operation but model_kind throws
//                                                         std::runtime_error(kModelFailureText) / NonStandardFailure
//                        failing-kind, failing-kind-other model_kind alone throws
//                        status-<n>                       every evaluation answers status n
//                        waits-for-cancel                 find_force_batch waits for the cancel flag
// Any other path sets "fake engine cannot open <path>" and answers 4.
class FakeEngine final : public Engine {
 public:
  FakeEngine(std::string name, std::uint64_t capabilities) : name_(std::move(name)), capabilities_(capabilities) {}

  EngineInfo info() override;
  int load_model(const std::string& path, std::unique_ptr<Model>& out) override;

  // Models of this engine not yet destroyed.
  int live_models() const { return live_models_.load(); }
  // The FakeModel this engine made last; valid while that model lives.
  FakeModel* last_loaded_model() const { return last_loaded_model_; }
  // While set, info() throws: an engine that breaks its promise.
  void set_info_throws(bool throws) { info_throws_.store(throws); }

 private:
  std::string name_;
  std::uint64_t capabilities_;
  std::atomic<int> live_models_{0};
  std::atomic<bool> info_throws_{false};
  FakeModel* last_loaded_model_ = nullptr;
};

// The process's fake engine named kFakeEngineName, registered on first use.
FakeEngine& registered_fake_engine();

}  // namespace quarvel::testing

#endif
