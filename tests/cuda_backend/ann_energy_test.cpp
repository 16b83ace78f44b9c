#include "cuda_backend/ann_energy.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "cuda_backend/workspace_plan.hpp"
#include "support/device_test.hpp"
#include "support/loaded_model.hpp"
#include "support/network_reference.hpp"
#include "support/protocol_shapes.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::LoadedModel;
using test_support::ModelShape;
using test_support::ReferenceNetwork;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

constexpr double kUntouchedEnergy = -777.0;  // prefilled potential: unwritten atoms keep it
constexpr float kUntouchedFp = -555.0f;
constexpr double kDescriptorRange = 0.3;  // unscaled descriptors drawn from [-range, range]
// Single precision: float sums over a few dozen weighted terms, relative to the sum of their magnitudes.
constexpr double kFloatRelative = 2e-6;

struct NetworkCase {
  const char* name;
  const char* family;
  int types;
  int hidden;
  int hidden2;
  int n_max_radial;  // with the angular order, sets D: (n_max_radial + 1) + 3 (l_max + 1) with q222
  int l_max;         // 0: a radial-only model, D = n_max_radial + 1
};

void PrintTo(const NetworkCase& c, std::ostream* os) { *os << c.name; }

ModelShape network_shape(const NetworkCase& c) {
  ModelShape shape = test_support::compact_shape(c.family, {}, static_cast<std::uint32_t>(5 + c.hidden));
  const std::vector<std::string> elements = {"Si", "O", "H"};
  shape.elements.assign(elements.begin(), elements.begin() + c.types);
  shape.n_max_radial = c.n_max_radial;
  shape.n_max_angular = 2;
  shape.l_max_3body = c.l_max;
  if (c.l_max >= 2) shape.q222 = 1;
  shape.hidden_neurons = c.hidden;
  shape.hidden_neurons2 = c.hidden2;
  return shape;
}

// Atoms of one evaluation: types (some outside the model) and unscaled descriptors.
struct NetworkInput {
  std::vector<std::int32_t> types;
  std::vector<std::vector<double>> descriptors;  // [atom][d]
};

// Schedule block 0 mixes every type with a few unknown ones; block 1 holds only type 0.
NetworkInput network_input(int types, int descriptor_dim, int atoms, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> value(-kDescriptorRange, kDescriptorRange);
  NetworkInput in;
  for (int i = 0; i < atoms; ++i) {
    std::int32_t t = i < kTypeScheduleAtomsPerBlock ? static_cast<std::int32_t>((i * 7 + i / 5) % types) : 0;
    if (i == 5) t = types;
    if (i == 40) t = -1;
    in.types.push_back(t);
    std::vector<double> q;
    for (int d = 0; d < descriptor_dim; ++d) q.push_back(value(rng));
    in.descriptors.push_back(q);
  }
  return in;
}

struct NetworkOutput {
  std::vector<double> potential;
  std::vector<float> fp;  // [d][capacity]
  std::vector<std::int32_t> schedule;
  std::vector<std::int32_t> active_types;
};

NetworkOutput run_network(const LoadedModel& model, const NetworkInput& in, std::size_t capacity) {
  const ModelProtocol& p = model.protocol();
  const std::size_t d = static_cast<std::size_t>(p.descriptor_dim);
  DeviceWorkspace workspace(make_internal_neighbor_workspace_plan(p, capacity, 1, false));
  const DeviceWorkspaceView v = workspace.view();
  std::vector<std::int32_t> types(capacity, 0);
  std::vector<float> descriptors(d * capacity, 0.0f);
  for (std::size_t i = 0; i < in.types.size(); ++i) {
    types[i] = in.types[i];
    for (std::size_t k = 0; k < d; ++k) descriptors[k * capacity + i] = static_cast<float>(in.descriptors[i][k]);
  }
  test_support::upload(v.types, types);
  test_support::upload(v.descriptors, descriptors);
  test_support::upload(v.potential, std::vector<double>(capacity, kUntouchedEnergy));
  test_support::upload(v.fp, std::vector<float>(d * capacity, kUntouchedFp));
  evaluate_ann_energy_on_device(p, static_cast<int>(in.types.size()), model.device, workspace);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  NetworkOutput out;
  out.potential = test_support::download(v.potential, capacity);
  out.fp = test_support::download(v.fp, d * capacity);
  if (v.type_scheduled_atoms != nullptr) {
    out.schedule = test_support::download(v.type_scheduled_atoms, capacity);
    out.active_types = test_support::download(v.type_schedule_active_type_counts,
                                              (capacity + kTypeScheduleAtomsPerBlock - 1) / kTypeScheduleAtomsPerBlock);
  }
  return out;
}

