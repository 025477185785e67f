#pragma once
// A session reporter that never reports a session as expired and produces nothing: for
// tests that need the engine without sessions, or a base for a scripted stand-in.

#include <cstdint>
#include <memory>

#include "measurement/reporters/TLWSessionReporting.h"

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
