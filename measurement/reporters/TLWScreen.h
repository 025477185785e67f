#pragma once
// TLWScreen: one screen the user has looked at: an optional name and class and a unique
// 64-bit instance ID, plus how it came about (named by setScreenName, or tracked from the
// app's own "screen_view" event with that call's time).
//
// Thread-safety: a value; share it as const, copy it to change it.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Value.h"

struct TLWScreen {
  std::optional<std::string> name;
  std::optional<std::string> className;
  std::int64_t instanceID = 0;
  bool isManuallySet = false;
  bool isManuallyTracked = false;
  double eventTimestamp = 0;  // seconds since 1970; manually tracked screens only

  // Name, class and instance ID only: the flags and the time stamp are not carried over.
  TLWScreen copy() const { return TLWScreen{name, className, instanceID}; }
  bool sameNameAndClass(const TLWScreen& other) const { return name == other.name && className == other.className; }

  // "_si", and "_sc" / "_sn" when present and valid; with `previous`, "_pi" / "_pc" / "_pn".
  // Stops before the class's and the name's entries when the class is invalid.
  void addParameters(platform::Dictionary& parameters, bool previous = false) const;
  // True for a string of 1 to 100 characters (the screen-parameter rule).
  static bool isValidScreenValue(const platform::Value& value, std::int64_t* failureCode = nullptr);
};
