#include "cuda_backend/qnep_charge.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cuda_backend/device_staging.hpp"
#include "cuda_backend/internal_neighbor_builder.hpp"
#include "support/batch_builder.hpp"
#include "support/charge_structures.hpp"
#include "support/device_test.hpp"
#include "support/protocol_shapes.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::Cell;
using test_support::ChargedStructure;
using test_support::download;
using test_support::upload;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

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

ModelProtocol charge_protocol(int mode, double cutoff = kCutoff, double list_cutoff = kCutoff) {
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

Cell inverse_of(const Cell& h) {
  const double det = h[0] * (h[4] * h[8] - h[5] * h[7]) - h[1] * (h[3] * h[8] - h[5] * h[6]) +
                     h[2] * (h[3] * h[7] - h[4] * h[6]);
  return {(h[4] * h[8] - h[5] * h[7]) / det, (h[2] * h[7] - h[1] * h[8]) / det, (h[1] * h[5] - h[2] * h[4]) / det,
          (h[5] * h[6] - h[3] * h[8]) / det, (h[0] * h[8] - h[2] * h[6]) / det, (h[2] * h[3] - h[0] * h[5]) / det,
          (h[3] * h[7] - h[4] * h[6]) / det, (h[1] * h[6] - h[0] * h[7]) / det, (h[0] * h[4] - h[1] * h[3]) / det};
}

SimulationBox box_of(const Cell& h) {
  SimulationBox box{};
  const Cell g = inverse_of(h);
  std::copy(h.begin(), h.end(), box.box);
  std::copy(g.begin(), g.end(), box.inverse);
  box.pbc[0] = box.pbc[1] = box.pbc[2] = 1;
  return box;
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
    if (lists) build_internal_neighbors_on_device(p, n, box_of(s.cell), ws);
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
    apply_qnep_charge_terms_on_device(p, s.atom_count(), box_of(s.cell), ws, true, true);
    return read(ws, s.atom_count());
  }
};

ChargedStructure rock_salt(int rx = 2, int ry = 2, int rz = 2) {
  return test_support::cubic_supercell(kLatticeEdge, test_support::rock_salt_motif(), rx, ry, rz);
}

ChargedStructure cesium_chloride(int repeats = 2) {
  return test_support::cubic_supercell(kLatticeEdge, test_support::cesium_chloride_motif(), repeats, repeats,
                                       repeats);
}

// ---------------------------------------------------------------------------------------------------------------
// Ionic lattices: the Ewald sum against the Madelung constant, and forces that vanish by symmetry.

struct MadelungCase {
  const char* name;
  std::function<ChargedStructure()> structure;
  double nearest;   // Angstrom: nearest cation-anion distance
  double madelung;  // energy per ion pair is -madelung K / nearest for unit charges
};

class EwaldLattice : public QnepChargeTest, public ::testing::WithParamInterface<MadelungCase> {};

