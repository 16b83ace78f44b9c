#include "last_error.hpp"
#include "quarvel/quarvel.h"

extern "C" {

QUARVEL_API int qrvl_api_version(void) { return QRVL_API_VERSION; }

QUARVEL_API const char* qrvl_status_message(int status) {
  switch (status) {
    case QRVL_STATUS_OK:
      return "ok";
    case QRVL_STATUS_INVALID_ARGUMENT:
      return "invalid argument";
    case QRVL_STATUS_UNSUPPORTED:
      return "unsupported";
    case QRVL_STATUS_BACKEND_UNAVAILABLE:
      return "backend unavailable";
    case QRVL_STATUS_RUNTIME_ERROR:
      return "runtime error";
    case QRVL_STATUS_CANCELLED:
      return "cancelled";
    default:
      return "unknown status";
  }
}

QUARVEL_API const char* qrvl_last_error_message(void) { return quarvel::last_error().c_str(); }

}  // extern "C"
