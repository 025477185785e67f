#pragma once
// TLWInAppPurchaseReporting: what the engine needs of the in-app purchase subsystem:
// whether the running app version is the one first installed (first open's "_fi"), the
// duplicate filter over store transactions, and the ad-network registration call.
//
// Thread-safety: any thread; filterPurchaseTransactions calls back on the worker queue.
//
// The default (TLWNoInAppPurchaseReporter) treats the running version as the original
// one, lets every transaction through and registers nothing.

#include <functional>

#include "platform/Value.h"

class TLWInAppPurchaseReporting {
 public:
  virtual ~TLWInAppPurchaseReporting() = default;
  virtual bool isVersionSameAsOriginalVersion() = 0;
  // Calls `callback` with the transactions that are not duplicates.
  virtual void filterPurchaseTransactions(const platform::Array& transactions,
                                          const std::function<void(const platform::Array&)>& callback) = 0;
  virtual void registerAppForAdNetworkAttribution() = 0;
};

class TLWNoInAppPurchaseReporter : public TLWInAppPurchaseReporting {
 public:
  bool isVersionSameAsOriginalVersion() override { return true; }
  void filterPurchaseTransactions(const platform::Array& transactions,
                                  const std::function<void(const platform::Array&)>& callback) override {
    if (callback) callback(transactions);
  }
  void registerAppForAdNetworkAttribution() override {}
};
