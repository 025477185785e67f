#pragma once
// TWKConnectorUtils: the fences of the component connector: which origins may log or set
// user properties through it, which event names, parameters and user properties are
// reserved to the library, which events listeners never see, and which origins may listen.
//
// Thread-safety: the lists are built once and never change; every check may run on any
// thread.

#include <set>
#include <string>
#include <string_view>

#include "platform/Value.h"

class TWKConnectorUtils {
 public:
  using NameSet = std::set<std::string, std::less<>>;

  static const NameSet& allowedListenerOrigins();
  static const NameSet& blocklistedOrigins();
  static const NameSet& blocklistedEventNames();
  static const NameSet& blocklistedParameters();
  static const NameSet& blocklistedUserProperties();
  // Regular expressions, searched anywhere in the name.
  static const NameSet& blocklistedUserPropertyPatterns();
  static const NameSet& hiddenEventNames();

  static bool isOriginAllowed(std::string_view origin);
  // "app", or "app" followed by "+".
  static bool isAppOrigin(std::string_view origin);
  static bool isListenerOriginAllowed(std::string_view origin);
  static bool isEventNameAllowedForListeners(std::string_view name);
  static bool shouldLogEventWithName(std::string_view name, const platform::Dictionary& parameters);
  static bool isUserPropertyAllowed(std::string_view name, std::string_view origin);
};
