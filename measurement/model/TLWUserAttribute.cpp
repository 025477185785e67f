#include "measurement/model/TLWUserAttribute.h"

#include "measurement/model/TLWDataTypeValidator.h"
#include "measurement/model/TLWMilliseconds.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"

std::shared_ptr<TLWUserAttribute> TLWUserAttribute::initWithOrigin(std::string_view origin, std::string_view name,
                                                                   const TLWValue& value, double lastSetTimestamp) {
  if (!TLWDataTypeValidator::isValidInternalUserAttributeName(name)) return nullptr;
  if (!TLWDataTypeValidator::isValidInternalUserAttributeValue(value, name)) return nullptr;
  return std::make_shared<TLWUserAttribute>(Token{}, std::string(origin), std::string(name), value, lastSetTimestamp);
}

std::shared_ptr<TLWPBUserAttribute> TLWUserAttribute::protoUserAttribute() const {
  auto message = TLWPBUserAttribute::initWithMessageInfo();
  message->SetString(TLWPBUserAttribute::kName, name_);
  if (value_.isDouble()) {
    message->SetDouble(TLWPBUserAttribute::kDoubleValue, value_.doubleValue());
  } else if (value_.isInt64()) {
    message->SetInt64(TLWPBUserAttribute::kIntValue, value_.int64Value());
  } else if (const std::string* s = value_.stringValue()) {
    message->SetString(TLWPBUserAttribute::kStringValue, *s);
  }
  message->SetInt64(TLWPBUserAttribute::kSetTimestamp, tlw_model::millisecondsFromSeconds(lastSetTimestamp_));
  return message;
}
