// Both LAMMPS roads through the flat interface with loaded models, against the batch road on the same periodic
// structures. The lists are built as LAMMPS builds them for a pair style with a full list and newton on: rows for
// the local atoms only, ghosts as the images within the list cutoff (cutoff + skin) of the cell, neighbor entries
// with LAMMPS flag bits, a type map that permutes the types. Ghost rows of forces, magnetic forces, per-atom
// virials and spin transfer are added onto the atoms they image, as LAMMPS's reverse communication does.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "quarvel/quarvel.h"
#include "support/batch_builder.hpp"
#include "support/cell_math.hpp"
#include "support/device_test.hpp"
#include "support/flat_model.hpp"
#include "support/lammps_lists.hpp"
#include "support/model_file_writer.hpp"

namespace quarvel {
namespace {

using test_support::Cell;
using test_support::DeviceCopy;
using test_support::DeviceLammpsInput;
using test_support::HostLammpsInput;
using test_support::LammpsSystem;
using test_support::ModelShape;

constexpr double kSkin = 1.0;            // Angstrom the lists reach beyond the model's largest cutoff
constexpr double kClosestApproach = 1.0;  // Angstrom: no two atoms closer, so the ZBL terms stay moderate
constexpr double kZblReach = 1.5;         // Angstrom: some pair is this close, inside every ZBL range of the table
// Single-precision pair terms summed in another order (and per-atom virials through a float sink on the device
// road): relative agreement with the batch road.
constexpr double kRelativeTolerance = 1e-4;
constexpr int kDiagonal[3] = {0, 4, 8};                          // row-major xx, yy, zz
constexpr int kUpper[3] = {1, 2, 5};                             // row-major xy, xz, yz
constexpr int kLower[3] = {3, 6, 7};                             // row-major yx, zx, zy
constexpr int kRowMajorOfLammps[9] = {0, 4, 8, 1, 2, 5, 3, 6, 7};  // per-atom rows: xx, yy, zz, xy, xz, yz, yx, zx, zy

struct ModelCase {
  const char* name;
  std::function<ModelShape()> shape;
};

ModelShape zbl_shape(double inner, double outer) {
  ModelShape shape = test_support::compact_shape("nep4_zbl", {"C", "H"});
  shape.zbl.inner = inner;
  shape.zbl.outer = outer;
  return shape;
}

ModelShape spin_shape(int chiral, std::vector<std::string> elements = {"Fe", "O"}) {
  ModelShape shape = test_support::compact_shape("nep4_spin", std::move(elements), 5);
  shape.cutoff_radial = {4.0};
  shape.cutoff_angular = {3.5};
  shape.spin.cutoff = 4.0;
  shape.spin.chiral = chiral;
  return shape;
}

std::vector<ModelCase> model_cases() {
  return {
      {"Nep4", [] { return test_support::compact_shape("nep4", {"C", "H"}); }},
      {"Nep5", [] { return test_support::compact_shape("nep5", {"C", "H"}); }},
      {"PlainZbl", [] { return zbl_shape(1.0, 2.0); }},
      {"TypewiseZbl",
       [] {
         ModelShape shape = zbl_shape(1.0, 2.0);
         shape.zbl.typewise_factor = 1.2;
         return shape;
       }},
      {"FlexibleZbl", [] { return zbl_shape(0.0, 0.0); }},
      {"ZblBeyondRadialCutoff", [] { return zbl_shape(2.0, 5.5); }},
      {"Spin", [] { return spin_shape(0); }},
      {"ChiralSpin", [] { return spin_shape(1); }},
      // Fe carries a spin degree of freedom, O only a spin its neighbors see, H neither: the magnetic forces of O
      // and H atoms are exactly zero, ghost rows included.
      {"SpinWithFixedTypes",
       [] {
         ModelShape shape = spin_shape(0, {"Fe", "O", "H"});
         shape.spin.dof_types = {"Fe"};
         shape.spin.env_types = {"Fe", "O"};
         return shape;
       }},
  };
}

struct CellCase {
  const char* name;
  Cell cell;
  int atoms;
};

std::vector<CellCase> cell_cases() {
  return {
      {"Orthorhombic", {10.5, 0.0, 0.0, 0.0, 11.0, 0.0, 0.0, 0.0, 10.0}, 40},
      {"Triclinic", {10.5, 2.0, 1.5, 0.0, 10.5, -1.0, 0.0, 0.0, 10.5}, 40},
      {"ThinnerThanTheCutoff", {3.2, 0.0, 0.0, 0.0, 10.5, 0.0, 0.0, 0.0, 10.5}, 12},
  };
}

using RoadCase = std::tuple<ModelCase, CellCase>;

void PrintTo(const ModelCase& c, std::ostream* os) { *os << c.name; }
void PrintTo(const CellCase& c, std::ostream* os) { *os << c.name; }

double image_distance(const Cell& cell, const std::vector<double>& xyz, std::size_t i,
                                const double* candidate) {
  constexpr int kShifts = 2;  // enough for the thinnest cell of the table
  double closest = 1e300;
  for (int a = -kShifts; a <= kShifts; ++a) {
    for (int b = -kShifts; b <= kShifts; ++b) {
      for (int c = -kShifts; c <= kShifts; ++c) {
        double d2 = 0.0;
        for (int row = 0; row < 3; ++row) {
          const double shift = a * cell[3 * row] + b * cell[3 * row + 1] + c * cell[3 * row + 2];
          const double d = candidate[row] - (xyz[3 * i + row] + shift);
          d2 += d * d;
        }
        closest = std::min(closest, d2);
      }
    }
  }
  return std::sqrt(closest);
}

// The map of LAMMPS types 1 .. types onto the model types in reverse order (entry 0 unmapped).
std::vector<std::int32_t> permuting_type_map(int types) {
  std::vector<std::int32_t> map = {-1};
  for (int t = 1; t <= types; ++t) map.push_back(types - t);
  return map;
}

// Random atoms inside the cell, no two (nor their images) closer than kClosestApproach; LAMMPS types 1 .. types
// in turn.
void place_atoms(const CellCase& c, int types, std::vector<double>& xyz, std::vector<std::int32_t>& lammps_types) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  while (static_cast<int>(lammps_types.size()) < c.atoms) {
    const double f[3] = {unit(rng), unit(rng), unit(rng)};
    double r[3];
    for (int row = 0; row < 3; ++row) {
      r[row] = c.cell[3 * row] * f[0] + c.cell[3 * row + 1] * f[1] + c.cell[3 * row + 2] * f[2];
    }
    bool crowded = false;
    for (std::size_t j = 0; j < lammps_types.size() && !crowded; ++j) {
      crowded = image_distance(c.cell, xyz, j, r) < kClosestApproach;
    }
    if (crowded) continue;
    xyz.insert(xyz.end(), r, r + 3);
    lammps_types.push_back(1 + static_cast<std::int32_t>(lammps_types.size() % static_cast<std::size_t>(types)));
  }
}

// What a road returns, with ghost rows already added onto the local atoms they image.
struct Results {
  double energy = 0.0;
  std::vector<double> potential;        // per local atom
  std::vector<double> force, mforce;    // 3 per local atom
  std::array<double, 6> virial{};       // xx, yy, zz, xy, xz, yz
  std::vector<double> virial_per_atom;  // 9 per local atom, row-major
  std::vector<double> spin_transfer;    // 9 per local atom
  std::array<double, 6> per_atom_sum{};  // the written per-atom rows summed, symmetrised like the total
};

class LammpsRoads : public test_support::DeviceTest, public ::testing::WithParamInterface<RoadCase> {
 protected:
  void SetUp() override {
    test_support::DeviceTest::SetUp();
    if (IsSkipped()) return;
    const auto& [model_case, cell_case] = GetParam();
    const ModelShape shape = model_case.shape();
    spin_ = shape.family.find("_spin") != std::string::npos;
    type_map_ = permuting_type_map(static_cast<int>(shape.elements.size()));
    model_ = std::make_unique<test_support::FlatModel>(shape);
    ASSERT_NE(model_->handle(), nullptr) << "the model did not load";
    QrvlModelInfo info{};
    ASSERT_EQ(qrvl_model_info(model_->handle(), &info), QRVL_STATUS_OK);
    place_atoms(cell_case, static_cast<int>(shape.elements.size()), xyz_, lammps_types_);
    for (int i = 0; i < cell_case.atoms; ++i) {
      const double a = 0.7 * i;
      spins_.insert(spins_.end(), {std::cos(a) * (1.0 + 0.1 * i), std::sin(a), 0.4 - 0.05 * i});
    }
    system_ = LammpsSystem::periodic(cell_case.cell, xyz_, lammps_types_, info.cutoff_max + kSkin);
    double closest = 1e300;
    for (int i = 0; i < system_.nlocal; ++i) {
      for (int j : system_.rows[i]) closest = std::min(closest, system_.distance(i, j));
    }
    ASSERT_LT(closest, kZblReach);
    ASSERT_EQ(evaluate_batch(reference_), QRVL_STATUS_OK) << qrvl_last_error_message();
  }

