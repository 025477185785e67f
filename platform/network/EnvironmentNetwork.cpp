#include "platform/Environment.h"
#include "platform/network/VXLNetwork.h"

namespace platform {

std::shared_ptr<VXLNetwork> Environment::makeNetworkClient(const std::string& reachabilityHost) {
  return std::make_shared<VXLNetwork>(reachabilityHost);
}

}  // namespace platform
