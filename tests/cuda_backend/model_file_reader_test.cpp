#include "cuda_backend/model_file_reader.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/model_file_writer.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::ModelShape;
using test_support::TempModelFile;
using test_support::WrittenModel;
using test_support::model_text;
using test_support::write_model;

ParsedModelFile parse_text(const std::string& text) {
  std::istringstream in(text);
  return parse_model_stream(in);
}

ModelProtocol parse_header_text(const std::string& text) {
  std::istringstream in(text);
  return parse_model_protocol_stream(in);
}

// ---------------------------------------------------------------------------------------------------------------
// Valid files of every family and shape read back to what the writer wrote.

struct FamilyCase {
  const char* name;
  ModelShape shape;
  int version;
  int charge_mode;
  bool spin;
  bool zbl;
};

ModelShape shape_of(const char* family, std::vector<std::string> elements) {
  ModelShape shape;
  shape.family = family;
  shape.elements = std::move(elements);
  return shape;
}

std::vector<FamilyCase> family_cases() {
  std::vector<FamilyCase> cases;
  ModelShape minimal = shape_of("nep4", {"H"});
  minimal.n_max_radial = minimal.n_max_angular = minimal.basis_size_radial = minimal.basis_size_angular = 0;
  minimal.l_max_3body = 0;
  minimal.hidden_neurons = 1;
  cases.push_back({"nep4_minimal", minimal, 4, 0, false, false});
  cases.push_back({"nep4_one_type", shape_of("nep4", {"C"}), 4, 0, false, false});

  ModelShape per_type = shape_of("nep4", {"C", "H", "O"});
  per_type.cutoff_radial = {5.0, 4.5, 6.0};
  per_type.cutoff_angular = {4.0, 3.5, 3.0};
  per_type.seed = 7;
  cases.push_back({"nep4_per_type_cutoffs", per_type, 4, 0, false, false});

  ModelShape two_layers = shape_of("nep4", {"Si", "O"});
  two_layers.hidden_neurons = 5;
  two_layers.hidden_neurons2 = 3;
  cases.push_back({"nep4_two_hidden_layers", two_layers, 4, 0, false, false});

  ModelShape couplings = shape_of("nep4", {"Cu"});
  couplings.n_max_angular = 2;
  couplings.q222 = 1;
  couplings.coupling_flags = {1, 1, 1, 1, 1};
  cases.push_back({"nep4_all_couplings", couplings, 4, 0, false, false});

  ModelShape legacy_q222 = couplings;
  legacy_q222.q222 = 2;
  legacy_q222.coupling_flags = {0, 1};
  cases.push_back({"nep4_legacy_q222", legacy_q222, 4, 0, false, false});

  ModelShape zbl = shape_of("nep4_zbl", {"Mo", "S"});
  cases.push_back({"nep4_zbl", zbl, 4, 0, false, true});
  ModelShape typewise = zbl;
  typewise.zbl = {1.0, 2.5, 0.7};
  cases.push_back({"nep4_zbl_typewise", typewise, 4, 0, false, true});
  ModelShape flexible = shape_of("nep4_zbl", {"W", "Re", "Os"});
  flexible.zbl = {0.0, 0.0, std::nullopt};
  cases.push_back({"nep4_zbl_flexible", flexible, 4, 0, false, true});

  const char* charge_families[] = {"nep4_charge1",     "nep4_charge2",     "nep4_charge3",
                                   "nep4_zbl_charge1", "nep4_zbl_charge2", "nep4_zbl_charge3"};
  for (int i = 0; i < 6; ++i) {
    ModelShape charge = shape_of(charge_families[i], {"Na", "Cl"});
    charge.seed = static_cast<std::uint32_t>(10 + i);
    cases.push_back({charge_families[i], charge, 4, i % 3 + 1, false, i >= 3});
  }
  cases.push_back({"nep5", shape_of("nep5", {"Ga", "N"}), 5, 0, false, false});
  cases.push_back({"nep5_zbl", shape_of("nep5_zbl", {"Ga", "N"}), 5, 0, false, true});

  ModelShape spin = shape_of("nep4_spin", {"Fe", "O"});
  cases.push_back({"nep4_spin_open_block", spin, 4, 0, true, false});
  ModelShape spin1 = shape_of("nep4_spin1", {"Fe", "Co", "O"});
  spin1.spin.counted_block = true;
  spin1.spin.chiral = 1;
  spin1.spin.compress = 4;
  spin1.spin.l_max = 4;
  spin1.spin.dof_types = {"Fe", "Co"};
  spin1.spin.env_types = {"Fe", "Co", "O"};
  cases.push_back({"nep4_spin1_counted_chiral", spin1, 4, 0, true, false});
  ModelShape spin_small = shape_of("nep4_spin", {"Ni"});
  spin_small.spin.compress = 1;
  spin_small.spin.basis_size_radial = 0;
  spin_small.spin.n_max_radial = 0;
  spin_small.spin.l_max = 0;
  spin_small.spin.chiral = 1;
  cases.push_back({"nep4_spin_smallest", spin_small, 4, 0, true, false});

  // Every element symbol once, in order of atomic number.
  ModelShape all = shape_of(
      "nep4", {"H",  "He", "Li", "Be", "B",  "C",  "N",  "O",  "F",  "Ne", "Na", "Mg", "Al", "Si", "P",  "S",
               "Cl", "Ar", "K",  "Ca", "Sc", "Ti", "V",  "Cr", "Mn", "Fe", "Co", "Ni", "Cu", "Zn", "Ga", "Ge",
               "As", "Se", "Br", "Kr", "Rb", "Sr", "Y",  "Zr", "Nb", "Mo", "Tc", "Ru", "Rh", "Pd", "Ag", "Cd",
               "In", "Sn", "Sb", "Te", "I",  "Xe", "Cs", "Ba", "La", "Ce", "Pr", "Nd", "Pm", "Sm", "Eu", "Gd",
               "Tb", "Dy", "Ho", "Er", "Tm", "Yb", "Lu", "Hf", "Ta", "W",  "Re", "Os", "Ir", "Pt", "Au", "Hg",
               "Tl", "Pb", "Bi", "Po", "At", "Rn", "Fr", "Ra", "Ac", "Th", "Pa", "U",  "Np", "Pu", "Am", "Cm",
               "Bk", "Cf", "Es", "Fm", "Md", "No", "Lr", "Rf", "Db", "Sg", "Bh", "Hs", "Mt", "Ds", "Rg", "Cn",
               "Nh", "Fl", "Mc", "Lv", "Ts", "Og"});
  all.n_max_radial = all.n_max_angular = all.basis_size_radial = all.basis_size_angular = 0;
  all.l_max_3body = 1;
  all.hidden_neurons = 2;
  cases.push_back({"nep4_all_118_elements", all, 4, 0, false, false});
  return cases;
}

