#pragma once
// TLWMonitoringSampledData: the health sample, a reservoir of one message per window.
// Its entry is [encoded context (string), population (integer), sample key (string),
// window opening time (date)].
//
// Thread-safety: none; the monitor touches it only on its own queue.
// Ownership: a plain value owned by the monitor; persistence is the monitor's job
// (arrayRepresentation / initWithArray).

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Value.h"

class TLWMonitoringSampledData {
 public:
  // Longest key or context kept, in bytes; longer ones are cut on a character boundary
  // when sampled, and a stored entry exceeding it is rejected as corrupt.
  static constexpr std::size_t kMaxFieldBytes = 4096;

  struct Entry {
    std::string encodedContext;
    std::int64_t population = 0;
    std::string sampleKey;
    double windowOpened = 0;  // seconds since 1970
  };

  TLWMonitoringSampledData() = default;

  // Accepts only an array of exactly four elements: string, integer (at least 1), string,
  // finite date, with strings no longer than kMaxFieldBytes. Anything else (including
  // null) gives an empty sample.
  static TLWMonitoringSampledData initWithArray(const platform::Value& stored);
  // The stored form of the entry, or null when empty.
  platform::Value arrayRepresentation() const;

  const std::optional<Entry>& entry() const { return entry_; }
  bool isEmpty() const { return !entry_.has_value(); }

  // Reservoir update: the first message opens the window; each later one raises the
  // population and replaces the kept key and context when `randomBelow(population)`
  // answers 0. The population saturates at INT64_MAX rather than wrapping.
  void insertOrUpdate(std::string_view sampleKey, std::string_view encodedContext, double now,
                      const std::function<std::uint64_t(std::uint64_t)>& randomBelow);

  // The dispatch string: "population:key" or "population:key:context" when the window
  // opened more than `samplePeriod` seconds before `now` (the entry is then cleared);
  // "0:" for an empty window when the last dispatch (`lastSampledTimestamp`, positive)
  // is more than a period away from now in either direction; otherwise nullopt.
  std::optional<std::string> dispatch(double samplePeriod, double lastSampledTimestamp, double now);

  void clear() { entry_.reset(); }

 private:
  std::optional<Entry> entry_;
};
