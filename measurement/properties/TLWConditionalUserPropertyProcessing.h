#pragma once
// What the event write path asks of conditional user properties for each event. The
// default does nothing observable.
//
// Thread-safety: every call comes from the measurement worker queue.
// Ownership: the engine owns the implementation and hands a shared reference to the
// write pipeline.

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
