#include "module_functions.hpp"

#include <pybind11/stl.h>

#include <stdexcept>

#include "cuda_runtime_report.hpp"
#include "quarvel/quarvel.h"
#include "status.hpp"

namespace quarvel::python {
namespace {

namespace py = pybind11;

std::string copy_text(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

py::dict device_dict(const CudaDeviceEntry& device) {
  py::dict entry;
  entry["index"] = device.index;
  entry["name"] = py::str(device.name);  // strict UTF-8: a name that is not valid raises rather than being mangled
  entry["major"] = device.major;
  entry["minor"] = device.minor;
  entry["total_memory_bytes"] = device.total_memory_bytes;
  return entry;
}

}  // namespace

void register_cuda() {
  if (qrvl_register_cuda_engine() != 1) throw std::runtime_error("failed to register cuda engine");
}

int backend_count() { return qrvl_backend_count(); }

BackendInfo backend_info(std::int32_t index) {
  QrvlBackendInfo raw{nullptr, nullptr, 0};
  check_status(qrvl_backend_info(index, &raw));
  // The flat texts live in a per-thread slot that the next call replaces: copy them now.
  return BackendInfo{copy_text(raw.name), copy_text(raw.version), raw.capabilities};
}

py::dict cuda_runtime_info() {
  const CudaRuntimeReport report = collect_cuda_runtime_report();
  py::list devices;
  for (const CudaDeviceEntry& device : report.devices) devices.append(device_dict(device));
  py::dict result;
  result["driver_version"] = py::cast(report.driver_version);
  result["runtime_version"] = py::cast(report.runtime_version);
  result["devices"] = devices;
  result["free_memory_bytes"] = py::cast(report.free_memory_bytes);
  result["available"] = report.available;
  result["reason"] = report.reason;
  result["detail"] = py::cast(report.detail);
  return result;
}

}  // namespace quarvel::python
