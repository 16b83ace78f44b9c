#ifndef QUARVEL_CORE_ENGINE_REGISTRY_HPP
#define QUARVEL_CORE_ENGINE_REGISTRY_HPP

#include <string>
#include <vector>

#include "quarvel/engine.hpp"

namespace quarvel {

// The registered engines in registration order; index i is the i-th registered engine. Grows only.
const std::vector<Engine*>& registered_engines();

// The first registered engine whose name equals `name` (same length and bytes), or null.
Engine* find_engine(const std::string& name);

}  // namespace quarvel

#endif
