#pragma once
// A model written by the test model-file writer and loaded through the flat interface by the CUDA engine, the
// evaluation of whole structures through it (the outputs sliced back per structure), and the base fixture of tests
// that evaluate a table of models this way.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "quarvel/quarvel.h"
#include "support/batch_builder.hpp"
#include "support/descriptor_structures.hpp"
#include "support/device_test.hpp"
#include "support/model_file_writer.hpp"

namespace quarvel::test_support {

// The optional outputs a call asks for, or-ed together; those left out are passed as null, and asking for one
// can change how the library books the others.
using FlatOutputs = unsigned;
constexpr FlatOutputs kPotential = 1u << 0;
constexpr FlatOutputs kVirialPerAtom = 1u << 1;  // also books the virial per atom instead of per structure owner
constexpr FlatOutputs kMagneticForce = 1u << 2;  // spin models
constexpr FlatOutputs kChargeAndBec = 1u << 3;   // charge models: the call becomes qrvl_find_charge_batch

// The outputs of one structure; those not asked for stay empty.
struct Evaluation {
  double energy = 0.0;                  // eV
  std::vector<double> potential;        // eV per atom
  std::vector<double> force;            // 3 per atom (eV/Angstrom)
  std::array<double, 9> virial{};       // row-major (eV)
  std::vector<double> virial_per_atom;  // 9 per atom, row-major
  std::vector<double> mforce;           // 3 per atom
  std::vector<double> charge;           // e per atom
  std::vector<double> bec;              // 9 per atom, row-major
};

class FlatModel {
 public:
  // Registers the CUDA engine and loads the model text from a temporary file. A failure is a test failure and
  // leaves handle() null.
  explicit FlatModel(const std::string& model_text) : file_(model_text) {
    EXPECT_EQ(qrvl_register_cuda_engine(), 1);
    EXPECT_EQ(qrvl_load_model("cuda", file_.path().c_str(), &handle_), QRVL_STATUS_OK) << qrvl_last_error_message();
  }
  explicit FlatModel(const ModelShape& shape) : FlatModel(write_model(shape).text) {}
  ~FlatModel() { qrvl_free_model(handle_); }
  FlatModel(const FlatModel&) = delete;
  FlatModel& operator=(const FlatModel&) = delete;

  QrvlModel* handle() const { return handle_; }

  // The structures in one batch, in order; the status is checked.
  std::vector<Evaluation> evaluate_batch(const std::vector<Structure>& structures, FlatOutputs outputs) const {
    return evaluate_arrays(batch_of(structures), outputs);
  }

  // One structure, with `spins` (one per atom) or without spins when empty.
  Evaluation evaluate(const Structure& s, FlatOutputs outputs, const std::vector<Vec3>& spins = {}) const {
    BatchArrays b = batch_of({s});
    for (const Vec3& m : spins) b.spins.insert(b.spins.end(), m.begin(), m.end());
    return evaluate_arrays(b, outputs)[0];
  }

 private:
  std::vector<Evaluation> evaluate_arrays(const BatchArrays& b, FlatOutputs outputs) const {
    const std::size_t count = b.counts.size();
    const std::size_t atoms = b.types.size();
    std::vector<double> energy(count), virial(9 * count), potential(atoms), force(3 * atoms),
        virial_per_atom(9 * atoms), mforce(3 * atoms), charge(atoms), bec(9 * atoms);
    const auto if_asked = [outputs](FlatOutputs output, std::vector<double>& values) {
      return (outputs & output) != 0 ? values.data() : nullptr;
    };
    QrvlFindForceResult result{};
    result.energy = energy.data();
    result.potential = if_asked(kPotential, potential);
    result.force = force.data();
    result.virial = virial.data();
    result.virial_per_atom = if_asked(kVirialPerAtom, virial_per_atom);
    result.mforce = if_asked(kMagneticForce, mforce);
    result.charge = if_asked(kChargeAndBec, charge);
    result.bec = if_asked(kChargeAndBec, bec);
    const QrvlStructureBatch batch = b.view();
    const int status = (outputs & kChargeAndBec) != 0 ? qrvl_find_charge_batch(handle_, &batch, &result)
                                                      : qrvl_find_force_batch(handle_, &batch, &result);
    EXPECT_EQ(status, QRVL_STATUS_OK) << qrvl_last_error_message();

    std::vector<Evaluation> out(count);
    for (std::size_t s = 0; s < count; ++s) {
      const auto first = static_cast<std::size_t>(b.offsets[s]);
      const auto n = static_cast<std::size_t>(b.counts[s]);
      // The structure's rows of `values`, `width` numbers per atom.
      const auto rows = [&](const std::vector<double>& values, std::size_t width) {
        return std::vector<double>(values.begin() + static_cast<std::ptrdiff_t>(width * first),
                                   values.begin() + static_cast<std::ptrdiff_t>(width * (first + n)));
      };
      const auto asked_rows = [&](FlatOutputs output, const std::vector<double>& values, std::size_t width) {
        return (outputs & output) != 0 ? rows(values, width) : std::vector<double>();
      };
      Evaluation& e = out[s];
      e.energy = energy[s];
      std::copy_n(virial.begin() + static_cast<std::ptrdiff_t>(9 * s), 9, e.virial.begin());
      e.potential = asked_rows(kPotential, potential, 1);
      e.force = rows(force, 3);
      e.virial_per_atom = asked_rows(kVirialPerAtom, virial_per_atom, 9);
      e.mforce = asked_rows(kMagneticForce, mforce, 3);
      e.charge = asked_rows(kChargeAndBec, charge, 1);
      e.bec = asked_rows(kChargeAndBec, bec, 9);
    }
    return out;
  }

  TempModelFile file_;
  QrvlModel* handle_ = nullptr;
};

// A case of a table of models: its name (the test's name) and the shape of its model file.
struct ModelCase {
  const char* name;
  ModelShape shape;
};

inline void PrintTo(const ModelCase& c, std::ostream* os) { *os << c.name; }

// Base fixture of tests over a table of model cases, the case's model loaded through the flat interface before
// every test; skipped where no CUDA device is present.
class FlatModelTest : public ::testing::TestWithParam<ModelCase> {
 protected:
  void SetUp() override {
    if (!cuda_device_present()) GTEST_SKIP() << "no CUDA device";
    model_ = std::make_unique<FlatModel>(GetParam().shape);
    ASSERT_NE(model_->handle(), nullptr) << "the model did not load";
  }

  const FlatModel& model() const { return *model_; }
  int type_count() const { return static_cast<int>(GetParam().shape.elements.size()); }

 private:
  std::unique_ptr<FlatModel> model_;
};

}  // namespace quarvel::test_support
