#include "cuda_backend/internal_neighbor_builder.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <set>
#include <stdexcept>
#include <ostream>
#include <string>
#include <vector>

#include "cuda_backend/device_staging.hpp"
#include "cuda_backend/host_staging_records.hpp"
#include "support/batch_builder.hpp"
#include "support/cell_math.hpp"
#include "support/device_test.hpp"
#include "support/protocol_shapes.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::BatchArrays;
using test_support::download;
using test_support::upload;
using ::testing::ElementsAre;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

using test_support::Cell;
using test_support::inverse_of;
using test_support::periodic_box;

constexpr double kCutoffMax = 4.5;      // Angstrom: sets the cell grid
constexpr double kRadialCutoff = 4.0;   // Angstrom: radial list
constexpr double kAngularCutoff = 3.0;  // Angstrom: angular list
constexpr int kRoomySlots = 400;        // list capacity no test structure reaches unless it wants to overflow
// Pairs this close to a cutoff may fall either way: the builder tests distances in single precision, whose
// rounding of a separation of a few Angstrom is below 1e-6 Angstrom.
constexpr double kCutoffBand = 1e-5;

ModelProtocol list_protocol(int radial_slots = kRoomySlots, int angular_slots = kRoomySlots) {
  ModelProtocol p = test_support::minimal_protocol();
  p.cutoff_max = kCutoffMax;
  p.cutoff_radial = kRadialCutoff;
  p.cutoff_radial_list = kRadialCutoff;
  p.cutoff_angular = kAngularCutoff;
  p.neighbor_capacity_radial = radial_slots;
  p.neighbor_capacity_angular = angular_slots;
  return p;
}

Cell diagonal(double a, double b, double c) { return {a, 0, 0, 0, b, 0, 0, 0, c}; }

// Smallest spacing of the lattice planes: 1 / the longest row of the inverse.
double thinnest_spacing(const Cell& h) {
  const Cell g = inverse_of(h);
  double spacing = 1e300;
  for (int a = 0; a < 3; ++a) {
    spacing = std::min(spacing, 1.0 / std::sqrt(g[3 * a] * g[3 * a] + g[3 * a + 1] * g[3 * a + 1] +
                                                g[3 * a + 2] * g[3 * a + 2]));
  }
  return spacing;
}

// One structure: a cell and `atoms` positions drawn uniformly in it (fractional coordinates in [0, 1)), plus a
// few outside the cell, which a periodic builder must wrap.
struct Structure {
  Cell cell;
  int atoms;
};

BatchArrays random_batch(const std::vector<Structure>& structures, unsigned seed) {
  BatchArrays b;
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::int32_t offset = 0;
  for (const Structure& s : structures) {
    b.counts.push_back(s.atoms);
    b.offsets.push_back(offset);
    offset += s.atoms;
    b.boxes.insert(b.boxes.end(), s.cell.begin(), s.cell.end());
    b.pbc.insert(b.pbc.end(), {1, 1, 1});
    for (int i = 0; i < s.atoms; ++i) {
      double f[3] = {unit(rng), unit(rng), unit(rng)};
      if (i % 7 == 3) f[i % 3] += (i % 2 == 0) ? 1.0 : -2.0;  // an image outside the cell
      for (int r = 0; r < 3; ++r) {
        b.positions.push_back(s.cell[3 * r] * f[0] + s.cell[3 * r + 1] * f[1] + s.cell[3 * r + 2] * f[2]);
      }
      b.types.push_back(0);
    }
  }
  return b;
}

// Brute-force full lists of one batch: j is a neighbor of i (same structure) when some periodic image of j
// (shifts -2..2 along each cell vector) lies closer than the cutoff. `ambiguous` collects pairs within
// kCutoffBand of the cutoff; `images` is the most images of one atom found inside the cutoff.
struct ReferenceLists {
  std::vector<std::set<int>> sure;
  std::vector<std::set<int>> ambiguous;
  int images = 0;
};

