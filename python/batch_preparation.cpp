#include "batch_preparation.hpp"

#include <limits>
#include <stdexcept>

namespace py = pybind11;

namespace quarvel::python {
namespace {

constexpr std::int32_t kPeriodic = 1;

void require(bool condition, const char* message) {
  if (!condition) throw std::invalid_argument(message);
}

// `values` repeated `copies` times.
template <typename T>
std::vector<T> repeated(const T* values, py::ssize_t count, std::int32_t copies) {
  std::vector<T> storage;
  storage.reserve(static_cast<std::size_t>(count) * static_cast<std::size_t>(copies));
  for (std::int32_t s = 0; s < copies; ++s) storage.insert(storage.end(), values, values + count);
  return storage;
}

// Points `target` at one row per structure: the array itself when it has S rows (or S is 1), else `storage`
// filled with copies of its single row. False when the array has neither shape.
template <typename T, int Flags>
bool rows_per_structure(const py::array_t<T, Flags>& array, py::ssize_t row_values, std::int32_t structures,
                        std::vector<T>& storage, const T*& target) {
  if (array.ndim() == 1 && array.shape(0) == row_values) {
    if (structures == 1) {
      target = array.data();
    } else {
      storage = repeated(array.data(), row_values, structures);
      target = storage.data();
    }
    return true;
  }
  if (array.ndim() == 2 && array.shape(0) == structures && array.shape(1) == row_values) {
    target = array.data();
    return true;
  }
  return false;
}

}  // namespace

std::int32_t checked_count(py::ssize_t length) {
  require(length <= std::numeric_limits<std::int32_t>::max(), "batches are limited to 2147483647 atoms and structures");
  return static_cast<std::int32_t>(length);
}

Int32Array convert_pbc(const py::object& pbc) {
  require(!pbc.is_none(), "pbc defaults to (1,1,1); omit it instead of passing None");
  return Int32Array(pbc);  // NumPy's own exception propagates when it cannot convert
}

void require_periodic(const std::int32_t* flags, std::int64_t count) {
  constexpr const char* kMessage = "Quarvel supports fully periodic structures only (pbc=[1,1,1])";
  require(flags != nullptr, kMessage);
  for (std::int64_t i = 0; i < count; ++i) require(flags[i] == kPeriodic, kMessage);
}

PreparedBatch prepare_batch(const Int32Array& types, const Float64Array& boxes, const Float64Array& positions,
                            const Int32Array& atom_counts, const py::object& pbc) {
  require(types.ndim() == 1, "types must be a 1D int32 array");
  require(positions.ndim() == 2 && positions.shape(1) == kVectorValues, "positions must have shape (natoms, 3)");
  require(atom_counts.ndim() == 1, "atom_counts must be a 1D int32 array");
  require(types.shape(0) == positions.shape(0), "types and positions atom counts differ");

  PreparedBatch prepared;
  prepared.num_atoms = checked_count(types.shape(0));
  prepared.num_structures = checked_count(atom_counts.shape(0));
  require(prepared.num_atoms >= 1 && prepared.num_structures >= 1, "empty batches are not supported");
  const std::int32_t* counts = atom_counts.data();
  std::int64_t total = 0;  // 64-bit, so that counts summing past 2^31 are refused rather than wrapped
  for (std::int32_t s = 0; s < prepared.num_structures; ++s) {
    require(counts[s] > 0, "atom_counts must be positive");
    total += counts[s];
  }
  require(total == prepared.num_atoms, "sum(atom_counts) must equal len(types)");
  prepared.atom_offsets.resize(static_cast<std::size_t>(prepared.num_structures));
  std::int32_t offset = 0;
  for (std::int32_t s = 0; s < prepared.num_structures; ++s) {
    prepared.atom_offsets[static_cast<std::size_t>(s)] = offset;
    offset += counts[s];
  }

  require(rows_per_structure(boxes, kTensorValues, prepared.num_structures, prepared.boxes_storage, prepared.boxes),
          "boxes must have shape (9,) or (nstructures, 9)");
  const Int32Array pbc_flags = convert_pbc(pbc);
  prepared.pbc_array = pbc_flags;
  require(rows_per_structure(pbc_flags, kVectorValues, prepared.num_structures, prepared.pbc_storage, prepared.pbc),
          "pbc must have shape (3,) or (nstructures, 3)");
  require_periodic(prepared.pbc, std::int64_t{kVectorValues} * prepared.num_structures);

  prepared.atom_counts = counts;
  prepared.types = types.data();
  prepared.positions = positions.data();
  return prepared;
}

const double* check_spins(const Float64Array& spins, std::int32_t num_atoms) {
  require(spins.ndim() == 2 && spins.shape(0) == num_atoms && spins.shape(1) == kVectorValues,
          "spins must have shape (natoms, 3)");
  return spins.data();
}

QrvlStructureBatch structure_batch(const PreparedBatch& prepared, const double* spins) {
  QrvlStructureBatch batch{};
  batch.num_structures = prepared.num_structures;
  batch.num_atoms = prepared.num_atoms;
  batch.atom_counts = prepared.atom_counts;
  batch.atom_offsets = prepared.atom_offsets.data();
  batch.types = prepared.types;
  batch.positions = prepared.positions;
  batch.spins = spins;
  batch.boxes = prepared.boxes;
  batch.pbc = prepared.pbc;
  return batch;
}

}  // namespace quarvel::python
