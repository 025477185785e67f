// The process entry point: loads the engine framework from the app bundle and hands it
// the process. Nothing is reported: a missing framework means nothing runs and the
// status is 0, as it is whenever the engine's main loop returns.

#include <cstdio>
#include <cstdlib>

#include <elf.h>
#include <link.h>

#include "launcher/FrameworkLoader.h"
#include "platform/ProcessInfo.h"
#include "platform/app/Bundle.h"

// The linker places this symbol at the executable's own ELF header.
extern "C" const ElfW(Ehdr) __ehdr_start __attribute__((weak, visibility("hidden")));

namespace {

const VelmoraEngine* loadFramework() {
  platform::LinuxProcessInfo processInfo;
  const std::string bundlePath = platform::defaultMainBundlePath(processInfo);
  return launcher::loadEngineFramework(bundlePath, &__ehdr_start);
}

}  // namespace

int main(int argc, char** argv) {
  const VelmoraEngine* engine = loadFramework();
  launcher::runEngine(engine, argc, argv);
  // The app ends the way the platform ends it: at once, without running static destructors
  // under the library's queues, which live until the process is gone and may still be writing.
  std::fflush(nullptr);
  std::_Exit(0);
}
