#include "measurement/model/TLWValue.h"

#include <charconv>
#include <cmath>

#include "measurement/model/TLWModelLog.h"

namespace {

// Element values nested deeper than this inside an array payload are left out, so a
// hostile array cannot recurse without bound.
constexpr int kMaxArrayDepth = 2;

std::string numberDescription(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, res.ptr);
}

std::optional<TLWValue> numberValue(const platform::Value& object) {
  if (object.kind() == platform::Value::Kind::Double) return TLWValue::initWithDouble(*object.doubleValue());
  if (auto i = object.int64Value()) return TLWValue::initWithInt64(*i);  // saturating
  return std::nullopt;
}

TLWValueArray convertArray(const platform::Array& items, int depth);

TLWParameters convertElement(const platform::Dictionary& dict, int depth) {
  TLWParameters out;
  for (const auto& [key, value] : dict) {
    const std::string* name = key.string();
    if (!name) continue;
    std::optional<TLWValue> converted;
    if (const TLWValue* v = TLWValueFromObject(value)) {
      converted = *v;
    } else if (value.isString()) {
      converted = TLWValue::initWithString(*value.string());
    } else if (value.isNumber()) {
      converted = numberValue(value);
    } else if (const platform::Array* a = value.array(); a && depth < kMaxArrayDepth) {
      converted = TLWValue::initWithArray(convertArray(*a, depth + 1));
    }
    if (converted) out.insert_or_assign(*name, std::move(*converted));
  }
  return out;
}

TLWValueArray convertArray(const platform::Array& items, int depth) {
  TLWValueArray out;
  out.reserve(items.size());
  for (const auto& item : items) {
    if (const platform::Dictionary* d = item.dictionary()) out.push_back(convertElement(*d, depth));
  }
  return out;
}

platform::Value plainElement(const TLWParameters& element) {
  platform::Dictionary d;
  for (const auto& [name, value] : element) {
    if (value.isArray()) continue;  // only one level of nesting goes out
    d.set(platform::Value(name), value.plainObject());
  }
  return platform::Value(std::move(d));
}

}  // namespace

std::optional<TLWValue> TLWValue::valueFromObject(const platform::Value& object, bool allowArray) {
  if (const TLWValue* v = TLWValueFromObject(object)) return *v;
  if (object.isNull()) {
    tlw_model::log(0, 35000, "Cannot create Value type with nil value");
    return std::nullopt;
  }
  if (object.isString()) return initWithString(*object.string());
  if (object.isNumber()) {
    if (auto v = numberValue(object)) return v;
  }
  if (object.isArray() && allowArray) return initWithArray(object);
  tlw_model::log(0, 35001,
                 "Cannot create Value type with unsupported value. The Value has to be NSNumber, NSString or "
                 "NSArray (if supported). Value",
                 object);
  return std::nullopt;
}

TLWValue TLWValue::initWithDouble(double value) noexcept { return TLWValue(kTypeDouble, value); }

TLWValue TLWValue::initWithInt64(std::int64_t value) noexcept { return TLWValue(kTypeInt64, value); }

TLWValue TLWValue::initWithString(std::string_view value) {
  auto s = platform::utf8::isValid(value) ? std::make_shared<const std::string>(value)
                                          : std::make_shared<const std::string>(platform::utf8::sanitize(value));
  return TLWValue(kTypeString, StringRef(std::move(s)));
}

std::optional<TLWValue> TLWValue::initWithString(const platform::Value& value) {
  if (value.isNull()) {
    tlw_model::log(0, 35002, "Cannot create String value with nil");
    return std::nullopt;
  }
  if (!value.isString()) {
    tlw_model::log(0, 35003, "Cannot create String value with non-string value. Value", value);
    return std::nullopt;
  }
  return initWithString(std::string_view(*value.string()));
}

std::optional<TLWValue> TLWValue::initWithArray(const platform::Value& value) {
  if (value.isNull()) {
    tlw_model::log(0, 35004, "Cannot create Array value with nil");
    return std::nullopt;
  }
  const platform::Array* items = value.array();
  if (!items) {
    tlw_model::log(0, 35005, "Cannot create Array value with non-array value. Value", value);
    return std::nullopt;
  }
  return initWithArray(convertArray(*items, 1));
}

TLWValue TLWValue::initWithArray(TLWValueArray items) {
  return TLWValue(kTypeArray, ArrayRef(std::make_shared<const TLWValueArray>(std::move(items))));
}

TLWValue TLWValue::initWithValueType(std::int64_t valueType, Payload value) { return TLWValue(valueType, std::move(value)); }

bool TLWValue::isWellFormed() const noexcept {
  switch (type_) {
    case kTypeDouble:
      return std::holds_alternative<double>(payload_);
    case kTypeInt64:
      return std::holds_alternative<std::int64_t>(payload_);
    case kTypeString:
      return stringValue() != nullptr;
    case kTypeArray:
      return arrayValue() != nullptr;
    default:
      return false;
  }
}

