#pragma once
// Property lists (XML and binary) to and from platform::Value.
//
// Thread-safety: stateless; any thread.
//
// Kinds: Bool, Int, UInt, Double, String, Data, Date, Array and Dictionary (string keys)
// round-trip; booleans stay booleans and integers stay integers. Null, URL and Object have
// no property-list form and are refused, as are strings holding NUL or invalid UTF-8 and
// dates outside 1933-2069 (the range of the date's seconds field). XML dates carry whole
// seconds; binary dates keep microseconds.
//
// Parsing treats its input as untrusted: it is bounded in size, nesting depth and (for
// binary lists, whose objects may be shared) the number of values it expands to, and
// checked before the parser sees it, so hostile input gives nullopt and an error, never a
// crash or a run-away allocation.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Value.h"

namespace platform {

enum class PropertyListFormat { XML, Binary };

class PropertyList {
 public:
  static constexpr std::size_t kMaxBytes = 64u << 20;
  static constexpr std::size_t kMaxDepth = 128;
  static constexpr std::size_t kMaxValues = 2u << 20;

  // The encoded list, or nullopt with `error` naming the first value that has no
  // property-list form (or is nested deeper than kMaxDepth).
  [[nodiscard]] static std::optional<std::string> dataWithPropertyList(const Value& value, PropertyListFormat format,
                                                                       std::string* error = nullptr);
  // Detects the format. Nullopt with `error` for anything that is not a well-formed list
  // within the bounds above.
  [[nodiscard]] static std::optional<Value> propertyListWithData(std::string_view bytes,
                                                                 std::string* error = nullptr);
  // Whether dataWithPropertyList would accept `value`; `why` names the offending value.
  static bool isRepresentable(const Value& value, std::string* why = nullptr);
};

}  // namespace platform
