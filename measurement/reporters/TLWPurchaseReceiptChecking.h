#pragma once
// What bundling asks of the purchase subsystem's receipt facts. The default answers no.
//
// Thread-safety: every call comes from the measurement worker queue.
// Ownership: the engine owns the implementation and hands a shared reference to the
// write pipeline.

#include <memory>
#include <optional>
#include <vector>

class TLWDatabase;
class TLWEvent;

// The purchase subsystem's receipt facts, read when "_iap" events are bundled.
class TLWPurchaseReceiptChecking {
 public:
  virtual ~TLWPurchaseReceiptChecking() = default;
  // The store receipt is a sandbox receipt (TLWAEU isASRS).
  virtual bool isSandboxReceipt() { return false; }
  // The once-per-process receipt check passed.
  virtual bool isReceiptValidated() { return false; }
};