  int atoms() const { return system_.nlocal; }

  // The batch road on the local atoms in their periodic cell.
  int evaluate_batch(Results& out) const {
    test_support::BatchArrays b;
    b.counts = {atoms()};
    b.offsets = {0};
    for (int i = 0; i < atoms(); ++i) b.types.push_back(type_map_[lammps_types_[i]]);
    b.positions = xyz_;
    if (spin_) b.spins = spins_;
    const Cell& cell = std::get<1>(GetParam()).cell;
    b.boxes.assign(cell.begin(), cell.end());
    b.pbc = {1, 1, 1};
    const QrvlStructureBatch batch = b.view();
    const auto n = static_cast<std::size_t>(atoms());
    out.potential.assign(n, 0.0);
    out.force.assign(3 * n, 0.0);
    out.mforce.assign(3 * n, 0.0);
    out.virial_per_atom.assign(9 * n, 0.0);
    out.spin_transfer.assign(9 * n, 0.0);
    std::array<double, 9> virial{};
    QrvlFindForceResult r{};
    r.energy = &out.energy;
    r.potential = out.potential.data();
    r.force = out.force.data();
    r.virial = virial.data();
    r.virial_per_atom = out.virial_per_atom.data();
    if (spin_) {
      r.mforce = out.mforce.data();
      r.spin_transfer = out.spin_transfer.data();
    }
    const int status = qrvl_find_force_batch(model_->handle(), &batch, &r);
    for (int c = 0; c < 3; ++c) {
      out.virial[c] = virial[kDiagonal[c]];
      out.virial[3 + c] = (virial[kUpper[c]] + virial[kLower[c]]) / 2.0;
    }
    return status;
  }

