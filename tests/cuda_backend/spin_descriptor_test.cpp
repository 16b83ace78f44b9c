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
  return {p.spin_compress, p.spin_basis_size_radial, p.spin_l_max,        p.spin_chiral != 0,
          p.spin_cutoff,   p.num_types,              p.spin_dof_type,     p.spin_env_type,
          model.written.spin_by_pair};
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

std::vector<float> download_or_empty(const float* device, std::size_t count) {
  return device == nullptr ? std::vector<float>{} : test_support::download(device, count);
}

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
  const auto sized = [&](float* device, int width, int channels) {
    const std::size_t count = a * static_cast<std::size_t>(width * channels);
    if (device != nullptr) test_support::upload(device, std::vector<float>(count, kUntouched));
    return count;
  };
  const std::size_t n_desc = sized(v.descriptors, p.descriptor_dim, 1);
  const std::size_t n_rho0 = sized(v.spin_density_rho0, 3, c), n_raw1 = sized(v.spin_density_raw1, 9, c),
                    n_a2 = sized(v.spin_density_angular2, 15, c), n_a3 = sized(v.spin_density_angular3, 21, c),
                    n_a4 = sized(v.spin_density_angular4, 27, c), n_geom = sized(v.spin_density_geom, 6, c),
                    n_rd = sized(v.spin_density_rho0_dot, 3, c), n_r1d = sized(v.spin_density_raw1_dot, 9, c),
                    n_pol = sized(v.spin_chiral_polar, 3, c), n_oct = sized(v.spin_chiral_octupoles_raw, 7, c),
                    n_hex = sized(v.spin_chiral_hexadecapoles_raw, 9, k), n_chi = sized(v.spin_chiral_chirals, 1, k);
  build_spin_descriptors_on_device(p, s.size(), box, model.device, workspace);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  SpinDeviceResult r;
  r.capacity = a;
  r.first_spin_row = p.structural_descriptor_dim;
  r.descriptors = test_support::download(v.descriptors, n_desc);
  r.rho0 = download_or_empty(v.spin_density_rho0, n_rho0);
  r.raw1 = download_or_empty(v.spin_density_raw1, n_raw1);
  r.angular2 = download_or_empty(v.spin_density_angular2, n_a2);
  r.angular3 = download_or_empty(v.spin_density_angular3, n_a3);
  r.angular4 = download_or_empty(v.spin_density_angular4, n_a4);
  r.geom = download_or_empty(v.spin_density_geom, n_geom);
  r.rho0_dot = download_or_empty(v.spin_density_rho0_dot, n_rd);
  r.raw1_dot = download_or_empty(v.spin_density_raw1_dot, n_r1d);
  r.polar = download_or_empty(v.spin_chiral_polar, n_pol);
  r.octupoles = download_or_empty(v.spin_chiral_octupoles_raw, n_oct);
  r.hexadecapoles = download_or_empty(v.spin_chiral_hexadecapoles_raw, n_hex);
  r.chirals = download_or_empty(v.spin_chiral_chirals, n_chi);
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
    ::testing::Values(SpinCase{"OneChannelL0", 1, 3, 0, 0, 4.5, 24, false}, SpinCase{"TwoChannelsL2Chiral", 2, 3, 2, 1, 4.5, 24, false},
                      SpinCase{"ThreeChannelsL1Chiral", 3, 5, 1, 1, 4.5, 20, false}, SpinCase{"FourChannelsL4Chiral", 4, 7, 4, 1, 4.5, 20, false},
                      SpinCase{"TwoChannelsL3", 2, 2, 3, 0, 4.5, 20, false}, SpinCase{"OneChannelL0Chiral", 1, 0, 0, 1, 4.5, 20, false},
                      // cutoff large enough that some atoms stream more than one batch of 64 neighbors
                      SpinCase{"TwoBatches", 2, 3, 1, 1, 7.2, 240, true}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

}  // namespace
}  // namespace quarvel::cuda_backend
