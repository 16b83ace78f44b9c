#include "status.hpp"

#include <stdexcept>
#include <string>

#include "quarvel/quarvel.h"

namespace quarvel::python {

void check_status(int status) {
  if (status == QRVL_STATUS_OK) return;
  std::string message = qrvl_status_message(status);
  const char* last_error = qrvl_last_error_message();
  if (last_error != nullptr && *last_error != '\0') message += std::string(": ") + last_error;
  if (status == QRVL_STATUS_INVALID_ARGUMENT) throw std::invalid_argument(message);
  throw std::runtime_error(message);
}

}  // namespace quarvel::python