  // Adds `width` values of every atom's row onto the atom it images; per-atom virial rows become row-major.
  std::vector<double> folded(const std::function<double(int atom, int k)>& value, int width, bool virial) const {
    std::vector<double> sums(static_cast<std::size_t>(width) * atoms(), 0.0);
    for (int i = 0; i < system_.nall; ++i) {
      for (int k = 0; k < width; ++k) {
        const int to = virial ? kRowMajorOfLammps[k] : k;
        sums[static_cast<std::size_t>(width) * system_.image_of[i] + to] += value(i, k);
      }
    }
    return sums;
  }

  static std::array<double, 6> symmetrised_sum(const std::function<double(int atom, int k)>& value, int count) {
    std::array<double, 6> sum{};
    for (int i = 0; i < count; ++i) {
      for (int c = 0; c < 3; ++c) {
        sum[c] += value(i, c);
        sum[3 + c] += (value(i, 3 + c) + value(i, 6 + c)) / 2.0;
      }
    }
    return sum;
  }

  void expect_batch_results(const Results& lammps, bool per_atom_virials, const std::string& what) const {
    const Results& batch = reference_;
    auto close = [&](double value, double expected, const std::string& name) {
      EXPECT_NEAR(value, expected, kRelativeTolerance * std::max(1.0, std::abs(expected))) << what << ": " << name;
    };
    close(lammps.energy, batch.energy, "energy");
    for (std::size_t k = 0; k < batch.potential.size(); ++k) {
      close(lammps.potential[k], batch.potential[k], "potential");
    }
    for (std::size_t k = 0; k < batch.force.size(); ++k) close(lammps.force[k], batch.force[k], "force");
    for (int k = 0; k < 6; ++k) close(lammps.virial[k], batch.virial[k], "virial");
    if (per_atom_virials) {
      for (std::size_t k = 0; k < batch.virial_per_atom.size(); ++k) {
        close(lammps.virial_per_atom[k], batch.virial_per_atom[k], "per-atom virial");
      }
      for (int k = 0; k < 6; ++k) close(lammps.per_atom_sum[k], lammps.virial[k], "per-atom virials summed");
    }
    if (!spin_) return;
    for (std::size_t k = 0; k < batch.mforce.size(); ++k) {
      close(lammps.mforce[k], batch.mforce[k], "mforce");
      // Atoms without a spin degree of freedom: exactly zero on the batch road, so on these roads too.
      if (batch.mforce[k] == 0.0) {
        EXPECT_EQ(lammps.mforce[k], 0.0) << what << ": mforce of a fixed spin";
      }
    }
    for (std::size_t k = 0; k < batch.spin_transfer.size(); ++k) {
      close(lammps.spin_transfer[k], batch.spin_transfer[k], "spin transfer");
    }
  }

