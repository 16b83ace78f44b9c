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

// Same length and same bytes.
bool has_name(Engine& engine, const std::string& name) { return engine.info().name == name; }

}  // namespace

const std::vector<Engine*>& registered_engines() { return engine_registry(); }

Engine* find_engine(const char* name) {
  const std::string wanted(name);
  for (Engine* engine : engine_registry()) {
    if (engine != nullptr && has_name(*engine, wanted)) {
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
  for (Engine* registered : engine_registry()) {
    if (registered != nullptr && has_name(*registered, name)) {
      return false;
    }
  }
  engine_registry().push_back(engine);
  return true;
}

}  // namespace quarvel
