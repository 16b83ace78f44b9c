#include "model_file_reader.hpp"

#include <locale.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <ios>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "error_checks.hpp"

namespace quarvel::cuda_backend {
namespace {

using TokenLine = std::vector<std::string>;

// No line of a valid file comes near this (the longest header line is a few kilobytes); the cap keeps a
// damaged file from making the reader hold an arbitrarily long line in memory.
constexpr std::size_t kMaxLineLength = std::size_t{1} << 20;
// Values are stored as float; anything beyond the largest finite float is refused rather than turned into inf.
constexpr double kLargestFloat = 3.4028234663852886e38;
// A flexible ZBL pair record: inner cutoff, outer cutoff, then a1, b1, ..., a4, b4 of the screening function.
constexpr std::uint64_t kZblRecordValues = 10;
constexpr std::int32_t kMaxTypes = 118;
constexpr double kMaxCutoff = 100.0;                   // Angstrom
constexpr double kNeighborCapacityHeadroom = 1.25;     // list slots per expected neighbor
constexpr std::int32_t kMaxHiddenNeurons = 120;
constexpr std::int32_t kMaxNMaxRadial = 12;
constexpr std::int32_t kMaxNMaxAngular = 8;
constexpr std::int32_t kMaxBasisSizeRadial = 16;
constexpr std::int32_t kMaxBasisSizeAngular = 12;
constexpr std::int32_t kMaxLMax3Body = 8;
constexpr std::int32_t kMaxStructuralAngularDescriptors = 90;
constexpr std::int32_t kMaxSpinLMax = 4;
constexpr std::int32_t kMaxSpinBasisSizeRadial = 8;
constexpr std::int32_t kLegacyQ222Value = 2;  // older files write 2 for "q222 on"
constexpr char kWhiteSpace[] = " \t\r\n\v\f";

// IUPAC symbols in order of atomic number: the atomic number of a symbol is its index plus one.
constexpr std::array<std::string_view, kMaxTypes> kElementSymbols = {
    "H",  "He", "Li", "Be", "B",  "C",  "N",  "O",  "F",  "Ne", "Na", "Mg", "Al", "Si", "P",  "S",  "Cl", "Ar",
    "K",  "Ca", "Sc", "Ti", "V",  "Cr", "Mn", "Fe", "Co", "Ni", "Cu", "Zn", "Ga", "Ge", "As", "Se", "Br", "Kr",
    "Rb", "Sr", "Y",  "Zr", "Nb", "Mo", "Tc", "Ru", "Rh", "Pd", "Ag", "Cd", "In", "Sn", "Sb", "Te", "I",  "Xe",
    "Cs", "Ba", "La", "Ce", "Pr", "Nd", "Pm", "Sm", "Eu", "Gd", "Tb", "Dy", "Ho", "Er", "Tm", "Yb", "Lu", "Hf",
    "Ta", "W",  "Re", "Os", "Ir", "Pt", "Au", "Hg", "Tl", "Pb", "Bi", "Po", "At", "Rn", "Fr", "Ra", "Ac", "Th",
    "Pa", "U",  "Np", "Pu", "Am", "Cm", "Bk", "Cf", "Es", "Fm", "Md", "No", "Lr", "Rf", "Db", "Sg", "Bh", "Hs",
    "Mt", "Ds", "Rg", "Cn", "Nh", "Fl", "Mc", "Lv", "Ts", "Og"};

struct FamilyKeyword {
  std::string_view keyword;
  std::int32_t version;
  std::int32_t charge_mode;
};

// Header keywords the engine accepts; ZBL and spin follow from "_zbl" and "_spin" in the keyword.
constexpr std::array<FamilyKeyword, 12> kFamilies = {{{"nep4", 4, 0},
                                                      {"nep4_zbl", 4, 0},
                                                      {"nep4_spin", 4, 0},
                                                      {"nep4_spin1", 4, 0},
                                                      {"nep4_charge1", 4, 1},
                                                      {"nep4_charge2", 4, 2},
                                                      {"nep4_charge3", 4, 3},
                                                      {"nep4_zbl_charge1", 4, 1},
                                                      {"nep4_zbl_charge2", 4, 2},
                                                      {"nep4_zbl_charge3", 4, 3},
                                                      {"nep5", 5, 0},
                                                      {"nep5_zbl", 5, 0}}};

void refuse_unless(bool condition, const char* message) {
  if (!condition) throw UnsupportedModelProtocol(message);
}

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// Reads one line (the line feed is dropped) into `line`; false when the stream holds no further line.
bool read_bounded_line(std::istream& in, std::string& line) {
  line.clear();
  std::istream::sentry ready(in, true);
  if (!ready) return false;
  std::streambuf* buffer = in.rdbuf();
  bool extracted = false;
  for (;;) {
    const int c = buffer->sbumpc();
    if (c == std::char_traits<char>::eof()) {
      in.setstate(extracted ? std::ios::eofbit : std::ios::eofbit | std::ios::failbit);
      return extracted;
    }
    extracted = true;
    if (c == '\n') return true;
    require(line.size() < kMaxLineLength, "model file line is too long");
    line.push_back(static_cast<char>(c));
  }
}

// The next line that holds at least one token, split at white space; empty when the stream is exhausted.
TokenLine read_token_line(std::istream& in) {
  std::string line;
  while (read_bounded_line(in, line)) {
    TokenLine tokens;
    std::size_t start = line.find_first_not_of(kWhiteSpace);
    while (start != std::string::npos) {
      const std::size_t end = line.find_first_of(kWhiteSpace, start);
      tokens.push_back(line.substr(start, end - start));
      start = line.find_first_not_of(kWhiteSpace, end);
    }
    if (!tokens.empty()) return tokens;
  }
  return {};
}

// std::stoi and std::stod throw std::invalid_argument / std::out_of_range ("stoi", "stod") and keep errno as
// they found it unless the conversion set it; the whole-token rule is added on top.
std::int32_t parse_int_token(const std::string& token) {
  std::size_t used = 0;
  const int value = std::stoi(token, &used);
  require(used == token.size(), "invalid integer token");
  return value;
}

double parse_double_token(const std::string& token) {
  std::size_t used = 0;
  const double value = std::stod(token, &used);
  require(used == token.size() && std::isfinite(value), "invalid double token");
  return value;
}

bool parse_flag_token(const std::string& token, const char* name) {
  const std::int32_t value = parse_int_token(token);
  if (value != 0 && value != 1) throw std::runtime_error(std::string(name) + " must be 0 or 1");
  return value == 1;
}

// Reads `count` values, one per token line (only a line's first token counts), as floats.
std::vector<float> read_float_block(std::istream& in, std::uint64_t count, const char* name) {
  // Grow with the values actually read, so a header whose counts the file cannot back allocates little.
  constexpr std::uint64_t kInitialReserve = 4096;
  std::vector<float> values;
  values.reserve(static_cast<std::size_t>(std::min(count, kInitialReserve)));
  for (std::uint64_t i = 0; i < count; ++i) {
    const TokenLine line = read_token_line(in);
    if (line.empty()) throw std::runtime_error(std::string("unexpected end of ") + name);
    const double value = parse_double_token(line[0]);
    require(value >= -kLargestFloat && value <= kLargestFloat, "float token out of range");
    values.push_back(static_cast<float>(value));
  }
  return values;
}

// Token lines with one line of look-ahead: a step that reads a line it does not own hands it back.
class TokenLineSource {
 public:
  explicit TokenLineSource(std::istream& in) : in_(in) {}
  TokenLine next() {
    if (has_pending_) {
      has_pending_ = false;
      return std::move(pending_);
    }
    return read_token_line(in_);
  }
  void hand_back(TokenLine line) {
    pending_ = std::move(line);
    has_pending_ = true;
  }
  bool exhausted() const { return !has_pending_ && !in_.good(); }

