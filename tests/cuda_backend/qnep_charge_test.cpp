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

#include "qnep_charge_fixture.hpp"
#include "support/charge_structures.hpp"
#include "support/finite_difference.hpp"

namespace quarvel::cuda_backend {
namespace {

using namespace charge_test;  // NOLINT: the fixture's structures, constants and helpers
using test_support::ChargedStructure;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

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
  const auto position = [](ChargedStructure& moved, int atom) { return &moved.positions[3 * atom]; };
  // Central difference: its step^2 / 6 term (1.6e-7 x third derivatives of a few eV/Angstrom^3) dominates
  // double rounding of the ~100 eV total divided by the step (1e-11).
  test_support::expect_minus_gradient(
      "force", [&](int atom, int axis) { return terms_.force_of(axis, atom); }, 2e-6, structure_, {0, 5, 22, 63},
      position, [&](const ChargedStructure& moved) { return energy_of(moved); }, kStep);
}

TEST_P(ChargeModeDerivatives, DRealIsTheZeroMeanChargeDerivativeOfTheEnergy) {
  const int n = structure_.atom_count();
  std::vector<double> numeric(n);
  double mean = 0.0;
  for (int i = 0; i < n; ++i) {
    // The energy is quadratic in the charges: the central difference is exact up to double rounding.
    numeric[i] = test_support::partial_derivative(
        structure_, [i](ChargedStructure& changed) -> double& { return changed.charges[i]; },
        [&](const ChargedStructure& changed) { return energy_of(changed); }, kStep);
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
  // Strain (I + e) applied to cell and positions; e has the one entry (row, column).
  const auto strained_energy = [&](int row, int column, double e) {
    ChargedStructure s = structure_;
    for (int v = 0; v < 3; ++v) s.cell[3 * row + v] += e * structure_.cell[3 * column + v];
    for (int i = 0; i < s.atom_count(); ++i) s.positions[3 * i + row] += e * structure_.positions[3 * i + column];
    return energy_of(s);
  };
  // Central difference in the strain: its step^2 / 6 term (1e-8 x third strain derivatives of a few 1000 eV)
  // dominates double rounding of the ~100 eV energy divided by the step (1e-10).
  test_support::expect_minus_strain_derivative([&](int row, int column) { return terms_.total_virial(row, column); },
                                               1e-4, strained_energy, kStrainStep);
  for (int i = 0; i < structure_.atom_count(); ++i) {
    for (int p = 3; p < 6; ++p) {  // xy, xz, yz against yx, zx, zy: each pair term is symmetric, bit for bit
      EXPECT_EQ(terms_.virial_of(p, i), terms_.virial_of(p + 3, i)) << "atom " << i << " component " << p;
    }
  }
}

TEST_P(ChargeModeDerivatives, ForcesSumToZero) {
  const auto force = [&](int atom, int axis) { return terms_.force_of(axis, atom); };
  for (double total : test_support::net_force(force, structure_.atom_count())) {
    EXPECT_NEAR(total, 0.0, 1e-9);  // double rounding over 64 forces of ~10 eV/Angstrom terms
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

// ---------------------------------------------------------------------------------------------------------------
// Edge cases of the terms.

TEST_F(QnepChargeTest, BoxWithoutKVectorsGetsNoReciprocalTerm) {
  // alpha |a_i| = pi 8 / 30 < 1 along every cell vector: no reciprocal-lattice vector lies inside the sphere.
  const ChargedStructure s = test_support::disturbed(rock_salt(), kDisplacement);
  const ChargeTerms t = evaluate(charge_protocol(kReciprocalOnly, 30.0, 30.0), s);
  for (int i = 0; i < s.atom_count(); ++i) {
    EXPECT_EQ(t.potential[i], 0.0) << "atom " << i;
    for (int a = 0; a < 3; ++a) EXPECT_EQ(t.force_of(a, i), 0.0) << "atom " << i;
    for (int c = 0; c < kVirialComponents; ++c) EXPECT_EQ(t.virial_of(c, i), 0.0) << "atom " << i;
    EXPECT_EQ(t.d_real[i], 0.0f) << "atom " << i;
  }
}

TEST_F(QnepChargeTest, LoneAtomReceivesTheSelfEnergyFromTheRealSpaceTerm) {
  ChargedStructure s;
  s.cell = test_support::cubic_cell(8.0);  // its images lie beyond the cutoff: an empty radial list
  const double q = 0.75;
  s.add(1.0, 2.0, 3.0, q);
  const ChargeTerms ewald = evaluate(charge_protocol(kEwald), s);
  const ChargeTerms reciprocal = evaluate(charge_protocol(kReciprocalOnly), s);
  const double alpha = kPi / kCutoff;
  // Both runs share the reciprocal part bit for bit; the difference is the self term, to double rounding.
  EXPECT_NEAR(ewald.potential[0] - reciprocal.potential[0], -kCoulomb * alpha / std::sqrt(kPi) * q * q, 1e-13);
  for (int a = 0; a < 3; ++a) EXPECT_EQ(ewald.force_of(a, 0), reciprocal.force_of(a, 0));
  for (int c = 0; c < kVirialComponents; ++c) EXPECT_EQ(ewald.virial_of(c, 0), reciprocal.virial_of(c, 0));
  EXPECT_EQ(ewald.d_real[0], 0.0f);  // one atom: its derivative is its own mean
  const ChargeTerms shifted = evaluate(charge_protocol(kShiftedForce), s);
  EXPECT_EQ(shifted.potential[0], 0.0);
  for (int a = 0; a < 3; ++a) EXPECT_EQ(shifted.force_of(a, 0), 0.0);
}

struct PairCase {
  const char* name;
  int mode;
  double separation;  // Angstrom, along x
  double tolerance;   // eV and eV/Angstrom
};

class ChargePairAtTheCutoff : public QnepChargeTest, public ::testing::WithParamInterface<PairCase> {};

// The list reaches past the cutoff (as a longer ZBL cutoff makes it); the pair terms end at r_c, and the shifted
// force form reaches zero there with zero slope.
TEST_P(ChargePairAtTheCutoff, ContributesNothing) {
  const PairCase& c = GetParam();
  const double list_cutoff = 4.0;  // Angstrom: lists the partner, below half the cell
  ChargedStructure pair;
  pair.cell = test_support::cubic_cell(8.5);
  pair.add(0.0, 0.0, 0.0, 1.0);
  pair.add(c.separation, 0.0, 0.0, -1.0);
  const ChargeTerms t = evaluate(charge_protocol(c.mode, kCutoff, list_cutoff), pair);
  double real_space = t.energy();
  double real_space_force = t.force_of(0, 0);
  if (c.mode == kEwald) {  // take away the reciprocal terms (bit for bit those of mode 2) and the two self terms
    const ChargeTerms reciprocal = evaluate(charge_protocol(kReciprocalOnly, kCutoff, list_cutoff), pair);
    real_space -= reciprocal.energy() - 2.0 * kCoulomb * (kPi / kCutoff) / std::sqrt(kPi);
    real_space_force -= reciprocal.force_of(0, 0);
  }
  EXPECT_NEAR(real_space, 0.0, c.tolerance);
  EXPECT_NEAR(real_space_force, 0.0, c.tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, ChargePairAtTheCutoff,
    // Exactly at r_c the shifted-force pair energy and force vanish up to double rounding of terms of a few eV;
    // beyond r_c the pair is skipped, so nothing at all is added (mode 1: up to the rounding of the subtraction).
    ::testing::Values(PairCase{"shifted_force_at_cutoff", kShiftedForce, kCutoff, 1e-13},
                      PairCase{"shifted_force_beyond_cutoff", kShiftedForce, 3.875, 0.0},
                      PairCase{"ewald_beyond_cutoff", kEwald, 3.875, 1e-13}),
    [](const ::testing::TestParamInfo<PairCase>& c) { return std::string(c.param.name); });

// ---------------------------------------------------------------------------------------------------------------
// The k-space method variable.

struct KSpaceCase {
  const char* name;
  int mode;
  const char* value;    // null: unset
  const char* message;  // null: accepted, with the results of the unset variable
};

class KSpaceVariable : public QnepChargeTest, public ::testing::WithParamInterface<KSpaceCase> {};

TEST_P(KSpaceVariable, IsReadOnEveryCallOfTheReciprocalModes) {
  const KSpaceCase& c = GetParam();
  const ModelProtocol p = charge_protocol(c.mode);
  const ChargedStructure s = test_support::disturbed(cesium_chloride(), kDisplacement);
  ChargeTerms reference;
  {
    const ScopedEnvironment unset(kKSpaceVariable, nullptr);
    reference = evaluate(p, s);
  }
  const ScopedEnvironment set(kKSpaceVariable, c.value);
  if (c.message == nullptr) {
    const ChargeTerms t = evaluate(p, s);
    EXPECT_EQ(t.potential, reference.potential);
    EXPECT_EQ(t.force, reference.force);
    EXPECT_EQ(t.virial, reference.virial);
    EXPECT_EQ(t.d_real, reference.d_real);
    return;
  }
  DeviceWorkspace ws = prepare(p, s, c.mode != kReciprocalOnly);
  EXPECT_THAT([&] { apply_qnep_charge_terms_on_device(p, s.atom_count(), periodic_box(s.cell), ws, true, true); },
              ThrowsMessage<std::runtime_error>(StrEq(c.message)));
  // The arrays were cleared before the variable was examined; potential was not touched.
  const ChargeTerms t = read(ws, s.atom_count());
  for (double f : t.force) EXPECT_EQ(f, 0.0);
  for (double v : t.virial) EXPECT_EQ(v, 0.0);
  for (float d : t.d_real) EXPECT_EQ(d, 0.0f);
  for (double e : t.potential) EXPECT_EQ(e, 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    Values, KSpaceVariable,
    ::testing::Values(KSpaceCase{"direct", kEwald, "direct", nullptr},
                      KSpaceCase{"direct_reciprocal_only", kReciprocalOnly, "direct", nullptr},
                      KSpaceCase{"pppm", kEwald, "pppm", kPppmMessage},
                      KSpaceCase{"pppm_reciprocal_only", kReciprocalOnly, "pppm", kPppmMessage},
                      KSpaceCase{"upper_case", kEwald, "DIRECT", kKSpaceValueMessage},
                      KSpaceCase{"mixed_case_pppm", kReciprocalOnly, "Pppm", kKSpaceValueMessage},
                      KSpaceCase{"empty", kEwald, "", kKSpaceValueMessage},
                      KSpaceCase{"trailing_blank", kEwald, "direct ", kKSpaceValueMessage},
                      KSpaceCase{"other", kReciprocalOnly, "ewald", kKSpaceValueMessage},
                      KSpaceCase{"shifted_force_ignores_pppm", kShiftedForce, "pppm", nullptr},
                      KSpaceCase{"shifted_force_ignores_anything", kShiftedForce, "bogus", nullptr}),
    [](const ::testing::TestParamInfo<KSpaceCase>& c) { return std::string(c.param.name); });

// ---------------------------------------------------------------------------------------------------------------
// Refusals, each before any device work.

struct RefusalCase {
  const char* name;
  int mode;               // of the protocol passed to the call (the workspace is planned for mode 1)
  int extra_atoms;        // atom_count = structure atoms + extra_atoms (or 0 when no_atoms)
  bool no_atoms;          // atom_count 0
  const char* missing;    // workspace array left out of the plan, or null
  const char* message;
};

class QnepChargeRefuses : public QnepChargeTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(QnepChargeRefuses, WithItsMessage) {
  const RefusalCase& c = GetParam();
  const ChargedStructure s = cesium_chloride();
  WorkspacePlan plan = make_internal_neighbor_workspace_plan(charge_protocol(kEwald), s.atom_count() + kPadding,
                                                             1, false);
  if (c.missing != nullptr) plan = test_support::without_array(plan, c.missing);
  DeviceWorkspace ws = prepare(charge_protocol(kEwald), s, false, &plan);
  const int atom_count = c.no_atoms ? 0 : s.atom_count() + c.extra_atoms;
  EXPECT_THAT(
      [&] {
        apply_qnep_charge_terms_on_device(charge_protocol(c.mode), atom_count, periodic_box(s.cell), ws, true, true);
      },
      ThrowsMessage<std::runtime_error>(StrEq(c.message)));
  const DeviceWorkspaceView v = ws.view();
  if (c.missing == nullptr || std::string(c.missing).rfind("nl_", 0) == 0 || std::string(c.missing) == "nn_radial") {
    return;  // the radial lists are checked after the reciprocal work, where clearing has happened
  }
  if (v.force_soa3 != nullptr) {
    for (double f : download(v.force_soa3, 3 * v.atom_capacity)) EXPECT_EQ(f, kStale);  // refused before clearing
  }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, QnepChargeRefuses,
    ::testing::Values(
        RefusalCase{"no_atoms", kEwald, 0, true, nullptr, "atom_count must be positive"},
        RefusalCase{"negative_atoms", kEwald, -20, false, nullptr, "atom_count must be positive"},
        RefusalCase{"no_charge_mode", 0, 0, false, nullptr, "qNEP charge terms require charge mode"},
        RefusalCase{"beyond_capacity", kEwald, kPadding + 1, false, nullptr,
                    "atom_count exceeds workspace atom capacity"},
        RefusalCase{"no_charge", kEwald, 0, false, "charge", "workspace missing charge output"},
        RefusalCase{"no_positions", kEwald, 0, false, "positions_soa3", "workspace missing positions"},
        RefusalCase{"no_potential", kEwald, 0, false, "potential", "workspace missing potential output"},
        RefusalCase{"no_force", kEwald, 0, false, "force_soa3", "workspace missing force output"},
        RefusalCase{"no_virial", kEwald, 0, false, "virial_soa9", "workspace missing virial output"},
        RefusalCase{"no_d_real", kReciprocalOnly, 0, false, "d_real", "workspace missing D_real cache"},
        RefusalCase{"no_radial_counts", kEwald, 0, false, "nn_radial", "workspace missing radial counts"},
        RefusalCase{"no_radial_neighbors", kShiftedForce, 0, false, "nl_radial_slot_major",
                    "workspace missing radial neighbors"}),
    [](const ::testing::TestParamInfo<RefusalCase>& c) { return std::string(c.param.name); });

TEST_F(QnepChargeTest, ReciprocalOnlyModeNeedsNoRadialLists) {
  const ChargedStructure s = cesium_chloride();
  const WorkspacePlan plan = test_support::without_array(
      test_support::without_array(
          make_internal_neighbor_workspace_plan(charge_protocol(kReciprocalOnly), s.atom_count() + kPadding, 1, false),
          "nn_radial"),
      "nl_radial_slot_major");
  DeviceWorkspace ws = prepare(charge_protocol(kReciprocalOnly), s, false, &plan);
  EXPECT_NO_THROW(
      apply_qnep_charge_terms_on_device(charge_protocol(kReciprocalOnly), s.atom_count(), periodic_box(s.cell), ws,
                                        false, false));
}

}  // namespace
}  // namespace quarvel::cuda_backend
