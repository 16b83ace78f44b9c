#include "lammps_host_list.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <string>

#include "finite_input.hpp"

namespace quarvel::cuda_backend {
namespace {

constexpr int kAxes = 3;
constexpr int kSpinRowMagnitude = 3;  // a LAMMPS spin row: direction x, y, z, then magnitude

void require_layout(bool condition, const char* message) {
  if (!condition) throw LammpsListLayoutError(message);
}

void require_value(bool condition, const char* message) {
  if (!condition) throw std::invalid_argument(message);
}

void require_finite(const double (&values)[kAxes], std::int64_t atom, const char* what) {
  if (!all_finite(values, kAxes)) refuse_non_finite("atom", atom, what);
}

void require_record(const QrvlLammpsNeighborInput& input, bool spins) {
  require_layout(input.nlocal >= 0, "negative nlocal");
  require_layout(input.inum >= 0, "negative inum");
  require_layout(input.ilist != nullptr, "missing ilist");
  require_layout(input.numneigh != nullptr, "missing numneigh");
  require_layout(input.firstneigh != nullptr, "missing firstneigh");
  require_layout(input.types != nullptr, "missing types");
  require_layout(input.type_map != nullptr, "missing type_map");
  require_layout(input.positions != nullptr, "missing positions");
  require_layout(!spins || input.spins != nullptr, "spin model requires LAMMPS spins");
}

// Walks the active rows: nlocal, every active index + 1 and every masked neighbor index + 1, in 64 bits so that
// an index near the top of the int32 range cannot wrap. An evaluation refuses a ghost as centre before it reads
// the ghost's count or row.
std::int32_t staged_atom_count(const QrvlLammpsNeighborInput& input, LammpsListUse use) {
  std::int64_t n = input.nlocal;
  for (std::int32_t t = 0; t < input.inum; ++t) {
    const std::int32_t i = input.ilist[t];
    require_layout(i >= 0, "negative active atom index");
    if (use == LammpsListUse::evaluation) require_value(i < input.nlocal, "active atom index out of range");
    const std::int32_t count = input.numneigh[i];
    require_layout(count >= 0, "negative neighbor count");
    require_layout(count == 0 || input.firstneigh[i] != nullptr, "missing LAMMPS neighbor row");
    n = std::max(n, std::int64_t{i} + 1);
    for (std::int32_t k = 0; k < count; ++k) n = std::max(n, std::int64_t{masked_neighbor(input, i, k)} + 1);
  }
  require_layout(n <= std::numeric_limits<std::int32_t>::max(), "LAMMPS atom count exceeds the int32 range");
  return static_cast<std::int32_t>(n);
}

std::size_t at(std::int64_t index) { return static_cast<std::size_t>(index); }

}  // namespace

HostLammpsAtoms gather_host_lammps_atoms(const QrvlLammpsNeighborInput& input, const ModelProtocol& protocol,
                                         LammpsListUse use) {
  const bool evaluation = use == LammpsListUse::evaluation;
  const bool spins = evaluation && protocol.spin_mode != 0;
  require_record(input, spins);
  HostLammpsAtoms atoms;
  atoms.count = staged_atom_count(input, use);
  const std::size_t n = at(atoms.count);
  atoms.lammps_types.resize(n);
  atoms.model_types.resize(n);
  atoms.positions.resize(kAxes * n);
  if (spins) atoms.spins.resize(kAxes * n);
  std::int32_t largest_type = 0;
  for (std::int32_t i = 0; i < atoms.count; ++i) {
    const double* row = input.positions[i];
    require_layout(row != nullptr, "missing LAMMPS position row");
    const double position[kAxes] = {row[0], row[1], row[2]};
    if (evaluation) require_finite(position, i, "position");
    const std::int32_t type = input.types[i];
    require_layout(type >= 0, "negative LAMMPS atom type");
    const std::int32_t mapped = input.type_map[type];
    require_layout(mapped >= 0, "unmapped LAMMPS atom type");
    // Per-type tables on the device are indexed by this value; a type beyond them would read past them.
    if (evaluation) require_value(mapped < protocol.num_types, "mapped LAMMPS atom type exceeds model type count");
    atoms.lammps_types[at(i)] = type;
    atoms.model_types[at(i)] = mapped;
    largest_type = std::max(largest_type, type);
    std::copy(position, position + kAxes, atoms.positions.begin() + kAxes * i);
    if (!spins) continue;
    const double* s = input.spins[i];
    require_layout(s != nullptr, "missing LAMMPS spin row");
    const double spin[kAxes] = {s[0] * s[kSpinRowMagnitude], s[1] * s[kSpinRowMagnitude], s[2] * s[kSpinRowMagnitude]};
    require_finite(spin, i, "spin");
    std::copy(spin, spin + kAxes, atoms.spins.begin() + kAxes * i);
  }
  if (atoms.count > 0) atoms.type_map.assign(input.type_map, input.type_map + largest_type + 1);
  return atoms;
}

}  // namespace quarvel::cuda_backend
