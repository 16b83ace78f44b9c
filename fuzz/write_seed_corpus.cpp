// Writes one small valid model file of every family and shape into the directory named on the command line:
// the seed corpus of the reader's fuzz target.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support/model_file_writer.hpp"

namespace {

using quarvel::test_support::ModelShape;

// Compact shapes keep every seed within a few kilobytes, so the fuzzer mutates the header often.
ModelShape small(const char* family, std::vector<std::string> elements) {
  return quarvel::test_support::compact_shape(family, std::move(elements));
}

std::vector<std::pair<std::string, ModelShape>> seeds() {
  std::vector<std::pair<std::string, ModelShape>> all;
  for (const char* family : {"nep4", "nep4_zbl", "nep4_charge1", "nep4_charge2", "nep4_charge3", "nep4_zbl_charge1",
                             "nep4_zbl_charge2", "nep4_zbl_charge3", "nep5", "nep5_zbl", "nep4_spin", "nep4_spin1"}) {
    all.emplace_back(family, small(family, {"C", "H"}));
  }
  ModelShape per_type = small("nep4", {"C", "H"});
  per_type.cutoff_radial = {5.0, 4.0};
  per_type.cutoff_angular = {4.0, 3.0};
  per_type.q222 = 1;
  per_type.coupling_flags = {1, 1};
  all.emplace_back("nep4_per_type_couplings", per_type);
  ModelShape two_layers = small("nep4", {"Si"});
  two_layers.hidden_neurons2 = 2;
  all.emplace_back("nep4_two_layers", two_layers);
  ModelShape typewise = small("nep4_zbl", {"C", "H"});
  typewise.zbl.typewise_factor = 0.7;
  all.emplace_back("nep4_zbl_typewise", typewise);
  ModelShape flexible = small("nep4_zbl", {"C", "H"});
  flexible.zbl = {0.0, 0.0, std::nullopt};
  all.emplace_back("nep4_zbl_flexible", flexible);
  ModelShape spin = small("nep4_spin", {"Fe", "O"});
  spin.spin.counted_block = true;
  spin.spin.chiral = 1;
  spin.spin.dof_types = {"Fe"};
  spin.spin.env_types = {"Fe", "O"};
  all.emplace_back("nep4_spin_counted_chiral", spin);
  return all;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  for (const auto& [name, shape] : seeds()) {
    std::ofstream out(std::string(argv[1]) + "/" + name + ".txt", std::ios::binary);
    out << quarvel::test_support::write_model(shape).text;
    if (!out) {
      std::fprintf(stderr, "cannot write seed %s\n", name.c_str());
      return 1;
    }
  }
  return 0;
}
