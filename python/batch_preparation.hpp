#pragma once
// Checks the NumPy arguments of the batch methods and turns them into the plain pointers of a
// QrvlStructureBatch. Every refusal is std::invalid_argument (ValueError) with a fixed message; the first failing
// check in the documented order wins.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

#include "quarvel/quarvel.h"

namespace quarvel::python {

// Values per row: a position, spin or force (x, y, z) and the periodic flags of a cell; a cell or any 3x3 tensor
// (row-major).
inline constexpr pybind11::ssize_t kVectorValues = 3;
inline constexpr pybind11::ssize_t kTensorValues = 9;

// Arrays as the binding converts them: C-contiguous, cast with forced casting, used in place when they match.
using Int32Array = pybind11::array_t<std::int32_t, pybind11::array::c_style | pybind11::array::forcecast>;
using Float64Array = pybind11::array_t<double, pybind11::array::c_style | pybind11::array::forcecast>;

// A validated batch. The pointers refer to the caller's converted arrays (alive until the method returns) or to
// the storage vectors here, which hold one box or one periodic triple repeated for every structure.
struct PreparedBatch {
  PreparedBatch() = default;
  PreparedBatch(PreparedBatch&&) = default;  // moving keeps every buffer, so the pointers stay valid
  PreparedBatch& operator=(PreparedBatch&&) = default;
  PreparedBatch(const PreparedBatch&) = delete;
  PreparedBatch& operator=(const PreparedBatch&) = delete;

  std::int32_t num_structures = 0;         // S
  std::int32_t num_atoms = 0;              // N
  std::vector<std::int32_t> atom_offsets;  // S: first atom of each structure
  std::vector<double> boxes_storage;       // 9 S when one box serves S > 1 structures
  std::vector<std::int32_t> pbc_storage;   // 3 S when one triple serves S > 1 structures
  pybind11::object pbc_array;              // the converted int32 periodic flags, kept alive
  const std::int32_t* atom_counts = nullptr;
  const std::int32_t* types = nullptr;
  const double* positions = nullptr;  // 3 per atom (Angstrom)
  const double* boxes = nullptr;      // 9 per structure: row-major cell whose columns are the cell vectors
  const std::int32_t* pbc = nullptr;  // 3 per structure
};

PreparedBatch prepare_batch(const Int32Array& types, const Float64Array& boxes, const Float64Array& positions,
                            const Int32Array& atom_counts, const pybind11::object& pbc);

// A row count as the 32-bit count of the flat interface; larger arrays are refused.
std::int32_t checked_count(pybind11::ssize_t length);

// The periodic flags converted to int32; refuses None with the message that tells to omit the argument.
Int32Array convert_pbc(const pybind11::object& pbc);

// Every one of `count` flags must be 1 (a null pointer fails the same way).
void require_periodic(const std::int32_t* flags, std::int64_t count);

// The spins of a spin method: shape (N, 3); returns their data.
const double* check_spins(const Float64Array& spins, std::int32_t num_atoms);

// The batch record of a prepared batch; spins stay null unless given.
QrvlStructureBatch structure_batch(const PreparedBatch& prepared, const double* spins = nullptr);

}  // namespace quarvel::python
