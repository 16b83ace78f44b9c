#include "cuda_backend/angular_descriptor.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <numeric>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "cuda_backend/workspace_plan.hpp"
#include "support/angular_reference.hpp"
#include "support/descriptor_structures.hpp"
#include "support/device_test.hpp"
#include "support/loaded_model.hpp"
#include "support/protocol_shapes.hpp"
#include "support/descriptor_reference.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::LoadedModel;
using test_support::ModelShape;
using test_support::NeighborLists;
using test_support::reference_atom;
using test_support::ReferenceAtom;
using test_support::Structure;
using test_support::Vec3;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

constexpr float kUntouched = -12345.0f;  // fills device arrays so that unwritten entries can be told apart
constexpr double kListMargin = 0.6;      // Angstrom: lists reach past the cutoff, whose pairs contribute 0
constexpr int kSpareCapacity = 3;        // workspace atoms beyond those staged: the stride differs from N

// Device arrays of one descriptor launch, downloaded.
struct DeviceResult {
  std::size_t capacity = 0;
  std::vector<float> descriptors;
  std::vector<float> sum_fxyz;
  std::vector<float> r12;
  std::vector<float> f12x;
  std::vector<float> f12y;
  std::vector<float> f12z;

  float descriptor(int d, int atom) const { return descriptors[static_cast<std::size_t>(d) * capacity + atom]; }
};

template <typename T>
void fill_device(T* device, std::size_t count, T value) {
  if (device != nullptr) test_support::upload(device, std::vector<T>(count, value));
}

// Stages the structures and lists, fills every output with kUntouched, launches and downloads.
DeviceResult run_descriptors(const LoadedModel& model, const std::vector<Structure>& structures,
                             const std::vector<NeighborLists>& lists, DescriptorCoreTopology topology) {
  const ModelProtocol& p = model.protocol();
  int atoms = 0;
  for (const Structure& s : structures) atoms += s.size();
  const std::uint64_t capacity = static_cast<std::uint64_t>(atoms + kSpareCapacity);
  DeviceWorkspace workspace(make_internal_neighbor_workspace_plan(p, capacity, structures.size(), false));
  const DeviceWorkspaceView v = workspace.view();
  test_support::stage_structures(structures, lists, v);
  const std::size_t a = capacity;
  const std::size_t slots = static_cast<std::size_t>(p.neighbor_capacity_angular) * a;
  const std::size_t sums = static_cast<std::size_t>(p.n_max_angular + 1) * p.body_channels.abc_count() * a;
  fill_device(v.descriptors, static_cast<std::size_t>(p.descriptor_dim) * a, kUntouched);
  fill_device(v.sum_fxyz, sums, kUntouched);
  for (float* cache : {v.r12_angular, v.f12x, v.f12y, v.f12z}) fill_device(cache, slots, kUntouched);
  build_descriptor_core_from_positions_on_device(p, atoms, structures.front().box(), model.device, workspace, topology);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  DeviceResult r;
  r.capacity = a;
  r.descriptors = test_support::download(v.descriptors, static_cast<std::size_t>(p.descriptor_dim) * a);
  if (v.sum_fxyz != nullptr) {
    r.sum_fxyz = test_support::download(v.sum_fxyz, sums);
    r.r12 = test_support::download(v.r12_angular, slots);
    r.f12x = test_support::download(v.f12x, slots);
    r.f12y = test_support::download(v.f12y, slots);
    r.f12z = test_support::download(v.f12z, slots);
  }
  return r;
}

void expect_atom_matches(const DeviceResult& r, int device_atom, const ReferenceAtom& ref, int abc,
                         const std::string& context) {
  for (std::size_t d = 0; d < ref.value.size(); ++d) {
    EXPECT_NEAR(r.descriptor(static_cast<int>(d), device_atom), ref.value[d], ref.tolerance[d])
        << context << " atom " << device_atom << " component " << d;
  }
  for (std::size_t n = 0; n < ref.sums.size(); ++n) {
    for (int k = 0; k < abc; ++k) {
      EXPECT_NEAR(r.sum_fxyz[(n * abc + k) * r.capacity + device_atom], ref.sums[n][k], ref.sums_tolerance[n])
          << context << " atom " << device_atom << " n " << n << " k " << k;
    }
  }
}