// Names the case in test output instead of dumping its bytes.
void PrintTo(const FamilyCase& c, std::ostream* out) { *out << c.name; }

class ReaderReadsBack : public ::testing::TestWithParam<FamilyCase> {};

TEST_P(ReaderReadsBack, ProtocolAndParameterBlock) {
  const FamilyCase& c = GetParam();
  const WrittenModel written = write_model(c.shape);
  const TempModelFile file(written.text);
  const ParsedModelFile parsed = parse_model_file(file.path());
  const ModelProtocol& p = parsed.protocol;
  const std::size_t types = c.shape.elements.size();

  EXPECT_EQ(p.version, c.version);
  EXPECT_EQ(p.charge_mode, c.charge_mode);
  EXPECT_EQ(p.spin_mode, c.spin ? 1 : 0);
  EXPECT_EQ(p.has_zbl, c.zbl);
  EXPECT_EQ(p.num_types, static_cast<int>(types));
  EXPECT_EQ(p.elements, c.shape.elements);
  EXPECT_EQ(p.descriptor_dim, written.descriptor_dim);
  EXPECT_EQ(p.structural_descriptor_dim + p.spin_descriptor_dim, p.descriptor_dim);
  EXPECT_EQ(p.hidden_neurons, c.shape.hidden_neurons);
  EXPECT_EQ(p.hidden_neurons2, c.shape.hidden_neurons2);
  EXPECT_EQ(p.type_dependent_cutoffs, c.shape.cutoff_radial.size() > 1);
  ASSERT_EQ(p.cutoff_radial_by_type.size(), types);
  for (std::size_t t = 0; t < types; ++t) {
    const std::size_t source = c.shape.cutoff_radial.size() > 1 ? t : 0;
    EXPECT_EQ(p.cutoff_radial_by_type[t], c.shape.cutoff_radial[source]);
    EXPECT_EQ(p.cutoff_angular_by_type[t], c.shape.cutoff_angular[source]);
  }

  // The counts say how the writer's sections add up.
  std::uint64_t network = 1 + (written.sqrt_epsilon_inf ? 1 : 0);
  for (const auto& block : written.network) {
    network += block.w0.size() + block.b0.size() + block.w1.size() + block.b1.size() + block.w2.size() +
               block.charge_weights.size() + (block.type_bias ? 1 : 0);
  }
  std::uint64_t structural = 0;
  std::uint64_t spin = 0;
  for (std::size_t pair = 0; pair < types * types; ++pair) {
    structural += written.radial_by_pair[pair].size() + written.angular_by_pair[pair].size();
    if (c.spin) spin += written.spin_by_pair[pair].size();
  }
  EXPECT_EQ(p.ann_parameter_count, network);
  EXPECT_EQ(p.structural_coefficient_count, structural);
  EXPECT_EQ(p.spin_coefficient_count, spin);
  EXPECT_EQ(p.descriptor_coefficient_count, structural + spin);
  EXPECT_EQ(p.parameter_count, network + structural + spin);
  EXPECT_EQ(p.scaler_count, written.scaler.size());
  EXPECT_EQ(parsed.parameters, written.parameters);
  EXPECT_EQ(parsed.flexible_zbl_parameters, written.flexible_zbl_records);
  EXPECT_EQ(p.flexible_zbl, !written.flexible_zbl_records.empty());

  // The header alone gives the same shape.
  const ModelProtocol header_only = parse_model_protocol(file.path());
  EXPECT_EQ(header_only.parameter_count, p.parameter_count);
  EXPECT_EQ(header_only.descriptor_dim, p.descriptor_dim);
}

INSTANTIATE_TEST_SUITE_P(Families, ReaderReadsBack, ::testing::ValuesIn(family_cases()),
                         [](const auto& named) { return std::string(named.param.name); });

TEST(ReaderReadsBack, SmallestModelHasSevenValueLines) {
  const std::string text = model_text({"nep4 1 H", "cutoff 5 4 10 10", "n_max 0 0", "basis_size 0 0", "l_max 0",
                                       "ANN 1 0", "0.5", "-0.25", "1", "2", "3", "4", "0.75"});
  const ParsedModelFile parsed = parse_text(text);
  EXPECT_EQ(parsed.protocol.descriptor_dim, 1);
  EXPECT_EQ(parsed.protocol.ann_parameter_count, 4u);
  EXPECT_EQ(parsed.protocol.descriptor_coefficient_count, 2u);
  EXPECT_EQ(parsed.protocol.scaler_count, 1u);
  EXPECT_EQ(parsed.parameters, (std::vector<float>{0.5f, -0.25f, 1.0f, 2.0f, 3.0f, 4.0f, 0.75f}));
}

TEST(ReaderReadsBack, LayoutFreedomsOfTheText) {
  // Blank lines anywhere, CRLF endings, several tokens on a parameter line, tabs, no final line feed, and
  // anything after the last value all read the same as the plain file.
  const std::vector<float> expected = {0.5f, -0.25f, 1.0f, 2.0f, 3.0f, 4.0f, 0.75f};
  const std::string text =
      "\n  \n nep4\t1  H \r\n\r\ncutoff 5 4 10 10\r\n\n n_max 0 0\nbasis_size 0 0\nl_max 0\nANN 1 0\n\n"
      "0.5 99 junk\n\n-0.25\r\n1\n2\n3\n4\n0.75";
  EXPECT_EQ(parse_text(text).parameters, expected);
  EXPECT_EQ(parse_text(text + "\nthis is ignored\n\x01\x02 also ignored").parameters, expected);
}