TEST_P(EwaldLattice, MatchesTheMadelungEnergyWithoutForces) {
  const MadelungCase& c = GetParam();
  const ChargedStructure s = c.structure();
  const ChargeTerms t = evaluate(charge_protocol(kEwald), s);
  const double per_pair = t.energy() / (s.atom_count() / 2);
  const double expected = -c.madelung * kCoulomb / c.nearest;
  // Ewald truncation, not precision, sets this: alpha r_c = pi drops the real-space shells beyond r_c (the first
  // of them 6 to 12 neighbours at alpha r >= 3.3, erfc ~ 2e-6 each) and the reciprocal terms beyond |k| = 2 pi
  // alpha (weights below exp(-pi^2) ~ 5e-5 of the smallest k's); together up to ~2e-5 of the lattice energy.
  EXPECT_NEAR(per_pair, expected, 2e-5 * std::abs(expected));
  for (int i = 0; i < s.atom_count(); ++i) {
    for (int a = 0; a < 3; ++a) {
      // Symmetric lattice: contributions cancel to double rounding of sums of ~10 eV/Angstrom terms.
      EXPECT_NEAR(t.force_of(a, i), 0.0, 1e-10) << "atom " << i << " component " << a;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Madelung, EwaldLattice,
    ::testing::Values(MadelungCase{"rock_salt", [] { return rock_salt(); }, kLatticeEdge / 2, 1.747564594633182},
                      MadelungCase{"cesium_chloride", [] { return cesium_chloride(); },
                                   kLatticeEdge * std::sqrt(3.0) / 2, 1.762674773070987}),
    [](const ::testing::TestParamInfo<MadelungCase>& c) { return std::string(c.param.name); });

// ---------------------------------------------------------------------------------------------------------------
// Derivatives of a displaced lattice, for each charge mode.

struct ModeCase {
  const char* name;
  int mode;
};

std::string mode_name(const ::testing::TestParamInfo<ModeCase>& info) { return info.param.name; }

const ModeCase kModes[] = {{"ewald", kEwald}, {"reciprocal_only", kReciprocalOnly}, {"shifted_force", kShiftedForce}};

// Displacements of at most 0.05 Angstrom keep every pair of the 4 Angstrom rock salt at least 0.08 Angstrom away
// from the cutoff, so no pair enters or leaves the real-space sum during a finite difference.
constexpr double kDisplacement = 1.0 / 16.0;
constexpr double kStep = 1.0 / 1024.0;  // Angstrom and e: dyadic, so displaced separations stay exact in float
constexpr double kStrainStep = 1.0 / 4096.0;  // dyadic as well; strain derivatives are larger, so a smaller step

class ChargeModeDerivatives : public QnepChargeTest, public ::testing::WithParamInterface<ModeCase> {
 protected:
  void SetUp() override {
    QnepChargeTest::SetUp();
    if (IsSkipped()) return;
    protocol_ = charge_protocol(GetParam().mode);
    structure_ = test_support::disturbed(rock_salt(), kDisplacement);
    terms_ = evaluate(protocol_, structure_);
  }
  double energy_of(const ChargedStructure& s) const { return evaluate(protocol_, s).energy(); }

  ModelProtocol protocol_;
  ChargedStructure structure_;
  ChargeTerms terms_;
};

TEST_P(ChargeModeDerivatives, ForcesAreTheNegativeEnergyGradient) {
  for (int i : {0, 5, 22, 63}) {
    for (int a = 0; a < 3; ++a) {
      ChargedStructure plus = structure_;
      ChargedStructure minus = structure_;
      plus.positions[3 * i + a] += kStep;
      minus.positions[3 * i + a] -= kStep;
      const double numeric = -(energy_of(plus) - energy_of(minus)) / (2 * kStep);
      // Central difference: its step^2 / 6 term (1.6e-7 x third derivatives of a few eV/Angstrom^3) dominates
      // double rounding of the ~100 eV total divided by the step (1e-11).
      EXPECT_NEAR(terms_.force_of(a, i), numeric, 2e-6) << "atom " << i << " component " << a;
    }
  }
}

TEST_P(ChargeModeDerivatives, DRealIsTheZeroMeanChargeDerivativeOfTheEnergy) {
  const int n = structure_.atom_count();
  std::vector<double> numeric(n);
  double mean = 0.0;
  for (int i = 0; i < n; ++i) {
    ChargedStructure plus = structure_;
    ChargedStructure minus = structure_;
    plus.charges[i] += kStep;
    minus.charges[i] -= kStep;
    // The energy is quadratic in the charges: the central difference is exact up to double rounding.
    numeric[i] = (energy_of(plus) - energy_of(minus)) / (2 * kStep);
    mean += numeric[i] / n;
  }
  float device_mean = 0.0f;
  for (int i = 0; i < n; ++i) {
    // d_real is single precision: a few float roundings (6e-8 relative) of ~20 eV/e values.
    EXPECT_NEAR(terms_.d_real[i], numeric[i] - mean, 5e-6) << "atom " << i;
    device_mean += terms_.d_real[i];
  }
  EXPECT_NEAR(device_mean / static_cast<float>(n), 0.0f, 1e-5f);  // single-precision mean of ~20 eV/e values
  for (int i = n; i < terms_.capacity; ++i) EXPECT_EQ(terms_.d_real[i], 0.0f) << "padding atom " << i;
}

TEST_P(ChargeModeDerivatives, VirialIsTheNegativeStrainDerivative) {
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 3; ++column) {
      // Strain (I + e) applied to cell and positions; e has the one entry (row, column).
      const auto strained = [&](double e) {
        ChargedStructure s = structure_;
        for (int v = 0; v < 3; ++v) s.cell[3 * row + v] += e * structure_.cell[3 * column + v];
        for (int i = 0; i < s.atom_count(); ++i) s.positions[3 * i + row] += e * structure_.positions[3 * i + column];
        return s;
      };
      const double numeric =
          -(energy_of(strained(kStrainStep)) - energy_of(strained(-kStrainStep))) / (2 * kStrainStep);
      // Central difference in the strain: its step^2 / 6 term (1e-8 x third strain derivatives of a few 1000 eV)
      // dominates double rounding of the ~100 eV energy divided by the step (1e-10).
      EXPECT_NEAR(terms_.total_virial(row, column), numeric, 1e-4) << "component " << row << column;
    }
  }
  for (int i = 0; i < structure_.atom_count(); ++i) {
    for (int p = 3; p < 6; ++p) {  // xy, xz, yz against yx, zx, zy: each pair term is symmetric, bit for bit
      EXPECT_EQ(terms_.virial_of(p, i), terms_.virial_of(p + 3, i)) << "atom " << i << " component " << p;
    }
  }
}