  Results evaluate_host(bool ghost_rows, bool per_atom_virials) const {
    HostLammpsInput in(system_, type_map_);
    if (ghost_rows) in.add_ghost_rows(system_);
    in.flag_entries();
    if (spin_) in.add_spins(test_support::lammps_spin_rows(system_, spins_));
    const auto nall = static_cast<std::size_t>(system_.nall);
    std::vector<std::vector<double>> force(nall, std::vector<double>(3, 0.0)), mforce = force;
    std::vector<std::vector<double>> per_atom(nall, std::vector<double>(9, 0.0)), transfer = per_atom;
    std::vector<double*> force_rows, mforce_rows, virial_rows, transfer_rows;
    for (std::size_t i = 0; i < nall; ++i) {
      force_rows.push_back(force[i].data());
      mforce_rows.push_back(mforce[i].data());
      virial_rows.push_back(per_atom[i].data());
      transfer_rows.push_back(transfer[i].data());
    }
    Results out;
    out.potential.assign(static_cast<std::size_t>(atoms()), 0.0);
    QrvlLammpsNeighborResult r{};
    r.energy = &out.energy;
    r.virial = out.virial.data();
    r.potential = out.potential.data();
    r.force = force_rows.data();
    if (per_atom_virials) r.virial_per_atom = virial_rows.data();
    if (spin_) {
      r.mforce = mforce_rows.data();
      r.spin_transfer = transfer_rows.data();
    }
    const QrvlLammpsNeighborInput input = in.view(system_.nlocal);
    EXPECT_EQ(qrvl_find_force_lammps_neighbors(model_->handle(), &input, &r), QRVL_STATUS_OK)
        << qrvl_last_error_message();
    out.force = folded([&](int i, int k) { return force[i][k]; }, 3, false);
    out.mforce = folded([&](int i, int k) { return mforce[i][k]; }, 3, false);
    out.virial_per_atom = folded([&](int i, int k) { return per_atom[i][k]; }, 9, true);
    out.spin_transfer = folded([&](int i, int k) { return transfer[i][k]; }, 9, false);
    out.per_atom_sum = symmetrised_sum([&](int i, int k) { return per_atom[i][k]; }, system_.nall);
    return out;
  }

