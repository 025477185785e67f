#include "platform/VXLAppEnvironmentUtil.h"

#include "platform/Environment.h"

namespace platform {

std::string VXLAppEnvironmentUtil::systemVersion() { return Environment::current()->device()->osVersion(); }

}  // namespace platform
