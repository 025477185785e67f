#pragma once
// TLWSearchAdReporting: the engine's search-ads attribution reporter, built at component
// start-up on the worker queue, enabled and started there, and switched with collection.
//
// Thread-safety: called from the worker queue.

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

// Null when no reporter should run (the answer is already known, or retries ran out).
using TLWSearchAdReporterFactory =
    std::function<std::shared_ptr<TLWSearchAdReporting>(std::shared_ptr<TLWPersistedConfig> persistedConfig)>;
