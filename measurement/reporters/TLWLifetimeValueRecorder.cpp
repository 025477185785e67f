#include "measurement/reporters/TLWLifetimeValueRecorder.h"

#include <cmath>
#include <string>

#include "measurement/model/TLWEvent.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/model/TLWValue.h"
#include "measurement/monitor/TLWError.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/storage/TLWDatabase.h"
#include "platform/Environment.h"

namespace {

constexpr std::string_view kPrefix = "_ltv_";
constexpr double kMicrosPerUnit = 1000000.0;
// 2^63: the first double outside int64 on the positive side; -2^63 is inside.
constexpr double kTwoTo63 = 9223372036854775808.0;

std::optional<std::int64_t> checkedInt64(double value) {
  if (!std::isfinite(value) || value >= kTwoTo63 || value < -kTwoTo63) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

std::size_t codePointCount(std::string_view text) {
  std::size_t count = 0;
  for (unsigned char c : text) count += (c & 0xC0) != 0x80;
  return count;
}

const TLWValue* parameter(const TLWEvent& event, std::string_view name) {
  const auto& parameters = event.parameters();
  auto it = parameters.find(name);
  return it == parameters.end() ? nullptr : &it->second;
}

}  // namespace

TLWLifetimeValueRecorder::TLWLifetimeValueRecorder(Dependencies dependencies) : deps_(std::move(dependencies)) {
  if (!deps_.clock) deps_.clock = platform::Environment::current()->clock();
  if (!deps_.monitor) deps_.monitor = TLWMonitor::sharedInstance();
}

bool TLWLifetimeValueRecorder::isEcommercePurchaseEventName(std::string_view name) {
  return name == "ecommerce_purchase" || name == "purchase" || name == "refund";
}

bool TLWLifetimeValueRecorder::isPurchaseEventName(std::string_view name) {
  return name == "_iap" || isEcommercePurchaseEventName(name);
}

bool TLWLifetimeValueRecorder::isPurchaseEvent(const TLWEvent& event) { return isPurchaseEventName(event.name()); }

std::optional<std::int64_t> TLWLifetimeValueRecorder::amountForEvent(std::string_view eventName,
                                                                     const TLWValue& value) {
  std::optional<std::int64_t> amount;
  if (isEcommercePurchaseEventName(eventName)) {
    if (value.isInt64()) {
      std::int64_t micros = 0;
      if (!__builtin_mul_overflow(value.int64Value(), std::int64_t{1000000}, &micros)) amount = micros;
    } else {
      amount = checkedInt64(std::round(value.doubleValue() * kMicrosPerUnit));
    }
    if (amount && eventName == "refund") {
      std::int64_t negated = 0;
      amount = __builtin_sub_overflow(std::int64_t{0}, *amount, &negated) ? std::nullopt
                                                                            : std::optional(negated);
    }
  } else {
    amount = value.isInt64() ? std::optional(value.int64Value()) : checkedInt64(std::trunc(value.doubleValue()));
  }
  return amount;
}

bool TLWLifetimeValueRecorder::recordLifetimeValueToDatabase(TLWDatabase& database, const TLWEvent& event) {
  if (!isPurchaseEvent(event)) return true;
  auto& monitor = *deps_.monitor;
  const TLWValue* currency = parameter(event, "currency");
  if (!currency || !currency->isString() || codePointCount(*currency->stringValue()) != 3) {
    monitor.logWithLevel(1, 22000, "Cannot record transaction with invalid currency code",
                         currency ? currency->asObject() : platform::Value());
    return true;
  }
  const TLWValue* value = parameter(event, "value");
  if (!value || !(value->isDouble() || value->isInt64())) {
    monitor.logWithLevel(1, 22001, "Cannot record transaction with invalid transaction value");
    return true;
  }
  auto amount = amountForEvent(event.name(), *value);
  if (!amount) {
    monitor.logWithLevel(1, 22002, "Cannot record transaction with value that is out of bounds");
    return false;
  }
  std::string name(kPrefix);
  for (char c : *currency->stringValue()) name += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;

  TLWError error;
  auto existing = database.allLifetimeValueUserAttributes(&error);
  if (!existing) {
    monitor.logWithLevel(1, 22003, "Failed to query all Lifetime Value User properties. Error", error.asValue());
    return false;
  }
  std::shared_ptr<TLWUserAttribute> current;
  for (const auto& attribute : *existing) {
    if (attribute && attribute->name() == name) current = attribute;
  }
  std::int64_t total = *amount;
  if (current) {
    // A stored total the new amount would push past 64 bits stays as it is.
    if (__builtin_add_overflow(current->value().int64Value(), *amount, &total)) {
      monitor.logWithLevel(1, 22002, "Cannot record transaction with value that is out of bounds");
      return false;
    }
  }
  auto updated = TLWUserAttribute::initWithOrigin("auto", name, TLWValue::initWithInt64(total), deps_.clock->now());
  if (!updated) {
    monitor.logWithLevel(1, 22000, "Cannot record transaction with invalid currency code", currency->asObject());
    return true;
  }
  const std::int32_t limit = deps_.maxTrackedCurrencies ? deps_.maxTrackedCurrencies() : 4;
  if (!current && !existing->empty() && static_cast<std::int64_t>(existing->size()) >= limit) {
    const auto& oldest = existing->back();
    if (!database.deleteUserAttributeWithName(oldest->name(), &error)) {
      monitor.logWithLevel(1, 22004, "Unable to delete Lifetime Value User property. Name, error",
                           platform::Value(oldest->name()), error.asValue());
      return false;
    }
  }
  if (!database.updateUserAttribute(updated.get(), &error)) {
    monitor.logWithLevel(1, 22005, "Unable to upsert Lifetime Value User Attribute in database. Name, error",
                         platform::Value(name), error.asValue());
    return false;
  }
  monitor.logWithLevel(7, 22006, "Lifetime value has been updated in database");
  return true;
}
