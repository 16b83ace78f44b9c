#include "model_queries.hpp"

#include "quarvel/quarvel.h"
#include "status.hpp"

namespace py = pybind11;

namespace quarvel::python {
namespace {

const char* kind_name(std::int32_t kind) {
  switch (kind) {
    case QRVL_MODEL_KIND_ORDINARY: return "ordinary";
    case QRVL_MODEL_KIND_SPIN: return "spin";
    case QRVL_MODEL_KIND_CHARGE: return "charge";
    case QRVL_MODEL_KIND_DIPOLE: return "dipole";
    case QRVL_MODEL_KIND_POLARIZABILITY: return "polarizability";
    default: return "unknown";  // an engine may answer a kind this module does not know; it is reported, not refused
  }
}

bool has_bit(std::uint64_t capabilities, std::uint64_t bit) { return (capabilities & bit) != 0; }

}  // namespace

py::dict model_info(PyModel& self) {
  const std::shared_ptr<QrvlModel> handle = acquire_model(self);
  QrvlModelInfo info{};
  check_status(qrvl_model_info(handle.get(), &info));
  std::int32_t kind = 0;
  check_status(qrvl_model_kind(handle.get(), &kind));
  py::dict result;
  result["cutoff_radial"] = info.cutoff_radial;
  result["cutoff_angular"] = info.cutoff_angular;
  result["cutoff_max"] = info.cutoff_max;
  result["capabilities"] = info.capabilities;
  result["num_types"] = info.num_types;
  result["descriptor_dim"] = info.descriptor_dim;
  result["model_type"] = kind_name(kind);
  result["dipole"] = has_bit(info.capabilities, QRVL_CAP_DIPOLE);
  result["polarizability"] = has_bit(info.capabilities, QRVL_CAP_POLARIZABILITY);
  result["dftd3"] = has_bit(info.capabilities, QRVL_CAP_DFTD3);
  return result;
}

py::dict workspace_estimate(PyModel& self, std::int32_t atom_capacity, std::int32_t structure_capacity) {
  const std::shared_ptr<QrvlModel> handle = acquire_model(self);
  QrvlWorkspaceEstimate estimate{};
  check_status(qrvl_estimate_workspace(handle.get(), atom_capacity, structure_capacity, &estimate));
  py::dict result;
  result["model_bytes"] = estimate.model_bytes;
  result["workspace_bytes"] = estimate.workspace_bytes;
  result["total_bytes"] = estimate.total_bytes;
  result["atom_capacity"] = estimate.atom_capacity;
  result["structure_capacity"] = estimate.structure_capacity;
  return result;
}

}  // namespace quarvel::python
