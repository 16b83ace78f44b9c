#pragma once
// What both LAMMPS roads take from a caller's neighbor rows: the flag bits to strip, the cutoffs within which a
// neighbor enters the staged lists, and the texts of the refusals they share.
#include <algorithm>
#include <cstdint>

#include "model_protocol.hpp"

namespace quarvel::cuda_backend {

constexpr std::int32_t kLammpsNeighborMask = 0x3FFFFFFF;  // the two top bits of a LAMMPS index are flags

// Every ilist entry must be a local atom and the centres are the local atoms, so a longer ilist names one twice.
constexpr const char* kIlistLongerThanNlocal = "inum exceeds nlocal: ilist can name each local atom only once";

// Squared cutoffs (Angstrom^2, inclusive) of the staged lists: the radial list also serves the ZBL and spin terms
// (cutoff_radial_list covers the spin cutoff), the angular list the angular terms.
struct LammpsListCutoffs {
  double radial_squared = 0.0;
  double angular_squared = 0.0;
};

inline LammpsListCutoffs lammps_list_cutoffs(const ModelProtocol& protocol) {
  const double radial = std::max(protocol.zbl_rc_outer, protocol.cutoff_radial_list);
  return {radial * radial, protocol.cutoff_angular * protocol.cutoff_angular};
}

}  // namespace quarvel::cuda_backend
