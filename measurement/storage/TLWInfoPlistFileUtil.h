#pragma once
// TLWInfoPlistFileUtil: locating and reading the service-info property list
// "VorlixService-Info.plist" of the app bundle.
//
// Thread-safety: any thread; nothing is cached.

#include <memory>
#include <optional>
#include <string>

#include "platform/Environment.h"
#include "platform/Value.h"

class TLWInfoPlistFileUtil {
 public:
  // The path of the resource "VorlixService-Info" of type "plist" in the main bundle, or
  // nullopt when the bundle has none.
  static std::optional<std::string> vorlixServiceInfoPlistPath(std::shared_ptr<platform::Environment> env = nullptr);
  // Its contents; nullopt when there is no file or it is not a property-list dictionary.
  static std::optional<platform::Dictionary> dictionaryFromVorlixServiceInfoPlist(
      std::shared_ptr<platform::Environment> env = nullptr);
};
