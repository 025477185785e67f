#pragma once
// TLWValue: the library's typed parameter and property value: a double (type 0), a signed
// 64-bit integer (1), a string (2) or an array of parameter dictionaries (3). Accessors
// never convert between types.
//
// Thread-safety: immutable; copies share the payload, so any thread may read and copy.
// Ownership: string and array payloads are shared, immutable and freed with the last copy.
// Failure: the factories that validate return nullopt and log the reason through the
// monitor; nothing throws.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/Value.h"

class TLWValue;

// Parameter name to value; sorted by name (plain byte order, which is code point order).
using TLWParameters = std::map<std::string, TLWValue, std::less<>>;
// The payload of an array value: one parameter dictionary per element.
using TLWValueArray = std::vector<TLWParameters>;

class TLWValue {
 public:
  static constexpr std::int64_t kTypeDouble = 0;
  static constexpr std::int64_t kTypeInt64 = 1;
  static constexpr std::int64_t kTypeString = 2;
  static constexpr std::int64_t kTypeArray = 3;

  using StringRef = std::shared_ptr<const std::string>;
  using ArrayRef = std::shared_ptr<const TLWValueArray>;
  using Payload = std::variant<std::monostate, double, std::int64_t, StringRef, ArrayRef>;

  // valueFromObject: / valueFromObject:allowArray:. A TLWValue carried in `object` is
  // returned as it is; a string becomes a string value; a floating-point number a double;
  // any other number (booleans become 0 or 1) an int64, unsigned values above the int64
  // range clamped to its maximum; an array only when `allowArray` (see initWithArray).
  // Null logs 35000, anything else 35001; both give nullopt.
  [[nodiscard]] static std::optional<TLWValue> valueFromObject(const platform::Value& object, bool allowArray = false);

  static TLWValue initWithDouble(double value) noexcept;
  static TLWValue initWithInt64(std::int64_t value) noexcept;
  // Copies the string; invalid UTF-8 is replaced by U+FFFD so the value can always be
  // uploaded as text.
  static TLWValue initWithString(std::string_view value);
  static TLWValue initWithString(const std::string& value) { return initWithString(std::string_view(value)); }
  static TLWValue initWithString(const char* value) { return initWithString(value ? std::string_view(value) : std::string_view()); }
  // Null logs 35002, a non-string 35003; nullopt in both cases.
  [[nodiscard]] static std::optional<TLWValue> initWithString(const platform::Value& value);
  // Copies the array. Elements that are not dictionaries, entries whose key is not a
  // string and values that are not numbers, strings or (at the first level) arrays are
  // left out, so the payload is always an array of parameter dictionaries. Null logs
  // 35004, a non-array 35005; nullopt in both cases.
  [[nodiscard]] static std::optional<TLWValue> initWithArray(const platform::Value& value);
  static TLWValue initWithArray(TLWValueArray items);
  // Stores both as given, unchecked; the accessors answer only when both agree.
  static TLWValue initWithValueType(std::int64_t valueType, Payload value);

  std::int64_t valueType() const noexcept { return type_; }
  const Payload& value() const noexcept { return payload_; }

  bool isDouble() const noexcept { return type_ == kTypeDouble; }
  bool isInt64() const noexcept { return type_ == kTypeInt64; }
  bool isString() const noexcept { return type_ == kTypeString; }
  bool isArray() const noexcept { return type_ == kTypeArray; }
  // The type code is one of the four and the payload is of that type (a value made with
  // initWithValueType may be neither).
  bool isWellFormed() const noexcept;

  double doubleValue() const noexcept;
  std::int64_t int64Value() const noexcept;
  // Null unless the type is string / array.
  const std::string* stringValue() const noexcept;
  const TLWValueArray* arrayValue() const noexcept;

  // Same type code and equal payloads.
  bool isEqual(const TLWValue& other) const noexcept;
  bool operator==(const TLWValue& other) const noexcept { return isEqual(other); }
  // Payload hash XOR (type code * 31).
  std::size_t hash() const noexcept;
  std::string description() const;

  // The value carried inside a platform::Value (an object of class "TLWValue").
  platform::Value asObject() const;
  // The value back as a plain object: numbers, a string, an array of dictionaries;
  // arrays nested inside elements are left out.
  platform::Value plainObject() const;

 private:
  TLWValue(std::int64_t type, Payload payload) noexcept : type_(type), payload_(std::move(payload)) {}

  std::int64_t type_ = kTypeDouble;
  Payload payload_;
};

template <>
struct std::hash<TLWValue> {
  std::size_t operator()(const TLWValue& v) const noexcept { return v.hash(); }
};

// A TLWValue inside a platform::Value.
class TLWValueObject final : public platform::ValueObject {
 public:
  explicit TLWValueObject(TLWValue value) : value_(std::move(value)) {}
  const TLWValue& value() const { return value_; }
  std::string className() const override { return "TLWValue"; }
  std::string description() const override { return value_.description(); }
  bool isEqual(const platform::ValueObject& other) const override;

 private:
  TLWValue value_;
};

// The TLWValue a platform::Value carries, or null.
const TLWValue* TLWValueFromObject(const platform::Value& object) noexcept;

// A description of parameters for log output, e.g. {a = 1; b = "x"}.
std::string TLWParametersDescription(const TLWParameters& parameters);
