#ifndef QUARVEL_ENGINE_HPP
#define QUARVEL_ENGINE_HPP

// The object interface behind the flat functions: engines turn model files into models, models answer the
// evaluation requests with the flat records and statuses of quarvel.h.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "quarvel/export.h"
#include "quarvel/quarvel.h"

namespace quarvel {

// What an engine says about itself; `name` is the text callers select the engine by.
struct EngineInfo {
  std::string name;
  std::string version;
  std::uint64_t capabilities = 0;  // QRVL_CAP_* bits
};

class Model;

// Turns a model file into a model. Engines live for the whole process; the registry keeps plain pointers.
class QUARVEL_API Engine {
 public:
  virtual ~Engine();
  // Must not throw: the flat interface and the registry rely on it.
  virtual EngineInfo info() = 0;
  // On status 0 `out` holds the new model; on any other status the caller destroys whatever `out` holds and
  // the reason, if any, is the calling thread's last error.
  virtual int load_model(const std::string& path, std::unique_ptr<Model>& out) = 0;
};

// A loaded model. Every operation answers a QRVL_STATUS_* value; the defaults set no last-error text.
// The CUDA engine's models run the calls on one model one at a time (a second thread waits for the first); any
// thread may store `cancel_requested` at any time.
class QUARVEL_API Model {
 public:
  virtual ~Model();

  virtual int model_info(QrvlModelInfo& out) const {
    out = QrvlModelInfo{};
    return QRVL_STATUS_UNSUPPORTED;
  }
  // QRVL_MODEL_KIND_* value.
  virtual int model_kind() const { return QRVL_MODEL_KIND_ORDINARY; }
  virtual int estimate_workspace(int /*atom_capacity*/, int /*structure_capacity*/,
                                 QrvlWorkspaceEstimate& out) const {
    out = QrvlWorkspaceEstimate{};
    return QRVL_STATUS_UNSUPPORTED;
  }
  virtual int find_force_batch(const QrvlStructureBatch& batch, QrvlFindForceResult& result) = 0;
  virtual int evaluate_batch(const QrvlStructureBatch& /*batch*/, QrvlEvaluateResult& /*result*/) {
    return QRVL_STATUS_UNSUPPORTED;
  }
  virtual int find_charge_batch(const QrvlStructureBatch& /*batch*/, QrvlFindForceResult& /*result*/) {
    return QRVL_STATUS_UNSUPPORTED;
  }
  virtual int find_descriptors(const QrvlStructureBatch& /*batch*/, QrvlFindDescriptorResult& /*result*/) {
    return QRVL_STATUS_UNSUPPORTED;
  }
  virtual int find_dipoles(const QrvlStructureBatch& /*batch*/, QrvlDipoleResult& /*result*/) {
    return QRVL_STATUS_UNSUPPORTED;
  }
  virtual int find_polarizabilities(const QrvlStructureBatch& /*batch*/, QrvlPolarizabilityResult& /*result*/) {
    return QRVL_STATUS_UNSUPPORTED;
  }
  // `include_model`: false for the dispersion terms alone, true for the model's results plus those terms.
  virtual int compute_dftd3_batch(const QrvlStructureBatch& /*batch*/, const QrvlDftd3Parameters& /*parameters*/,
                                  QrvlDftd3Result& /*result*/, bool /*include_model*/) {
    return QRVL_STATUS_UNSUPPORTED;
  }
  virtual int find_force_lammps_neighbors(const QrvlLammpsNeighborInput& /*input*/,
                                          QrvlLammpsNeighborResult& /*result*/) {
    return QRVL_STATUS_UNSUPPORTED;
  }
  virtual int find_force_lammps_device_neighbors(const QrvlLammpsDeviceNeighborInput& /*input*/,
                                                 QrvlLammpsDeviceNeighborResult& /*result*/) {
    return QRVL_STATUS_UNSUPPORTED;
  }

  // Set by qrvl_cancel_model, cleared by qrvl_reset_cancel, never by an engine. Engines read it at fixed points
  // of long computations and answer QRVL_STATUS_CANCELLED while it is set. Another thread may store it during a
  // computation, so it is a one-byte atomic; relaxed loads and stores suffice because it orders no other memory.
  std::atomic<bool> cancel_requested{false};
};

static_assert(sizeof(std::atomic<bool>) == 1, "the cancel flag is one byte");
static_assert(std::atomic<bool>::is_always_lock_free, "the cancel flag is stored without a lock");

// Appends `engine` to the process-wide registry. False for a null engine, an empty name or a name already
// registered. The registry does not own the engine, which must outlive every use of it and of its models.
// Not safe while another thread registers or looks up engines.
QUARVEL_API bool register_engine(Engine* engine);

// The calling thread's last-error text becomes a copy of `message`.
QUARVEL_API void set_last_error(const std::string& message);

// The calling thread's last-error text becomes empty.
QUARVEL_API void clear_last_error();

// Registers the process's one CUDA engine, named "cuda", and answers whether it is registered (false when another
// engine named "cuda" was registered first); every later call answers the same. A registration that throws (out of
// memory) records no answer, so the next call tries again.
QUARVEL_API bool register_cuda_engine();

// Selects `device`, allocates one word, runs a one-thread kernel, waits, copies the word back and frees it.
// True when every step passed and the marker came back; `detail` is replaced by a sentence on success or by the
// failing step and the CUDA error text. Throws nothing and leaves no CUDA error pending. When selecting the
// device succeeded, `device` stays the calling thread's current device.
QUARVEL_API bool probe_cuda_device(int device, std::string& detail);

}  // namespace quarvel

#endif
