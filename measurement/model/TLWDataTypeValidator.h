#pragma once
// TLWDataTypeValidator: the checks every event name, origin, parameter, user property,
// screen value and conditional user property passes before the library keeps it, the
// parameter sanitizer that turns a caller's parameters into clean ones (recording what it
// dropped as error parameters inside the result), the value-and-currency check and the
// error parameters of error events.
//
// Thread-safety: every operation is a pure function of its arguments plus the read-only
// character sets (built once, on first use, under a one-time guard) and the current
// TLWLimits; any thread may call any operation concurrently.
// Failure: checks return false and set the optional failure code (0 when valid); a
// failure is also logged through the monitor where a log code is defined. Nothing throws.
// Lengths are Unicode code points; invalid UTF-8 counts one per offending byte and is
// never a name character.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/model/TLWValue.h"
#include "platform/Value.h"

// What a check examines: nothing (null), a string, a TLWValue or any other object. Built
// implicitly from each of them; it only refers to its argument, which must outlive it.
class TLWObjectRef {
 public:
  enum class Kind { Null, String, Value, Other };

  TLWObjectRef(std::nullptr_t) noexcept {}
  TLWObjectRef(const char* s) noexcept;
  TLWObjectRef(std::string_view s) noexcept : kind_(Kind::String), string_(s) {}
  TLWObjectRef(const std::string& s) noexcept : kind_(Kind::String), string_(s) {}
  TLWObjectRef(const TLWValue& v) noexcept : kind_(Kind::Value), value_(&v) {}
  TLWObjectRef(const TLWValue* v) noexcept;
  TLWObjectRef(const platform::Value& v) noexcept;

  Kind kind() const noexcept { return kind_; }
  bool isNull() const noexcept { return kind_ == Kind::Null; }
  bool isString() const noexcept { return kind_ == Kind::String; }
  std::string_view string() const noexcept { return string_; }
  const TLWValue* value() const noexcept { return value_; }
  const platform::Value* object() const noexcept { return object_; }

  // For log contexts.
  platform::Value toValue() const;
  // The class name shown in error values and log output.
  std::string className() const;

 private:
  Kind kind_ = Kind::Null;
  std::string_view string_;
  const TLWValue* value_ = nullptr;
  const platform::Value* object_ = nullptr;
};

class TLWDataTypeValidator {
 public:
  // Failure codes of the checks.
  enum FailureCode : std::int64_t {
    kFailureNone = 0,
    kFailureNullOrEmpty = 1,
    kFailureTooLong = 2,
    kFailureBadCharacters = 3,
    kFailureReserved = 4,
    kFailureWrongType = 5,
    kFailureNotForwardedOrigin = 6,
    kFailureTooShort = 7,
    kFailureNotNumeric = 8,
    kFailureBadCurrencyCode = 9,
    kFailureArrayNotAllowedForEvent = 10,
    kFailureArrayNameNotItems = 11,
    kFailureTooManyArrayItems = 12,
    kFailureNestedArray = 13,
    kFailureArrayItemNotDictionary = 14,
  };

  // Error codes carried in "_err".
  enum ErrorCode : std::int64_t {
    kErrorNoError = 0,
    kErrorInvalidZELAppID = 1,
    kErrorInvalidEventName = 2,
    kErrorInvalidParameterName = 3,
    kErrorInvalidParameterValue = 4,
    kErrorParameterLimitReached = 5,
    kErrorInvalidUserPropertyName = 6,
    kErrorUserPropertyValueTooLong = 7,
    kErrorEventLimitReached = 8,
    kErrorUserPropertyLimitReached = 9,
    kErrorConversionEventLimitReached = 10,
    kErrorEventIsBlocked = 11,
    kErrorUserPropertyIsBlocked = 12,
    kErrorEventNameIsReserved = 13,
    kErrorParameterNameIsReserved = 14,
    kErrorUserPropertyNameIsReserved = 15,
    kErrorPublicEventLimitReached = 16,
    kErrorTooManyExtraParamEvents = 17,
    kErrorValueIsNotNumeric = 18,
    kErrorCurrencyCodeIsMissingOrInvalid = 19,
    kErrorInvalidArrayParamName = 20,
    kErrorInvalidArrayParamEventName = 21,
    kErrorInvalidArrayParamNesting = 22,
    kErrorCustomParamsInArrayElement = 23,
  };

