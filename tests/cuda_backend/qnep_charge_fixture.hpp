#pragma once
// Runs the qNEP electrostatics on point-charge structures: a workspace with spare atoms, the structure staged,
// charges set, stale values in the arrays the call must clear, a baseline in potential and the radial lists
// built; the outputs downloaded for checking.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "cuda_backend/device_staging.hpp"
#include "cuda_backend/internal_neighbor_builder.hpp"
#include "cuda_backend/qnep_charge.hpp"
#include "support/batch_builder.hpp"
#include "support/charge_structures.hpp"
#include "support/descriptor_structures.hpp"
#include "support/device_test.hpp"
#include "support/protocol_shapes.hpp"

namespace quarvel::cuda_backend::charge_test {

using test_support::Cell;
using test_support::ChargedStructure;
using test_support::download;
using test_support::periodic_box;
using test_support::upload;

constexpr double kCoulomb = 14.399645;  // eV Angstrom per squared elementary charge
constexpr double kPi = 3.141592653589793;
constexpr int kEwald = 1;
constexpr int kReciprocalOnly = 2;
constexpr int kShiftedForce = 3;

constexpr double kLatticeEdge = 4.0;    // Angstrom: conventional cell of the test lattices
constexpr double kCutoff = 3.75;        // Angstrom: below half the 8 Angstrom supercells, so minimum images suffice
constexpr int kSlots = 200;             // neighbor capacity no test structure reaches
constexpr int kPadding = 3;             // spare atoms of every workspace: their entries must stay untouched
constexpr double kBaselineEnergy = 0.5;  // eV: what potential holds before the call (it is added to)
constexpr double kStale = 3.0;           // what force, virial and d_real hold before the call (they are cleared)
constexpr int kVirialComponents = 9;
// Device virial order xx, yy, zz, xy, xz, yz, yx, zx, zy as (row, column).
constexpr int kVirialRow[kVirialComponents] = {0, 1, 2, 0, 0, 1, 1, 2, 2};
constexpr int kVirialColumn[kVirialComponents] = {0, 1, 2, 1, 2, 2, 0, 0, 1};

constexpr const char* kKSpaceVariable = "QUARVEL_QNEP_KSPACE";
constexpr const char* kKSpaceValueMessage = "QUARVEL_QNEP_KSPACE must be 'direct' or 'pppm'";
constexpr const char* kPppmMessage = "qNEP PPPM support is disabled; rebuild with QUARVEL_CUDA_ENABLE_QNEP_PPPM=ON";

inline ModelProtocol charge_protocol(int mode, double cutoff = kCutoff, double list_cutoff = kCutoff) {
  ModelProtocol p = test_support::minimal_protocol();
  p.charge_mode = mode;
  p.cutoff_radial = cutoff;
  p.cutoff_radial_list = list_cutoff;
  p.cutoff_angular = cutoff;
  p.cutoff_max = list_cutoff;
  p.neighbor_capacity_radial = kSlots;
  p.neighbor_capacity_angular = kSlots;
  return p;
}

// The electrostatic outputs of one call, downloaded (baseline energy removed).
struct ChargeTerms {
  int atoms = 0;
  int capacity = 0;
  std::vector<double> potential;  // eV per atom, atoms entries
  std::vector<double> force;      // soa3 over capacity
  std::vector<double> virial;     // soa9 over capacity, device order
  std::vector<float> d_real;      // capacity entries

  double energy() const {
    double sum = 0.0;
    for (double e : potential) sum += e;
    return sum;
  }
  double force_of(int c, int i) const { return force[c * capacity + i]; }
  double virial_of(int p, int i) const { return virial[p * capacity + i]; }
  double total_virial(int row, int column) const {
    for (int p = 0; p < kVirialComponents; ++p) {
      if (kVirialRow[p] != row || kVirialColumn[p] != column) continue;
      double sum = 0.0;
      for (int i = 0; i < atoms; ++i) sum += virial_of(p, i);
      return sum;
    }
    return 0.0;
  }
};

// Sets or removes an environment variable for one scope and restores what was there before.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value == nullptr) {
      unsetenv(name);
    } else {
      setenv(name, value, 1);
    }
  }
  ~ScopedEnvironment() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class QnepChargeTest : public test_support::DeviceTest {
 protected:
  // A workspace with room for kPadding more atoms than `s`, the structure staged, its charges set, stale values
  // in the arrays the call clears, the baseline in potential and (when asked) the neighbor lists built.
  static DeviceWorkspace prepare(const ModelProtocol& p, const ChargedStructure& s, bool lists = true,
                                 const WorkspacePlan* plan = nullptr) {
    const int n = s.atom_count();
    const int capacity = n + kPadding;
    test_support::BatchArrays b;
    b.counts = {n};
    b.offsets = {0};
    b.types.assign(n, 0);
    b.positions = s.positions;
    b.boxes.assign(s.cell.begin(), s.cell.end());
    b.pbc = {1, 1, 1};
    DeviceWorkspace ws(plan != nullptr ? *plan : make_internal_neighbor_workspace_plan(p, capacity, 1, false));
    if (ws.view().positions_soa3 != nullptr) stage_batch_on_device(b.view(), p.num_types, ws);
    const DeviceWorkspaceView v = ws.view();
    std::vector<double> charges(capacity, 0.0);
    std::copy(s.charges.begin(), s.charges.end(), charges.begin());
    if (v.charge != nullptr) upload(v.charge, charges);
    if (v.potential != nullptr) upload(v.potential, std::vector<double>(capacity, kBaselineEnergy));
    if (v.force_soa3 != nullptr) upload(v.force_soa3, std::vector<double>(3 * capacity, kStale));
    if (v.virial_soa9 != nullptr) upload(v.virial_soa9, std::vector<double>(9 * capacity, kStale));
    if (v.d_real != nullptr) upload(v.d_real, std::vector<float>(capacity, static_cast<float>(kStale)));
    if (lists) build_internal_neighbors_on_device(p, n, periodic_box(s.cell), ws);
    return ws;
  }

  static ChargeTerms read(const DeviceWorkspace& ws, int atoms) {
    const DeviceWorkspaceView v = ws.view();
    ChargeTerms t;
    t.atoms = atoms;
    t.capacity = static_cast<int>(v.atom_capacity);
    t.potential = download(v.potential, atoms);
    for (double& e : t.potential) e -= kBaselineEnergy;
    t.force = download(v.force_soa3, 3 * v.atom_capacity);
    t.virial = download(v.virial_soa9, 9 * v.atom_capacity);
    t.d_real = download(v.d_real, v.atom_capacity);
    return t;
  }

  static ChargeTerms evaluate(const ModelProtocol& p, const ChargedStructure& s) {
    DeviceWorkspace ws = prepare(p, s, p.charge_mode != kReciprocalOnly);
    apply_qnep_charge_terms_on_device(p, s.atom_count(), periodic_box(s.cell), ws, true, true);
    return read(ws, s.atom_count());
  }
};

inline ChargedStructure rock_salt(int rx = 2, int ry = 2, int rz = 2) {
  return test_support::cubic_supercell(kLatticeEdge, test_support::rock_salt_motif(), rx, ry, rz);
}

inline ChargedStructure cesium_chloride(int repeats = 2) {
  return test_support::cubic_supercell(kLatticeEdge, test_support::cesium_chloride_motif(), repeats, repeats,
                                       repeats);
}

}  // namespace quarvel::cuda_backend::charge_test
