#pragma once
// The one mapping of the evaluation drivers from exceptions to statuses, after their own argument checks.
#include <exception>
#include <stdexcept>

#include "pipeline_stages.hpp"
#include "quarvel/engine.hpp"
#include "quarvel/quarvel.h"

namespace quarvel::cuda_backend {

// Runs `evaluation` (which answers a status) and turns what it throws into a status with the text as the
// thread's last error: std::invalid_argument 1, any other std::exception 4.
template <typename Evaluation>
int guard_evaluation(Evaluation&& evaluation) {
  try {
    return evaluation();
  } catch (const std::invalid_argument& error) {
    set_last_error(error.what());
    return QRVL_STATUS_INVALID_ARGUMENT;
  } catch (const std::exception& error) {
    set_last_error(error.what());
    return QRVL_STATUS_RUNTIME_ERROR;
  }
}

}  // namespace quarvel::cuda_backend