  // Check kinds: select the subject word of messages.
  enum CheckType : std::int64_t {
    kTypeEventName = 0,
    kTypeEventOrigin = 1,
    kTypeEventParameterName = 2,
    kTypeEventParameterValue = 3,
    kTypeUserPropertyName = 4,
    kTypeUserPropertyValue = 5,
    kTypeScreenParameterValue = 6,
    kTypeConditionalUserPropertyOrigin = 7,
    kTypeConditionalUserPropertyName = 8,
    kTypeConditionalUserPropertyValue = 9,
  };

  static constexpr std::size_t kMaxArrayItems = 200;
  static constexpr std::size_t kMaxErrorValueLength = 256;
  static constexpr std::size_t kMaxNameErrorValueLength = 40;

  // The error code's name ("InvalidEventName"), or "" outside 0 to 23.
  static std::string_view errorCodeName(std::int64_t code) noexcept;
  // The name followed by the code in parentheses, as debug output shows it.
  static std::string errorCodeDescription(std::int64_t code);
  // The subject word for a check type ("Event name"; "Object" for an unknown type).
  static std::string_view subjectForType(std::int64_t type) noexcept;

  // Building blocks.
  static bool hasReservedPrefixes(std::string_view name) noexcept;
  static bool isValidString(TLWObjectRef object, std::int64_t minLength, std::int64_t maxLength, std::int64_t type,
                            std::int64_t* failureCode = nullptr);
  static bool isValidInternalName(TLWObjectRef object, std::int64_t maxLength, std::int64_t type,
                                  std::int64_t* failureCode = nullptr);
  static bool isValidPublicName(TLWObjectRef object, std::int64_t maxLength, std::int64_t type,
                                std::int64_t* failureCode = nullptr);
  static bool isValidValue(TLWObjectRef value, std::int64_t minLength, std::int64_t maxLength, std::int64_t type,
                           std::int64_t* failureCode = nullptr);

  // The checks.
  static bool isValidPublicEventName(TLWObjectRef name, std::int64_t* failureCode = nullptr);
  static bool isValidInternalEventName(TLWObjectRef name, std::int64_t* failureCode = nullptr);
  static bool isValidPublicEventParameterName(TLWObjectRef name, std::int64_t* failureCode = nullptr);
  static bool isValidInternalEventParameterName(TLWObjectRef name, std::int64_t* failureCode = nullptr);
  static bool isValidPublicEventParameterValue(TLWObjectRef value, std::int64_t* failureCode = nullptr);
  static bool isValidInternalEventParameterValue(TLWObjectRef value, std::int64_t* failureCode = nullptr);
  static bool isValidInternalEventOrigin(TLWObjectRef origin, std::int64_t* failureCode = nullptr);
  static bool isValidForwardedEventOrigin(TLWObjectRef origin, std::int64_t* failureCode = nullptr);
  static bool isValidPublicUserAttributeName(TLWObjectRef name, std::int64_t* failureCode = nullptr);
  static bool isValidInternalUserAttributeName(TLWObjectRef name, std::int64_t* failureCode = nullptr);
  static bool isValidPublicUserAttributeValue(TLWObjectRef value, std::int64_t* failureCode = nullptr);
  static bool isValidInternalUserAttributeValue(TLWObjectRef value, std::string_view name,
                                                std::int64_t* failureCode = nullptr);
  static bool isValidScreenParameterValue(TLWObjectRef value, std::int64_t* failureCode = nullptr);
  static bool isValidConditionalUserPropertyOrigin(TLWObjectRef origin, std::int64_t* failureCode = nullptr);
  static bool isValidConditionalUserPropertyName(TLWObjectRef name, std::int64_t* failureCode = nullptr);
  static bool isValidConditionalUserPropertyValue(TLWObjectRef value, std::int64_t* failureCode = nullptr);
  static bool isValidNumericValue(TLWObjectRef value, std::int64_t* failureCode = nullptr);
  // Exactly three UTF-16 units, each a letter (a letter outside the Basic Multilingual
  // Plane takes two units, neither a letter, so it fails).
  static bool isValidCurrencyCode(TLWObjectRef value, std::int64_t* failureCode = nullptr);
  static bool isValidArrayParamForEvent(std::string_view eventName, std::string_view paramName,
                                        std::size_t arrayCount, bool isNestedArrayParam,
                                        std::int64_t* failureCode = nullptr);
  static bool isValidArrayParamItem(TLWObjectRef item, std::int64_t* failureCode = nullptr);