// The cell of structure s of the batch.
Cell cell_of(const BatchArrays& b, std::size_t s) {
  Cell h;
  std::copy_n(b.boxes.begin() + static_cast<std::ptrdiff_t>(9 * s), 9, h.begin());
  return h;
}

ReferenceLists brute_force(const BatchArrays& b, double cutoff) {
  const std::size_t n = b.types.size();
  ReferenceLists ref{std::vector<std::set<int>>(n), std::vector<std::set<int>>(n), 0};
  for (std::size_t s = 0; s < b.counts.size(); ++s) {
    const Cell h = cell_of(b, s);
    const Cell g = inverse_of(h);
    for (int i = b.offsets[s]; i < b.offsets[s] + b.counts[s]; ++i) {
      for (int j = b.offsets[s]; j < b.offsets[s] + b.counts[s]; ++j) {
        if (i == j) continue;
        // Whole cell shifts that bring j near i, then every image one shift around them.
        double shift[3];
        for (int a = 0; a < 3; ++a) {
          double f = 0.0;
          for (int r = 0; r < 3; ++r) f += g[3 * a + r] * (b.positions[3 * i + r] - b.positions[3 * j + r]);
          shift[a] = std::round(f);
        }
        int inside = 0;
        for (int ka = -1; ka <= 1; ++ka) {
          for (int kb = -1; kb <= 1; ++kb) {
            for (int kc = -1; kc <= 1; ++kc) {
              const double k[3] = {shift[0] + ka, shift[1] + kb, shift[2] + kc};
              double r2 = 0.0;
              for (int r = 0; r < 3; ++r) {
                const double d = b.positions[3 * i + r] - b.positions[3 * j + r] -
                                 (h[3 * r] * k[0] + h[3 * r + 1] * k[1] + h[3 * r + 2] * k[2]);
                r2 += d * d;
              }
              const double distance = std::sqrt(r2);
              if (std::abs(distance - cutoff) < kCutoffBand) {
                ref.ambiguous[i].insert(j);
              } else if (distance < cutoff) {
                ref.sure[i].insert(j);
                ++inside;
              }
            }
          }
        }
        ref.images = std::max(ref.images, inside);
      }
    }
  }
  return ref;
}

// The device list of every atom as a set, after checking that no atom is listed twice and unused slots are 0.
std::vector<std::set<int>> device_lists(const std::int32_t* counts, const std::int32_t* lists, int slots,
                                        std::uint64_t capacity, int atoms) {
  const std::vector<std::int32_t> nn = download(counts, capacity);
  const std::vector<std::int32_t> nl = download(lists, slots * capacity);
  std::vector<std::set<int>> out(atoms);
  for (int i = 0; i < atoms; ++i) {
    for (int s = 0; s < slots; ++s) {
      const std::int32_t value = nl[s * capacity + i];
      if (s < nn[i]) {
        EXPECT_TRUE(out[i].insert(value).second) << "atom " << i << " lists " << value << " twice";
      } else {
        EXPECT_EQ(value, 0) << "atom " << i << " slot " << s;
      }
    }
  }
  return out;
}

void expect_same_sets(const std::vector<std::set<int>>& got, const ReferenceLists& ref, const char* list) {
  for (std::size_t i = 0; i < got.size(); ++i) {
    std::set<int> without_ambiguous;
    for (int j : got[i]) {
      if (ref.ambiguous[i].count(j) == 0) without_ambiguous.insert(j);
    }
    EXPECT_EQ(without_ambiguous, ref.sure[i]) << list << " list of atom " << i;
  }
}

class NeighborBuilderTest : public test_support::DeviceTest {
 protected:
  // A workspace sized exactly for the batch, with the batch staged into it.
  static DeviceWorkspace staged(const BatchArrays& b, const ModelProtocol& p) {
    DeviceWorkspace ws(make_internal_neighbor_workspace_plan(p, b.types.size(), b.counts.size(), false));
    stage_batch_on_device(b.view(), p.num_types, ws);
    return ws;
  }

