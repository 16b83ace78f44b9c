// libFuzzer target: any byte string given to the model-file reader ends in a parsed model or a
// std::exception, never a crash, a hang or an unbounded allocation (the sanitizers and libFuzzer's
// time and memory limits watch for those).
#include <cstddef>
#include <cstdint>
#include <exception>
#include <sstream>
#include <string>

#include "cuda_backend/host_model_parameters.hpp"
#include "cuda_backend/model_file_reader.hpp"

namespace {

// An accepted file must regroup into arrays whose sizes agree with its protocol.
void check_consistent(const quarvel::cuda_backend::HostModelParameters& host) {
  const auto& protocol = host.protocol;
  const std::size_t types = static_cast<std::size_t>(protocol.num_types);
  const bool consistent = host.q_scaler.size() == protocol.scaler_count &&
                          host.ann_type_major.size() == protocol.ann_parameter_count &&
                          host.descriptor_coefficients.size() == protocol.descriptor_coefficient_count &&
                          host.radial_pair_cutoffs.size() == types * types &&
                          host.ann_type_blocks.size() == types && protocol.elements.size() == types;
  if (!consistent) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream header_only(std::string(reinterpret_cast<const char*>(data), size));
  std::istringstream whole(header_only.str());
  try {
    (void)quarvel::cuda_backend::parse_model_protocol_stream(header_only);
  } catch (const std::exception&) {
  }
  try {
    check_consistent(quarvel::cuda_backend::build_host_model_parameters(
        quarvel::cuda_backend::parse_model_stream(whole)));
  } catch (const std::exception&) {
  }
  return 0;
}
