#include <cstddef>
#include <memory>
#include <string>

#include "engine_registry.hpp"
#include "flat_guard.hpp"
#include "model_handle.hpp"

namespace {

// The calling thread's copy of the last engine description handed out by qrvl_backend_info: its texts stay
// valid while other threads ask, until this thread asks again.
quarvel::EngineInfo& thread_backend_info() {
  thread_local quarvel::EngineInfo info;
  return info;
}

}  // namespace

extern "C" {

QUARVEL_API int qrvl_backend_count(void) { return static_cast<int>(quarvel::registered_engines().size()); }

// Neither clears nor sets the last error on any path.
QUARVEL_API int qrvl_backend_info(int index, QrvlBackendInfo* out) {
  if (out == nullptr) {
    return QRVL_STATUS_INVALID_ARGUMENT;
  }
  const auto& engines = quarvel::registered_engines();
  if (index < 0 || static_cast<std::size_t>(index) >= engines.size()) {
    *out = QrvlBackendInfo{};
    return QRVL_STATUS_BACKEND_UNAVAILABLE;
  }
  // Engines promise that `info` does not throw, but copying the texts allocates; nothing may reach a C caller.
  try {
    quarvel::EngineInfo& copy = thread_backend_info();
    copy = engines[static_cast<std::size_t>(index)]->info();
    out->name = copy.name.c_str();
    out->version = copy.version.c_str();
    out->capabilities = copy.capabilities;
    return QRVL_STATUS_OK;
  } catch (...) {
    *out = QrvlBackendInfo{};
    return QRVL_STATUS_RUNTIME_ERROR;
  }
}

QUARVEL_API int qrvl_load_model(const char* backend, const char* path, QrvlModel** out) {
  quarvel::clear_last_error();
  if (backend == nullptr || path == nullptr || out == nullptr) {
    return QRVL_STATUS_INVALID_ARGUMENT;
  }
  *out = nullptr;
  return quarvel::run_guarded([&] {
    quarvel::Engine* engine = quarvel::find_engine(std::string(backend));
    if (engine == nullptr) {
      return static_cast<int>(QRVL_STATUS_BACKEND_UNAVAILABLE);
    }
    // Whatever the engine leaves here is destroyed on every path but success.
    std::unique_ptr<quarvel::Model> model;
    const int status = engine->load_model(std::string(path), model);
    if (status != QRVL_STATUS_OK) {
      return status;
    }
    if (model == nullptr) {
      return static_cast<int>(QRVL_STATUS_RUNTIME_ERROR);
    }
    *out = new QrvlModel{std::move(model)};
    return static_cast<int>(QRVL_STATUS_OK);
  });
}

}  // extern "C"
