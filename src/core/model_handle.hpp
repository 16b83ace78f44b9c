#ifndef QUARVEL_CORE_MODEL_HANDLE_HPP
#define QUARVEL_CORE_MODEL_HANDLE_HPP

#include <memory>

#include "quarvel/engine.hpp"

// The flat handle: a heap record owning exactly one model; qrvl_free_model destroys both. The library keeps
// no list of handles.
struct QrvlModel {
  std::unique_ptr<quarvel::Model> model;
};

namespace quarvel {

// The handle's model, or null for a null handle.
inline Model* model_of(QrvlModel* handle) { return handle == nullptr ? nullptr : handle->model.get(); }

}  // namespace quarvel

#endif
