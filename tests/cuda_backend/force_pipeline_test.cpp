#include "cuda_backend/force_pipeline.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <ostream>
#include <string>
#include <vector>

#include "support/device_test.hpp"
#include "support/protocol_shapes.hpp"

namespace quarvel::cuda_backend {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

// Every stage the fake pipeline runs appends one line naming itself and the arguments that steer it.
std::vector<std::string>& stage_log() {
  static std::vector<std::string> log;
  return log;
}

std::string target_text(VirialTarget target) { return "target " + std::to_string(static_cast<int>(target)); }
void record(const std::string& line) { stage_log().push_back(line); }

ForcePipelineStages recording_stages() {
  ForcePipelineStages s;
  s.descriptors = [](const ModelProtocol&, int, const SimulationBox&, const DeviceModel&, DeviceWorkspace&,
                     DescriptorCoreTopology topology) {
    record(topology == DescriptorCoreTopology::batched ? "descriptors batched" : "descriptors single box");
  };
  s.spin_descriptors = [](const ModelProtocol&, int, const SimulationBox&, const DeviceModel&, DeviceWorkspace&) {
    record("spin descriptors");
  };
  s.network = [](const ModelProtocol&, int, const DeviceModel&, DeviceWorkspace&) { record("network"); };
  s.radial_batched = [](const ModelProtocol&, int, const DeviceModel&, DeviceWorkspace&, VirialTarget t) {
    record("radial batched, " + target_text(t));
  };
  s.radial = [](const ModelProtocol&, int, const SimulationBox&, const DeviceModel&, DeviceWorkspace&,
                VirialTarget t, bool clear) { record("radial, " + target_text(t) + (clear ? ", clear" : "")); };
  s.radial_with_zbl = [](const ModelProtocol&, int, const SimulationBox&, const DeviceModel&, DeviceWorkspace&) {
    record("radial with ZBL");
  };
  s.float_sink = [](int, DeviceWorkspace&) { record("float sink"); };
  s.lammps_radial = [](const ModelProtocol& p, int, const SimulationBox&, const DeviceModel&, DeviceWorkspace&,
                       VirialTarget t, bool energy) {
    record("LAMMPS radial, " + target_text(t) + (p.has_zbl ? ", ZBL" : "") + (energy ? ", energy" : ""));
  };
  s.angular_batched = [](const ModelProtocol&, int, const DeviceModel&, DeviceWorkspace&, VirialTarget t) {
    record("angular batched, " + target_text(t));
  };
  s.angular = [](const ModelProtocol&, int, const DeviceModel&, DeviceWorkspace&, VirialTarget t) {
    record("angular, " + target_text(t));
  };
  s.zbl_batched = [](const ModelProtocol&, int, const DeviceModel&, DeviceWorkspace&, VirialTarget t) {
    record("ZBL batched, " + target_text(t));
  };
  s.zbl = [](const ModelProtocol&, int, const SimulationBox&, const DeviceModel&, DeviceWorkspace&, bool energy,
             VirialTarget t) { record("ZBL, " + target_text(t) + (energy ? ", energy" : "")); };
  s.spin_forces = [](const ModelProtocol&, int, const SimulationBox&, const DeviceModel&, DeviceWorkspace&,
                     VirialTarget t, bool transfer, SpinForceTimings* timings) {
    record("spin forces, " + target_text(t) + (transfer ? ", transfer" : ""));
    if (timings != nullptr) *timings = SpinForceTimings{1.5f, 2.5f, 3.5f};
  };
  s.spin_mask = [](const ModelProtocol&, int atoms, const DeviceModel&, DeviceWorkspace&) {
    record("spin mask, " + std::to_string(atoms) + " atoms");
  };
  return s;
}

enum class Shape { plain, angular_zbl, angular_flexible_zbl, spin_angular_zbl };

ModelProtocol protocol_of(Shape shape) {
  ModelProtocol p = shape == Shape::spin_angular_zbl ? test_support::spin_protocol(2, 3, 2, 0)
                                                     : test_support::minimal_protocol();
  if (shape == Shape::plain) return p;
  p.body_channels.l_max_3body = 4;
  p.has_zbl = true;
  p.cutoff_radial = 5.0;
  p.zbl_rc_inner = 1.0;
  p.zbl_rc_outer = 2.0;  // within the radial cutoff: fusable unless flexible
  p.flexible_zbl = shape == Shape::angular_flexible_zbl;
  return p;
}

struct SequenceCase {
  const char* name;
  Shape shape;
  ForceEvaluationRequest request;
  std::vector<std::string> stages;
};

// Names the case in test output instead of its bytes.
inline void PrintTo(const SequenceCase& c, std::ostream* os) { *os << c.name; }

std::vector<SequenceCase> sequence_cases() {
  return {
      {"BatchTotals", Shape::angular_zbl, {0, 1, true, false},
       {"descriptors batched", "network", "radial batched, target 1", "angular batched, target 1",
        "ZBL batched, target 1"}},
      {"BatchPerAtomVirials", Shape::angular_zbl, {0, 2, true, false},
       {"descriptors batched", "network", "radial batched, target 2", "angular batched, target 2",
        "ZBL batched, target 2"}},
      {"BatchWithoutAngularChannels", Shape::plain, {0, 1, true, false},
       {"descriptors batched", "network", "radial batched, target 1"}},
      {"SpinStructure", Shape::spin_angular_zbl, {1, 1, true, true},
       {"descriptors single box", "spin descriptors", "network", "radial, target 1, clear", "angular, target 1",
        "ZBL, target 1, energy", "spin forces, target 1, transfer"}},
      {"SpinStructurePerAtomVirials", Shape::spin_angular_zbl, {1, 2, true, false},
       {"descriptors single box", "spin descriptors", "network", "radial, target 2, clear", "angular, target 2",
        "ZBL, target 2, energy", "spin forces, target 2"}},
      {"OneSetWithoutVirialFusesZbl", Shape::angular_zbl, {1, 0, false, false},
       {"descriptors single box", "network", "radial with ZBL", "angular, target 0"}},
      {"DeviceLammpsPerAtomVirials", Shape::angular_zbl, {2, 2, true, false},
       {"descriptors single box", "network", "float sink", "LAMMPS radial, target 3, ZBL, energy",
        "angular, target 3"}},
      {"DeviceLammpsPerAtomVirialsFlexibleZbl", Shape::angular_flexible_zbl, {2, 2, true, false},
       {"descriptors single box", "network", "float sink", "LAMMPS radial, target 3, energy", "angular, target 3",
        "ZBL, target 3, energy"}},
      {"DeviceLammpsTotalsFlexibleZbl", Shape::angular_flexible_zbl, {2, 1, true, false},
       {"descriptors single box", "network", "LAMMPS radial, target 1, energy", "angular, target 1",
        "ZBL, target 1, energy"}},
      {"DeviceLammpsNoVirialNoEnergy", Shape::angular_flexible_zbl, {2, 0, false, false},
       {"descriptors single box", "network", "LAMMPS radial, target 0", "angular, target 0", "ZBL, target 0"}},
      {"DeviceLammpsNoVirialWithEnergy", Shape::angular_flexible_zbl, {2, 0, true, false},
       {"descriptors single box", "network", "LAMMPS radial, target 0, energy", "angular, target 0",
        "ZBL, target 1, energy"}},
      // LAMMPS lists of spin models: the ghost rows the lists reach (9 atoms with 4 centres) are masked too.
      {"DeviceLammpsSpin", Shape::spin_angular_zbl, {2, 2, true, true, 9},
       {"descriptors single box", "spin descriptors", "network", "float sink",
        "LAMMPS radial, target 3, ZBL, energy", "angular, target 3", "spin forces, target 3, transfer",
        "spin mask, 9 atoms"}},
      // Host LAMMPS lists: the push form of device lists, with its booking of per-atom virials.
      {"HostLammpsPerAtomVirials", Shape::angular_zbl, {3, 2, true, false},
       {"descriptors single box", "network", "float sink", "LAMMPS radial, target 3, ZBL, energy",
        "angular, target 3"}},
      {"HostLammpsTotalsFlexibleZbl", Shape::angular_flexible_zbl, {3, 1, true, false},
       {"descriptors single box", "network", "LAMMPS radial, target 1, energy", "angular, target 1",
        "ZBL, target 1, energy"}},
      {"HostLammpsPerAtomVirialsFlexibleZbl", Shape::angular_flexible_zbl, {3, 2, true, false},
       {"descriptors single box", "network", "float sink", "LAMMPS radial, target 3, energy", "angular, target 3",
        "ZBL, target 3, energy"}},
      {"HostLammpsSpin", Shape::spin_angular_zbl, {3, 2, true, true, 9},
       {"descriptors single box", "spin descriptors", "network", "float sink", "LAMMPS radial, target 3, ZBL, energy",
        "angular, target 3", "spin forces, target 3, transfer", "spin mask, 9 atoms"}},
  };
}

class ForcePipelineSequence : public ::testing::TestWithParam<SequenceCase> {
 protected:
  void SetUp() override { stage_log().clear(); }
  DeviceModel model_;
  DeviceWorkspace workspace_;
  SimulationBox box_{};
};

TEST_P(ForcePipelineSequence, RunsItsStagesInOrderWithTheirTargets) {
  const SequenceCase& c = GetParam();
  run_force_pipeline(recording_stages(), protocol_of(c.shape), c.request, 4, box_, model_, workspace_, nullptr);
  EXPECT_THAT(stage_log(), ElementsAreArray(c.stages));
}

INSTANTIATE_TEST_SUITE_P(Requests, ForcePipelineSequence, ::testing::ValuesIn(sequence_cases()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

class ForcePipeline : public ForcePipelineSequence {};

TEST_F(ForcePipeline, RefusesChargeModelsBeforeQueueingAnything) {
  ModelProtocol p = protocol_of(Shape::angular_zbl);
  p.charge_mode = 1;
  for (std::int32_t topology : {0, 1, 2, 3}) {
    EXPECT_THAT([&] {
      run_force_pipeline(recording_stages(), p, {topology, 1, true, false}, 4, box_, model_, workspace_, nullptr);
    }, ThrowsMessage<std::invalid_argument>(StrEq("CUDA force pipeline charge integration is not implemented")));
  }
  EXPECT_THAT(stage_log(), IsEmpty());
}

TEST_F(ForcePipeline, RefusesSpinModelsOnBatchedListsBeforeTheDescriptors) {
  EXPECT_THAT([&] {
    run_force_pipeline(recording_stages(), protocol_of(Shape::spin_angular_zbl), {0, 1, true, false}, 4, box_,
                       model_, workspace_, nullptr);
  }, ThrowsMessage<std::invalid_argument>(StrEq("spin execution pipeline does not support batched neighbor topology")));
  EXPECT_THAT(stage_log(), IsEmpty());
}

TEST_F(ForcePipeline, RefusesAnUnknownVirialModeAfterTheNetwork) {
  EXPECT_THAT([&] {
    run_force_pipeline(recording_stages(), protocol_of(Shape::angular_zbl), {1, 3, true, false}, 4, box_, model_,
                       workspace_, nullptr);
  }, ThrowsMessage<std::invalid_argument>(StrEq("invalid virial output mode")));
  EXPECT_THAT(stage_log(), ElementsAre("descriptors single box", "network"));
}

TEST_F(ForcePipeline, RefusesAnUnknownTopology) {
  EXPECT_THAT([&] {
    run_force_pipeline(recording_stages(), protocol_of(Shape::plain), {4, 1, true, false}, 4, box_, model_,
                       workspace_, nullptr);
  }, ThrowsMessage<std::invalid_argument>(StrEq("invalid neighbor topology")));
  EXPECT_THAT(stage_log(), IsEmpty());
}

TEST_F(ForcePipeline, TimedCallCopiesTheSpinPhases) {
  ForcePipelineTimings timings;
  timings.descriptor_ann_ms = -1.0f;
  run_force_pipeline(recording_stages(), protocol_of(Shape::spin_angular_zbl), {2, 1, true, false}, 4, box_, model_,
                     workspace_, &timings);
  // Laps are measured with CUDA events, which need a device; without one the field keeps its value.
  if (test_support::cuda_device_present()) {
    EXPECT_GE(timings.descriptor_ann_ms, 0.0f);
  }
  EXPECT_EQ(timings.spin_onsite_ms, 1.5f);
  EXPECT_EQ(timings.spin_density_ms, 2.5f);
  EXPECT_EQ(timings.spin_chiral_ms, 3.5f);
}

TEST_F(ForcePipeline, LeavesTheSpinPhasesOfOtherModelsAlone) {
  ForcePipelineTimings timings;
  timings.spin_onsite_ms = 7.0f;
  run_force_pipeline(recording_stages(), protocol_of(Shape::plain), {2, 1, true, false}, 4, box_, model_, workspace_,
                     &timings);
  EXPECT_EQ(timings.spin_onsite_ms, 7.0f);
}

// The library's own spin force stage runs last in a spin pipeline (the other stages only record): it refuses this
// parameterless model with its first check.
TEST_F(ForcePipeline, LibrarySpinForceStageRunsAndChecksTheModel) {
  ForcePipelineStages stages = recording_stages();
  stages.spin_forces = ForcePipelineStages{}.spin_forces;
  EXPECT_THAT([&] {
    run_force_pipeline(stages, protocol_of(Shape::spin_angular_zbl),
                       {kDeviceLammpsNeighborTopology, kVirialTotals, true, false}, 4, box_, model_, workspace_,
                       nullptr);
  }, ThrowsMessage<std::runtime_error>(StrEq("spin descriptor is missing onsite terms")));
}

}  // namespace
}  // namespace quarvel::cuda_backend
