#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "lammps_driver_fixture.hpp"

namespace quarvel::cuda_backend::lammps_test {
namespace {

using test_support::DeviceCopy;
using test_support::DeviceLammpsInput;
using ::testing::Each;

constexpr double kUntouched = -4321.0;
constexpr const char* kIlistTooLong = "inum exceeds nlocal: ilist can name each local atom only once";
constexpr std::uint64_t kHeadroom = 1024;  // atoms a grown workspace gets beyond 1/64 more

// Caller-owned device outputs, atom-major with padded rows (atom stride 4 for three components, 10 for nine).
struct DeviceResult {
  DeviceCopy<double> energy, virial, potential, force, virial_per_atom;
  explicit DeviceResult(int atoms)
      : energy(std::vector<double>(1, kUntouched)),
        virial(std::vector<double>(6, kUntouched)),
        potential(std::vector<double>(atoms, kUntouched)),
        force(std::vector<double>(4 * atoms, kUntouched)),
        virial_per_atom(std::vector<double>(10 * atoms, kUntouched)) {}
  QrvlLammpsDeviceNeighborResult view(bool totals = true, bool per_atom_virials = false) const {
    QrvlLammpsDeviceNeighborResult r{};
    if (totals) {
      r.energy = energy.get();
      r.virial = virial.get();
    }
    r.potential = potential.get();
    r.force = force.get();
    r.force_atom_stride = 4;
    r.force_component_stride = 1;
    if (per_atom_virials) {
      r.virial_per_atom = virial_per_atom.get();
      r.virial_atom_stride = 10;
      r.virial_component_stride = 1;
    }
    return r;
  }
};

class DeviceLammpsDriverTest : public LammpsDriverTest {
 protected:
  // The caller's device arrays exist only once the base fixture has found a device.
  void SetUp() override {
    LammpsDriverTest::SetUp();
    if (IsSkipped()) return;
    input_.emplace(system_, kLammpsTypes, system_.longest_row());
  }