 private:
  std::istream& in_;
  TokenLine pending_;
  bool has_pending_ = false;
};

// The next keyword line; a missing line, another keyword or a token count outside [min, max] fails with `message`.
TokenLine expect_keyword_line(TokenLineSource& lines, const char* keyword, std::size_t min_tokens,
                              std::size_t max_tokens, const char* message) {
  TokenLine line = lines.next();
  require(!line.empty() && line[0] == keyword && line.size() >= min_tokens && line.size() <= max_tokens, message);
  return line;
}

void parse_header_line(ModelProtocol& protocol, TokenLineSource& lines) {
  constexpr std::size_t kMinHeaderTokens = 3;  // keyword, type count, one symbol
  const TokenLine line = lines.next();
  require(line.size() >= kMinHeaderTokens, "malformed model header");
  const std::string& keyword = line[0];
  refuse_unless(!contains(keyword, "_dipole") && !contains(keyword, "_polarizability"),
                "dipole and polarizability models are unsupported by the CUDA backend; CPU fallback is disabled");
  refuse_unless(!contains(keyword, "_temperature"), "CUDA engine only accepts supported NEP potential models");
  const auto family = std::find_if(kFamilies.begin(), kFamilies.end(),
                                   [&](const FamilyKeyword& f) { return f.keyword == keyword; });
  refuse_unless(family != kFamilies.end(), "CUDA engine only accepts supported NEP4/NEP5 models");
  protocol.version = family->version;
  protocol.charge_mode = family->charge_mode;
  protocol.has_zbl = contains(keyword, "_zbl");
  protocol.spin_mode = contains(keyword, "_spin") ? 1 : 0;

  const std::int32_t num_types = parse_int_token(line[1]);
  require(num_types >= 1 && num_types <= kMaxTypes && line.size() == static_cast<std::size_t>(num_types) + 2,
          "invalid type count in model header");
  protocol.num_types = num_types;
  for (std::size_t i = 2; i < line.size(); ++i) {
    const auto symbol = std::find(kElementSymbols.begin(), kElementSymbols.end(), line[i]);
    require(symbol != kElementSymbols.end(), "unknown element symbol for ZBL atomic number");
    protocol.elements.push_back(line[i]);
    protocol.atomic_numbers.push_back(static_cast<std::int32_t>(symbol - kElementSymbols.begin()) + 1);
  }
}

// Sets `flags` to one entry per type: 1 for each type named on the line after its keyword, 0 for the rest.
void parse_type_list(const TokenLine& line, const ModelProtocol& protocol, std::vector<std::int32_t>& flags,
                     const char* empty_message, const char* unknown_message) {
  require(line.size() >= 2, empty_message);
  flags.assign(protocol.elements.size(), 0);
  for (std::size_t i = 1; i < line.size(); ++i) {
    const auto match = std::find(protocol.elements.begin(), protocol.elements.end(), line[i]);
    require(match != protocol.elements.end(), unknown_message);
    flags[static_cast<std::size_t>(match - protocol.elements.begin())] = 1;
  }
}

// Parses the two integer values of a "spin_basis_size" or "spin_n_max" line, both required non-negative.
void parse_spin_pair(const TokenLine& line, std::int32_t& first, std::int32_t& second, const char* count_message,
                     const char* negative_message) {
  require(line.size() == 3, count_message);
  const std::int32_t a = parse_int_token(line[1]);
  const std::int32_t b = parse_int_token(line[2]);
  require(a >= 0 && b >= 0, negative_message);
  first = a;
  second = b;
}

void parse_spin_header_line(const TokenLine& line, ModelProtocol& protocol) {
  if (line.empty()) return;
  const std::string& keyword = line[0];
  if (keyword == "spin_compress") {
    require(line.size() == 2, "spin_compress requires exactly one value");
    protocol.spin_compress = parse_int_token(line[1]);
  } else if (keyword == "spin_basis_size") {
    parse_spin_pair(line, protocol.spin_basis_size_radial, protocol.spin_basis_size_angular,
                    "spin_basis_size requires radial and reserved angular values",
                    "spin_basis_size values must be non-negative");
  } else if (keyword == "spin_n_max") {
    parse_spin_pair(line, protocol.spin_n_max_radial, protocol.spin_n_max_angular,
                    "spin_n_max requires radial and angular values", "spin_n_max values must be non-negative");
  } else if (keyword == "spin_l_max") {
    require(line.size() == 4, "spin_l_max requires 3body, 4body, and 5body values");
    const std::int32_t l_max = parse_int_token(line[1]);
    const std::int32_t four_body = parse_int_token(line[2]);
    const std::int32_t five_body = parse_int_token(line[3]);
    require(four_body == 0 && five_body == 0, "reserved spin_l_max values must be zero for Zoro Zozi");
    protocol.spin_l_max = l_max;
  } else if (keyword == "spin_chiral") {
    require(line.size() == 2, "spin_chiral requires exactly one value");
    const std::int32_t chiral = parse_int_token(line[1]);
    require(chiral == 0 || chiral == 1, "spin_chiral must be 0 or 1");
    protocol.spin_chiral = chiral;
  } else if (keyword == "spin_cutoff") {
    require(line.size() == 3, "spin_cutoff requires radial and reserved angular values");
    const double radial = parse_double_token(line[1]);
    const double reserved_angular = parse_double_token(line[2]);
    require(radial > 0.0 && reserved_angular > 0.0, "spin_cutoff values must be positive");
    protocol.spin_cutoff = radial;
  } else if (keyword == "spin_scaler") {
    require(line.size() == 2, "spin_scaler requires exactly one value");
    require(parse_double_token(line[1]) == 1.0, "only spin_scaler 1 is supported by CUDA");
  } else if (keyword == "spin_baseline") {
    require(line.size() == static_cast<std::size_t>(protocol.num_types) + 1,
            "spin_baseline must have one value per type");
    std::vector<double> baseline;
    for (std::size_t i = 1; i < line.size(); ++i) baseline.push_back(parse_double_token(line[i]));
    protocol.spin_baseline = std::move(baseline);
  } else if (keyword == "spin_dof_type" || keyword == "spin_type") {
    parse_type_list(line, protocol, protocol.spin_dof_type, "spin_dof_type must enable at least one type",
                    "unknown spin_dof_type in nep.txt");
  } else if (keyword == "spin_env_type") {
    parse_type_list(line, protocol, protocol.spin_env_type, "spin_env_type must enable at least one type",
                    "unknown spin_env_type in nep.txt");
  } else {
    throw std::runtime_error("unknown spin header line");
  }
}

// The "spin_mode" line and the spin block after it; the line that closes an open block is handed back.
void parse_spin_block(ModelProtocol& protocol, TokenLineSource& lines) {
  const TokenLine mode_line = lines.next();
  require(!mode_line.empty() && mode_line[0] == "spin_mode", "spin model must contain spin_mode line");
  if (mode_line.size() == 2) {
    protocol.spin_mode = parse_int_token(mode_line[1]);
    require(protocol.spin_mode == 1, "only spin_mode 1 is supported");
    TokenLine line = lines.next();
    while (!line.empty() && starts_with(line[0], "spin_")) {
      parse_spin_header_line(line, protocol);
      line = lines.next();
    }
    lines.hand_back(std::move(line));
  } else if (mode_line.size() == 3) {
    protocol.spin_mode = parse_int_token(mode_line[1]);
    require(protocol.spin_mode == 1, "only spin_mode 1 is supported");
    const std::int32_t count = parse_int_token(mode_line[2]);
    require(count >= 0, "spin header line count must be non-negative");
    // Counted lines past the end of the file are empty and change nothing, so reading stops there
    // instead of asking an exhausted stream for up to 2^31 lines.
    for (std::int32_t i = 0; i < count && !lines.exhausted(); ++i) parse_spin_header_line(lines.next(), protocol);
  } else {
    throw std::runtime_error("spin_mode requires a value and optional header count");
  }
}

void parse_zbl_line(ModelProtocol& protocol, TokenLineSource& lines) {
  const TokenLine line = expect_keyword_line(lines, "zbl", 3, 4, "expected zbl line");
  // Every value is parsed before any rule applies; the factor's rule comes before the cutoffs' rules.
  if (line.size() == 4) protocol.typewise_zbl_factor = parse_double_token(line[3]);
  protocol.zbl_rc_inner = parse_double_token(line[1]);
  protocol.zbl_rc_outer = parse_double_token(line[2]);
  if (line.size() == 4) {
    require(protocol.typewise_zbl_factor > 0.0, "typewise ZBL cutoff factor must be positive");
    protocol.typewise_zbl = true;
  }
  if (protocol.zbl_rc_inner != 0.0) {
    require(protocol.zbl_rc_inner >= 0.0 && protocol.zbl_rc_outer > protocol.zbl_rc_inner, "invalid ZBL cutoff range");
  } else if (protocol.zbl_rc_outer != 0.0) {
    require(protocol.zbl_rc_outer > 0.0, "invalid ZBL cutoff range");
  } else {
    protocol.flexible_zbl = true;
    require(!protocol.typewise_zbl, "flexible ZBL does not accept a typewise cutoff factor");
  }
}

// ceil(1.25 x max_neighbors) in double precision; refused when it does not fit an int32.
std::int32_t neighbor_capacity(std::int32_t max_neighbors) {
  const double capacity = std::ceil(kNeighborCapacityHeadroom * static_cast<double>(max_neighbors));
  require(capacity <= static_cast<double>(std::numeric_limits<std::int32_t>::max()),
          "maximum neighbor count is too large");
  return static_cast<std::int32_t>(capacity);
}

void parse_cutoff_line(ModelProtocol& protocol, TokenLineSource& lines) {
  constexpr std::size_t kSharedCutoffTokens = 5;  // keyword, radial, angular, two neighbor maxima
  const TokenLine line = lines.next();
  require(!line.empty() && line[0] == "cutoff", "expected cutoff line");
  const std::size_t types = static_cast<std::size_t>(protocol.num_types);
  const bool per_type = types >= 2 && line.size() == 2 * types + 3;
  require(line.size() == kSharedCutoffTokens || per_type, "invalid cutoff line");
  if (per_type) {
    protocol.type_dependent_cutoffs = true;
    for (std::size_t t = 0; t < types; ++t) {
      protocol.cutoff_radial_by_type.push_back(parse_double_token(line[1 + 2 * t]));
      protocol.cutoff_angular_by_type.push_back(parse_double_token(line[2 + 2 * t]));
    }
  } else {
    protocol.cutoff_radial_by_type.assign(types, parse_double_token(line[1]));
    protocol.cutoff_angular_by_type.assign(types, parse_double_token(line[2]));
  }
  const auto& radial = protocol.cutoff_radial_by_type;
  const auto& angular = protocol.cutoff_angular_by_type;
  protocol.cutoff_radial = *std::max_element(radial.begin(), radial.end());
  protocol.cutoff_radial_list = std::max(protocol.zbl_rc_outer, protocol.cutoff_radial);
  protocol.cutoff_angular = *std::max_element(angular.begin(), angular.end());
  protocol.max_neighbors_radial = parse_int_token(line[line.size() - 2]);
  protocol.max_neighbors_angular = parse_int_token(line[line.size() - 1]);
  for (std::size_t t = 0; t < types; ++t) {
    require(radial[t] > 0.0 && radial[t] <= kMaxCutoff && angular[t] > 0.0 && angular[t] <= kMaxCutoff,
            "cutoffs must be within (0, 100]");
  }
  require(protocol.max_neighbors_radial >= 1 && protocol.max_neighbors_angular >= 1,
          "maximum neighbor counts must be positive");
  protocol.neighbor_capacity_radial = neighbor_capacity(protocol.max_neighbors_radial);
  protocol.neighbor_capacity_angular = neighbor_capacity(protocol.max_neighbors_angular);
  protocol.cutoff_max = std::max({protocol.zbl_rc_outer, protocol.cutoff_angular, protocol.cutoff_radial});
}

void parse_l_max_line(ModelProtocol& protocol, TokenLineSource& lines) {
  constexpr std::size_t kMaxLMaxTokens = 8;  // keyword, l_max_3body, q222, five coupling flags
  constexpr std::array<const char*, 5> kFlagNames = {"has_q_1111", "has_q_112", "has_q_123", "has_q_233",
                                                     "has_q_134"};
  const TokenLine line = expect_keyword_line(lines, "l_max", 2, kMaxLMaxTokens, "expected l_max line");
  BodyChannelConfig& channels = protocol.body_channels;
  channels.l_max_3body = parse_int_token(line[1]);
  if (line.size() >= 3) {
    const std::int32_t q222 = parse_int_token(line[2]);
    std::array<bool*, 5> flags = {&channels.has_q_1111, &channels.has_q_112, &channels.has_q_123,
                                  &channels.has_q_233, &channels.has_q_134};
    for (std::size_t i = 3; i < line.size(); ++i) *flags[i - 3] = parse_flag_token(line[i], kFlagNames[i - 3]);
    require(q222 == 0 || q222 == 1 || q222 == kLegacyQ222Value, "has_q_222 must be 0, 1, or legacy value 2");
    channels.has_q_222 = q222 != 0;
  }
}

void parse_ann_line(ModelProtocol& protocol, TokenLineSource& lines) {
  const TokenLine line = expect_keyword_line(lines, "ANN", 3, 3, "expected ANN line");
  protocol.hidden_neurons = parse_int_token(line[1]);
  protocol.hidden_neurons2 = parse_int_token(line[2]);
  require(protocol.hidden_neurons >= 1 && protocol.hidden_neurons <= kMaxHiddenNeurons,
          "first ANN hidden layer must be within 1..120");
  require(protocol.hidden_neurons2 >= 0 && protocol.hidden_neurons2 <= kMaxHiddenNeurons,
          "second ANN hidden layer must be within 0..120");
  const bool ordinary_nep4 = protocol.version == 4 && protocol.charge_mode == 0 && protocol.spin_mode == 0;
  refuse_unless(protocol.hidden_neurons2 == 0 || ordinary_nep4,
                "two-hidden-layer ANN is supported only for ordinary NEP4 models");
}

bool within(std::int32_t value, std::int32_t low, std::int32_t high) { return value >= low && value <= high; }

// Range checks of the structural settings, then the structural descriptor dimension.
void check_structural_settings(ModelProtocol& protocol) {
  const BodyChannelConfig& c = protocol.body_channels;
  require(within(protocol.n_max_radial, 0, kMaxNMaxRadial), "n_max_radial must be within 0..12");
  require(within(protocol.n_max_angular, 0, kMaxNMaxAngular), "n_max_angular must be within 0..8");
  require(within(protocol.basis_size_radial, 0, kMaxBasisSizeRadial), "basis_size_radial must be within 0..16");
  require(within(protocol.basis_size_angular, 0, kMaxBasisSizeAngular), "basis_size_angular must be within 0..12");
  require(within(c.l_max_3body, 0, kMaxLMax3Body), "l_max_3body must be within 0..8");
  require(!(c.has_q_222 || c.has_q_112) || c.l_max_3body >= 2, "q222/q112 require l_max_3body >= 2");
  require(!c.has_q_1111 || c.l_max_3body >= 1, "q1111 requires l_max_3body >= 1");
  require(!(c.has_q_123 || c.has_q_233) || c.l_max_3body >= 3, "q123/q233 require l_max_3body >= 3");
  require(!c.has_q_134 || c.l_max_3body >= 4, "q134 requires l_max_3body >= 4");
  const std::int32_t angular_descriptors = (protocol.n_max_angular + 1) * c.channel_count();
  require(angular_descriptors <= kMaxStructuralAngularDescriptors,
          "number of structural angular descriptors must not exceed 90");
  protocol.structural_descriptor_dim = protocol.n_max_radial + 1 + angular_descriptors;
}

// Spin rows per spin channel for spin_l_max 0..4, before the two global rows.
constexpr std::array<std::int32_t, kMaxSpinLMax + 1> kSpinRowsPerChannel = {7, 11, 12, 13, 14};

void check_spin_settings(ModelProtocol& protocol) {
  refuse_unless(!protocol.type_dependent_cutoffs, "Zoro Zozi does not support type-dependent structural cutoffs");
  require(protocol.spin_compress >= 1 && within(protocol.spin_l_max, 0, kMaxSpinLMax), "invalid spin settings");
  require(static_cast<std::int64_t>(protocol.spin_compress) <=
              static_cast<std::int64_t>(protocol.spin_basis_size_radial) + 1,
          "spin_basis_size must cover spin_compress");
  require(protocol.spin_basis_size_radial <= kMaxSpinBasisSizeRadial, "Zoro Zozi radial basis size must not exceed 8");
  require(protocol.spin_n_max_radial <= protocol.spin_basis_size_radial &&
              protocol.spin_n_max_angular <= protocol.spin_basis_size_angular,
          "spin_n_max values must not exceed spin_basis_size values");
  require(protocol.spin_cutoff > 0.0, "spin_mode block is missing spin_cutoff");
  protocol.cutoff_radial_list = std::max(protocol.spin_cutoff, protocol.cutoff_radial_list);
  protocol.cutoff_max = std::max(protocol.spin_cutoff, protocol.cutoff_max);
  const std::size_t types = static_cast<std::size_t>(protocol.num_types);
  if (protocol.spin_dof_type.empty()) protocol.spin_dof_type.assign(types, 1);
  if (protocol.spin_env_type.empty()) protocol.spin_env_type = protocol.spin_dof_type;
  require(!protocol.spin_baseline.empty(), "spin_mode block is missing spin_baseline");
  for (std::size_t t = 0; t < types; ++t) {
    require(protocol.spin_dof_type[t] == 0 || protocol.spin_env_type[t] != 0,
            "spin_dof_type must be a subset of spin_env_type");
  }
  const std::int32_t compress = protocol.spin_compress;
  protocol.spin_descriptor_dim =
      compress * kSpinRowsPerChannel[static_cast<std::size_t>(protocol.spin_l_max)] + 2 +
      (protocol.spin_chiral == 1 ? 2 * compress + std::min(compress, 2) : 0);
}

// The counting rules that tie the header to the length of the parameter block (64-bit throughout).
void count_parameters(ModelProtocol& protocol) {
  protocol.descriptor_dim = protocol.structural_descriptor_dim + protocol.spin_descriptor_dim;
  const std::uint64_t t = static_cast<std::uint64_t>(protocol.num_types);
  const std::uint64_t d = static_cast<std::uint64_t>(protocol.descriptor_dim);
  const std::uint64_t h1 = static_cast<std::uint64_t>(protocol.hidden_neurons);
  const std::uint64_t h2 = static_cast<std::uint64_t>(protocol.hidden_neurons2);
  if (h2 > 0) {
    protocol.ann_parameter_count = t * (h1 * (d + 1) + h2 * (h1 + 2)) + 1;
  } else if (protocol.version == 4) {
    protocol.ann_parameter_count = t * h1 * (d + 2) + 1;
  } else {
    protocol.ann_parameter_count = t * (h1 * (d + 2) + 1) + 1;
  }
  if (protocol.charge_mode > 0) protocol.ann_parameter_count += t * h1 + 1;
  const auto functions = [](std::int32_t n_max, std::int32_t basis_size) {
    return static_cast<std::uint64_t>(n_max + 1) * static_cast<std::uint64_t>(basis_size + 1);
  };
  protocol.structural_coefficient_count =
      t * t *
      (functions(protocol.n_max_radial, protocol.basis_size_radial) +
       functions(protocol.n_max_angular, protocol.basis_size_angular));
  protocol.spin_coefficient_count =
      protocol.spin_mode != 0
          ? t * t * static_cast<std::uint64_t>(protocol.spin_basis_size_radial + 1) *
                static_cast<std::uint64_t>(protocol.spin_compress)
          : 0;
  protocol.descriptor_coefficient_count = protocol.structural_coefficient_count + protocol.spin_coefficient_count;
  protocol.scaler_count = d;
  protocol.parameter_count = protocol.ann_parameter_count + protocol.descriptor_coefficient_count;
}

// Fills `protocol` (all zeros on entry) from the header: the first line up to and including the "ANN" line.
void parse_model_header(ModelProtocol& protocol, std::istream& in) {
  TokenLineSource lines(in);
  parse_header_line(protocol, lines);
  if (protocol.spin_mode != 0) parse_spin_block(protocol, lines);
  if (protocol.has_zbl) parse_zbl_line(protocol, lines);
  parse_cutoff_line(protocol, lines);
  const TokenLine n_max = expect_keyword_line(lines, "n_max", 3, 3, "expected n_max line");
  protocol.n_max_radial = parse_int_token(n_max[1]);
  protocol.n_max_angular = parse_int_token(n_max[2]);
  const TokenLine basis = expect_keyword_line(lines, "basis_size", 3, 3, "expected basis_size line");
  protocol.basis_size_radial = parse_int_token(basis[1]);
  protocol.basis_size_angular = parse_int_token(basis[2]);
  parse_l_max_line(protocol, lines);
  parse_ann_line(protocol, lines);
  check_structural_settings(protocol);
  if (protocol.spin_mode != 0) check_spin_settings(protocol);
  count_parameters(protocol);
}

// Reads the flexible ZBL pair records and raises the ZBL outer cutoff and the cutoffs that cover it.
std::vector<float> read_flexible_zbl_records(std::istream& in, ModelProtocol& protocol) {
  const std::uint64_t types = static_cast<std::uint64_t>(protocol.num_types);
  std::vector<float> records =
      read_float_block(in, kZblRecordValues * (types * (types + 1) / 2), "flexible zbl parameters");
  double largest_outer = 0.0;
  for (std::size_t r = 0; r < records.size(); r += kZblRecordValues) {
    const float inner = records[r];
    const float outer = records[r + 1];
    require(inner >= 0.0f && inner < outer, "invalid flexible ZBL cutoff range");
    largest_outer = std::max(largest_outer, static_cast<double>(outer));
  }
  protocol.zbl_rc_outer = largest_outer;
  protocol.cutoff_radial_list = std::max(protocol.cutoff_radial_list, largest_outer);
  protocol.cutoff_max = std::max(protocol.cutoff_max, largest_outer);
  return records;
}

// The standard string-to-number conversions follow the calling thread's C locale, in which a program may have set
// a comma as the decimal mark; while an object of this class lives the thread reads numbers in the "C" locale.
class ClassicNumberLocale {
 public:
  ClassicNumberLocale() : classic_(newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0))) {
    if (classic_ == static_cast<locale_t>(0)) throw std::bad_alloc();  // the only way "C" can fail
    previous_ = uselocale(classic_);
  }
  ~ClassicNumberLocale() {
    uselocale(previous_);
    freelocale(classic_);
  }
  ClassicNumberLocale(const ClassicNumberLocale&) = delete;
  ClassicNumberLocale& operator=(const ClassicNumberLocale&) = delete;

