#pragma once
// The native side of a Python `Model`: the shared state that owns one flat-interface handle, its two locks, and
// the lifecycle operations. Lock rules: `state_mutex` guards `model` only and is taken with the interpreter lock
// held; `compute_mutex` serialises computations and is taken only after the interpreter lock was released, so the
// two are never held together and a thread waiting for a computation never blocks other Python threads.
#include <pybind11/pybind11.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "quarvel/quarvel.h"
#include "status.hpp"

namespace quarvel::python {

// One loaded model, shared by every `PyModel` that refers to it.
struct ModelState {
  std::mutex state_mutex;                // guards `model`
  std::mutex compute_mutex;              // serialises the computations on this model
  std::shared_ptr<QrvlModel> model;      // deleter qrvl_free_model; empty once closed
};

// The object behind a Python `Model`; copies share the state.
struct PyModel {
  std::shared_ptr<ModelState> state;
};

// A reference to the open handle; a computation holds it, so closing meanwhile frees the model only afterwards.
// Throws std::runtime_error "model is closed".
std::shared_ptr<QrvlModel> acquire_model(PyModel& self);

// Loads `path` with the engine `backend` (which must be "cuda"), registering the CUDA engine first. A path with a
// NUL byte is refused with std::invalid_argument.
PyModel load_model(const std::string& backend, const std::string& path);

// Empties the state; the model is freed here unless a computation still holds it. Closing twice does nothing.
void close_model(PyModel& self);

// Sets or clears the model's cancel flag; callable from any thread while another computes.
void cancel_model(PyModel& self);
void reset_cancel(PyModel& self);

// The compute section: releases the interpreter lock, waits for the model's compute lock, runs the flat call
// (which returns a status) and checks its status on this thread; the compute lock is released before the
// interpreter lock is taken back, also when the check throws.
template <typename FlatCall>
void run_compute_section(ModelState& state, FlatCall&& flat_call) {
  pybind11::gil_scoped_release release_interpreter;
  std::lock_guard<std::mutex> compute(state.compute_mutex);
  check_status(std::forward<FlatCall>(flat_call)());
}

}  // namespace quarvel::python
