#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace {

// Everything quarvel_gpu exports, demangled. A new public function lands here and in src/core/exports.map.
const std::set<std::string> kExportedSymbols = {
    "qrvl_api_version",
    "qrvl_backend_count",
    "qrvl_backend_info",
    "qrvl_load_model",
    "qrvl_free_model",
    "qrvl_model_info",
    "qrvl_model_kind",
    "qrvl_estimate_workspace",
    "qrvl_find_force_batch",
    "qrvl_evaluate_batch",
    "qrvl_find_charge_batch",
    "qrvl_find_descriptors",
    "qrvl_find_dipoles",
    "qrvl_find_polarizabilities",
    "qrvl_compute_dftd3_batch",
    "qrvl_compute_with_dftd3_batch",
    "qrvl_find_force_lammps_neighbors",
    "qrvl_find_force_lammps_device_neighbors",
    "qrvl_cancel_model",
    "qrvl_reset_cancel",
    "qrvl_status_message",
    "qrvl_last_error_message",
    "quarvel::Engine::~Engine()",
    "vtable for quarvel::Engine",
    "typeinfo for quarvel::Engine",
    "typeinfo name for quarvel::Engine",
    "quarvel::Model::~Model()",
    "vtable for quarvel::Model",
    "typeinfo for quarvel::Model",
    "typeinfo name for quarvel::Model",
    "quarvel::register_engine(quarvel::Engine*)",
    "quarvel::set_last_error(std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> > const&)",
    "quarvel::clear_last_error()",
    "quarvel::cuda_backend::parse_model_protocol(std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> > const&)",
    "vtable for quarvel::cuda_backend::UnsupportedModelProtocol",
    "typeinfo for quarvel::cuda_backend::UnsupportedModelProtocol",
    "typeinfo name for quarvel::cuda_backend::UnsupportedModelProtocol",
    "qrvl_register_cuda_engine",
    "quarvel::register_cuda_engine()",
    "quarvel::probe_cuda_device(int, std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >&)",
    "quarvel::cuda_backend::batch_boxes_are_orthorhombic(QrvlStructureBatch const&)",
    "quarvel::cuda_backend::stage_batch_for_internal_neighbors(QrvlStructureBatch const&)",
    "quarvel::cuda_backend::stage_lammps_external_neighbors(QrvlLammpsNeighborInput const&, quarvel::cuda_backend::ModelProtocol const&)",
};

// The defined dynamic symbols of the library, demangled; a destructor's several variants count once.
std::set<std::string> exported_symbols(const std::string& library) {
  const std::string command = "nm -D --defined-only --demangle '" + library + "'";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) {
    throw std::runtime_error("cannot run " + command);
  }
  std::set<std::string> symbols;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
    std::string text(line);
    text.erase(text.find_last_not_of("\r\n") + 1);
    // "<address> <kind> <name>": the name may contain spaces.
    std::istringstream fields(text);
    std::string address;
    std::string kind;
    fields >> address >> kind;
    std::string name;
    std::getline(fields >> std::ws, name);
    if (!name.empty()) {
      symbols.insert(name);
    }
  }
  return symbols;
}

TEST(ExportedSymbols, AreExactlyThePublicInterface) {
  const std::set<std::string> actual = exported_symbols(QUARVEL_GPU_LIBRARY);
  for (const std::string& symbol : kExportedSymbols) {
    EXPECT_EQ(actual.count(symbol), 1u) << "not exported: " << symbol;
  }
  for (const std::string& symbol : actual) {
    EXPECT_EQ(kExportedSymbols.count(symbol), 1u) << "exported but not public: " << symbol;
  }
}

}  // namespace