 private:
  locale_t classic_;
  locale_t previous_ = static_cast<locale_t>(0);
};

std::ifstream open_model_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  require(in.is_open(), "failed to open model file");
  return in;
}

// Runs `parse` over the file at `path`. A path that opens but cannot be read (a directory, a failing device) makes
// the stream buffer throw std::ios_base::failure at the first read; to the caller it is a file that cannot be
// opened.
template <typename Parse>
auto parse_file(const std::string& path, Parse&& parse) {
  std::ifstream in = open_model_file(path);
  try {
    return parse(in);
  } catch (const std::ios_base::failure&) {
    throw std::runtime_error("failed to open model file");
  }
}

}  // namespace

ParsedModelFile parse_model_stream(std::istream& in) {
  const ClassicNumberLocale numbers;
  ParsedModelFile parsed;
  parse_model_header(parsed.protocol, in);
  const ModelProtocol& protocol = parsed.protocol;
  parsed.parameters = read_float_block(in, protocol.parameter_count + protocol.scaler_count, "model parameters");
  if (protocol.flexible_zbl) parsed.flexible_zbl_parameters = read_flexible_zbl_records(in, parsed.protocol);
  return parsed;
}

ModelProtocol parse_model_protocol_stream(std::istream& in) {
  const ClassicNumberLocale numbers;
  ModelProtocol protocol;
  parse_model_header(protocol, in);
  return protocol;
}

ParsedModelFile parse_model_file(const std::string& path) {
  return parse_file(path, [](std::istream& in) { return parse_model_stream(in); });
}

ModelProtocol parse_model_protocol(const std::string& path) {
  return parse_file(path, [](std::istream& in) { return parse_model_protocol_stream(in); });
}

}  // namespace quarvel::cuda_backend
