#include "model_calculations.hpp"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include "quarvel/quarvel.h"
#include "status.hpp"

namespace py = pybind11;

namespace quarvel::python {
namespace {

constexpr py::ssize_t kPolarizabilityValues = 6;  // independent components of the symmetric tensor

using DftD3Function = int (*)(QrvlModel*, const QrvlStructureBatch*, const QrvlDftd3Parameters*, QrvlDftd3Result*);

// A new C-contiguous float64 array; the flat call fills it.
ResultArray new_array(std::vector<py::ssize_t> shape) { return ResultArray(std::move(shape)); }

// The per-atom outputs every force computation returns, and the per-structure scratch the flat call also fills.
struct ForceOutputs {
  explicit ForceOutputs(const PreparedBatch& batch)
      : energy(new_array({batch.num_atoms})),
        force(new_array({batch.num_atoms, kVectorValues})),
        virial(new_array({batch.num_atoms, kTensorValues})),
        structure_energy(static_cast<std::size_t>(batch.num_structures), 0.0),
        structure_virial(static_cast<std::size_t>(kTensorValues * batch.num_structures), 0.0) {}

  QrvlFindForceResult result() {
    QrvlFindForceResult slots{};
    slots.energy = structure_energy.data();
    slots.potential = energy.mutable_data();
    slots.force = force.mutable_data();
    slots.virial = structure_virial.data();
    slots.virial_per_atom = virial.mutable_data();
    return slots;
  }

