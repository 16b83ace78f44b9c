#include "support/model_file_writer.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace quarvel::test_support {
namespace {

// Spin descriptor rows per spin channel for spin_l_max 0..4, before the two global rows.
constexpr int kSpinRowsPerChannel[] = {7, 11, 12, 13, 14};
constexpr int kZblRecordValues = 10;

bool has(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// Deterministic values that are exact in float and survive a round trip through "%.9g" unchanged.
class ValueStream {
 public:
  explicit ValueStream(std::uint32_t seed) : state_(seed * 2654435761u + 12345u) {}
  // A dyadic value in [-1.25, 1.25]: a multiple of 1/4096.
  float next() {
    state_ = state_ * 1664525u + 1013904223u;
    const int step = static_cast<int>((state_ >> 8) % 10241u) - 5120;
    return static_cast<float>(step) / 4096.0f;
  }
  // A positive dyadic value in [0.25, 2.75), as a descriptor scaler.
  float next_positive() { return 1.5f + next(); }

 private:
  std::uint32_t state_;
};

std::string format_value(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.17g", value);
  return buffer;
}

std::string join(const std::vector<std::string>& tokens) {
  std::string line;
  for (const std::string& token : tokens) line += (line.empty() ? "" : " ") + token;
  return line;
}

int structural_descriptor_dim(const ModelShape& shape) {
  int channels = shape.l_max_3body + (shape.q222.value_or(0) != 0 ? 1 : 0);
  for (int flag : shape.coupling_flags) channels += flag != 0 ? 1 : 0;
  return shape.n_max_radial + 1 + (shape.n_max_angular + 1) * channels;
}

int spin_descriptor_dim(const SpinShape& spin) {
  // A spin order the format does not know contributes no per-channel rows: the file is broken anyway.
  const bool known_order = spin.l_max >= 0 && spin.l_max <= 4;
  const int per_channel = known_order ? kSpinRowsPerChannel[spin.l_max] : 0;
  const int chiral_rows = spin.chiral == 1 ? 2 * spin.compress + (spin.compress < 2 ? spin.compress : 2) : 0;
  return spin.compress * per_channel + 2 + chiral_rows;
}

// A count from a shape; negative sizes (broken headers) write no values rather than an endless block.
std::size_t count_of(int size) { return size > 0 ? static_cast<std::size_t>(size) : 0; }

std::vector<std::string> spin_lines(const ModelShape& shape) {
  const SpinShape& s = shape.spin;
  std::vector<std::string> lines = {
      "spin_compress " + std::to_string(s.compress),
      "spin_basis_size " + std::to_string(s.basis_size_radial) + " " + std::to_string(s.basis_size_angular),
      "spin_n_max " + std::to_string(s.n_max_radial) + " " + std::to_string(s.n_max_angular),
      "spin_l_max " + std::to_string(s.l_max) + " 0 0",
      "spin_chiral " + std::to_string(s.chiral),
      "spin_cutoff " + format_value(s.cutoff) + " " + format_value(s.cutoff),
      "spin_scaler 1"};
  std::string baseline = "spin_baseline";
  for (std::size_t t = 0; t < shape.elements.size(); ++t) {
    const double value = t < s.baseline.size() ? s.baseline[t] : 0.5 * static_cast<double>(t + 1);
    baseline += " " + format_value(value);
  }
  lines.push_back(baseline);
  if (!s.dof_types.empty()) lines.push_back("spin_dof_type " + join(s.dof_types));
  if (!s.env_types.empty()) lines.push_back("spin_env_type " + join(s.env_types));
  return lines;
}

std::vector<std::string> header_lines(const ModelShape& shape) {
  std::vector<std::string> lines;
  lines.push_back(shape.family + " " + std::to_string(shape.elements.size()) + " " + join(shape.elements));
  if (has(shape.family, "_spin")) {
    const std::vector<std::string> spin = spin_lines(shape);
    lines.push_back(shape.spin.counted_block ? "spin_mode 1 " + std::to_string(spin.size()) : "spin_mode 1");
    lines.insert(lines.end(), spin.begin(), spin.end());
  }
  if (has(shape.family, "_zbl")) {
    std::string zbl = "zbl " + format_value(shape.zbl.inner) + " " + format_value(shape.zbl.outer);
    if (shape.zbl.typewise_factor) zbl += " " + format_value(*shape.zbl.typewise_factor);
    lines.push_back(zbl);
  }
  std::string cutoff = "cutoff";
  for (std::size_t t = 0; t < shape.cutoff_radial.size(); ++t) {
    cutoff += " " + format_value(shape.cutoff_radial[t]) + " " + format_value(shape.cutoff_angular[t]);
  }
  lines.push_back(cutoff + " " + std::to_string(shape.max_neighbors_radial) + " " +
                  std::to_string(shape.max_neighbors_angular));
  lines.push_back("n_max " + std::to_string(shape.n_max_radial) + " " + std::to_string(shape.n_max_angular));
  lines.push_back("basis_size " + std::to_string(shape.basis_size_radial) + " " +
                  std::to_string(shape.basis_size_angular));
  std::string l_max = "l_max " + std::to_string(shape.l_max_3body);
  if (shape.q222) l_max += " " + std::to_string(*shape.q222);
  for (int flag : shape.coupling_flags) l_max += " " + std::to_string(flag);
  lines.push_back(l_max);
  lines.push_back("ANN " + std::to_string(shape.hidden_neurons) + " " + std::to_string(shape.hidden_neurons2));
  return lines;
}

// Draws `count` values into `part` and appends them to the file's parameter list.
void draw(ValueStream& values, std::size_t count, std::vector<float>& part, std::vector<float>& parameters) {
  for (std::size_t i = 0; i < count; ++i) {
    part.push_back(values.next());
    parameters.push_back(part.back());
  }
}

// One value per line, with enough digits that each float reads back unchanged.
void write_values(std::ostream& out, const std::vector<float>& values) {
  char buffer[32];
  for (float value : values) {
    std::snprintf(buffer, sizeof buffer, "%.9g", static_cast<double>(value));
    out << buffer << '\n';
  }
}

// Coefficients in file order: index q of pair p stands at q T^2 + p.
std::vector<std::vector<float>> draw_coefficients(ValueStream& values, std::size_t pairs, std::size_t functions,
                                                  std::vector<float>& parameters) {
  std::vector<std::vector<float>> by_pair(pairs, std::vector<float>(functions));
  for (std::size_t q = 0; q < functions; ++q) {
    for (std::size_t p = 0; p < pairs; ++p) {
      by_pair[p][q] = values.next();
      parameters.push_back(by_pair[p][q]);
    }
  }
  return by_pair;
}

}  // namespace

ModelShape compact_shape(std::string family, std::vector<std::string> elements, std::uint32_t seed) {
  ModelShape shape;
  shape.family = std::move(family);
  shape.elements = std::move(elements);
  shape.n_max_radial = 2;
  shape.n_max_angular = 1;
  shape.basis_size_radial = 2;
  shape.basis_size_angular = 1;
  shape.l_max_3body = 2;
  shape.hidden_neurons = 3;
  shape.seed = seed;
  return shape;
}

WrittenModel write_model(const ModelShape& shape) {
  WrittenModel model;
  model.header_lines = header_lines(shape);
  const bool spin = has(shape.family, "_spin");
  const bool charge = has(shape.family, "_charge");
  const bool version5 = shape.family.rfind("nep5", 0) == 0;
  model.descriptor_dim = structural_descriptor_dim(shape) + (spin ? spin_descriptor_dim(shape.spin) : 0);
  const std::size_t d = count_of(model.descriptor_dim);
  const std::size_t h1 = count_of(shape.hidden_neurons);
  const std::size_t h2 = count_of(shape.hidden_neurons2);
  const std::size_t types = shape.elements.size();
  ValueStream values(shape.seed);
  std::vector<float>& parameters = model.parameters;

  for (std::size_t t = 0; t < types; ++t) {
    NetworkBlock block;
    draw(values, h1 * d, block.w0, parameters);
    draw(values, h1, block.b0, parameters);
    if (h2 == 0) {
      draw(values, h1, block.w1, parameters);
    } else {
      draw(values, h2 * h1, block.w1, parameters);
      draw(values, h2, block.b1, parameters);
      draw(values, h2, block.w2, parameters);
    }
    if (charge) draw(values, h1, block.charge_weights, parameters);
    if (version5) {
      block.type_bias = values.next();
      parameters.push_back(*block.type_bias);
    }
    model.network.push_back(block);
  }
  if (charge) {
    model.sqrt_epsilon_inf = values.next_positive();
    parameters.push_back(*model.sqrt_epsilon_inf);
  }
  model.energy_bias = values.next();
  parameters.push_back(model.energy_bias);

  const std::size_t pairs = types * types;
  const auto functions = [](int n_max, int basis_size) { return count_of(n_max + 1) * count_of(basis_size + 1); };
  model.radial_by_pair =
      draw_coefficients(values, pairs, functions(shape.n_max_radial, shape.basis_size_radial), parameters);
  model.angular_by_pair =
      draw_coefficients(values, pairs, functions(shape.n_max_angular, shape.basis_size_angular), parameters);
  if (spin) {
    const std::size_t spin_functions =
        count_of(shape.spin.compress) * count_of(shape.spin.basis_size_radial + 1);
    model.spin_by_pair = draw_coefficients(values, pairs, spin_functions, parameters);
  }
  for (std::size_t k = 0; k < d; ++k) {
    model.scaler.push_back(values.next_positive());
    parameters.push_back(model.scaler.back());
  }

  std::ostringstream text;
  for (const std::string& line : model.header_lines) text << line << '\n';
  write_values(text, parameters);
  if (has(shape.family, "_zbl") && shape.zbl.inner == 0.0 && shape.zbl.outer == 0.0) {
    // One record per unordered pair: inner cutoff, outer cutoff (Angstrom), then a1, b1, ..., a4, b4.
    const std::size_t records = types * (types + 1) / 2;
    for (std::size_t r = 0; r < records; ++r) {
      const float inner = 0.5f + 0.125f * static_cast<float>(r);
      model.flexible_zbl_records.push_back(inner);
      model.flexible_zbl_records.push_back(inner + 1.0f);
      for (int k = 2; k < kZblRecordValues; ++k) model.flexible_zbl_records.push_back(values.next_positive());
    }
    write_values(text, model.flexible_zbl_records);
  }
  model.text = text.str();
  return model;
}

std::string model_text(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

TempModelFile::TempModelFile(const std::string& text) {
  const char* directory = std::getenv("TMPDIR");
  std::string pattern = std::string(directory != nullptr && *directory != '\0' ? directory : "/tmp") +
                        "/quarvel_model_XXXXXX";
  const int descriptor = ::mkstemp(pattern.data());
  if (descriptor < 0) throw std::runtime_error("cannot create a temporary model file");
  ::close(descriptor);
  path_ = pattern;
  std::ofstream out(path_, std::ios::binary);
  out << text;
  if (!out) throw std::runtime_error("cannot write the temporary model file");
}

TempModelFile::~TempModelFile() { std::remove(path_.c_str()); }

}  // namespace quarvel::test_support
