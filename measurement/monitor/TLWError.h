#pragma once
// Error records: a domain, an integer code, a description and an optional monitor context.
// Failures are values: operations return false / nullopt / null and fill an optional
// `TLWError* error` out-parameter.
//
// Thread-safety: a TLWError is a plain value; copy it freely.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Value.h"

inline constexpr std::string_view kTLWErrorDomain = "com.vorlix.zel.measurement.ErrorDomain";
inline constexpr std::string_view kTLWMonitorContextKey = "TLWMonitorContext";
inline constexpr std::string_view kTLWLocalizedDescriptionKey = "NSLocalizedDescription";

class TLWError : public platform::ValueObject {
 public:
  TLWError() = default;
  TLWError(std::string domain, std::int64_t code, platform::Dictionary userInfo = {});

  // tlw_errorWithCode:description: and tlw_errorWithCode:description:monitorContext:
  // (library domain; the description only when non-empty).
  static TLWError errorWithCode(std::int64_t code, std::string_view description);
  static TLWError errorWithCode(std::int64_t code, std::string_view description, std::string_view monitorContext);

  const std::string& domain() const { return domain_; }
  std::int64_t code() const { return code_; }
  const platform::Dictionary& userInfo() const { return userInfo_; }
  // The description, or "" when none was given.
  std::string localizedDescription() const;
  // The "TLWMonitorContext" string, when one was given.
  std::optional<std::string> monitorContext() const;
  bool isLibraryError() const { return domain_ == kTLWErrorDomain; }

  // The error as a Value, e.g. a monitor context.
  platform::Value asValue() const;

  std::string className() const override { return "TLWError"; }
  std::string description() const override;
  bool isEqual(const platform::ValueObject& other) const override;

 private:
  std::string domain_;
  std::int64_t code_ = 0;
  platform::Dictionary userInfo_;
};

// Fills `out` when the caller passed one.
inline void TLWSetError(TLWError* out, TLWError error) {
  if (out) *out = std::move(error);
}

// Check-or-fail: true when `condition` holds, otherwise fills `out` and returns false.
inline bool TLWCheck(bool condition, TLWError* out, std::int64_t code, std::string_view description) {
  if (condition) return true;
  TLWSetError(out, TLWError::errorWithCode(code, description));
  return false;
}

// Check-or-fail for an object: true when `object` is present (a non-null pointer or an
// engaged optional), otherwise fills `out` and returns false.
template <class T>
bool TLWCheckPresent(const T& object, TLWError* out, std::int64_t code, std::string_view description) {
  return TLWCheck(static_cast<bool>(object), out, code, description);
}

// An exception caught by a barrier, carried as a log context.
class TLWException : public platform::ValueObject {
 public:
  TLWException(std::string name, std::string reason, std::vector<std::string> callStackSymbols = {})
      : name_(std::move(name)), reason_(std::move(reason)), symbols_(std::move(callStackSymbols)) {}
  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  const std::vector<std::string>& callStackSymbols() const { return symbols_; }
  std::string className() const override { return "TLWException"; }
  std::string description() const override { return name_ + ": " + reason_; }

 private:
  std::string name_, reason_;
  std::vector<std::string> symbols_;
};