  // The names the sets hold.
  static bool isEcommerceEventName(std::string_view name) noexcept;
  static bool isItemParameterName(std::string_view name) noexcept;
  static bool isCustomParameterName(std::string_view name) noexcept { return !name.empty() && name[0] != '_'; }

  // Error parameters. Records error `code` into `parameters` unless they already hold
  // "_err", "_ev" or "_el": "_err" = code, "_ev" = the error value (its class name when
  // it is not a string, "(nil)" when null) cut to `limit` code points plus "...", and,
  // when `lengthSource` is given, "_el" = its length (code points of a string, items of
  // an array, 0 otherwise).
  static void recordError(TLWParameters& parameters, std::int64_t code, TLWObjectRef errorValue, std::size_t limit,
                          std::optional<TLWObjectRef> lengthSource = std::nullopt);
  // Sets "_err" = code unless "_err" is present.
  static void recordErrorCode(TLWParameters& parameters, std::int64_t code);
  // The first `limit` code points followed by "..." when longer, else the string.
  static std::string truncatedErrorValue(std::string_view value, std::size_t limit);

  // The parameter sanitizer: a clean copy of `parameters` for an event named `eventName`.
  // Names and values that fail their checks are dropped and the first failure recorded as
  // error parameters; arrays obey the array rules and their elements are sanitized in
  // turn; custom parameters beyond TLWLimits::maxPublicEventParams() are removed.
  // Dictionary keys that are not strings are dropped as bad names. Empty input gives an
  // empty result.
  static TLWParameters sanitizeParameters(const platform::Dictionary& parameters, std::string_view eventName,
                                          bool isPublic, bool isArrayElement);
  static TLWParameters sanitizeParameters(const TLWParameters& parameters, std::string_view eventName, bool isPublic,
                                          bool isArrayElement);

  // The value-and-currency check: passes without "value"; otherwise "value" must be
  // numeric and "currency" a valid currency code, else "value" is removed, error 18 or
  // 19 recorded and the check fails.
  static bool isValidValueAndCurrency(TLWParameters& parameters);

  // Error events. The parameters of the error event "_err" (origin "auto") for a call
  // rejected with `code`: "_err", "_ev" = `errorValue` cut to `limit`, and "_el" = the
  // length of `lengthSource` for codes 4 and 7, otherwise only when it is a string longer
  // than `limit`. nullopt for code 0, which logs nothing.
  static std::optional<TLWParameters> errorEventParameters(std::int64_t code, TLWObjectRef errorValue,
                                                           std::size_t limit,
                                                           std::optional<TLWObjectRef> lengthSource);
  // The second form: "_err" alone (nullopt for code 0).
  static std::optional<TLWParameters> errorEventParameters(std::int64_t code);
  // The error codes callers report for a rejected public event name (13 when reserved,
  // else 2), user property name (15 / 6) and too long user property value (7).
  static std::int64_t errorCodeForPublicEventNameFailure(std::int64_t failureCode) noexcept;
  static std::int64_t errorCodeForPublicUserPropertyNameFailure(std::int64_t failureCode) noexcept;
  static constexpr std::size_t kEventNameErrorLimit = 40;
  static constexpr std::size_t kUserPropertyErrorLimit = 24;

  static constexpr std::string_view kErrorEventName = "_err";
  static constexpr std::string_view kErrorEventOrigin = "auto";
};

// Parameters as a platform dictionary whose values carry the TLWValues (so they can be
// handed to anything that takes caller parameters).
platform::Dictionary TLWParametersToDictionary(const TLWParameters& parameters);