  std::optional<DeviceLammpsInput> input_;
};

// The stand-in pipeline's outputs land in the caller's arrays: forces of local and ghost atoms, energies of local
// atoms, totals over local atoms.
TEST_F(DeviceLammpsDriverTest, WritesOutputsIntoCallerDeviceArrays) {
  DeviceResult out(system_.nall);
  ASSERT_EQ(evaluate_device(input_->view(), out.view()), QRVL_STATUS_OK) << qrvl_last_error_message();
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  const ForceEvaluationRequest request = pipeline_record().last_request;
  EXPECT_EQ(request.neighbor_topology, kDeviceLammpsNeighborTopology);
  EXPECT_EQ(request.virial_mode, kVirialTotals);
  EXPECT_TRUE(request.compute_energy);
  EXPECT_FALSE(pipeline_record().timed);
  EXPECT_EQ(pipeline_record().last_atom_count, system_.nlocal);
  EXPECT_EQ(request.staged_atom_count, system_.nall) << "the ghosts receive pushed terms too";
  const std::vector<double> force = out.force.read(), potential = out.potential.read();
  double energy = 0.0, sum_x = 0.0;
  for (int i = 0; i < system_.nall; ++i) {
    const double sign = i < system_.nlocal ? 1.0 : -1.0;
    for (int c = 0; c < 3; ++c) EXPECT_EQ(force[4 * i + c], sign * system_.positions[3 * i + c]) << "atom " << i;
    EXPECT_EQ(force[4 * i + 3], kUntouched);
    if (i < system_.nlocal) {
      EXPECT_EQ(potential[i], static_cast<double>(system_.rows[i].size()));
      energy += potential[i];
      sum_x += system_.positions[3 * i];
    } else {
      EXPECT_EQ(potential[i], kUntouched);
    }
  }
  EXPECT_EQ(out.energy.read()[0], energy);
  const std::vector<double> virial = out.virial.read();
  EXPECT_DOUBLE_EQ(virial[0], sum_x);
  EXPECT_DOUBLE_EQ(virial[3], 5.5 * sum_x);  // (xy + yx)/2 with device components 4 x and 7 x
}

TEST_F(DeviceLammpsDriverTest, PerAtomVirialsComeFromTheFloatSinkForEveryAtom) {
  DeviceResult out(system_.nall);
  ASSERT_EQ(evaluate_device(input_->view(), out.view(true, true)), QRVL_STATUS_OK) << qrvl_last_error_message();
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_EQ(pipeline_record().last_request.virial_mode, kPerAtomVirials);
  EXPECT_TRUE(float_sink_);
  const std::vector<double> virial = out.virial_per_atom.read();
  for (int i = 0; i < system_.nlocal; ++i) {
    for (int k = 0; k < 9; ++k) {
      EXPECT_EQ(virial[10 * i + k], static_cast<double>(static_cast<float>((k + 1) * system_.positions[3 * i + 1])));
    }
  }
}

TEST_F(DeviceLammpsDriverTest, RequestFollowsTheOutputsAsked) {
  DeviceResult out(system_.nall);
  QrvlLammpsDeviceNeighborResult forces_only = out.view(false);
  forces_only.potential = nullptr;
  ASSERT_EQ(evaluate_device(input_->view(), forces_only), QRVL_STATUS_OK);
  EXPECT_EQ(pipeline_record().last_request.virial_mode, kNoVirial);
  EXPECT_FALSE(pipeline_record().last_request.compute_energy);
  ASSERT_EQ(evaluate_device(input_->view(), out.view(false)), QRVL_STATUS_OK);
  EXPECT_EQ(pipeline_record().last_request.virial_mode, kNoVirial);
  EXPECT_TRUE(pipeline_record().last_request.compute_energy);  // per-atom energies alone ask for energies
}

// The cache grows with headroom, is reused while it fits (and every call is validated, reused or not), and is
// rebuilt when a call needs more atoms or the float sink.
TEST_F(DeviceLammpsDriverTest, WorkspaceGrowsWithHeadroomAndIsReusedWhileItFits) {
  DeviceResult out(system_.nall);
  ASSERT_EQ(evaluate_device(input_->view(), out.view()), QRVL_STATUS_OK);
  const auto nall = static_cast<std::uint64_t>(system_.nall);
  EXPECT_EQ(atoms_, nall + nall / 64 + kHeadroom);
  EXPECT_EQ(active_atoms_, static_cast<std::uint64_t>(system_.nlocal) + kHeadroom);
  EXPECT_EQ(radial_capacity_, system_.longest_row());  // lowered to max_neighbors
  const DeviceWorkspace* first = workspace_.get();

  // Reused, and validated as on the call that built it.
  input_->types = DeviceCopy<std::int32_t>(std::vector<std::int32_t>(system_.nall, 9));
  EXPECT_EQ(evaluate_device(input_->view(), out.view()), QRVL_STATUS_INVALID_ARGUMENT);
  EXPECT_THAT(qrvl_last_error_message(), ::testing::HasSubstr(" type out of range"));
  EXPECT_EQ(workspace_.get(), first);
  input_->types = DeviceCopy<std::int32_t>(system_.types);
  ASSERT_EQ(evaluate_device(input_->view(), out.view()), QRVL_STATUS_OK);
  EXPECT_EQ(workspace_.get(), first);

  // One atom more than the cache holds: rebuilt.
  QrvlLammpsDeviceNeighborInput bigger = input_->view();
  std::vector<double> positions(3 * (atoms_ + 1), 0.0);
  std::copy(system_.positions.begin(), system_.positions.end(), positions.begin());
  const DeviceCopy<double> more_positions(positions);
  const DeviceCopy<std::int32_t> more_types(std::vector<std::int32_t>(atoms_ + 1, 1));
  bigger.nall = static_cast<std::int32_t>(atoms_ + 1);
  bigger.positions = more_positions.get();
  bigger.types = more_types.get();
  DeviceResult big_out(bigger.nall);
  ASSERT_EQ(evaluate_device(bigger, big_out.view()), QRVL_STATUS_OK) << qrvl_last_error_message();
  const std::uint64_t grown = static_cast<std::uint64_t>(bigger.nall);
  EXPECT_EQ(atoms_, grown + grown / 64 + kHeadroom);

  // Asking for per-atom virials needs the float sink: rebuilt at the wanted, not the cached, size.
  const DeviceWorkspace* before_sink = workspace_.get();
  ASSERT_EQ(evaluate_device(input_->view(), out.view(true, true)), QRVL_STATUS_OK) << qrvl_last_error_message();
  EXPECT_NE(workspace_.get(), before_sink);
  EXPECT_TRUE(float_sink_);
}

TEST_F(DeviceLammpsDriverTest, ReusedWorkspaceIsValidatedWhenRowsCanOverflowTheLists) {
  protocol_.neighbor_capacity_radial = 3;
  DeviceResult out(system_.nall);
  ASSERT_EQ(evaluate_device(input_->view(), out.view()), QRVL_STATUS_INVALID_ARGUMENT);
  EXPECT_THAT(qrvl_last_error_message(),
              ::testing::StartsWith("invalid device LAMMPS neighbor input: radial neighbor count exceeds workspace "
                                    "capacity max_radial="));
  clear_last_error();
  EXPECT_EQ(evaluate_device(input_->view(), out.view()), QRVL_STATUS_INVALID_ARGUMENT);  // reused, still validated
  EXPECT_THAT(qrvl_last_error_message(), ::testing::HasSubstr("radial neighbor count exceeds"));
}

// Positions already strided by the atom capacity are used in place, and the workspace is planned for exactly
// that stride.
TEST_F(DeviceLammpsDriverTest, PositionsInCapacityLayoutAreUsedInPlace) {
  constexpr int kStride = 5000;
  std::vector<double> soa(3 * kStride, 0.0);
  for (int i = 0; i < system_.nall; ++i) {
    for (int c = 0; c < 3; ++c) soa[c * kStride + i] = system_.positions[3 * i + c];
  }
  const DeviceCopy<double> positions(soa);
  QrvlLammpsDeviceNeighborInput in = input_->view();
  in.positions = positions.get();
  in.position_atom_stride = 1;
  in.position_component_stride = kStride;
  DeviceResult out(system_.nall);
  ASSERT_EQ(evaluate_device(in, out.view()), QRVL_STATUS_OK) << qrvl_last_error_message();
  EXPECT_EQ(atoms_, static_cast<std::uint64_t>(kStride));
  EXPECT_EQ(pipeline_record().last_view.positions_soa3, positions.get());
}

// Rows that hold nothing are a legal list: every atom is evaluated without neighbors.
TEST_F(DeviceLammpsDriverTest, MaxNeighborsZeroIsAListWithoutNeighbors) {
  input_->host_numneigh.assign(input_->host_numneigh.size(), 0);
  input_->refresh_lists();
  QrvlLammpsDeviceNeighborInput in = input_->view();
  in.max_neighbors = 0;
  DeviceResult out(system_.nall);
  ASSERT_EQ(evaluate_device(in, out.view()), QRVL_STATUS_OK) << qrvl_last_error_message();
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  const std::vector<double> potential = out.potential.read();
  for (int i = 0; i < system_.nlocal; ++i) EXPECT_EQ(potential[i], 0.0) << "atom " << i;  // the radial count
  EXPECT_EQ(pipeline_record().last_atom_count, system_.nlocal);
}

// A rank that domain decomposition left without atoms: zero totals, nothing else written, no workspace built.
TEST_F(DeviceLammpsDriverTest, EmptyRankAnswersZeroTotalsAndWritesNothingElse) {
  QrvlLammpsDeviceNeighborInput in = input_->view();
  in.nlocal = 0;
  in.inum = 0;
  DeviceResult out(system_.nall);
  ASSERT_EQ(evaluate_device(in, out.view(true, true)), QRVL_STATUS_OK) << qrvl_last_error_message();
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_EQ(out.energy.read()[0], 0.0);
  EXPECT_THAT(out.virial.read(), Each(0.0));
  EXPECT_THAT(out.force.read(), Each(kUntouched));
  EXPECT_THAT(out.potential.read(), Each(kUntouched));
  EXPECT_THAT(out.virial_per_atom.read(), Each(kUntouched));
  EXPECT_EQ(workspace_, nullptr);
  EXPECT_EQ(pipeline_record().calls, 0);
}

TEST_F(DeviceLammpsDriverTest, MaxNeighborsLowersBothListCapacities) {
  protocol_.neighbor_capacity_radial = 40;
  protocol_.neighbor_capacity_angular = 30;
  input_ = DeviceLammpsInput(system_, kLammpsTypes, 10);
  DeviceResult out(system_.nall);
  ASSERT_EQ(evaluate_device(input_->view(), out.view()), QRVL_STATUS_OK) << qrvl_last_error_message();
  EXPECT_EQ(radial_capacity_, 10);
  EXPECT_EQ(angular_capacity_, 10);
}

struct StatusCase {
  const char* name;
  std::function<void(QrvlLammpsDeviceNeighborInput&, QrvlLammpsDeviceNeighborResult&, ModelProtocol&,
                     std::atomic<bool>&)>
      change;
  int status;
  const char* message;
};

std::vector<StatusCase> status_cases() {
  using In = QrvlLammpsDeviceNeighborInput;
  using R = QrvlLammpsDeviceNeighborResult;
  using P = ModelProtocol;
  using C = std::atomic<bool>;
  static double scratch = 0.0;
  static const std::int32_t map = 0;
  constexpr const char* kLayout = "invalid device LAMMPS neighbor input or force output";
  auto layout = [](const char* name, std::function<void(In&, R&)> change) {
    return StatusCase{name, [change](In& in, R& r, P&, C&) { change(in, r); }, QRVL_STATUS_INVALID_ARGUMENT,
                      kLayout};
  };
  return {
      layout("NegativeNlocal", [](In& in, R&) { in.nlocal = -1; }),
      layout("NallBelowNlocal", [](In& in, R&) { in.nall = in.nlocal - 1; }),
      layout("NoActiveAtoms", [](In& in, R&) { in.inum = 0; }),
      // ilist names a local atom twice (its entries are not read before the refusal)
      {"IlistRepeatsALocalAtom", [](In& in, R&, P&, C&) { in.inum = in.nlocal + 1; }, QRVL_STATUS_INVALID_ARGUMENT,
       kIlistTooLong},
      layout("NegativeMaxNeighbors", [](In& in, R&) { in.max_neighbors = -1; }),
      layout("NoNeighborRows", [](In& in, R&) { in.neighbor_rows = 0; }),
      layout("NoNumneigh", [](In& in, R&) { in.numneigh_length = 0; }),
      layout("MissingIlist", [](In& in, R&) { in.ilist = nullptr; }),
      layout("MissingNeighbors", [](In& in, R&) { in.neighbors = nullptr; }),
      layout("MissingPositions", [](In& in, R&) { in.positions = nullptr; }),
      layout("NeighborSlotStride", [](In& in, R&) { in.neighbor_slot_stride = 0; }),
      layout("PositionComponentStride", [](In& in, R&) { in.position_component_stride = 0; }),
      layout("MissingForce", [](In&, R& r) { r.force = nullptr; }),
      layout("ForceComponentStride", [](In&, R& r) { r.force_component_stride = 0; }),
      {"EnergyWithoutVirial", [](In&, R& r, P&, C&) { r.virial = nullptr; }, QRVL_STATUS_INVALID_ARGUMENT,
       "device LAMMPS totals require both energy and virial pointers"},
      {"PerAtomVirialStride",
       [](In&, R& r, P&, C&) {
         r.virial_per_atom = &scratch;
         r.virial_atom_stride = 9;
       },
       QRVL_STATUS_INVALID_ARGUMENT, "invalid device LAMMPS per-atom virial layout"},
      {"TypeMapLengthWithoutMap", [](In& in, R&, P&, C&) { in.type_map = nullptr; }, QRVL_STATUS_INVALID_ARGUMENT,
       "invalid device LAMMPS type map layout"},
      {"TypeMapWithoutLength",
       [](In& in, R&, P&, C&) {
         in.type_map = &map;
         in.type_map_length = 0;
       },
       QRVL_STATUS_INVALID_ARGUMENT, "invalid device LAMMPS type map layout"},
      {"SpinModelWithoutSpins", [](In&, R&, P& p, C&) { p.spin_mode = 1; }, QRVL_STATUS_INVALID_ARGUMENT,
       "spin model requires valid device LAMMPS spins"},
      {"MforceStride", [](In&, R& r, P&, C&) { r.mforce = &scratch; }, QRVL_STATUS_INVALID_ARGUMENT,
       "invalid device LAMMPS mforce layout"},
      {"SpinTransferStride", [](In&, R& r, P&, C&) { r.spin_transfer = &scratch; }, QRVL_STATUS_INVALID_ARGUMENT,
       "invalid device spin-transfer layout"},
      {"SpinTransferOfOrdinaryModel",
       [](In&, R& r, P&, C&) {
         r.spin_transfer = &scratch;
         r.spin_transfer_atom_stride = r.spin_transfer_component_stride = 1;
       },
       QRVL_STATUS_UNSUPPORTED, ""},
      {"Cancelled", [](In&, R&, P&, C& cancel) { cancel = true; }, QRVL_STATUS_CANCELLED, ""},
      {"ChargeModel", [](In&, R&, P& p, C&) { p.charge_mode = 1; }, QRVL_STATUS_UNSUPPORTED, ""},
  };
}

class DeviceLammpsDriverAnswers : public DeviceLammpsDriverTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(DeviceLammpsDriverAnswers, BeforeAnyDeviceWorkOnEveryCall) {
  DeviceResult out(system_.nall);
  QrvlLammpsDeviceNeighborInput in = input_->view();
  QrvlLammpsDeviceNeighborResult r = out.view();
  GetParam().change(in, r, protocol_, cancel_);
  for (const char* call : {"first call", "second call"}) {
    clear_last_error();
    EXPECT_EQ(evaluate_device(in, r), GetParam().status) << call;
    EXPECT_STREQ(qrvl_last_error_message(), GetParam().message) << call;
  }
  EXPECT_EQ(workspace_, nullptr);
  EXPECT_EQ(pipeline_record().calls, 0);
}

INSTANTIATE_TEST_SUITE_P(Inputs, DeviceLammpsDriverAnswers, ::testing::ValuesIn(status_cases()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

// Contents of the caller's arrays that the evaluation refuses, found on the device by the staging: a case
// changes the arrays (and the model shape), then the record that points at them.
struct ListRefusalCase {
  const char* name;
  std::function<void(const test_support::LammpsSystem&, DeviceLammpsInput&, ModelProtocol&)> change_arrays;
  std::function<void(QrvlLammpsDeviceNeighborInput&)> change_record;
  const char* message;  // the whole text, or the report's problem after its fixed start
};

void PrintTo(const ListRefusalCase& c, std::ostream* os) { *os << c.name; }

std::vector<ListRefusalCase> list_refusal_cases() {
  using S = test_support::LammpsSystem;
  using In = DeviceLammpsInput;
  using R = QrvlLammpsDeviceNeighborInput;
  using P = ModelProtocol;
  const auto with_type = [](std::size_t atom, std::int32_t type) {
    return [=](const S& s, In& in, P&) {
      std::vector<std::int32_t> types = s.types;
      types[atom] = type;
      in.types = DeviceCopy<std::int32_t>(types);
    };
  };
  const auto with_model_type = [](std::size_t atom, std::int32_t type) {
    return [=](const S& s, In& in, P&) {
      std::vector<std::int32_t> types(static_cast<std::size_t>(s.nall), 1);
      types[atom] = type;
      in.types = DeviceCopy<std::int32_t>(types);
    };
  };
  const auto without_map = [](R& r) {
    r.type_map = nullptr;
    r.type_map_length = 0;
  };
  const auto with_coordinate = [](std::size_t component, double value) {
    return [=](const S& s, In& in, P&) {
      std::vector<double> xyz = s.positions;
      xyz[component] = value;
      in.positions = DeviceCopy<double>(xyz);
    };
  };
  return {
      {"TypeBeyondTheMap", with_type(2, kLammpsTypes + 1), nullptr, " type out of range"},
      {"UnmappedType", with_type(9, 0), nullptr, " unmapped type"},
      {"GhostAsActiveAtom",
       [](const S& s, In& in, P&) {
         in.host_ilist.back() = s.nlocal;  // the first ghost in place of the last local atom
         in.refresh_lists();
       },
       nullptr, " active atom index out of range"},
      {"RowLongerThanMaxNeighbors", nullptr, [](R& r) { r.max_neighbors -= 1; }, " input row count out of range"},
      {"MappedTypeBeyondTheModel",
       [](const S&, In& in, P&) { in.type_map = DeviceCopy<std::int32_t>({-1, 0, kLammpsTypes}); }, nullptr,
       " model type out of range"},
      {"InPlaceTypeBeyondTheModel", with_model_type(4, kLammpsTypes), without_map, " model type out of range"},
      {"NegativeInPlaceType", with_model_type(1, -1), without_map, " model type out of range"},
      {"NanPosition", with_coordinate(3 * 3 + 1, std::nan("")), nullptr, "atom 3 has a non-finite position"},
      {"InfinitePositionOfAGhost", with_coordinate(3 * 7, std::numeric_limits<double>::infinity()), nullptr,
       "atom 7 has a non-finite position"},
      {"NonFiniteSpin",
       [](const S& s, In& in, P& p) {
         p.spin_mode = 1;
         p.spin_compress = 1;
         p.spin_basis_size_radial = 1;
         std::vector<std::vector<double>> spins(static_cast<std::size_t>(s.nall), {1.0, 0.0, 0.0, 1.0});
         spins[2][3] = std::nan("");
         in.add_spins(spins);
       },
       nullptr, "atom 2 has a non-finite spin"},
  };
}

class DeviceLammpsDriverRefusesTheList : public DeviceLammpsDriverTest,
                                         public ::testing::WithParamInterface<ListRefusalCase> {};

// The call that builds the workspace and the one that reuses it refuse alike, and the workspace serves a good
// call afterwards.
TEST_P(DeviceLammpsDriverRefusesTheList, OnEveryCallWithTheSameText) {
  ASSERT_GT(system_.nall, 9);
  DeviceResult out(system_.nall);
  const ModelProtocol good = protocol_;
  if (GetParam().change_arrays) GetParam().change_arrays(system_, *input_, protocol_);
  QrvlLammpsDeviceNeighborInput in = input_->view();
  if (GetParam().change_record) GetParam().change_record(in);
  const std::string message(GetParam().message);
  const bool report = message.front() == ' ';
  std::string first;
  for (const char* call : {"first call", "second call"}) {
    clear_last_error();
    EXPECT_EQ(evaluate_device(in, out.view(true, true)), QRVL_STATUS_INVALID_ARGUMENT) << call;
    const std::string text = qrvl_last_error_message();
    if (report) {
      EXPECT_THAT(text, ::testing::StartsWith("invalid device LAMMPS neighbor input:" + message + " max_radial="))
          << call;
    } else {
      EXPECT_EQ(text, message) << call;
    }
    if (first.empty()) first = text;
    EXPECT_EQ(text, first) << call;
  }
  EXPECT_NE(workspace_, nullptr);
  EXPECT_EQ(pipeline_record().calls, 0);
  protocol_ = good;
  input_.emplace(system_, kLammpsTypes, system_.longest_row());
  EXPECT_EQ(evaluate_device(input_->view(), out.view(true, true)), QRVL_STATUS_OK) << qrvl_last_error_message();
}

INSTANTIATE_TEST_SUITE_P(Contents, DeviceLammpsDriverRefusesTheList, ::testing::ValuesIn(list_refusal_cases()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

// Faults of the caller's record that the device road answers as runtime errors, with their texts.
TEST_F(DeviceLammpsDriverTest, ShortRowArraysAndMagneticForcesWithoutSpinsAreRuntimeErrors) {
  static double scratch = 0.0;
  const struct {
    const char* name;
    std::function<void(QrvlLammpsDeviceNeighborInput&, QrvlLammpsDeviceNeighborResult&)> change;
    const char* message;
  } cases[] = {
      {"fewer neighbor rows than local atoms", [](auto& in, auto&) { in.neighbor_rows = in.nlocal - 1; },
       "device LAMMPS local atoms exceed neighbor rows"},
      {"fewer numneigh entries than local atoms", [](auto& in, auto&) { in.numneigh_length = in.nlocal - 1; },
       "device LAMMPS local atoms exceed numneigh length"},
      {"magnetic forces of a model without spins",
       [](auto&, auto& r) {
         r.mforce = &scratch;
         r.mforce_atom_stride = r.mforce_component_stride = 1;
       },
       "workspace missing mforce output"},
  };
  for (const auto& c : cases) {
    DeviceResult out(system_.nall);
    QrvlLammpsDeviceNeighborInput in = input_->view();
    QrvlLammpsDeviceNeighborResult r = out.view();
    c.change(in, r);
    clear_last_error();
    EXPECT_EQ(evaluate_device(in, r), QRVL_STATUS_RUNTIME_ERROR) << c.name;
    EXPECT_STREQ(qrvl_last_error_message(), c.message) << c.name;
  }
}

TEST_F(DeviceLammpsDriverTest, CancelDuringTheEvaluationStillWritesOutputs) {
  pipeline_record().hook = [this] { cancel_ = true; };
  DeviceResult out(system_.nall);
  EXPECT_EQ(evaluate_device(input_->view(), out.view()), QRVL_STATUS_CANCELLED);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_EQ(out.force.read()[0], system_.positions[0]);
}

// The line's shape: every field in order, three decimals.
const std::regex kProfileLine(
    "QRVL_PAIR_PROFILE sample=([0-9]+) nlocal=([0-9]+) rebuild=([01]) stage_ms=[0-9]+\\.[0-9]{3} "
    "clear_ms=[0-9]+\\.[0-9]{3} descriptor_ann_ms=[0-9]+\\.[0-9]{3} radial_force_ms=[0-9]+\\.[0-9]{3} "
    "angular_force_ms=[0-9]+\\.[0-9]{3} zbl_force_ms=[0-9]+\\.[0-9]{3} spin_onsite_ms=[0-9]+\\.[0-9]{3} "
    "spin_density_ms=[0-9]+\\.[0-9]{3} spin_chiral_ms=[0-9]+\\.[0-9]{3} output_ms=[0-9]+\\.[0-9]{3} "
    "total_ms=[0-9]+\\.[0-9]{3}\n");

std::string profiled_call(const std::function<int()>& call) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(call(), QRVL_STATUS_OK) << qrvl_last_error_message();
  return ::testing::internal::GetCapturedStderr();
}

TEST_F(DeviceLammpsDriverTest, ProfilesTheFirstCallsOnTheWantedRankOnly) {
  test_environment() = {{"QUARVEL_PROFILE_PAIR", "2"}};
  DeviceResult out(system_.nall);
  const auto call = [&] { return evaluate_device(input_->view(), out.view()); };
  std::smatch fields;
  const std::string first = profiled_call(call);
  ASSERT_TRUE(std::regex_match(first, fields, kProfileLine)) << first;
  EXPECT_EQ(fields[1], "1");
  EXPECT_EQ(fields[2], std::to_string(system_.nlocal));
  EXPECT_EQ(fields[3], "1");
  EXPECT_TRUE(pipeline_record().timed);
  const std::string second = profiled_call(call);
  ASSERT_TRUE(std::regex_match(second, fields, kProfileLine)) << second;
  EXPECT_EQ(fields[1], "2");
  EXPECT_EQ(fields[3], "0");  // the cached workspace was reused
  EXPECT_EQ(profiled_call(call), "");
  EXPECT_FALSE(pipeline_record().timed);

  test_environment() = {{"QUARVEL_PROFILE_PAIR", "0"}};
  const std::string every = profiled_call(call);
  ASSERT_TRUE(std::regex_match(every, fields, kProfileLine)) << every;
  EXPECT_EQ(fields[1], "3");
  test_environment() = {{"QUARVEL_PROFILE_PAIR", "0"}, {"OMPI_COMM_WORLD_RANK", "3"}};
  EXPECT_EQ(profiled_call(call), "");
  test_environment() = {{"QUARVEL_PROFILE_PAIR", "0"}, {"OMPI_COMM_WORLD_RANK", "3"}, {"QUARVEL_PROFILE_PAIR_RANK", "3"}};
  const std::string wanted_rank = profiled_call(call);
  EXPECT_TRUE(std::regex_match(wanted_rank, kProfileLine)) << wanted_rank;
}

TEST_F(DeviceLammpsDriverTest, AFailingCallPrintsNoProfileLine) {
  test_environment() = {{"QUARVEL_PROFILE_PAIR", "0"}};
  pipeline_record().hook = [] { throw std::runtime_error("stage failed"); };
  DeviceResult out(system_.nall);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(evaluate_device(input_->view(), out.view()), QRVL_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_STREQ(qrvl_last_error_message(), "stage failed");
}

}  // namespace
}  // namespace quarvel::cuda_backend::lammps_test