// Two launches agree on every component of corresponding atoms, within the reference's tolerances.
void expect_same_descriptors(const DeviceResult& a, const std::vector<int>& atoms_a, const DeviceResult& b,
                             const std::vector<int>& atoms_b, const std::vector<ReferenceAtom>& refs,
                             const std::string& context) {
  for (std::size_t i = 0; i < atoms_a.size(); ++i) {
    for (std::size_t d = 0; d < refs[i].value.size(); ++d) {
      EXPECT_NEAR(a.descriptor(static_cast<int>(d), atoms_a[i]), b.descriptor(static_cast<int>(d), atoms_b[i]),
                  2.0 * refs[i].tolerance[d])
          << context << " atom " << i << " component " << d;
    }
  }
}

struct DescriptorCase {
  const char* name;
  const char* family;
  int types;
  int l_max;
  int q222;  // -1: no q222 token
  std::vector<int> couplings;
  int n_max_angular;
  int basis_size_angular;
};

void PrintTo(const DescriptorCase& c, std::ostream* os) { *os << c.name; }

ModelShape shape_of(const DescriptorCase& c) {
  const std::vector<std::string> elements = {"C", "H", "O"};
  ModelShape shape;
  shape.family = c.family;
  shape.elements.assign(elements.begin(), elements.begin() + c.types);
  shape.cutoff_radial = {5.0};
  shape.cutoff_angular = {4.0};
  shape.n_max_radial = 4;
  shape.basis_size_radial = 6;
  shape.n_max_angular = c.n_max_angular;
  shape.basis_size_angular = c.basis_size_angular;
  shape.l_max_3body = c.l_max;
  if (c.q222 >= 0) shape.q222 = c.q222;
  shape.coupling_flags = c.couplings;
  shape.hidden_neurons = 3;
  shape.seed = static_cast<std::uint32_t>(11 + c.l_max + 3 * c.types);
  return shape;
}

std::vector<DescriptorCase> descriptor_cases() {
  return {
      {"RadialOnly", "nep4", 2, 0, -1, {}, 0, 0},
      {"Nep4L1", "nep4", 1, 1, 0, {1}, 3, 3},
      {"Nep4L2AllPairCouplings", "nep4", 2, 2, 1, {1, 1}, 2, 4},
      {"Nep4L3", "nep4", 3, 3, 1, {0, 1, 1, 1}, 3, 5},
      {"Nep4L4AllCouplings", "nep4", 3, 4, 1, {1, 1, 1, 1, 1}, 3, 5},
      {"Nep5L4", "nep5", 2, 4, 0, {0, 0, 0, 0, 1}, 4, 3},
      {"Nep4L5", "nep4", 2, 5, -1, {}, 2, 3},
      {"Nep4L6", "nep4", 1, 6, -1, {}, 4, 3},
      {"Nep5L7", "nep5", 2, 7, -1, {}, 2, 3},
      {"Nep4L8", "nep4", 2, 8, 1, {1, 1, 1, 1, 1}, 1, 2},
  };
}

class DescriptorKernel : public test_support::DeviceTest, public ::testing::WithParamInterface<DescriptorCase> {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    if (IsSkipped()) return;
    model_ = test_support::load_model(shape_of(GetParam()));
  }

  double radial_reach() const { return model_->protocol().cutoff_radial + kListMargin; }
  double angular_reach() const { return model_->protocol().cutoff_angular + kListMargin; }

  Structure structure(int atoms, unsigned seed) const {
    return test_support::random_structure(atoms, model_->protocol().num_types, radial_reach(), seed);
  }
  NeighborLists lists_of(const Structure& s) const {
    return test_support::brute_force_lists(s, radial_reach(), angular_reach(), model_->protocol().num_types);
  }
  std::vector<ReferenceAtom> reference(const Structure& s, const NeighborLists& lists) const {
    std::vector<ReferenceAtom> refs;
    for (int i = 0; i < s.size(); ++i) refs.push_back(reference_atom(*model_, s, lists, i));
    return refs;
  }
  int abc() const {
    return model_->protocol().body_channels.channel_count() > 0 ? model_->protocol().body_channels.abc_count() : 0;
  }

  std::unique_ptr<LoadedModel> model_;
};

