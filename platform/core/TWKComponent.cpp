#include "platform/core/TWKComponent.h"

namespace platform {

std::shared_ptr<const TWKComponent> TWKComponent::componentWithProtocol(std::string protocol,
                                                                        TWKInstantiationTiming timing,
                                                                        std::vector<std::string> dependencies,
                                                                        CreationBlock creationBlock) {
  if (protocol.empty() || !creationBlock) return nullptr;
  return std::make_shared<const TWKComponent>(std::move(protocol), timing, std::move(dependencies),
                                              std::move(creationBlock));
}

}  // namespace platform
