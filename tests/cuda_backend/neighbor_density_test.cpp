// The refusal of structures far beyond the model's neighbor capacity: where its bound lies, that the force, charge
// and descriptor roads answer the commonest unit slips with it before anything is allocated or written, and that a
// structure below the bound that still overflows is refused by the neighbor lists as before.
#include "cuda_backend/neighbor_density.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "cuda_backend/batch_driver.hpp"
#include "cuda_backend/descriptor_driver.hpp"
#include "quarvel/quarvel.h"
#include "support/batch_builder.hpp"
#include "support/batch_driver_state.hpp"
#include "support/device_test.hpp"
#include "support/loaded_model.hpp"
#include "support/model_file_writer.hpp"
#include "support/protocol_shapes.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::BatchArrays;
using ::testing::Each;
using ::testing::StrEq;

constexpr double kUntouched = -4321.0;  // fills caller arrays so that anything written shows

// One structure appended to a batch: a cubic cell of `edge` and the atoms' positions, types alternating 0, 1.
void append_structure(BatchArrays& b, double edge, const std::vector<double>& positions) {
  const auto count = static_cast<std::int32_t>(positions.size() / 3);
  b.offsets.push_back(static_cast<std::int32_t>(b.types.size()));
  b.counts.push_back(count);
  for (std::int32_t i = 0; i < count; ++i) b.types.push_back(i % 2);
  b.positions.insert(b.positions.end(), positions.begin(), positions.end());
  b.boxes.insert(b.boxes.end(), {edge, 0.0, 0.0, 0.0, edge, 0.0, 0.0, 0.0, edge});
  b.pbc.insert(b.pbc.end(), {1, 1, 1});
}

// A simple cubic lattice of 4 x 4 x 4 sites `spacing` apart, filling a cube of 4 x spacing.
std::vector<double> simple_cubic(double spacing) {
  std::vector<double> positions;
  for (int x = 0; x < 4; ++x) {
    for (int y = 0; y < 4; ++y) {
      for (int z = 0; z < 4; ++z) positions.insert(positions.end(), {x * spacing, y * spacing, z * spacing});
    }
  }
  return positions;
}

// 40 atoms spread over the unit cube, as fractional coordinates are.
std::vector<double> fractional_coordinates() {
  std::vector<double> positions;
  for (int i = 0; i < 40; ++i) {
    positions.insert(positions.end(), {0.025 * i, std::fmod(0.37 * i, 1.0), std::fmod(0.61 * i, 1.0)});
  }
  return positions;
}

// ---- Where the bound lies: the model file's radial capacity 125 (100 neighbors) and radial cutoff 5 Angstrom give
// 523.6 Angstrom^3 per sphere and a bound of 1250 mean neighbors.

ModelProtocol capacity_125_cutoff_5() {
  ModelProtocol p = test_support::minimal_protocol();
  p.cutoff_radial = p.cutoff_radial_list = 5.0;
  p.neighbor_capacity_radial = 125;
  return p;
}

struct BoundCase {
  const char* name;
  std::int32_t atoms;
  std::vector<double> cell;  // row-major, Angstrom
  const char* message;       // null: accepted
};

void PrintTo(const BoundCase& c, std::ostream* os) { *os << c.name; }

class DensityBound : public ::testing::TestWithParam<BoundCase> {};

// The case's structure follows one of ordinary density, so that a refusal must name structure 1.
TEST_P(DensityBound, RefusesOnlyBeyondTenTimesTheCapacity) {
  const BoundCase& c = GetParam();
  BatchArrays b = BatchArrays::consecutive({8, c.atoms}, 2);
  std::copy(c.cell.begin(), c.cell.end(), b.boxes.begin() + 9);
  const QrvlStructureBatch batch = b.view();
  if (c.message == nullptr) {
    EXPECT_NO_THROW(require_density_within_neighbor_capacity(batch, capacity_125_cutoff_5()));
  } else {
    EXPECT_THAT([&] { require_density_within_neighbor_capacity(batch, capacity_125_cutoff_5()); },
                ::testing::ThrowsMessage<std::runtime_error>(StrEq(c.message)));
  }
}

std::vector<BoundCase> bound_cases() {
  const std::vector<double> cube2 = {2, 0, 0, 0, 2, 0, 0, 0, 2};  // 8 Angstrom^3: 65.45 neighbors per atom
  return {
      {"JustBelow", 19, cube2, nullptr},  // 1243.6
      {"JustAbove", 20, cube2,            // 1309.0
       "structure 1 averages about 1.31e+03 radial neighbors per atom, more than ten times the model's capacity of "
       "125; positions and cells are in Angstrom"},
      // A sheared cell of the same volume holds the same density.
      {"JustAboveSheared", 20, {2, 1.5, -0.7, 0, 2, 3.1, 0, 0, 2},
       "structure 1 averages about 1.31e+03 radial neighbors per atom, more than ten times the model's capacity of "
       "125; positions and cells are in Angstrom"},
      // A thin slab of physical density is replicated, never refused.
      {"ThinSlab", 32, {2, 0, 0, 0, 20, 0, 0, 0, 20}, nullptr},
      // A singular cell is left to replication, which refuses it with its own text.
      {"SingularCell", 1000, {1, 0, 0, 0, 1, 0, 0, 0, 1e-13}, nullptr},
  };
}

