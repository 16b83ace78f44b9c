// Spin descriptor rows and spin densities against a double-precision reference from their definitions, their
// symmetries, and the refusals of the spin descriptor stage.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "cuda_backend/pipeline_stages.hpp"
#include "cuda_backend/workspace_plan.hpp"
#include "support/descriptor_structures.hpp"
#include "support/device_test.hpp"
#include "support/loaded_model.hpp"
#include "support/protocol_shapes.hpp"
#include "support/spin_descriptor_reference.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::LoadedModel;
using test_support::NeighborLists;
using test_support::Spin;
using test_support::Structure;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

constexpr float kUntouched = -12345.0f;  // fills device arrays so that unwritten entries can be told apart
constexpr double kListMargin = 0.6;      // Angstrom: lists reach past the cutoff, whose pairs contribute 0
constexpr int kSpareCapacity = 3;        // workspace atoms beyond those staged: the stride differs from N
// Float sums of up to ~100 neighbor terms and float products of up to five such sums (chiral rows): a few
// hundred float roundings relative to the value, plus cancellation measured against the largest value of its kind.
constexpr double kFloatRelative = 1e-4;
constexpr double kFloatCancellation = 1e-6;

struct SpinCase {
  const char* name;
  int channels;
  int basis_size;
  int l_max;
  int chiral;
  double cutoff;  // Angstrom
  int atoms;
  bool streams_two_batches;  // some atom has more than 64 counted neighbors
};

std::unique_ptr<LoadedModel> load_spin_model(const SpinCase& c, std::vector<std::string> dof_types = {},
                                             std::vector<std::string> env_types = {}) {
  test_support::ModelShape shape = test_support::compact_shape("nep4_spin", {"Fe", "Co"}, 7);
  shape.spin.compress = c.channels;
  shape.spin.basis_size_radial = c.basis_size;
  shape.spin.n_max_radial = std::min(shape.spin.n_max_radial, c.basis_size);
  shape.spin.l_max = c.l_max;
  shape.spin.chiral = c.chiral;
  shape.spin.cutoff = c.cutoff;
  shape.spin.dof_types = std::move(dof_types);
  shape.spin.env_types = std::move(env_types);
  shape.max_neighbors_radial = 200;
  return test_support::load_model(shape);
}

test_support::SpinModelSettings settings_of(const LoadedModel& model) {
  const ModelProtocol& p = model.protocol();
  return {p.spin_compress, p.spin_basis_size_radial, p.spin_l_max,    p.spin_chiral != 0,        p.spin_cutoff,
          p.num_types,     p.spin_dof_type,          p.spin_env_type, model.written.spin_by_pair};
}

std::vector<Spin> random_spins(int count, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> gauss(0.0, 1.0);
  std::uniform_real_distribution<double> length(0.5, 2.0);
  std::vector<Spin> spins;
  for (int i = 0; i < count; ++i) {
    Spin s{gauss(rng), gauss(rng), gauss(rng)};
    const double scale = length(rng) / std::sqrt(test_support::dot(s, s));
    for (double& e : s) e *= scale;
    spins.push_back(s);
  }
  return spins;
}

// Device arrays after one spin descriptor launch, downloaded.
struct SpinDeviceResult {
  std::size_t capacity = 0;
  int first_spin_row = 0;
  std::vector<float> descriptors;
  std::vector<float> rho0, raw1, angular2, angular3, angular4, geom, rho0_dot, raw1_dot;
  std::vector<float> polar, octupoles, hexadecapoles, chirals;

  float row(int r, int atom) const { return descriptors[(first_spin_row + r) * capacity + atom]; }
};