  ResultArray energy;                    // (N,) eV per atom
  ResultArray force;                     // (N, 3) eV/Angstrom
  ResultArray virial;                    // (N, 9) eV per atom, row-major
  std::vector<double> structure_energy;  // S, discarded
  std::vector<double> structure_virial;  // 9 S, discarded
};

QrvlModelInfo query_model_info(QrvlModel* handle) {
  QrvlModelInfo info{};
  check_status(qrvl_model_info(handle, &info));
  return info;
}

std::int32_t query_model_kind(QrvlModel* handle) {
  std::int32_t kind = 0;
  check_status(qrvl_model_kind(handle, &kind));
  return kind;
}

void require_spin_input(const QrvlModelInfo& info) {
  if ((info.capabilities & QRVL_CAP_SPIN_INPUT) == 0) {
    throw std::invalid_argument("spin input requires a spin NEP model");
  }
}

void require_descriptors(const QrvlModelInfo& info) {
  if ((info.capabilities & QRVL_CAP_DESCRIPTORS) == 0 || info.descriptor_dim <= 0) {
    throw std::runtime_error("descriptors are unsupported by this model");
  }
}

// Descriptors of a checked model; spins are null except for spin models.
ResultArray find_descriptors(ModelState& state, QrvlModel* handle, const QrvlModelInfo& info,
                             const PreparedBatch& prepared, const double* spins) {
  ResultArray values = new_array({prepared.num_atoms, info.descriptor_dim});
  const QrvlStructureBatch batch = structure_batch(prepared, spins);
  QrvlFindDescriptorResult result{values.mutable_data()};
  run_compute_section(state, [&] { return qrvl_find_descriptors(handle, &batch, &result); });
  return values;
}

// One row of `width` values per structure, from a flat function whose result record has that one slot.
template <typename Result>
ResultArray structure_values(int (*flat_function)(QrvlModel*, const QrvlStructureBatch*, Result*), py::ssize_t width,
                             PyModel& self, const Int32Array& types, const Float64Array& boxes,
                             const Float64Array& positions, const Int32Array& atom_counts, const py::object& pbc) {
  const std::shared_ptr<QrvlModel> handle = acquire_model(self);
  const PreparedBatch prepared = prepare_batch(types, boxes, positions, atom_counts, pbc);
  ResultArray values = new_array({prepared.num_structures, width});
  const QrvlStructureBatch batch = structure_batch(prepared);
  Result result{values.mutable_data()};
  run_compute_section(*self.state, [&] { return flat_function(handle.get(), &batch, &result); });
  return values;
}

py::tuple dftd3_terms(DftD3Function flat_function, PyModel& self, const Int32Array& types, const Float64Array& boxes,
                      const Float64Array& positions, const Int32Array& atom_counts, const std::string& functional,
                      double cutoff, double cutoff_cn, const py::object& pbc) {
  const std::shared_ptr<QrvlModel> handle = acquire_model(self);
  const PreparedBatch prepared = prepare_batch(types, boxes, positions, atom_counts, pbc);
  ForceOutputs outputs(prepared);
  const QrvlStructureBatch batch = structure_batch(prepared);
  const QrvlDftd3Parameters parameters{functional.c_str(), cutoff, cutoff_cn};
  const QrvlFindForceResult slots = outputs.result();
  QrvlDftd3Result result{slots.energy, slots.potential, slots.force, slots.virial, slots.virial_per_atom};
  run_compute_section(*self.state, [&] { return flat_function(handle.get(), &batch, &parameters, &result); });
  return py::make_tuple(outputs.energy, outputs.force, outputs.virial);
}

}  // namespace

py::tuple calculate(PyModel& self, const Int32Array& types, const Float64Array& boxes, const Float64Array& positions,
                    const Int32Array& atom_counts, const py::object& pbc) {
  const std::shared_ptr<QrvlModel> handle = acquire_model(self);
  if (query_model_kind(handle.get()) == QRVL_MODEL_KIND_CHARGE) {
    throw std::invalid_argument("charge models require calculate_charge() to return charge and BEC");
  }
  const PreparedBatch prepared = prepare_batch(types, boxes, positions, atom_counts, pbc);
  ForceOutputs outputs(prepared);
  const QrvlStructureBatch batch = structure_batch(prepared);
  QrvlFindForceResult result = outputs.result();
  run_compute_section(*self.state, [&] { return qrvl_find_force_batch(handle.get(), &batch, &result); });
  return py::make_tuple(outputs.energy, outputs.force, outputs.virial);
}

py::tuple calculate_charge(PyModel& self, const Int32Array& types, const Float64Array& boxes,
                           const Float64Array& positions, const Int32Array& atom_counts, const py::object& pbc) {
  const std::shared_ptr<QrvlModel> handle = acquire_model(self);
  const PreparedBatch prepared = prepare_batch(types, boxes, positions, atom_counts, pbc);
  ForceOutputs outputs(prepared);
  ResultArray charge = new_array({prepared.num_atoms});
  ResultArray bec = new_array({prepared.num_atoms, kTensorValues});
  const QrvlStructureBatch batch = structure_batch(prepared);
  QrvlFindForceResult result = outputs.result();
  result.charge = charge.mutable_data();
  result.bec = bec.mutable_data();
  run_compute_section(*self.state, [&] { return qrvl_find_charge_batch(handle.get(), &batch, &result); });
  return py::make_tuple(outputs.energy, outputs.force, outputs.virial, charge, bec);
}

py::tuple calculate_with_descriptors(PyModel& self, const Int32Array& types, const Float64Array& boxes,
                                     const Float64Array& positions, const Int32Array& atom_counts,
                                     const py::object& pbc) {
  const std::shared_ptr<QrvlModel> handle = acquire_model(self);
  const QrvlModelInfo info = query_model_info(handle.get());
  if ((info.capabilities & QRVL_CAP_EVALUATE_DESCRIPTORS) == 0 || info.descriptor_dim <= 0) {
    throw std::runtime_error("prediction with descriptors is unsupported by this model/backend");
  }
  const PreparedBatch prepared = prepare_batch(types, boxes, positions, atom_counts, pbc);
  ForceOutputs outputs(prepared);
  ResultArray values = new_array({prepared.num_atoms, info.descriptor_dim});
  const QrvlStructureBatch batch = structure_batch(prepared);
  const QrvlFindForceResult slots = outputs.result();
  QrvlEvaluateResult result{};
  result.energy = slots.energy;
  result.potential = slots.potential;
  result.force = slots.force;
  result.virial = slots.virial;
  result.virial_per_atom = slots.virial_per_atom;
  result.descriptors = values.mutable_data();
  run_compute_section(*self.state, [&] { return qrvl_evaluate_batch(handle.get(), &batch, &result); });
  return py::make_tuple(outputs.energy, outputs.force, outputs.virial, values);
}

ResultArray dipoles(PyModel& self, const Int32Array& types, const Float64Array& boxes, const Float64Array& positions,
                    const Int32Array& atom_counts, const py::object& pbc) {
  return structure_values<QrvlDipoleResult>(qrvl_find_dipoles, kVectorValues, self, types, boxes, positions,
                                            atom_counts, pbc);
}

ResultArray polarizabilities(PyModel& self, const Int32Array& types, const Float64Array& boxes,
                             const Float64Array& positions, const Int32Array& atom_counts, const py::object& pbc) {
  return structure_values<QrvlPolarizabilityResult>(qrvl_find_polarizabilities, kPolarizabilityValues, self, types,
                                                    boxes, positions, atom_counts, pbc);
}

py::tuple calculate_dftd3(PyModel& self, const Int32Array& types, const Float64Array& boxes,
                          const Float64Array& positions, const Int32Array& atom_counts, const std::string& functional,
                          double cutoff, double cutoff_cn, const py::object& pbc) {
  return dftd3_terms(qrvl_compute_dftd3_batch, self, types, boxes, positions, atom_counts, functional, cutoff,
                     cutoff_cn, pbc);
}

py::tuple calculate_with_dftd3(PyModel& self, const Int32Array& types, const Float64Array& boxes,
                               const Float64Array& positions, const Int32Array& atom_counts,
                               const std::string& functional, double cutoff, double cutoff_cn, const py::object& pbc) {
  return dftd3_terms(qrvl_compute_with_dftd3_batch, self, types, boxes, positions, atom_counts, functional, cutoff,
                     cutoff_cn, pbc);
}

py::tuple find_force(PyModel& self, const Int32Array& types, const Float64Array& positions, const Float64Array& box,
                     const py::object& pbc) {
  const std::shared_ptr<QrvlModel> handle = acquire_model(self);
  const Int32Array flags = convert_pbc(pbc);
  if (flags.size() != kVectorValues) throw std::invalid_argument("pbc must contain 3 values");
  require_periodic(flags.data(), kVectorValues);
  if (types.ndim() != 1) throw std::invalid_argument("types must be a 1D int32 array");
  if (positions.ndim() != 2 || positions.shape(1) != kVectorValues) {
    throw std::invalid_argument("positions must have shape (natoms, 3)");
  }
  if (box.size() != kTensorValues) throw std::invalid_argument("box must contain 9 values");
  if (types.shape(0) != positions.shape(0)) throw std::invalid_argument("types and positions atom counts differ");

  const std::int32_t atom_count = checked_count(types.shape(0));
  const std::int32_t first_atom = 0;
  QrvlStructureBatch batch{};
  batch.num_structures = 1;
  batch.num_atoms = atom_count;
  batch.atom_counts = &atom_count;
  batch.atom_offsets = &first_atom;
  batch.types = types.data();
  batch.positions = positions.data();
  batch.boxes = box.data();
  batch.pbc = flags.data();
  double energy = 0.0;
  ResultArray forces = new_array({atom_count, kVectorValues});
  ResultArray virial = new_array({kTensorValues});
  QrvlFindForceResult result{};
  result.energy = &energy;
  result.force = forces.mutable_data();
  result.virial = virial.mutable_data();
  run_compute_section(*self.state, [&] { return qrvl_find_force_batch(handle.get(), &batch, &result); });
  return py::make_tuple(energy, forces, virial);
}

py::tuple calculate_spin(PyModel& self, const Int32Array& types, const Float64Array& boxes,
                         const Float64Array& positions, const Float64Array& spins, const Int32Array& atom_counts,
                         const py::object& pbc) {
  const std::shared_ptr<QrvlModel> handle = acquire_model(self);
  require_spin_input(query_model_info(handle.get()));
  const PreparedBatch prepared = prepare_batch(types, boxes, positions, atom_counts, pbc);
  const double* spin_data = check_spins(spins, prepared.num_atoms);
  ForceOutputs outputs(prepared);
  ResultArray mforce = new_array({prepared.num_atoms, kVectorValues});
  const QrvlStructureBatch batch = structure_batch(prepared, spin_data);
  QrvlFindForceResult result = outputs.result();
  result.mforce = mforce.mutable_data();
  run_compute_section(*self.state, [&] { return qrvl_find_force_batch(handle.get(), &batch, &result); });
  return py::make_tuple(outputs.energy, outputs.force, outputs.virial, mforce);
}

ResultArray descriptors(PyModel& self, const Int32Array& types, const Float64Array& boxes,
                        const Float64Array& positions, const Int32Array& atom_counts, const py::object& pbc) {
  const std::shared_ptr<QrvlModel> handle = acquire_model(self);
  const QrvlModelInfo info = query_model_info(handle.get());
  require_descriptors(info);
  const PreparedBatch prepared = prepare_batch(types, boxes, positions, atom_counts, pbc);
  return find_descriptors(*self.state, handle.get(), info, prepared, nullptr);
}

ResultArray descriptors_spin(PyModel& self, const Int32Array& types, const Float64Array& boxes,
                             const Float64Array& positions, const Float64Array& spins,
                             const Int32Array& atom_counts, const py::object& pbc) {
  const std::shared_ptr<QrvlModel> handle = acquire_model(self);
  const QrvlModelInfo info = query_model_info(handle.get());
  require_spin_input(info);
  require_descriptors(info);
  const PreparedBatch prepared = prepare_batch(types, boxes, positions, atom_counts, pbc);
  const double* spin_data = check_spins(spins, prepared.num_atoms);
  return find_descriptors(*self.state, handle.get(), info, prepared, spin_data);
}

}  // namespace quarvel::python