TEST_P(ChargeModeDerivatives, ForcesSumToZero) {
  for (int a = 0; a < 3; ++a) {
    double sum = 0.0;
    for (int i = 0; i < structure_.atom_count(); ++i) sum += terms_.force_of(a, i);
    EXPECT_NEAR(sum, 0.0, 1e-9);  // double rounding over 64 forces of ~10 eV/Angstrom terms
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, ChargeModeDerivatives, ::testing::ValuesIn(kModes), mode_name);

// ---------------------------------------------------------------------------------------------------------------
// Invariances.

class ChargeModeInvariance : public QnepChargeTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(ChargeModeInvariance, UnderTranslation) {
  const ModelProtocol p = charge_protocol(GetParam().mode);
  const ChargedStructure s = test_support::disturbed(rock_salt(), kDisplacement);
  ChargedStructure moved = s;
  const double shift[3] = {0.375, -1.25, 2.5};
  for (int i = 0; i < s.atom_count(); ++i) {
    for (int a = 0; a < 3; ++a) moved.positions[3 * i + a] += shift[a];
  }
  const ChargeTerms t = evaluate(p, s);
  const ChargeTerms u = evaluate(p, moved);
  for (int i = 0; i < s.atom_count(); ++i) {
    // Double-precision phases of k.r for |k r| up to ~50: a few 1e-15 relative on ~10 eV terms.
    EXPECT_NEAR(u.potential[i], t.potential[i], 1e-10) << "atom " << i;
    for (int a = 0; a < 3; ++a) EXPECT_NEAR(u.force_of(a, i), t.force_of(a, i), 1e-10) << "atom " << i;
  }
}

TEST_P(ChargeModeInvariance, UnderReordering) {
  const ModelProtocol p = charge_protocol(GetParam().mode);
  const ChargedStructure s = test_support::disturbed(rock_salt(), kDisplacement);
  const int n = s.atom_count();
  ChargedStructure reversed;
  reversed.cell = s.cell;
  for (int i = n - 1; i >= 0; --i) {
    reversed.add(s.positions[3 * i], s.positions[3 * i + 1], s.positions[3 * i + 2], s.charges[i]);
  }
  const ChargeTerms t = evaluate(p, s);
  const ChargeTerms u = evaluate(p, reversed);
  for (int i = 0; i < n; ++i) {
    const int j = n - 1 - i;
    // Other summation orders: double rounding of ~10 eV sums; d_real in single precision.
    EXPECT_NEAR(u.potential[j], t.potential[i], 1e-10) << "atom " << i;
    for (int a = 0; a < 3; ++a) EXPECT_NEAR(u.force_of(a, j), t.force_of(a, i), 1e-10) << "atom " << i;
    for (int c = 0; c < kVirialComponents; ++c) EXPECT_NEAR(u.virial_of(c, j), t.virial_of(c, i), 1e-10);
    EXPECT_NEAR(u.d_real[j], t.d_real[i], 1e-5) << "atom " << i;
  }
}

TEST_P(ChargeModeInvariance, SupercellKeepsTheEnergyPerAtom) {
  const ModelProtocol p = charge_protocol(GetParam().mode);
  const ChargedStructure cell = test_support::disturbed(rock_salt(), kDisplacement);
  ChargedStructure doubled;
  doubled.cell = cell.cell;
  doubled.cell[0] *= 2;
  for (int copy = 0; copy < 2; ++copy) {
    for (int i = 0; i < cell.atom_count(); ++i) {
      doubled.add(cell.positions[3 * i] + copy * cell.cell[0], cell.positions[3 * i + 1], cell.positions[3 * i + 2],
                  cell.charges[i]);
    }
  }
  const ChargeTerms t = evaluate(p, cell);
  const ChargeTerms u = evaluate(p, doubled);
  // The supercell's extra k-vectors have S(k) = 0 exactly and its real-space pairs are the same: only double
  // rounding of sums over ~1000 k-vectors separates the two.
  EXPECT_NEAR(u.energy() / u.atoms, t.energy() / t.atoms, 1e-10);
  for (int i = 0; i < cell.atom_count(); ++i) {
    for (int a = 0; a < 3; ++a) {
      EXPECT_NEAR(u.force_of(a, i + cell.atom_count()), t.force_of(a, i), 1e-9) << "atom " << i;
    }
  }
}

TEST_P(ChargeModeInvariance, LeftHandedCellGivesTheSameTerms) {
  const ModelProtocol p = charge_protocol(GetParam().mode);
  const ChargedStructure s = test_support::disturbed(cesium_chloride(), kDisplacement);
  ChargedStructure swapped = s;
  for (int r = 0; r < 3; ++r) std::swap(swapped.cell[3 * r], swapped.cell[3 * r + 1]);  // a_1 <-> a_2: det < 0
  const ChargeTerms t = evaluate(p, s);
  const ChargeTerms u = evaluate(p, swapped);
  for (int i = 0; i < s.atom_count(); ++i) {
    // The same lattice, its k-vectors met in another order: double rounding only.
    EXPECT_NEAR(u.potential[i], t.potential[i], 1e-10) << "atom " << i;
    for (int a = 0; a < 3; ++a) EXPECT_NEAR(u.force_of(a, i), t.force_of(a, i), 1e-10) << "atom " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, ChargeModeInvariance, ::testing::ValuesIn(kModes), mode_name);

}  // namespace
}  // namespace quarvel::cuda_backend
