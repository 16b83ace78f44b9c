#pragma once
// Writes "nep.txt" model files of any shape the format allows, with deterministic parameters, so that tests
// build their own models. The writer does not validate: it writes exactly the shape it is given, which also
// makes it the source of broken files for refusal tests.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quarvel::test_support {

// The "zbl" line: inner and outer cutoff both 0 make a flexible model, whose per-pair records the writer appends.
struct ZblShape {
  double inner = 1.0;  // Angstrom
  double outer = 2.0;  // Angstrom
  std::optional<double> typewise_factor;
};

// The spin block of "nep4_spin" / "nep4_spin1" models.
struct SpinShape {
  int compress = 2;
  int basis_size_radial = 3;
  int basis_size_angular = 2;
  int n_max_radial = 2;
  int n_max_angular = 1;
  int l_max = 2;
  int chiral = 0;
  double cutoff = 5.5;                  // Angstrom
  std::vector<double> baseline;         // empty: one generated value per type
  std::vector<std::string> dof_types;   // empty: no "spin_dof_type" line
  std::vector<std::string> env_types;   // empty: no "spin_env_type" line
  bool counted_block = false;           // "spin_mode 1 N" instead of the open form
};

// Everything that decides a model file's header; the family keyword decides ZBL, charge, spin and version.
struct ModelShape {
  std::string family = "nep4";
  std::vector<std::string> elements = {"C"};
  std::vector<double> cutoff_radial = {5.0};   // one shared value, or one per type (Angstrom)
  std::vector<double> cutoff_angular = {4.0};  // same count as cutoff_radial
  int max_neighbors_radial = 100;
  int max_neighbors_angular = 60;
  int n_max_radial = 4;
  int n_max_angular = 3;
  int basis_size_radial = 6;
  int basis_size_angular = 5;
  int l_max_3body = 4;
  std::optional<int> q222;         // absent: the "l_max" line ends after l_max_3body
  std::vector<int> coupling_flags;  // has_q_1111, has_q_112, has_q_123, has_q_233, has_q_134 (a prefix)
  int hidden_neurons = 6;
  int hidden_neurons2 = 0;
  ZblShape zbl;
  SpinShape spin;
  std::uint32_t seed = 1;  // parameter values follow from it
};

// One type's network parameters as written, in file order within the block.
struct NetworkBlock {
  std::vector<float> w0;  // H1 x D, hidden-neuron-major
  std::vector<float> b0;
  std::vector<float> w1;  // H1 output weights, or H2 x H1 second-layer weights
  std::vector<float> b1;
  std::vector<float> w2;
  std::vector<float> charge_weights;
  std::optional<float> type_bias;
};

// What the writer put into the file, so tests can compare what the reader returns.
struct WrittenModel {
  std::string text;
  std::vector<std::string> header_lines;  // header line through "ANN" line, without line feeds
  int descriptor_dim = 0;
  std::vector<NetworkBlock> network;  // one per type
  std::optional<float> sqrt_epsilon_inf;
  float energy_bias = 0.0f;
  // Coefficient tables indexed [centre type x T + neighbor type][n x (basis + 1) + k]; spin [pair][channel x (B+1) + k].
  std::vector<std::vector<float>> radial_by_pair;
  std::vector<std::vector<float>> angular_by_pair;
  std::vector<std::vector<float>> spin_by_pair;
  std::vector<float> scaler;
  std::vector<float> parameters;              // network, coefficients and scaler in file order
  std::vector<float> flexible_zbl_records;    // 10 per unordered pair (i <= j), row order
};

// A shape of the given family and elements with small descriptor and network sizes (every part present, a
// file of a few hundred lines), for tests whose point is not the model's size.
ModelShape compact_shape(std::string family, std::vector<std::string> elements, std::uint32_t seed = 1);

WrittenModel write_model(const ModelShape& shape);

// Joins lines into a file text, each ended by a line feed.
std::string model_text(const std::vector<std::string>& lines);

// A model file on disk, removed when the object goes.
class TempModelFile {
 public:
  explicit TempModelFile(const std::string& text);
  ~TempModelFile();
  TempModelFile(const TempModelFile&) = delete;
  TempModelFile& operator=(const TempModelFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace quarvel::test_support
