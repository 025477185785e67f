// What bounds a hostile or broken program: the instruction budget, the depth bound, the
// array length cap without memory for holes, the memory budget, and the collector that
// frees cycles and deep chains.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <thread>

#include "measurement/script/TLWPRuntime.h"
#include "tools/script-runner/ScriptJson.h"

namespace {

using Clock = std::chrono::steady_clock;

TLWPValues statements(const std::string& program) {
  std::string problem;
  auto message = tools::programFromJson(nlohmann::json::parse(program), &problem);
  EXPECT_TRUE(message) << problem;
  TLWPError error;
  return TLWPRuntimeEntityConverter::valuesFromEntities(message->messageInfo(), TLWPBProgram::kInstructions, error);
}

TLWPError runIn(TLWPRuntime& runtime, const std::string& program, TLWPValueRef* result = nullptr) {
  TLWPError error;
  TLWPValueRef r = runtime.executeStatements(statements(program), error);
  if (result) *result = r;
  return error;
}

TEST(TLWPRuntimeLimitsTest, RunawayLoopsAndRecursionStopWithTheResourceError) {
  struct Row {
    const char* what;
    const char* program;
  };
  const Row rows[] = {
      {"endless loop", R"([["42", true, ["44"], false, ["46"]]])"},
      {"unbounded recursion", R"([["50", "f", ["7", "n"], ["36", ["f", ["0", ["15", "n"], 1]]]], ["f", 0]])"},
      // Native stack is spent by nesting inside one frame too (arguments of arguments).
      {"recursion inside a deep expression",
       R"([["50", "f", ["7"], ["36", ["0", 1, ["0", 1, ["0", 1, ["0", 1, ["f"]]]]]]], ["f"]])"},
      {"recursion through a method callback",
       R"([["50", "f", ["7"], ["2", ["7", 1], "map", ["7", ["15", "f"]]]], ["f"]])"},
  };
  for (const auto& row : rows) {
    TLWPRuntime runtime;
    const auto began = Clock::now();
    TLWPError error = runIn(runtime, row.program);
    EXPECT_EQ(error.code, tlwp_error::kResourceExhausted) << row.what;
    EXPECT_EQ(error.domain, kTLWPErrorDomain) << row.what;
    EXPECT_LT(Clock::now() - began, std::chrono::seconds(20)) << row.what;
    // The counter is the runtime's, not a program's name: a program cannot reset it.
    EXPECT_EQ(runtime.runState().callDepth, 0) << row.what;
    EXPECT_EQ(runtime.runState().evaluationDepth, 0) << row.what;
  }

  // The budget is exactly 1000000 statements, and the owner's reset gives a new one.
  TLWPRuntime runtime;
  EXPECT_EQ(runIn(runtime, R"([["42", true, ["44"], false, ["46"]]])").code, 18);
  EXPECT_EQ(runtime.getInstructionCount(), 1000000);
  EXPECT_EQ(runIn(runtime, R"([1])").code, 18);
  runtime.resetInstructionCount();
  EXPECT_FALSE(runIn(runtime, R"([["41", "runtime.counter"], ["3", "runtime.counter", 0], 1])").failed());
  EXPECT_EQ(runtime.getInstructionCount(), 6);
}

TEST(TLWPRuntimeLimitsTest, DeepRecursionIsRefusedOnAWorkerThread) {
  // Programs run on a queue thread in the product, not on the main thread.
  TLWPError error;
  std::thread worker([&] {
    TLWPRuntime runtime;
    error = runIn(runtime, R"([["50", "f", ["7", "n"], ["36", ["f", ["0", ["15", "n"], 1]]]], ["f", 0]])");
  });
  worker.join();
  EXPECT_EQ(error.code, 18);
}

TEST(TLWPRuntimeLimitsTest, ArrayIndexesAreCappedAndHolesCostNoMemory) {
  TLWPRuntime runtime;
  TLWPValueRef result;
  // 10^15 is past the cap: the index error, nothing allocated.
  EXPECT_EQ(runIn(runtime, R"([["52", "a", ["7"]], ["43", ["15", "a"], 1000000000000000, 1]])").code, 11);
  EXPECT_EQ(runIn(runtime, R"([["52", "b", ["7"]], ["43", ["15", "b"], "length", 4294967296]])").code, 11);
  EXPECT_EQ(runIn(runtime, R"([["52", "c", ["7"]], ["43", ["15", "c"], 4294967295, 1]])").code, 11);
  // The largest index works, with every method that walks the array.
  runtime.resetInstructionCount();
  ASSERT_FALSE(runIn(runtime, R"([["52", "d", ["7", "first"]], ["43", ["15", "d"], 4294967294, "last"],
      ["2", ["2", ["2", ["15", "d"], "filter", ["7", ["51", "", ["7", "x"], ["36", true]]]], "concat", ["7", ["2", ["15", "d"], "slice", ["7", -1]]]], "join", ["7", "+"]]])",
                     &result)
                   .failed());
  EXPECT_EQ(tools::runtimeValueToJson(*result)["value"], "first+last+last");
  for (const char* program : {
           R"([["17", ["15", "d"], "length"]])",
           R"([["2", ["15", "d"], "indexOf", ["7", "last"]]])",
           R"([["2", ["15", "d"], "lastIndexOf", ["7", "first"]]])",
           R"([["17", ["2", ["15", "d"], "map", ["7", ["51", "", ["7", "x"], ["36", 1]]]], "length"]])",
           R"([["2", ["2", ["15", "d"], "reverse", ["7"]], "indexOf", ["7", "last"]]])",
           R"([["2", ["15", "d"], "sort", ["7"]], ["2", ["15", "d"], "indexOf", ["7", "last"]]])",
           R"([["2", ["15", "d"], "shift", ["7"]], ["17", ["15", "d"], "length"]])",
       }) {
    runtime.resetInstructionCount();
    EXPECT_FALSE(runIn(runtime, program, &result).failed()) << program;
  }
  // Joining 4 billion separators would not fit: refused before building the string.
  runtime.resetInstructionCount();
  EXPECT_EQ(runIn(runtime, R"([["0", ["15", "d"], ""]])").code, 18);
  EXPECT_EQ(runIn(runtime, R"([["2", ["15", "d"], "push", ["7", 1, 2]]])").code, 11);
}

