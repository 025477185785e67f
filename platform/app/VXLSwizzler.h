#pragma once
// Method replacement over the class registry: a block runs in place of a method and can
// call the implementation it replaced.
//
// Thread-safety: as ClassRegistry; replacing is atomic with respect to other replacements.
// Ownership: the registry keeps the block; the block keeps the previous implementation.

#include <functional>
#include <string_view>

#include "platform/app/ClassRegistry.h"

namespace platform {

class VXLSwizzler {
 public:
  // The block that replaces a method: `previous` is the implementation that answered the
  // selector before (null when none did, in which case the method is added).
  using Block = std::function<Value(const ClassRegistry::ImplementationRef& previous, const Value& receiver,
                                    const Array& arguments)>;

  // The implementation answering the selector now (inherited ones included), or null.
  static ClassRegistry::ImplementationRef currentImplementationForClass(const ClassRegistry& registry,
                                                                      std::string_view className,
                                                                      std::string_view selector,
                                                                      bool isClassSelector);

  // Replaces the method. False (nothing changed) when the class is not registered or the
  // block is empty.
  [[nodiscard]] static bool swizzleClass(ClassRegistry& registry, std::string_view className,
                                         std::string_view selector, bool isClassSelector, Block block);
};

}  // namespace platform
