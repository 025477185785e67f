#pragma once
// TLWMeasurementFrontController: what the engine needs of the front controller, which
// lives in a module above it: the load time stamp, the front controller's settings suite
// ("TLWAnalyticsSuiteName": reset bookkeeping, deferred collection, start-up consent),
// the start gate, internal events logged through that gate, and the event listeners.
//
// Thread-safety: any thread.
//
// Ownership: the engine holds it strongly; an implementation that needs the engine holds
// it weakly.
//
// TLWMeasurementDefaultFrontController is what the engine uses when none is given (tests,
// an engine without the public interface): the suite itself, a load time stamp taken at
// creation, a gate that runs blocks at once, internal events handed straight to an engine
// it is attached to, and no listeners.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/engine/TLWResetBookkeeping.h"
#include "platform/Environment.h"
#include "platform/Value.h"

class TLWEvent;
class TLWKeyValueStore;
class TLWMeasurement;

class TLWMeasurementFrontController {
 public:
  virtual ~TLWMeasurementFrontController() = default;

  // Seconds since 1970: the process's load time, or the time of the last reset request.
  virtual double loadTimestamp() = 0;
  // The suite "TLWAnalyticsSuiteName".
  virtual std::shared_ptr<TLWKeyValueStore> settingsSuite() = 0;
  // Puts the block through the start gate (in order, after start-up).
  virtual void queueOperationWithBlock(std::function<void()> block) = 0;
  // logInternalEventWithOrigin:name:parameters: of the front controller (through the gate).
  virtual void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                          const platform::Dictionary& parameters) = 0;
  // The same with the event's own time stamp (an app-logged screen view keeps its call's
  // time). The default ignores the time stamp; the product's front controllers keep it.
  virtual void logInternalEventWithTimestamp(const std::string& origin, const std::string& name,
                                             const platform::Dictionary& parameters, double /*timestamp*/) {
    logInternalEventWithOrigin(origin, name, parameters);
  }
  // Hands the events, in order, to the registered listeners (on the front controller's queue).
  virtual void notifyEventListeners(std::vector<std::shared_ptr<TLWEvent>> events) = 0;
  // False while no listener is registered: the engine then makes no copies for them.
  virtual bool hasEventListeners() { return true; }
};

class TLWMeasurementDefaultFrontController : public TLWMeasurementFrontController {
 public:
  // `env` defaults to the current environment.
  explicit TLWMeasurementDefaultFrontController(std::shared_ptr<platform::Environment> env = nullptr);

  double loadTimestamp() override;
  void setLoadTimestamp(double timestamp);
  std::shared_ptr<TLWKeyValueStore> settingsSuite() override;
  void queueOperationWithBlock(std::function<void()> block) override;
  void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                  const platform::Dictionary& parameters) override;
  void logInternalEventWithTimestamp(const std::string& origin, const std::string& name,
                                     const platform::Dictionary& parameters, double timestamp) override;
  void notifyEventListeners(std::vector<std::shared_ptr<TLWEvent>> events) override;

  // Internal events go to this engine's logEvent.
  void attachEngine(std::weak_ptr<TLWMeasurement> engine);

 private:
  std::shared_ptr<platform::Environment> env_;
  std::shared_ptr<TLWKeyValueStore> suite_;
  mutable std::mutex mutex_;
  double loadTimestamp_ = 0;
  std::weak_ptr<TLWMeasurement> engine_;
};
