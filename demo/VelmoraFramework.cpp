// The demo engine framework's principal object: the one exported entry point and the
// operations the launcher sends (see launcher/VelmoraFramework.h).

#include <cstdio>
#include <memory>

#include "demo/DemoGame.h"
#include "launcher/VelmoraFramework.h"

namespace {

struct Engine {
  std::shared_ptr<demo::DemoGame> game;
};

Engine& engine() {
  static Engine* e = new Engine();  // lives until the process ends
  return *e;
}

std::shared_ptr<demo::DemoGame>& game() {
  auto& g = engine().game;
  if (!g) g = std::make_shared<demo::DemoGame>(platform::Environment::current());
  return g;
}

void* appController(void*) {
  auto& g = engine().game;
  return g && g->isSetUp() ? g.get() : nullptr;
}

void setExecuteHeader(void*, const void* header) { game()->setExecuteHeader(header); }

void runUIApplicationMainWithArgc(void*, int argc, char** argv) { (void)game()->run(argc, argv); }

const VelmoraEngine kEngine = {VELMORA_FRAMEWORK_ABI_VERSION, sizeof(VelmoraEngine), nullptr, &appController,
                               &setExecuteHeader, &runUIApplicationMainWithArgc};

}  // namespace

extern "C" __attribute__((visibility("default"))) const VelmoraEngine* VelmoraFrameworkPrincipalClass_getInstance(void) {
  return &kEngine;
}
