#pragma once
// Narrow interfaces through which the event write path reaches subsystems that are built
// later (conditional user properties, lifetime value, the purchase receipt check). Each
// default does nothing observable, so the write path works without them.
//
// Thread-safety: every call comes from the measurement worker queue.
// Ownership: the engine owns the implementations and hands shared references to the
// pipeline.

#include <memory>
#include <optional>
#include <vector>

class TLWDatabase;
class TLWEvent;

// TLWConditionalUserPropertyController's per-event step: the events it wants written
// after the current one (possibly none), or nullopt when processing failed.
class TLWConditionalUserPropertyProcessing {
 public:
  virtual ~TLWConditionalUserPropertyProcessing() = default;
  virtual std::optional<std::vector<std::shared_ptr<TLWEvent>>> processEventOnWorkerQueue(const TLWEvent& event) {
    (void)event;
    return std::vector<std::shared_ptr<TLWEvent>>{};
  }
};

// TLWLifetimeValueRecorder, as the write transaction uses it.
class TLWLifetimeValueRecording {
 public:
  virtual ~TLWLifetimeValueRecording() = default;
  virtual bool isPurchaseEvent(const TLWEvent& event) {
    (void)event;
    return false;
  }
  // Runs inside the write transaction; false rolls it back.
  virtual bool recordLifetimeValueToDatabase(TLWDatabase& database, const TLWEvent& event) {
    (void)database;
    (void)event;
    return true;
  }
};

// The purchase subsystem's receipt facts, read when "_iap" events are bundled.
class TLWPurchaseReceiptChecking {
 public:
  virtual ~TLWPurchaseReceiptChecking() = default;
  // The store receipt is a sandbox receipt (TLWAEU isASRS).
  virtual bool isSandboxReceipt() { return false; }
  // The once-per-process receipt check passed.
  virtual bool isReceiptValidated() { return false; }
};
