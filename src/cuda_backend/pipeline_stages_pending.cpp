// Stages that later kernel families provide. Each refuses with StageUnavailable so that an evaluation needing it
// answers "unsupported" instead of reporting zeros; remove a stage here when its own source file defines it.
#include "pipeline_stages.hpp"

namespace quarvel::cuda_backend {

void accumulate_radial_and_zbl_forces_on_device(const ModelProtocol&, int, const SimulationBox&, const DeviceModel&,
                                                DeviceWorkspace&) {
  throw StageUnavailable("CUDA radial force stage");
}

}  // namespace quarvel::cuda_backend