double TLWValue::doubleValue() const noexcept {
  if (type_ != kTypeDouble) return 0.0;
  const double* d = std::get_if<double>(&payload_);
  return d ? *d : 0.0;
}

std::int64_t TLWValue::int64Value() const noexcept {
  if (type_ != kTypeInt64) return 0;
  const std::int64_t* i = std::get_if<std::int64_t>(&payload_);
  return i ? *i : 0;
}

const std::string* TLWValue::stringValue() const noexcept {
  if (type_ != kTypeString) return nullptr;
  const StringRef* s = std::get_if<StringRef>(&payload_);
  return s ? s->get() : nullptr;
}

const TLWValueArray* TLWValue::arrayValue() const noexcept {
  if (type_ != kTypeArray) return nullptr;
  const ArrayRef* a = std::get_if<ArrayRef>(&payload_);
  return a ? a->get() : nullptr;
}

bool TLWValue::isEqual(const TLWValue& other) const noexcept {
  if (type_ != other.type_ || payload_.index() != other.payload_.index()) return false;
  switch (payload_.index()) {
    case 0:
      return true;
    case 1:
      return std::get<double>(payload_) == std::get<double>(other.payload_);
    case 2:
      return std::get<std::int64_t>(payload_) == std::get<std::int64_t>(other.payload_);
    case 3: {
      const auto& a = std::get<StringRef>(payload_);
      const auto& b = std::get<StringRef>(other.payload_);
      if (!a || !b) return a == b;
      return *a == *b;
    }
    default: {
      const auto& a = std::get<ArrayRef>(payload_);
      const auto& b = std::get<ArrayRef>(other.payload_);
      if (!a || !b) return a == b;
      return *a == *b;
    }
  }
}

std::size_t TLWValue::hash() const noexcept {
  std::size_t h = 0;
  switch (payload_.index()) {
    case 1: {
      double d = std::get<double>(payload_);
      h = std::hash<double>{}(d == 0.0 ? 0.0 : d);  // 0.0 and -0.0 are equal
      break;
    }
    case 2:
      h = std::hash<std::int64_t>{}(std::get<std::int64_t>(payload_));
      break;
    case 3:
      if (const auto& s = std::get<StringRef>(payload_)) h = std::hash<std::string>{}(*s);
      break;
    case 4:
      if (const auto& a = std::get<ArrayRef>(payload_)) h = a->size();
      break;
    default:
      break;
  }
  return h ^ static_cast<std::size_t>(static_cast<std::uint64_t>(type_) * 31u);
}

std::string TLWValue::description() const {
  switch (payload_.index()) {
    case 1:
      return numberDescription(std::get<double>(payload_));
    case 2:
      return std::to_string(std::get<std::int64_t>(payload_));
    case 3: {
      const auto& s = std::get<StringRef>(payload_);
      return s ? *s : std::string("(null)");
    }
    case 4: {
      const auto& a = std::get<ArrayRef>(payload_);
      if (!a) return "(null)";
      std::string out = "(";
      for (std::size_t i = 0; i < a->size(); ++i) {
        out += i ? ", " : "";
        out += TLWParametersDescription((*a)[i]);
      }
      return out + ")";
    }
    default:
      return "(null)";
  }
}

platform::Value TLWValue::asObject() const { return platform::Value(std::make_shared<TLWValueObject>(*this)); }

platform::Value TLWValue::plainObject() const {
  if (isDouble()) return platform::Value(doubleValue());
  if (isInt64()) return platform::Value(static_cast<long long>(int64Value()));
  if (const std::string* s = stringValue()) return platform::Value(*s);
  if (const TLWValueArray* a = arrayValue()) {
    platform::Array out;
    out.reserve(a->size());
    for (const auto& element : *a) out.push_back(plainElement(element));
    return platform::Value(std::move(out));
  }
  return platform::Value();
}

bool TLWValueObject::isEqual(const platform::ValueObject& other) const {
  const auto* o = dynamic_cast<const TLWValueObject*>(&other);
  return o && o->value_.isEqual(value_);
}

const TLWValue* TLWValueFromObject(const platform::Value& object) noexcept {
  if (!object.isObject()) return nullptr;
  const auto* o = dynamic_cast<const TLWValueObject*>(object.object().get());
  return o ? &o->value() : nullptr;
}

std::string TLWParametersDescription(const TLWParameters& parameters) {
  std::string out = "{";
  bool first = true;
  for (const auto& [name, value] : parameters) {
    out += first ? "" : "; ";
    first = false;
    out += name;
    out += " = ";
    if (value.isString()) {
      out += '"';
      out += value.description();
      out += '"';
    } else {
      out += value.description();
    }
  }
  return out + "}";
}