TEST(ReaderReadsBack, HeaderDerivedQuantities) {
  ModelShape shape = shape_of("nep4_zbl", {"Og", "H"});
  shape.cutoff_radial = {5.0, 7.0};
  shape.cutoff_angular = {4.0, 3.0};
  shape.max_neighbors_radial = 1;
  shape.max_neighbors_angular = 100;
  shape.zbl = {0.0, 8.0, std::nullopt};
  const ModelProtocol p = parse_header_text(write_model(shape).text);
  EXPECT_EQ(p.atomic_numbers, (std::vector<std::int32_t>{118, 1}));
  EXPECT_EQ(p.cutoff_radial, 7.0);
  EXPECT_EQ(p.cutoff_angular, 4.0);
  EXPECT_EQ(p.cutoff_radial_list, 8.0);
  EXPECT_EQ(p.cutoff_max, 8.0);
  EXPECT_FALSE(p.flexible_zbl);
  EXPECT_EQ(p.zbl_rc_inner, 0.0);
  EXPECT_EQ(p.neighbor_capacity_radial, 2);
  EXPECT_EQ(p.neighbor_capacity_angular, 125);
}

TEST(ReaderReadsBack, LargestNeighborMaximumAndCutoff) {
  const ModelProtocol p = parse_header_text(
      model_text({"nep4 1 H", "cutoff 100 100 1717986917 1", "n_max 0 0", "basis_size 0 0", "l_max 0", "ANN 1 0"}));
  EXPECT_EQ(p.neighbor_capacity_radial, 2147483647);
  EXPECT_EQ(p.cutoff_max, 100.0);
}

TEST(ReaderReadsBack, TypeDependentCutoffsEvenWhenEqual) {
  const ModelProtocol p = parse_header_text(
      model_text({"nep4 2 H H", "cutoff 5 4 5 4 10 10", "n_max 0 0", "basis_size 0 0", "l_max 0", "ANN 1 0"}));
  EXPECT_TRUE(p.type_dependent_cutoffs);
  EXPECT_EQ(p.atomic_numbers, (std::vector<std::int32_t>{1, 1}));
}

TEST(ReaderReadsBack, AngularChannelLimitWithoutSwitches) {
  // n_max_angular 8 and l_max_3body 8 give 9 x 8 = 72 angular descriptors, within the limit of 90.
  const ModelProtocol p = parse_header_text(
      model_text({"nep4 1 H", "cutoff 5 4 10 10", "n_max 12 8", "basis_size 0 0", "l_max 8", "ANN 1 0"}));
  EXPECT_EQ(p.structural_descriptor_dim, 13 + 72);
  EXPECT_EQ(p.body_channels.abc_count(), 80);
}

TEST(ReaderReadsBack, LegacyQ222MeansOne) {
  ModelShape shape = shape_of("nep4", {"C"});
  shape.q222 = 1;
  ModelShape legacy = shape;
  legacy.q222 = 2;
  const ParsedModelFile one = parse_text(write_model(shape).text);
  const ParsedModelFile two = parse_text(write_model(legacy).text);
  EXPECT_TRUE(two.protocol.body_channels.has_q_222);
  EXPECT_EQ(one.protocol.descriptor_dim, two.protocol.descriptor_dim);
  EXPECT_EQ(one.parameters, two.parameters);
}

TEST(ReaderReadsBack, SpinSettingsAndDefaults) {
  ModelShape shape = shape_of("nep4_spin", {"Fe", "O"});
  shape.spin.compress = 4;
  shape.spin.basis_size_radial = 5;
  shape.spin.l_max = 2;
  shape.spin.chiral = 1;
  shape.spin.cutoff = 9.0;
  shape.spin.baseline = {1.5, -2.0};
  const ModelProtocol p = parse_header_text(write_model(shape).text);
  EXPECT_EQ(p.spin_descriptor_dim, 4 * 12 + 2 + 8 + 2);
  EXPECT_EQ(p.spin_dof_type, (std::vector<std::int32_t>{1, 1}));
  EXPECT_EQ(p.spin_env_type, p.spin_dof_type);
  EXPECT_EQ(p.spin_baseline, (std::vector<double>{1.5, -2.0}));
  EXPECT_EQ(p.spin_cutoff, 9.0);
  EXPECT_EQ(p.cutoff_radial_list, 9.0);
  EXPECT_EQ(p.cutoff_max, 9.0);
  EXPECT_EQ(p.cutoff_radial, 5.0);
}

TEST(ReaderReadsBack, SpinTypeAliasAndRepeatedLines) {
  // "spin_type" is "spin_dof_type"; a later line overwrites an earlier one and lists start from zeros again.
  const ModelProtocol p = parse_header_text(model_text(
      {"nep4_spin 3 Fe Co O", "spin_mode 1", "spin_compress 1", "spin_cutoff 5 5", "spin_baseline 1 2 3",
       "spin_type Fe Fe", "spin_dof_type Co", "spin_env_type O", "spin_env_type Co Fe", "spin_compress 2",
       "spin_basis_size 1 0", "cutoff 5 4 10 10", "n_max 0 0", "basis_size 0 0", "l_max 0", "ANN 1 0"}));
  EXPECT_EQ(p.spin_dof_type, (std::vector<std::int32_t>{0, 1, 0}));
  EXPECT_EQ(p.spin_env_type, (std::vector<std::int32_t>{1, 1, 0}));
  EXPECT_EQ(p.spin_compress, 2);
}

TEST(ReaderReadsBack, FlexibleZblOuterCutoffOnlyFromTheWholeFile) {
  ModelShape shape = shape_of("nep4_zbl", {"W", "Re"});
  shape.zbl = {0.0, 0.0, std::nullopt};
  const WrittenModel written = write_model(shape);
  const TempModelFile file(written.text);
  const ModelProtocol header = parse_model_protocol(file.path());
  EXPECT_TRUE(header.flexible_zbl);
  EXPECT_EQ(header.zbl_rc_outer, 0.0);
  EXPECT_EQ(header.cutoff_radial_list, 5.0);
  // Records (0,0), (0,1), (1,1): the writer's outer cutoffs are 1.5, 1.625 and 1.75.
  ModelShape wide = shape;
  wide.cutoff_radial = {1.0};
  wide.cutoff_angular = {1.0};
  const ParsedModelFile whole = parse_text(write_model(wide).text);
  EXPECT_EQ(whole.protocol.zbl_rc_outer, 1.75);
  EXPECT_EQ(whole.protocol.cutoff_radial_list, 1.75);
  EXPECT_EQ(whole.protocol.cutoff_max, 1.75);
}

TEST(ReaderReadsBack, ParsersKeepErrnoAsTheyFoundIt) {
  errno = 1234;
  (void)parse_text(model_text({"nep4 1 H", "cutoff 5 4 10 10", "n_max 0 0", "basis_size 0 0", "l_max 0", "ANN 1 0",
                               "0x1p-1", "1", "1", "1", "1", "1", "1"}));
  EXPECT_EQ(errno, 1234);
}

