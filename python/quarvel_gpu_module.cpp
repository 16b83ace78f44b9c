// The extension module quarvel_gpu: declarations only; the behaviour lives in the files beside this one.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "model_calculations.hpp"
#include "model_queries.hpp"
#include "model_state.hpp"
#include "module_functions.hpp"

namespace py = pybind11;
using namespace quarvel::python;

PYBIND11_MODULE(quarvel_gpu, m, py::multiple_interpreters::not_supported()) {
  m.doc() = "Quarvel CUDA Python backend";

  py::class_<BackendInfo>(m, "BackendInfo")
      .def_readonly("name", &BackendInfo::name)
      .def_readonly("version", &BackendInfo::version)
      .def_readonly("capabilities", &BackendInfo::capabilities);

  const py::tuple periodic = py::make_tuple(1, 1, 1);
  py::class_<PyModel>(m, "Model")
      .def("calculate", &calculate, py::arg("types"), py::arg("boxes"), py::arg("positions"), py::arg("atom_counts"),
           py::arg("pbc") = periodic)
      .def("calculate_charge", &calculate_charge, py::arg("types"), py::arg("boxes"), py::arg("positions"),
           py::arg("atom_counts"), py::arg("pbc") = periodic)
      .def("calculate_with_descriptors", &calculate_with_descriptors, py::arg("types"), py::arg("boxes"),
           py::arg("positions"), py::arg("atom_counts"), py::arg("pbc") = periodic)
      .def("dipoles", &dipoles, py::arg("types"), py::arg("boxes"), py::arg("positions"), py::arg("atom_counts"),
           py::arg("pbc") = periodic)
      .def("polarizabilities", &polarizabilities, py::arg("types"), py::arg("boxes"), py::arg("positions"),
           py::arg("atom_counts"), py::arg("pbc") = periodic)
      .def("calculate_dftd3", &calculate_dftd3, py::arg("types"), py::arg("boxes"), py::arg("positions"),
           py::arg("atom_counts"), py::arg("functional"), py::arg("cutoff"), py::arg("cutoff_cn"),
           py::arg("pbc") = periodic)
      .def("calculate_with_dftd3", &calculate_with_dftd3, py::arg("types"), py::arg("boxes"), py::arg("positions"),
           py::arg("atom_counts"), py::arg("functional"), py::arg("cutoff"), py::arg("cutoff_cn"),
           py::arg("pbc") = periodic)
      .def("find_force", &find_force, py::arg("types"), py::arg("positions"), py::arg("box"),
           py::arg("pbc") = periodic)
      .def("calculate_spin", &calculate_spin, py::arg("types"), py::arg("boxes"), py::arg("positions"),
           py::arg("spins"), py::arg("atom_counts"), py::arg("pbc") = periodic)
      .def("descriptors", &descriptors, py::arg("types"), py::arg("boxes"), py::arg("positions"),
           py::arg("atom_counts"), py::arg("pbc") = periodic)
      .def("descriptors_spin", &descriptors_spin, py::arg("types"), py::arg("boxes"), py::arg("positions"),
           py::arg("spins"), py::arg("atom_counts"), py::arg("pbc") = periodic)
      .def("cancel", &cancel_model)
      .def("reset_cancel", &reset_cancel)
      .def("workspace_estimate", &workspace_estimate, py::arg("atom_capacity"), py::arg("structure_capacity") = 1)
      .def("close", &close_model)
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](PyModel& self, const py::object&, const py::object&, const py::object&) { close_model(self); })
      .def("model_info", &model_info);

  m.def("cuda_runtime_info", &cuda_runtime_info);
  m.def("register_cuda", &register_cuda);
  m.def("backend_count", &backend_count);
  m.def("backend_info", &backend_info);
  m.def("load_model", &load_model);
}