TEST_P(DescriptorKernel, MatchesTheDoublePrecisionReference) {
  const Structure s = structure(40, 3);
  const NeighborLists lists = lists_of(s);
  const DeviceResult r = run_descriptors(*model_, {s}, {lists}, DescriptorCoreTopology::single_box);
  const std::vector<ReferenceAtom> refs = reference(s, lists);
  for (int i = 0; i < s.size(); ++i) expect_atom_matches(r, i, refs[i], abc(), "single box");
  if (abc() == 0) {
    // A radial-only model leaves the angular arrays alone.
    return;
  }
  // The pair cache holds every listed angular pair, also those beyond the cutoff.
  bool beyond_cutoff = false;
  for (int i = 0; i < s.size(); ++i) {
    for (std::size_t k = 0; k < lists.angular[i].size(); ++k) {
      const Vec3 d = s.separation(i, lists.angular[i][k]);
      const std::size_t slot = k * r.capacity + static_cast<std::size_t>(i);
      // Displacements rounded to float.
      EXPECT_NEAR(r.f12x[slot], d[0], 1e-6 * 10.0);
      EXPECT_NEAR(r.f12y[slot], d[1], 1e-6 * 10.0);
      EXPECT_NEAR(r.f12z[slot], d[2], 1e-6 * 10.0);
      EXPECT_NEAR(r.r12[slot], test_support::norm(d), 1e-6 * 10.0);
      beyond_cutoff = beyond_cutoff || test_support::norm(d) >= model_->protocol().cutoff_angular;
    }
  }
  EXPECT_TRUE(beyond_cutoff) << "the lists should reach past the cutoff";
}

TEST_P(DescriptorKernel, BatchedCellsGiveEachStructureItsOwnDescriptors) {
  Structure first = structure(24, 5);
  Structure second = structure(30, 6);
  for (double& c : second.cell) c *= 1.05;  // another cell shape for the second structure
  for (Vec3& r : second.positions) {
    for (double& c : r) c *= 1.05;
  }
  const NeighborLists lists_first = lists_of(first);
  const NeighborLists lists_second = lists_of(second);
  const DeviceResult r =
      run_descriptors(*model_, {first, second}, {lists_first, lists_second}, DescriptorCoreTopology::batched);
  const std::vector<ReferenceAtom> refs_first = reference(first, lists_first);
  const std::vector<ReferenceAtom> refs_second = reference(second, lists_second);
  for (int i = 0; i < first.size(); ++i) expect_atom_matches(r, i, refs_first[i], abc(), "first structure");
  for (int i = 0; i < second.size(); ++i) {
    expect_atom_matches(r, first.size() + i, refs_second[i], abc(), "second structure");
  }
}

