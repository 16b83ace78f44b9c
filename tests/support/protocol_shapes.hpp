#pragma once
// ModelProtocol values for tests that need a model's shape without a model file.
#include <cstdint>

#include "cuda_backend/model_protocol.hpp"

namespace quarvel::test_support {

// An ordinary NEP4 shape with one type and no angular channels: the smallest plan.
inline cuda_backend::ModelProtocol minimal_protocol() {
  cuda_backend::ModelProtocol p;
  p.version = 4;
  p.num_types = 1;
  p.descriptor_dim = 1;
  p.structural_descriptor_dim = 1;
  p.hidden_neurons = 1;
  p.max_neighbors_radial = 8;
  p.max_neighbors_angular = 4;
  p.neighbor_capacity_radial = 10;
  p.neighbor_capacity_angular = 5;
  return p;
}

// A spin model's shape with the given spin settings.
inline cuda_backend::ModelProtocol spin_protocol(int compress, int basis_size_radial, int l_max, int chiral) {
  cuda_backend::ModelProtocol p = minimal_protocol();
  p.spin_mode = 1;
  p.spin_compress = compress;
  p.spin_basis_size_radial = basis_size_radial;
  p.spin_l_max = l_max;
  p.spin_chiral = chiral;
  return p;
}

}  // namespace quarvel::test_support

#include <algorithm>
#include <string>

#include "cuda_backend/workspace_plan.hpp"

namespace quarvel::test_support {

// A plan without the named array, for the "workspace missing ..." refusals.
inline cuda_backend::WorkspacePlan without_array(cuda_backend::WorkspacePlan plan, const std::string& name) {
  auto& arrays = plan.arrays;
  arrays.erase(std::remove_if(arrays.begin(), arrays.end(), [&](const auto& a) { return a.name == name; }),
               arrays.end());
  return plan;
}

}  // namespace quarvel::test_support
