// Born effective charges of one staged structure against their definition, built from finite differences of the
// network's raw charges; and the refusals of the charge network, neutrality, chain and effective-charge launchers.
#include "cuda_backend/qnep_bec.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "cuda_backend/ann_energy.hpp"
#include "cuda_backend/pipeline_stages.hpp"
#include "cuda_backend/qnep_ann_energy.hpp"
#include "support/descriptor_structures.hpp"
#include "support/device_test.hpp"
#include "support/finite_difference.hpp"
#include "support/loaded_model.hpp"
#include "support/model_file_writer.hpp"
#include "support/protocol_shapes.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::download;
using test_support::LoadedModel;
using test_support::ModelShape;
using test_support::Structure;
using test_support::Vec3;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

constexpr double kCutoff = 4.0;    // Angstrom
constexpr int kSpare = 3;          // workspace atoms beyond the structure's
constexpr float kScale = 1.5f;     // sqrt_epsilon_inf passed to the operation
constexpr double kStep = 1e-3;     // Angstrom: central differences of float charges
constexpr int kBecComponents = 9;  // row-major per atom

ModelShape bec_shape(const char* family, std::vector<std::string> elements, int l_max) {
  ModelShape s = test_support::compact_shape(family, std::move(elements), 9);
  s.cutoff_radial = {kCutoff};
  s.cutoff_angular = {3.5};
  s.l_max_3body = l_max;
  s.hidden_neurons = 4;
  return s;
}

// A structure staged with brute-force lists, its descriptors and raw network charges computed.
struct ChargeStage {
  std::unique_ptr<LoadedModel> model;
  DeviceWorkspace workspace;

  ChargeStage(const ModelShape& shape, int atoms) : model(test_support::load_model(shape)) {
    workspace = DeviceWorkspace(make_internal_neighbor_workspace_plan(protocol(), atoms + kSpare, 1, false));
  }
  const ModelProtocol& protocol() const { return model->protocol(); }

  // Raw (not yet neutral) charges of `s`, with fp and charge_derivative of the same positions left behind.
  std::vector<double> raw_charges(const Structure& s) {
    const ModelProtocol& p = protocol();
    test_support::stage_structures({s}, {test_support::brute_force_lists(s, p.cutoff_radial, p.cutoff_angular,
                                                                         p.num_types)},
                                   workspace.view());
    build_descriptor_core_from_positions_on_device(p, s.size(), s.box(), model->device, workspace,
                                                   DescriptorCoreTopology::single_box);
    evaluate_qnep_ann_on_device(p, s.size(), model->device, workspace);
    if (p.body_channels.channel_count() > 0) build_atom_type_schedule_on_device(p, s.size(), workspace);
    return download(workspace.view().charge, static_cast<std::size_t>(s.size()));
  }
};

struct BecCase {
  const char* name;
  ModelShape shape;
};

void PrintTo(const BecCase& c, std::ostream* os) { *os << c.name; }

class QnepBec : public test_support::DeviceTest, public ::testing::WithParamInterface<BecCase> {};

// s (q_i delta_ab + 1/2 sum_j d_ij,a dQ_i/dr_j,b - 1/2 sum_k d_ki,a dQ_k/dr_i,b), d_ij = r_j - r_i, Q the raw
// network charges and q the neutral ones.
TEST_P(QnepBec, MatchesItsDefinitionFromChargeDifferences) {
  const int atoms = 12;
  ChargeStage stage(GetParam().shape, atoms);
  const Structure s = test_support::random_structure(atoms, stage.protocol().num_types, kCutoff, 31);
  // gradient[k][j][b] = dQ_k / dr_j,b
  std::vector<std::vector<Vec3>> gradient(atoms, std::vector<Vec3>(atoms, Vec3{0.0, 0.0, 0.0}));
  for (int j = 0; j < atoms; ++j) {
    for (int b = 0; b < 3; ++b) {
      const std::vector<double> slopes = test_support::partial_derivative(
          s, [&](Structure& moved) -> double& { return moved.positions[j][b]; },
          [&](const Structure& moved) { return stage.raw_charges(moved); }, kStep);
      for (int k = 0; k < atoms; ++k) gradient[k][j][b] = slopes[k];
    }
  }
  std::vector<double> q = stage.raw_charges(s);
  double mean = 0.0;
  for (double x : q) mean += x / atoms;
  for (double& x : q) x -= mean;
  zero_total_charge_on_device(atoms, stage.workspace);
  compute_qnep_bec_on_device(stage.protocol(), atoms, s.box(), kScale, stage.model->device, stage.workspace);
  const DeviceWorkspaceView v = stage.workspace.view();
  const std::vector<double> bec = download(v.bec_soa9, kBecComponents * v.atom_capacity);

  double largest_pair_term = 0.0;
  for (int i = 0; i < atoms; ++i) {
    for (int a = 0; a < 3; ++a) {
      for (int b = 0; b < 3; ++b) {
        double expected = a == b ? q[i] : 0.0;
        for (int j = 0; j < atoms; ++j) {
          if (j == i) continue;
          expected += 0.5 * s.separation(i, j)[a] * gradient[i][j][b];
          expected -= 0.5 * s.separation(j, i)[a] * gradient[j][i][b];
        }
        largest_pair_term = std::max(largest_pair_term, std::abs(expected - (a == b ? q[i] : 0.0)));
        // Differences of float charges: 6e-8 relative rounding of charges near 1, over 2e-3 Angstrom, times
        // separations of a few Angstrom summed over ~10 neighbours.
        EXPECT_NEAR(bec[(3 * a + b) * v.atom_capacity + i], kScale * expected, 2e-3)
            << "atom " << i << " component " << a << b;
      }
    }
  }
  EXPECT_GT(largest_pair_term, 1e-2) << "charges that do not move with the atoms check nothing";
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, QnepBec,
    ::testing::Values(BecCase{"RadialOnly", bec_shape("nep4_charge1", {"Na", "Cl"}, 0)},
                      BecCase{"WithAngularChannels", bec_shape("nep4_charge3", {"Na", "Cl"}, 2)},
                      BecCase{"ThreeTypesHighOrder", bec_shape("nep4_zbl_charge2", {"Mg", "O", "H"}, 4)}),
    [](const ::testing::TestParamInfo<BecCase>& c) { return std::string(c.param.name); });

