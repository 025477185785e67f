#include "platform/testing/FakeIdentityAdaptor.h"

namespace platform::testing {

std::shared_ptr<FakeIdentityAdaptor> FakeIdentityAdaptor::install(std::shared_ptr<ClassRegistry> registry,
                                                                  State state) {
  if (!registry) return nullptr;
  std::shared_ptr<FakeIdentityAdaptor> adaptor(new FakeIdentityAdaptor(registry, std::move(state)));
  ClassRegistry::ClassDescription description;
  description.name = kClassName;
  std::weak_ptr<FakeIdentityAdaptor> weak = adaptor;
  description.classMethods.emplace_back("sharedInstance", [weak](const Value&, const Array&) -> Value {
    auto strong = weak.lock();
    if (!strong) return {};
    return Value(std::static_pointer_cast<ValueObject>(strong));
  });
  for (const char* selector : {"hasAppDataConsentStatus", "appDataConsentStatus", "hasLimitedAdTracking",
                               "limitedAdTracking", "resettableDeviceID"}) {
    std::string name = selector;
    description.instanceMethods.emplace_back(name, [name](const Value& receiver, const Array&) -> Value {
      auto self = receiver.objectAs<FakeIdentityAdaptor>();
      return self ? self->answer(name) : Value();
    });
  }
  if (!registry->registerClass(std::move(description))) return nullptr;
  return adaptor;
}

std::shared_ptr<FakeIdentityAdaptor> FakeIdentityAdaptor::install(std::shared_ptr<ClassRegistry> registry) {
  return install(std::move(registry), State());
}

FakeIdentityAdaptor::FakeIdentityAdaptor(std::shared_ptr<ClassRegistry> registry, State state)
    : registry_(std::move(registry)), state_(std::move(state)) {}

FakeIdentityAdaptor::~FakeIdentityAdaptor() { registry_->unregisterClass(kClassName); }

Value FakeIdentityAdaptor::answer(const std::string& selector) {
  std::lock_guard lock(mutex_);
  if (selector == "hasAppDataConsentStatus") return Value(state_.hasTrackingAuthorization);
  if (selector == "appDataConsentStatus") {
    return state_.hasTrackingAuthorization ? Value(static_cast<long long>(state_.trackingAuthorizationStatus))
                                           : Value(-1);
  }
  if (selector == "hasLimitedAdTracking") return Value(state_.hasAdvertisingManager);
  if (selector == "limitedAdTracking") {
    return Value(state_.hasAdvertisingManager && !state_.advertisingTrackingEnabled);
  }
  if (selector == "resettableDeviceID") {
    ++advertisingIdentifierReads_;
    if (!state_.hasAdvertisingManager || !state_.advertisingIdentifier) return {};
    return Value(*state_.advertisingIdentifier);
  }
  return {};
}

FakeIdentityAdaptor::State FakeIdentityAdaptor::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

void FakeIdentityAdaptor::setState(State state) {
  std::lock_guard lock(mutex_);
  state_ = std::move(state);
}

void FakeIdentityAdaptor::setAdvertisingIdentifier(std::optional<std::string> identifier) {
  std::lock_guard lock(mutex_);
  state_.advertisingIdentifier = std::move(identifier);
}

void FakeIdentityAdaptor::setTrackingAuthorizationStatus(std::int64_t status) {
  std::lock_guard lock(mutex_);
  state_.trackingAuthorizationStatus = status;
}

std::uint64_t FakeIdentityAdaptor::advertisingIdentifierReads() const {
  std::lock_guard lock(mutex_);
  return advertisingIdentifierReads_;
}

}  // namespace platform::testing
