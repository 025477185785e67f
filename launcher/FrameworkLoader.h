#pragma once
// Locates and loads the engine framework in the app bundle and obtains its shared object.
//
// Thread-safety: call from the main thread (the dynamic loader is thread-safe, but the
// engine's operations are not promised to be).
//
// Failure: nothing is reported to the caller beyond a null object; the reason is kept in
// the optional report (and never logged, as the launcher reports nothing).

#include <string>

#include "launcher/VelmoraFramework.h"

namespace launcher {

inline constexpr const char* kFrameworkRelativePath = "/Frameworks/VelmoraFramework.framework";
inline constexpr const char* kFrameworkBinaryName = "VelmoraFramework";

struct LoadReport {
  std::string frameworkPath;   // the bundle path + kFrameworkRelativePath, unnormalised
  bool wasAlreadyLoaded = false;
  bool loaded = false;          // the shared object is in the process
  bool headerSent = false;      // setExecuteHeader was sent
  std::string error;            // why no object came back
};

// Framework path: `bundlePath` + "/Frameworks/VelmoraFramework.framework" (plain
// concatenation). Loads "<that>/VelmoraFramework" unless already loaded, calls the entry
// point, and sends setExecuteHeader(executeHeader) while the object has no application
// controller. Null when the framework, its entry point or a valid object is missing.
const VelmoraEngine* loadEngineFramework(const std::string& bundlePath, const void* executeHeader,
                                         LoadReport* report = nullptr);

// Sends runUIApplicationMainWithArgc to the object (nothing for a null object or a
// missing operation).
void runEngine(const VelmoraEngine* engine, int argc, char** argv);

}  // namespace launcher