  static void expect_lists_match(const DeviceWorkspace& ws, const BatchArrays& b, const ModelProtocol& p) {
    const DeviceWorkspaceView v = ws.view();
    const int atoms = static_cast<int>(b.types.size());
    const ReferenceLists radial = brute_force(b, p.cutoff_radial_list);
    ASSERT_LE(radial.images, 1) << "test cell too thin for a minimum-image list";
    expect_same_sets(device_lists(v.nn_radial, v.nl_radial_slot_major, p.neighbor_capacity_radial, v.atom_capacity,
                                  atoms),
                     radial, "radial");
    expect_same_sets(device_lists(v.nn_angular, v.nl_angular_slot_major, p.neighbor_capacity_angular,
                                  v.atom_capacity, atoms),
                     brute_force(b, p.cutoff_angular), "angular");
  }

};

struct CellCase {
  const char* name;
  Cell cell;
  int atoms;
};

// Names the case in test output instead of its bytes.
inline void PrintTo(const CellCase& c, std::ostream* os) { *os << c.name; }

// Every cell is at least twice the radial cutoff thick (checked), so minimum images are the only images.
std::vector<CellCase> cell_cases() {
  return {
      {"CubicTwoCellsPerAxis", diagonal(10.0, 10.0, 10.0), 90},
      {"OrthorhombicOneCellAlongZ", diagonal(13.0, 9.5, 8.2), 70},
      {"OrthorhombicManyCells", diagonal(23.0, 19.0, 15.0), 300},
      {"Triclinic", {12.0, 3.0, 2.0, 0.0, 11.0, -1.5, 0.0, 0.0, 13.0}, 150},
      {"StronglySheared", {30.0, 18.0, -15.0, 0.0, 16.0, 12.0, 0.0, 0.0, 10.0}, 250},
      {"RotatedAndSheared", {6.0, -5.0, 9.0, 8.0, 7.0, -3.0, 0.5, 6.0, 8.0}, 140},
  };
}

class SingleStructureLists : public NeighborBuilderTest, public ::testing::WithParamInterface<CellCase> {};

TEST_P(SingleStructureLists, MatchBruteForceMinimumImage) {
  const CellCase& c = GetParam();
  ASSERT_GE(thinnest_spacing(c.cell), 2.0 * kRadialCutoff);
  const BatchArrays b = random_batch({{c.cell, c.atoms}}, 11);
  const ModelProtocol p = list_protocol();
  DeviceWorkspace ws = staged(b, p);
  build_internal_neighbors_on_device(p, c.atoms, periodic_box(cell_of(b, 0)), ws);
  expect_lists_match(ws, b, p);
}

class BatchedLists : public NeighborBuilderTest, public ::testing::WithParamInterface<CellCase> {};

// Each case's cell as the middle structure of a batch of mixed sizes and cells.
TEST_P(BatchedLists, MatchBruteForceMinimumImage) {
  const CellCase& c = GetParam();
  const BatchArrays b = random_batch(
      {{diagonal(9.0, 10.0, 11.0), 8}, {c.cell, c.atoms}, {{11.0, 2.0, 0.0, 0.0, 10.0, 1.0, 0.0, 0.0, 9.0}, 37}}, 5);
  const ModelProtocol p = list_protocol();
  DeviceWorkspace ws = staged(b, p);
  build_internal_neighbors_batched(p, 3, static_cast<int>(b.types.size()), ws, false);
  expect_lists_match(ws, b, p);
}

