#include "quarvel/engine.hpp"

namespace quarvel {

// Defined here rather than inline so that the virtual tables and type information of both classes live in,
// and are exported from, the library itself.
Engine::~Engine() = default;

Model::~Model() = default;

}  // namespace quarvel
