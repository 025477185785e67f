#pragma once
// TLWAppMetadata: the bundle bookkeeping kept in the database's single app_metadata row.
//
// Thread-safety: a plain value; not synchronised.

#include <cstdint>
#include <memory>

class TLWMonitor;

class TLWAppMetadata {
 public:
  // Null (logged 4000) for a negative index.
  static std::shared_ptr<TLWAppMetadata> initWithLastBundleIndex(std::int32_t lastBundleIndex,
                                                                 double lastBundleStartTimestamp,
                                                                 double lastBundleEndTimestamp,
                                                                 const std::shared_ptr<TLWMonitor>& monitor = nullptr);

  std::int32_t lastBundleIndex() const { return lastBundleIndex_; }
  double lastBundleStartTimestamp() const { return lastBundleStartTimestamp_; }
  double lastBundleEndTimestamp() const { return lastBundleEndTimestamp_; }
  void setLastBundleStartTimestamp(double t) { lastBundleStartTimestamp_ = t; }
  void setLastBundleEndTimestamp(double t) { lastBundleEndTimestamp_ = t; }
  // Adds one; 2147483647 wraps to 0 (logged 4001).
  void incrementLastBundleIndex(const std::shared_ptr<TLWMonitor>& monitor = nullptr);

  TLWAppMetadata(std::int32_t index, double start, double end)
      : lastBundleIndex_(index), lastBundleStartTimestamp_(start), lastBundleEndTimestamp_(end) {}

 private:
  std::int32_t lastBundleIndex_;
  double lastBundleStartTimestamp_;
  double lastBundleEndTimestamp_;
};