// Stages the structure, lists and spins, fills every output with kUntouched, launches and downloads.
SpinDeviceResult run_spin_descriptors(const LoadedModel& model, const Structure& s, const NeighborLists& lists,
                                      const std::vector<Spin>& spins, const SimulationBox& box) {
  const ModelProtocol& p = model.protocol();
  const std::size_t a = static_cast<std::size_t>(s.size() + kSpareCapacity);
  DeviceWorkspace workspace(make_internal_neighbor_workspace_plan(p, a, 1, false));
  const DeviceWorkspaceView v = workspace.view();
  test_support::stage_structures({s}, {lists}, v);
  std::vector<double> spin_soa(3 * a, 0.0);
  for (int i = 0; i < s.size(); ++i) {
    for (std::size_t c = 0; c < 3; ++c) spin_soa[c * a + i] = spins[i][c];
  }
  test_support::upload(v.spins_soa3, spin_soa);
  const int c = p.spin_compress;
  const int k = std::min(c, 2);
  SpinDeviceResult r;
  r.capacity = a;
  r.first_spin_row = p.structural_descriptor_dim;
  struct Output {
    float* device;
    int values_per_atom;
    std::vector<float>* host;
  };
  const Output outputs[] = {{v.descriptors, p.descriptor_dim, &r.descriptors},
                            {v.spin_density_rho0, 3 * c, &r.rho0},
                            {v.spin_density_raw1, 9 * c, &r.raw1},
                            {v.spin_density_angular2, 15 * c, &r.angular2},
                            {v.spin_density_angular3, 21 * c, &r.angular3},
                            {v.spin_density_angular4, 27 * c, &r.angular4},
                            {v.spin_density_geom, 6 * c, &r.geom},
                            {v.spin_density_rho0_dot, 3 * c, &r.rho0_dot},
                            {v.spin_density_raw1_dot, 9 * c, &r.raw1_dot},
                            {v.spin_chiral_polar, 3 * c, &r.polar},
                            {v.spin_chiral_octupoles_raw, 7 * c, &r.octupoles},
                            {v.spin_chiral_hexadecapoles_raw, 9 * k, &r.hexadecapoles},
                            {v.spin_chiral_chirals, k, &r.chirals}};
  for (const Output& o : outputs) {
    if (o.device != nullptr) test_support::upload(o.device, std::vector<float>(a * o.values_per_atom, kUntouched));
  }
  build_spin_descriptors_on_device(p, s.size(), box, model.device, workspace);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  for (const Output& o : outputs) {
    if (o.device != nullptr) *o.host = test_support::download(o.device, a * o.values_per_atom);
  }
  return r;
}

struct SpinScene {
  Structure structure;
  NeighborLists lists;
  std::vector<Spin> spins;
};

SpinScene spin_scene(const LoadedModel& model, int atoms, unsigned seed) {
  const ModelProtocol& p = model.protocol();
  const double reach = p.cutoff_radial_list + kListMargin;
  SpinScene scene;
  scene.structure = test_support::random_structure(atoms, p.num_types, reach, seed);
  scene.lists = test_support::brute_force_lists(scene.structure, reach, p.cutoff_angular + kListMargin, p.num_types);
  scene.spins = random_spins(atoms, seed + 1);
  return scene;
}

// |value - expected| within the float rounding of a value among values that reach `scale`.
void expect_close(float value, double expected, double scale, const std::string& what) {
  EXPECT_NEAR(value, expected, kFloatRelative * std::abs(expected) + kFloatCancellation * scale) << what;
}

class SpinDescriptorRows : public test_support::DeviceTest, public ::testing::WithParamInterface<SpinCase> {};

