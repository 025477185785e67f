#include "measurement/monitor/TLWError.h"

#include <utility>

TLWError::TLWError(std::string domain, std::int64_t code, platform::Dictionary userInfo)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

TLWError TLWError::errorWithCode(std::int64_t code, std::string_view description) {
  platform::Dictionary info;
  if (!description.empty()) info.set(platform::Value(kTLWLocalizedDescriptionKey), platform::Value(description));
  return TLWError(std::string(kTLWErrorDomain), code, std::move(info));
}

TLWError TLWError::errorWithCode(std::int64_t code, std::string_view description, std::string_view monitorContext) {
  TLWError error = errorWithCode(code, description);
  error.userInfo_.set(platform::Value(kTLWMonitorContextKey), platform::Value(monitorContext));
  return error;
}

std::string TLWError::localizedDescription() const {
  const platform::Value* v = userInfo_.find(kTLWLocalizedDescriptionKey);
  return v && v->isString() ? *v->string() : std::string();
}

std::optional<std::string> TLWError::monitorContext() const {
  const platform::Value* v = userInfo_.find(kTLWMonitorContextKey);
  if (!v || !v->isString()) return std::nullopt;
  return *v->string();
}

platform::Value TLWError::asValue() const { return platform::Value(std::make_shared<TLWError>(*this)); }

std::string TLWError::description() const {
  std::string out = "Error Domain=" + domain_ + " Code=" + std::to_string(code_);
  std::string text = localizedDescription();
  if (!text.empty()) out += " \"" + text + "\"";
  if (!userInfo_.empty()) out += " UserInfo=" + platform::Value(userInfo_).description();
  return out;
}

bool TLWError::isEqual(const platform::ValueObject& other) const {
  const auto* e = dynamic_cast<const TLWError*>(&other);
  return e && e->domain_ == domain_ && e->code_ == code_ && e->userInfo_ == userInfo_;
}