TEST_P(DescriptorKernel, InvariantUnderRotationTranslationAndReordering) {
  const Structure s = structure(36, 9);
  const NeighborLists lists = lists_of(s);
  const std::vector<ReferenceAtom> refs = reference(s, lists);
  const DeviceResult base = run_descriptors(*model_, {s}, {lists}, DescriptorCoreTopology::single_box);
  std::vector<int> identity(static_cast<std::size_t>(s.size()));
  std::iota(identity.begin(), identity.end(), 0);

  Structure turned = s;
  const auto rot = test_support::rotation({0.2, 0.9, -0.4}, 0.83);
  for (int c = 0; c < 3; ++c) {
    const Vec3 column = test_support::rotate(rot, {s.cell[c], s.cell[3 + c], s.cell[6 + c]});
    for (int row = 0; row < 3; ++row) turned.cell[3 * row + c] = column[row];
  }
  for (Vec3& r : turned.positions) r = test_support::rotate(rot, r);
  const DeviceResult rotated = run_descriptors(*model_, {turned}, {lists}, DescriptorCoreTopology::single_box);
  expect_same_descriptors(base, identity, rotated, identity, refs, "rotated");

  Structure moved = s;
  for (std::size_t i = 0; i < moved.positions.size(); ++i) {
    // A shift, and every third atom also moved by a lattice vector.
    const double lattice = i % 3 == 0 ? 1.0 : 0.0;
    for (int c = 0; c < 3; ++c) moved.positions[i][c] += 3.7 - 1.3 * c + lattice * s.cell[3 * c + 1];
  }
  const DeviceResult translated = run_descriptors(*model_, {moved}, {lists}, DescriptorCoreTopology::single_box);
  expect_same_descriptors(base, identity, translated, identity, refs, "translated");

  // Reversed atom order: the lists follow the new indices (and so visit neighbors in another order).
  Structure reversed = s;
  std::vector<int> new_index(identity.rbegin(), identity.rend());
  for (int i = 0; i < s.size(); ++i) {
    reversed.positions[new_index[i]] = s.positions[i];
    reversed.types[new_index[i]] = s.types[i];
  }
  const DeviceResult reordered =
      run_descriptors(*model_, {reversed}, {lists_of(reversed)}, DescriptorCoreTopology::single_box);
  expect_same_descriptors(base, identity, reordered, new_index, refs, "reordered");
}

TEST_P(DescriptorKernel, SupercellAtomsKeepTheirDescriptors) {
  const Structure s = structure(20, 12);
  const NeighborLists lists = lists_of(s);
  const std::vector<ReferenceAtom> refs = reference(s, lists);
  Structure doubled = s;
  for (int row = 0; row < 3; ++row) doubled.cell[3 * row] *= 2.0;  // first cell vector doubled
  for (int i = 0; i < s.size(); ++i) {
    const Vec3& r = s.positions[i];
    doubled.positions.push_back({r[0] + s.cell[0], r[1] + s.cell[3], r[2] + s.cell[6]});
    doubled.types.push_back(s.types[i]);
  }
  const DeviceResult base = run_descriptors(*model_, {s}, {lists}, DescriptorCoreTopology::single_box);
  const DeviceResult super =
      run_descriptors(*model_, {doubled}, {lists_of(doubled)}, DescriptorCoreTopology::single_box);
  std::vector<int> originals(static_cast<std::size_t>(s.size()));
  std::iota(originals.begin(), originals.end(), 0);
  std::vector<int> copies(originals);
  for (int& i : copies) i += s.size();
  expect_same_descriptors(base, originals, super, originals, refs, "supercell original");
  expect_same_descriptors(base, originals, super, copies, refs, "supercell copy");
}

INSTANTIATE_TEST_SUITE_P(Shapes, DescriptorKernel, ::testing::ValuesIn(descriptor_cases()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

// A model with every coupling channel, for the edge cases.
class DescriptorEdges : public test_support::DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    if (IsSkipped()) return;
    model_ = test_support::load_model(shape_of(descriptor_cases()[4]));
  }
  std::unique_ptr<LoadedModel> model_;
};

TEST_F(DescriptorEdges, AtomsOfUnknownTypeGetNothingWritten) {
  const ModelProtocol& p = model_->protocol();
  Structure s = test_support::random_structure(16, p.num_types, 5.6, 21);
  s.types[3] = p.num_types;
  s.types[7] = -1;
  const NeighborLists lists = test_support::brute_force_lists(s, 5.6, 4.6, p.num_types);
  const DeviceResult r = run_descriptors(*model_, {s}, {lists}, DescriptorCoreTopology::single_box);
  const int abc = p.body_channels.abc_count();
  for (int skipped : {3, 7}) {
    for (int d = 0; d < p.descriptor_dim; ++d) EXPECT_EQ(r.descriptor(d, skipped), kUntouched) << d;
    for (int k = 0; k < (p.n_max_angular + 1) * abc; ++k) {
      EXPECT_EQ(r.sum_fxyz[static_cast<std::size_t>(k) * r.capacity + skipped], kUntouched) << k;
    }
    for (int slot = 0; slot < p.neighbor_capacity_angular; ++slot) {
      EXPECT_EQ(r.r12[static_cast<std::size_t>(slot) * r.capacity + skipped], kUntouched) << slot;
    }
  }
  EXPECT_NE(r.descriptor(0, 4), kUntouched);
}