// The process's numeric locale becomes one whose decimal mark is a comma for the lifetime of the object. No such
// locale need be installed: a definition of the numeric category alone is compiled into a temporary directory
// with localedef (which warns about the categories it lacks and still writes the locale).
class CommaDecimalLocale {
 public:
  CommaDecimalLocale() : directory_(std::filesystem::temp_directory_path() / ("quarvel_locale_" + unique_suffix())) {
    std::filesystem::create_directories(directory_);
    const std::filesystem::path source = directory_ / "comma_decimal.src";
    std::ofstream(source) << "LC_NUMERIC\ndecimal_point \"<U002C>\"\nthousands_sep \"\"\ngrouping -1\nEND LC_NUMERIC\n";
    const std::string command = "localedef -c -i '" + source.string() + "' '" + (directory_ / "comma_decimal").string() +
                                "' >/dev/null 2>&1";
    (void)std::system(command.c_str());
    setenv("LOCPATH", directory_.c_str(), 1);
    active_ = std::setlocale(LC_NUMERIC, "comma_decimal") != nullptr && std::strtod("0.5", nullptr) == 0.0;
  }
  ~CommaDecimalLocale() {
    std::setlocale(LC_NUMERIC, "C");
    unsetenv("LOCPATH");
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
  CommaDecimalLocale(const CommaDecimalLocale&) = delete;
  CommaDecimalLocale& operator=(const CommaDecimalLocale&) = delete;
  bool active() const { return active_; }

 private:
  static std::string unique_suffix() { return std::to_string(static_cast<long>(getpid())); }
  std::filesystem::path directory_;
  bool active_ = false;
};

// Numbers are read the same whatever the process's locale: under a comma decimal mark a valid file still reads
// to the same values (decimal, exponent and hexadecimal forms), and a comma is still no decimal mark.
TEST(ReaderReadsBack, IndependentlyOfTheProcessLocale) {
  const std::vector<std::string> lines = {"nep4 1 H", "cutoff 5.5 4.25 10 10", "n_max 0 0", "basis_size 0 0",
                                          "l_max 0", "ANN 1 0", "0.5", "-2.5e-1", "0x1.8p0", "2", "3", "4", "0.75"};
  const ParsedModelFile expected = parse_text(model_text(lines));
  const CommaDecimalLocale locale;
  if (!locale.active()) GTEST_SKIP() << "no comma-decimal locale could be made (localedef missing)";
  const ParsedModelFile parsed = parse_text(model_text(lines));
  EXPECT_EQ(parsed.parameters, expected.parameters);
  EXPECT_EQ(parsed.protocol.cutoff_radial, 5.5);
  EXPECT_EQ(parsed.protocol.cutoff_angular, 4.25);
  const TempModelFile file(model_text(lines));
  EXPECT_EQ(parse_model_file(file.path()).parameters, expected.parameters);
  std::vector<std::string> comma = lines;
  comma[6] = "0,5";
  EXPECT_THAT([&] { parse_text(model_text(comma)); },
              ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq("invalid double token")));
}

TEST(ReaderRefusesFile, ThatCannotBeOpened) {
  EXPECT_THAT([] { parse_model_file("/nonexistent/quarvel/nep.txt"); },
              ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq("failed to open model file")));
  EXPECT_THAT([] { parse_model_protocol("/nonexistent/quarvel/nep.txt"); },
              ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq("failed to open model file")));
}

// A directory opens as a stream but every read of it fails: it is a file that cannot be read.
TEST(ReaderRefusesFile, ThatIsADirectory) {
  const std::string directory = std::filesystem::temp_directory_path().string();
  EXPECT_THAT([&] { parse_model_file(directory); },
              ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq("failed to open model file")));
  EXPECT_THAT([&] { parse_model_protocol(directory); },
              ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq("failed to open model file")));
}

// ---------------------------------------------------------------------------------------------------------------
// Broken files: one case per rule, each with the exception kind and exact message of the first rule it breaks.

enum class Kind { runtime_error, unsupported, invalid_argument, out_of_range };

struct Refusal {
  Kind kind;
  std::string message;
};

// The kind and text of what reading the whole text throws; the catch order tells the derived kinds apart.
Refusal refusal_of(const std::string& text) {
  try {
    parse_text(text);
  } catch (const UnsupportedModelProtocol& e) {
    return {Kind::unsupported, e.what()};
  } catch (const std::invalid_argument& e) {
    return {Kind::invalid_argument, e.what()};
  } catch (const std::out_of_range& e) {
    return {Kind::out_of_range, e.what()};
  } catch (const std::runtime_error& e) {
    return {Kind::runtime_error, e.what()};
  }
  return {Kind::runtime_error, "accepted"};
}

struct RefusalCase {
  const char* name;
  std::string text;
  Kind kind;
  const char* message;
};

using Lines = std::vector<std::string>;

// Lines of small valid headers; `edit` swaps the line that starts with a keyword (an empty replacement drops it).
const Lines kPlain = {"nep4 1 C", "cutoff 5 4 100 60", "n_max 4 3", "basis_size 6 5", "l_max 4", "ANN 6 0"};
const Lines kSpin = {"nep4_spin 2 Fe O",   "spin_mode 1",       "spin_compress 2",   "spin_basis_size 3 2",
                     "spin_n_max 2 1",     "spin_l_max 2 0 0",  "spin_chiral 0",     "spin_cutoff 5.5 5.5",
                     "spin_scaler 1",      "spin_baseline 0.5 1", "cutoff 5 4 100 60", "n_max 4 3",
                     "basis_size 6 5",     "l_max 4",           "ANN 6 0"};
constexpr std::size_t kSpinBlockEnd = 10;  // index of the "cutoff" line in kSpin

Lines edit(Lines lines, const std::string& keyword, const std::string& replacement) {
  for (auto it = lines.begin(); it != lines.end(); ++it) {
    if (it->compare(0, keyword.size() + 1, keyword + " ") != 0 && *it != keyword) continue;
    if (replacement.empty()) {
      lines.erase(it);
    } else {
      *it = replacement;
    }
    return lines;
  }
  throw std::logic_error("no line starts with " + keyword);
}

