#pragma once
// TLWSearchAdReporting: the engine's search-ads attribution reporter, built at component
// start-up on the worker queue, enabled and started there, and switched with collection.
//
// Thread-safety: called from the worker queue.
//
// The default (TLWNoSearchAdReporter) only remembers the switch.

#include <functional>
#include <memory>

class TLWPersistedConfig;

class TLWSearchAdReporting {
 public:
  virtual ~TLWSearchAdReporting() = default;
  virtual void setSearchAdReporterEnabled(bool enabled) = 0;
  virtual bool isSearchAdReporterEnabled() const = 0;
  virtual void start() = 0;
};

using TLWSearchAdReporterFactory =
    std::function<std::shared_ptr<TLWSearchAdReporting>(std::shared_ptr<TLWPersistedConfig> persistedConfig)>;

class TLWNoSearchAdReporter : public TLWSearchAdReporting {
 public:
  void setSearchAdReporterEnabled(bool enabled) override { enabled_ = enabled; }
  bool isSearchAdReporterEnabled() const override { return enabled_; }
  void start() override {}

 private:
  bool enabled_ = false;
};
