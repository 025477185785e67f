#pragma once
// Facts about the app's environment, as the utilities framework reports them.
//
// Thread-safety: any thread.

#include <string>

namespace platform {

class VXLAppEnvironmentUtil {
 public:
  // The OS version string of the current environment's device (e.g. "17.2").
  static std::string systemVersion();
};

}  // namespace platform
