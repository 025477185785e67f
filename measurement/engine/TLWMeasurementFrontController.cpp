#include "measurement/engine/TLWMeasurementFrontController.h"

#include "measurement/engine/TLWMeasurement.h"
#include "measurement/storage/TLWUserDefaults.h"

TLWMeasurementDefaultFrontController::TLWMeasurementDefaultFrontController(std::shared_ptr<platform::Environment> env)
    : env_(env ? std::move(env) : platform::Environment::current()) {
  suite_ = TLWUserDefaults::initWithSuiteName(std::string(kTLWAnalyticsSuiteName), env_);
  loadTimestamp_ = env_->clock()->now();
}

double TLWMeasurementDefaultFrontController::loadTimestamp() {
  std::lock_guard<std::mutex> lock(mutex_);
  return loadTimestamp_;
}

void TLWMeasurementDefaultFrontController::setLoadTimestamp(double timestamp) {
  std::lock_guard<std::mutex> lock(mutex_);
  loadTimestamp_ = timestamp;
}

std::shared_ptr<TLWKeyValueStore> TLWMeasurementDefaultFrontController::settingsSuite() { return suite_; }

void TLWMeasurementDefaultFrontController::queueOperationWithBlock(std::function<void()> block) {
  if (block) block();
}

void TLWMeasurementDefaultFrontController::logInternalEventWithOrigin(const std::string& origin,
                                                                      const std::string& name,
                                                                      const platform::Dictionary& parameters) {
  std::shared_ptr<TLWMeasurement> engine;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    engine = engine_.lock();
  }
  if (!engine) return;
  engine->logEventWithOrigin(origin, false, name, parameters, env_->clock()->now(), engine->enabled(), false, false,
                             nullptr, {});
}

void TLWMeasurementDefaultFrontController::logInternalEventWithTimestamp(const std::string& origin,
                                                                         const std::string& name,
                                                                         const platform::Dictionary& parameters,
                                                                         double timestamp) {
  std::shared_ptr<TLWMeasurement> engine;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    engine = engine_.lock();
  }
  if (!engine) return;
  engine->logEventWithOrigin(origin, false, name, parameters, timestamp, engine->enabled(), false, false, nullptr, {});
}

void TLWMeasurementDefaultFrontController::notifyEventListeners(std::vector<std::shared_ptr<TLWEvent>>) {}

void TLWMeasurementDefaultFrontController::attachEngine(std::weak_ptr<TLWMeasurement> engine) {
  std::lock_guard<std::mutex> lock(mutex_);
  engine_ = std::move(engine);
}
