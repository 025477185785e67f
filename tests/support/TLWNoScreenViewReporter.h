#pragma once
// A screen-view reporter that reports the app as active and no current screen, and drops
// screen tracking calls: for engine tests that drive no lifecycle.

#include "measurement/reporters/TLWScreenViewReporting.h"

class TLWNoScreenViewReporter : public TLWScreenViewReporting {
 public:
  bool isAppActive() override { return true; }
  platform::Dictionary screenParameters() override { return {}; }
  void trackScreenWithParameters(const platform::Dictionary&, double) override {}
  void setScreenName(const std::string&, const std::string&) override {}
};
