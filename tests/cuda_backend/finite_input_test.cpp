#include "cuda_backend/finite_input.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/batch_builder.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::BatchArrays;

// Two structures of two atoms with spins; each case spoils some values and names the refusal that comes first.
struct FiniteCase {
  const char* name;
  std::function<void(BatchArrays&)> spoil;
  bool with_spins;
  const char* message;  // null: accepted
};

void PrintTo(const FiniteCase& c, std::ostream* os) { *os << c.name; }

const double kNan = std::nan("");
const double kInfinity = std::numeric_limits<double>::infinity();

std::vector<FiniteCase> finite_cases() {
  return {
      {"FiniteBatch", [](BatchArrays&) {}, true, nullptr},
      {"LastCoordinateOfTheLastAtom", [](BatchArrays& b) { b.positions[11] = kInfinity; }, true,
       "atom 3 has a non-finite position"},
      {"FirstAtomBeforeALaterOne",
       [](BatchArrays& b) {
         b.positions[9] = kNan;
         b.positions[0] = -kInfinity;
       },
       true, "atom 0 has a non-finite position"},
      {"PositionBeforeCell",
       [](BatchArrays& b) {
         b.boxes[0] = kNan;
         b.positions[4] = kNan;
       },
       true, "atom 1 has a non-finite position"},
      {"OffDiagonalOfTheSecondCell", [](BatchArrays& b) { b.boxes[9 + 5] = kInfinity; }, true,
       "structure 1 has a non-finite cell"},
      {"CellBeforeSpin",
       [](BatchArrays& b) {
         b.spins[0] = kNan;
         b.boxes[9] = kNan;
       },
       true, "structure 1 has a non-finite cell"},
      {"Spin", [](BatchArrays& b) { b.spins[7] = kNan; }, true, "atom 2 has a non-finite spin"},
      // A model without spins never reads them.
      {"SpinNotAskedFor", [](BatchArrays& b) { b.spins[7] = kNan; }, false, nullptr},
  };
}

class FiniteInput : public ::testing::TestWithParam<FiniteCase> {};

TEST_P(FiniteInput, RefusesTheFirstNonFiniteValueByPlace) {
  BatchArrays arrays = BatchArrays::consecutive({2, 2}, 1);
  arrays.spins.assign(arrays.positions.size(), 0.25);
  GetParam().spoil(arrays);
  const QrvlStructureBatch batch = arrays.view();
  if (GetParam().message == nullptr) {
    EXPECT_NO_THROW(require_finite_batch(batch, GetParam().with_spins));
  } else {
    EXPECT_THAT([&] { require_finite_batch(batch, GetParam().with_spins); },
                ::testing::ThrowsMessage<std::invalid_argument>(::testing::StrEq(GetParam().message)));
  }
}

INSTANTIATE_TEST_SUITE_P(Values, FiniteInput, ::testing::ValuesIn(finite_cases()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

}  // namespace
}  // namespace quarvel::cuda_backend