TEST_F(DescriptorEdges, ListedNeighborsOfUnknownTypeContributeNothing) {
  const ModelProtocol& p = model_->protocol();
  Structure s = test_support::random_structure(16, p.num_types, 5.6, 23);
  s.types[4] = p.num_types + 2;
  const NeighborLists clean = test_support::brute_force_lists(s, 5.6, 4.6, p.num_types);
  const NeighborLists with_unknown = test_support::brute_force_lists(s, 5.6, 4.6, p.num_types + 3);
  const DeviceResult expected = run_descriptors(*model_, {s}, {clean}, DescriptorCoreTopology::single_box);
  const DeviceResult r = run_descriptors(*model_, {s}, {with_unknown}, DescriptorCoreTopology::single_box);
  for (int i = 0; i < s.size(); ++i) {
    for (int d = 0; d < p.descriptor_dim; ++d) EXPECT_EQ(r.descriptor(d, i), expected.descriptor(d, i)) << i;
  }
}

TEST_F(DescriptorEdges, AtomWithoutNeighborsHasZeroDescriptors) {
  const ModelProtocol& p = model_->protocol();
  const Structure s = test_support::random_structure(12, p.num_types, 5.6, 22);
  NeighborLists lists = test_support::brute_force_lists(s, 5.6, 4.6, p.num_types);
  lists.radial[2].clear();
  lists.angular[2].clear();
  const DeviceResult r = run_descriptors(*model_, {s}, {lists}, DescriptorCoreTopology::single_box);
  for (int d = 0; d < p.descriptor_dim; ++d) EXPECT_EQ(r.descriptor(d, 2), 0.0f) << d;
  const int abc = p.body_channels.abc_count();
  for (int k = 0; k < (p.n_max_angular + 1) * abc; ++k) {
    EXPECT_EQ(r.sum_fxyz[static_cast<std::size_t>(k) * r.capacity + 2], 0.0f) << k;
  }
}

TEST_F(DescriptorEdges, CoincidentAtomsCountFullyAsRadialPairsAndAreSkippedAsAngularPairs) {
  const ModelProtocol& p = model_->protocol();
  Structure s;
  s.cell = {12, 0, 0, 0, 12, 0, 0, 0, 12};
  s.positions = {{3.0, 4.0, 5.0}, {3.0, 4.0, 5.0}};
  s.types = {0, 1};
  NeighborLists lists;
  lists.radial = {{1}, {0}};
  lists.angular = {{1}, {0}};
  const DeviceResult r = run_descriptors(*model_, {s}, {lists}, DescriptorCoreTopology::single_box);
  const int nb = p.basis_size_radial + 1;
  for (int n = 0; n <= p.n_max_radial; ++n) {
    // f[b] = 1 for every b at r = 0: the component is the sum of the pair's coefficients.
    double expected = 0.0;
    for (int b = 0; b < nb; ++b) expected += model_->written.radial_by_pair[1][n * nb + b];
    EXPECT_NEAR(r.descriptor(n, 0), expected, 1e-5 * nb);  // float sum of nb coefficients
  }
  for (int d = p.n_max_radial + 1; d < p.descriptor_dim; ++d) EXPECT_EQ(r.descriptor(d, 0), 0.0f) << d;
  EXPECT_EQ(r.r12[0], 0.0f);
}

