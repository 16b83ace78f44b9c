#include <gtest/gtest.h>

#include "cuda_backend/model_file_reader.hpp"
#include "support/model_file_writer.hpp"

namespace quarvel::cuda_backend {
namespace {

// An outside caller reaches the header reader through the shared library alone.
TEST(ModelProtocolExport, ReadsTheHeaderThroughTheSharedLibrary) {
  test_support::ModelShape shape;
  shape.family = "nep5_zbl";
  shape.elements = {"Ga", "N"};
  const test_support::TempModelFile file(test_support::write_model(shape).text);
  const ModelProtocol protocol = parse_model_protocol(file.path());
  EXPECT_EQ(protocol.version, 5);
  EXPECT_TRUE(protocol.has_zbl);
  EXPECT_EQ(protocol.atomic_numbers, (std::vector<std::int32_t>{31, 7}));
}

TEST(ModelProtocolExport, RefusalsArriveAsTheirOwnType) {
  const test_support::TempModelFile file("nep4_dipole 1 C\n");
  EXPECT_THROW(parse_model_protocol(file.path()), UnsupportedModelProtocol);
}

}  // namespace
}  // namespace quarvel::cuda_backend