  Results evaluate_device(bool ghost_rows, bool per_atom_virials) const {
    DeviceLammpsInput in(system_, type_map_, system_.longest_row());
    if (ghost_rows) in.add_ghost_rows(system_);
    in.flag_entries();
    if (spin_) in.add_spins(test_support::lammps_spin_rows(system_, spins_));
    const auto nall = static_cast<std::size_t>(system_.nall);
    const DeviceCopy<double> energy(std::vector<double>(1, 0.0)), virial(std::vector<double>(6, 0.0)),
        potential(std::vector<double>(static_cast<std::size_t>(atoms()), 0.0)),
        force(std::vector<double>(3 * nall, 0.0)), mforce(std::vector<double>(3 * nall, 0.0)),
        per_atom(std::vector<double>(9 * nall, 0.0)), transfer(std::vector<double>(9 * nall, 0.0));
    QrvlLammpsDeviceNeighborResult r{};
    r.energy = energy.get();
    r.virial = virial.get();
    r.potential = potential.get();
    r.force = force.get();
    r.force_atom_stride = 3;
    r.force_component_stride = 1;
    if (per_atom_virials) {
      r.virial_per_atom = per_atom.get();
      r.virial_atom_stride = 9;
      r.virial_component_stride = 1;
    }
    if (spin_) {
      r.mforce = mforce.get();
      r.mforce_atom_stride = 3;
      r.mforce_component_stride = 1;
      r.spin_transfer = transfer.get();
      r.spin_transfer_atom_stride = 9;
      r.spin_transfer_component_stride = 1;
    }
    const QrvlLammpsDeviceNeighborInput input = in.view();
    EXPECT_EQ(qrvl_find_force_lammps_device_neighbors(model_->handle(), &input, &r), QRVL_STATUS_OK)
        << qrvl_last_error_message();
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    Results out;
    out.energy = energy.read()[0];
    const std::vector<double> v = virial.read();
    std::copy(v.begin(), v.end(), out.virial.begin());
    out.potential = potential.read();
    const std::vector<double> f = force.read(), m = mforce.read(), w = per_atom.read(), t = transfer.read();
    out.force = folded([&](int i, int k) { return f[3 * static_cast<std::size_t>(i) + k]; }, 3, false);
    out.mforce = folded([&](int i, int k) { return m[3 * static_cast<std::size_t>(i) + k]; }, 3, false);
    out.virial_per_atom = folded([&](int i, int k) { return w[9 * static_cast<std::size_t>(i) + k]; }, 9, true);
    out.spin_transfer = folded([&](int i, int k) { return t[9 * static_cast<std::size_t>(i) + k]; }, 9, false);
    out.per_atom_sum = symmetrised_sum([&](int i, int k) { return w[9 * static_cast<std::size_t>(i) + k]; },
                                       system_.nall);
    return out;
  }

