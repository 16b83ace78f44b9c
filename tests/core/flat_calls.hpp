#ifndef QUARVEL_TESTS_CORE_FLAT_CALLS_HPP
#define QUARVEL_TESTS_CORE_FLAT_CALLS_HPP

// Shared by the flat-interface tests: a valid batch, result records over sentinel-filled storage, a table of
// every batch operation, and a handle that frees itself.

#include <algorithm>
#include <array>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "quarvel/quarvel.h"
#include "support/fake_engine.hpp"

namespace quarvel::testing {

// Test cases print as their name, so test listings stay readable.
template <typename Case>
auto operator<<(std::ostream& os, const Case& value) -> decltype(os << value.name) {
  return os << value.name;
}

// Value every output starts with; an output that still holds it was not written.
inline constexpr double kSentinel = -7.25;

// One cubic structure of two atoms, fully periodic; the arrays are owned by the record.
struct ValidBatch {
  static constexpr int kAtoms = 2;
  std::array<int32_t, 1> atom_counts{kAtoms};
  std::array<int32_t, 1> atom_offsets{0};
  std::array<int32_t, kAtoms> types{0, 1};
  std::array<double, 3 * kAtoms> positions{0.0, 0.0, 0.0, 1.5, 1.5, 1.5};
  std::array<double, 3 * kAtoms> spins{0.0, 0.0, 1.0, 0.0, 0.0, 1.0};
  std::array<double, 9> box{3.0, 0.0, 0.0, 0.0, 3.0, 0.0, 0.0, 0.0, 3.0};
  std::array<int32_t, 3> pbc{1, 1, 1};

  QrvlStructureBatch record() const {
    return QrvlStructureBatch{1,           kAtoms,           atom_counts.data(), atom_offsets.data(),
                              types.data(), positions.data(), spins.data(),       box.data(),
                              pbc.data()};
  }
};

// Every result record of the flat interface, each pointer at its own sentinel-filled slot, plus switches that
// make the table's calls pass a null result, parameter record or functional name.
struct FlatOutputs {
  static constexpr std::size_t kSlots = 64;
  std::vector<double> slots = std::vector<double>(kSlots, kSentinel);
  std::vector<double*> rows;  // LAMMPS host rows, one per slot
  QrvlFindForceResult force{};
  QrvlEvaluateResult evaluate{};
  QrvlFindDescriptorResult descriptors{};
  QrvlDipoleResult dipoles{};
  QrvlPolarizabilityResult polarizabilities{};
  QrvlDftd3Parameters dftd3_parameters{"pbe", 12.0, 8.0};
  QrvlDftd3Result dftd3{};
  QrvlLammpsNeighborInput lammps_input{};
  QrvlLammpsNeighborResult lammps{};
  QrvlLammpsDeviceNeighborInput lammps_device_input{};
  QrvlLammpsDeviceNeighborResult lammps_device{};
  bool omit_result = false;
  bool omit_parameters = false;
  bool omit_functional = false;

  FlatOutputs() {
    std::size_t next = 0;
    auto slot = [&] { return &slots.at(next++); };
    for (double& value : slots) {
      rows.push_back(&value);
    }
    double* const* row = rows.data();
    force = {slot(), slot(), slot(), slot(), slot(), slot(), slot(), slot(), slot()};
    evaluate = {slot(), slot(), slot(), slot(), slot(), slot(), slot(), slot(), slot(), slot()};
    descriptors = {slot()};
    dipoles = {slot()};
    polarizabilities = {slot()};
    dftd3 = {slot(), slot(), slot(), slot(), slot()};
    lammps = {slot(), slot(), slot(), row, row, row, row};
    lammps_device.energy = slot();
    lammps_device.virial = slot();
    lammps_device.force = slot();
  }

  FlatOutputs(const FlatOutputs&) = delete;
  FlatOutputs& operator=(const FlatOutputs&) = delete;