INSTANTIATE_TEST_SUITE_P(Cells, DensityBound, ::testing::ValuesIn(bound_cases()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

// ---- The roads: each unit slip follows a structure of ordinary density, and nothing of either reaches the caller.

enum class Road { force, charge, descriptors };

void PrintTo(Road road, std::ostream* os) {
  static const char* const names[] = {"Force", "Charge", "Descriptors"};
  *os << names[static_cast<int>(road)];
}

struct SlipCase {
  const char* name;
  double edge;  // Angstrom, as the caller gives it
  std::vector<double> positions;
  const char* estimate;  // mean radial neighbors per atom, as the refusal prints it
};

void PrintTo(const SlipCase& c, std::ostream* os) { *os << c.name; }

std::vector<SlipCase> slip_cases() {
  return {{"OneAtomInA0_01AngstromCube", 0.01, {0.0, 0.0, 0.0}, "5.24e+08"},
          {"OneAtomInA0_2AngstromCube", 0.2, {0.1, 0.1, 0.1}, "6.54e+04"},
          {"OrdinaryDensityInNanometres", 1.0, simple_cubic(0.25), "3.35e+04"},
          {"FractionalCoordinatesInAnIdentityCell", 1.0, fractional_coordinates(), "2.09e+04"}};
}

// A road's driver on a model of its own (the charge road on a charge model), with the model's workspace cache in
// view and every caller array filled with kUntouched before each call.
class RoadDriver {
 public:
  explicit RoadDriver(Road road)
      : road_(road),
        model_(test_support::load_model(
            test_support::compact_shape(road == Road::charge ? "nep4_charge1" : "nep4", {"C", "H"}))) {}

  int evaluate(const BatchArrays& b) {
    BatchDriverModel m = state_.driver(model_->protocol(), model_->host, model_->device);
    const std::size_t atoms = b.types.size();
    const std::size_t structures = b.counts.size();
    if (road_ == Road::descriptors) {
      const auto dimension = static_cast<std::size_t>(model_->protocol().descriptor_dim);
      outputs_ = {std::vector<double>(atoms * dimension, kUntouched)};
      QrvlFindDescriptorResult result{outputs_[0].data()};
      return evaluate_batch_descriptors(m, b.view(), result);
    }
    outputs_ = {std::vector<double>(structures, kUntouched), std::vector<double>(3 * atoms, kUntouched),
                std::vector<double>(atoms, kUntouched),      std::vector<double>(9 * structures, kUntouched),
                std::vector<double>(atoms, kUntouched),      std::vector<double>(9 * atoms, kUntouched)};
    QrvlFindForceResult result{};
    result.energy = outputs_[0].data();
    result.force = outputs_[1].data();
    result.potential = outputs_[2].data();
    result.virial = outputs_[3].data();
    if (road_ == Road::charge) {
      result.charge = outputs_[4].data();
      result.bec = outputs_[5].data();
    }
    return evaluate_structure_batch(m, b.view(), result, true);
  }

  bool allocated() const { return state_.workspace != nullptr; }
  const std::vector<std::vector<double>>& outputs() const { return outputs_; }

 private:
  Road road_;
  std::unique_ptr<test_support::LoadedModel> model_;
  test_support::BatchDriverState state_;
  std::vector<std::vector<double>> outputs_;
};

class DensityRefusal : public test_support::DeviceTest,
                       public ::testing::WithParamInterface<std::tuple<Road, SlipCase>> {};

TEST_P(DensityRefusal, AnswersAtOnceWithItsTextAndTouchesNothing) {
  const SlipCase& slip = std::get<1>(GetParam());
  RoadDriver road(std::get<0>(GetParam()));
  BatchArrays b;
  append_structure(b, 10.0, simple_cubic(2.5));  // 0.064 atoms per Angstrom^3: an ordinary solid
  append_structure(b, slip.edge, slip.positions);
  EXPECT_EQ(road.evaluate(b), QRVL_STATUS_RUNTIME_ERROR);  // as the neighbor lists' own overflow answers
  EXPECT_EQ(std::string(qrvl_last_error_message()),
            std::string("structure 1 averages about ") + slip.estimate +
                " radial neighbors per atom, more than ten times the model's capacity of 125; positions and cells "
                "are in Angstrom");
  EXPECT_FALSE(road.allocated()) << "a workspace was allocated";
  for (const std::vector<double>& output : road.outputs()) EXPECT_THAT(output, Each(kUntouched));
}

INSTANTIATE_TEST_SUITE_P(
    Roads, DensityRefusal,
    ::testing::Combine(::testing::Values(Road::force, Road::charge, Road::descriptors),
                       ::testing::ValuesIn(slip_cases())),
    [](const auto& test_case) {
      return ::testing::PrintToString(std::get<0>(test_case.param)) + std::get<1>(test_case.param).name;
    });

class OverflowBelowTheBound : public test_support::DeviceTest, public ::testing::WithParamInterface<Road> {};

// One atom in a 1.2 Angstrom cube averages 303 radial neighbors: beyond the capacity of 125, within ten times it.
// It is replicated and refused by the neighbor lists as before, with their own text.
TEST_P(OverflowBelowTheBound, IsRefusedByTheNeighborListsAsBefore) {
  RoadDriver road(GetParam());
  BatchArrays b;
  append_structure(b, 1.2, {0.0, 0.0, 0.0});
  EXPECT_EQ(road.evaluate(b), QRVL_STATUS_RUNTIME_ERROR);
  EXPECT_STREQ(qrvl_last_error_message(), GetParam() == Road::force
                                              ? "batched neighbor list exceeded CUDA workspace capacity"
                                              : "neighbor list exceeded workspace capacity");
  EXPECT_TRUE(road.allocated());
}

INSTANTIATE_TEST_SUITE_P(Roads, OverflowBelowTheBound, ::testing::Values(Road::force, Road::charge, Road::descriptors),
                         [](const auto& test_case) { return ::testing::PrintToString(test_case.param); });

}  // namespace
}  // namespace quarvel::cuda_backend
