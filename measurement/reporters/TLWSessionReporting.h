#pragma once
// TLWSessionReporting: what the engine and the write pipeline need of the session
// reporter (sessions and engagement). The engine owns one, built by a factory at
// component start-up and replaced by a new one after a data wipe.
//
// Thread-safety: implementations are called from the worker queue, except
// setReportingEnabled / setTimeoutSessionInterval, which may come from any thread.
//
// The default (TLWNoSessionReporter) never reports a session as expired and logs nothing,
// so no session event or property is produced until a real reporter is plugged in.

#include <cstdint>
#include <functional>
#include <memory>

class TLWEvent;
class TLWPersistedConfig;
class TLWUserAttribute;

class TLWSessionReporting {
 public:
  virtual ~TLWSessionReporting() = default;

  virtual void setReportingEnabled(bool enabled) = 0;
  virtual bool isReportingEnabled() const = 0;
  virtual void setTimeoutSessionInterval(double seconds) = 0;
  virtual bool isSessionExpired() = 0;
  // False when the session has expired; otherwise records activity now and returns true.
  virtual bool extendSession() = 0;
  // Session number + 1, last activity = now.
  virtual void updatePropertiesForNewSessionStart() = 0;
  // "_sid" and "_sno" (origin "auto"); null when the reporter has none to give.
  virtual std::shared_ptr<TLWUserAttribute> sessionIDPropertyWithTimestamp(double timestamp) = 0;
  virtual std::shared_ptr<TLWUserAttribute> sessionNumberProperty() = 0;
  // The session-start event "_s"; null when the reporter has none to give.
  virtual std::shared_ptr<TLWEvent> sessionStartEventWithSessionNumber(std::int64_t sessionNumber,
                                                                      bool appInBackground, double timestamp) = 0;
};

// Builds the engine's session reporter over the persisted configuration.
using TLWSessionReporterFactory =
    std::function<std::shared_ptr<TLWSessionReporting>(std::shared_ptr<TLWPersistedConfig> persistedConfig)>;

class TLWNoSessionReporter : public TLWSessionReporting {
 public:
  void setReportingEnabled(bool enabled) override { enabled_ = enabled; }
  bool isReportingEnabled() const override { return enabled_; }
  void setTimeoutSessionInterval(double) override {}
  bool isSessionExpired() override { return false; }
  bool extendSession() override { return true; }
  void updatePropertiesForNewSessionStart() override {}
  std::shared_ptr<TLWUserAttribute> sessionIDPropertyWithTimestamp(double) override { return nullptr; }
  std::shared_ptr<TLWUserAttribute> sessionNumberProperty() override { return nullptr; }
  std::shared_ptr<TLWEvent> sessionStartEventWithSessionNumber(std::int64_t, bool, double) override {
    return nullptr;
  }

 private:
  bool enabled_ = false;
};