INSTANTIATE_TEST_SUITE_P(Cells, SingleStructureLists, ::testing::ValuesIn(cell_cases()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });
INSTANTIATE_TEST_SUITE_P(Cells, BatchedLists, ::testing::ValuesIn(cell_cases()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

TEST_F(NeighborBuilderTest, OrthorhombicKernelsGiveTheGeneralLists) {
  const BatchArrays b =
      random_batch({{diagonal(10.0, 10.0, 10.0), 90}, {diagonal(9.0, 17.0, 12.5), 200}, {diagonal(8.5, 8.5, 8.5), 8}},
                   3);
  ASSERT_TRUE(batch_boxes_are_orthorhombic(b.view()));
  const ModelProtocol p = list_protocol();
  DeviceWorkspace ws = staged(b, p);
  build_internal_neighbors_batched(p, 3, static_cast<int>(b.types.size()), ws, true);
  expect_lists_match(ws, b, p);
}

TEST_F(NeighborBuilderTest, SmallStructureNeverGetsMoreCellsThanAtoms) {
  const BatchArrays b = random_batch({{diagonal(40.0, 40.0, 40.0), 8}, {diagonal(30.0, 30.0, 30.0), 200}}, 9);
  const ModelProtocol p = list_protocol();
  DeviceWorkspace ws = staged(b, p);
  build_internal_neighbors_batched(p, 2, 208, ws, false);
  // floor(40 / 4.5) = 8 per axis shrinks to 2 x 2 x 2 for 8 atoms; 6 x 6 x 6 > 200 shrinks to 5 x 6 x 6.
  EXPECT_THAT(download(ws.view().structure_cell_dims4, 8), ElementsAre(2, 2, 2, 8, 5, 6, 6, 180));
  EXPECT_THAT(download(ws.view().structure_cell_offsets, 2), ElementsAre(0, 8));
  expect_lists_match(ws, b, p);
}

TEST_F(NeighborBuilderTest, GridLargerThanCapacityShrinksLargestCountFirst) {
  // floor(20 / 4.5) = 4 cells per axis, 64 cells for a workspace of 30 atoms: lowered to 3 x 3 x 3.
  const BatchArrays b = random_batch({{diagonal(20.0, 20.0, 20.0), 30}}, 4);
  const ModelProtocol p = list_protocol();
  DeviceWorkspace ws = staged(b, p);
  build_internal_neighbors_on_device(p, 30, periodic_box(cell_of(b, 0)), ws);
  EXPECT_THAT(download(ws.view().cell_dims, 4), ElementsAre(3, 3, 3, 27));
  expect_lists_match(ws, b, p);
}

// Without periodic flags positions are not wrapped; an atom far outside the box lands in a border cell.
TEST_F(NeighborBuilderTest, NonPeriodicAtomFarOutsideTheBoxLandsInABorderCell) {
  BatchArrays b = BatchArrays::consecutive({3}, 1, 10.0);
  b.positions = {1.0, 1.0, 1.0, 2.0, 1.0, 1.0, 1.0, -1e300, 1e15};
  QrvlStructureBatch batch = b.view();
  batch.pbc = nullptr;  // staged as three non-periodic axes
  const ModelProtocol p = list_protocol();
  DeviceWorkspace ws(make_internal_neighbor_workspace_plan(p, 3, 1, false));
  stage_batch_on_device(batch, p.num_types, ws);
  build_internal_neighbors_batched(p, 1, 3, ws, false);
  EXPECT_THAT(download(ws.view().nn_radial, 3), ElementsAre(1, 1, 0));
  // Three atoms get a 1 x 1 x 2 grid; the far atom is clamped into the upper cell along z.
  EXPECT_THAT(download(ws.view().atom_cell, 3), ElementsAre(0, 0, 1));
}

TEST_F(NeighborBuilderTest, PairExactlyAtTheCutoffIsNotListed) {
  BatchArrays b = BatchArrays::consecutive({3}, 1, 10.0);
  b.positions = {1.0, 1.0, 1.0, 1.0 + kRadialCutoff, 1.0, 1.0, 1.0, 1.0 + kAngularCutoff, 1.0};
  const ModelProtocol p = list_protocol();
  DeviceWorkspace ws = staged(b, p);
  build_internal_neighbors_on_device(p, 3, periodic_box(cell_of(b, 0)), ws);
  const DeviceWorkspaceView v = ws.view();
  // Atom 0 reaches 1 only at the radial cutoff, and 2 only at the angular cutoff (inside the radial one).
  EXPECT_EQ(download(v.nn_radial, 3)[0], 1);
  EXPECT_EQ(download(v.nl_radial_slot_major, 1)[0], 2);
  EXPECT_EQ(download(v.nn_angular, 3)[0], 0);
}

// Every atom of a dense cluster sees every other: more candidates than slots.
struct OverflowCase {
  const char* name;
  int radial_slots;
  int angular_slots;
  bool batched;
  const char* message;
};

// Names the case in test output instead of its bytes.
inline void PrintTo(const OverflowCase& c, std::ostream* os) { *os << c.name; }

class NeighborOverflow : public NeighborBuilderTest, public ::testing::WithParamInterface<OverflowCase> {};

TEST_P(NeighborOverflow, ClampsTheCountsAndFails) {
  const OverflowCase& c = GetParam();
  BatchArrays b = BatchArrays::consecutive({6}, 1, 12.0);
  for (int i = 0; i < 6; ++i) {
    for (int r = 0; r < 3; ++r) b.positions[3 * i + r] = 5.0 + 0.3 * ((i + r) % 4);
  }
  const ModelProtocol p = list_protocol(c.radial_slots, c.angular_slots);
  DeviceWorkspace ws = staged(b, p);
  const auto build = [&] {
    if (c.batched) {
      build_internal_neighbors_batched(p, 1, 6, ws, true);
    } else {
      build_internal_neighbors_on_device(p, 6, periodic_box(cell_of(b, 0)), ws);
    }
  };
  EXPECT_THAT(build, ThrowsMessage<std::runtime_error>(StrEq(c.message)));
  EXPECT_THAT(download(ws.view().nn_radial, 6), ::testing::Each(std::min(5, c.radial_slots)));
  EXPECT_THAT(download(ws.view().nn_angular, 6), ::testing::Each(std::min(5, c.angular_slots)));
}

INSTANTIATE_TEST_SUITE_P(
    Capacities, NeighborOverflow,
    ::testing::Values(OverflowCase{"Radial", 3, 8, false, "neighbor list exceeded workspace capacity"},
                      OverflowCase{"Angular", 8, 2, false, "neighbor list exceeded workspace capacity"},
                      OverflowCase{"BatchedRadial", 4, 8, true,
                                   "batched neighbor list exceeded CUDA workspace capacity"},
                      OverflowCase{"BatchedAngular", 8, 1, true,
                                   "batched neighbor list exceeded CUDA workspace capacity"}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

TEST_F(NeighborBuilderTest, RefusesBadCallsWithTheirMessages) {
  const BatchArrays b = BatchArrays::consecutive({4, 4}, 1);
  const ModelProtocol p = list_protocol();
  DeviceWorkspace ws = staged(b, p);
  const SimulationBox box = periodic_box(cell_of(b, 0));
  const auto fails_with = [](const char* message) { return ThrowsMessage<std::runtime_error>(StrEq(message)); };
  EXPECT_THAT([&] { build_internal_neighbors_on_device(p, 0, box, ws); }, fails_with("atom_count must be positive"));
  EXPECT_THAT([&] { build_internal_neighbors_on_device(p, 9, box, ws); },
              fails_with("atom_count exceeds workspace atom capacity"));
  EXPECT_THAT([&] { build_internal_neighbors_batched(p, 0, 8, ws, false); },
              fails_with("structure_count must be positive"));
  EXPECT_THAT([&] { build_internal_neighbors_batched(p, 3, 8, ws, false); },
              fails_with("structure_count exceeds workspace structure capacity"));
  SimulationBox flat = box;
  for (int k = 6; k < 9; ++k) flat.inverse[k] = 0.0;
  EXPECT_THAT([&] { build_internal_neighbors_on_device(p, 8, flat, ws); },
              fails_with("box reciprocal axis must be positive"));

  DeviceWorkspace lammps(make_external_neighbor_workspace_plan(p, 8, 8, false, false));
  EXPECT_THAT([&] { build_internal_neighbors_on_device(p, 8, box, lammps); },
              fails_with("neighbor builder requires internal workspace"));
  EXPECT_THAT([&] { build_internal_neighbors_batched(p, 1, 8, lammps, false); },
              fails_with("structure_count exceeds workspace structure capacity"));
}

// A workspace without one array is refused before any device work, by both builders where both need it.
struct MissingArrayCase {
  const char* array;
  const char* message;
  bool single;
  bool batched;
};

// Names the case in test output instead of its bytes.
inline void PrintTo(const MissingArrayCase& c, std::ostream* os) { *os << c.array; }

class NeighborBuilderNeeds : public NeighborBuilderTest, public ::testing::WithParamInterface<MissingArrayCase> {};

TEST_P(NeighborBuilderNeeds, EveryArrayItWrites) {
  const MissingArrayCase& c = GetParam();
  const ModelProtocol p = list_protocol();
  DeviceWorkspace ws(test_support::without_array(make_internal_neighbor_workspace_plan(p, 4, 1, false), c.array));
  SimulationBox box{};
  box.inverse[0] = box.inverse[4] = box.inverse[8] = 0.1;
  box.pbc[0] = box.pbc[1] = box.pbc[2] = 1;
  const auto refusal = ThrowsMessage<std::runtime_error>(StrEq(c.message));
  if (c.single) {
    EXPECT_THAT([&] { build_internal_neighbors_on_device(p, 4, box, ws); }, refusal);
  }
  if (c.batched) {
    EXPECT_THAT([&] { build_internal_neighbors_batched(p, 1, 4, ws, false); }, refusal);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Arrays, NeighborBuilderNeeds,
    ::testing::Values(MissingArrayCase{"positions_soa3", "workspace missing positions", true, true},
                      MissingArrayCase{"atom_to_structure", "workspace missing atom_to_structure", false, true},
                      MissingArrayCase{"structure_atom_counts", "workspace missing structure counts", false, true},
                      MissingArrayCase{"boxes_row_major9", "workspace missing boxes", false, true},
                      MissingArrayCase{"box_inverse_row_major9", "workspace missing box inverses", false, true},
                      MissingArrayCase{"pbc_flags3", "workspace missing pbc flags", false, true},
                      MissingArrayCase{"nn_radial", "workspace missing radial counts", true, true},
                      MissingArrayCase{"nl_radial_slot_major", "workspace missing radial neighbors", true, true},
                      MissingArrayCase{"nn_angular", "workspace missing angular counts", true, true},
                      MissingArrayCase{"nl_angular_slot_major", "workspace missing angular neighbors", true, true},
                      MissingArrayCase{"cell_counts", "workspace missing cell counts", true, true},
                      MissingArrayCase{"cell_offsets", "workspace missing cell offsets", true, true},
                      MissingArrayCase{"cell_fill", "workspace missing cell fill", true, true},
                      MissingArrayCase{"cell_atoms", "workspace missing cell atoms", true, true},
                      MissingArrayCase{"atom_cell", "workspace missing atom_cell", true, true},
                      MissingArrayCase{"cell_dims", "workspace missing cell dims", true, false},
                      MissingArrayCase{"structure_cell_offsets", "workspace missing structure cell offsets", false,
                                       true},
                      MissingArrayCase{"structure_cell_dims4", "workspace missing structure cell dims", false, true},
                      MissingArrayCase{"neighbor_overflow", "workspace missing overflow flag", true, true}),
    [](const auto& test_case) { return std::string(test_case.param.array); });

TEST_F(NeighborBuilderTest, StructureWithoutAtomsFailsPlanning) {
  const BatchArrays b = BatchArrays::consecutive({4, 4}, 1);
  const ModelProtocol p = list_protocol();
  DeviceWorkspace ws = staged(b, p);
  upload(ws.view().structure_atom_counts, std::vector<std::int32_t>{8, 0});
  EXPECT_THAT([&] { build_internal_neighbors_batched(p, 2, 8, ws, false); },
              ThrowsMessage<std::runtime_error>(StrEq("batched cell planning exceeded workspace capacity")));
}

}  // namespace
}  // namespace quarvel::cuda_backend