class NetworkKernel : public test_support::DeviceTest, public ::testing::WithParamInterface<NetworkCase> {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    if (IsSkipped()) return;
    model_ = test_support::load_model(network_shape(GetParam()));
    reference_ = {&model_->written, model_->protocol().descriptor_dim, GetParam().hidden, GetParam().hidden2};
  }

  // Energies and fp of every valid atom against the double reference; atoms of unknown type untouched.
  void expect_matches_reference(const NetworkInput& in, const NetworkOutput& out, std::size_t capacity,
                                const std::vector<double>& baseline) const {
    const int types = model_->protocol().num_types;
    for (std::size_t i = 0; i < in.types.size(); ++i) {
      const int t = in.types[i];
      if (t < 0 || t >= types) {
        EXPECT_EQ(out.potential[i], kUntouchedEnergy) << "atom " << i;
        for (int d = 0; d < reference_.descriptor_dim; ++d) EXPECT_EQ(out.fp[d * capacity + i], kUntouchedFp) << i;
        continue;
      }
      double magnitude = 0.0;
      const double e = reference_.energy(t, in.descriptors[i], &magnitude);
      const double base = baseline.empty() ? 0.0 : baseline[static_cast<std::size_t>(t)];
      EXPECT_NEAR(out.potential[i], base + e, kFloatRelative * magnitude * reference_.descriptor_dim) << "atom " << i;
      const std::vector<double> g = reference_.gradient(t, in.descriptors[i]);
      for (int d = 0; d < reference_.descriptor_dim; ++d) {
        // Float network against a central difference of the double energy (truncation ~ step^2, negligible).
        EXPECT_NEAR(out.fp[d * capacity + i], g[d], 1e-5 * magnitude * (1.0 + std::fabs(g[d])))
            << "atom " << i << " component " << d;
      }
    }
  }

  std::unique_ptr<LoadedModel> model_;
  ReferenceNetwork reference_{};
};

TEST_P(NetworkKernel, EnergiesAndDescriptorDerivativesMatchTheReference) {
  const int atoms = kTypeScheduleAtomsPerBlock + 77;
  const std::size_t capacity = static_cast<std::size_t>(atoms) + 5;
  const NetworkInput in = network_input(model_->protocol().num_types, reference_.descriptor_dim, atoms, 3);
  const NetworkOutput out = run_network(*model_, in, capacity);
  expect_matches_reference(in, out, capacity, {});
  for (std::size_t i = static_cast<std::size_t>(atoms); i < capacity; ++i)
    EXPECT_EQ(out.potential[i], kUntouchedEnergy);
}

TEST_P(NetworkKernel, ScheduleGroupsEachBlockByType) {
  const int types = model_->protocol().num_types;
  if (types < 2) GTEST_SKIP() << "one type builds no schedule";
  const int atoms = kTypeScheduleAtomsPerBlock + 77;
  const std::size_t capacity = static_cast<std::size_t>(atoms) + 5;
  const NetworkInput in = network_input(types, reference_.descriptor_dim, atoms, 4);
  const NetworkOutput out = run_network(*model_, in, capacity);
  ASSERT_EQ(out.active_types.size(), 2u);
  EXPECT_EQ(out.active_types[0], types);
  EXPECT_EQ(out.active_types[1], 1);
  // Block 0: a permutation of its atoms, ascending type, unknown types last.
  std::vector<std::int32_t> block(out.schedule.begin(), out.schedule.begin() + kTypeScheduleAtomsPerBlock);
  std::set<std::int32_t> seen(block.begin(), block.end());
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kTypeScheduleAtomsPerBlock));
  EXPECT_EQ(*seen.begin(), 0);
  EXPECT_EQ(*seen.rbegin(), kTypeScheduleAtomsPerBlock - 1);
  const auto rank = [&](std::int32_t atom) {
    const int t = in.types[static_cast<std::size_t>(atom)];
    return t >= 0 && t < types ? t : types;
  };
  for (std::size_t k = 1; k < block.size(); ++k) EXPECT_LE(rank(block[k - 1]), rank(block[k])) << "position " << k;
}

