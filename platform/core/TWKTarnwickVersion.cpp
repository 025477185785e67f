#include "platform/core/TWKTarnwickVersion.h"

namespace platform {

std::string TWKTarnwickVersion() { return "11.4.0"; }

}  // namespace platform