  std::unique_ptr<test_support::FlatModel> model_;
  bool spin_ = false;
  std::vector<double> xyz_, spins_;
  std::vector<std::int32_t> lammps_types_, type_map_;
  LammpsSystem system_;
  Results reference_;
};

std::string variant(bool ghost_rows, bool per_atom_virials) {
  return std::string(ghost_rows ? "with ghost rows" : "local rows only") +
         (per_atom_virials ? ", per-atom virials" : ", totals only");
}

TEST_P(LammpsRoads, HostListsGiveTheBatchResults) {
  for (const bool ghost_rows : {false, true}) {
    for (const bool per_atom_virials : {false, true}) {
      expect_batch_results(evaluate_host(ghost_rows, per_atom_virials), per_atom_virials,
                           variant(ghost_rows, per_atom_virials));
    }
  }
}

// Four calls on one model: the later ones reuse the cached workspace.
TEST_P(LammpsRoads, DeviceListsGiveTheBatchResults) {
  for (const bool ghost_rows : {false, true}) {
    for (const bool per_atom_virials : {false, true}) {
      expect_batch_results(evaluate_device(ghost_rows, per_atom_virials), per_atom_virials,
                           variant(ghost_rows, per_atom_virials));
    }
  }
}

// The totals come from the terms booked on the centres, which do not depend on whether per-atom rows are asked
// for: the same bits either way, on both roads.
TEST_P(LammpsRoads, TotalsDoNotDependOnPerAtomVirials) {
  const Results host_totals = evaluate_host(true, false);
  const Results host_rows = evaluate_host(true, true);
  EXPECT_EQ(host_totals.energy, host_rows.energy);
  EXPECT_EQ(host_totals.virial, host_rows.virial) << "host road";
  const Results device_totals = evaluate_device(true, false);
  const Results device_rows = evaluate_device(true, true);
  EXPECT_EQ(device_totals.energy, device_rows.energy);
  EXPECT_EQ(device_totals.virial, device_rows.virial) << "device road";
}

INSTANTIATE_TEST_SUITE_P(ModelsAndCells, LammpsRoads,
                         ::testing::Combine(::testing::ValuesIn(model_cases()), ::testing::ValuesIn(cell_cases())),
                         [](const auto& test_case) {
                           return std::string(std::get<0>(test_case.param).name) + std::get<1>(test_case.param).name;
                         });

// Two models whose device-list staging needs different dynamic shared memory above the 48 KiB default (about 56
// and 88 KiB of neighbor tiles), each evaluated many times from its own thread: the kernel's attribute is shared
// by the whole process, and no call may lower it under the other's launch. A lowering only fails a launch when it
// falls between the other thread's raise and launch, so it takes many calls to show (about every second run of
// this test showed it).
class DeviceListsFromTwoThreads : public test_support::DeviceTest {};

TEST_F(DeviceListsFromTwoThreads, EveryCallOfEachModelSucceedsWithItsOwnResults) {
  constexpr int kCalls = 1000;
  constexpr int kRowCapacity = 2000;  // the rows leave the model's list capacities as they are
  struct Road {
    std::unique_ptr<test_support::FlatModel> model;
    LammpsSystem system;
    std::unique_ptr<DeviceLammpsInput> input;
    std::vector<double> reference;  // forces of the first call
    int failures = 0;
    std::string first_failure;
  };
  const std::pair<int, int> neighbor_numbers[] = {{400, 300}, {600, 500}};  // capacities 1.25 times these
  Road roads[2];
  for (int r = 0; r < 2; ++r) {
    ModelShape shape = test_support::compact_shape("nep4", {"C", "H"}, 3 + r);
    shape.max_neighbors_radial = neighbor_numbers[r].first;
    shape.max_neighbors_angular = neighbor_numbers[r].second;
    roads[r].model = std::make_unique<test_support::FlatModel>(shape);
    ASSERT_NE(roads[r].model->handle(), nullptr);
    roads[r].system = LammpsSystem::random(12 + 4 * r, 9.0, shape.cutoff_radial[0] + kSkin, 2, 5 + r);
    roads[r].input = std::make_unique<DeviceLammpsInput>(roads[r].system, 2, roads[r].system.longest_row());
  }
  // One call: forces of every staged atom, or empty after a failure, which is recorded.
  const auto evaluate = [](Road& road) {
    QrvlLammpsDeviceNeighborInput in = road.input->view();
    in.max_neighbors = kRowCapacity;
    const DeviceCopy<double> force(std::vector<double>(3 * static_cast<std::size_t>(road.system.nall), 0.0));
    QrvlLammpsDeviceNeighborResult r{};
    r.force = force.get();
    r.force_atom_stride = 3;
    r.force_component_stride = 1;
    const int status = qrvl_find_force_lammps_device_neighbors(road.model->handle(), &in, &r);
    if (status != QRVL_STATUS_OK || cudaDeviceSynchronize() != cudaSuccess) {
      if (road.failures++ == 0) road.first_failure = qrvl_last_error_message();
      return std::vector<double>{};
    }
    return force.read();
  };
  for (Road& road : roads) {
    road.reference = evaluate(road);
    ASSERT_EQ(road.failures, 0) << road.first_failure;
  }
  const auto repeat = [&](Road& road) {
    for (int call = 0; call < kCalls; ++call) {
      const std::vector<double> force = evaluate(road);
      if (force.empty()) continue;
      for (std::size_t k = 0; k < force.size(); ++k) {
        // Double-precision atomics add the neighbor reactions in another order each call.
        if (std::abs(force[k] - road.reference[k]) > 1e-12 * std::max(1.0, std::abs(road.reference[k]))) {
          if (road.failures++ == 0) road.first_failure = "force " + std::to_string(k) + " differs";
          break;
        }
      }
    }
  };
  std::thread other([&] { repeat(roads[1]); });
  repeat(roads[0]);
  other.join();
  for (const Road& road : roads) EXPECT_EQ(road.failures, 0) << road.first_failure;
}

}  // namespace
}  // namespace quarvel
