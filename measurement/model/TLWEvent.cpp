#include "measurement/model/TLWEvent.h"

#include "measurement/model/TLWAliasTables.h"
#include "measurement/model/TLWDataTypeValidator.h"
#include "measurement/model/TLWModelLog.h"

namespace {

using Validator = TLWDataTypeValidator;

constexpr std::string_view kOriginKey = "_o";
constexpr std::string_view kConversionKey = "_c";
constexpr std::string_view kRealtimeKey = "_r";
constexpr std::string_view kDebugKey = "_dbg";
constexpr std::string_view kErrorKey = "_err";
constexpr std::string_view kScreenNameKey = "_sn";
constexpr std::string_view kScreenClassKey = "_sc";
constexpr std::string_view kScreenIDKey = "_si";

// A screen name or class: a string, or a string TLWValue, of 1 to 100 code points.
bool isValidScreenString(const platform::Value& value) {
  if (const TLWValue* v = TLWValueFromObject(value)) {
    const std::string* s = v->stringValue();
    return s && Validator::isValidScreenParameterValue(*s);
  }
  return Validator::isValidScreenParameterValue(value);
}

void logIfPreviousTimestampIsLater(double timestamp, double previousTimestamp) {
  if (previousTimestamp > timestamp) {
    tlw_model::log(5, 16002, "Event created with previous timestamp after current timestamp");
  }
}

}  // namespace

TLWEvent::TLWEvent(Token, std::string origin, std::string name, double timestamp, double previousTimestamp,
                   TLWParameters parameters)
    : parameters_(std::move(parameters)),
      origin_(std::move(origin)),
      name_(std::move(name)),
      timestamp_(timestamp),
      previousTimestamp_(previousTimestamp) {}

bool TLWEvent::isValidHeader(std::string_view origin, bool isPublic, std::string_view name, double timestamp,
                             double previousTimestamp) {
  std::int64_t code = 0;
  if (!Validator::isValidForwardedEventOrigin(origin, &code)) {
    if (code != Validator::kFailureNotForwardedOrigin) return false;
    if (!Validator::isValidInternalEventOrigin(origin)) return false;
  }
  // The public check includes the internal one (same length, stricter characters).
  if (isPublic ? !Validator::isValidPublicEventName(name) : !Validator::isValidInternalEventName(name)) return false;
  logIfPreviousTimestampIsLater(timestamp, previousTimestamp);
  return true;
}

std::shared_ptr<TLWEvent> TLWEvent::finish(std::string_view origin, std::string_view name, double timestamp,
                                           double previousTimestamp, TLWParameters sanitized) {
  sanitized.insert_or_assign(std::string(kOriginKey), TLWValue::initWithString(origin));
  auto event = std::make_shared<TLWEvent>(Token{}, std::string(origin), std::string(name), timestamp,
                                          previousTimestamp, std::move(sanitized));
  if (event->shouldValidateParams() && !Validator::isValidValueAndCurrency(event->parameters_)) {
    event->parameters_.erase(std::string(kConversionKey));
  }
  return event;
}

std::shared_ptr<TLWEvent> TLWEvent::initWithOrigin(std::string_view origin, bool isPublic, std::string_view name,
                                                   double timestamp, double previousTimestamp,
                                                   const platform::Dictionary& parameters) {
  if (!isValidHeader(origin, isPublic, name, timestamp, previousTimestamp)) return nullptr;
  return finish(origin, name, timestamp, previousTimestamp,
                Validator::sanitizeParameters(parameters, name, isPublic, false));
}

std::shared_ptr<TLWEvent> TLWEvent::initWithOrigin(std::string_view origin, bool isPublic, std::string_view name,
                                                   double timestamp, double previousTimestamp,
                                                   const TLWParameters& parameters) {
  if (!isValidHeader(origin, isPublic, name, timestamp, previousTimestamp)) return nullptr;
  return finish(origin, name, timestamp, previousTimestamp,
                Validator::sanitizeParameters(parameters, name, isPublic, false));
}

// The parameters were sanitised when the event was made; a copy keeps them as they are.
std::shared_ptr<TLWEvent> TLWEvent::copyWithPreviousTimestamp(double previousTimestamp) const {
  logIfPreviousTimestampIsLater(timestamp_, previousTimestamp);
  auto event = copy();
  event->previousTimestamp_ = previousTimestamp;
  return event;
}

std::shared_ptr<TLWEvent> TLWEvent::copyWithParameters(const TLWParameters& parameters) const {
  return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp_, parameters);
}

std::shared_ptr<TLWEvent> TLWEvent::copyWithParameters(const platform::Dictionary& parameters) const {
  return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp_, parameters);
}

std::shared_ptr<TLWEvent> TLWEvent::copy() const { return std::make_shared<TLWEvent>(*this); }

bool TLWEvent::parameterIsOne(std::string_view key) const {
  auto it = parameters_.find(key);
  return it != parameters_.end() && it->second.isInt64() && it->second.int64Value() == 1;
}