// ---------------------------------------------------------------------------------------------------------------
// Refusals: a good call with one input broken, and its message.

struct LauncherRefusal {
  const char* name;
  std::function<void(const ModelProtocol&, const DeviceModel&, DeviceWorkspace&)> call;
  const char* dropped_array;  // or null
  const char* message;
};

void PrintTo(const LauncherRefusal& c, std::ostream* os) { *os << c.name; }

class ChargeLaunchersRefuse : public test_support::DeviceTest,
                              public ::testing::WithParamInterface<LauncherRefusal> {};

TEST_P(ChargeLaunchersRefuse, WithTheirMessage) {
  const LauncherRefusal& c = GetParam();
  const std::unique_ptr<LoadedModel> model = test_support::load_model(bec_shape("nep4_charge1", {"Na", "Cl"}, 2));
  WorkspacePlan plan = make_internal_neighbor_workspace_plan(model->protocol(), 8, 1, false);
  if (c.dropped_array != nullptr) plan = test_support::without_array(plan, c.dropped_array);
  DeviceWorkspace workspace(plan);
  EXPECT_THAT([&] { c.call(model->protocol(), model->device, workspace); },
              ThrowsMessage<std::runtime_error>(StrEq(c.message)));
}

SimulationBox unit_box() {
  SimulationBox box{};
  for (int a = 0; a < 3; ++a) {
    box.box[4 * a] = 10.0;
    box.inverse[4 * a] = 0.1;
    box.pbc[a] = 1;
  }
  return box;
}

ModelProtocol changed(ModelProtocol p, const std::function<void(ModelProtocol&)>& change) {
  change(p);
  return p;
}