TEST_P(NetworkKernel, NoAtomsLaunchNothing) {
  const NetworkInput in;
  const NetworkOutput out = run_network(*model_, in, 8);
  for (double e : out.potential) EXPECT_EQ(e, kUntouchedEnergy);
}

INSTANTIATE_TEST_SUITE_P(Networks, NetworkKernel,
                         ::testing::Values(NetworkCase{"Nep4OneType", "nep4", 1, 6, 0, 3, 3},
                                           NetworkCase{"Nep4ThreeTypesOddD", "nep4", 3, 5, 0, 4, 3},
                                           NetworkCase{"Nep4TwoLayers", "nep4", 2, 6, 4, 3, 2},
                                           NetworkCase{"Nep5TypeBias", "nep5", 2, 7, 0, 5, 3},
                                           NetworkCase{"Nep4WideHidden", "nep4", 2, 40, 0, 3, 3},
                                           NetworkCase{"Nep4TwoDescriptors", "nep4", 2, 3, 0, 1, 0}),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

class NetworkEdges : public test_support::DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    if (IsSkipped()) return;
    model_ = test_support::load_model(network_shape({"TwoTypes", "nep4", 2, 4, 0, 3, 3}));
  }
  std::unique_ptr<LoadedModel> model_;
};

TEST_F(NetworkEdges, PerTypeBaselineIsAddedInDoublePrecision) {
  const std::vector<double> baseline = {-1234.5678901234, 0.125};
  model_->host.spin_baseline = baseline;
  model_->device = DeviceModel(model_->host);
  const ReferenceNetwork reference{&model_->written, model_->protocol().descriptor_dim, 4, 0};
  const NetworkInput in = network_input(2, reference.descriptor_dim, 50, 8);
  const NetworkOutput out = run_network(*model_, in, 50);
  for (std::size_t i = 0; i < in.types.size(); ++i) {
    const int t = in.types[i];
    if (t < 0 || t >= 2) continue;
    double magnitude = 0.0;
    const double e = reference.energy(t, in.descriptors[i], &magnitude);
    // The baseline keeps its double digits; only the float network energy is rounded.
    EXPECT_NEAR(out.potential[i], baseline[static_cast<std::size_t>(t)] + e,
                kFloatRelative * magnitude * reference.descriptor_dim);
  }
}

struct NetworkRefusal {
  const char* name;
  std::function<void(ModelProtocol&, int&, WorkspacePlan&, LoadedModel&)> breaks;
  const char* message;
};

void PrintTo(const NetworkRefusal& c, std::ostream* os) { *os << c.name; }