std::string plain(const std::string& keyword, const std::string& replacement) {
  return model_text(edit(kPlain, keyword, replacement));
}
std::string plain2(const std::string& keyword1, const std::string& replacement1, const std::string& keyword2,
                   const std::string& replacement2) {
  return model_text(edit(edit(kPlain, keyword1, replacement1), keyword2, replacement2));
}
std::string spin(const std::string& keyword, const std::string& replacement) {
  return model_text(edit(kSpin, keyword, replacement));
}
// The spin header with `line` added at the end of the spin block.
std::string spin_plus(const std::string& line) {
  Lines lines = kSpin;
  lines.insert(lines.begin() + kSpinBlockEnd, line);
  return model_text(lines);
}
std::string zbl(const std::string& zbl_line) {
  Lines lines = edit(kPlain, "nep4", "nep4_zbl 1 C");
  lines.insert(lines.begin() + 1, zbl_line);
  return model_text(lines);
}

constexpr const char* kDipole =
    "dipole and polarizability models are unsupported by the CUDA backend; CPU fallback is disabled";
constexpr const char* kNotNep = "CUDA engine only accepts supported NEP4/NEP5 models";
constexpr const char* kTwoLayers = "two-hidden-layer ANN is supported only for ordinary NEP4 models";

std::vector<RefusalCase> header_refusals() {
  using K = Kind;
  return {
      {"empty_file", "", K::runtime_error, "malformed model header"},
      {"blank_lines_only", "\n \t\n\r\n", K::runtime_error, "malformed model header"},
      {"header_of_two_tokens", model_text({"nep4 1", "cutoff 5 4 100 60"}), K::runtime_error,
       "malformed model header"},
      {"dipole", plain("nep4", "nep4_dipole 1 C"), K::unsupported, kDipole},
      {"polarizability", plain("nep4", "nep3_polarizability 1 C"), K::unsupported, kDipole},
      {"dipole_anywhere", plain("nep4", "xyz_dipole 1 C"), K::unsupported, kDipole},
      {"temperature", plain("nep4", "nep4_temperature 1 C"), K::unsupported,
       "CUDA engine only accepts supported NEP potential models"},
      {"upper_case_family", plain("nep4", "NEP4 1 C"), K::unsupported, kNotNep},
      {"nep3", plain("nep4", "nep3 1 C"), K::unsupported, kNotNep},
      {"zbl_spin", plain("nep4", "nep4_zbl_spin 1 C"), K::unsupported, kNotNep},
      {"too_few_symbols", plain("nep4", "nep4 2 C"), K::runtime_error, "invalid type count in model header"},
      {"too_many_symbols", plain("nep4", "nep4 1 C H"), K::runtime_error, "invalid type count in model header"},
      {"zero_types", plain("nep4", "nep4 0 C"), K::runtime_error, "invalid type count in model header"},
      {"types_119", plain("nep4", "nep4 119 C"), K::runtime_error, "invalid type count in model header"},
      {"type_count_not_integer", plain("nep4", "nep4 1.0 C"), K::runtime_error, "invalid integer token"},
      {"type_count_word", plain("nep4", "nep4 one C"), K::invalid_argument, "stoi"},
      {"type_count_beyond_int32", plain("nep4", "nep4 2147483648 C"), K::out_of_range, "stoi"},
      {"lower_case_symbol", plain("nep4", "nep4 1 c"), K::runtime_error,
       "unknown element symbol for ZBL atomic number"},
  };
}