std::vector<LauncherRefusal> refusals() {
  const auto network = [](int atoms, std::function<void(ModelProtocol&)> change = [](ModelProtocol&) {}) {
    return [=](const ModelProtocol& p, const DeviceModel& m, DeviceWorkspace& w) {
      evaluate_qnep_ann_on_device(changed(p, change), atoms, m, w);
    };
  };
  const auto neutrality = [](int atoms) {
    return [=](const ModelProtocol&, const DeviceModel&, DeviceWorkspace& w) { zero_total_charge_on_device(atoms, w); };
  };
  const auto chain = [](int atoms, std::function<void(ModelProtocol&)> change = [](ModelProtocol&) {}) {
    return [=](const ModelProtocol& p, const DeviceModel&, DeviceWorkspace& w) {
      add_charge_chain_to_fp_on_device(changed(p, change), atoms, w);
    };
  };
  const auto bec = [](int atoms, std::function<void(ModelProtocol&)> change = [](ModelProtocol&) {}) {
    return [=](const ModelProtocol& p, const DeviceModel& m, DeviceWorkspace& w) {
      compute_qnep_bec_on_device(changed(p, change), atoms, unit_box(), kScale, m, w);
    };
  };
  const auto radial_bec = [](std::function<void(ModelProtocol&)> change = [](ModelProtocol&) {}) {
    return [=](const ModelProtocol& p, const DeviceModel& m, DeviceWorkspace& w) {
      accumulate_qnep_radial_bec_on_device(changed(p, change), 4, unit_box(), m, w);
    };
  };
  const auto no_charge = [](ModelProtocol& p) { p.charge_mode = 0; };
  return {
      {"NetworkNegativeAtoms", network(-1), nullptr, "atom_count must be non-negative"},
      {"NetworkVersion", network(4, [](ModelProtocol& p) { p.version = 5; }), nullptr,
       "qNEP ANN kernel supports NEP4 charge models"},
      {"NetworkChargeMode", network(4, no_charge), nullptr, "qNEP ANN kernel requires charge mode"},
      {"NetworkTypes", network(4, [](ModelProtocol& p) { p.num_types = 0; }), nullptr, "num_types must be positive"},
      {"NetworkDescriptors", network(4, [](ModelProtocol& p) { p.descriptor_dim = 0; }), nullptr,
       "descriptor_dim must be positive"},
      {"NetworkNeurons", network(4, [](ModelProtocol& p) { p.hidden_neurons = 0; }), nullptr,
       "hidden_neurons must be positive"},
      {"NetworkCapacity", network(9), nullptr, "atom_count exceeds workspace atom capacity"},
      {"NetworkParameters", network(4, [](ModelProtocol& p) { p.ann_parameter_count += 1; }), nullptr,
       "q-scaled ANN parameter buffer is too small"},
      {"NetworkTypesArray", network(4), "types", "workspace missing atom types"},
      {"NetworkDescriptorsArray", network(4), "descriptors", "workspace missing descriptors"},
      {"NetworkPotential", network(4), "potential", "workspace missing potential output"},
      {"NetworkCharge", network(4), "charge", "workspace missing charge output"},
      {"NetworkFp", network(4), "fp", "workspace missing descriptor derivative cache"},
      {"NetworkChargeDerivative", network(4), "charge_derivative", "workspace missing charge derivative cache"},
      {"NeutralityNoAtoms", neutrality(0), nullptr, "atom_count must be positive"},
      {"NeutralityCharge", neutrality(4), "charge", "workspace missing charge output"},
      {"ChainNegativeAtoms", chain(-1), nullptr, "atom_count must be non-negative"},
      {"ChainChargeMode", chain(4, no_charge), nullptr, "charge chain requires charge mode"},
      {"ChainCapacity", chain(9), nullptr, "atom_count exceeds workspace atom capacity"},
      {"ChainFp", chain(4), "fp", "workspace missing descriptor derivative cache"},
      {"ChainChargeDerivative", chain(4), "charge_derivative", "workspace missing charge derivative cache"},
      {"ChainDReal", chain(4), "d_real", "workspace missing D_real cache"},
      {"BecNoAtoms", bec(0), nullptr, "qNEP BEC atom count must be positive"},
      {"BecChargeMode", bec(4, no_charge), nullptr, "qNEP BEC requires a charge model"},
      {"BecCharge", bec(4), "charge", "workspace missing charge output"},
      {"BecOutput", bec(4), "bec_soa9", "workspace missing BEC output"},
      {"BecChargeDerivative", bec(4), "charge_derivative", "workspace missing charge derivative cache"},
      {"BecFp", bec(4), "fp", "workspace missing descriptor derivative cache"},
      {"BecForce", bec(4), "force_soa3", "workspace missing force scratch"},
      {"BecVirial", bec(4), "virial_soa9", "workspace missing virial scratch"},
      {"RadialBecChargeMode", radial_bec(no_charge), nullptr, "qNEP BEC requires a charge model"},
      {"RadialBecOutput", radial_bec(), "bec_soa9", "workspace missing BEC output"},
      {"RadialBecChargeDerivative", radial_bec(), "charge_derivative", "workspace missing charge derivative cache"},
  };
}

INSTANTIATE_TEST_SUITE_P(Launchers, ChargeLaunchersRefuse, ::testing::ValuesIn(refusals()),
                         [](const ::testing::TestParamInfo<LauncherRefusal>& c) { return std::string(c.param.name); });

// The scale is read from the host copy of the model; a model without it fails before any device work.
class QnepBecStep : public test_support::DeviceTest {};

TEST_F(QnepBecStep, RefusesAModelWithoutItsScale) {
  std::unique_ptr<LoadedModel> model = test_support::load_model(bec_shape("nep4_charge1", {"Na", "Cl"}, 2));
  model->host.ann_type_major.resize(static_cast<std::size_t>(model->host.sqrt_epsilon_inf_index));
  DeviceWorkspace workspace(make_internal_neighbor_workspace_plan(model->protocol(), 8, 1, false));
  QrvlFindForceResult result{};
  EXPECT_THAT(
      [&] {
        add_charge_model_bec_to_result(model->host, model->protocol(), 4, 0, unit_box(), model->device, workspace,
                                       result);
      },
      ThrowsMessage<std::runtime_error>(StrEq("qNEP model is missing sqrt_epsilon_inf")));
}

}  // namespace
}  // namespace quarvel::cuda_backend
