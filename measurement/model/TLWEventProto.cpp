// TLWEvent to and from the batch-format event message.

#include "measurement/model/TLWEvent.h"

#include <cstring>

#include "measurement/model/TLWMilliseconds.h"
#include "measurement/model/TLWModelLog.h"
#include "measurement/monitor/TLWError.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "measurement/proto/TLWPBWire.h"

namespace {

constexpr double kEpsilon = 2.220446049250313e-16;
constexpr std::string_view kOriginKey = "_o";

// A string, then an integer, then a double field.
std::optional<TLWValue> scalarOf(const TLWPBEventParam& param) {
  if (auto s = param.GetString(TLWPBEventParam::kStringValue)) return TLWValue::initWithString(*s);
  if (param.HasField(TLWPBEventParam::kIntValue)) return TLWValue::initWithInt64(param.GetInt64(TLWPBEventParam::kIntValue));
  if (param.HasField(TLWPBEventParam::kDoubleValue)) {
    return TLWValue::initWithDouble(param.GetDouble(TLWPBEventParam::kDoubleValue));
  }
  return std::nullopt;
}

std::optional<std::string> nameOf(const TLWPBEventParam& param) {
  auto name = param.GetString(TLWPBEventParam::kName);
  if (!name || name->empty()) return std::nullopt;
  return name;
}

// One element of an array parameter: its named scalar parameters. `strict` refuses an
// element holding anything else; otherwise such entries are left out.
std::optional<TLWParameters> elementOf(const TLWPBEventParam& element, bool strict) {
  TLWParameters item;
  for (const auto& inner : element.GetRepeated<TLWPBEventParam>(TLWPBEventParam::kParamValue)) {
    auto innerName = nameOf(*inner);
    auto innerValue = scalarOf(*inner);
    if (!innerName || !innerValue) {
      if (strict) return std::nullopt;
      continue;
    }
    item.emplace(std::move(*innerName), std::move(*innerValue));
  }
  return item;
}

// An array parameter from the nested list (a parameter with a name and nothing else is an
// empty array); nullopt for a value of another kind (or, strict, when an element is damaged).
std::optional<TLWValue> arrayOf(const TLWPBEventParam& param, bool strict) {
  auto elements = param.GetRepeated<TLWPBEventParam>(TLWPBEventParam::kParamValue);
  // protoEvent writes an empty array as a name without a value; reading it back as
  // anything but an empty array would lose the whole stored event.
  if (elements.empty()) {
    if (param.HasField(TLWPBEventParam::kFloatValue)) return std::nullopt;
    return TLWValue::initWithArray(TLWValueArray{});
  }
  TLWValueArray items;
  items.reserve(elements.size());
  for (const auto& element : elements) {
    auto item = elementOf(*element, strict);
    if (!item) return std::nullopt;
    items.push_back(std::move(*item));
  }
  return TLWValue::initWithArray(std::move(items));
}

double secondsOf(std::int64_t milliseconds) { return static_cast<double>(milliseconds) / 1000.0; }

// Wire writing for protoEventBytes, in the order the message layer encodes fields.
enum Wire : std::uint32_t { kVarint = kTLWPBWireVarint, kFixed64 = kTLWPBWireFixed64, kLength = kTLWPBWireLength };
enum EventField : std::uint32_t { kEventParams = 1, kEventName = 2, kEventTimestamp = 3, kEventPreviousTimestamp = 4 };
enum ParamField : std::uint32_t { kParamName = 1, kParamString = 2, kParamInt = 3, kParamDouble = 5, kParamValue = 6 };

void putKey(std::vector<std::uint8_t>& out, std::uint32_t field, Wire wire) { TLWPBPutVarint(out, (field << 3) | wire); }

void putBytes(std::vector<std::uint8_t>& out, std::uint32_t field, std::string_view bytes) {
  putKey(out, field, kLength);
  TLWPBPutVarint(out, bytes.size());
  out.insert(out.end(), bytes.begin(), bytes.end());
}

void putMessage(std::vector<std::uint8_t>& out, std::uint32_t field, const std::vector<std::uint8_t>& body) {
  putKey(out, field, kLength);
  TLWPBPutVarint(out, body.size());
  out.insert(out.end(), body.begin(), body.end());
}

// A scalar parameter's message body: its name, then a string, an integer or a double;
// false when the value is no scalar.
bool putScalarParamBody(std::vector<std::uint8_t>& body, const std::string& name, const TLWValue& value) {
  body.clear();
  if (!name.empty()) putBytes(body, kParamName, name);
  if (const std::string* s = value.stringValue()) {
    putBytes(body, kParamString, *s);
  } else if (value.isInt64() && std::holds_alternative<std::int64_t>(value.value())) {
    putKey(body, kParamInt, kVarint);
    TLWPBPutVarint(body, static_cast<std::uint64_t>(value.int64Value()));
  } else if (value.isDouble() && std::holds_alternative<double>(value.value())) {
    putKey(body, kParamDouble, kFixed64);
    std::uint64_t bits = 0;
    const double d = value.doubleValue();
    std::memcpy(&bits, &d, sizeof bits);
    for (int i = 0; i < 8; ++i) body.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  } else {
    return false;
  }
  return true;
}

// Reading the regular shape straight from the bytes. Anything outside it (a field not
// listed below, another wire type, an array, a parameter without a name or with other than
// one value, a non-string origin) answers "not regular" and the message path decides, so
// both paths give the same event or the same error.
class RegularEventReader {
 public:
  explicit RegularEventReader(std::span<const std::uint8_t> bytes) : p_(bytes.data()), end_(p_ + bytes.size()) {}

