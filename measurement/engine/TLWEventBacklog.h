#pragma once
// TLWEventBacklog: the events handed to the engine that wait for the worker queue. Each
// waits as one plain record in a bounded first-in-first-out list (no scheduled block per
// event); one drain block on the worker takes them in order and stores them several to a
// transaction (TLWEventPipeline::drainBacklog). The number of waiting events is capped
// (kDefaultCapacity); a call made while the backlog is full is refused, logged and
// counted, so a burst can never grow memory without limit and the caller never waits.
// Records the drain has taken count against the cap until it settles them (stored or
// dropped by a rule) or puts them back (the database was busy or full): then they wait at
// the front, in their order, and the next drain runs after a delay.
//
// Ordering: records are numbered from the scheduler's counter, the same one that numbers
// every block scheduled through it, and take() hands out a record only while no block
// numbered before it is still waiting. Events and other engine calls therefore run in
// the order they were made, as if each event were a block of its own.
//
// Thread-safety: push, refusal counts and size may be called from any thread; take,
// finishDrain and the drain's own calls run on the worker queue only. Every call but the
// refusal counts holds one mutex for a few instructions.
// Ownership: the engine owns it; it holds the scheduler strongly.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/engine/TLWEventInterceptor.h"
#include "platform/Value.h"

class TLWScheduler;

// One event call as the front controller hands it to the engine.
struct TLWEventCall {
  std::string origin;
  std::string name;
  // The caller's dictionary, shared rather than copied; anything else reads as empty.
  platform::Value parameters;
  std::optional<platform::Dictionary> addedScreenParameters;
  TLWEventInterceptor interceptor;  // empty unless the app set one
  double timestamp = 0;
  bool isPublicEvent = false;
  bool enabled = false;
  bool ignoreEnabled = false;
  bool ignoreInterceptor = false;
  std::uint64_t sequence = 0;  // set by push

  const platform::Dictionary& parameterDictionary() const;
};

class TLWEventBacklog {
 public:
  // About a second of the worker's slowest sustained ingest. A waiting call with five
  // parameters costs about 1.2 KiB (bench_memory), so the backlog stays near 24 MiB.
  static constexpr std::size_t kDefaultCapacity = 20000;

  enum class PushResult {
    kQueued,         // a drain is already on its way
    kQueuedFirst,    // the caller must schedule a drain (scheduleDrainIfNeeded does)
    kRefused,        // the backlog is full; the call was counted
  };

  explicit TLWEventBacklog(std::shared_ptr<TLWScheduler> scheduler, std::size_t capacity = kDefaultCapacity);

  // Any thread. Numbers the call and appends it unless the backlog is full.
  PushResult push(TLWEventCall call);
  // Any thread, without the lock (a caller's admission check): true while the records
  // waiting or taken and `onTheirWay` calls not pushed yet fill less than the capacity.
  bool hasRoomFor(std::size_t onTheirWay) const noexcept {
    return occupied_.load(std::memory_order_relaxed) + onTheirWay < capacity_;
  }
  // Any thread. Counts a call refused before it reached push (hasRoomFor said no), as
  // push counts its own refusals; the total so far.
  std::uint64_t countRefusal();

  // Worker queue. The oldest record when it may run now: numbered at most `upTo` and no
  // block scheduled before it still waiting. It keeps its room until settleTaken or
  // putBack.
  std::optional<TLWEventCall> take(std::uint64_t upTo);
  // True when a record numbered at most `upTo` waits.
  bool hasRecordThrough(std::uint64_t upTo);
  // Worker queue: the records taken so far are done with; their room is free again.
  void settleTaken();
  // Worker queue: the records taken so far (all of them, in the order taken) wait again
  // at the front; the next drain runs after `retryDelaySeconds` (continueDrain).
  void putBack(std::vector<TLWEventCall> calls, double retryDelaySeconds);
  // Worker queue: drops the waiting records numbered below `sequence`; how many.
  std::size_t discardBefore(std::uint64_t sequence);
  // The number of the newest record pushed so far (0 when none).
  std::uint64_t newestSequence();
  // Worker queue, at the end of a drain: true when records remain, so the drain must be
  // scheduled again; false when it is done (the next push asks for a new one).
  bool finishDrain();
  // Worker queue, at the end of a drain: when records remain, `drain` runs again right
  // after the block that holds the oldest back, or else at the end of the worker queue;
  // after putBack, once its delay has passed.
  void continueDrain(std::function<void()> drain);

  // Records waiting or taken and not yet settled.
  std::size_t size();
  std::size_t capacity() const { return capacity_; }
  // Calls refused since the last takeRefusedCount (the drain reports them).
  std::uint64_t takeRefusedCount();
  // Calls refused since the backlog was made.
  std::uint64_t refusedTotal();

 private:
  std::shared_ptr<TLWScheduler> scheduler_;
  const std::size_t capacity_;
  std::mutex mutex_;
  std::deque<TLWEventCall> records_;
  std::size_t taken_ = 0;
  // records_.size() + taken_, published under the lock for hasRoomFor.
  std::atomic<std::size_t> occupied_{0};
  double retryDelay_ = 0;
  std::uint64_t newest_ = 0;
  bool drainScheduled_ = false;
  // Counted without the lock: a caller refused at a full backlog must not wait for the worker.
  std::atomic<std::uint64_t> refusedSinceReport_{0};
  std::atomic<std::uint64_t> refusedTotal_{0};
};
