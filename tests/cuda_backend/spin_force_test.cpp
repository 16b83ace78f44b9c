// The spin force driver against central differences of sum over atoms and spin rows of fp times the row, with
// the spin densities filled from a double-precision host reference and fp held fixed; its refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "cuda_backend/device_workspace.hpp"
#include "cuda_backend/pipeline_stages.hpp"
#include "cuda_backend/workspace_plan.hpp"
#include "support/descriptor_structures.hpp"
#include "support/device_test.hpp"
#include "support/finite_difference.hpp"
#include "support/loaded_model.hpp"
#include "support/protocol_shapes.hpp"
#include "support/spin_force_reference.hpp"

namespace quarvel::test_support {
namespace {

using cuda_backend::VirialTarget;

constexpr int kAtoms = 18;
constexpr int kSpareCapacity = 3;      // the workspace stride differs from the atom count
constexpr double kStep = 1e-5;         // Angstrom, and spin units, of the central differences
// The kernels' pair arithmetic is single precision: outputs agree with the double reference to a few parts in
// 1e5 of the largest value of each output.
constexpr double kFloatRelative = 2e-4;
constexpr int kVirialRow[9] = {0, 1, 2, 0, 0, 1, 1, 2, 2};  // device order xx, yy, zz, xy, xz, yz, yx, zx, zy
constexpr int kVirialColumn[9] = {0, 1, 2, 1, 2, 2, 0, 0, 1};

struct SpinShapeCase {
  const char* name;
  int compress;
  int basis_size;
  int l_max;
  int chiral;
  std::vector<std::string> dof_types;  // empty: every type
  std::vector<std::string> env_types;
  VirialTarget target;
  bool transfer;
};

void PrintTo(const SpinShapeCase& c, std::ostream* os) { *os << c.name; }

ModelShape spin_model_shape(int compress, int basis_size, int l_max, int chiral, std::vector<std::string> dof,
                            std::vector<std::string> env) {
  ModelShape shape = compact_shape("nep4_spin", {"Fe", "O"});
  shape.spin.compress = compress;
  shape.spin.basis_size_radial = basis_size;
  shape.spin.l_max = l_max;
  shape.spin.chiral = chiral;
  shape.spin.dof_types = std::move(dof);
  shape.spin.env_types = std::move(env);
  return shape;
}

SpinReferenceModel reference_model(const LoadedModel& model) {
  const cuda_backend::ModelProtocol& p = model.protocol();
  SpinReferenceModel m;
  m.channels = p.spin_compress;
  m.basis_size = p.spin_basis_size_radial;
  m.l_max = p.spin_l_max;
  m.chiral = p.spin_chiral != 0;
  m.num_types = p.num_types;
  m.cutoff = static_cast<double>(static_cast<float>(p.spin_cutoff));  // the kernels use the float cutoff
  m.dof = p.spin_dof_type;
  m.env = p.spin_env_type;
  m.spin_by_pair = model.written.spin_by_pair;
  return m;
}

// A spin system staged with its densities and a fixed fp, ready for the spin force driver.
struct StagedSpinSystem {
  std::unique_ptr<LoadedModel> model;
  SpinReferenceModel reference;
  SpinSystem system;
  std::vector<std::vector<double>> fp;  // [atom][spin row], as uploaded (float values)
  cuda_backend::DeviceWorkspace workspace;

  const cuda_backend::ModelProtocol& protocol() const { return model->protocol(); }
  std::size_t capacity() const { return workspace.view().atom_capacity; }

