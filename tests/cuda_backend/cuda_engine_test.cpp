#include "cuda_backend/cuda_engine.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cuda_backend/model_file_reader.hpp"
#include "quarvel/quarvel.h"
#include "support/batch_builder.hpp"
#include "support/device_test.hpp"
#include "support/failing_allocations.hpp"
#include "support/model_file_writer.hpp"

namespace quarvel {
namespace {

using test_support::ModelShape;
using test_support::TempModelFile;
using test_support::write_model;

ModelShape shape_of(const char* family) {
  ModelShape shape;
  shape.family = family;
  shape.elements = {"C", "H"};
  return shape;
}

// A model file written from `shape` and loaded through the flat interface; freed with the object.
class LoadedModel {
 public:
  explicit LoadedModel(const ModelShape& shape) : file_(write_model(shape).text) {
    status_ = qrvl_load_model("cuda", file_.path().c_str(), &handle_);
  }
  ~LoadedModel() { qrvl_free_model(handle_); }
  LoadedModel(const LoadedModel&) = delete;
  LoadedModel& operator=(const LoadedModel&) = delete;
  int status() const { return status_; }
  QrvlModel* handle() const { return handle_; }
  const std::string& path() const { return file_.path(); }

 private:
  TempModelFile file_;
  QrvlModel* handle_ = nullptr;
  int status_ = -1;
};

class CudaEngineTest : public test_support::DeviceTest {
 protected:
  void SetUp() override {
    test_support::DeviceTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_EQ(qrvl_register_cuda_engine(), 1);
  }
  void TearDown() override {
    if (!IsSkipped()) {
      EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "a flat call left a CUDA error pending";
    }
  }
};

TEST_F(CudaEngineTest, RegistersOnceAndDescribesItself) {
  EXPECT_EQ(qrvl_register_cuda_engine(), 1);
  EXPECT_TRUE(register_cuda_engine());
  EXPECT_EQ(qrvl_backend_count(), 1);
  QrvlBackendInfo info{};
  ASSERT_EQ(qrvl_backend_info(0, &info), QRVL_STATUS_OK);
  EXPECT_STREQ(info.name, "cuda");
  EXPECT_STREQ(info.version, "1.0.2");
  EXPECT_EQ(info.capabilities, 0x4u);
}

struct FamilyCase {
  const char* family;
  int kind;
  std::uint64_t capabilities;
};

// Test names and failure output show the case by its name, not its bytes.
void PrintTo(const FamilyCase& c, std::ostream* os) { *os << c.family; }

class CudaEngineLoads : public CudaEngineTest, public ::testing::WithParamInterface<FamilyCase> {};

TEST_P(CudaEngineLoads, EveryFamilyWithItsKindAndCapabilities) {
  const ModelShape shape = shape_of(GetParam().family);
  const LoadedModel model(shape);
  ASSERT_EQ(model.status(), QRVL_STATUS_OK) << qrvl_last_error_message();
  int kind = -1;
  ASSERT_EQ(qrvl_model_kind(model.handle(), &kind), QRVL_STATUS_OK);
  EXPECT_EQ(kind, GetParam().kind);
  QrvlModelInfo info{};
  ASSERT_EQ(qrvl_model_info(model.handle(), &info), QRVL_STATUS_OK);
  EXPECT_EQ(info.capabilities, GetParam().capabilities);
  const cuda_backend::ModelProtocol protocol = cuda_backend::parse_model_file(model.path()).protocol;
  EXPECT_EQ(info.num_types, 2);
  EXPECT_EQ(info.descriptor_dim, write_model(shape).descriptor_dim);
  EXPECT_EQ(info.cutoff_radial, protocol.cutoff_radial);
  EXPECT_EQ(info.cutoff_angular, protocol.cutoff_angular);
  EXPECT_EQ(info.cutoff_max, protocol.cutoff_max);
}

INSTANTIATE_TEST_SUITE_P(Families, CudaEngineLoads,
                         ::testing::Values(FamilyCase{"nep4", QRVL_MODEL_KIND_ORDINARY, 0x47},
                                           FamilyCase{"nep4_zbl", QRVL_MODEL_KIND_ORDINARY, 0x47},
                                           FamilyCase{"nep5", QRVL_MODEL_KIND_ORDINARY, 0x47},
                                           FamilyCase{"nep5_zbl", QRVL_MODEL_KIND_ORDINARY, 0x47},
                                           FamilyCase{"nep4_charge1", QRVL_MODEL_KIND_CHARGE, 0x55},
                                           FamilyCase{"nep4_charge2", QRVL_MODEL_KIND_CHARGE, 0x55},
                                           FamilyCase{"nep4_charge3", QRVL_MODEL_KIND_CHARGE, 0x55},
                                           FamilyCase{"nep4_zbl_charge1", QRVL_MODEL_KIND_CHARGE, 0x55},
                                           FamilyCase{"nep4_zbl_charge2", QRVL_MODEL_KIND_CHARGE, 0x55},
                                           FamilyCase{"nep4_zbl_charge3", QRVL_MODEL_KIND_CHARGE, 0x55},
                                           FamilyCase{"nep4_spin", QRVL_MODEL_KIND_SPIN, 0xCF},
                                           FamilyCase{"nep4_spin1", QRVL_MODEL_KIND_SPIN, 0xCF}),
                         [](const auto& test_case) { return std::string(test_case.param.family); });

TEST_F(CudaEngineTest, FlexibleZblModelReportsItsLargestPairCutoff) {
  ModelShape shape = shape_of("nep4_zbl");
  shape.zbl.inner = 0.0;
  shape.zbl.outer = 0.0;
  const LoadedModel model(shape);
  ASSERT_EQ(model.status(), QRVL_STATUS_OK) << qrvl_last_error_message();
  QrvlModelInfo info{};
  ASSERT_EQ(qrvl_model_info(model.handle(), &info), QRVL_STATUS_OK);
  EXPECT_EQ(info.capabilities, 0x47u);
  EXPECT_EQ(info.cutoff_max, cuda_backend::parse_model_file(model.path()).protocol.cutoff_max);
}

TEST_F(CudaEngineTest, SpinModelBeyondTheSpinCoreLoadsButCannotBeEstimated) {
  ModelShape shape = shape_of("nep4_spin");
  shape.spin.compress = 5;
  shape.spin.basis_size_radial = 4;
  const LoadedModel model(shape);
  ASSERT_EQ(model.status(), QRVL_STATUS_OK) << qrvl_last_error_message();
  QrvlModelInfo info{};
  ASSERT_EQ(qrvl_model_info(model.handle(), &info), QRVL_STATUS_OK);
  EXPECT_EQ(info.capabilities, 0x8Cu);
  QrvlWorkspaceEstimate estimate{};
  EXPECT_EQ(qrvl_estimate_workspace(model.handle(), 10, 1, &estimate), QRVL_STATUS_RUNTIME_ERROR);
  EXPECT_STREQ(qrvl_last_error_message(),
               "CUDA spin workspace requires 1 <= spin_compress <= 4, spin_compress <= spin_basis_size + 1 <= 8, and "
               "spin_l_max <= 4");
}

TEST_F(CudaEngineTest, RefusedAndBrokenFilesAnswerTheirStatusWithTheReaderText) {
  const LoadedModel dipole(shape_of("nep4_dipole"));
  EXPECT_EQ(dipole.status(), QRVL_STATUS_UNSUPPORTED);
  EXPECT_STREQ(qrvl_last_error_message(),
               "dipole and polarizability models are unsupported by the CUDA backend; CPU fallback is disabled");
  EXPECT_EQ(dipole.handle(), nullptr);
  QrvlModel* handle = nullptr;
  EXPECT_EQ(qrvl_load_model("cuda", "/nonexistent/nep.txt", &handle), QRVL_STATUS_RUNTIME_ERROR);
  EXPECT_STREQ(qrvl_last_error_message(), "failed to open model file");
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(qrvl_load_model("cuda", "", &handle), QRVL_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(qrvl_last_error_message(), "");
}

// Workspace bytes of an internal-neighbor plan, summed from the plan tables row by row.
std::uint64_t expected_workspace_bytes(const cuda_backend::ModelProtocol& p, std::uint64_t a, std::uint64_t s) {
  const std::uint64_t d = p.descriptor_dim;
  const std::uint64_t r = p.neighbor_capacity_radial;
  const std::uint64_t g = p.neighbor_capacity_angular;
  std::uint64_t bytes = a * (4 + 24 + 8 + 24 + 72 + 4 + 24 + 72 + 4 + 4 * r + 4 + 4 * g + 5 * 4 + 4 * d + 4 * d);
  bytes += s * (4 + 4 + 72 + 72 + 12 + 8 + 72 + 4 + 16) + 4 + 16 + 12 + 4;
  if (p.spin_mode != 0) {
    const std::uint64_t nc = p.spin_compress;
    const std::uint64_t k = nc < 2 ? nc : 2;
    const int l = p.spin_l_max;
    const std::uint64_t rows = 3 + 9 + 6 + 3 + 9 + (l >= 2 ? 15 : 0) + (l >= 3 ? 21 : 0) + (l >= 4 ? 27 : 0) +
                               (p.spin_chiral != 0 ? 3 + 7 : 0);
    bytes += a * (24 + 24 + 24) + 4 * nc * a * rows + (p.spin_chiral != 0 ? 4 * k * a * 10 : 0);
  }
  if (p.charge_mode > 0) bytes += a * (8 + 72 + 4 + 4 * d);
  if (p.num_types > 1) bytes += 4 * a + 4 * ((a + 1023) / 1024);
  if (p.body_channels.channel_count() > 0) {
    const std::uint64_t abc = p.body_channels.abc_count();
    bytes += 4 * (p.n_max_angular + 1) * a * abc + 4 * 4 * g * a;
  }
  return bytes;
}

// Bytes of the 13 uploaded model arrays, from the counts the model's header fixes.
std::uint64_t expected_model_bytes(const cuda_backend::ModelProtocol& p) {
  const std::uint64_t t = p.num_types;
  const std::uint64_t angular = t * t * (p.n_max_angular + 1) * (p.basis_size_angular + 1);
  std::uint64_t floats = 2 * p.ann_parameter_count + p.descriptor_coefficient_count + p.structural_coefficient_count +
                         angular + p.scaler_count + 2 * t * t + (p.has_zbl ? 10 * t * t : 0);
  std::uint64_t ints = t;  // atomic numbers
  std::uint64_t doubles = 0;
  if (p.spin_mode != 0) {
    ints += 2 * t;
    doubles += t;
  }
  return 4 * (floats + ints) + 8 * doubles;
}

struct EstimateCase {
  const char* name;
  const char* family;
  int atoms;
  int structures;
};

// Test names and failure output show the case by its name, not its bytes.
void PrintTo(const EstimateCase& c, std::ostream* os) { *os << c.name; }

class CudaEngineEstimates : public CudaEngineTest, public ::testing::WithParamInterface<EstimateCase> {};

TEST_P(CudaEngineEstimates, ExactBytesForTheCapacities) {
  const LoadedModel model(shape_of(GetParam().family));
  ASSERT_EQ(model.status(), QRVL_STATUS_OK) << qrvl_last_error_message();
  const cuda_backend::ModelProtocol protocol = cuda_backend::parse_model_file(model.path()).protocol;
  QrvlWorkspaceEstimate estimate{};
  ASSERT_EQ(qrvl_estimate_workspace(model.handle(), GetParam().atoms, GetParam().structures, &estimate),
            QRVL_STATUS_OK);
  const std::uint64_t workspace = expected_workspace_bytes(protocol, GetParam().atoms, GetParam().structures);
  EXPECT_EQ(estimate.workspace_bytes, workspace);
  EXPECT_EQ(estimate.model_bytes, expected_model_bytes(protocol));
  EXPECT_EQ(estimate.total_bytes, estimate.model_bytes + estimate.workspace_bytes);
  EXPECT_EQ(estimate.atom_capacity, GetParam().atoms);
  EXPECT_EQ(estimate.structure_capacity, GetParam().structures);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, CudaEngineEstimates,
    ::testing::Values(EstimateCase{"OneAtom", "nep4", 1, 1}, EstimateCase{"TypeScheduleStep", "nep5_zbl", 1025, 3},
                      EstimateCase{"Charge", "nep4_charge2", 300, 4}, EstimateCase{"Spin", "nep4_spin", 77, 2},
                      EstimateCase{"PastTwoToThe32", "nep4", 100000000, 1000},
                      EstimateCase{"SpinPastTwoToThe32", "nep4_spin", 2147483647, 2147483647}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

TEST_F(CudaEngineTest, EstimateRefusesCapacitiesBelowOne) {
  const LoadedModel model(shape_of("nep4"));
  QrvlWorkspaceEstimate estimate{};
  EXPECT_EQ(qrvl_estimate_workspace(model.handle(), 0, 1, &estimate), QRVL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(qrvl_estimate_workspace(model.handle(), 1, 0, &estimate), QRVL_STATUS_INVALID_ARGUMENT);
}

// Evaluations of every model kind through the flat interface.
class CudaEngineOperations : public CudaEngineTest {
 protected:
  test_support::BatchArrays arrays_ = test_support::BatchArrays::consecutive({2}, 2);
  std::vector<double> energy_ = std::vector<double>(1), force_ = std::vector<double>(6);
  std::vector<double> charge_ = std::vector<double>(2), bec_ = std::vector<double>(18);
  QrvlFindForceResult result() {
    QrvlFindForceResult r{};
    r.energy = energy_.data();
    r.force = force_.data();
    return r;
  }
};

// Spin batches and their descriptors run end to end.
TEST_F(CudaEngineOperations, SpinForceBatchAndDescriptorsRun) {
  const LoadedModel model(shape_of("nep4_spin"));
  QrvlStructureBatch batch = arrays_.view();
  std::vector<double> spins(3 * static_cast<std::size_t>(batch.num_atoms), 0.5);
  batch.spins = spins.data();
  QrvlFindForceResult r = result();
  EXPECT_EQ(qrvl_find_force_batch(model.handle(), &batch, &r), QRVL_STATUS_OK) << qrvl_last_error_message();
  EXPECT_TRUE(std::isfinite(energy_[0]));
  QrvlModelInfo info{};
  ASSERT_EQ(qrvl_model_info(model.handle(), &info), QRVL_STATUS_OK);
  std::vector<double> values(static_cast<std::size_t>(batch.num_atoms) * static_cast<std::size_t>(info.descriptor_dim));
  QrvlFindDescriptorResult descriptors{values.data()};
  EXPECT_EQ(qrvl_find_descriptors(model.handle(), &batch, &descriptors), QRVL_STATUS_OK) << qrvl_last_error_message();
}

TEST_F(CudaEngineOperations, ChargeBatchChecksItsResultFirst) {
  const LoadedModel charge(shape_of("nep4_charge1"));
  const LoadedModel ordinary(shape_of("nep4"));
  const QrvlStructureBatch batch = arrays_.view();
  QrvlFindForceResult r = result();
  r.charge = charge_.data();
  EXPECT_EQ(qrvl_find_charge_batch(charge.handle(), &batch, &r), QRVL_STATUS_INVALID_ARGUMENT);  // no bec
  EXPECT_STREQ(qrvl_last_error_message(), "");
  r.bec = bec_.data();
  EXPECT_EQ(qrvl_find_charge_batch(charge.handle(), &batch, &r), QRVL_STATUS_OK) << qrvl_last_error_message();
  EXPECT_EQ(qrvl_find_force_batch(charge.handle(), &batch, &r), QRVL_STATUS_UNSUPPORTED);
  EXPECT_STREQ(qrvl_last_error_message(), "charge models require qrvl_find_charge_batch");
  EXPECT_EQ(qrvl_find_charge_batch(ordinary.handle(), &batch, &r), QRVL_STATUS_UNSUPPORTED);
}

TEST_F(CudaEngineOperations, DispersionRefusesWithTextAndEmptyLammpsListsAreInvalid) {
  const LoadedModel model(shape_of("nep4"));
  const QrvlStructureBatch batch = arrays_.view();
  QrvlDftd3Parameters parameters{};
  parameters.functional = "pbe";
  QrvlDftd3Result dftd3{};
  EXPECT_EQ(qrvl_compute_dftd3_batch(model.handle(), &batch, &parameters, &dftd3), QRVL_STATUS_UNSUPPORTED);
  EXPECT_STREQ(qrvl_last_error_message(), "DFT-D3 is unsupported by the CUDA backend; CPU fallback is disabled");
  QrvlLammpsNeighborInput input{};
  QrvlLammpsNeighborResult output{};
  EXPECT_EQ(qrvl_find_force_lammps_neighbors(model.handle(), &input, &output), QRVL_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(qrvl_last_error_message(), "");  // the host-list driver's own refusals carry no text
  QrvlLammpsDeviceNeighborInput device_input{};
  QrvlLammpsDeviceNeighborResult device_output{};
  EXPECT_EQ(qrvl_find_force_lammps_device_neighbors(model.handle(), &device_input, &device_output),
            QRVL_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(qrvl_last_error_message(), "invalid device LAMMPS neighbor input or force output");
}

// Bad input on every batch road: one atom of the middle structure of three, or that structure's cell, or that
// atom's spin, holds a NaN or an infinity. Each road refuses with 1 and a text that names the defect and where
// it is, before any device work, so not one output value is written.
enum class BatchRoad { force, charge, descriptors, spin_force, spin_descriptors };
enum class Defect { position, cell, spin };

struct NonFiniteCase {
  std::string name;
  const char* family;
  BatchRoad road;
  Defect defect;
  double value;
};

void PrintTo(const NonFiniteCase& c, std::ostream* os) { *os << c.name; }

std::vector<NonFiniteCase> non_finite_cases() {
  struct Road {
    const char* name;
    const char* family;
    BatchRoad road;
  };
  const Road roads[] = {{"ForceBatch", "nep4", BatchRoad::force},
                        {"ChargeBatch", "nep4_charge1", BatchRoad::charge},
                        {"Descriptors", "nep4", BatchRoad::descriptors},
                        {"SpinForceBatch", "nep4_spin", BatchRoad::spin_force},
                        {"SpinDescriptors", "nep4_spin", BatchRoad::spin_descriptors}};
  const std::pair<const char*, double> values[] = {{"Nan", std::nan("")},
                                                   {"Infinity", std::numeric_limits<double>::infinity()},
                                                   {"MinusInfinity", -std::numeric_limits<double>::infinity()}};
  std::vector<NonFiniteCase> cases;
  for (const Road& road : roads) {
    const bool spin = road.road == BatchRoad::spin_force || road.road == BatchRoad::spin_descriptors;
    for (const auto& [value_name, value] : values) {
      const std::string prefix = std::string(road.name) + "_" + value_name;
      cases.push_back({prefix + "Position", road.family, road.road, Defect::position, value});
      cases.push_back({prefix + "Cell", road.family, road.road, Defect::cell, value});
      if (spin) cases.push_back({prefix + "Spin", road.family, road.road, Defect::spin, value});
    }
  }
  return cases;
}

class NonFiniteInput : public CudaEngineTest, public ::testing::WithParamInterface<NonFiniteCase> {
 protected:
  static constexpr double kUntouched = 7.0;  // every output starts as this and must stay so

  // Runs the case's road on `batch`, every output array given and filled with kUntouched.
  int run(QrvlModel* model, const QrvlStructureBatch& batch) {
    const auto atoms = static_cast<std::size_t>(batch.num_atoms);
    const auto structures = static_cast<std::size_t>(batch.num_structures);
    energy_.assign(structures, kUntouched);
    virial_.assign(9 * structures, kUntouched);
    potential_.assign(atoms, kUntouched);
    charge_.assign(atoms, kUntouched);
    force_.assign(3 * atoms, kUntouched);
    mforce_.assign(3 * atoms, kUntouched);
    virial_per_atom_.assign(9 * atoms, kUntouched);
    bec_.assign(9 * atoms, kUntouched);
    QrvlModelInfo info{};
    EXPECT_EQ(qrvl_model_info(model, &info), QRVL_STATUS_OK);
    descriptors_.assign(atoms * static_cast<std::size_t>(info.descriptor_dim), kUntouched);
    QrvlFindForceResult result{};
    result.energy = energy_.data();
    result.potential = potential_.data();
    result.force = force_.data();
    result.virial = virial_.data();
    result.virial_per_atom = virial_per_atom_.data();
    QrvlFindDescriptorResult descriptors{descriptors_.data()};
    switch (GetParam().road) {
      case BatchRoad::force:
        return qrvl_find_force_batch(model, &batch, &result);
      case BatchRoad::charge:
        result.charge = charge_.data();
        result.bec = bec_.data();
        return qrvl_find_charge_batch(model, &batch, &result);
      case BatchRoad::spin_force:
        result.mforce = mforce_.data();
        return qrvl_find_force_batch(model, &batch, &result);
      case BatchRoad::descriptors:
      case BatchRoad::spin_descriptors:
        return qrvl_find_descriptors(model, &batch, &descriptors);
    }
    return -1;
  }

  bool outputs_untouched() const {
    for (const std::vector<double>* output : {&energy_, &virial_, &potential_, &charge_, &force_, &mforce_,
                                              &virial_per_atom_, &bec_, &descriptors_}) {
      for (double value : *output) {
        if (value != kUntouched) return false;
      }
    }
    return true;
  }

 private:
  std::vector<double> energy_, virial_, potential_, charge_, force_, mforce_, virial_per_atom_, bec_, descriptors_;
};

TEST_P(NonFiniteInput, IsRefusedWithItsPlaceBeforeAnyOutputIsWritten) {
  const NonFiniteCase& c = GetParam();
  const LoadedModel model(shape_of(c.family));
  ASSERT_EQ(model.status(), QRVL_STATUS_OK) << qrvl_last_error_message();
  test_support::BatchArrays arrays = test_support::BatchArrays::consecutive({2, 2, 2}, 2);
  arrays.spins.assign(arrays.positions.size(), 0.5);
  constexpr std::size_t kAtom = 3;       // the second atom of the middle structure
  constexpr std::size_t kStructure = 1;  // the middle structure
  switch (c.defect) {
    case Defect::position:
      arrays.positions[3 * kAtom + 1] = c.value;
      break;
    case Defect::cell:
      arrays.boxes[9 * kStructure + 7] = c.value;
      break;
    case Defect::spin:
      arrays.spins[3 * kAtom + 2] = c.value;
      break;
  }
  const char* expected[] = {"atom 3 has a non-finite position", "structure 1 has a non-finite cell",
                            "atom 3 has a non-finite spin"};
  EXPECT_EQ(run(model.handle(), arrays.view()), QRVL_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(qrvl_last_error_message(), expected[static_cast<int>(c.defect)]);
  EXPECT_TRUE(outputs_untouched());
}

INSTANTIATE_TEST_SUITE_P(Roads, NonFiniteInput, ::testing::ValuesIn(non_finite_cases()),
                         [](const auto& test_case) { return test_case.param.name; });

TEST_F(CudaEngineTest, ADirectoryIsAFileThatCannotBeOpened) {
  QrvlModel* handle = nullptr;
  EXPECT_EQ(qrvl_load_model("cuda", std::filesystem::temp_directory_path().c_str(), &handle),
            QRVL_STATUS_RUNTIME_ERROR);
  EXPECT_STREQ(qrvl_last_error_message(), "failed to open model file");
  EXPECT_EQ(handle, nullptr);
}

// One model used by two threads at once: the model serialises the calls, so each thread gets its own batch's
// results although the two batches need differently shaped workspaces (one structure, several structures).
TEST_F(CudaEngineOperations, TwoThreadsOnOneModelEachGetTheirOwnResults) {
  const LoadedModel model(shape_of("nep4"));
  ASSERT_EQ(model.status(), QRVL_STATUS_OK) << qrvl_last_error_message();
  struct Caller {
    test_support::BatchArrays arrays;
    std::vector<double> energy, force;
    int evaluate(QrvlModel* handle) {
      const QrvlStructureBatch batch = arrays.view();
      energy.assign(static_cast<std::size_t>(batch.num_structures), 0.0);
      force.assign(3 * static_cast<std::size_t>(batch.num_atoms), 0.0);
      QrvlFindForceResult r{};
      r.energy = energy.data();
      r.force = force.data();
      return qrvl_find_force_batch(handle, &batch, &r);
    }
  };
  Caller callers[2] = {{test_support::BatchArrays::consecutive({3, 4}, 2), {}, {}},
                       {test_support::BatchArrays::consecutive({5}, 2), {}, {}}};
  std::vector<double> expected_energy[2], expected_force[2];
  for (int c = 0; c < 2; ++c) {
    ASSERT_EQ(callers[c].evaluate(model.handle()), QRVL_STATUS_OK) << qrvl_last_error_message();
    expected_energy[c] = callers[c].energy;
    expected_force[c] = callers[c].force;
  }
  constexpr int kRounds = 40;
  // Each round may sum the same double-precision atomic contributions in another order.
  constexpr double kSummationOrderTolerance = 1e-9;
  std::atomic<int> mismatches{0};
  const auto work = [&](int c) {
    for (int round = 0; round < kRounds; ++round) {
      if (callers[c].evaluate(model.handle()) != QRVL_STATUS_OK) {
        ++mismatches;
        continue;
      }
      for (std::size_t k = 0; k < expected_energy[c].size(); ++k) {
        if (std::abs(callers[c].energy[k] - expected_energy[c][k]) > kSummationOrderTolerance) ++mismatches;
      }
      for (std::size_t k = 0; k < expected_force[c].size(); ++k) {
        if (std::abs(callers[c].force[k] - expected_force[c][k]) > kSummationOrderTolerance) ++mismatches;
      }
    }
  };
  std::thread first(work, 0);
  std::thread second(work, 1);
  first.join();
  second.join();
  EXPECT_EQ(mismatches.load(), 0);
}

// The first registration runs out of memory: the C function answers 0 instead of letting std::bad_alloc cross
// the C boundary, and a later call registers the engine. Only the first registration of a process allocates.
TEST(CudaEngineRegistration, RunningOutOfMemoryAnswersZeroAndALaterCallRegisters) {
  if (qrvl_backend_count() != 0) GTEST_SKIP() << "the engine was registered earlier in this process";
  int failed = -1;
  {
    const test_support::FailingAllocations out_of_memory;
    failed = qrvl_register_cuda_engine();
  }
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(qrvl_backend_count(), 0);
  EXPECT_EQ(qrvl_register_cuda_engine(), 1);
  EXPECT_EQ(qrvl_backend_count(), 1);
}

}  // namespace
}  // namespace quarvel

