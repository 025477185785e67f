#pragma once
// Helpers shared by the files that make up TLWDatabase (TLWDatabase.cpp and its
// TLWDatabase+X.cpp table groups). Not part of the library's interface.

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "measurement/model/TLWEvent.h"
#include "measurement/monitor/TLWError.h"
#include "platform/Value.h"

namespace tlw_database_internal {

using platform::Value;
using Row = platform::Dictionary;

inline Value bytesValue(const std::vector<std::uint8_t>& bytes) {
  return Value::data(Value::Data(bytes.begin(), bytes.end()));
}

inline std::optional<std::int64_t> int64Of(const Row& row, std::string_view column) {
  const Value* v = row.find(column);
  return v ? v->int64Value() : std::nullopt;
}

inline std::optional<double> doubleOf(const Row& row, std::string_view column) {
  const Value* v = row.find(column);
  return v ? v->doubleValue() : std::nullopt;
}

inline std::int32_t clampToInt32(std::int64_t v) {
  if (v > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (v < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(v);
}

inline bool failWith(TLWError* error, std::int64_t code, std::string_view description) {
  TLWSetError(error, TLWError::errorWithCode(code, description));
  return false;
}

// An event column of the property and complex-event tables: protoEvent() bytes, read
// back with initWithEventProto().
std::shared_ptr<TLWEvent> eventFromBlob(const Value& column, TLWError* error);

// The event message as stored: raw events keep their name in a column of its own.
std::optional<std::vector<std::uint8_t>> serializedEvent(const TLWEvent& event, bool includeName);

}  // namespace tlw_database_internal