  bool untouched() const {
    return std::all_of(slots.begin(), slots.end(), [](double value) { return value == kSentinel; });
  }
  // How many outputs hold the fake model's marker.
  long written() const { return std::count(slots.begin(), slots.end(), kWrittenMarker); }
};

// One flat operation that takes a structure batch, the model operation it reaches, and a kind of fake model it
// routes to that operation.
struct BatchOperation {
  const char* name;
  Operation reaches;
  const char* accepted_kind;
  int (*call)(QrvlModel* model, const QrvlStructureBatch* batch, FlatOutputs& outputs);
};

template <typename Result>
Result* result_or_null(FlatOutputs& outputs, Result& result) {
  return outputs.omit_result ? nullptr : &result;
}

inline const QrvlDftd3Parameters* dftd3_parameters_of(FlatOutputs& outputs) {
  if (outputs.omit_functional) {
    outputs.dftd3_parameters.functional = nullptr;
  }
  return outputs.omit_parameters ? nullptr : &outputs.dftd3_parameters;
}

inline std::vector<BatchOperation> batch_operations() {
  return {
      {"find_force_batch", Operation::find_force_batch, "ordinary",
       [](QrvlModel* m, const QrvlStructureBatch* b, FlatOutputs& o) {
         return qrvl_find_force_batch(m, b, result_or_null(o, o.force));
       }},
      {"evaluate_batch", Operation::evaluate_batch, "ordinary",
       [](QrvlModel* m, const QrvlStructureBatch* b, FlatOutputs& o) {
         return qrvl_evaluate_batch(m, b, result_or_null(o, o.evaluate));
       }},
      {"find_charge_batch", Operation::find_charge_batch, "charge",
       [](QrvlModel* m, const QrvlStructureBatch* b, FlatOutputs& o) {
         return qrvl_find_charge_batch(m, b, result_or_null(o, o.force));
       }},
      {"find_descriptors", Operation::find_descriptors, "spin",
       [](QrvlModel* m, const QrvlStructureBatch* b, FlatOutputs& o) {
         return qrvl_find_descriptors(m, b, result_or_null(o, o.descriptors));
       }},
      {"find_dipoles", Operation::find_dipoles, "dipole",
       [](QrvlModel* m, const QrvlStructureBatch* b, FlatOutputs& o) {
         return qrvl_find_dipoles(m, b, result_or_null(o, o.dipoles));
       }},
      {"find_polarizabilities", Operation::find_polarizabilities, "polarizability",
       [](QrvlModel* m, const QrvlStructureBatch* b, FlatOutputs& o) {
         return qrvl_find_polarizabilities(m, b, result_or_null(o, o.polarizabilities));
       }},
      {"compute_dftd3_batch", Operation::compute_dftd3_batch, "ordinary",
       [](QrvlModel* m, const QrvlStructureBatch* b, FlatOutputs& o) {
         return qrvl_compute_dftd3_batch(m, b, dftd3_parameters_of(o), result_or_null(o, o.dftd3));
       }},
      {"compute_with_dftd3_batch", Operation::compute_dftd3_batch, "ordinary",
       [](QrvlModel* m, const QrvlStructureBatch* b, FlatOutputs& o) {
         return qrvl_compute_with_dftd3_batch(m, b, dftd3_parameters_of(o), result_or_null(o, o.dftd3));
       }},
  };
}

inline const BatchOperation& batch_operation(const std::string& name) {
  static const std::vector<BatchOperation> operations = batch_operations();
  for (const BatchOperation& operation : operations) {
    if (name == operation.name) {
      return operation;
    }
  }
  throw std::out_of_range("no batch operation " + name);
}

// A model loaded from the fake engine, freed when the record goes.
class LoadedModel {
 public:
  explicit LoadedModel(const std::string& path) {
    registered_fake_engine();
    status_ = qrvl_load_model(kFakeEngineName, path.c_str(), &handle_);
  }
  ~LoadedModel() { qrvl_free_model(handle_); }
  LoadedModel(const LoadedModel&) = delete;
  LoadedModel& operator=(const LoadedModel&) = delete;

  QrvlModel* handle() const { return handle_; }
  int status() const { return status_; }

 private:
  QrvlModel* handle_ = nullptr;
  int status_ = QRVL_STATUS_RUNTIME_ERROR;
};

}  // namespace quarvel::testing

#endif
