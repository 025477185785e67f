#pragma once
// TLWPRunState: what bounds and owns one runtime's evaluation: the instruction counter,
// the evaluation and call depth, the memory a run may allocate, the regular-expression
// time, and the arena of containers (scopes, arrays, maps, functions).
//
// Every container is held by the arena as well as by its users, so no container is ever
// freed by a cascade of reference counts (a chain of a million nested arrays would
// overflow the native stack). collect() marks what the roots reach and empties the rest
// one by one, which also frees reference cycles (a function stored in the scope it closes
// over).
//
// Thread-safety: one runtime, one queue at a time. The state in force is found through a
// thread-local pointer set by TLWPRunState::Enter for the length of a run.
//
// Ownership: the runtime owns its state; the destructor empties every container it holds.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "measurement/script/TLWPRuntimeValue.h"

#include <unicode/utypes.h>

U_NAMESPACE_BEGIN
class RegexPattern;
U_NAMESPACE_END

class TLWPRunState {
 public:
  static constexpr std::int32_t kInstructionBudget = 1000000;
  // Slots walked and code units scanned by the instructions of one run.
  static constexpr std::int64_t kWorkBudget = 4 * 1024 * 1024;
  // Nested evaluations (statements inside statements, across calls) and program calls.
  static constexpr std::int32_t kMaxEvaluationDepth = 1024;
  static constexpr std::int32_t kMaxCallDepth = 512;
  // The memory one run may allocate, in units of a UTF-16 code unit (2 bytes): 4 Mi units,
  // 8 MiB. Array and map slots weigh kSlotWeight units, containers kContainerWeight.
  static constexpr std::int64_t kAllocationBudget = 4 * 1024 * 1024;
  // What a program may keep between runs (reachable from its scopes, modules and
  // callbacks), in the same units: 2 Mi units, 4 MiB.
  static constexpr std::int64_t kRetainedBudget = 2 * 1024 * 1024;
  // Longest string a program may build.
  static constexpr std::size_t kMaxStringLength = 1024 * 1024;
  // Regular-expression matching time per run.
  static constexpr std::chrono::milliseconds kRegexTimeBudget{50};

  TLWPRunState();
  ~TLWPRunState();
  TLWPRunState(const TLWPRunState&) = delete;
  TLWPRunState& operator=(const TLWPRunState&) = delete;

  // The state of the run in progress on this thread, or null.
  static TLWPRunState* current();

  // Makes `state` current for its lifetime (nests).
  class Enter {
   public:
    explicit Enter(TLWPRunState& state);
    ~Enter();
    Enter(const Enter&) = delete;
    Enter& operator=(const Enter&) = delete;

   private:
    TLWPRunState* previous_;
  };

  // Counts one instruction; false (and `error`) once the budget is spent.
  bool countInstruction(TLWPError& error) {
    if (instructions_ >= kInstructionBudget || work_ > kWorkBudget || allocated_ > kAllocationBudget) {
      error.set(tlwp_error::kResourceExhausted, "Instruction budget exhausted");
      return false;
    }
    ++instructions_;
    return true;
  }
  // Work inside one instruction (slots walked, code units scanned); the next instruction
  // fails once a run has done too much.
  static void addWork(std::size_t units) {
    if (TLWPRunState* s = current()) s->work_ += units;
  }
  std::int32_t instructionCount() const { return instructions_; }
  // Resets the counter and the per-run allowances.
  void resetForRun();

  // Charges `units` against the run's allocation budget; false (and `error`) once spent.
  bool charge(std::int64_t units, TLWPError& error);
  // Charges through the current state, when there is one.
  static bool chargeCurrent(std::int64_t units, TLWPError& error) {
    TLWPRunState* s = current();
    return !s || s->charge(units, error);
  }
  // Array and map slots weigh what eight code units do.
  static constexpr std::int64_t kSlotWeight = 8;
  // A scope, array, map or function with its bookkeeping.
  static constexpr std::int64_t kContainerWeight = 64;
  static bool chargeSlots(std::int64_t slots, TLWPError& error) {
    // Past the budget in any case: no product below may overflow.
    if (slots > kAllocationBudget) slots = kAllocationBudget + 1;
    return chargeCurrent(slots * kSlotWeight, error);
  }

  std::int32_t evaluationDepth = 0;
  std::int32_t callDepth = 0;

  // Registers a container with the arena of the current state (none: not tracked) and
  // charges it; the next instruction fails once the run is past its allowance.
  static void track(const std::shared_ptr<TLWPTraceable>& container);

  // Frees what `roots` do not reach. Call only between runs: values held by a run in
  // progress are not roots.
  void collect(const std::vector<TLWPTraceable*>& roots);
  // Collects when the arena has grown enough, or enough was charged, since the last
  // collection.
  void collectIfNeeded(const std::vector<TLWPTraceable*>& roots);
  std::size_t trackedCount() const { return arena_.size(); }
  // What the containers alive after the last collection hold (units as above).
  std::int64_t retainedUnits() const { return retained_; }

  // A compiled pattern (cached per state); null and `error` when it does not compile.
  std::shared_ptr<icu::RegexPattern> regex(const std::u16string& pattern, TLWPError& error);
  // The matching time left in this run (milliseconds, the regex engine's time-limit
  // unit); 0 once spent.
  std::int32_t regexTimeLeft() const;
  void addRegexTime(std::chrono::steady_clock::duration spent) { regexSpent_ += spent; }

 private:
  std::int32_t instructions_ = 0;
  std::int64_t work_ = 0;
  std::int64_t allocated_ = 0;
  std::int64_t chargedSinceCollect_ = 0;
  std::int64_t retained_ = 0;
  std::vector<std::shared_ptr<TLWPTraceable>> arena_;
  std::size_t arenaAfterCollect_ = 0;
  std::uint32_t epoch_ = 0;
  std::unordered_map<std::u16string, std::shared_ptr<icu::RegexPattern>> regexCache_;
  std::chrono::steady_clock::duration regexSpent_{};
};