// The launcher's refusals: each case breaks one thing and expects its message, before anything is launched.
struct RefusalCase {
  const char* name;
  std::function<void(ModelProtocol&, int&, WorkspacePlan&, DescriptorCoreTopology&)> breaks;
  const char* message;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

void drop(WorkspacePlan& plan, const std::string& name) { plan = test_support::without_array(plan, name); }

std::vector<RefusalCase> refusal_cases() {
  using P = ModelProtocol;
  using W = WorkspacePlan;
  using T = DescriptorCoreTopology;
  return {
      {"NegativeAtoms", [](P&, int& n, W&, T&) { n = -1; }, "atom_count must be non-negative"},
      {"NoTypes", [](P& p, int&, W&, T&) { p.num_types = 0; }, "num_types must be positive"},
      {"NoDescriptors", [](P& p, int&, W&, T&) { p.descriptor_dim = 0; }, "descriptor_dim must be positive"},
      {"NegativeNMaxRadial", [](P& p, int&, W&, T&) { p.n_max_radial = -1; }, "n_max_radial must be non-negative"},
      {"NegativeRadialBasis", [](P& p, int&, W&, T&) { p.basis_size_radial = -1; },
       "radial basis size must be non-negative"},
      {"NanRadialCutoff", [](P& p, int&, W&, T&) { p.cutoff_radial = std::numeric_limits<double>::quiet_NaN(); },
       "radial cutoff must be positive"},
      {"NoRadialSlots", [](P& p, int&, W&, T&) { p.neighbor_capacity_radial = 0; },
       "radial neighbor capacity must be positive"},
      {"NegativeNMaxAngular", [](P& p, int&, W&, T&) { p.n_max_angular = -1; }, "n_max_angular must be non-negative"},
      {"NegativeAngularBasis", [](P& p, int&, W&, T&) { p.basis_size_angular = -1; },
       "angular basis size must be non-negative"},
      {"ZeroAngularCutoff", [](P& p, int&, W&, T&) { p.cutoff_angular = 0.0; }, "angular cutoff must be positive"},
      {"NoAngularSlots", [](P& p, int&, W&, T&) { p.neighbor_capacity_angular = 0; },
       "angular neighbor capacity must be positive"},
      {"OrderNine", [](P& p, int&, W&, T&) { p.body_channels.l_max_3body = 9; },
       "angular descriptor kernel supports l_max_3body <= 8"},
      {"TooManyAtoms", [](P&, int& n, W& w, T&) { n = static_cast<int>(w.atom_capacity) + 1; },
       "atom_count exceeds workspace atom capacity"},
      {"CoefficientsTooFew", [](P& p, int&, W&, T&) { p.structural_coefficient_count += 1; },
       "model type-pair-major descriptor coefficient buffer is too small"},
      {"RadialCutoffsTooFew", [](P& p, int&, W&, T&) { p.num_types += 1; },
       "model radial pair cutoff buffer is too small"},
      {"Types", [](P&, int&, W& w, T&) { drop(w, "types"); }, "workspace missing atom types"},
      {"Positions", [](P&, int&, W& w, T&) { drop(w, "positions_soa3"); }, "workspace missing positions"},
      {"RadialCounts", [](P&, int&, W& w, T&) { drop(w, "nn_radial"); }, "workspace missing radial counts"},
      {"RadialList", [](P&, int&, W& w, T&) { drop(w, "nl_radial_slot_major"); },
       "workspace missing radial neighbor list"},
      {"AngularCounts", [](P&, int&, W& w, T&) { drop(w, "nn_angular"); }, "workspace missing angular counts"},
      {"AngularList", [](P&, int&, W& w, T&) { drop(w, "nl_angular_slot_major"); },
       "workspace missing angular neighbor list"},
      {"Distances", [](P&, int&, W& w, T&) { drop(w, "r12_angular"); }, "workspace missing angular distance cache"},
      {"PairGeometry", [](P&, int&, W& w, T&) { drop(w, "f12y"); }, "workspace missing angular pair geometry"},
      {"Sums", [](P&, int&, W& w, T&) { drop(w, "sum_fxyz"); }, "workspace missing sum_fxyz cache"},
      {"AtomToStructure",
       [](P&, int&, W& w, T& t) {
         t = T::batched;
         drop(w, "atom_to_structure");
       },
       "workspace missing atom_to_structure"},
      {"Boxes",
       [](P&, int&, W& w, T& t) {
         t = T::batched;
         drop(w, "boxes_row_major9");
       },
       "workspace missing boxes"},
      {"BoxInverses",
       [](P&, int&, W& w, T& t) {
         t = T::batched;
         drop(w, "box_inverse_row_major9");
       },
       "workspace missing box inverses"},
      {"PbcFlags",
       [](P&, int&, W& w, T& t) {
         t = T::batched;
         drop(w, "pbc_flags3");
       },
       "workspace missing PBC flags"},
      {"DescriptorCache", [](P&, int&, W& w, T&) { drop(w, "descriptors"); }, "workspace missing descriptor cache"},
  };
}

class DescriptorLauncherRefuses : public DescriptorEdges, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(DescriptorLauncherRefuses, WithItsMessage) {
  ModelProtocol protocol = model_->protocol();
  int atoms = 4;
  WorkspacePlan plan = make_internal_neighbor_workspace_plan(protocol, 8, 1, false);
  DescriptorCoreTopology topology = DescriptorCoreTopology::single_box;
  GetParam().breaks(protocol, atoms, plan, topology);
  DeviceWorkspace workspace(plan);
  const Structure s = test_support::random_structure(4, 1, 5.6, 1);
  EXPECT_THAT(
      [&] {
        build_descriptor_core_from_positions_on_device(protocol, atoms, s.box(), model_->device, workspace, topology);
      },
      ThrowsMessage<std::runtime_error>(StrEq(GetParam().message)));
}

INSTANTIATE_TEST_SUITE_P(Limits, DescriptorLauncherRefuses, ::testing::ValuesIn(refusal_cases()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

TEST_F(DescriptorEdges, NoAtomsPassesEveryCheckAndWritesNothing) {
  DeviceWorkspace workspace(make_internal_neighbor_workspace_plan(model_->protocol(), 4, 1, false));
  const DeviceWorkspaceView v = workspace.view();
  fill_device(v.descriptors, static_cast<std::size_t>(model_->protocol().descriptor_dim) * 4, kUntouched);
  const Structure s = test_support::random_structure(1, 1, 5.6, 1);
  build_descriptor_core_from_positions_on_device(model_->protocol(), 0, s.box(), model_->device, workspace,
                                                 DescriptorCoreTopology::batched);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  for (float d : test_support::download(v.descriptors, 4)) EXPECT_EQ(d, kUntouched);
}

TEST_F(DescriptorEdges, RadialOnlyModelsNeedNoAngularArrays) {
  const std::unique_ptr<LoadedModel> radial = test_support::load_model(shape_of(descriptor_cases()[0]));
  WorkspacePlan plan = make_internal_neighbor_workspace_plan(radial->protocol(), 16, 1, false);
  for (const char* name : {"nn_angular", "nl_angular_slot_major", "r12_angular", "f12x", "f12y", "f12z", "sum_fxyz"}) {
    plan = test_support::without_array(plan, name);
  }
  DeviceWorkspace workspace(plan);
  const Structure s = test_support::random_structure(10, radial->protocol().num_types, 5.6, 31);
  const NeighborLists lists = test_support::brute_force_lists(s, 5.6, 0.0, radial->protocol().num_types);
  test_support::stage_structures({s}, {lists}, workspace.view());
  build_descriptor_core_from_positions_on_device(radial->protocol(), s.size(), s.box(), radial->device, workspace,
                                                 DescriptorCoreTopology::single_box);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  const std::vector<float> d = test_support::download(workspace.view().descriptors, 16);
  const ReferenceAtom ref = reference_atom(*radial, s, lists, 5);
  EXPECT_NEAR(d[5], ref.value[0], ref.tolerance[0]);
}

}  // namespace
}  // namespace quarvel::cuda_backend
