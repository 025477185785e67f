#include "measurement/model/TLWDataTypeValidator.h"

#include <unicode/uchar.h>
#include <unicode/uniset.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <memory>
#include <unordered_set>
#include <vector>

#include "measurement/model/TLWAliasTables.h"
#include "measurement/model/TLWLimits.h"
#include "measurement/model/TLWModelLog.h"

namespace {

using Validator = TLWDataTypeValidator;

constexpr std::string_view kReservedPrefixes[] = {"tarnwick_", "vorlix_", "lq_"};
constexpr std::string_view kItemsParameterName = "items";
constexpr std::string_view kEllipsis = "...";

// The four character sets; built once, frozen (so lookups are thread-safe), never changed.
struct CharacterSets {
  std::unique_ptr<icu::UnicodeSet> letters;
  std::unique_ptr<icu::UnicodeSet> nameCharacters;

  CharacterSets() {
    UErrorCode status = U_ZERO_ERROR;
    letters = std::make_unique<icu::UnicodeSet>(icu::UnicodeString(u"[[\\p{L}]-[\\p{M}]]"), status);
    status = U_ZERO_ERROR;
    nameCharacters =
        std::make_unique<icu::UnicodeSet>(icu::UnicodeString(u"[[[\\p{L}]-[\\p{M}]][\\p{Nd}]_]"), status);
    letters->freeze();
    nameCharacters->freeze();
  }
};

const CharacterSets& characterSets() {
  // Never destroyed: library threads may still use it while the process exits.
  static const CharacterSets& sets = *new CharacterSets();
  return sets;
}

// ASCII, by far the commonest case, is answered without the sets; the answers agree.
bool isASCIILetter(UChar32 c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool isLetter(UChar32 c) {
  if (c < 0x80) return c >= 0 && isASCIILetter(c);
  return characterSets().letters->contains(c);
}

bool isNameCharacter(UChar32 c) {
  if (c < 0x80) return c >= 0 && (isASCIILetter(c) || (c >= '0' && c <= '9') || c == '_');
  return characterSets().nameCharacters->contains(c);
}

// Iterates code points; ill-formed sequences give a negative value.
template <class F>
bool allCodePoints(std::string_view s, F&& pred) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  int32_t length = static_cast<int32_t>(std::min<std::size_t>(s.size(), INT32_MAX));
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(p, i, length, c);
    if (!pred(c)) return false;
  }
  return true;
}

UChar32 firstCodePoint(std::string_view s) {
  if (s.empty()) return -1;
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  int32_t length = static_cast<int32_t>(std::min<std::size_t>(s.size(), INT32_MAX));
  int32_t i = 0;
  UChar32 c;
  U8_NEXT(p, i, length, c);
  return c;
}

std::size_t codePoints(std::string_view s) { return platform::utf8::codePointCount(s); }

std::int64_t messageLevelForType(std::int64_t type) {
  return (type == Validator::kTypeEventParameterValue || type == Validator::kTypeUserPropertyValue) ? 3 : 0;
}

std::string subjectWith(std::int64_t type, std::string_view suffix) {
  std::string m(Validator::subjectForType(type));
  m += suffix;
  return m;
}

std::string formatNumber(std::string_view pattern, long long n) {
  std::string out;
  auto pos = pattern.find("%d");
  if (pos == std::string_view::npos) return std::string(pattern);
  out.append(pattern.substr(0, pos));
  out += std::to_string(n);
  out.append(pattern.substr(pos + 2));
  return out;
}

bool fail(std::int64_t* failureCode, std::int64_t code) {
  if (failureCode) *failureCode = code;
  return false;
}

bool pass(std::int64_t* failureCode) {
  if (failureCode) *failureCode = Validator::kFailureNone;
  return true;
}

using NameSet = std::unordered_set<std::string, TLWStringHash, std::equal_to<>>;

const NameSet& ecommerceEventNames() {
  static const NameSet& names = *new NameSet{
      "add_payment_info", "add_shipping_info", "add_to_cart",        "add_to_wishlist",    "begin_checkout",
      "purchase",         "refund",            "remove_from_cart",   "select_item",        "select_promotion",
      "view_cart",        "view_item",         "view_item_list",     "view_promotion",     "ecommerce_purchase",
      "checkout_progress", "purchase_refund",  "select_content",     "set_checkout_option", "view_search_results",
  };
  return names;
}