std::vector<RefusalCase> spin_refusals() {
  using K = Kind;
  return {
      {"spin_without_spin_mode", spin("spin_mode", ""), K::runtime_error,
       "spin model must contain spin_mode line"},
      {"spin_header_then_cutoff", plain("nep4", "nep4_spin 1 Fe"), K::runtime_error,
       "spin model must contain spin_mode line"},
      {"spin_mode_2", spin("spin_mode", "spin_mode 2"), K::runtime_error, "only spin_mode 1 is supported"},
      {"spin_mode_counted_2", spin("spin_mode", "spin_mode 2 3"), K::runtime_error,
       "only spin_mode 1 is supported"},
      {"spin_mode_without_value", spin("spin_mode", "spin_mode"), K::runtime_error,
       "spin_mode requires a value and optional header count"},
      {"spin_mode_count_negative", spin("spin_mode", "spin_mode 1 -1"), K::runtime_error,
       "spin header line count must be non-negative"},
      {"spin_counted_block_empty", plain("nep4", "nep4_spin 1 Fe\nspin_mode 1 0"), K::runtime_error,
       "invalid spin settings"},
      {"spin_counted_block_leaves_spin_lines", spin("spin_mode", "spin_mode 1 0"), K::runtime_error,
       "expected cutoff line"},
      {"spin_counted_line_is_cutoff", spin("spin_mode", "spin_mode 1 10"), K::runtime_error,
       "unknown spin header line"},
      {"spin_compress_count", spin("spin_compress", "spin_compress 2 2"), K::runtime_error,
       "spin_compress requires exactly one value"},
      {"spin_basis_size_count", spin("spin_basis_size", "spin_basis_size 3"), K::runtime_error,
       "spin_basis_size requires radial and reserved angular values"},
      {"spin_basis_size_negative", spin("spin_basis_size", "spin_basis_size 3 -1"), K::runtime_error,
       "spin_basis_size values must be non-negative"},
      {"spin_n_max_count", spin("spin_n_max", "spin_n_max 2 1 0"), K::runtime_error,
       "spin_n_max requires radial and angular values"},
      {"spin_n_max_negative", spin("spin_n_max", "spin_n_max -2 1"), K::runtime_error,
       "spin_n_max values must be non-negative"},
      {"spin_l_max_count", spin("spin_l_max", "spin_l_max 2 0"), K::runtime_error,
       "spin_l_max requires 3body, 4body, and 5body values"},
      {"spin_l_max_reserved", spin("spin_l_max", "spin_l_max 2 0 1"), K::runtime_error,
       "reserved spin_l_max values must be zero for Zoro Zozi"},
      {"spin_chiral_count", spin("spin_chiral", "spin_chiral"), K::runtime_error,
       "spin_chiral requires exactly one value"},
      {"spin_chiral_2", spin("spin_chiral", "spin_chiral 2"), K::runtime_error, "spin_chiral must be 0 or 1"},
      {"spin_cutoff_count", spin("spin_cutoff", "spin_cutoff 5.5"), K::runtime_error,
       "spin_cutoff requires radial and reserved angular values"},
      {"spin_cutoff_reserved_zero", spin("spin_cutoff", "spin_cutoff 5.5 0"), K::runtime_error,
       "spin_cutoff values must be positive"},
      {"spin_scaler_count", spin("spin_scaler", "spin_scaler 1 1"), K::runtime_error,
       "spin_scaler requires exactly one value"},
      {"spin_scaler_2", spin("spin_scaler", "spin_scaler 2"), K::runtime_error,
       "only spin_scaler 1 is supported by CUDA"},
      {"spin_baseline_count", spin("spin_baseline", "spin_baseline 0.5"), K::runtime_error,
       "spin_baseline must have one value per type"},
      {"spin_baseline_nan", spin("spin_baseline", "spin_baseline 0.5 nan"), K::runtime_error,
       "invalid double token"},
      {"spin_dof_type_empty", spin_plus("spin_dof_type"), K::runtime_error,
       "spin_dof_type must enable at least one type"},
      {"spin_type_empty", spin_plus("spin_type"), K::runtime_error, "spin_dof_type must enable at least one type"},
      {"spin_dof_type_unknown", spin_plus("spin_dof_type Fe Ni"), K::runtime_error,
       "unknown spin_dof_type in nep.txt"},
      {"spin_env_type_empty", spin_plus("spin_env_type"), K::runtime_error,
       "spin_env_type must enable at least one type"},
      {"spin_env_type_unknown", spin_plus("spin_env_type fe"), K::runtime_error,
       "unknown spin_env_type in nep.txt"},
      {"spin_unknown_line", spin_plus("spin_magic 1"), K::runtime_error, "unknown spin header line"},
      {"spin_mode_twice", spin_plus("spin_mode 1"), K::runtime_error, "unknown spin header line"},
      {"spin_type_dependent_cutoffs", spin("cutoff", "cutoff 5 4 5 4 100 60"), K::unsupported,
       "Zoro Zozi does not support type-dependent structural cutoffs"},
      {"spin_l_max_5", spin("spin_l_max", "spin_l_max 5 0 0"), K::runtime_error, "invalid spin settings"},
      {"spin_compress_0", spin("spin_compress", "spin_compress 0"), K::runtime_error, "invalid spin settings"},
      {"spin_compress_beyond_basis", spin("spin_compress", "spin_compress 5"), K::runtime_error,
       "spin_basis_size must cover spin_compress"},
      {"spin_basis_size_9", spin("spin_basis_size", "spin_basis_size 9 2"), K::runtime_error,
       "Zoro Zozi radial basis size must not exceed 8"},
      {"spin_n_max_beyond_basis", spin("spin_n_max", "spin_n_max 2 3"), K::runtime_error,
       "spin_n_max values must not exceed spin_basis_size values"},
      {"spin_missing_cutoff", spin("spin_cutoff", ""), K::runtime_error, "spin_mode block is missing spin_cutoff"},
      {"spin_missing_baseline", spin("spin_baseline", ""), K::runtime_error,
       "spin_mode block is missing spin_baseline"},
      {"spin_dof_not_subset_of_env", spin_plus("spin_env_type O"), K::runtime_error,
       "spin_dof_type must be a subset of spin_env_type"},
      {"spin_line_in_plain_model", plain("cutoff", "spin_cutoff 5 5"), K::runtime_error, "expected cutoff line"},
      {"spin_line_in_zbl_model", zbl("spin_mode 1"), K::runtime_error, "expected zbl line"},
      {"spin_two_hidden_layers", spin("ANN", "ANN 6 2"), K::unsupported, kTwoLayers},
  };
}