std::vector<NetworkRefusal> network_refusals() {
  using P = ModelProtocol;
  using W = WorkspacePlan;
  using M = LoadedModel;
  const auto drop = [](W& w, const char* name) { w = test_support::without_array(w, name); };
  return {
      {"NegativeAtoms", [](P&, int& n, W&, M&) { n = -1; }, "atom_count must be non-negative"},
      {"VersionThree", [](P& p, int&, W&, M&) { p.version = 3; }, "ANN energy kernel supports NEP4/NEP5"},
      {"NoTypes", [](P& p, int&, W&, M&) { p.num_types = 0; }, "num_types must be positive"},
      {"NoDescriptors", [](P& p, int&, W&, M&) { p.descriptor_dim = 0; }, "descriptor_dim must be positive"},
      {"NoHiddenNeurons", [](P& p, int&, W&, M&) { p.hidden_neurons = 0; }, "hidden_neurons must be positive"},
      {"SecondLayerTooWide", [](P& p, int&, W&, M&) { p.hidden_neurons2 = 121; },
       "ANN energy kernel supports hidden_neurons2 <= 120"},
      {"TooManyAtoms", [](P&, int& n, W& w, M&) { n = static_cast<int>(w.atom_capacity) + 1; },
       "atom_count exceeds workspace atom capacity"},
      {"NoScheduleArray", [drop](P&, int&, W& w, M&) { drop(w, "type_scheduled_atoms"); },
       "workspace missing atom type schedule"},
      {"NoScheduleCounts", [drop](P&, int&, W& w, M&) { drop(w, "type_schedule_active_type_counts"); },
       "workspace missing atom type schedule active-type counts"},
      {"NoParameters",
       [](P&, int&, W&, M& m) {
         m.host.ann_type_major_qscaled.clear();
         m.device = DeviceModel(m.host);
       },
       "model missing q-scaled ANN parameters"},
      {"NoScaler",
       [](P&, int&, W&, M& m) {
         m.host.q_scaler.clear();
         m.device = DeviceModel(m.host);
       },
       "model missing q_scaler"},
      {"ParametersTooFew", [](P& p, int&, W&, M&) { p.ann_parameter_count += 1; },
       "q-scaled ANN parameter buffer is too small"},
      {"ScalerTooShort",
       [](P&, int&, W&, M& m) {
         m.host.q_scaler.pop_back();
         m.device = DeviceModel(m.host);
       },
       "q_scaler buffer is too small"},
      {"Types", [drop](P&, int&, W& w, M&) { drop(w, "types"); }, "workspace missing atom types"},
      {"Descriptors", [drop](P&, int&, W& w, M&) { drop(w, "descriptors"); }, "workspace missing descriptors"},
      {"Potential", [drop](P&, int&, W& w, M&) { drop(w, "potential"); }, "workspace missing potential output"},
      {"Fp", [drop](P&, int&, W& w, M&) { drop(w, "fp"); }, "workspace missing descriptor derivative cache"},
  };
}

class NetworkLauncherRefuses : public NetworkEdges, public ::testing::WithParamInterface<NetworkRefusal> {};

TEST_P(NetworkLauncherRefuses, WithItsMessage) {
  ModelProtocol protocol = model_->protocol();
  int atoms = 4;
  WorkspacePlan plan = make_internal_neighbor_workspace_plan(protocol, 8, 1, false);
  GetParam().breaks(protocol, atoms, plan, *model_);
  DeviceWorkspace workspace(plan);
  EXPECT_THAT([&] { evaluate_ann_energy_on_device(protocol, atoms, model_->device, workspace); },
              ThrowsMessage<std::runtime_error>(StrEq(GetParam().message)));
}

INSTANTIATE_TEST_SUITE_P(Limits, NetworkLauncherRefuses, ::testing::ValuesIn(network_refusals()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

TEST_F(NetworkEdges, ScheduleBuilderDoesNothingForOneTypeOrNoAtoms) {
  ModelProtocol one_type = model_->protocol();
  one_type.num_types = 1;
  DeviceWorkspace bare(test_support::without_array(
      make_internal_neighbor_workspace_plan(model_->protocol(), 8, 1, false), "type_scheduled_atoms"));
  EXPECT_NO_THROW(build_atom_type_schedule_on_device(one_type, 8, bare));
  EXPECT_NO_THROW(build_atom_type_schedule_on_device(model_->protocol(), 0, bare));
  EXPECT_THAT([&] { build_atom_type_schedule_on_device(model_->protocol(), 8, bare); },
              ThrowsMessage<std::runtime_error>(StrEq("workspace missing atom type schedule")));
  EXPECT_THAT([&] { build_atom_type_schedule_on_device(model_->protocol(), -1, bare); },
              ThrowsMessage<std::runtime_error>(StrEq("atom_count must be non-negative")));
}

}  // namespace
}  // namespace quarvel::cuda_backend
