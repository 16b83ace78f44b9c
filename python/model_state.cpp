#include "model_state.hpp"

#include <stdexcept>
#include <string>

#include "module_functions.hpp"

namespace quarvel::python {
namespace {

constexpr const char* kCudaBackend = "cuda";

// Copies the handle under `state_mutex`, so the flat call runs without it.
std::shared_ptr<QrvlModel> copy_handle(ModelState& state) {
  std::lock_guard<std::mutex> guard(state.state_mutex);
  if (!state.model) throw std::runtime_error("model is closed");
  return state.model;
}

}  // namespace

std::shared_ptr<QrvlModel> acquire_model(PyModel& self) { return copy_handle(*self.state); }

PyModel load_model(const std::string& backend, const std::string& path) {
  if (backend != kCudaBackend) throw std::invalid_argument("quarvel_gpu only supports backend='cuda'");
  // The flat interface takes a NUL-terminated path: cut at an embedded NUL it would name another file.
  if (path.find('\0') != std::string::npos) throw std::invalid_argument("model path must not contain NUL bytes");
  register_cuda();
  QrvlModel* handle = nullptr;
  check_status(qrvl_load_model(backend.c_str(), path.c_str(), &handle));
  // The owner frees the handle itself if it cannot be made, and frees it if making the state fails.
  std::shared_ptr<QrvlModel> model(handle, qrvl_free_model);
  auto state = std::make_shared<ModelState>();
  state->model = std::move(model);
  return PyModel{std::move(state)};
}

void close_model(PyModel& self) {
  ModelState& state = *self.state;
  std::lock_guard<std::mutex> guard(state.state_mutex);
  std::shared_ptr<QrvlModel> released = std::move(state.model);
  released.reset();  // under the lock: when this was the last reference, qrvl_free_model runs here
}

void cancel_model(PyModel& self) {
  const std::shared_ptr<QrvlModel> handle = copy_handle(*self.state);
  check_status(qrvl_cancel_model(handle.get()));
}

void reset_cancel(PyModel& self) {
  const std::shared_ptr<QrvlModel> handle = copy_handle(*self.state);
  check_status(qrvl_reset_cancel(handle.get()));
}

}  // namespace quarvel::python
