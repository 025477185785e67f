#pragma once
// What the event write path asks of conditional user properties for each event
// (TLWConditionalUserPropertyController implements it).
//
// Thread-safety: every call comes from the measurement worker queue.
// Ownership: the engine owns the implementation and hands a shared reference to the
// write pipeline.

#include <memory>
#include <optional>
#include <vector>

class TLWEvent;

// TLWConditionalUserPropertyController's per-event step: the events it wants written
// after the current one (possibly none), or nullopt when processing failed.
class TLWConditionalUserPropertyProcessing {
 public:
  virtual ~TLWConditionalUserPropertyProcessing() = default;
  virtual std::optional<std::vector<std::shared_ptr<TLWEvent>>> processEventOnWorkerQueue(const TLWEvent& event) = 0;
};