TEST(TLWPRuntimeLimitsTest, MemoryAndWorkBudgetsStopProgramsThatGrowOrGrindWithoutEnd) {
  const char* rows[] = {
      // s = s + s, doubling a string
      R"([["41", "s"], ["3", "s", "x"], ["42", true, ["44"], false, ["46", ["3", "s", ["0", ["15", "s"], ["15", "s"]]]]]])",
      // a = a.concat(a), doubling an array
      R"([["41", "a"], ["3", "a", ["7", 1]], ["42", true, ["44"], false, ["46", ["3", "a", ["2", ["15", "a"], "concat", ["7", ["15", "a"]]]]]]])",
      // a = [a], an ever deeper chain; dropping it must not overflow the stack either
      R"([["41", "a"], ["3", "a", ["7"]], ["42", true, ["44"], false, ["46", ["3", "a", ["7", ["15", "a"]]]]]])",
      // 17 doublings to 131072 elements, then unshift for ever: each one moves them all
      R"([["41", "a", "i"], ["3", "a", ["7", 1]], ["3", "i", 0],
          ["42", ["23", ["15", "i"], 17], ["3", "i", ["0", ["15", "i"], 1]], false,
            ["46", ["3", "a", ["2", ["15", "a"], "concat", ["7", ["15", "a"]]]]]],
          ["42", true, ["44"], false, ["46", ["2", ["15", "a"], "unshift", ["7", 0]], ["2", ["15", "a"], "shift", ["7"]]]]])",
  };
  const auto began = Clock::now();
  for (const char* program : rows) {
    TLWPRuntime runtime;
    EXPECT_EQ(runIn(runtime, program).code, 18) << program;
  }
  EXPECT_LT(Clock::now() - began, std::chrono::seconds(30));
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TLW_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TLW_SANITIZED 1
#endif
#endif
#ifdef TLW_SANITIZED
// Sanitizers slow every step and keep freed memory in quarantine.
constexpr auto kHostileTimeBound = std::chrono::seconds(15);
constexpr long kHostileMemoryBoundKiB = 512 * 1024;
#else
constexpr auto kHostileTimeBound = std::chrono::seconds(1);
constexpr long kHostileMemoryBoundKiB = 64 * 1024;
#endif

long peakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// s: "a" doubled 19 times (524288 code units).
const std::string kLongString =
    R"(["41", "s", "i"], ["3", "s", "a"], ["3", "i", 0],
       ["42", ["23", ["15", "i"], 19], ["3", "i", ["0", ["15", "i"], 1]], false, ["46", ["3", "s", ["0", ["15", "s"], ["15", "s"]]]]])";

