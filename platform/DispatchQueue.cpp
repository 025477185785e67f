#include "platform/DispatchQueue.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/VXLLogger.h"

namespace platform {
namespace {

constexpr std::string_view kLogService = "[Tallywise/Dispatch]";

// "%" is the escape character of the logger's messages; labels come from callers.
std::string escapePercent(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    out.push_back(c);
    if (c == '%') out.push_back('%');
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// Queue state shared by the public queue object, its thread and pending timers.

struct SyncWaiter {
  bool granted = false;  // guarded by the queue's mutex
  std::condition_variable cv;
};

struct Item {
  DispatchQueue::Block block;
  SyncWaiter* waiter = nullptr;  // set for a sync caller waiting for its turn
};

struct QueueState;

// The queues the calling thread holds, innermost last: a block running on a queue's
// thread, or a sync block running inline on its caller's thread.
// Plain data, not a container: the main thread's thread-local objects are destroyed before
// the process's exit handlers run, and those may still dispatch.
struct HeldStack {
  static constexpr int kCapacity = 64;
  const QueueState* queues[kCapacity];
  int depth = 0;  // may exceed kCapacity; the queues past it are not recorded
  const QueueState* const* begin() const { return queues; }
  const QueueState* const* end() const { return queues + std::min(depth, kCapacity); }
};
thread_local HeldStack tHeld;
// Depth of MainRunLoop::run/runUntil/drainMain on this thread.
thread_local int tMainLoopDepth = 0;

// Closed once the process is exiting: see closeForProcessExit. Never destroyed.
struct ExitGate {
  std::atomic<bool> closed{false};
  std::atomic<int> running{0};  // asynchronous blocks running on queue threads
  std::mutex mutex;
  std::condition_variable idle;
};
// Set on the threads of queues: they run asynchronous blocks only.
thread_local bool tQueueThread = false;
ExitGate& exitGate() {
  static ExitGate& gate = *new ExitGate();
  return gate;
}
// Set only by tests (platform/testing/DispatchQueueHooks.h), to hold a worker there.
std::atomic<void (*)()> gExitGateWindowHook{nullptr};

bool heldByThisThread(const QueueState* state) {
  return std::find(tHeld.begin(), tHeld.end(), state) != tHeld.end();
}

class HeldScope {
 public:
  explicit HeldScope(const QueueState* state) {
    if (tHeld.depth < HeldStack::kCapacity) tHeld.queues[tHeld.depth] = state;
    ++tHeld.depth;
  }
  ~HeldScope() { --tHeld.depth; }
  HeldScope(const HeldScope&) = delete;
  HeldScope& operator=(const HeldScope&) = delete;
};

void workerLoop(std::shared_ptr<QueueState> state);

struct QueueState : std::enable_shared_from_this<QueueState> {
  QueueState(std::string l, QueuePriority p, bool own) : label(std::move(l)), priority(p), ownThread(own) {}

  const std::string label;
  const QueuePriority priority;
  const bool ownThread;  // false for the main queue, drained by MainRunLoop

  std::mutex mutex;
  std::condition_variable cv;  // the draining thread waits here
  std::deque<Item> items;
  bool busy = false;  // a block of this queue is running (on its thread or inline)
  bool threadStarted = false;
  bool stopping = false;  // the public queue is gone: drain and end
  bool stopLoop = false;  // main queue only: MainRunLoop::stop() was called

  // Queues the item (moving from it); false, leaving it untouched, when the queue is gone
  // or its thread cannot start. Called with `mutex` held. Sets `wake` when the draining
  // thread must be notified (after unlocking): a holder's release() wakes it otherwise.
  bool pushLocked(Item& item, bool& wake) {
    if (stopping || !startThreadLocked()) return false;
    // A sync waiter is always announced: once the process is closing for exit, the drain
    // waits for one even while async blocks are queued.
    wake = item.waiter || (!busy && items.empty());
    items.push_back(std::move(item));
    return true;
  }

  void enqueue(DispatchQueue::Block block) {
    Item item{std::move(block), nullptr};
    bool wake = false;
    // Once unlocked, the block may run and release the last reference to this queue.
    std::shared_ptr<QueueState> keep;
    {
      std::lock_guard lock(mutex);
      pushLocked(item, wake);
      if (wake) keep = shared_from_this();
    }
    // A refused block is destroyed only after the lock is released (item outlives lock).
    if (wake) cv.notify_all();
  }

  bool startThreadLocked() {
    if (!ownThread || threadStarted) return true;
    try {
      std::thread(workerLoop, shared_from_this()).detach();
      threadStarted = true;
      return true;
    } catch (const std::exception& e) {
      VXLLogError(kLogService, true, "I-DSP000002",
                  "Could not start the thread of queue " + escapePercent(label) + ": " + escapePercent(e.what()));
      return false;
    }
  }

  // Marks the queue released by the current holder and wakes whoever is next.
  void release() {
    bool wake = false;
    {
      std::lock_guard lock(mutex);
      busy = false;
      wake = !items.empty() || stopping;
    }
    if (wake) cv.notify_all();
  }

  void shutdown() {
    std::lock_guard lock(mutex);
    stopping = true;
    cv.notify_all();
  }
};

// Runs one block while the thread holds the queue; an escaping exception is logged and
// dropped so that the queue goes on.
void runHeldBlock(const QueueState* state, DispatchQueue::Block& block) {
  HeldScope held(state);
  try {
    if (block) block();
  } catch (const std::exception& e) {
    VXLLogError(kLogService, true, "I-DSP000003",
                "A block on queue " + escapePercent(state->label) + " raised an exception: " + escapePercent(e.what()));
  } catch (...) {
    VXLLogError(kLogService, true, "I-DSP000003",
                "A block on queue " + escapePercent(state->label) + " raised an exception");
  }
}

void nameThread(const std::string& label) {
  // Thread names are limited to 15 bytes; the tail of a reverse-DNS label says the most.
  std::string name = label.size() > 15 ? label.substr(label.size() - 15) : label;
  pthread_setname_np(pthread_self(), name.c_str());
}

void leaveRunning(ExitGate& gate) {
  gate.running.fetch_sub(1, std::memory_order_seq_cst);
  if (gate.closed.load(std::memory_order_seq_cst)) {
    std::lock_guard wake(gate.mutex);
    gate.idle.notify_all();
  }
}

void workerLoop(std::shared_ptr<QueueState> state) {
  nameThread(state->label);
  tQueueThread = true;
  std::unique_lock lock(state->mutex);
  for (;;) {
    state->cv.wait(lock, [&] { return !state->busy && (!state->items.empty() || state->stopping); });
    if (state->items.empty()) break;  // the queue is gone and everything ran
    ExitGate& gate = exitGate();
    // Counted before `closed` is read: a closer that reads the count after closing either
    // sees this block or is seen here (both sides sequentially consistent).
    gate.running.fetch_add(1, std::memory_order_seq_cst);
    if (auto hook = gExitGateWindowHook.load(std::memory_order_relaxed)) hook();
    if (gate.closed.load(std::memory_order_seq_cst)) {
      leaveRunning(gate);
      // Only a sync caller may still take the queue; its block runs on its own thread.
      auto waiting = std::find_if(state->items.begin(), state->items.end(), [](const Item& i) { return i.waiter; });
      if (waiting == state->items.end()) {
        state->cv.wait(lock);
        continue;
      }
      SyncWaiter* waiter = waiting->waiter;
      state->items.erase(waiting);
      state->busy = true;
      waiter->granted = true;
      waiter->cv.notify_one();
      continue;
    }
    Item item = std::move(state->items.front());
    state->items.pop_front();
    state->busy = true;
    if (item.waiter) {
      leaveRunning(gate);
      // Hand the queue to the sync caller; it releases it when its block has run.
      item.waiter->granted = true;
      item.waiter->cv.notify_one();
      continue;
    }
    lock.unlock();
    runHeldBlock(state.get(), item.block);
    item.block = nullptr;
    leaveRunning(gate);
    lock.lock();
    state->busy = false;
  }
}

void logRefusedSync(const QueueState* state) {
  VXLLogError(kLogService, false, "I-DSP000001",
              "Synchronous dispatch onto queue " + escapePercent(state->label) +
                  " from a thread that already holds it was refused; it would deadlock");
}

// ---------------------------------------------------------------------------------------
// Timers: one process-wide thread per clock keeps every armed timer ordered by due time.
// Delays (after()) wait on the monotonic clock, so setting the clock neither delays nor
// hastens them; DispatchTimer is a wall-clock deadline, so a clock jump moves it.

template <class ClockT>
class TimerService {
 public:
  using Clock = ClockT;
  using Key = std::pair<typename Clock::time_point, std::uint64_t>;

  static TimerService& instance() {
    // Never destroyed: its thread may run until the process ends.
    static TimerService* service = new TimerService();
    return *service;
  }

  Key add(std::chrono::nanoseconds delay, std::function<void()> fire) {
    std::lock_guard lock(mutex_);
    Key key{Clock::now() + std::chrono::duration_cast<typename Clock::duration>(delay), ++sequence_};
    entries_.emplace(key, std::move(fire));
    if (!started_) {
      std::thread([this] { loop(); }).detach();
      started_ = true;
    }
    cv_.notify_all();
    return key;
  }

  void remove(const Key& key) {
    std::function<void()> dropped;
    std::lock_guard lock(mutex_);
    auto it = entries_.find(key);
    if (it == entries_.end()) return;
    dropped = std::move(it->second);
    entries_.erase(it);
  }

 private:
  void loop() {
    nameThread(std::is_same_v<Clock, std::chrono::steady_clock> ? "dispatch.delays" : "dispatch.timers");
    std::unique_lock lock(mutex_);
    for (;;) {
      if (entries_.empty()) {
        cv_.wait(lock);
        continue;
      }
      auto first = entries_.begin();
      typename Clock::time_point due = first->first.first;
      if (Clock::now() < due) {
        cv_.wait_until(lock, due);
        continue;
      }
      std::function<void()> fire = std::move(first->second);
      entries_.erase(first);
      lock.unlock();
      fire();
      fire = nullptr;
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::map<Key, std::function<void()>> entries_;
  std::uint64_t sequence_ = 0;
  bool started_ = false;
};

using DelayTimers = TimerService<std::chrono::steady_clock>;
using WallClockTimers = TimerService<std::chrono::system_clock>;

// Dropping the handle does not cancel: the pending block shares the flag, not the handle.
class AfterHandle final : public DispatchQueue::Cancellable {
 public:
  AfterHandle() : cancelled_(std::make_shared<std::atomic<bool>>(false)) {}
  const std::shared_ptr<std::atomic<bool>>& flag() const { return cancelled_; }
  void setKey(DelayTimers::Key key) {
    std::lock_guard lock(mutex_);
    key_ = key;
  }
  void cancel() override {
    cancelled_->store(true);
    std::optional<DelayTimers::Key> key;
    {
      std::lock_guard lock(mutex_);
      key = std::exchange(key_, std::nullopt);
    }
    if (key) DelayTimers::instance().remove(*key);
  }
  bool isCancelled() const override { return cancelled_->load(); }

 private:
  const std::shared_ptr<std::atomic<bool>> cancelled_;
  std::mutex mutex_;
  std::optional<DelayTimers::Key> key_;
};

std::shared_ptr<DispatchQueue::Cancellable> scheduleAfter(const std::shared_ptr<QueueState>& state,
                                                         std::chrono::nanoseconds delay, DispatchQueue::Block block) {
  auto handle = std::make_shared<AfterHandle>();
  std::weak_ptr<QueueState> weakState = state;
  auto key = DelayTimers::instance().add(delay, [weakState, flag = handle->flag(), block = std::move(block)]() mutable {
    if (flag->load()) return;
    auto target = weakState.lock();
    if (!target) return;
    // Checked again on the queue: a cancel that comes after this point still wins.
    target->enqueue([flag, block = std::move(block)] {
      if (!flag->load()) block();
    });
  });
  handle->setKey(key);
  return handle;
}

// ---------------------------------------------------------------------------------------

class SerialQueue final : public DispatchQueue {
 public:
  SerialQueue(std::string label, QueuePriority priority)
      : state_(std::make_shared<QueueState>(std::move(label), priority, true)) {}
  ~SerialQueue() override { state_->shutdown(); }

  const std::string& label() const override { return state_->label; }
  QueuePriority priority() const override { return state_->priority; }

  void async(Block block) override { state_->enqueue(std::move(block)); }

  bool sync(const Block& block) override {
    QueueState* state = state_.get();
    if (heldByThisThread(state)) {
      logRefusedSync(state);
      return false;
    }
    // Kept alive here: the block may release the last reference to this queue.
    std::shared_ptr<QueueState> keep = state_;
    {
      std::unique_lock lock(state->mutex);
      if (state->busy || !state->items.empty()) {
        SyncWaiter waiter;
        Item turn{nullptr, &waiter};
        bool wake = false;
        if (!state->pushLocked(turn, wake)) return false;
        if (wake) state->cv.notify_all();
        waiter.cv.wait(lock, [&] { return waiter.granted; });
      } else {
        state->busy = true;
      }
    }
    struct Release {
      QueueState* state;
      ~Release() { state->release(); }
    } release{state};
    HeldScope held(state);
    if (block) block();
    return true;
  }

  void asyncOrRunIfIdle(Block block) override {
    QueueState* state = state_.get();
    // Kept alive here: the block may release the last reference to this queue.
    std::shared_ptr<QueueState> keep = state_;
    Item item{std::move(block), nullptr};
    bool wake = false;
    bool runHere = false;
    {
      std::lock_guard lock(state->mutex);
      // Idle means not held, so a caller inside one of this queue's blocks always queues.
      runHere = !state->busy && state->items.empty() && !state->stopping &&
                !exitGate().closed.load(std::memory_order_acquire);
      if (runHere) {
        state->busy = true;
      } else {
        state->pushLocked(item, wake);
      }
    }
    if (wake) state->cv.notify_all();
    // A refused block is destroyed here, outside the lock.
    if (!runHere) return;
    struct Release {
      QueueState* state;
      ~Release() { state->release(); }
    } release{state};
    runHeldBlock(state, item.block);
  }

  std::shared_ptr<Cancellable> after(std::chrono::nanoseconds delay, Block block) override {
    return scheduleAfter(state_, delay, std::move(block));
  }

  bool isCurrent() const override { return heldByThisThread(state_.get()); }

 private:
  std::shared_ptr<QueueState> state_;
};

// The main queue has no thread of its own; MainRunLoop drains it.
class MainQueue final : public DispatchQueue {
 public:
  MainQueue() : state_(std::make_shared<QueueState>("main", QueuePriority::UserInteractive, false)) {}

  const std::string& label() const override { return state_->label; }
  QueuePriority priority() const override { return state_->priority; }
  void async(Block block) override { state_->enqueue(std::move(block)); }
  // Main blocks run only on the thread draining the main queue.
  void asyncOrRunIfIdle(Block block) override { state_->enqueue(std::move(block)); }

  bool sync(const Block& block) override {
    if (heldByThisThread(state_.get())) {
      logRefusedSync(state_.get());
      return false;
    }
    struct Completion {
      std::mutex mutex;
      std::condition_variable cv;
      bool done = false;
      std::exception_ptr error;
    };
    auto completion = std::make_shared<Completion>();
    state_->enqueue([completion, &block] {
      std::exception_ptr error;
      try {
        if (block) block();
      } catch (...) {
        error = std::current_exception();
      }
      std::lock_guard lock(completion->mutex);
      completion->error = error;
      completion->done = true;
      completion->cv.notify_all();
    });
    std::unique_lock lock(completion->mutex);
    completion->cv.wait(lock, [&] { return completion->done; });
    if (completion->error) std::rethrow_exception(completion->error);
    return true;
  }

  std::shared_ptr<Cancellable> after(std::chrono::nanoseconds delay, Block block) override {
    return scheduleAfter(state_, delay, std::move(block));
  }

  bool isCurrent() const override { return heldByThisThread(state_.get()); }

  QueueState& state() { return *state_; }

 private:
  std::shared_ptr<QueueState> state_;
};

const std::shared_ptr<MainQueue>& mainQueuePtr() {
  // Never destroyed: blocks and timers may reach it until the process ends.
  static auto* queue = new std::shared_ptr<MainQueue>(std::make_shared<MainQueue>());
  return *queue;
}

MainQueue& mainQueueImpl() { return *mainQueuePtr(); }

// Runs the next main-queue block if one is ready now; waits at most until `deadline`
// (or indefinitely when it is nullopt) for one to arrive. Returns whether a block ran;
// sets `stopped` when MainRunLoop::stop() ended the wait.
bool runNextMainBlock(std::optional<std::chrono::steady_clock::time_point> deadline, bool honourStop,
                      bool* stopped) {
  QueueState& state = mainQueueImpl().state();
  std::unique_lock lock(state.mutex);
  auto ready = [&] { return (honourStop && state.stopLoop) || (!state.busy && !state.items.empty()); };
  if (deadline) {
    if (!state.cv.wait_until(lock, *deadline, ready)) return false;
  } else {
    state.cv.wait(lock, ready);
  }
  if (honourStop && state.stopLoop) {
    state.stopLoop = false;
    if (stopped) *stopped = true;
    return false;
  }
  Item item = std::move(state.items.front());
  state.items.pop_front();
  state.busy = true;
  lock.unlock();
  runHeldBlock(&state, item.block);
  item.block = nullptr;
  state.release();
  return true;
}

struct MainLoopScope {
  MainLoopScope() { ++tMainLoopDepth; }
  ~MainLoopScope() { --tMainLoopDepth; }
};

const char* priorityName(QueuePriority priority) {
  switch (priority) {
    case QueuePriority::UserInteractive: return "user-interactive";
    case QueuePriority::UserInitiated: return "user-initiated";
    case QueuePriority::Default: return "default";
    case QueuePriority::Utility: return "utility";
    case QueuePriority::Background: return "background";
  }
  return "default";
}

// ---------------------------------------------------------------------------------------

class TimerImpl final : public DispatchTimer, public std::enable_shared_from_this<TimerImpl> {
 public:
  explicit TimerImpl(std::shared_ptr<DispatchQueue> queue) : queue_(std::move(queue)) {}
  ~TimerImpl() override { cancel(); }

  void schedule(std::chrono::nanoseconds delay, DispatchQueue::Block handler) override {
    std::optional<WallClockTimers::Key> previous;
    {
      std::lock_guard lock(mutex_);
      std::uint64_t generation = ++generation_;
      active_ = true;
      previous = std::exchange(key_, std::nullopt);
      std::weak_ptr<TimerImpl> weak = weak_from_this();
      // The key is stored under the lock so that a cancel racing with this call sees it.
      key_ = WallClockTimers::instance().add(delay, [weak, generation, handler = std::move(handler)]() mutable {
        if (auto self = weak.lock()) self->due(generation, std::move(handler));
      });
    }
    if (previous) WallClockTimers::instance().remove(*previous);
  }

  void cancel() override {
    std::optional<WallClockTimers::Key> previous;
    {
      std::lock_guard lock(mutex_);
      ++generation_;
      active_ = false;
      previous = std::exchange(key_, std::nullopt);
    }
    if (previous) WallClockTimers::instance().remove(*previous);
  }

  bool isActive() const override {
    std::lock_guard lock(mutex_);
    return active_;
  }

 private:
  // On the timer thread: hand the handler to the queue.
  void due(std::uint64_t generation, DispatchQueue::Block handler) {
    {
      std::lock_guard lock(mutex_);
      if (generation != generation_) return;
      key_.reset();
    }
    std::weak_ptr<TimerImpl> weak = weak_from_this();
    queue_->async([weak, generation, handler = std::move(handler)] {
      auto self = weak.lock();
      if (!self) return;
      {
        // A schedule() or cancel() since the timer came due wins over this firing.
        std::lock_guard lock(self->mutex_);
        if (generation != self->generation_ || !self->active_) return;
        self->active_ = false;
      }
      handler();
    });
  }

  const std::shared_ptr<DispatchQueue> queue_;
  mutable std::mutex mutex_;
  std::uint64_t generation_ = 0;
  bool active_ = false;
  std::optional<WallClockTimers::Key> key_;
};

// ---------------------------------------------------------------------------------------

class OperationQueueImpl final : public OperationQueue, public std::enable_shared_from_this<OperationQueueImpl> {
 public:
  OperationQueueImpl(std::string label, bool suspended)
      : lane_(DispatchQueue::create(std::move(label))), suspended_(suspended) {}

  void addOperation(DispatchQueue::Block block) override {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(block));
    pumpLocked();
  }

  void addOperationOrRunIfIdle(DispatchQueue::Block block) override {
    std::unique_lock lock(mutex_);
    if (suspended_ || pumping_ || running_ || !pending_.empty() || lane_->isCurrent()) {
      pending_.push_back(std::move(block));
      pumpLocked();
      return;
    }
    // Held under the lock, so an operation added meanwhile waits behind this one.
    running_ = true;
    runOperation(block);
    running_ = false;
    idle_.notify_all();
  }

  void setSuspended(bool suspended) override {
    std::lock_guard lock(mutex_);
    suspended_ = suspended;
    if (!suspended_) pumpLocked();
  }

  bool isSuspended() const override {
    std::lock_guard lock(mutex_);
    return suspended_;
  }

  void waitUntilAllOperationsAreFinished() override {
    if (lane_->isCurrent()) {
      // An operation waiting for itself to finish would never return.
      VXLLogError(kLogService, false, "I-DSP000004",
                  "An operation on queue " + escapePercent(lane_->label()) +
                      " waited for its own queue to finish; the wait was skipped");
      return;
    }
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return pending_.empty() && !running_; });
  }

 private:
  // One pump at a time takes operations off the front, so the lane keeps their order
  // and a later operation can never overtake held ones.
  void pumpLocked() {
    if (suspended_ || pumping_ || pending_.empty()) return;
    pumping_ = true;
    lane_->async([self = shared_from_this()] { self->pump(); });
  }

  void pump() {
    std::unique_lock lock(mutex_);
    while (!suspended_ && !pending_.empty()) {
      DispatchQueue::Block block = std::move(pending_.front());
      pending_.pop_front();
      running_ = true;
      lock.unlock();
      runOperation(block);
      block = nullptr;
      lock.lock();
      running_ = false;
    }
    pumping_ = false;
    idle_.notify_all();
  }

  // An operation that throws is logged and dropped.
  void runOperation(DispatchQueue::Block& block) {
    try {
      if (block) block();
    } catch (const std::exception& e) {
      VXLLogError(kLogService, true, "I-DSP000003",
                  "An operation on queue " + escapePercent(lane_->label()) + " raised an exception: " +
                      escapePercent(e.what()));
    } catch (...) {
      VXLLogError(kLogService, true, "I-DSP000003",
                  "An operation on queue " + escapePercent(lane_->label()) + " raised an exception");
    }
  }

  const std::shared_ptr<DispatchQueue> lane_;
  mutable std::mutex mutex_;
  std::condition_variable idle_;
  std::deque<DispatchQueue::Block> pending_;
  bool suspended_;
  bool pumping_ = false;
  bool running_ = false;
};

}  // namespace

// ---------------------------------------------------------------------------------------

std::shared_ptr<DispatchQueue> DispatchQueue::create(std::string label, QueuePriority priority) {
  return std::make_shared<SerialQueue>(std::move(label), priority);
}

std::shared_ptr<DispatchQueue> DispatchQueue::main() { return mainQueuePtr(); }

std::shared_ptr<DispatchQueue> DispatchQueue::global(QueuePriority priority) {
  struct Globals {
    std::shared_ptr<DispatchQueue> queues[5];
  };
  // Never destroyed: their threads may run until the process ends.
  static Globals* globals = [] {
    auto* g = new Globals();
    for (auto p : {QueuePriority::UserInteractive, QueuePriority::UserInitiated, QueuePriority::Default,
                   QueuePriority::Utility, QueuePriority::Background}) {
      g->queues[static_cast<int>(p)] = create(std::string("platform.global.") + priorityName(p), p);
    }
    return g;
  }();
  int index = static_cast<int>(priority);
  if (index < 0 || index >= 5) index = static_cast<int>(QueuePriority::Default);
  return globals->queues[index];
}

namespace testing {
void setExitGateWindowHook(void (*hook)()) { gExitGateWindowHook.store(hook, std::memory_order_relaxed); }
}  // namespace testing

bool DispatchQueue::closeForProcessExit(std::chrono::milliseconds timeout) {
  ExitGate& gate = exitGate();
  gate.closed.store(true, std::memory_order_seq_cst);
  // A block that called exit() is still running on this very thread.
  const int own = tQueueThread ? 1 : 0;
  std::unique_lock lock(gate.mutex);
  return gate.idle.wait_for(lock, timeout, [&] { return gate.running.load(std::memory_order_seq_cst) <= own; });
}

std::string DispatchQueue::currentLabel() {
  if (tHeld.depth == 0 || tHeld.depth > HeldStack::kCapacity) return std::string();
  return tHeld.queues[tHeld.depth - 1]->label;
}

void MainRunLoop::run() {
  MainLoopScope scope;
  bool stopped = false;
  while (!stopped) runNextMainBlock(std::nullopt, true, &stopped);
}

bool MainRunLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  MainLoopScope scope;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (done && done()) return true;
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    // `done` may turn true without anything arriving on the main queue: look again soon.
    bool stopped = false;
    runNextMainBlock(std::min(deadline, now + std::chrono::milliseconds(2)), true, &stopped);
    if (stopped) return done && done();
  }
}

void MainRunLoop::stop() {
  QueueState& state = mainQueueImpl().state();
  std::lock_guard lock(state.mutex);
  state.stopLoop = true;
  state.cv.notify_all();
}

std::size_t MainRunLoop::drainMain() {
  MainLoopScope scope;
  std::size_t count = 0;
  QueueState& state = mainQueueImpl().state();
  for (;;) {
    {
      std::lock_guard lock(state.mutex);
      if (state.items.empty()) return count;
    }
    // Waits only while another thread is running a main block.
    if (runNextMainBlock(std::chrono::steady_clock::now() + std::chrono::seconds(3600), false, nullptr)) ++count;
  }
}

bool MainRunLoop::isMainThread() { return tMainLoopDepth > 0; }

std::shared_ptr<DispatchTimer> DispatchTimer::create(std::shared_ptr<DispatchQueue> queue) {
  if (!queue) return nullptr;
  return std::make_shared<TimerImpl>(std::move(queue));
}

std::shared_ptr<OperationQueue> OperationQueue::create(std::string label, bool suspended) {
  return std::make_shared<OperationQueueImpl>(std::move(label), suspended);
}

}  // namespace platform