  void run(VirialTarget target, bool transfer, cuda_backend::SpinForceTimings* timings = nullptr) {
    cuda_backend::accumulate_spin_forces_on_device(protocol(), kAtoms, system.structure.box(), model->device,
                                                   workspace, target, transfer, timings);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  }
};

template <typename T>
void upload_density(T* device, const std::vector<T>& host) {
  if (device != nullptr) upload(device, host);
}

StagedSpinSystem stage_spin_system(const ModelShape& shape, bool transfer, bool float_sink, unsigned seed) {
  StagedSpinSystem s;
  s.model = load_model(shape);
  s.reference = reference_model(*s.model);
  const cuda_backend::ModelProtocol& p = s.model->protocol();
  const int c = p.spin_compress;
  s.system.structure = random_structure(kAtoms, p.num_types, p.spin_cutoff, seed);
  s.system.lists = brute_force_lists(s.system.structure, p.spin_cutoff, p.spin_cutoff, p.num_types);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> spin_component(-1.2, 1.2);
  std::uniform_real_distribution<float> derivative(-1.0f, 1.0f);
  for (int i = 0; i < kAtoms; ++i) {
    s.system.spins.push_back({spin_component(rng), spin_component(rng), spin_component(rng)});
  }
  const std::uint64_t a = kAtoms + kSpareCapacity;
  cuda_backend::WorkspacePlan plan = cuda_backend::make_internal_neighbor_workspace_plan(p, a, 1, transfer);
  if (float_sink) plan.arrays.push_back({"per_atom_virial_float_soa9", cuda_backend::DeviceScalarType::float32, 9 * a});
  s.workspace = cuda_backend::DeviceWorkspace(plan);
  const cuda_backend::DeviceWorkspaceView v = s.workspace.view();
  stage_structures({s.system.structure}, {s.system.lists}, v);

  std::vector<double> spins(3 * a, 0.0);
  std::vector<float> fp(static_cast<std::size_t>(p.descriptor_dim) * a, 0.0f);
  const int rows = p.spin_descriptor_dim;
  const int k_channels = std::min(c, 2);
  std::vector<float> rho0(3 * c * a), raw1(9 * c * a), geom(6 * c * a), rho0_dot(3 * c * a), raw1_dot(9 * c * a);
  std::vector<float> polar(3 * c * a), octupoles(7 * c * a), hexadecapoles(9 * k_channels * a), chirals(k_channels * a);
  std::array<std::vector<float>, 5> angular;
  for (int l = 2; l <= 4; ++l) angular[l].assign(reference_angular_rows(l) * c * a, 0.0f);
  for (int i = 0; i < kAtoms; ++i) {
    for (int k = 0; k < 3; ++k) spins[k * a + i] = s.system.spins[i][k];
    s.fp.emplace_back();
    for (int r = 0; r < rows; ++r) {
      const float value = derivative(rng);
      fp[(p.structural_descriptor_dim + r) * a + i] = value;
      s.fp.back().push_back(static_cast<double>(value));
    }
    const SpinDensities d = reference_densities(s.reference, s.system, i);
    for (int n = 0; n < c; ++n) {
      const std::size_t channel = static_cast<std::size_t>(i) * c + n;
      for (int k = 0; k < 3; ++k) {
        rho0[channel * 3 + k] = static_cast<float>(d.rho0[n][k]);
        rho0_dot[channel * 3 + k] = static_cast<float>(d.rho0_dot[n][k]);
      }
      for (int k = 0; k < 9; ++k) {
        raw1[channel * 9 + k] = static_cast<float>(d.raw1[n][k]);
        raw1_dot[channel * 9 + k] = static_cast<float>(d.raw1_dot[n][k]);
      }
      for (int k = 0; k < 6; ++k) geom[channel * 6 + k] = static_cast<float>(d.geom[n][k]);
      if (s.reference.chiral) {
        for (int k = 0; k < 3; ++k) polar[channel * 3 + k] = static_cast<float>(d.polar[n][k]);
        for (int k = 0; k < 7; ++k) octupoles[channel * 7 + k] = static_cast<float>(d.octupoles[n][k]);
        if (n < k_channels) {
          const std::size_t hex = static_cast<std::size_t>(i) * k_channels + n;
          for (int k = 0; k < 9; ++k) hexadecapoles[hex * 9 + k] = static_cast<float>(d.hexadecapoles[n][k]);
          chirals[hex] = static_cast<float>(reference_chirality(d, n));
        }
      }
      for (int l = 2; l <= p.spin_l_max; ++l) {
        const int z = reference_angular_rows(l);
        for (int k = 0; k < z; ++k) angular[l][channel * z + k] = static_cast<float>(d.angular[l][n][k]);
      }
    }
  }
  upload(v.spins_soa3, spins);
  upload(v.fp, fp);
  upload(v.spin_density_rho0, rho0);
  upload(v.spin_density_raw1, raw1);
  upload(v.spin_density_geom, geom);
  upload(v.spin_density_rho0_dot, rho0_dot);
  upload(v.spin_density_raw1_dot, raw1_dot);
  upload_density(v.spin_density_angular2, angular[2]);
  upload_density(v.spin_density_angular3, angular[3]);
  upload_density(v.spin_density_angular4, angular[4]);
  upload_density(v.spin_chiral_polar, polar);
  upload_density(v.spin_chiral_octupoles_raw, octupoles);
  upload_density(v.spin_chiral_hexadecapoles_raw, hexadecapoles);
  upload_density(v.spin_chiral_chirals, chirals);
  upload(v.force_soa3, std::vector<double>(3 * a, 0.0));
  upload(v.mforce_soa3, std::vector<double>(3 * a, 0.0));
  upload(v.virial_soa9, std::vector<double>(9 * a, 0.0));
  if (v.per_atom_virial_float_soa9 != nullptr) upload(v.per_atom_virial_float_soa9, std::vector<float>(9 * a, 0.0f));
  // Left-over values that the driver must clear before filling the spin transfer.
  if (v.spin_transfer_soa9 != nullptr) upload(v.spin_transfer_soa9, std::vector<float>(9 * a, 7.0f));
  return s;
}

struct ReferenceForces {
  std::vector<double> force;   // [3 i + c]
  std::vector<double> mforce;  // [3 i + c], before masking
  double virial[9];            // device order, whole system
};

ReferenceForces reference_forces(const StagedSpinSystem& s) {
  const auto functional = [&](const SpinSystem& x) { return reference_spin_functional(s.reference, x, s.fp); };
  ReferenceForces r;
  const auto position = [](SpinSystem& x, int i) -> Vec3& { return x.structure.positions[i]; };
  const auto spin = [](SpinSystem& x, int i) -> Vec3& { return x.spins[i]; };
  r.force = minus_gradient(s.system, every_atom(kAtoms), position, functional, kStep);
  r.mforce = minus_gradient(s.system, every_atom(kAtoms), spin, functional, kStep);
  // Component ab of the virial is -(d_a F_b) summed over pairs = minus the derivative under the strain
  // d_b -> d_b + e d_a, applied to the cell and the positions together.
  for (int q = 0; q < 9; ++q) {
    const int a = kVirialRow[q];
    const int b = kVirialColumn[q];
    const auto strained_functional = [&](double h) {
      SpinSystem x = s.system;
      x.structure = strained(s.system.structure, b, a, h);
      return functional(x);
    };
    r.virial[q] = -central_difference(strained_functional, kStep);
  }
  return r;
}

class SpinForceShapeTest : public DeviceTest, public ::testing::WithParamInterface<SpinShapeCase> {};

TEST_P(SpinForceShapeTest, ForcesMagneticForcesAndVirialsAreMinusTheDerivatives) {
  const SpinShapeCase& c = GetParam();
  StagedSpinSystem s = stage_spin_system(spin_model_shape(c.compress, c.basis_size, c.l_max, c.chiral, c.dof_types, c.env_types),
                                         c.transfer, c.target == VirialTarget::float_sink, 11);
  s.run(c.target, c.transfer);
  const ReferenceForces ref = reference_forces(s);
  const cuda_backend::DeviceWorkspaceView v = s.workspace.view();
  const std::size_t a = s.capacity();
  const std::vector<double> force = download(v.force_soa3, 3 * a);
  const std::vector<double> mforce = download(v.mforce_soa3, 3 * a);
  const std::vector<double> virial = download(v.virial_soa9, 9 * a);
  const double force_tolerance = kFloatRelative * std::max(1.0, largest_magnitude(ref.force));
  const double mforce_tolerance = kFloatRelative * std::max(1.0, largest_magnitude(ref.mforce));
  const std::vector<std::int32_t>& dof = s.protocol().spin_dof_type;
  for (int i = 0; i < kAtoms; ++i) {
    const bool has_spin = dof[s.system.structure.types[i]] != 0;
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(force[k * a + i], ref.force[3 * i + k], force_tolerance) << "atom " << i << " axis " << k;
      if (has_spin) {
        EXPECT_NEAR(mforce[k * a + i], ref.mforce[3 * i + k], mforce_tolerance) << "atom " << i << " axis " << k;
      } else {
        EXPECT_EQ(mforce[k * a + i], 0.0) << "masked atom " << i;
      }
    }
  }
  double scale = 1.0;
  for (const double w : ref.virial) scale = std::max(scale, std::abs(w));
  for (int q = 0; q < 9; ++q) {
    double total = 0.0;
    for (int i = 0; i < kAtoms; ++i) total += virial[q * a + i];
    if (c.target == VirialTarget::none) {
      EXPECT_EQ(total, 0.0);
    } else {
      EXPECT_NEAR(total, ref.virial[q], kFloatRelative * scale) << "virial component " << q;
    }
  }
  if (c.target == VirialTarget::float_sink) {
    const std::vector<float> sink = download(v.per_atom_virial_float_soa9, 9 * a);
    for (int q = 0; q < 9; ++q) {
      double total = 0.0;
      for (int i = 0; i < kAtoms; ++i) total += static_cast<double>(sink[q * a + i]);
      EXPECT_NEAR(total, ref.virial[q], kFloatRelative * scale) << "sink component " << q;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, SpinForceShapeTest,
    ::testing::Values(SpinShapeCase{"one_channel_l0_no_virial", 1, 3, 0, 0, {}, {}, VirialTarget::none, false},
                      SpinShapeCase{"two_channels_l1_owner", 2, 3, 1, 0, {}, {}, VirialTarget::fp64_owner, true},
                      SpinShapeCase{"two_channels_l2_scatter", 2, 5, 2, 0, {}, {}, VirialTarget::fp64_scatter, false},
                      SpinShapeCase{"three_channels_l3_sink", 3, 3, 3, 0, {}, {}, VirialTarget::float_sink, true},
                      SpinShapeCase{"four_channels_l4_owner", 4, 4, 4, 0, {}, {}, VirialTarget::fp64_owner, false},
                      SpinShapeCase{"inactive_spin_type", 2, 2, 2, 0, {"Fe"}, {"Fe", "O"}, VirialTarget::fp64_owner,
                                    true},
                      SpinShapeCase{"environment_without_one_type", 1, 2, 1, 0, {"Fe"}, {"Fe"},
                                    VirialTarget::fp64_scatter, false},
                      SpinShapeCase{"chiral_one_channel_l0", 1, 3, 0, 1, {}, {}, VirialTarget::fp64_owner, true},
                      SpinShapeCase{"chiral_two_channels_l2", 2, 3, 2, 1, {}, {}, VirialTarget::fp64_scatter, true},
                      SpinShapeCase{"chiral_three_channels_inactive_type", 3, 4, 1, 1, {"Fe"}, {"Fe", "O"},
                                    VirialTarget::fp64_owner, false},
                      SpinShapeCase{"chiral_four_channels_l4_sink", 4, 3, 4, 1, {}, {}, VirialTarget::float_sink,
                                    false}),
    [](const ::testing::TestParamInfo<SpinShapeCase>& named) { return std::string(named.param.name); });

class SpinForceDriverTest : public DeviceTest {};

// With fp zero on every atom but one, only that centre's pairs count: the spin transfer of each neighbour j is
// d_a m_b with d its separation from the centre and m its (unmasked) magnetic force; the centre gets none.
TEST_F(SpinForceDriverTest, SpinTransferOfOneCentreIsSeparationTimesMagneticForce) {
  StagedSpinSystem s = stage_spin_system(spin_model_shape(2, 3, 2, 1, {}, {}), true, false, 5);
  constexpr int kCentre = 4;
  const std::size_t a = s.capacity();
  const cuda_backend::DeviceWorkspaceView v = s.workspace.view();
  std::vector<float> fp = download(v.fp, static_cast<std::size_t>(s.protocol().descriptor_dim) * a);
  for (int i = 0; i < kAtoms; ++i) {
    if (i == kCentre) continue;
    std::fill(s.fp[i].begin(), s.fp[i].end(), 0.0);
    for (std::size_t r = 0; r < s.fp[i].size(); ++r) fp[(s.protocol().structural_descriptor_dim + r) * a + i] = 0.0f;
  }
  upload(v.fp, fp);
  s.run(VirialTarget::none, true);
  const ReferenceForces ref = reference_forces(s);
  const std::vector<float> transfer = download(v.spin_transfer_soa9, 9 * a);
  const double tolerance = kFloatRelative * std::max(1.0, 10.0 * largest_magnitude(ref.mforce));
  ASSERT_FALSE(s.system.lists.radial[kCentre].empty());
  for (int j = 0; j < kAtoms; ++j) {
    const bool neighbour =
        std::count(s.system.lists.radial[kCentre].begin(), s.system.lists.radial[kCentre].end(), j) > 0;
    const Vec3 d = s.system.structure.separation(kCentre, j);
    for (int k = 0; k < 9; ++k) {
      const double expected = neighbour ? d[k / 3] * ref.mforce[3 * j + k % 3] : 0.0;
      EXPECT_NEAR(transfer[k * a + j], expected, tolerance) << "atom " << j << " component " << k;
    }
  }
}

TEST_F(SpinForceDriverTest, NoAtomsStillClearsTheSpinTransferAndTimesEveryPhase) {
  StagedSpinSystem s = stage_spin_system(spin_model_shape(1, 3, 1, 1, {"Fe"}, {"Fe", "O"}), true, false, 3);
  const cuda_backend::DeviceWorkspaceView v = s.workspace.view();
  const std::size_t a = s.capacity();
  upload(v.mforce_soa3, std::vector<double>(3 * a, 2.5));
  cuda_backend::SpinForceTimings timings{-1.0f, -1.0f, -1.0f};
  cuda_backend::accumulate_spin_forces_on_device(s.protocol(), 0, s.system.structure.box(), s.model->device,
                                                 s.workspace, VirialTarget::fp64_owner, true, &timings);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_EQ(download(v.spin_transfer_soa9, 9 * a), std::vector<float>(9 * a, 0.0f));
  EXPECT_EQ(download(v.mforce_soa3, 3 * a), std::vector<double>(3 * a, 2.5));
  EXPECT_GE(timings.onsite_ms, 0.0f);
  EXPECT_GE(timings.density_ms, 0.0f);
  EXPECT_GE(timings.chiral_ms, 0.0f);
}

// The onsite rows alone: with fp zero beyond rows 0 and 1, the magnetic force is -(2 g0 + 4 g1 |S|^2) S and is
// subtracted from what the array held.
TEST_F(SpinForceDriverTest, OnsiteRowsSubtractTheirMagneticForceFromTheArray) {
  StagedSpinSystem s = stage_spin_system(spin_model_shape(1, 3, 0, 0, {}, {}), false, false, 9);
  const cuda_backend::DeviceWorkspaceView v = s.workspace.view();
  const std::size_t a = s.capacity();
  const int d0 = s.protocol().structural_descriptor_dim;
  std::vector<float> fp(static_cast<std::size_t>(s.protocol().descriptor_dim) * a, 0.0f);
  for (int i = 0; i < kAtoms; ++i) {
    fp[d0 * a + i] = 0.25f * static_cast<float>(i % 3);
    fp[(d0 + 1) * a + i] = -0.5f;
  }
  upload(v.fp, fp);
  constexpr double kHeld = 1.5;
  upload(v.mforce_soa3, std::vector<double>(3 * a, kHeld));
  s.run(VirialTarget::none, false);
  const std::vector<double> mforce = download(v.mforce_soa3, 3 * a);
  for (int i = 0; i < kAtoms; ++i) {
    const Vec3& spin = s.system.spins[i];
    const double s2 = spin[0] * spin[0] + spin[1] * spin[1] + spin[2] * spin[2];
    const double factor = 2.0 * fp[d0 * a + i] + 4.0 * fp[(d0 + 1) * a + i] * s2;
    for (int k = 0; k < 3; ++k) {
      // Double arithmetic on float derivatives: agreement to double rounding.
      EXPECT_NEAR(mforce[k * a + i], kHeld - spin[k] * factor, 1e-12) << "atom " << i;
    }
  }
}

// One refusal: a good call with the protocol changed, one workspace array left out, or other arguments.
struct SpinDriverRefusal {
  const char* name;
  std::function<void(cuda_backend::ModelProtocol&)> protocol_change;
  const char* dropped_array;  // or null
  VirialTarget target;
  bool transfer;
  int atom_count;  // -2: one above the capacity; 0 elsewhere, so that no kernel reads the unfilled arrays
  const char* message;
};

void PrintTo(const SpinDriverRefusal& c, std::ostream* os) { *os << c.name; }

class SpinForceRefusalTest : public DeviceTest, public ::testing::WithParamInterface<SpinDriverRefusal> {};

TEST_P(SpinForceRefusalTest, RefusesWithItsMessage) {
  const SpinDriverRefusal& c = GetParam();
  std::unique_ptr<LoadedModel> model = load_model(spin_model_shape(2, 3, 2, 0, {}, {}));
  cuda_backend::ModelProtocol protocol = model->protocol();
  constexpr std::uint64_t kCapacity = 8;
  cuda_backend::WorkspacePlan plan =
      cuda_backend::make_internal_neighbor_workspace_plan(protocol, kCapacity, 1, true);
  if (c.protocol_change) c.protocol_change(protocol);
  if (protocol.spin_chiral != 0) plan = cuda_backend::make_internal_neighbor_workspace_plan(protocol, kCapacity, 1, true);
  if (c.dropped_array != nullptr) plan = without_array(plan, c.dropped_array);
  cuda_backend::DeviceWorkspace workspace(plan);
  const int atoms = c.atom_count == -2 ? static_cast<int>(kCapacity) + 1 : c.atom_count;
  const cuda_backend::SimulationBox box = cuda_backend::lammps_identity_box();
  try {
    cuda_backend::accumulate_spin_forces_on_device(protocol, atoms, box, model->device, workspace, c.target,
                                                   c.transfer, nullptr);
    FAIL() << "expected: " << c.message;
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), c.message);
  }
}

using P = cuda_backend::ModelProtocol;
constexpr VirialTarget kOwner = VirialTarget::fp64_owner;

INSTANTIATE_TEST_SUITE_P(
    Refusals, SpinForceRefusalTest,
    ::testing::Values(
        SpinDriverRefusal{"not_spin", [](P& p) { p.spin_mode = 0; }, nullptr, kOwner, false, 0,
                          "spin force pipeline requires spin model"},
        SpinDriverRefusal{"five_channels", [](P& p) { p.spin_compress = 5; }, nullptr, kOwner, false, 0,
                          "CUDA spin core requires 1 <= spin_compress <= 4, spin_compress <= spin_basis_size + 1 <= "
                          "8, and spin_l_max <= 4"},
        SpinDriverRefusal{"channels_above_basis", [](P& p) { p.spin_basis_size_radial = 0; }, nullptr, kOwner, false,
                          0,
                          "CUDA spin core requires 1 <= spin_compress <= 4, spin_compress <= spin_basis_size + 1 <= "
                          "8, and spin_l_max <= 4"},
        SpinDriverRefusal{"order_five", [](P& p) { p.spin_l_max = 5; }, nullptr, kOwner, false, 0,
                          "CUDA spin core requires 1 <= spin_compress <= 4, spin_compress <= spin_basis_size + 1 <= "
                          "8, and spin_l_max <= 4"},
        SpinDriverRefusal{"transfer_without_array", nullptr, "spin_transfer_soa9", kOwner, true, 0,
                          "workspace missing spin-transfer output"},
        SpinDriverRefusal{"no_onsite_rows", [](P& p) { p.spin_descriptor_dim = 1; }, nullptr, kOwner, false, 0,
                          "spin descriptor is missing onsite terms"},
        SpinDriverRefusal{"negative_atoms", nullptr, nullptr, kOwner, false, -1,
                          "atom_count exceeds workspace atom capacity"},
        SpinDriverRefusal{"atoms_above_capacity", nullptr, nullptr, kOwner, false, -2,
                          "atom_count exceeds workspace atom capacity"},
        SpinDriverRefusal{"no_spins", nullptr, "spins_soa3", kOwner, false, 0, "workspace missing spins"},
        SpinDriverRefusal{"no_fp", nullptr, "fp", kOwner, false, 0, "workspace missing descriptor derivatives"},
        SpinDriverRefusal{"no_mforce", nullptr, "mforce_soa3", kOwner, false, 0, "workspace missing mforce output"},
        SpinDriverRefusal{"no_positions", nullptr, "positions_soa3", kOwner, false, 0,
                          "workspace missing positions"},
        SpinDriverRefusal{"no_counts", nullptr, "nn_radial", kOwner, false, 0,
                          "workspace missing radial neighbor counts"},
        SpinDriverRefusal{"no_list", nullptr, "nl_radial_slot_major", kOwner, false, 0,
                          "workspace missing radial neighbors"},
        SpinDriverRefusal{"no_forces", nullptr, "force_soa3", kOwner, false, 0, "workspace missing forces"},
        SpinDriverRefusal{"no_virials", nullptr, "virial_soa9", VirialTarget::none, false, 0,
                          "workspace missing virials"},
        SpinDriverRefusal{"sink_missing", nullptr, nullptr, VirialTarget::float_sink, false, 0,
                          "workspace missing spin per-atom virial sink"},
        SpinDriverRefusal{"no_rho0", nullptr, "spin_density_rho0", kOwner, false, 0,
                          "workspace missing spin density rho0"},
        SpinDriverRefusal{"no_raw1", nullptr, "spin_density_raw1", kOwner, false, 0,
                          "workspace missing spin density raw1"},
        SpinDriverRefusal{"no_angular2", nullptr, "spin_density_angular2", kOwner, false, 0,
                          "workspace missing spin density angular2"},
        SpinDriverRefusal{"no_angular3", [](P& p) { p.spin_l_max = 3; }, nullptr, kOwner, false, 0,
                          "workspace missing spin density angular3"},
        SpinDriverRefusal{"no_geom", nullptr, "spin_density_geom", kOwner, false, 0,
                          "workspace missing spin density geom"},
        SpinDriverRefusal{"no_rho0_dot", nullptr, "spin_density_rho0_dot", kOwner, false, 0,
                          "workspace missing spin density rho0 dot"},
        SpinDriverRefusal{"no_raw1_dot", nullptr, "spin_density_raw1_dot", kOwner, false, 0,
                          "workspace missing spin density raw1 dot"},
        SpinDriverRefusal{"coefficients_short",
                          [](P& p) { p.descriptor_coefficient_count += 1; }, nullptr, kOwner, false, 0,
                          "model descriptor coefficient buffer is too small"},
        SpinDriverRefusal{"chiral_without_chirals", [](P& p) { p.spin_chiral = 1; }, "spin_chiral_chirals", kOwner,
                          false, 0, "workspace missing spin chiral chirals"}),
    [](const ::testing::TestParamInfo<SpinDriverRefusal>& named) { return std::string(named.param.name); });

}  // namespace
}  // namespace quarvel::test_support
