#include "measurement/model/TLWUserAttribute.h"

#include "measurement/model/TLWDataTypeValidator.h"

std::shared_ptr<TLWUserAttribute> TLWUserAttribute::initWithOrigin(std::string_view origin, std::string_view name,
                                                                   const TLWValue& value, double lastSetTimestamp) {
  if (!TLWDataTypeValidator::isValidInternalUserAttributeName(name)) return nullptr;
  if (!TLWDataTypeValidator::isValidInternalUserAttributeValue(value, name)) return nullptr;
  return std::make_shared<TLWUserAttribute>(Token{}, std::string(origin), std::string(name), value, lastSetTimestamp);
}
