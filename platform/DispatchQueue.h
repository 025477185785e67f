#pragma once
// Serial dispatch queues, the main queue, one-shot timers and the one-lane operation queue.
//
// Thread-safety: every operation may be called from any thread. Blocks submitted to one
// queue run one at a time, in submission order per producer. Each queue owns one thread
// (started by the first async block, parked while idle), so a synchronous hop never waits
// for a pool thread the target needs.
//
// Ownership and lifetime: a queue lives while anyone holds it. Destroying it never waits:
// its thread finishes the blocks already queued and then ends, so a queue may be released
// from one of its own blocks. Timers and after() blocks that come due once the queue is
// gone are dropped.
//
// Blocks must not throw; one that does is logged and dropped, and the queue goes on with
// the next block (sync rethrows to its caller once the queue is released).

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

enum class QueuePriority { UserInteractive, UserInitiated, Default, Utility, Background };

class DispatchQueue {
 public:
  using Block = std::function<void()>;

  // A new serial queue with its own thread.
  static std::shared_ptr<DispatchQueue> create(std::string label, QueuePriority priority = QueuePriority::Default);
  // The main queue: drained only by the thread running the main run loop (see MainRunLoop)
  // or explicitly by a test through drainMain().
  static std::shared_ptr<DispatchQueue> main();
  // A process-wide serial queue per priority, for work that has no queue of its own.
  static std::shared_ptr<DispatchQueue> global(QueuePriority priority);

  virtual ~DispatchQueue() = default;

  virtual const std::string& label() const = 0;
  virtual QueuePriority priority() const = 0;

  virtual void async(Block block) = 0;

  // As async, except that when the queue is idle (nothing queued or running) and its
  // asynchronous blocks may still start, the block runs at once on the caller's thread
  // while the queue is held, as sync would run it: no thread is woken and nothing can be
  // overtaken. For short blocks. The main queue always queues.
  virtual void asyncOrRunIfIdle(Block block) = 0;

  // Runs the block on this queue and returns after it ran. The block runs on the caller's
  // thread while the queue is held: at once when the queue is idle, otherwise when every
  // block queued before it has run. Refused (logged, returns false, the block does not
  // run) when the calling thread already holds this queue, directly or through nested
  // syncs, which would deadlock. The main queue is the exception: its blocks run on the
  // thread draining it, so a sync onto it waits for MainRunLoop (or drainMain) to get there.
  [[nodiscard]] virtual bool sync(const Block& block) = 0;

  // Runs the block on this queue after `delay` (monotonic: setting the wall clock neither
  // delays nor hastens it), unless the returned handle is cancelled first.
  class Cancellable {
   public:
    virtual ~Cancellable() = default;
    virtual void cancel() = 0;
    virtual bool isCancelled() const = 0;
  };
  virtual std::shared_ptr<Cancellable> after(std::chrono::nanoseconds delay, Block block) = 0;

  // True when the calling thread is running a block of this queue, also from inside
  // nested syncs onto other queues made by that block.
  virtual bool isCurrent() const = 0;
  // The label of the innermost queue the calling thread is running a block of, or ""
  // outside any queue.
  static std::string currentLabel();

  // For a normal process exit, after the last work that must finish was waited for: no
  // queue with its own thread starts another asynchronous block (they stay queued for
  // good; syncs still get their turn), then waits up to `timeout` for the blocks already
  // running on other threads. True when none is left running. Static objects destroyed
  // after this are no longer used by queued work.
  static bool closeForProcessExit(std::chrono::milliseconds timeout);

  // Helpers that hold the owner weakly: the block is a no-op once the owner is gone.
  template <class Owner, class F>
  void asyncWeak(const std::shared_ptr<Owner>& owner, F&& f) {
    async([weak = std::weak_ptr<Owner>(owner), f = std::forward<F>(f)]() mutable {
      if (auto strong = weak.lock()) f(*strong);
    });
  }
  template <class Owner, class F>
  [[nodiscard]] bool syncWeak(const std::shared_ptr<Owner>& owner, F&& f) {
    return sync([weak = std::weak_ptr<Owner>(owner), &f] {
      if (auto strong = weak.lock()) f(*strong);
    });
  }
};

// The main queue's run loop. The thread that calls run() adopts the main queue and drains
// it until stop() is called. Tests may call drainMain() from their own thread instead.
class MainRunLoop {
 public:
  // Runs the main queue on the calling thread until stop(); returns then.
  static void run();
  // Runs until `done` is true or `timeout` passed; returns whether `done` became true.
  static bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  static void stop();
  // Runs every block queued on the main queue now (and those they queue), then returns.
  static std::size_t drainMain();
  // True on the thread that is running or draining the main queue.
  static bool isMainThread();
};

// A one-shot timer bound to a queue: due at wall-clock now + delay (a deadline: a clock set
// forward or back moves it; use DispatchQueue::after for delays), fires at most once,
// re-armed by schedule(), stopped by cancel(). The handler may re-arm the same timer.
class DispatchTimer {
 public:
  // Null when `queue` is null. The timer holds its queue; a pending firing holds the timer
  // weakly, so destroying the timer cancels it.
  static std::shared_ptr<DispatchTimer> create(std::shared_ptr<DispatchQueue> queue);
  virtual ~DispatchTimer() = default;
  // Replaces any armed timer.
  virtual void schedule(std::chrono::nanoseconds delay, DispatchQueue::Block handler) = 0;
  virtual void cancel() = 0;
  // Armed and not yet fired or cancelled.
  virtual bool isActive() const = 0;
};

// A serial operation queue with one lane that can be suspended: blocks added while
// suspended are held and released in order on resume; nothing added later overtakes them.
// Suspending holds the operations not yet started; the running one finishes. Operations
// run one at a time on the queue's own thread, labelled with `label`; one that throws is
// logged and dropped, and the next one runs.
class OperationQueue {
 public:
  static std::shared_ptr<OperationQueue> create(std::string label, bool suspended);
  virtual ~OperationQueue() = default;
  virtual void addOperation(DispatchQueue::Block block) = 0;
  // Runs `block` at once on the calling thread when the queue is resumed and holds no
  // operation, waiting or running (nothing can be overtaken then); otherwise adds it as
  // addOperation does. For short blocks that do not use this queue: it stays taken while
  // the block runs.
  virtual void addOperationOrRunIfIdle(DispatchQueue::Block block) = 0;
  virtual void setSuspended(bool suspended) = 0;
  virtual bool isSuspended() const = 0;
  // Blocks until every operation added so far has run (tests). While the queue is
  // suspended with operations held, this waits until it is resumed. Called from one of
  // its own operations it returns at once (logged) instead of deadlocking.
  virtual void waitUntilAllOperationsAreFinished() = 0;
};

}  // namespace platform