std::vector<RefusalCase> keyword_refusals() {
  using K = Kind;
  return {
      {"zbl_model_without_zbl_line", plain("nep4", "nep4_zbl 1 C"), K::runtime_error, "expected zbl line"},
      {"zbl_line_of_five_tokens", zbl("zbl 1 2 1 1"), K::runtime_error, "expected zbl line"},
      {"zbl_line_in_plain_model", plain("nep4", "nep4 1 C\nzbl 1 2"), K::runtime_error, "expected cutoff line"},
      {"zbl_flexible_with_factor", zbl("zbl 0 0 0.7"), K::runtime_error,
       "flexible ZBL does not accept a typewise cutoff factor"},
      {"zbl_outer_below_inner", zbl("zbl 1 0.5"), K::runtime_error, "invalid ZBL cutoff range"},
      {"zbl_inner_negative", zbl("zbl -1 2"), K::runtime_error, "invalid ZBL cutoff range"},
      {"zbl_outer_negative", zbl("zbl 0 -1"), K::runtime_error, "invalid ZBL cutoff range"},
      {"zbl_factor_zero_first", zbl("zbl 1 0.5 0"), K::runtime_error, "typewise ZBL cutoff factor must be positive"},
      {"zbl_cutoff_word", zbl("zbl one 2"), K::invalid_argument, "stod"},
      {"zbl_malformed_cutoff_before_factor_rule", zbl("zbl 1 2x 0"), K::runtime_error, "invalid double token"},
      {"cutoff_missing", model_text({"nep4 1 C"}), K::runtime_error, "expected cutoff line"},
      {"cutoff_out_of_order", plain("cutoff", "n_max 4 3"), K::runtime_error, "expected cutoff line"},
      {"cutoff_six_tokens_two_types", plain2("nep4", "nep4 2 C H", "cutoff", "cutoff 5 4 5 100 60"),
       K::runtime_error, "invalid cutoff line"},
      {"cutoff_seven_tokens_one_type", plain("cutoff", "cutoff 5 4 5 4 100 60"), K::runtime_error,
       "invalid cutoff line"},
      {"cutoff_zero", plain("cutoff", "cutoff 0 4 100 60"), K::runtime_error, "cutoffs must be within (0, 100]"},
      {"cutoff_above_100", plain("cutoff", "cutoff 100.5 4 100 60"), K::runtime_error,
       "cutoffs must be within (0, 100]"},
      {"cutoff_angular_of_second_type", plain2("nep4", "nep4 2 C H", "cutoff", "cutoff 5 4 5 0 100 60"),
       K::runtime_error, "cutoffs must be within (0, 100]"},
      {"cutoff_nan", plain("cutoff", "cutoff nan 4 100 60"), K::runtime_error, "invalid double token"},
      {"cutoff_infinite", plain("cutoff", "cutoff 5 -inf 100 60"), K::runtime_error, "invalid double token"},
      {"cutoff_overflowing", plain("cutoff", "cutoff 1e400 4 100 60"), K::out_of_range, "stod"},
      {"cutoff_trailing_characters", plain("cutoff", "cutoff 5A 4 100 60"), K::runtime_error,
       "invalid double token"},
      {"neighbor_maximum_not_integer", plain("cutoff", "cutoff 5 4 100.5 60"), K::runtime_error,
       "invalid integer token"},
      {"malformed_number_before_range", plain("cutoff", "cutoff 0 4 100 many"), K::invalid_argument, "stoi"},
      {"neighbor_maximum_zero", plain("cutoff", "cutoff 5 4 100 0"), K::runtime_error,
       "maximum neighbor counts must be positive"},
      {"neighbor_maximum_too_large", plain("cutoff", "cutoff 5 4 1717986918 60"), K::runtime_error,
       "maximum neighbor count is too large"},
      {"n_max_count", plain("n_max", "n_max 4"), K::runtime_error, "expected n_max line"},
      {"n_max_missing", plain("n_max", ""), K::runtime_error, "expected n_max line"},
      {"n_max_word", plain("n_max", "n_max 4 x"), K::invalid_argument, "stoi"},
      {"basis_size_count", plain("basis_size", "basis_size 6 5 4"), K::runtime_error, "expected basis_size line"},
      {"l_max_alone", plain("l_max", "l_max"), K::runtime_error, "expected l_max line"},
      {"l_max_nine_tokens", plain("l_max", "l_max 4 0 0 0 0 0 0 0"), K::runtime_error, "expected l_max line"},
      {"q222_3", plain("l_max", "l_max 4 3"), K::runtime_error, "has_q_222 must be 0, 1, or legacy value 2"},
      {"q1111_2", plain("l_max", "l_max 4 0 2"), K::runtime_error, "has_q_1111 must be 0 or 1"},
      {"q134_2", plain("l_max", "l_max 4 0 0 0 0 0 2"), K::runtime_error, "has_q_134 must be 0 or 1"},
      {"flag_token_before_q222_range", plain("l_max", "l_max 4 3 2"), K::runtime_error,
       "has_q_1111 must be 0 or 1"},
      {"ann_count", plain("ANN", "ANN 6"), K::runtime_error, "expected ANN line"},
      {"ann_malformed_before_range", plain("ANN", "ANN 0 x"), K::invalid_argument, "stoi"},
      {"ann_lower_case", plain("ANN", "ann 6 0"), K::runtime_error, "expected ANN line"},
      {"ann_first_zero", plain("ANN", "ANN 0 0"), K::runtime_error, "first ANN hidden layer must be within 1..120"},
      {"ann_first_121", plain("ANN", "ANN 121 0"), K::runtime_error, "first ANN hidden layer must be within 1..120"},
      {"ann_second_121", plain("ANN", "ANN 10 121"), K::runtime_error,
       "second ANN hidden layer must be within 0..120"},
      {"ann_second_negative", plain("ANN", "ANN 10 -1"), K::runtime_error,
       "second ANN hidden layer must be within 0..120"},
      {"two_layers_nep5", plain2("nep4", "nep5 1 C", "ANN", "ANN 30 10"), K::unsupported, kTwoLayers},
      {"two_layers_charge", plain2("nep4", "nep4_zbl_charge2 1 C\nzbl 1 2", "ANN", "ANN 30 10"), K::unsupported,
       kTwoLayers},
      {"range_rules_wait_for_ann", plain2("n_max", "n_max 13 3", "ANN", ""), K::runtime_error,
       "expected ANN line"},
      {"n_max_radial_13", plain("n_max", "n_max 13 3"), K::runtime_error, "n_max_radial must be within 0..12"},
      {"n_max_radial_negative", plain("n_max", "n_max -1 3"), K::runtime_error, "n_max_radial must be within 0..12"},
      {"n_max_angular_9", plain("n_max", "n_max 4 9"), K::runtime_error, "n_max_angular must be within 0..8"},
      {"basis_size_radial_17", plain("basis_size", "basis_size 17 5"), K::runtime_error,
       "basis_size_radial must be within 0..16"},
      {"basis_size_angular_13", plain("basis_size", "basis_size 6 13"), K::runtime_error,
       "basis_size_angular must be within 0..12"},
      {"l_max_9", plain("l_max", "l_max 9"), K::runtime_error, "l_max_3body must be within 0..8"},
      {"q222_with_l_max_1", plain("l_max", "l_max 1 1"), K::runtime_error, "q222/q112 require l_max_3body >= 2"},
      {"q112_with_l_max_1", plain("l_max", "l_max 1 0 0 1"), K::runtime_error,
       "q222/q112 require l_max_3body >= 2"},
      {"q1111_with_l_max_0", plain("l_max", "l_max 0 0 1"), K::runtime_error, "q1111 requires l_max_3body >= 1"},
      {"q123_with_l_max_2", plain("l_max", "l_max 2 0 0 0 1"), K::runtime_error,
       "q123/q233 require l_max_3body >= 3"},
      {"q233_with_l_max_2", plain("l_max", "l_max 2 0 0 0 0 1"), K::runtime_error,
       "q123/q233 require l_max_3body >= 3"},
      {"q134_with_l_max_3", plain("l_max", "l_max 3 0 0 0 0 0 1"), K::runtime_error,
       "q134 requires l_max_3body >= 4"},
      {"angular_descriptors_126", plain2("n_max", "n_max 4 8", "l_max", "l_max 8 1 1 1 1 1 1"), K::runtime_error,
       "number of structural angular descriptors must not exceed 90"},
  };
}

// A small complete model whose parameter value lines (indices from the first value) are replaced by tokens.
std::string with_parameters(const ModelShape& shape, const std::vector<std::pair<std::size_t, std::string>>& edits) {
  const WrittenModel written = write_model(shape);
  std::istringstream in(written.text);
  Lines lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  for (const auto& [index, token] : edits) lines.at(written.header_lines.size() + index) = token;
  return model_text(lines);
}

std::string with_parameter(const ModelShape& shape, std::size_t index, const std::string& token) {
  return with_parameters(shape, {{index, token}});
}

// The text without its last `count` lines.
std::string without_last_lines(const std::string& text, std::size_t count) {
  std::size_t end = text.size() - 1;  // the final line feed
  for (std::size_t i = 0; i < count; ++i) end = text.rfind('\n', end - 1);
  return text.substr(0, end + 1);
}

ModelShape small_shape() { return test_support::compact_shape("nep4", {"C", "H"}); }