const NameSet& itemParameterNames() {
  static const NameSet& names = *new NameSet{
      "affiliation",    "coupon",         "creative_name",  "creative_slot",  "currency",       "discount",
      "index",          "item_id",        "item_brand",     "item_category",  "item_category2", "item_category3",
      "item_category4", "item_category5", "item_list_name", "item_list_id",   "item_name",      "item_variant",
      "location_id",    "payment_type",   "price",          "promotion_id",   "promotion_name", "quantity",
      "shipping",       "shipping_tier",  "tax",            "transaction_id", "value",          "checkout_step",
      "checkout_option", "item_list",     "item_location_id",
  };
  return names;
}

constexpr std::array<std::string_view, 24> kErrorCodeNames = {
    "NoError",
    "InvalidZELAppID",
    "InvalidEventName",
    "InvalidParameterName",
    "InvalidParameterValue",
    "ParameterLimitReached",
    "InvalidUserPropertyName",
    "UserPropertyValueTooLong",
    "EventLimitReached",
    "UserPropertyLimitReached",
    "ConversionEventLimitReached",
    "EventIsBlocked",
    "UserPropertyIsBlocked",
    "EventNameIsReserved",
    "ParameterNameIsReserved",
    "UserPropertyNameIsReserved",
    "PublicEventLimitReached",
    "TooManyExtraParamEvents",
    "ValueIsNotNumeric",
    "CurrencyCodeIsMissingOrInvalid",
    "InvalidArrayParamName",
    "InvalidArrayParamEventName",
    "InvalidArrayParamNesting",
    "CustomParamsInArrayElement",
};