TEST(TLWPRuntimeLimitsTest, EveryClassOfRunawayWorkEndsWithTheBudgetErrorQuicklyAndSmall) {
  struct Row {
    const char* what;
    std::string program;
    // Converted to a plain value afterwards (as setParamValue does).
    bool convert = false;
  };
  const Row rows[] = {
      {"a length of 2^32 - 1 run as a statement list",
       R"([["52", "a", ["7"]], ["43", ["15", "a"], "length", 4294967295], ["5", ["15", "a"]]])"},
      {"doubling an array's length",
       R"([["52", "a", ["7", 1]], ["42", true, ["44"], false,
           ["46", ["43", ["15", "a"], "length", ["26", ["17", ["15", "a"], "length"], 2]]]]])"},
      {"x = [x, x] forty times, converted",
       R"([["41", "x", "i"], ["3", "x", ["7", 1]], ["3", "i", 0],
           ["42", ["23", ["15", "i"], 40], ["3", "i", ["0", ["15", "i"], 1]], false,
             ["46", ["3", "x", ["7", ["15", "x"], ["15", "x"]]]]], ["15", "x"]])",
       true},
      {"join over 2^32 - 1 holes, repeated",
       R"([["52", "a", ["7"]], ["43", ["15", "a"], "length", 4294967295],
           ["42", true, ["44"], false, ["46", ["2", ["15", "a"], "join", ["7", ""]]]]])"},
      {"empty-body for-of over a long string, repeated",
       "[" + kLongString + R"(, ["42", true, ["44"], false, ["46", ["64", "c", ["15", "s"], ["46"]]]]])"},
      {"indexOf of a 256 K needle in a 512 K haystack, repeated",
       "[" + kLongString + R"(, ["52", "n", ["0", ["2", ["15", "s"], "substring", ["7", 0, 262144]], "b"]],
           ["42", true, ["44"], false, ["46", ["2", ["15", "s"], "indexOf", ["7", ["15", "n"]]]]]])"},
      {"sort with an empty comparator, repeated",
       R"([["41", "a", "i"], ["3", "a", ["7", 1]], ["3", "i", 0],
           ["42", ["23", ["15", "i"], 15], ["3", "i", ["0", ["15", "i"], 1]], false,
             ["46", ["3", "a", ["2", ["15", "a"], "concat", ["7", ["15", "a"]]]]]],
           ["42", true, ["44"], false, ["46", ["2", ["15", "a"], "sort", ["7", ["51", "", ["7"]]]]]]])"},
  };
  for (const auto& row : rows) {
    const long peakBefore = peakResidentKiB();
    const auto began = Clock::now();
    TLWPRuntime runtime;
    TLWPValueRef result;
    TLWPError error = runIn(runtime, row.program, &result);
    if (row.convert) {
      ASSERT_FALSE(error.failed()) << row.what << ": " << error.message;
      TLWPRunState::Enter enter(runtime.runState());
      (void)TLWPRuntimeEntityConverter::objectFromRuntimeValue(*result, error);
    }
    EXPECT_EQ(error.code, tlwp_error::kResourceExhausted) << row.what << ": " << error.message;
    EXPECT_LT(Clock::now() - began, kHostileTimeBound) << row.what;
    EXPECT_LT(peakResidentKiB() - peakBefore, kHostileMemoryBoundKiB) << row.what;
  }
}

TEST(TLWPRuntimeLimitsTest, CollectorFreesCyclesBetweenRuns) {
  TLWPRuntime runtime;
  // Each run makes a function stored in the scope it closes over: a reference cycle.
  const std::string program =
      R"([["53", ["50", "g", ["7"], ["36", ["15", "g"]]], ["52", "keep", ["7", 1, 2]], ["g"]]])";
  for (int i = 0; i < 5000; ++i) {
    runtime.resetInstructionCount();
    ASSERT_FALSE(runIn(runtime, program).failed());
    runtime.collectGarbage();
  }
  // Roughly what one run leaves, not 5000 runs' worth.
  EXPECT_LT(runtime.runState().trackedCount(), 10000u);
  // What the global scope reaches survives a collection.
  runtime.resetInstructionCount();
  ASSERT_FALSE(runIn(runtime, R"([["52", "kept", ["7", "alive"]]])").failed());
  runtime.runState().collect({runtime.globalScope().get()});
  TLWPValueRef result;
  ASSERT_FALSE(runIn(runtime, R"([["2", ["15", "kept"], "join", ["7"]]])", &result).failed());
  EXPECT_EQ(tools::runtimeValueToJson(*result)["value"], "alive");
}

TEST(TLWPRuntimeLimitsTest, RegexMatchingTimeIsBounded) {
  TLWPRuntime runtime;
  // Catastrophic backtracking, run in a loop: the run's regex time budget ends it.
  const auto began = Clock::now();
  TLWPError error = runIn(runtime, R"([["42", true, ["44"], false,
      ["46", ["2", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "search", ["7", "^(a+)+$"]]]]])");
  EXPECT_EQ(error.domain, kTLWPRegexErrorDomain);
  EXPECT_EQ(error.code, U_REGEX_TIME_OUT);
  EXPECT_LT(Clock::now() - began, std::chrono::seconds(20));
}

}  // namespace
