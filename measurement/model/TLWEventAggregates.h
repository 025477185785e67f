#pragma once
// TLWEventAggregates: the counters kept per internal event name.
//
// Thread-safety: none; used on the measurement worker queue only.
// Failure: null for an invalid name or a negative count (17000). A counter incremented
// at the int32 maximum wraps to 0 and logs instead of overflowing.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class TLWEventAggregates {
 public:
  [[nodiscard]] static std::shared_ptr<TLWEventAggregates> initWithName(std::string_view name,
                                                                        std::int32_t lifetimeCount,
                                                                        std::int32_t currentBundleCount,
                                                                        std::int32_t currentSessionCount,
                                                                        double lastFireTimestamp);

  const std::string& name() const { return name_; }
  std::int32_t lifetimeCount() const { return lifetimeCount_; }
  std::int32_t currentBundleCount() const { return currentBundleCount_; }
  std::int32_t currentSessionCount() const { return currentSessionCount_; }
  double lastFireTimestamp() const { return lastFireTimestamp_; }
  double lastBundledTimestamp() const { return lastBundledTimestamp_; }
  const std::optional<std::int64_t>& lastSampledComplexEventID() const { return lastSampledComplexEventID_; }
  std::int32_t lastSamplingRate() const { return lastSamplingRate_; }
  bool lastExemptFromSampling() const { return lastExemptFromSampling_; }
  std::int32_t lastBundledDay() const { return lastBundledDay_; }

  void incrementLifetimeCount();
  void incrementCurrentBundleCount();
  void incrementCurrentSessionCount();

  void setLastFireTimestamp(double t) { lastFireTimestamp_ = t; }
  void setLastBundledTimestamp(double t) { lastBundledTimestamp_ = t; }
  void setLastSampledComplexEventID(std::optional<std::int64_t> id) { lastSampledComplexEventID_ = id; }
  void setLastSamplingRate(std::int32_t rate) { lastSamplingRate_ = rate; }
  void setLastExemptFromSampling(bool exempt) { lastExemptFromSampling_ = exempt; }
  void setLastBundledDay(std::int32_t day) { lastBundledDay_ = day; }

 private:
  struct Token {
    explicit Token() = default;
  };

 public:
  TLWEventAggregates(Token, std::string name, std::int32_t lifetime, std::int32_t bundle, std::int32_t session,
                     double lastFire)
      : name_(std::move(name)),
        lifetimeCount_(lifetime),
        currentBundleCount_(bundle),
        currentSessionCount_(session),
        lastFireTimestamp_(lastFire) {}

 private:
  std::string name_;
  std::int32_t lifetimeCount_;
  std::int32_t currentBundleCount_;
  std::int32_t currentSessionCount_;
  double lastFireTimestamp_;
  double lastBundledTimestamp_ = 0;
  std::optional<std::int64_t> lastSampledComplexEventID_;
  std::int32_t lastSamplingRate_ = 1;
  bool lastExemptFromSampling_ = false;
  std::int32_t lastBundledDay_ = 0;
};
