#pragma once
// TLWInAppPurchaseReporting: what the engine needs of the in-app purchase subsystem:
// whether the running app version is the one first installed (first open's "_fi"), the
// duplicate filter over store transactions, the report of the transactions that passed it,
// the ad-network registration call, and (as TLWPurchaseReceiptChecking) the receipt facts
// bundling adds to "_iap".
//
// Thread-safety: any thread; filterPurchaseTransactions runs on the worker queue and calls
// back on a global queue.

#include <functional>

#include "measurement/reporters/TLWPurchaseReceiptChecking.h"
#include "platform/Value.h"

class TLWInAppPurchaseReporting : public TLWPurchaseReceiptChecking {
 public:
  ~TLWInAppPurchaseReporting() override = default;
  virtual bool isVersionSameAsOriginalVersion() = 0;
  // Worker queue: calls `callback` with the purchased transactions that are not duplicates.
  virtual void filterPurchaseTransactions(const platform::Array& transactions,
                                          const std::function<void(const platform::Array&)>& callback) = 0;
  // The filtered transactions become purchase events.
  virtual void paymentQueueUpdatedFilteredTransactions(const platform::Array& transactions) = 0;
  virtual void registerAppForAdNetworkAttribution() = 0;
};
