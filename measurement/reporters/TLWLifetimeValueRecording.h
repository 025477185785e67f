#pragma once
// What the event write transaction asks of lifetime value (TLWLifetimeValueRecorder).
//
// Thread-safety: every call comes from the measurement worker queue.
// Ownership: the engine owns the implementation and hands a shared reference to the
// write pipeline.

#include <memory>
#include <optional>
#include <vector>

class TLWDatabase;
class TLWEvent;

// TLWLifetimeValueRecorder, as the write transaction uses it.
class TLWLifetimeValueRecording {
 public:
  virtual ~TLWLifetimeValueRecording() = default;
  virtual bool isPurchaseEvent(const TLWEvent& event) = 0;
  // Runs inside the write transaction; false rolls it back.
  virtual bool recordLifetimeValueToDatabase(TLWDatabase& database, const TLWEvent& event) = 0;
};
