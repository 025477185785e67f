#include "platform/app/VXLSwizzler.h"

namespace platform {

ClassRegistry::ImplementationRef VXLSwizzler::currentImplementationForClass(const ClassRegistry& registry,
                                                                           std::string_view className,
                                                                           std::string_view selector,
                                                                           bool isClassSelector) {
  return registry.implementation(className, selector, isClassSelector);
}

bool VXLSwizzler::swizzleClass(ClassRegistry& registry, std::string_view className, std::string_view selector,
                               bool isClassSelector, Block block) {
  if (!block) return false;
  return registry.replaceImplementation(
      className, selector, isClassSelector, [&block](ClassRegistry::ImplementationRef previous) {
        return ClassRegistry::Implementation(
            [block = std::move(block), previous = std::move(previous)](const Value& receiver, const Array& args) {
              return block(previous, receiver, args);
            });
      });
}

}  // namespace platform
