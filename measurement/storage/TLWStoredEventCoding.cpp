#include "measurement/storage/TLWStoredEventCoding.h"

#include <limits>

#include "measurement/proto/TLWPBMeasurementBatch.h"

namespace tlw_storage {

namespace {

constexpr double kEpsilon = 2.220446049250313e-16;

std::int64_t toMilliseconds(double seconds) {
  double ms = seconds * 1000.0;
  if (!(ms == ms)) return 0;
  if (ms >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
  if (ms <= -9.2e18) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(ms);
}

std::shared_ptr<TLWPBEventParam> paramMessage(const std::string& name, const TLWValue& value, bool allowArray) {
  auto param = TLWPBEventParam::initWithMessageInfo();
  if (!name.empty()) param->SetString(TLWPBEventParam::kName, name);
  if (const std::string* s = value.stringValue()) {
    param->SetString(TLWPBEventParam::kStringValue, *s);
  } else if (value.isInt64()) {
    param->SetInt64(TLWPBEventParam::kIntValue, value.int64Value());
  } else if (value.isDouble()) {
    param->SetDouble(TLWPBEventParam::kDoubleValue, value.doubleValue());
  } else if (const TLWValueArray* items = value.arrayValue()) {
    if (!allowArray) return nullptr;
    for (const TLWParameters& element : *items) {
      auto child = TLWPBEventParam::initWithMessageInfo();
      for (const auto& [k, v] : element) {
        if (auto grand = paramMessage(k, v, false)) child->AddRepeatedMessage(TLWPBEventParam::kParamValue, *grand);
      }
      param->AddRepeatedMessage(TLWPBEventParam::kParamValue, *child);
    }
  } else {
    return nullptr;
  }
  return param;
}

// A scalar parameter value: string, then integer, then double.
std::optional<TLWValue> scalarOf(const TLWPBEventParam& param) {
  if (auto s = param.GetString(TLWPBEventParam::kStringValue)) return TLWValue::initWithString(*s);
  if (param.HasField(TLWPBEventParam::kIntValue)) return TLWValue::initWithInt64(param.GetInt64(TLWPBEventParam::kIntValue));
  if (param.HasField(TLWPBEventParam::kDoubleValue)) {
    return TLWValue::initWithDouble(param.GetDouble(TLWPBEventParam::kDoubleValue));
  }
  return std::nullopt;
}

}  // namespace

std::shared_ptr<TLWPBEvent> eventMessageFromEvent(const TLWEvent& event, bool includeName) {
  auto message = TLWPBEvent::initWithMessageInfo();
  if (includeName) message->SetString(TLWPBEvent::kName, event.name());
  if (event.previousTimestamp() > kEpsilon) {
    message->SetInt64(TLWPBEvent::kPreviousTimestamp, toMilliseconds(event.previousTimestamp()));
  }
  if (event.timestamp() > kEpsilon) message->SetInt64(TLWPBEvent::kTimestamp, toMilliseconds(event.timestamp()));
  for (const auto& [name, value] : event.parameters()) {
    if (auto param = paramMessage(name, value, true)) message->AddRepeatedMessage(TLWPBEvent::kParams, *param);
  }
  return message;
}

std::optional<std::vector<std::uint8_t>> serializedEvent(const TLWEvent& event, bool includeName) {
  return eventMessageFromEvent(event, includeName)->protoBuffer();
}

std::shared_ptr<TLWEvent> eventFromStoredBytes(const std::vector<std::uint8_t>& bytes,
                                               const std::optional<std::string>& name,
                                               const std::optional<double>& timestamp, TLWError* error) {
  auto message = TLWPBEvent::initWithBuffer(std::span<const std::uint8_t>(bytes.data(), bytes.size()));
  if (!message) {
    TLWSetError(error, TLWError::errorWithCode(3, "Failed to parse event from data"));
    return nullptr;
  }
  TLWParameters parameters;
  std::optional<std::string> origin;
  bool originNotString = false;
  for (const auto& param : message->GetRepeated<TLWPBEventParam>(TLWPBEvent::kParams)) {
    auto paramName = param->GetString(TLWPBEventParam::kName);
    if (!paramName || paramName->empty()) {
      TLWSetError(error, TLWError::errorWithCode(2, "Failed to parse event params from data"));
      return nullptr;
    }
    if (*paramName == "_o") {
      auto s = param->GetString(TLWPBEventParam::kStringValue);
      if (!s) originNotString = true;
      else origin = *s;
      continue;
    }
    if (auto scalar = scalarOf(*param)) {
      parameters.emplace(*paramName, *scalar);
      continue;
    }
    auto elements = param->GetRepeated<TLWPBEventParam>(TLWPBEventParam::kParamValue);
    if (elements.empty()) {
      TLWSetError(error, TLWError::errorWithCode(2, "Failed to parse event params from data"));
      return nullptr;
    }
    TLWValueArray items;
    for (const auto& element : elements) {
      TLWParameters item;
      for (const auto& inner : element->GetRepeated<TLWPBEventParam>(TLWPBEventParam::kParamValue)) {
        auto innerName = inner->GetString(TLWPBEventParam::kName);
        auto innerValue = scalarOf(*inner);
        if (!innerName || innerName->empty() || !innerValue) {
          TLWSetError(error, TLWError::errorWithCode(2, "Failed to parse event params from data"));
          return nullptr;
        }
        item.emplace(*innerName, *innerValue);
      }
      items.push_back(std::move(item));
    }
    parameters.emplace(*paramName, TLWValue::initWithArray(std::move(items)));
  }
  if (originNotString) {
    TLWSetError(error, TLWError::errorWithCode(2, "Cannot create an event from database. Origin parameter is not a string"));
    return nullptr;
  }
  if (!origin) {
    TLWSetError(error, TLWError::errorWithCode(2, "Cannot create an event from database. Missing origin parameter"));
    return nullptr;
  }
  std::string eventName = name ? *name : message->GetString(TLWPBEvent::kName).value_or("");
  double ts = timestamp ? *timestamp : static_cast<double>(message->GetInt64(TLWPBEvent::kTimestamp)) / 1000.0;
  double previous = static_cast<double>(message->GetInt64(TLWPBEvent::kPreviousTimestamp)) / 1000.0;
  auto event = TLWEvent::initWithOrigin(*origin, false, eventName, ts, previous, parameters);
  if (!event) {
    TLWSetError(error, TLWError::errorWithCode(2, "Failed to initialize raw event data from dictionary"));
    return nullptr;
  }
  return event;
}

}  // namespace tlw_storage