  bool read(TLWParameters& parameters, std::optional<std::string>& origin, std::optional<std::string_view>& name,
            std::int64_t& timestamp, std::int64_t& previousTimestamp) {
    while (p_ < end_) {
      std::uint64_t key = 0;
      if (!varint(key)) return false;
      const std::uint64_t field = key >> 3, wire = key & 7;
      if (field == kEventParams && wire == kLength) {
        std::span<const std::uint8_t> body;
        if (!length(body) || !param(body, parameters, origin)) return false;
        continue;
      }
      // A field given twice counts the last time, as the message decoder does.
      if (field < kEventName || field > kEventPreviousTimestamp) return false;
      if (field == kEventName) {
        std::span<const std::uint8_t> body;
        if (wire != kLength || !length(body)) return false;
        name = std::string_view(reinterpret_cast<const char*>(body.data()), body.size());
      } else {
        std::uint64_t v = 0;
        if (wire != kVarint || !varint(v)) return false;
        (field == kEventTimestamp ? timestamp : previousTimestamp) = static_cast<std::int64_t>(v);
      }
    }
    return true;
  }

 private:
  bool varint(std::uint64_t& out) {
    std::size_t at = 0;
    const bool ok = TLWPBReadVarint(std::span<const std::uint8_t>(p_, end_), at, out);
    p_ += at;
    return ok;
  }

  bool length(std::span<const std::uint8_t>& out) {
    std::uint64_t n = 0;
    if (!varint(n) || n > static_cast<std::uint64_t>(end_ - p_)) return false;
    out = std::span<const std::uint8_t>(p_, static_cast<std::size_t>(n));
    p_ += n;
    return true;
  }

