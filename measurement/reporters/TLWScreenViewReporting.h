#pragma once
// TLWScreenViewReporting: the process-wide screen-view reporter as the engine, the write
// pipeline and the front controller see it: whether the app is active, the current
// screen's parameters ("_sn", "_sc", "_si"), screen tracking entry points.
//
// Thread-safety: any thread.
//
// Ownership: one process-wide instance (sharedInstance), replaceable once by the real
// reporter with setSharedInstance before the engine starts. The default
// (TLWNoScreenViewReporter) reports the app as active and no current screen, and drops
// screen tracking calls.

#include <memory>
#include <string>

#include "platform/Value.h"

class TLWScreenViewReporting {
 public:
  virtual ~TLWScreenViewReporting() = default;

  virtual bool isAppActive() = 0;
  // Empty when there is no current screen.
  virtual platform::Dictionary screenParameters() = 0;
  virtual void trackScreenWithParameters(const platform::Dictionary& parameters, double timestamp) = 0;
  virtual void setScreenName(const std::string& screenName, const std::string& screenClass) = 0;

  static std::shared_ptr<TLWScreenViewReporting> sharedInstance();
  // Null restores the default.
  static void setSharedInstance(std::shared_ptr<TLWScreenViewReporting> reporter);
};

class TLWNoScreenViewReporter : public TLWScreenViewReporting {
 public:
  bool isAppActive() override { return true; }
  platform::Dictionary screenParameters() override { return {}; }
  void trackScreenWithParameters(const platform::Dictionary&, double) override {}
  void setScreenName(const std::string&, const std::string&) override {}
};
