#pragma once
// A model written by the test model-file writer, read back by the library's reader and uploaded to the device,
// with the written tables kept for building references.
#include <memory>
#include <sstream>
#include <utility>

#include "cuda_backend/device_model.hpp"
#include "cuda_backend/host_model_parameters.hpp"
#include "cuda_backend/model_file_reader.hpp"
#include "support/model_file_writer.hpp"

namespace quarvel::test_support {

struct LoadedModel {
  WrittenModel written;
  cuda_backend::HostModelParameters host;
  cuda_backend::DeviceModel device;

  const cuda_backend::ModelProtocol& protocol() const { return host.protocol; }
};

inline std::unique_ptr<LoadedModel> load_model(const ModelShape& shape) {
  auto model = std::make_unique<LoadedModel>();
  model->written = write_model(shape);
  std::istringstream in(model->written.text);
  model->host = cuda_backend::build_host_model_parameters(cuda_backend::parse_model_stream(in));
  model->device = cuda_backend::DeviceModel(model->host);
  return model;
}

}  // namespace quarvel::test_support
