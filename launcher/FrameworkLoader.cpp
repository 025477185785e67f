#include "launcher/FrameworkLoader.h"

#include "platform/app/DynamicLibrary.h"

namespace launcher {

const VelmoraEngine* loadEngineFramework(const std::string& bundlePath, const void* executeHeader,
                                         LoadReport* report) {
  LoadReport local;
  LoadReport& r = report ? *report : local;
  r = LoadReport{};
  r.frameworkPath = bundlePath + kFrameworkRelativePath;
  const std::string binary = r.frameworkPath + "/" + kFrameworkBinaryName;

  r.wasAlreadyLoaded = platform::DynamicLibrary::isLoaded(binary);
  // Opening a loaded object only takes another reference; it is not loaded twice.
  auto library = platform::DynamicLibrary::open(binary, &r.error);
  if (!library) return nullptr;
  r.loaded = true;

  auto entry = reinterpret_cast<VelmoraFrameworkGetInstanceFunction>(library->symbol(VELMORA_FRAMEWORK_ENTRY_POINT));
  if (!entry) {
    r.error = std::string("no entry point ") + VELMORA_FRAMEWORK_ENTRY_POINT;
    return nullptr;
  }
  const VelmoraEngine* engine = entry();
  if (!engine) {
    r.error = "the entry point returned no object";
    return nullptr;
  }
  if (engine->abiVersion != VELMORA_FRAMEWORK_ABI_VERSION || engine->size < sizeof(VelmoraEngine)) {
    r.error = "the framework's object has another binary interface version";
    return nullptr;
  }
  const bool hasController = engine->appController && engine->appController(engine->self) != nullptr;
  if (!hasController && engine->setExecuteHeader) {
    engine->setExecuteHeader(engine->self, executeHeader);
    r.headerSent = true;
  }
  return engine;
}

void runEngine(const VelmoraEngine* engine, int argc, char** argv) {
  if (engine && engine->runUIApplicationMainWithArgc) engine->runUIApplicationMainWithArgc(engine->self, argc, argv);
}

}  // namespace launcher