bool TLWEvent::shouldValidateParams() const { return isConversion() || name_ == "ad_impression" || name_ == "_ai"; }

bool TLWEvent::isConversion() const { return parameterIsOne(kConversionKey); }

bool TLWEvent::isDebug() const { return parameterIsOne(kDebugKey); }

bool TLWEvent::isRealtime() const {
  auto it = parameters_.find(kRealtimeKey);
  if (it == parameters_.end()) return false;
  if (it->second.isInt64()) return it->second.int64Value() == 1;
  tlw_model::log(2, 16006, "Realtime parameter must be an int64. Event name", platform::Value(name_));
  return false;
}

void TLWEvent::setRealtime(bool realtime) {
  if (realtime) {
    parameters_.insert_or_assign(std::string(kRealtimeKey), TLWValue::initWithInt64(1));
  } else {
    parameters_.erase(std::string(kRealtimeKey));
  }
}

void TLWEvent::setDebug(bool debug) {
  if (debug) {
    parameters_.insert_or_assign(std::string(kDebugKey), TLWValue::initWithInt64(1));
  } else {
    parameters_.erase(std::string(kDebugKey));
  }
}

void TLWEvent::setConversion(bool conversion) {
  if (conversion) {
    if (!Validator::isValidValueAndCurrency(parameters_)) return;
    parameters_.insert_or_assign(std::string(kConversionKey), TLWValue::initWithInt64(1));
    auto err = parameters_.find(kErrorKey);
    if (err != parameters_.end() && err->second.isInt64() &&
        err->second.int64Value() == Validator::kErrorConversionEventLimitReached) {
      parameters_.erase(err);
    }
    return;
  }
  auto c = parameters_.find(kConversionKey);
  if (c == parameters_.end()) return;
  parameters_.erase(c);
  Validator::recordErrorCode(parameters_, Validator::kErrorConversionEventLimitReached);
}

void TLWEvent::applyParameters(const platform::Dictionary& parameters) {
  if (parameters.empty()) return;
  TLWParameters merged = Validator::sanitizeParameters(parameters, "", true, false);
  if (merged.empty()) return;
  for (const auto& [name, value] : parameters_) merged.insert_or_assign(name, value);
  parameters_ = std::move(merged);
}

bool TLWEvent::addScreenParameters(const platform::Dictionary& screen) {
  if (screen.empty()) return false;
  if (parameters_.contains(kScreenNameKey) || parameters_.contains(kScreenClassKey) ||
      parameters_.contains(kScreenIDKey)) {
    return false;
  }
  const platform::Value* screenID = screen.find(kScreenIDKey);
  if (!screenID) return false;
  const platform::Value* screenClass = screen.find(kScreenClassKey);
  if (screenClass && !isValidScreenString(*screenClass)) {
    tlw_model::log(3, 16003, "Received invalid screen class", *screenClass);
    return false;
  }
  const TLWValue* typedID = TLWValueFromObject(*screenID);
  if (typedID ? !typedID->isInt64() : !screenID->isNumber()) return false;
  const platform::Value* screenName = screen.find(kScreenNameKey);
  if (screenName && !isValidScreenString(*screenName)) {
    tlw_model::log(3, 16004, "Received invalid screen name", *screenName);
    return false;
  }
  std::optional<TLWValue> id = TLWValue::valueFromObject(*screenID);
  std::optional<TLWValue> cls = screenClass ? TLWValue::valueFromObject(*screenClass) : std::nullopt;
  std::optional<TLWValue> nm = screenName ? TLWValue::valueFromObject(*screenName) : std::nullopt;
  if (!id || (screenClass && !cls) || (screenName && !nm)) return false;
  parameters_.insert_or_assign(std::string(kScreenIDKey), std::move(*id));
  if (cls) parameters_.insert_or_assign(std::string(kScreenClassKey), std::move(*cls));
  if (nm) parameters_.insert_or_assign(std::string(kScreenNameKey), std::move(*nm));
  return true;
}

TLWEvent::EditForm TLWEvent::editEvent() const {
  EditForm form;
  form.name = TLWAliasTables::longEventName(name_);
  form.timestamp = timestamp_;
  for (const auto& [name, value] : parameters_) form.parameters.set(platform::Value(name), value.plainObject());
  return form;
}

std::shared_ptr<TLWEvent> TLWEvent::eventFromEditEvent(const EditForm& editEvent) {
  const platform::Value* origin = editEvent.parameters.find(kOriginKey);
  std::string originString = origin && origin->isString() ? *origin->string() : std::string("app");
  return initWithOrigin(originString, false, TLWAliasTables::shortEventName(editEvent.name), editEvent.timestamp, 0,
                        editEvent.parameters);
}

std::string TLWEvent::description() const {
  std::string out = "<TLWEvent origin: ";
  out.append(origin_).append(", name: ").append(name_);
  out.append(", timestamp: ").append(std::to_string(timestamp_));
  out.append(", previous timestamp: ").append(std::to_string(previousTimestamp_));
  out.append(", parameters: ").append(TLWParametersDescription(parameters_)).append(">");
  return out;
}
