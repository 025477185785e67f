#pragma once
// TLWSessionReporting: what the engine and the write pipeline need of the session
// reporter (sessions and engagement). The engine owns one, built by a factory at
// component start-up and replaced by a new one after a data wipe.
//
// Thread-safety: implementations are called from the worker queue, except
// setReportingEnabled / setTimeoutSessionInterval, which may come from any thread.
//
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "measurement/reporters/TLWScreen.h"
#include "platform/Value.h"

class TLWEvent;
class TLWPersistedConfig;
class TLWRemoteConfig;
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

  // The lifecycle as the screen-view reporter forwards it (main thread). The defaults do
  // nothing, for stand-ins that only answer the engine.
  virtual void handleAppDidBecomeActive() {}
  virtual void handleAppWillResignActiveWithScreen(const std::optional<TLWScreen>& /*screen*/) {}
  virtual void handleScreenDidChangeFromScreen(const std::optional<TLWScreen>& /*previous*/,
                                               const TLWScreen& /*screen*/) {}
  // Engagement since the last cut in the efficient mode, in milliseconds; 0 when that mode
  // is off. Moves the efficient mode's start to now.
  virtual std::int64_t cutFreerideEngagementTimeMillis() { return 0; }
};

// What the session reporter needs of the engine. Thread-safety: any thread.
class TLWSessionReporterHost {
 public:
  virtual ~TLWSessionReporterHost() = default;
  // An automatic event (origin "auto") through the front controller's internal logging.
  virtual void logInternalEvent(const std::string& name, const platform::Dictionary& parameters) = 0;
  // Sets (or, with nullopt, removes) the internal user properties "_sid" and "_sno".
  virtual void setSessionUserProperties(std::optional<std::int64_t> sessionID,
                                        std::optional<std::int64_t> sessionNumber) = 0;
  // The screen-view reporter's flag.
  virtual bool isAppActive() = 0;
  // Null: every setting reads as its default.
  virtual std::shared_ptr<TLWRemoteConfig> remoteConfig() = 0;
};

// Builds the engine's session reporter over the persisted configuration.
using TLWSessionReporterFactory =
    std::function<std::shared_ptr<TLWSessionReporting>(std::shared_ptr<TLWPersistedConfig> persistedConfig)>;
