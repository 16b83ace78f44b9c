#include <atomic>

#include "flat_guard.hpp"
#include "model_handle.hpp"

namespace {

// Common frame of the operations without a batch: clear the last error, refuse null pointers and bad scalar
// arguments (`arguments_valid` false) with QRVL_STATUS_INVALID_ARGUMENT before anything is read or written,
// then call the model under the guard.
template <typename Out, typename Call>
int call_model(QrvlModel* handle, Out* out, bool arguments_valid, Call&& call) {
  quarvel::clear_last_error();
  quarvel::Model* model = quarvel::model_of(handle);
  if (model == nullptr || out == nullptr || !arguments_valid) {
    return QRVL_STATUS_INVALID_ARGUMENT;
  }
  return quarvel::run_guarded([&] { return call(*model, *out); });
}

// Stores the cancel flag; relaxed because the flag orders no other memory and another thread may be computing.
int store_cancel_flag(QrvlModel* handle, bool requested) {
  quarvel::clear_last_error();
  quarvel::Model* model = quarvel::model_of(handle);
  if (model == nullptr) {
    return QRVL_STATUS_INVALID_ARGUMENT;
  }
  model->cancel_requested.store(requested, std::memory_order_relaxed);
  return QRVL_STATUS_OK;
}

}  // namespace

extern "C" {

// Does not touch the last error.
QUARVEL_API void qrvl_free_model(QrvlModel* model) { delete model; }

QUARVEL_API int qrvl_model_info(QrvlModel* model, QrvlModelInfo* out) {
  return call_model(model, out, true, [](quarvel::Model& m, QrvlModelInfo& o) { return m.model_info(o); });
}

QUARVEL_API int qrvl_model_kind(QrvlModel* model, int32_t* out) {
  return call_model(model, out, true, [](quarvel::Model& m, int32_t& o) {
    o = m.model_kind();
    return static_cast<int>(QRVL_STATUS_OK);
  });
}

QUARVEL_API int qrvl_estimate_workspace(QrvlModel* model, int32_t atom_capacity, int32_t structure_capacity,
                                        QrvlWorkspaceEstimate* out) {
  const bool capacities_valid = atom_capacity >= 1 && structure_capacity >= 1;
  return call_model(model, out, capacities_valid, [&](quarvel::Model& m, QrvlWorkspaceEstimate& o) {
    return m.estimate_workspace(atom_capacity, structure_capacity, o);
  });
}

// No periodicity gate and no routing by kind: the lists carry no cell.
QUARVEL_API int qrvl_find_force_lammps_neighbors(QrvlModel* model, const QrvlLammpsNeighborInput* input,
                                                 QrvlLammpsNeighborResult* result) {
  return call_model(model, result, input != nullptr, [&](quarvel::Model& m, QrvlLammpsNeighborResult& r) {
    return m.find_force_lammps_neighbors(*input, r);
  });
}

QUARVEL_API int qrvl_find_force_lammps_device_neighbors(QrvlModel* model, const QrvlLammpsDeviceNeighborInput* input,
                                                        QrvlLammpsDeviceNeighborResult* result) {
  return call_model(model, result, input != nullptr, [&](quarvel::Model& m, QrvlLammpsDeviceNeighborResult& r) {
    return m.find_force_lammps_device_neighbors(*input, r);
  });
}

QUARVEL_API int qrvl_cancel_model(QrvlModel* model) { return store_cancel_flag(model, true); }

QUARVEL_API int qrvl_reset_cancel(QrvlModel* model) { return store_cancel_flag(model, false); }

}  // extern "C"
