#include "lammps_list_reading.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <stdexcept>

#include "finite_input.hpp"

namespace quarvel::cuda_backend {
namespace {

constexpr int kAxes = 3;
constexpr int kSpinRowMagnitude = 3;  // a LAMMPS spin row: direction x, y, z, then magnitude

// One reader's checks: each failed condition is refused as its kind of fault.
class ListChecks {
 public:
  explicit ListChecks(LammpsListReader reader) : reader_(reader) {}
  bool evaluation() const { return reader_ == LammpsListReader::evaluation; }
  void malformed_unless(bool condition, const char* message) const {
    if (!condition) refuse_lammps_list(reader_, LammpsListFault::malformed, message);
  }
  void unusable_unless(bool condition, const char* message) const {
    if (!condition) refuse_lammps_list(reader_, LammpsListFault::unusable, message);
  }

 private:
  LammpsListReader reader_;
};

void require_finite(const double (&values)[kAxes], std::int64_t atom, const char* what) {
  if (!all_finite(values, kAxes)) refuse_non_finite("atom", atom, what);
}

void require_record(const QrvlLammpsNeighborInput& input, bool spins, const ListChecks& checks) {
  checks.malformed_unless(input.nlocal >= 0, "negative nlocal");
  checks.malformed_unless(input.inum >= 0, "negative inum");
  checks.malformed_unless(input.ilist != nullptr, "missing ilist");
  checks.malformed_unless(input.numneigh != nullptr, "missing numneigh");
  checks.malformed_unless(input.firstneigh != nullptr, "missing firstneigh");
  checks.malformed_unless(input.types != nullptr, "missing types");
  checks.malformed_unless(input.type_map != nullptr, "missing type_map");
  checks.malformed_unless(input.positions != nullptr, "missing positions");
  checks.malformed_unless(!spins || input.spins != nullptr, "spin model requires LAMMPS spins");
  if (!checks.evaluation()) return;
  // The centres are the local atoms and each must be named once: an ilist of another length cannot do that.
  checks.unusable_unless(input.inum > 0 || input.nlocal == 0,
                         "inum is 0 while nlocal is positive: ilist must name the local atoms");
  checks.unusable_unless(input.inum <= input.nlocal, kIlistLongerThanNlocal);
}

// Walks the active rows: nlocal, every active index + 1 and every masked neighbor index + 1, in 64 bits so that
// an index near the top of the int32 range cannot wrap. An evaluation refuses a ghost as centre before it reads
// the ghost's count or row.
std::int32_t staged_atom_count(const QrvlLammpsNeighborInput& input, const ListChecks& checks) {
  std::int64_t n = input.nlocal;
  for (std::int32_t t = 0; t < input.inum; ++t) {
    const std::int32_t i = input.ilist[t];
    checks.malformed_unless(i >= 0, "negative active atom index");
    if (checks.evaluation()) checks.unusable_unless(i < input.nlocal, "active atom index out of range");
    const std::int32_t count = input.numneigh[i];
    checks.malformed_unless(count >= 0, "negative neighbor count");
    checks.malformed_unless(count == 0 || input.firstneigh[i] != nullptr, "missing LAMMPS neighbor row");
    n = std::max(n, std::int64_t{i} + 1);
    for (std::int32_t k = 0; k < count; ++k) n = std::max(n, std::int64_t{masked_neighbor(input, i, k)} + 1);
  }
  checks.malformed_unless(n <= std::numeric_limits<std::int32_t>::max(), "LAMMPS atom count exceeds the int32 range");
  return static_cast<std::int32_t>(n);
}

std::size_t at(std::int64_t index) { return static_cast<std::size_t>(index); }

}  // namespace

void refuse_lammps_list(LammpsListReader reader, LammpsListFault fault, const std::string& message) {
  if (reader == LammpsListReader::evaluation && fault == LammpsListFault::malformed) {
    throw std::runtime_error(message);
  }
  throw std::invalid_argument(message);
}

LammpsListAtoms read_lammps_list_atoms(const QrvlLammpsNeighborInput& input, const ModelProtocol& protocol,
                                       LammpsListReader reader) {
  const ListChecks checks(reader);
  const bool spins = checks.evaluation() && protocol.spin_mode != 0;
  require_record(input, spins, checks);
  LammpsListAtoms atoms;
  atoms.count = staged_atom_count(input, checks);
  const std::size_t n = at(atoms.count);
  atoms.lammps_types.resize(n);
  atoms.model_types.resize(n);
  atoms.positions.resize(kAxes * n);
  if (spins) atoms.spins.resize(kAxes * n);
  std::int32_t largest_type = 0;
  for (std::int32_t i = 0; i < atoms.count; ++i) {
    const double* row = input.positions[i];
    checks.malformed_unless(row != nullptr, "missing LAMMPS position row");
    const double position[kAxes] = {row[0], row[1], row[2]};
    if (checks.evaluation()) require_finite(position, i, "position");
    const std::int32_t type = input.types[i];
    checks.malformed_unless(type >= 0, "negative LAMMPS atom type");
    const std::int32_t mapped = input.type_map[type];
    checks.malformed_unless(mapped >= 0, "unmapped LAMMPS atom type");
    // Per-type tables on the device are indexed by this value; a type beyond them would read past them.
    if (checks.evaluation()) {
      checks.unusable_unless(mapped < protocol.num_types, "mapped LAMMPS atom type exceeds model type count");
    }
    atoms.lammps_types[at(i)] = type;
    atoms.model_types[at(i)] = mapped;
    largest_type = std::max(largest_type, type);
    std::copy(position, position + kAxes, atoms.positions.begin() + kAxes * i);
    if (!spins) continue;
    const double* s = input.spins[i];
    checks.malformed_unless(s != nullptr, "missing LAMMPS spin row");
    const double spin[kAxes] = {s[0] * s[kSpinRowMagnitude], s[1] * s[kSpinRowMagnitude], s[2] * s[kSpinRowMagnitude]};
    require_finite(spin, i, "spin");
    std::copy(spin, spin + kAxes, atoms.spins.begin() + kAxes * i);
  }
  if (atoms.count > 0) atoms.type_map.assign(input.type_map, input.type_map + largest_type + 1);
  return atoms;
}

}  // namespace quarvel::cuda_backend
