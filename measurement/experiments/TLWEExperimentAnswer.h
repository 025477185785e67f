#pragma once
// What the task manager reads out of an "/sdk-exp" answer, apart from the task manager so
// the same steps run on any bytes: inflate the gzip body (at most kTLWEMaxResponseBytes),
// decode the ExperimentResponse, and turn it into snapshots and per-SDK errors.
//
// Thread-safety: pure functions; any thread.
// Failure: nullopt with a reason; nothing is kept of an answer that does not inflate or
// decode. Snapshots without an SDK name are dropped and counted.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "measurement/experiments/TLWESnapshot.h"
#include "measurement/monitor/TLWError.h"

class TLWPBExperimentResponse;

inline constexpr const char* kTLWExperimentErrorDomain = "com.vorlix.zel.measurement.experiment.ErrorDomain";
// An inflated answer beyond this is refused (the real ones are a few kilobytes).
inline constexpr std::size_t kTLWEMaxResponseBytes = 1u << 20;

struct TLWEExperimentAnswer {
  std::shared_ptr<TLWPBExperimentResponse> response;
  std::vector<TLWESnapshot> snapshots;  // timestamps left at 0
  std::map<std::string, TLWError> errors;  // by SDK name, for SDKs the service did not answer
  std::size_t droppedSnapshots = 0;
};

// The body as received; an empty body is an empty answer.
std::optional<std::vector<std::uint8_t>> TLWEInflateExperimentAnswer(std::span<const std::uint8_t> body,
                                                                     std::string* reason);
// The inflated bytes.
std::optional<TLWEExperimentAnswer> TLWEDecodeExperimentAnswer(std::span<const std::uint8_t> bytes,
                                                               TLWError* error);
