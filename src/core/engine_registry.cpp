#include "engine_registry.hpp"

#include <string>

namespace quarvel {
namespace {

// The one process-wide list; the registry does not own the engines. Created empty on first use, where the
// language makes the initialisation safe, and destroyed at process exit.
std::vector<Engine*>& engine_registry() {
  static std::vector<Engine*> engines;
  return engines;
}

}  // namespace

const std::vector<Engine*>& registered_engines() { return engine_registry(); }

Engine* find_engine(const std::string& name) {
  for (Engine* engine : engine_registry()) {
    // std::string equality: same length and same bytes.
    if (engine != nullptr && engine->info().name == name) {
      return engine;
    }
  }
  return nullptr;
}

bool register_engine(Engine* engine) {
  if (engine == nullptr) {
    return false;
  }
  const std::string name = engine->info().name;
  if (name.empty()) {
    return false;
  }
  if (find_engine(name) != nullptr) {
    return false;
  }
  engine_registry().push_back(engine);
  return true;
}

}  // namespace quarvel
