#pragma once
// TLWLifetimeValueRecorder: keeps the running purchase total per currency as the internal
// user properties "_ltv_<CUR>" (micro-units of the currency, integer). The event write
// transaction calls it first for every purchase ("_iap", "ecommerce_purchase",
// "purchase") and refund ("refund") event.
//
// Thread-safety: called only on the measurement worker queue, inside the event's
// database transaction; holds no mutable state of its own.
// Ownership: the write path owns it; the settings accessor it is given must outlive it.
// Failure: bad parameters are logged and leave the totals alone (the event is still
// written). A database failure, a value that does not fit 64-bit micro-units, or a total
// that would overflow returns false; the caller then rolls back the transaction, so the
// stored totals stay as they were.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "measurement/reporters/TLWLifetimeValueRecording.h"

class TLWMonitor;
class TLWValue;
namespace platform {
class Clock;
}

class TLWLifetimeValueRecorder final : public TLWLifetimeValueRecording {
 public:
  struct Dependencies {
    // measurement.lifetimevalue.max_currency_tracked; null: 4.
    std::function<std::int32_t()> maxTrackedCurrencies;
    std::shared_ptr<platform::Clock> clock;  // null: the current environment's
    std::shared_ptr<TLWMonitor> monitor;     // null: the shared monitor
  };

  explicit TLWLifetimeValueRecorder(Dependencies dependencies);

  static bool isPurchaseEventName(std::string_view name);
  static bool isEcommercePurchaseEventName(std::string_view name);
  // The micro-unit amount an event's "value" stands for, or nullopt when it does not fit
  // a signed 64-bit integer (NaN and infinities never do).
  static std::optional<std::int64_t> amountForEvent(std::string_view eventName, const TLWValue& value);

  bool isPurchaseEvent(const TLWEvent& event) override;
  bool recordLifetimeValueToDatabase(TLWDatabase& database, const TLWEvent& event) override;

 private:
  Dependencies deps_;
};
