#pragma once
// What bundling asks of the purchase subsystem's receipt facts.
//
// Thread-safety: every call comes from the measurement worker queue.
// Ownership: the engine owns the implementation (its purchase reporter) and hands a shared
// reference to the write pipeline.

// The purchase subsystem's receipt facts, read when "_iap" events are bundled.
class TLWPurchaseReceiptChecking {
 public:
  virtual ~TLWPurchaseReceiptChecking() = default;
  // The store receipt is a sandbox receipt (its file is named "sandboxReceipt").
  virtual bool isSandboxReceipt() = 0;
  // The once-per-process receipt check passed.
  virtual bool isReceiptValidated() = 0;
};