ModelShape flexible_shape() {
  ModelShape shape = small_shape();
  shape.family = "nep4_zbl";
  shape.zbl = {0.0, 0.0, std::nullopt};
  return shape;
}

// Index of the first value of the flexible ZBL records of flexible_shape().
std::size_t flexible_records_start() { return write_model(flexible_shape()).parameters.size(); }

std::vector<RefusalCase> parameter_refusals() {
  using K = Kind;
  const ModelShape shape = small_shape();
  const std::size_t records = flexible_records_start();
  return {
      {"header_without_parameters", plain("ANN", "ANN 6 0"), K::runtime_error, "unexpected end of model parameters"},
      {"truncated_parameter_block", without_last_lines(write_model(shape).text, 1), K::runtime_error,
       "unexpected end of model parameters"},
      {"truncated_flexible_records", without_last_lines(write_model(flexible_shape()).text, 1), K::runtime_error,
       "unexpected end of flexible zbl parameters"},
      {"parameter_beyond_float", with_parameter(shape, 3, "1e39"), K::runtime_error, "float token out of range"},
      {"parameter_below_float", with_parameter(shape, 3, "-3.5e38"), K::runtime_error, "float token out of range"},
      {"parameter_nan", with_parameter(shape, 0, "nan"), K::runtime_error, "invalid double token"},
      {"parameter_infinity", with_parameter(shape, 5, "-Infinity"), K::runtime_error, "invalid double token"},
      {"parameter_word", with_parameter(shape, 7, "weight"), K::invalid_argument, "stod"},
      {"parameter_underflowing", with_parameter(shape, 7, "1e-400"), K::out_of_range, "stod"},
      {"parameter_overflowing_double", with_parameter(shape, 7, "1e400"), K::out_of_range, "stod"},
      {"parameter_trailing_characters", with_parameter(shape, 2, "1.5.2"), K::runtime_error,
       "invalid double token"},
      {"flexible_record_of_zeros", with_parameters(flexible_shape(), {{records, "0"}, {records + 1, "0"}}),
       K::runtime_error, "invalid flexible ZBL cutoff range"},
      {"flexible_record_outer_below_inner", with_parameters(flexible_shape(), {{records + 10, "3"}}),
       K::runtime_error, "invalid flexible ZBL cutoff range"},
      {"flexible_record_inner_negative", with_parameter(flexible_shape(), records, "-0.5"), K::runtime_error,
       "invalid flexible ZBL cutoff range"},
  };
}

// Damage no rule of the format names: each still ends in a clear error, without a crash or a hang.
std::vector<RefusalCase> damaged_file_refusals() {
  using K = Kind;
  const std::string long_run(std::size_t{2} << 20, 'x');
  std::string all_bytes;
  for (int b = 0; b < 256; ++b) all_bytes.push_back(static_cast<char>(b));
  const std::string elf("\x7f" "ELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x03\x00\x3e\x00", 20);
  return {
      {"overlong_header_line", long_run, K::runtime_error, "model file line is too long"},
      {"overlong_parameter_line", plain("ANN", "ANN 6 0\n1" + std::string(std::size_t{2} << 20, ' ')),
       K::runtime_error, "model file line is too long"},
      {"binary_executable_header", elf, K::runtime_error, "malformed model header"},
      {"every_byte_value", all_bytes, K::runtime_error, "malformed model header"},
      {"binary_after_header", plain("cutoff", std::string("\xff\xfe\x00\x01 cutoff", 10)), K::runtime_error,
       "expected cutoff line"},
      {"binary_parameter", plain("ANN", std::string("ANN 6 0\n\xff\xfe\x00\x01", 12)), K::invalid_argument, "stod"},
      {"absurd_type_count", plain("nep4", "nep4 2147483647 C"), K::runtime_error,
       "invalid type count in model header"},
      {"absurd_neighbor_maximum", plain("cutoff", "cutoff 5 4 2147483647 60"), K::runtime_error,
       "maximum neighbor count is too large"},
      {"absurd_spin_line_count_at_end", model_text({"nep4_spin 1 Fe", "spin_mode 1 2147483647"}), K::runtime_error,
       "expected cutoff line"},
      {"largest_sizes_without_parameters",
       model_text({"nep4 1 C", "cutoff 5 4 100 60", "n_max 12 8", "basis_size 16 12", "l_max 8", "ANN 120 120"}),
       K::runtime_error, "unexpected end of model parameters"},
  };
}

// Whole files of shapes the format refuses, as the writer writes them.
std::vector<RefusalCase> written_shape_refusals() {
  ModelShape spin_order = test_support::compact_shape("nep4_spin", {"Fe"});
  spin_order.spin.l_max = 5;
  ModelShape no_neurons = test_support::compact_shape("nep5", {"C"});
  no_neurons.hidden_neurons = -1;
  return {
      {"written_spin_l_max_5", write_model(spin_order).text, Kind::runtime_error, "invalid spin settings"},
      {"written_negative_neurons", write_model(no_neurons).text, Kind::runtime_error,
       "first ANN hidden layer must be within 1..120"},
  };
}

std::vector<RefusalCase> all_refusals() {
  std::vector<RefusalCase> cases;
  for (auto part : {header_refusals(), spin_refusals(), keyword_refusals(), parameter_refusals(),
                    damaged_file_refusals(), written_shape_refusals()}) {
    cases.insert(cases.end(), part.begin(), part.end());
  }
  return cases;
}

void PrintTo(const RefusalCase& c, std::ostream* out) { *out << c.name; }

class ReaderRefuses : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(ReaderRefuses, WithTheMessageOfTheFirstBrokenRule) {
  const Refusal refusal = refusal_of(GetParam().text);
  EXPECT_EQ(refusal.message, GetParam().message);
  EXPECT_EQ(refusal.kind, GetParam().kind) << refusal.message;
}

INSTANTIATE_TEST_SUITE_P(Rules, ReaderRefuses, ::testing::ValuesIn(all_refusals()),
                         [](const auto& named) { return std::string(named.param.name); });

TEST(ReaderRefuses, HeaderOnlyReadStopsBeforeTheParameters) {
  // parse_model_protocol reads no value line, so a broken parameter block does not concern it.
  const std::string text = with_parameter(small_shape(), 0, "nan");
  EXPECT_EQ(parse_header_text(text).num_types, 2);
  EXPECT_EQ(refusal_of(text).message, "invalid double token");
}

}  // namespace
}  // namespace quarvel::cuda_backend
