#pragma once
// The libFuzzer entry points around one check (an empty string when the input behaves,
// else what went wrong): a failed check aborts, so libFuzzer keeps the input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "measurement/proto/TLWPBMessage.h"

namespace fuzzchecks {

inline int reportProblem(const char* target, const std::string& problem) {
  if (problem.empty()) return 0;
  std::fprintf(stderr, "%s: %s\n", target, problem.c_str());
  std::abort();
}

}  // namespace fuzzchecks

// SETUP runs once before the first input (decode failures are expected: their log lines
// are silenced first).
#define TW_FUZZ_TARGET(target, check, setup)                                                       \
  extern "C" int LLVMFuzzerInitialize(int*, char***) {                                              \
    TLWPBSetLogHandler([](std::string_view) {});                                                    \
    setup;                                                                                          \
    return 0;                                                                                       \
  }                                                                                                 \
  extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {               \
    return fuzzchecks::reportProblem(target, check(std::span<const std::uint8_t>(data, size)));     \
  }