  static bool param(std::span<const std::uint8_t> body, TLWParameters& parameters, std::optional<std::string>& origin) {
    RegularEventReader in(body);
    std::optional<std::string_view> name, text;
    std::optional<std::int64_t> integer;
    std::optional<double> real;
    while (in.p_ < in.end_) {
      std::uint64_t key = 0;
      if (!in.varint(key)) return false;
      const std::uint64_t field = key >> 3, wire = key & 7;
      if (field == kParamName || field == kParamString) {
        std::span<const std::uint8_t> s;
        auto& slot = field == kParamName ? name : text;
        if (wire != kLength || slot || !in.length(s)) return false;
        slot = std::string_view(reinterpret_cast<const char*>(s.data()), s.size());
      } else if (field == kParamInt) {
        std::uint64_t v = 0;
        if (wire != kVarint || integer || !in.varint(v)) return false;
        integer = static_cast<std::int64_t>(v);
      } else if (field == kParamDouble) {
        if (wire != kFixed64 || real || in.end_ - in.p_ < 8) return false;
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits |= static_cast<std::uint64_t>(in.p_[i]) << (8 * i);
        in.p_ += 8;
        double d = 0;
        std::memcpy(&d, &bits, sizeof d);
        real = d;
      } else {
        return false;
      }
    }
    // Exactly one value, and a name.
    if (!name || name->empty() || (text ? 1 : 0) + (integer ? 1 : 0) + (real ? 1 : 0) != 1) return false;
    if (*name == kOriginKey) {
      if (!text) return false;
      origin = std::string(*text);
      return true;
    }
    TLWValue value = text ? TLWValue::initWithString(*text)
                          : integer ? TLWValue::initWithInt64(*integer) : TLWValue::initWithDouble(*real);
    parameters.emplace(std::string(*name), std::move(value));
    return true;
  }

  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

}  // namespace

std::shared_ptr<TLWEvent> TLWEvent::initWithStoredEventBytes(std::span<const std::uint8_t> bytes,
                                                             std::optional<std::string_view> name,
                                                             std::optional<double> timestamp, TLWError* error) {
  TLWParameters parameters;
  std::optional<std::string> origin;
  std::optional<std::string_view> storedName;
  std::int64_t storedTimestamp = 0, previousTimestamp = 0;
  if (RegularEventReader(bytes).read(parameters, origin, storedName, storedTimestamp, previousTimestamp) && origin) {
    const std::string_view eventName = name ? *name : storedName.value_or("");
    auto event = initWithOrigin(*origin, false, eventName, timestamp ? *timestamp : secondsOf(storedTimestamp),
                                secondsOf(previousTimestamp), parameters);
    if (!event) TLWSetError(error, TLWError::errorWithCode(2, "Failed to initialize raw event data from dictionary"));
    return event;
  }
  auto message = TLWPBEvent::initWithBuffer(bytes);
  if (!message) {
    TLWSetError(error, TLWError::errorWithCode(3, "Failed to parse event from data"));
    return nullptr;
  }
  return initWithStoredEventProto(*message, name, timestamp, error);
}

std::vector<std::uint8_t> TLWEvent::protoEventBytes(bool includeName) const {
  std::vector<std::uint8_t> out, param, element, grand;
  out.reserve(64 + 32 * parameters_.size());
  for (const auto& [name, value] : parameters_) {
    if (putScalarParamBody(param, name, value)) {
      putMessage(out, kEventParams, param);
      continue;
    }
    const TLWValueArray* items = value.isArray() ? value.arrayValue() : nullptr;
    if (!items) {
      tlw_model::log(2, 16005, "Invalid event param value. Event name, param name", platform::Value(name_),
                     platform::Value(name));
      continue;
    }
    param.clear();
    putBytes(param, kParamName, name);
    for (const TLWParameters& item : *items) {
      element.clear();
      for (const auto& [innerName, innerValue] : item) {
        if (putScalarParamBody(grand, innerName, innerValue)) {
          putMessage(element, kParamValue, grand);
        } else {
          tlw_model::log(2, 16007, "Nested params cannot have more than 1 level. Event name, param name",
                         platform::Value(name_), platform::Value(name));
        }
      }
      putMessage(param, kParamValue, element);
    }
    putMessage(out, kEventParams, param);
  }
  if (includeName) putBytes(out, kEventName, name_);
  if (timestamp_ > kEpsilon) {
    putKey(out, kEventTimestamp, kVarint);
    TLWPBPutVarint(out, static_cast<std::uint64_t>(tlw_model::millisecondsFromSeconds(timestamp_)));
  }
  if (previousTimestamp_ > kEpsilon) {
    putKey(out, kEventPreviousTimestamp, kVarint);
    TLWPBPutVarint(out, static_cast<std::uint64_t>(tlw_model::millisecondsFromSeconds(previousTimestamp_)));
  }
  return out;
}

std::shared_ptr<TLWPBEvent> TLWEvent::protoEvent() const {
  // One encoder: the message is what the written bytes decode to.
  const std::vector<std::uint8_t> bytes = protoEventBytes();
  return TLWPBEvent::initWithBuffer(std::span<const std::uint8_t>(bytes));
}

std::shared_ptr<TLWEvent> TLWEvent::initWithEventProto(const TLWPBEvent& proto) {
  const std::string eventName = proto.GetString(TLWPBEvent::kName).value_or("");
  TLWParameters parameters;
  std::string origin;
  for (const auto& param : proto.GetRepeated<TLWPBEventParam>(TLWPBEvent::kParams)) {
    auto paramName = nameOf(*param);
    if (!paramName) {
      tlw_model::log(2, 15000, "Ignoring parameter. Parameter name is nil. Event name", platform::Value(eventName));
      continue;
    }
    if (*paramName == kOriginKey) {
      auto s = param->GetString(TLWPBEventParam::kStringValue);
      if (!s) {
        tlw_model::log(2, 15001, "Cannot create an event from event proto. Origin parameter is not a string. Event name",
                       platform::Value(eventName));
        return nullptr;
      }
      origin = *s;
      continue;
    }
    // protoEvent writes arrays as nested lists; reading them back keeps a stored event
    // whole (a conditional property's triggered event, a complex event's main event).
    std::optional<TLWValue> value = scalarOf(*param);
    if (!value) value = arrayOf(*param, false);
    if (!value) {
      tlw_model::log(5, 15002,
                     "Unknown event parameter type from converting an event proto into TLWEvent instance. Event param "
                     "name",
                     platform::Value(*paramName));
      continue;
    }
    parameters.emplace(std::move(*paramName), std::move(*value));
  }
  return initWithOrigin(origin, false, eventName, secondsOf(proto.GetInt64(TLWPBEvent::kTimestamp)),
                        secondsOf(proto.GetInt64(TLWPBEvent::kPreviousTimestamp)), parameters);
}

std::shared_ptr<TLWEvent> TLWEvent::initWithStoredEventProto(const TLWPBEvent& proto,
                                                             std::optional<std::string_view> name,
                                                             std::optional<double> timestamp, TLWError* error) {
  auto malformed = [&] {
    TLWSetError(error, TLWError::errorWithCode(2, "Failed to parse event params from data"));
    return nullptr;
  };
  TLWParameters parameters;
  std::optional<std::string> origin;
  bool originNotString = false;
  for (const auto& param : proto.GetRepeated<TLWPBEventParam>(TLWPBEvent::kParams)) {
    auto paramName = nameOf(*param);
    if (!paramName) return malformed();
    if (*paramName == kOriginKey) {
      auto s = param->GetString(TLWPBEventParam::kStringValue);
      if (s) origin = std::move(*s);
      else originNotString = true;
      continue;
    }
    std::optional<TLWValue> value = scalarOf(*param);
    if (!value) value = arrayOf(*param, true);
    if (!value) return malformed();
    parameters.emplace(std::move(*paramName), std::move(*value));
  }
  if (originNotString) {
    TLWSetError(error, TLWError::errorWithCode(2, "Cannot create an event from database. Origin parameter is not a string"));
    return nullptr;
  }
  if (!origin) {
    TLWSetError(error, TLWError::errorWithCode(2, "Cannot create an event from database. Missing origin parameter"));
    return nullptr;
  }
  std::string eventName = name ? std::string(*name) : proto.GetString(TLWPBEvent::kName).value_or("");
  const double ts = timestamp ? *timestamp : secondsOf(proto.GetInt64(TLWPBEvent::kTimestamp));
  auto event = initWithOrigin(*origin, false, eventName, ts, secondsOf(proto.GetInt64(TLWPBEvent::kPreviousTimestamp)),
                              parameters);
  if (!event) TLWSetError(error, TLWError::errorWithCode(2, "Failed to initialize raw event data from dictionary"));
  return event;
}
