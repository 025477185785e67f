#pragma once
// TLWScreenViewReporting: the process-wide screen-view reporter as the engine, the write
// pipeline, the front controller and the other reporters see it: whether the app is
// active, the current screen's parameters ("_sn", "_sc", "_si"), the screen tracking entry
// points, and the screen changes and lifecycle it forwards.
//
// Thread-safety: any thread.
//
// Ownership: one process-wide instance (sharedInstance, a TLWScreenViewReporter over the
// current environment, created on first use), replaceable with setSharedInstance before
// the engine starts. The engine and observers are held weakly.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "measurement/reporters/TLWScreen.h"
#include "measurement/reporters/TLWSessionReporting.h"
#include "platform/Value.h"

// What the screen-view reporter needs of the engine, which registers itself with
// setEngine. Thread-safety: any thread.
class TLWScreenViewEngine {
 public:
  virtual ~TLWScreenViewEngine() = default;
  virtual bool isMeasurementEnabled() = 0;
  // Null before the engine's components are up.
  virtual std::shared_ptr<TLWSessionReporting> sessionReporter() = 0;
  virtual bool efficientEngagementReportingEnabled() = 0;
  // The front controller's internal logging; `timestamp` replaces the time of the call.
  virtual void logScreenViewEvent(const std::string& origin, const platform::Dictionary& parameters,
                                  std::optional<double> timestamp) = 0;
};

// Told about screen changes and the lifecycle (the ad-exposure reporter). Main thread,
// except screen changes that follow an app-logged "screen_view", which come from the
// reporter's queue.
class TLWScreenViewObserver {
 public:
  virtual ~TLWScreenViewObserver() = default;
  virtual void handleScreenDidChangeFromScreen(const std::optional<TLWScreen>& previous, const TLWScreen& screen) = 0;
  virtual void handleAppDidBecomeActive() {}
  virtual void handleAppWillResignActiveWithScreen(const std::optional<TLWScreen>& /*screen*/) {}
};

class TLWScreenViewReporting {
 public:
  virtual ~TLWScreenViewReporting() = default;

  virtual bool isAppActive() = 0;
  // Empty when there is no current screen.
  virtual platform::Dictionary screenParameters() = 0;
  virtual void trackScreenWithParameters(const platform::Dictionary& parameters, double timestamp) = 0;
  // Main thread. An empty string counts as absent.
  virtual void setScreenName(const std::string& screenName, const std::string& screenClass) = 0;
  // Main thread. Null counts as absent; anything else that is not a valid screen value
  // (a number, an empty or over-long string) is refused.
  virtual void setScreenNameWithValues(const platform::Value& screenName, const platform::Value& screenClass) {
    setScreenName(screenName.stringOr(), screenClass.stringOr());
  }
  // Copies of the current screen's name and class; either pointer may be null.
  virtual void getScreenName(std::optional<std::string>* name, std::optional<std::string>* screenClass) {
    if (name) name->reset();
    if (screenClass) screenClass->reset();
  }
  virtual void setEngine(std::weak_ptr<TLWScreenViewEngine> /*engine*/) {}
  virtual void addScreenViewObserver(std::weak_ptr<TLWScreenViewObserver> /*observer*/) {}

  static std::shared_ptr<TLWScreenViewReporting> sharedInstance();
  // Null restores the default.
  static void setSharedInstance(std::shared_ptr<TLWScreenViewReporting> reporter);
};
