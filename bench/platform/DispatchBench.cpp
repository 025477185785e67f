// Dispatch costs on the paths the library takes most: the synchronous hop of every public
// call onto an idle queue, and the asynchronous hand-off to a queue's thread.

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "measurement/scheduler/TLWScheduler.h"
#include "platform/DispatchQueue.h"

namespace {

// sync onto an idle queue from a thread that is not the queue's own (target: <= 1 us).
void BM_SyncOnIdleQueue(benchmark::State& state) {
  auto queue = platform::DispatchQueue::create("bench.sync", platform::QueuePriority::Background);
  std::uint64_t counter = 0;
  for (auto _ : state) {
    bool ok = queue->sync([&] { ++counter; });
    benchmark::DoNotOptimize(ok);
  }
  benchmark::DoNotOptimize(counter);
}
BENCHMARK(BM_SyncOnIdleQueue);

// The same through the scheduler's exception barrier.
void BM_SchedulerDispatchSyncOnIdleWorker(benchmark::State& state) {
  auto scheduler = TLWScheduler::initWithWorkerQueueLabel("bench.worker");
  std::uint64_t counter = 0;
  for (auto _ : state) {
    bool ok = scheduler->dispatchSyncOnWorkerQueueBlockID("DispatchBench:1", [&] { ++counter; });
    benchmark::DoNotOptimize(ok);
  }
  benchmark::DoNotOptimize(counter);
}
BENCHMARK(BM_SchedulerDispatchSyncOnIdleWorker);

// async onto a parked queue until the block starts on the queue's thread (target: <= 20 us).
// Timed manually from just before async() to the block's first instruction.
void BM_AsyncUntilRunOnQueueThread(benchmark::State& state) {
  auto queue = platform::DispatchQueue::create("bench.async", platform::QueuePriority::Background);
  using Clock = std::chrono::steady_clock;
  std::atomic<Clock::rep> startedAt{0};
  for (auto _ : state) {
    // Let the queue's thread park, as it does between the engine's blocks.
    std::this_thread::sleep_for(std::chrono::microseconds(50));
    startedAt.store(0, std::memory_order_relaxed);
    auto before = Clock::now();
    queue->async([&] {
      startedAt.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
      startedAt.notify_one();
    });
    // Block rather than spin: on a small machine a spinning waiter takes the core the
    // queue's thread needs.
    startedAt.wait(0, std::memory_order_acquire);
    Clock::rep at = startedAt.load(std::memory_order_acquire);
    state.SetIterationTime(std::chrono::duration<double>(Clock::duration(at) - before.time_since_epoch()).count());
  }
}
BENCHMARK(BM_AsyncUntilRunOnQueueThread)->UseManualTime();

// async while the queue is already busy: the cost to the producer alone.
void BM_AsyncEnqueueOnly(benchmark::State& state) {
  auto queue = platform::DispatchQueue::create("bench.enqueue", platform::QueuePriority::Background);
  std::atomic<std::uint64_t> ran{0};
  for (auto _ : state) queue->async([&] { ran.fetch_add(1, std::memory_order_relaxed); });
  bool drained = queue->sync([] {});
  benchmark::DoNotOptimize(drained);
  state.counters["ran"] = static_cast<double>(ran.load());
}
BENCHMARK(BM_AsyncEnqueueOnly);

}  // namespace
