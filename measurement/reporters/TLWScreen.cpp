#include "measurement/reporters/TLWScreen.h"

#include "measurement/model/TLWDataTypeValidator.h"

bool TLWScreen::isValidScreenValue(const platform::Value& value, std::int64_t* failureCode) {
  const std::string* s = value.string();
  if (!s) {
    if (failureCode) *failureCode = 1;
    return false;
  }
  return TLWDataTypeValidator::isValidScreenParameterValue(TLWObjectRef(*s), failureCode);
}

void TLWScreen::addParameters(platform::Dictionary& parameters, bool previous) const {
  parameters.set(previous ? "_pi" : "_si", static_cast<long long>(instanceID));
  if (className) {
    if (className->empty() || !TLWDataTypeValidator::isValidScreenParameterValue(TLWObjectRef(*className))) return;
    parameters.set(previous ? "_pc" : "_sc", *className);
  }
  if (name && TLWDataTypeValidator::isValidScreenParameterValue(TLWObjectRef(*name))) {
    parameters.set(previous ? "_pn" : "_sn", *name);
  }
}