TEST_P(SpinDescriptorRows, MatchTheDoublePrecisionReference) {
  const SpinCase c = GetParam();
  const auto model = load_spin_model(c);
  const ModelProtocol& p = model->protocol();
  const SpinScene scene = spin_scene(*model, c.atoms, 11);
  const SpinDeviceResult r =
      run_spin_descriptors(*model, scene.structure, scene.lists, scene.spins, scene.structure.box());
  const test_support::SpinModelSettings settings = settings_of(*model);
  const int k = std::min(c.channels, 2);
  int most_counted = 0;
  for (int i = 0; i < scene.structure.size(); ++i) {
    const test_support::SpinAtomReference ref =
        test_support::spin_atom_reference(settings, scene.structure, scene.spins, scene.lists.radial[i], i);
    most_counted = std::max(most_counted, ref.counted);
    ASSERT_EQ(static_cast<int>(ref.rows.size()), p.spin_descriptor_dim);
    double scale = 0.0;
    for (double v : ref.rows) scale = std::max(scale, std::abs(v));
    for (int row = 0; row < p.spin_descriptor_dim; ++row) {
      expect_close(r.row(row, i), ref.rows[row], scale, "atom " + std::to_string(i) + " row " + std::to_string(row));
    }
    for (int n = 0; n < c.channels; ++n) {
      const test_support::SpinChannelReference& ch = ref.channels[n];
      const auto check = [&](const std::vector<float>& device, const auto& expected, int channels, const char* name) {
        double size = 0.0;
        for (double e : expected) size = std::max(size, std::abs(e));
        const std::size_t width = expected.size();
        for (std::size_t q = 0; q < width; ++q) {
          expect_close(device[(static_cast<std::size_t>(i) * channels + n) * width + q], expected[q], size,
                       std::string(name) + " atom " + std::to_string(i) + " channel " + std::to_string(n));
        }
      };
      check(r.rho0, ch.rho0, c.channels, "rho0");
      check(r.geom, ch.geom, c.channels, "geom");
      check(r.rho0_dot, ch.rho0_dot, c.channels, "rho0 dot");
      if (c.l_max >= 1 || c.chiral != 0) {
        check(r.raw1, ch.raw1, c.channels, "raw1");
        check(r.raw1_dot, ch.raw1_dot, c.channels, "raw1 dot");
      }
      if (c.l_max >= 2) check(r.angular2, ch.angular2, c.channels, "angular2");
      if (c.l_max >= 3) check(r.angular3, ch.angular3, c.channels, "angular3");
      if (c.l_max >= 4) check(r.angular4, ch.angular4, c.channels, "angular4");
      if (c.chiral != 0) {
        check(r.polar, ch.polar, c.channels, "polar");
        check(r.octupoles, ch.octupoles, c.channels, "octupoles");
        if (n < k) {
          check(r.hexadecapoles, ch.hexadecapoles, k, "hexadecapoles");
          // 50 products of three moments: cancellation is measured against the product of their sizes.
          const auto largest = [](const auto& v) {
            double m = 0.0;
            for (double e : v) m = std::max(m, std::abs(e));
            return m;
          };
          const double terms = largest(ch.geom) * largest(ch.octupoles) * largest(ch.hexadecapoles);
          expect_close(r.chirals[static_cast<std::size_t>(i) * k + n], ch.chirality, terms, "chirality");
        }
      }
    }
  }
  EXPECT_GT(most_counted, 0);
  if (c.streams_two_batches) {
    EXPECT_GT(most_counted, 64);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, SpinDescriptorRows,
    ::testing::Values(SpinCase{"OneChannelL0", 1, 3, 0, 0, 4.5, 24, false},
                      SpinCase{"TwoChannelsL2Chiral", 2, 3, 2, 1, 4.5, 24, false},
                      SpinCase{"ThreeChannelsL1Chiral", 3, 5, 1, 1, 4.5, 20, false},
                      SpinCase{"FourChannelsL4Chiral", 4, 7, 4, 1, 4.5, 20, false},
                      SpinCase{"TwoChannelsL3", 2, 2, 3, 0, 4.5, 20, false},
                      SpinCase{"OneChannelL0Chiral", 1, 0, 0, 1, 4.5, 20, false},
                      // cutoff large enough that some atoms stream more than one batch of 64 neighbors
                      SpinCase{"TwoBatches", 2, 3, 1, 1, 7.2, 240, true}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

// A proper rotation about an oblique axis (Rodrigues' formula).
test_support::Cell rotation_matrix(const Spin& axis, double angle) {
  const double n = std::sqrt(test_support::dot(axis, axis));
  const double x = axis[0] / n, y = axis[1] / n, z = axis[2] / n;
  const double c = std::cos(angle), s = std::sin(angle), t = 1.0 - c;
  return {t * x * x + c,     t * x * y - s * z, t * x * z + s * y, t * x * y + s * z, t * y * y + c,
          t * y * z - s * x, t * x * z - s * y, t * y * z + s * x, t * z * z + c};
}

test_support::Cell matrix_product(const test_support::Cell& a, const test_support::Cell& b) {
  test_support::Cell m{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      for (int k = 0; k < 3; ++k) m[3 * r + c] += a[3 * r + k] * b[3 * k + c];
  return m;
}

constexpr SpinCase kSymmetryCase{"FourChannelsL4Chiral", 4, 7, 4, 1, 4.5, 20, false};

class SpinDescriptorSymmetry : public test_support::DeviceTest {};

// Rotating positions, cell and spins together leaves every spin row unchanged: all rows are scalars, the
// chirality rows products of two pseudo-scalars.
TEST_F(SpinDescriptorSymmetry, RowsAreInvariantUnderJointRotation) {
  const auto model = load_spin_model(kSymmetryCase);
  const ModelProtocol& p = model->protocol();
  const SpinScene scene = spin_scene(*model, kSymmetryCase.atoms, 5);
  const test_support::Cell rotation = rotation_matrix({0.3, -0.8, 0.5}, 1.1);
  SpinScene rotated = scene;
  rotated.structure.cell = matrix_product(rotation, scene.structure.cell);
  for (int i = 0; i < scene.structure.size(); ++i) {
    rotated.structure.positions[i] = test_support::matrix_times(rotation, scene.structure.positions[i]);
    rotated.spins[i] = test_support::matrix_times(rotation, scene.spins[i]);
  }
  const SpinDeviceResult before =
      run_spin_descriptors(*model, scene.structure, scene.lists, scene.spins, scene.structure.box());
  const SpinDeviceResult after =
      run_spin_descriptors(*model, rotated.structure, scene.lists, rotated.spins, rotated.structure.box());
  for (int i = 0; i < scene.structure.size(); ++i) {
    double scale = 0.0;
    for (int row = 0; row < p.spin_descriptor_dim; ++row) scale = std::max(scale, std::abs(double(before.row(row, i))));
    for (int row = 0; row < p.spin_descriptor_dim; ++row) {
      expect_close(after.row(row, i), before.row(row, i), scale,
                   "atom " + std::to_string(i) + " row " + std::to_string(row));
    }
  }
}

// Reversing every spin leaves every row bit for bit: each row is even in the spins, and negation is exact in
// every float product and sum; the spin densities change sign exactly.
TEST_F(SpinDescriptorSymmetry, RowsAreExactlyEvenUnderTimeReversal) {
  const auto model = load_spin_model(kSymmetryCase);
  const ModelProtocol& p = model->protocol();
  const SpinScene scene = spin_scene(*model, kSymmetryCase.atoms, 9);
  std::vector<Spin> reversed = scene.spins;
  for (Spin& spin : reversed) {
    for (double& e : spin) e = -e;
  }
  const SpinDeviceResult forward =
      run_spin_descriptors(*model, scene.structure, scene.lists, scene.spins, scene.structure.box());
  const SpinDeviceResult backward =
      run_spin_descriptors(*model, scene.structure, scene.lists, reversed, scene.structure.box());
  for (int i = 0; i < scene.structure.size(); ++i) {
    for (int row = 0; row < p.spin_descriptor_dim; ++row) {
      EXPECT_EQ(forward.row(row, i), backward.row(row, i)) << "atom " << i << " row " << row;
    }
  }
  for (std::size_t k = 0; k < static_cast<std::size_t>(scene.structure.size()) * p.spin_compress * 9; ++k) {
    EXPECT_EQ(forward.raw1[k], -backward.raw1[k]);
  }
  EXPECT_EQ(forward.chirals, backward.chirals);
}

// Which atoms carry a spin and which are seen as spin neighbors.
struct SpinMaskCase {
  const char* name;
  std::vector<std::string> dof_types;
  std::vector<std::string> env_types;
};

class SpinDescriptorMasks : public test_support::DeviceTest, public ::testing::WithParamInterface<SpinMaskCase> {};

// An atom of a type without spin degree of freedom gets zero in every spin row and density; a neighbor of a type
// outside the spin environment is not counted; the reference follows the same masks.
TEST_P(SpinDescriptorMasks, SilenceSpinlessAtomsAndEnvironment) {
  const SpinCase shape{"masked", 2, 3, 2, 1, 4.5, 20, false};
  const auto model = load_spin_model(shape, GetParam().dof_types, GetParam().env_types);
  const ModelProtocol& p = model->protocol();
  const SpinScene scene = spin_scene(*model, shape.atoms, 3);
  const SpinDeviceResult r =
      run_spin_descriptors(*model, scene.structure, scene.lists, scene.spins, scene.structure.box());
  const test_support::SpinModelSettings settings = settings_of(*model);
  for (int i = 0; i < scene.structure.size(); ++i) {
    const test_support::SpinAtomReference ref =
        test_support::spin_atom_reference(settings, scene.structure, scene.spins, scene.lists.radial[i], i);
    const bool has_spin = p.spin_dof_type[scene.structure.types[i]] != 0;
    double scale = 0.0;
    for (double v : ref.rows) scale = std::max(scale, std::abs(v));
    for (int row = 0; row < p.spin_descriptor_dim; ++row) {
      if (!has_spin) {
        EXPECT_EQ(r.row(row, i), 0.0f) << "spinless atom " << i << " row " << row;
      } else {
        expect_close(r.row(row, i), ref.rows[row], scale, "atom " + std::to_string(i) + " row " + std::to_string(row));
      }
    }
    if (!has_spin) {
      for (int k = 0; k < 3 * p.spin_compress; ++k)
        EXPECT_EQ(r.rho0[static_cast<std::size_t>(i) * 3 * p.spin_compress + k], 0.0f);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Types, SpinDescriptorMasks,
                         ::testing::Values(SpinMaskCase{"SpinlessSecondType", {"Fe"}, {}},
                                           SpinMaskCase{"SpinlessEnvironmentType", {"Fe"}, {"Fe", "Co"}}),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

// Only atoms 0 .. N-1, the spin rows and the arrays of the model's shape are written: structural rows, spare
// atoms and (L = 0 without chirality) the raw1 densities keep what they held.
TEST_F(SpinDescriptorSymmetry, WritesOnlyWhatItOwns) {
  const SpinCase shape{"plain", 1, 3, 0, 0, 4.5, 12, false};
  const auto model = load_spin_model(shape);
  const ModelProtocol& p = model->protocol();
  const SpinScene scene = spin_scene(*model, shape.atoms, 4);
  const SpinDeviceResult r =
      run_spin_descriptors(*model, scene.structure, scene.lists, scene.spins, scene.structure.box());
  for (int d = 0; d < p.descriptor_dim; ++d) {
    for (std::size_t atom = 0; atom < r.capacity; ++atom) {
      const bool owned = d >= p.structural_descriptor_dim && atom < static_cast<std::size_t>(shape.atoms);
      const float value = r.descriptors[d * r.capacity + atom];
      if (owned) {
        EXPECT_NE(value, kUntouched) << "row " << d << " atom " << atom;
      } else {
        EXPECT_EQ(value, kUntouched) << "row " << d << " atom " << atom;
      }
    }
  }
  for (float v : r.raw1) EXPECT_EQ(v, kUntouched);
  for (float v : r.raw1_dot) EXPECT_EQ(v, kUntouched);
}

// The stage's refusals of the model shape, thrown before any array is looked at.
struct ShapeRefusal {
  const char* name;
  ModelProtocol protocol;
  const char* message;
};

// The spin descriptor dimension the reader gives a shape: kC + 2, k = 7, 11, 12, 13, 14 for L = 0 .. 4, plus
// min(C, 2) + 2C with chirality.
ModelProtocol with_spin_dim(ModelProtocol p) {
  constexpr int kRowsPerChannel[] = {7, 11, 12, 13, 14};
  const int c = p.spin_compress;
  const int per_channel = p.spin_l_max >= 0 && p.spin_l_max <= 4 ? kRowsPerChannel[p.spin_l_max] : 7;
  p.spin_descriptor_dim = per_channel * c + 2 + (p.spin_chiral != 0 ? std::min(c, 2) + 2 * c : 0);
  return p;
}

std::vector<ShapeRefusal> shape_refusals() {
  using test_support::spin_protocol;
  const char* core =
      "CUDA spin core requires 1 <= spin_compress <= 4, spin_compress <= spin_basis_size + 1 <= 8, "
      "and spin_l_max <= 4";
  ModelProtocol not_spin = with_spin_dim(spin_protocol(1, 3, 0, 0));
  not_spin.spin_mode = 0;
  ModelProtocol zero_dim = spin_protocol(1, 3, 0, 0);
  zero_dim.spin_descriptor_dim = 0;
  ModelProtocol too_wide = spin_protocol(4, 7, 4, 1);
  too_wide.spin_descriptor_dim = 97;
  ModelProtocol mismatch = with_spin_dim(spin_protocol(2, 3, 2, 1));
  mismatch.spin_descriptor_dim -= 1;
  return {
      {"NotSpin", not_spin, "spin descriptor requires spin model"},
      {"NoChannels", with_spin_dim(spin_protocol(0, 3, 0, 0)), core},
      {"FiveChannels", with_spin_dim(spin_protocol(5, 7, 0, 0)), core},
      {"ChannelsBeyondBasis", with_spin_dim(spin_protocol(3, 1, 0, 0)), core},
      {"NineBasisFunctions", with_spin_dim(spin_protocol(2, 8, 0, 0)), core},
      {"NegativeOrder", with_spin_dim(spin_protocol(2, 3, -1, 0)), core},
      {"OrderFive", with_spin_dim(spin_protocol(2, 3, 5, 0)), core},
      {"ZeroDimension", zero_dim, "spin descriptor dimension must be positive"},
      {"AboveNinetySix", too_wide, "spin descriptor kernel supports spin descriptor dim <= 96"},
      {"LayoutMismatch", mismatch, "spin descriptor layout does not match model protocol"},
  };
}

class SpinDescriptorRefusesShape : public ::testing::TestWithParam<ShapeRefusal> {};

TEST_P(SpinDescriptorRefusesShape, WithItsMessage) {
  DeviceModel model;
  DeviceWorkspace workspace;
  EXPECT_THAT([&] { build_spin_descriptors_on_device(GetParam().protocol, 1, SimulationBox{}, model, workspace); },
              ThrowsMessage<std::runtime_error>(StrEq(GetParam().message)));
}

INSTANTIATE_TEST_SUITE_P(Limits, SpinDescriptorRefusesShape, ::testing::ValuesIn(shape_refusals()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

// The stage's refusals of the atom count, the work arrays and the model arrays, each with its own message.
struct BufferRefusal {
  const char* name;
  int chiral;
  int l_max;
  int atom_count;       // relative to the capacity when negative_from_capacity
  const char* dropped;  // workspace array left out of the plan, or null
  bool ordinary_model;  // a model without spin tables
  bool short_coefficients;
  const char* message;
};

class SpinDescriptorRefusesBuffers : public test_support::DeviceTest,
                                     public ::testing::WithParamInterface<BufferRefusal> {};

constexpr int kRefusalCapacity = 4;

TEST_P(SpinDescriptorRefusesBuffers, WithItsMessage) {
  const BufferRefusal c = GetParam();
  const SpinCase shape{"refusal", 2, 3, c.l_max, c.chiral, 4.5, 4, false};
  const auto model = load_spin_model(shape);
  ModelProtocol p = model->protocol();
  if (c.short_coefficients) p.descriptor_coefficient_count += 1;
  WorkspacePlan plan = make_internal_neighbor_workspace_plan(p, kRefusalCapacity, 1, false);
  if (c.dropped != nullptr) plan = test_support::without_array(plan, c.dropped);
  DeviceWorkspace workspace(plan);
  std::unique_ptr<LoadedModel> ordinary;
  if (c.ordinary_model) ordinary = test_support::load_model(test_support::compact_shape("nep4", {"Fe", "Co"}, 7));
  const DeviceModel& device_model = c.ordinary_model ? ordinary->device : model->device;
  EXPECT_THAT([&] { build_spin_descriptors_on_device(p, c.atom_count, SimulationBox{}, device_model, workspace); },
              ThrowsMessage<std::runtime_error>(StrEq(c.message)));
}

std::vector<BufferRefusal> buffer_refusals() {
  return {
      {"AboveCapacity", 0, 2, kRefusalCapacity + 1, nullptr, false, false,
       "atom_count exceeds workspace atom capacity"},
      {"NegativeCount", 0, 2, -1, nullptr, false, false, "atom_count exceeds workspace atom capacity"},
      {"Types", 0, 2, 1, "types", false, false, "workspace missing types"},
      {"SpinMasks", 0, 2, 1, nullptr, true, false, "model missing spin type masks"},
      {"Positions", 0, 2, 1, "positions_soa3", false, false, "workspace missing positions"},
      {"Spins", 0, 2, 1, "spins_soa3", false, false, "workspace missing spins"},
      {"Counts", 0, 2, 1, "nn_radial", false, false, "workspace missing radial neighbor counts"},
      {"Neighbors", 0, 2, 1, "nl_radial_slot_major", false, false, "workspace missing radial neighbors"},
      {"Descriptors", 0, 2, 1, "descriptors", false, false, "workspace missing descriptors"},
      {"Rho0", 0, 2, 1, "spin_density_rho0", false, false, "workspace missing spin density rho0"},
      {"Raw1AtOrderZero", 0, 0, 1, "spin_density_raw1", false, false, "workspace missing spin density raw1"},
      {"Angular2", 0, 2, 1, "spin_density_angular2", false, false, "workspace missing spin density angular2"},
      {"Angular3", 0, 3, 1, "spin_density_angular3", false, false, "workspace missing spin density angular3"},
      {"Angular4", 0, 4, 1, "spin_density_angular4", false, false, "workspace missing spin density angular4"},
      {"Geom", 0, 2, 1, "spin_density_geom", false, false, "workspace missing spin density geom"},
      {"Rho0Dot", 0, 2, 1, "spin_density_rho0_dot", false, false, "workspace missing spin density rho0 dot"},
      {"Raw1DotAtOrderZero", 0, 0, 1, "spin_density_raw1_dot", false, false, "workspace missing spin density raw1 dot"},
      {"Polar", 1, 2, 1, "spin_chiral_polar", false, false, "workspace missing spin chiral polar"},
      {"Octupoles", 1, 2, 1, "spin_chiral_octupoles_raw", false, false, "workspace missing spin chiral octupoles raw"},
      {"Hexadecapoles", 1, 2, 1, "spin_chiral_hexadecapoles_raw", false, false,
       "workspace missing spin chiral hexadecapoles raw"},
      {"Chirals", 1, 2, 1, "spin_chiral_chirals", false, false, "workspace missing spin chiral chirals"},
      {"ShortCoefficients", 0, 2, 1, nullptr, false, true, "model descriptor coefficient buffer is too small"},
  };
}

INSTANTIATE_TEST_SUITE_P(Arrays, SpinDescriptorRefusesBuffers, ::testing::ValuesIn(buffer_refusals()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

// Without the chiral block the chiral arrays are not needed, and an empty evaluation launches nothing.
TEST_F(SpinDescriptorSymmetry, NonChiralModelsNeedNoChiralArraysAndEmptyRunsSucceed) {
  const SpinCase shape{"plain", 2, 3, 1, 0, 4.5, 4, false};
  const auto model = load_spin_model(shape);
  WorkspacePlan plan = make_internal_neighbor_workspace_plan(model->protocol(), kRefusalCapacity, 1, false);
  DeviceWorkspace workspace(plan);
  EXPECT_NO_THROW(build_spin_descriptors_on_device(model->protocol(), 0, SimulationBox{}, model->device, workspace));
}

// An atom of a type outside the model (no spin tables) is treated as spinless: zero rows of its own, and no
// contribution to its neighbors.
TEST_F(SpinDescriptorSymmetry, AtomsOfATypeOutsideTheModelAreSpinless) {
  const SpinCase shape{"plain", 2, 3, 2, 1, 4.5, 16, false};
  const auto model = load_spin_model(shape);
  const ModelProtocol& p = model->protocol();
  const SpinScene scene = spin_scene(*model, shape.atoms, 8);
  constexpr int kStranger = 0;
  Structure staged = scene.structure;
  staged.types[kStranger] = p.num_types;
  NeighborLists lists = scene.lists;
  for (int i = 0; i < staged.size(); ++i) {
    if (i == kStranger) continue;
    if (std::find(lists.radial[i].begin(), lists.radial[i].end(), kStranger) == lists.radial[i].end()) {
      lists.radial[i].push_back(kStranger);  // listed, within reach or not: the kernel must skip it by type
    }
  }
  const SpinDeviceResult r = run_spin_descriptors(*model, staged, lists, scene.spins, staged.box());
  const test_support::SpinModelSettings settings = settings_of(*model);
  for (int row = 0; row < p.spin_descriptor_dim; ++row) EXPECT_EQ(r.row(row, kStranger), 0.0f) << "row " << row;
  for (int i = 0; i < staged.size(); ++i) {
    if (i == kStranger) continue;
    std::vector<int> known = lists.radial[i];
    known.erase(std::remove(known.begin(), known.end(), kStranger), known.end());
    const test_support::SpinAtomReference ref =
        test_support::spin_atom_reference(settings, scene.structure, scene.spins, known, i);
    double scale = 0.0;
    for (double v : ref.rows) scale = std::max(scale, std::abs(v));
    for (int row = 0; row < p.spin_descriptor_dim; ++row) {
      expect_close(r.row(row, i), ref.rows[row], scale, "atom " + std::to_string(i) + " row " + std::to_string(row));
    }
  }
}

// Without periodic flags (the LAMMPS identity box) separations are plain differences: two atoms 1 Angstrom apart
// only through the periodic boundary see each other in the periodic cell and not in the open one.
TEST_F(SpinDescriptorSymmetry, OpenBoxesTakeNoMinimumImage) {
  const SpinCase shape{"plain", 1, 3, 0, 0, 4.5, 2, false};
  const auto model = load_spin_model(shape);
  constexpr double kEdge = 10.0;  // Angstrom
  Structure pair;
  pair.cell = {kEdge, 0.0, 0.0, 0.0, kEdge, 0.0, 0.0, 0.0, kEdge};
  pair.types = {0, 0};
  pair.positions = {{0.5, 5.0, 5.0}, {kEdge - 0.5, 5.0, 5.0}};
  NeighborLists lists;
  lists.radial = {{1}, {0}};
  lists.angular = {{}, {}};
  const std::vector<Spin> spins = {{0.0, 0.0, 1.0}, {0.0, 0.6, 0.8}};
  SimulationBox open = pair.box();
  open.pbc[0] = open.pbc[1] = open.pbc[2] = 0;
  const SpinDeviceResult periodic = run_spin_descriptors(*model, pair, lists, spins, pair.box());
  const SpinDeviceResult plain = run_spin_descriptors(*model, pair, lists, spins, open);
  const test_support::SpinAtomReference ref =
      test_support::spin_atom_reference(settings_of(*model), pair, spins, lists.radial[0], 0);
  ASSERT_EQ(ref.counted, 1);
  const int first_pair_sum = 2;  // S_i . S_j weighted: non-zero for the counted pair
  expect_close(periodic.row(first_pair_sum, 0), ref.rows[first_pair_sum], std::abs(ref.rows[first_pair_sum]),
               "periodic");
  EXPECT_NE(periodic.row(first_pair_sum, 0), 0.0f);
  for (int row = first_pair_sum; row < model->protocol().spin_descriptor_dim; ++row) {
    EXPECT_EQ(plain.row(row, 0), 0.0f) << "row " << row;
  }
}

}  // namespace
}  // namespace quarvel::cuda_backend