std::int64_t lengthOf(const TLWObjectRef& source) {
  switch (source.kind()) {
    case TLWObjectRef::Kind::String:
      return static_cast<std::int64_t>(codePoints(source.string()));
    case TLWObjectRef::Kind::Value:
      if (const TLWValueArray* a = source.value()->arrayValue()) return static_cast<std::int64_t>(a->size());
      return 0;
    case TLWObjectRef::Kind::Other:
      if (const platform::Array* a = source.object()->array()) return static_cast<std::int64_t>(a->size());
      return 0;
    default:
      return 0;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// TLWObjectRef

TLWObjectRef::TLWObjectRef(const char* s) noexcept {
  if (s) {
    kind_ = Kind::String;
    string_ = s;
  }
}

TLWObjectRef::TLWObjectRef(const TLWValue* v) noexcept {
  if (v) {
    kind_ = Kind::Value;
    value_ = v;
  }
}

TLWObjectRef::TLWObjectRef(const platform::Value& v) noexcept {
  if (v.isNull()) return;
  if (const std::string* s = v.string()) {
    kind_ = Kind::String;
    string_ = *s;
  } else if (const TLWValue* t = TLWValueFromObject(v)) {
    kind_ = Kind::Value;
    value_ = t;
  } else {
    kind_ = Kind::Other;
    object_ = &v;
  }
}

platform::Value TLWObjectRef::toValue() const {
  switch (kind_) {
    case Kind::String:
      return platform::Value(string_);
    case Kind::Value:
      return value_->asObject();
    case Kind::Other:
      return *object_;
    default:
      return platform::Value();
  }
}

std::string TLWObjectRef::className() const {
  switch (kind_) {
    case Kind::String:
      return "string";
    case Kind::Value:
      return "TLWValue";
    case Kind::Other:
      if (object_->isObject() && object_->object()) return object_->object()->className();
      return object_->kindName();
    default:
      return "(nil)";
  }
}

// ---------------------------------------------------------------------------------------
// Names of codes and types

std::string_view Validator::errorCodeName(std::int64_t code) noexcept {
  if (code < 0 || code >= static_cast<std::int64_t>(kErrorCodeNames.size())) return {};
  return kErrorCodeNames[static_cast<std::size_t>(code)];
}

std::string Validator::errorCodeDescription(std::int64_t code) {
  std::string out(errorCodeName(code));
  out.push_back('(');
  out.append(std::to_string(code));
  out.push_back(')');
  return out;
}

std::string_view Validator::subjectForType(std::int64_t type) noexcept {
  switch (type) {
    case kTypeEventName: return "Event name";
    case kTypeEventOrigin: return "Event origin";
    case kTypeEventParameterName: return "Event parameter name";
    case kTypeEventParameterValue: return "Event parameter value";
    case kTypeUserPropertyName: return "User property name";
    case kTypeUserPropertyValue: return "User property value";
    case kTypeScreenParameterValue: return "Screen parameter value";
    case kTypeConditionalUserPropertyOrigin: return "Conditional user property origin";
    case kTypeConditionalUserPropertyName: return "Conditional user property name";
    case kTypeConditionalUserPropertyValue: return "Conditional user property value";
    default: return "Object";
  }
}

// ---------------------------------------------------------------------------------------
// Building blocks

bool Validator::hasReservedPrefixes(std::string_view name) noexcept {
  for (auto prefix : kReservedPrefixes) {
    if (name.starts_with(prefix)) return true;
  }
  return false;
}

bool Validator::isValidString(TLWObjectRef object, std::int64_t minLength, std::int64_t maxLength, std::int64_t type,
                              std::int64_t* failureCode) {
  const std::int64_t level = messageLevelForType(type);
  if (object.isNull()) {
    tlw_model::log(level, 13001, subjectWith(type, " is required and can't be nil"));
    return fail(failureCode, kFailureNullOrEmpty);
  }
  if (!object.isString()) {
    tlw_model::log(level, 13000, subjectWith(type, " must be of type NSString"), object.toValue());
    return fail(failureCode, kFailureWrongType);
  }
  std::string_view s = object.string();
  if (s.empty() && minLength >= 1) {
    // An empty value is common and harmless; only names are worth a message.
    if (type != kTypeEventParameterValue && type != kTypeUserPropertyValue) {
      tlw_model::log(level, 13001, subjectWith(type, " is required and can't be empty"));
    }
    return fail(failureCode, kFailureNullOrEmpty);
  }
  const auto length = static_cast<std::int64_t>(codePoints(s));
  if (length > maxLength) {
    tlw_model::log(level, 13000,
                   formatNumber(subjectWith(type, " is too long. The maximum supported length is %d"), maxLength),
                   object.toValue());
    return fail(failureCode, kFailureTooLong);
  }
  if (length < minLength) {
    tlw_model::log(level, 13000,
                   formatNumber(subjectWith(type, " is too short. The minimum supported length is %d"), minLength),
                   object.toValue());
    return fail(failureCode, kFailureTooShort);
  }
  return pass(failureCode);
}

bool Validator::isValidInternalName(TLWObjectRef object, std::int64_t maxLength, std::int64_t type,
                                    std::int64_t* failureCode) {
  if (!isValidString(object, 1, maxLength, type, failureCode)) return false;
  if (!allCodePoints(object.string(), isNameCharacter)) {
    tlw_model::log(0, 13002, subjectWith(type, " must contain only letters, numbers, or underscores"),
                   object.toValue());
    return fail(failureCode, kFailureBadCharacters);
  }
  return pass(failureCode);
}

bool Validator::isValidPublicName(TLWObjectRef object, std::int64_t maxLength, std::int64_t type,
                                  std::int64_t* failureCode) {
  if (!isValidInternalName(object, maxLength, type, failureCode)) return false;
  if (!isLetter(firstCodePoint(object.string()))) {
    tlw_model::log(0, 13003, subjectWith(type, " must start with a letter"), object.toValue());
    return fail(failureCode, kFailureBadCharacters);
  }
  return pass(failureCode);
}

bool Validator::isValidValue(TLWObjectRef value, std::int64_t minLength, std::int64_t maxLength, std::int64_t type,
                             std::int64_t* failureCode) {
  if (value.isNull()) {
    tlw_model::log(3, 13004, subjectWith(type, " cannot be nil"));
    return fail(failureCode, kFailureNullOrEmpty);
  }
  if (value.kind() != TLWObjectRef::Kind::Value) {
    tlw_model::log(3, 13005, subjectWith(type, " must be a TLWValue instance. value"),
                   platform::Value(value.className()));
    return fail(failureCode, kFailureWrongType);
  }
  const TLWValue& v = *value.value();
  if (!v.isWellFormed()) {
    tlw_model::log(3, 13005, subjectWith(type, " must be a TLWValue instance. value"),
                   platform::Value(v.description()));
    return fail(failureCode, kFailureWrongType);
  }
  if (v.isString()) {
    const std::string* s = v.stringValue();
    return isValidString(s ? TLWObjectRef(*s) : TLWObjectRef(nullptr), minLength, maxLength, type, failureCode);
  }
  return pass(failureCode);
}

// ---------------------------------------------------------------------------------------
// The checks

bool Validator::isValidPublicEventName(TLWObjectRef name, std::int64_t* failureCode) {
  if (!isValidPublicName(name, 40, kTypeEventName, failureCode)) return false;
  std::string_view s = name.string();
  if (s == "screen_view") return pass(failureCode);
  if (TLWAliasTables::eventNameAliases().contains(s) && !TLWAliasTables::publicAllowedEventNameAliases().contains(s)) {
    tlw_model::log(0, 13006, "Event name is reserved. Ignoring event", name.toValue());
    return fail(failureCode, kFailureReserved);
  }
  if (hasReservedPrefixes(s)) {
    tlw_model::log(0, 13007, "Event name uses reserved prefix. Ignoring event", name.toValue());
    return fail(failureCode, kFailureReserved);
  }
  return pass(failureCode);
}

bool Validator::isValidInternalEventName(TLWObjectRef name, std::int64_t* failureCode) {
  return isValidInternalName(name, 40, kTypeEventName, failureCode);
}

bool Validator::isValidPublicEventParameterName(TLWObjectRef name, std::int64_t* failureCode) {
  if (!isValidPublicName(name, 40, kTypeEventParameterName, failureCode)) return false;
  if (hasReservedPrefixes(name.string())) {
    tlw_model::log(0, 13008, "Parameter name uses reserved prefix. Ignoring parameter", name.toValue());
    return fail(failureCode, kFailureReserved);
  }
  return pass(failureCode);
}

bool Validator::isValidInternalEventParameterName(TLWObjectRef name, std::int64_t* failureCode) {
  return isValidInternalName(name, 40, kTypeEventParameterName, failureCode);
}

bool Validator::isValidPublicEventParameterValue(TLWObjectRef value, std::int64_t* failureCode) {
  return isValidValue(value, 0, 100, kTypeEventParameterValue, failureCode);
}

bool Validator::isValidInternalEventParameterValue(TLWObjectRef value, std::int64_t* failureCode) {
  return isValidValue(value, 0, 256, kTypeEventParameterValue, failureCode);
}

bool Validator::isValidInternalEventOrigin(TLWObjectRef origin, std::int64_t* failureCode) {
  return isValidInternalName(origin, 32, kTypeEventOrigin, failureCode);
}

bool Validator::isValidForwardedEventOrigin(TLWObjectRef origin, std::int64_t* failureCode) {
  if (origin.isNull() || (origin.isString() && origin.string().empty())) return fail(failureCode, kFailureNullOrEmpty);
  constexpr std::string_view kForwardedSuffix = "+lmn";
  if (origin.isString() && origin.string().ends_with(kForwardedSuffix)) {
    std::string_view s = origin.string();
    return isValidInternalName(s.substr(0, s.size() - kForwardedSuffix.size()), 32, kTypeEventOrigin, failureCode);
  }
  return fail(failureCode, kFailureNotForwardedOrigin);
}

bool Validator::isValidPublicUserAttributeName(TLWObjectRef name, std::int64_t* failureCode) {
  if (!isValidPublicName(name, 24, kTypeUserPropertyName, failureCode)) return false;
  std::string_view s = name.string();
  if (TLWAliasTables::userPropertyNameAliases().contains(s)) {
    tlw_model::log(0, 13009, "User property name is reserved. Ignoring user property", name.toValue());
    return fail(failureCode, kFailureReserved);
  }
  if (hasReservedPrefixes(s)) {
    tlw_model::log(0, 13010, "User property name uses reserved prefix. Ignoring user property", name.toValue());
    return fail(failureCode, kFailureReserved);
  }
  return pass(failureCode);
}

bool Validator::isValidInternalUserAttributeName(TLWObjectRef name, std::int64_t* failureCode) {
  return isValidInternalName(name, 24, kTypeUserPropertyName, failureCode);
}

bool Validator::isValidPublicUserAttributeValue(TLWObjectRef value, std::int64_t* failureCode) {
  return isValidValue(value, 1, 36, kTypeUserPropertyValue, failureCode);
}

bool Validator::isValidInternalUserAttributeValue(TLWObjectRef value, std::string_view name,
                                                  std::int64_t* failureCode) {
  const std::int64_t max = (name == "_id" || name == "_vbraid") ? 256 : 36;
  return isValidValue(value, 1, max, kTypeUserPropertyValue, failureCode);
}

bool Validator::isValidScreenParameterValue(TLWObjectRef value, std::int64_t* failureCode) {
  return isValidString(value, 1, 100, kTypeScreenParameterValue, failureCode);
}

bool Validator::isValidConditionalUserPropertyOrigin(TLWObjectRef origin, std::int64_t* failureCode) {
  return isValidInternalName(origin, 32, kTypeConditionalUserPropertyOrigin, failureCode);
}

bool Validator::isValidConditionalUserPropertyName(TLWObjectRef name, std::int64_t* failureCode) {
  return isValidInternalName(name, 24, kTypeConditionalUserPropertyName, failureCode);
}

bool Validator::isValidConditionalUserPropertyValue(TLWObjectRef value, std::int64_t* failureCode) {
  return isValidValue(value, 1, 36, kTypeConditionalUserPropertyValue, failureCode);
}

bool Validator::isValidNumericValue(TLWObjectRef value, std::int64_t* failureCode) {
  if (value.kind() == TLWObjectRef::Kind::Value && (value.value()->isInt64() || value.value()->isDouble())) {
    return pass(failureCode);
  }
  std::string shown = value.kind() == TLWObjectRef::Kind::Value ? value.value()->description()
                      : value.isString()                       ? std::string(value.string())
                      : value.isNull()                         ? std::string("(nil)")
                                                               : value.object()->description();
  tlw_model::log(3, 13011, subjectWith(kTypeEventParameterValue, " must be specified with a numeric type. value"),
                 platform::Value(std::move(shown)));
  return fail(failureCode, kFailureNotNumeric);
}

bool Validator::isValidCurrencyCode(TLWObjectRef value, std::int64_t* failureCode) {
  const std::string* s = value.kind() == TLWObjectRef::Kind::Value ? value.value()->stringValue() : nullptr;
  if (s && platform::utf8::utf16Length(*s) == 3 && allCodePoints(*s, [](UChar32 c) { return c < 0x10000 && isLetter(c); })) {
    return pass(failureCode);
  }
  tlw_model::log(3, 13012,
                 formatNumber(subjectWith(kTypeEventParameterValue,
                                          " must contain a %d-letter ISO_4217 currency code. value"),
                              3),
                 value.toValue());
  return fail(failureCode, kFailureBadCurrencyCode);
}

bool Validator::isValidArrayParamForEvent(std::string_view eventName, std::string_view paramName,
                                          std::size_t arrayCount, bool isNestedArrayParam,
                                          std::int64_t* failureCode) {
  if (isNestedArrayParam) {
    tlw_model::log(0, 13013, "Nested array parameters are not allowed. Name", platform::Value(paramName));
    return fail(failureCode, kFailureNestedArray);
  }
  if (!isEcommerceEventName(eventName)) {
    tlw_model::log(0, 13013, "Only ecommerce events are allowed to contain array parameters. Invalid ecommerce name",
                   platform::Value(eventName));
    return fail(failureCode, kFailureArrayNotAllowedForEvent);
  }
  if (paramName != kItemsParameterName) {
    std::string message = subjectWith(kTypeEventParameterName,
                                      " is an invalid ecommerce items. The name of array parameters for ecommerce "
                                      "should be \"items\". Invalid parameter name");
    tlw_model::log(0, 13013, message, platform::Value(paramName));
    return fail(failureCode, kFailureArrayNameNotItems);
  }
  if (arrayCount > kMaxArrayItems) {
    tlw_model::log(0, 13013,
                   formatNumber("Array parameter has too many items. The maximum number of supported items is %d. "
                                "Invalid array size",
                                static_cast<long long>(kMaxArrayItems)),
                   platform::Value(static_cast<unsigned long long>(arrayCount)));
    return fail(failureCode, kFailureTooManyArrayItems);
  }
  return pass(failureCode);
}

bool Validator::isValidArrayParamItem(TLWObjectRef item, std::int64_t* failureCode) {
  if (item.kind() == TLWObjectRef::Kind::Other && item.object()->isDictionary()) return pass(failureCode);
  tlw_model::log(0, 13014, "Array param must be a dictionary. Parameters", item.toValue());
  return fail(failureCode, kFailureArrayItemNotDictionary);
}

bool Validator::isEcommerceEventName(std::string_view name) noexcept {
  return ecommerceEventNames().contains(name);
}

bool Validator::isItemParameterName(std::string_view name) noexcept { return itemParameterNames().contains(name); }

// ---------------------------------------------------------------------------------------
// Error parameters

std::string Validator::truncatedErrorValue(std::string_view value, std::size_t limit) {
  if (codePoints(value) <= limit) return std::string(value);
  std::string out = platform::utf8::prefix(value, limit);
  out += kEllipsis;
  return out;
}

void Validator::recordError(TLWParameters& parameters, std::int64_t code, TLWObjectRef errorValue, std::size_t limit,
                            std::optional<TLWObjectRef> lengthSource) {
  if (parameters.contains("_ev") || parameters.contains("_el") || parameters.contains("_err")) return;
  parameters.insert_or_assign("_err", TLWValue::initWithInt64(code));
  std::string shown = errorValue.isString() ? std::string(errorValue.string()) : errorValue.className();
  parameters.insert_or_assign("_ev", TLWValue::initWithString(truncatedErrorValue(shown, limit)));
  if (lengthSource) parameters.insert_or_assign("_el", TLWValue::initWithInt64(lengthOf(*lengthSource)));
}

void Validator::recordErrorCode(TLWParameters& parameters, std::int64_t code) {
  if (parameters.contains("_err")) return;
  parameters.insert_or_assign("_err", TLWValue::initWithInt64(code));
}

// ---------------------------------------------------------------------------------------
// The sanitizer

namespace {

// One input entry, from either kind of dictionary.
struct Entry {
  TLWObjectRef key;
  const platform::Value* plain = nullptr;  // the value as the caller gave it, or null
  const TLWValue* typed = nullptr;         // the value when it already is a TLWValue
};

// The first error seen while walking the entries; applied at the end so that parameters
// the caller supplied under the error names are not overwritten.
struct PendingError {
  TLWParameters parameters;
  void record(std::int64_t code, TLWObjectRef value, std::size_t limit, std::optional<TLWObjectRef> lengthSource = {}) {
    Validator::recordError(parameters, code, value, limit, lengthSource);
  }
};

TLWParameters sanitizeEntries(const std::vector<Entry>& entries, std::string_view eventName, bool isPublic,
                              bool isArrayElement);

std::vector<Entry> entriesOf(const platform::Dictionary& dict) {
  std::vector<Entry> out;
  out.reserve(dict.size());
  for (const auto& [key, value] : dict) {
    Entry e{TLWObjectRef(key)};
    e.typed = TLWValueFromObject(value);
    if (!e.typed) e.plain = &value;
    out.push_back(e);
  }
  return out;
}

std::vector<Entry> entriesOf(const TLWParameters& params) {
  std::vector<Entry> out;
  out.reserve(params.size());
  for (const auto& [name, value] : params) {
    Entry e{TLWObjectRef(name)};
    e.typed = &value;
    out.push_back(e);
  }
  return out;
}

// The array rule and the items of an array parameter. Returns the cleaned array value, or
// nullopt when the parameter is dropped.
template <class Items, class ItemRef, class ItemEntries>
std::optional<TLWValue> sanitizeArray(const Items& items, ItemRef itemRef, ItemEntries itemEntries,
                                      std::string_view key, std::string_view eventName, bool isPublic,
                                      bool isArrayElement, PendingError& pending) {
  std::int64_t code = 0;
  if (!Validator::isValidArrayParamForEvent(eventName, key, items.size(), isArrayElement, &code) &&
      code != Validator::kFailureTooManyArrayItems) {
    switch (code) {
      case Validator::kFailureArrayNotAllowedForEvent:
        pending.record(Validator::kErrorInvalidArrayParamEventName, eventName, Validator::kMaxNameErrorValueLength);
        break;
      case Validator::kFailureArrayNameNotItems:
        pending.record(Validator::kErrorInvalidArrayParamName, key, Validator::kMaxNameErrorValueLength);
        break;
      case Validator::kFailureNestedArray:
        pending.record(Validator::kErrorInvalidArrayParamNesting, key, Validator::kMaxNameErrorValueLength);
        break;
      default:
        break;
    }
    return std::nullopt;
  }
  if (code == Validator::kFailureTooManyArrayItems) {
    pending.record(Validator::kErrorTooManyExtraParamEvents, key, Validator::kMaxNameErrorValueLength);
  }
  const std::size_t count = std::min(items.size(), Validator::kMaxArrayItems);
  TLWValueArray cleaned;
  cleaned.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (!Validator::isValidArrayParamItem(itemRef(items[i]))) {
      std::string shown(key);
      shown.push_back('[');
      shown.append(std::to_string(i));
      shown.push_back(']');
      pending.record(Validator::kErrorInvalidParameterValue, shown, Validator::kMaxNameErrorValueLength);
      continue;
    }
    cleaned.push_back(sanitizeEntries(itemEntries(items[i]), eventName, isPublic, true));
  }
  return TLWValue::initWithArray(std::move(cleaned));
}

void applyCountLimit(TLWParameters& result, bool isArrayElement) {
  if (isArrayElement) {
    bool removed = false;
    for (auto it = result.begin(); it != result.end();) {
      if (Validator::isCustomParameterName(it->first) && !Validator::isItemParameterName(it->first)) {
        it = result.erase(it);
        removed = true;
      } else {
        ++it;
      }
    }
    if (removed) {
      Validator::recordErrorCode(result, Validator::kErrorCustomParamsInArrayElement);
      tlw_model::log(0, 18016, "Item cannot contain custom parameters");
    }
    return;
  }
  std::size_t custom = 0;
  for (const auto& [name, value] : result) custom += Validator::isCustomParameterName(name) ? 1 : 0;
  if (custom == 0) return;
  const std::int32_t configured = TLWLimits::current()->maxPublicEventParams();
  const std::size_t limit = configured > 0 ? static_cast<std::size_t>(configured) : 0;
  if (custom <= limit) return;
  // The map is sorted, so walking it backwards removes the greatest names first.
  auto it = result.end();
  while (custom > limit && it != result.begin()) {
    --it;
    if (Validator::isCustomParameterName(it->first)) {
      it = result.erase(it);
      --custom;
    }
  }
  Validator::recordErrorCode(result, Validator::kErrorParameterLimitReached);
  tlw_model::log(1, 18017, formatNumber("Event cannot contain more than %d parameters", configured));
}

TLWParameters sanitizeEntries(const std::vector<Entry>& entries, std::string_view eventName, bool isPublic,
                              bool isArrayElement) {
  TLWParameters result;
  PendingError pending;
  for (const Entry& e : entries) {
    // 1. The name.
    std::int64_t code = 0;
    bool nameOK = isPublic ? Validator::isValidPublicEventParameterName(e.key, &code)
                           : Validator::isValidInternalEventParameterName(e.key, &code);
    if (!nameOK) {
      if (code != 0) {
        const std::int64_t error =
            code == Validator::kFailureReserved ? Validator::kErrorParameterNameIsReserved
                                                : Validator::kErrorInvalidParameterName;
        const bool tooLong = e.key.isString() && codePoints(e.key.string()) > Validator::kMaxNameErrorValueLength;
        pending.record(error, e.key, Validator::kMaxNameErrorValueLength,
                       tooLong ? std::optional<TLWObjectRef>(e.key) : std::nullopt);
      }
      continue;
    }
    std::string_view key = e.key.string();

    // 2. The type.
    std::optional<TLWValue> converted;
    const TLWValue* value = e.typed;
    const platform::Array* plainArray = nullptr;
    if (!value) {
      const platform::Value& plain = *e.plain;
      if (const std::string* s = plain.string()) {
        converted = TLWValue::initWithString(*s);
      } else if ((plainArray = plain.array())) {
        // Arrays are rebuilt from their items below.
      } else {
        converted = TLWValue::valueFromObject(plain, false);
        if (!converted) {
          tlw_model::log(3, 18015, "Event parameter value must be of type NSString, NSNumber or NSArray. Type",
                         platform::Value(TLWObjectRef(plain).className()));
          continue;
        }
      }
      if (converted) value = &*converted;
    }

    // 3. Public values.
    if (isPublic && value) {
      if (!Validator::isValidPublicEventParameterValue(*value, &code)) {
        if (code == Validator::kFailureTooLong) {
          pending.record(Validator::kErrorInvalidParameterValue, key, Validator::kMaxNameErrorValueLength,
                         TLWObjectRef(*value->stringValue()));
        }
        continue;
      }
    }

    // 4. An error value handed in by the library itself.
    // Other types take the ordinary checks below.
    if (const std::string* s = value && key == "_ev" ? value->stringValue() : nullptr) {
      const std::size_t length = codePoints(*s);
      if (length > Validator::kMaxErrorValueLength &&
          !(length == Validator::kMaxErrorValueLength + kEllipsis.size() && s->ends_with(kEllipsis))) {
        result.insert_or_assign(std::string(key), TLWValue::initWithString(Validator::truncatedErrorValue(
                                                      *s, Validator::kMaxErrorValueLength)));
        result.insert_or_assign("_el", TLWValue::initWithInt64(static_cast<std::int64_t>(length)));
      } else {
        result.insert_or_assign(std::string(key), *value);
      }
      continue;
    }

    // 5. Other values.
    if (value && !value->isArray()) {
      // A public value that passed its stricter check passes this one too.
      if (!isPublic && !Validator::isValidInternalEventParameterValue(*value, &code)) {
        if (code == Validator::kFailureTooLong) {
          pending.record(Validator::kErrorInvalidParameterValue, key, Validator::kMaxNameErrorValueLength,
                         TLWObjectRef(*value->stringValue()));
        }
        continue;
      }
      result.insert_or_assign(std::string(key), *value);
      continue;
    }
    std::optional<TLWValue> array;
    if (plainArray) {
      array = sanitizeArray(
          *plainArray, [](const platform::Value& item) { return TLWObjectRef(item); },
          [](const platform::Value& item) { return entriesOf(*item.dictionary()); }, key, eventName, isPublic,
          isArrayElement, pending);
    } else if (const TLWValueArray* items = value->arrayValue()) {
      // Arrays that arrive already wrapped obey the same rules: the wrapping proves nothing
      // about their contents.
      static const platform::Value& kDictionaryMarker = *new platform::Value{platform::Dictionary{}};
      array = sanitizeArray(
          *items, [](const TLWParameters&) { return TLWObjectRef(kDictionaryMarker); },
          [](const TLWParameters& item) { return entriesOf(item); }, key, eventName, isPublic, isArrayElement,
          pending);
    }
    if (array) result.insert_or_assign(std::string(key), std::move(*array));
  }

  if (!pending.parameters.empty() && !result.contains("_err") && !result.contains("_ev") && !result.contains("_el")) {
    for (auto& [name, value] : pending.parameters) result.insert_or_assign(name, std::move(value));
  }
  applyCountLimit(result, isArrayElement);
  return result;
}

}  // namespace

TLWParameters Validator::sanitizeParameters(const platform::Dictionary& parameters, std::string_view eventName,
                                            bool isPublic, bool isArrayElement) {
  if (parameters.empty()) return {};
  return sanitizeEntries(entriesOf(parameters), eventName, isPublic, isArrayElement);
}

TLWParameters Validator::sanitizeParameters(const TLWParameters& parameters, std::string_view eventName,
                                            bool isPublic, bool isArrayElement) {
  if (parameters.empty()) return {};
  return sanitizeEntries(entriesOf(parameters), eventName, isPublic, isArrayElement);
}

// ---------------------------------------------------------------------------------------
// Value and currency

bool Validator::isValidValueAndCurrency(TLWParameters& parameters) {
  auto value = parameters.find("value");
  if (value == parameters.end()) return true;
  if (!isValidNumericValue(value->second)) {
    parameters.erase(value);
    recordError(parameters, kErrorValueIsNotNumeric, "value", kMaxErrorValueLength);
    return false;
  }
  auto currency = parameters.find("currency");
  if (currency == parameters.end() || !isValidCurrencyCode(currency->second)) {
    tlw_model::log(3, 18014,
                   "Value parameter discarded. You must also supply a 3-letter ISO_4217 currency code in the "
                   "currency parameter.");
    parameters.erase(value);
    recordError(parameters, kErrorCurrencyCodeIsMissingOrInvalid, "currency", kMaxErrorValueLength);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// Error events

std::optional<TLWParameters> Validator::errorEventParameters(std::int64_t code, TLWObjectRef errorValue,
                                                             std::size_t limit,
                                                             std::optional<TLWObjectRef> lengthSource) {
  if (code == kErrorNoError) return std::nullopt;
  bool attachLength = false;
  if (lengthSource) {
    attachLength = code == kErrorInvalidParameterValue || code == kErrorUserPropertyValueTooLong ||
                   (lengthSource->isString() && codePoints(lengthSource->string()) > limit);
  }
  TLWParameters p;
  recordError(p, code, errorValue, limit, attachLength ? lengthSource : std::nullopt);
  return p;
}

std::optional<TLWParameters> Validator::errorEventParameters(std::int64_t code) {
  if (code == kErrorNoError) return std::nullopt;
  TLWParameters p;
  recordErrorCode(p, code);
  return p;
}

std::int64_t Validator::errorCodeForPublicEventNameFailure(std::int64_t failureCode) noexcept {
  return failureCode == kFailureReserved ? kErrorEventNameIsReserved : kErrorInvalidEventName;
}

std::int64_t Validator::errorCodeForPublicUserPropertyNameFailure(std::int64_t failureCode) noexcept {
  return failureCode == kFailureReserved ? kErrorUserPropertyNameIsReserved : kErrorInvalidUserPropertyName;
}

platform::Dictionary TLWParametersToDictionary(const TLWParameters& parameters) {
  platform::Dictionary d;
  for (const auto& [name, value] : parameters) d.set(platform::Value(name), value.asObject());
  return d;
}
