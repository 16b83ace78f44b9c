#include <cstdint>

#include "flat_guard.hpp"
#include "model_handle.hpp"

namespace {

constexpr int kPeriodicAxes = 3;  // periodic flags per structure

constexpr const char* kPeriodicityRefusal = "Quarvel supports fully periodic structures only (pbc=[1,1,1])";

// Which model kinds a batch operation accepts; the refusal texts are part of the interface.
enum class KindRoute { force, ordinary_only, charge_only, any_kind, dipole_only, polarizability_only, dftd3 };

// The refusal text for a model of `kind` on an operation of `route`, or null when the operation accepts it.
const char* kind_refusal(KindRoute route, int kind) {
  switch (route) {
    case KindRoute::force:
      if (kind == QRVL_MODEL_KIND_CHARGE) {
        return "charge models require qrvl_find_charge_batch";
      }
      if (kind == QRVL_MODEL_KIND_DIPOLE || kind == QRVL_MODEL_KIND_POLARIZABILITY) {
        return "response models require their explicit dipole or polarizability API";
      }
      return nullptr;
    case KindRoute::ordinary_only:
      return kind == QRVL_MODEL_KIND_ORDINARY ? nullptr : "evaluate_batch currently supports ordinary NEP models only";
    case KindRoute::charge_only:
      return kind == QRVL_MODEL_KIND_CHARGE ? nullptr : "calculate_charge requires a charge NEP model";
    case KindRoute::any_kind:
      return nullptr;
    case KindRoute::dipole_only:
      return kind == QRVL_MODEL_KIND_DIPOLE ? nullptr : "dipoles require a dipole NEP model";
    case KindRoute::polarizability_only:
      return kind == QRVL_MODEL_KIND_POLARIZABILITY ? nullptr : "polarizabilities require a polarizability NEP model";
    case KindRoute::dftd3:
      return kind == QRVL_MODEL_KIND_ORDINARY ? nullptr
                                              : "DFT-D3 is supported only for ordinary non-spin, non-charge NEP models";
  }
  return nullptr;
}

// Every batch operation takes fully periodic structures only; flags are tested in array order.
bool is_fully_periodic(const QrvlStructureBatch& batch) {
  if (batch.num_structures < 1 || batch.pbc == nullptr) {
    return false;
  }
  const std::int64_t flag_count = std::int64_t{kPeriodicAxes} * batch.num_structures;
  for (std::int64_t i = 0; i < flag_count; ++i) {
    if (batch.pbc[i] != 1) {
      return false;
    }
  }
  return true;
}

int refuse(const char* text) {
  quarvel::set_last_error(text);
  return QRVL_STATUS_UNSUPPORTED;
}

// Common frame of every batch operation: clear the last error; null pointers (`arguments_present` false)
// answer QRVL_STATUS_INVALID_ARGUMENT with nothing written; then, under the guard, the periodicity gate, the
// routing by the model's kind and the model's operation, whose status passes through unchanged.
template <typename Call>
int call_batch(QrvlModel* handle, const QrvlStructureBatch* batch, bool arguments_present, KindRoute route,
               Call&& call) {
  quarvel::clear_last_error();
  quarvel::Model* model = quarvel::model_of(handle);
  if (model == nullptr || batch == nullptr || !arguments_present) {
    return QRVL_STATUS_INVALID_ARGUMENT;
  }
  return quarvel::run_guarded([&] {
    if (!is_fully_periodic(*batch)) {
      return refuse(kPeriodicityRefusal);
    }
    if (route != KindRoute::any_kind) {
      if (const char* refusal = kind_refusal(route, model->model_kind())) {
        return refuse(refusal);
      }
    }
    return call(*model, *batch);
  });
}

int call_dftd3(QrvlModel* handle, const QrvlStructureBatch* batch, const QrvlDftd3Parameters* parameters,
               QrvlDftd3Result* result, bool include_model) {
  const bool present = parameters != nullptr && result != nullptr && parameters->functional != nullptr;
  return call_batch(handle, batch, present, KindRoute::dftd3, [&](quarvel::Model& m, const QrvlStructureBatch& b) {
    return m.compute_dftd3_batch(b, *parameters, *result, include_model);
  });
}

}  // namespace

extern "C" {

QUARVEL_API int qrvl_find_force_batch(QrvlModel* model, const QrvlStructureBatch* batch, QrvlFindForceResult* result) {
  return call_batch(model, batch, result != nullptr, KindRoute::force,
                    [&](quarvel::Model& m, const QrvlStructureBatch& b) { return m.find_force_batch(b, *result); });
}

QUARVEL_API int qrvl_evaluate_batch(QrvlModel* model, const QrvlStructureBatch* batch, QrvlEvaluateResult* result) {
  return call_batch(model, batch, result != nullptr, KindRoute::ordinary_only,
                    [&](quarvel::Model& m, const QrvlStructureBatch& b) { return m.evaluate_batch(b, *result); });
}

QUARVEL_API int qrvl_find_charge_batch(QrvlModel* model, const QrvlStructureBatch* batch, QrvlFindForceResult* result) {
  return call_batch(model, batch, result != nullptr, KindRoute::charge_only,
                    [&](quarvel::Model& m, const QrvlStructureBatch& b) { return m.find_charge_batch(b, *result); });
}

QUARVEL_API int qrvl_find_descriptors(QrvlModel* model, const QrvlStructureBatch* batch,
                                      QrvlFindDescriptorResult* result) {
  return call_batch(model, batch, result != nullptr, KindRoute::any_kind,
                    [&](quarvel::Model& m, const QrvlStructureBatch& b) { return m.find_descriptors(b, *result); });
}

QUARVEL_API int qrvl_find_dipoles(QrvlModel* model, const QrvlStructureBatch* batch, QrvlDipoleResult* result) {
  return call_batch(model, batch, result != nullptr, KindRoute::dipole_only,
                    [&](quarvel::Model& m, const QrvlStructureBatch& b) { return m.find_dipoles(b, *result); });
}

QUARVEL_API int qrvl_find_polarizabilities(QrvlModel* model, const QrvlStructureBatch* batch,
                                           QrvlPolarizabilityResult* result) {
  return call_batch(
      model, batch, result != nullptr, KindRoute::polarizability_only,
      [&](quarvel::Model& m, const QrvlStructureBatch& b) { return m.find_polarizabilities(b, *result); });
}

QUARVEL_API int qrvl_compute_dftd3_batch(QrvlModel* model, const QrvlStructureBatch* batch,
                                         const QrvlDftd3Parameters* parameters, QrvlDftd3Result* result) {
  return call_dftd3(model, batch, parameters, result, false);
}

QUARVEL_API int qrvl_compute_with_dftd3_batch(QrvlModel* model, const QrvlStructureBatch* batch,
                                              const QrvlDftd3Parameters* parameters, QrvlDftd3Result* result) {
  return call_dftd3(model, batch, parameters, result, true);
}

}  // extern "C"
