#pragma once
// A stand-in for the platform identity adaptor "TLWPlatformIdentitySupport" (the bridge to
// the advertising-identifier and tracking-authorisation services), registered by name in a
// class registry so that code looking the adaptor up finds it. Every answer is set by the
// test.
//
//   auto adaptor = platform::testing::FakeIdentityAdaptor::install(env->classRegistry());
//   adaptor->setAdvertisingIdentifier("6D92078A-8246-4BA4-AE5B-76104861E7DC");
//
// Thread-safety: any thread.
//
// Lifetime: the class stays registered while the adaptor lives; destroying it unregisters
// the class.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Value.h"
#include "platform/app/ClassRegistry.h"

namespace platform::testing {

class FakeIdentityAdaptor : public ValueObject, public std::enable_shared_from_this<FakeIdentityAdaptor> {
 public:
  static constexpr const char* kClassName = "TLWPlatformIdentitySupport";

  struct State {
    // The tracking-authorisation service exists, and its status (0 not determined,
    // 1 restricted, 2 denied, 3 authorised; anything else is passed through).
    bool hasTrackingAuthorization = true;
    std::int64_t trackingAuthorizationStatus = 3;
    // The advertising manager exists, and whether it allows tracking.
    bool hasAdvertisingManager = true;
    bool advertisingTrackingEnabled = true;
    std::optional<std::string> advertisingIdentifier;
  };

  // Registers the class; null when the registry refused it (a class of that name exists).
  static std::shared_ptr<FakeIdentityAdaptor> install(std::shared_ptr<ClassRegistry> registry, State state);
  static std::shared_ptr<FakeIdentityAdaptor> install(std::shared_ptr<ClassRegistry> registry);
  ~FakeIdentityAdaptor() override;

  std::string className() const override { return kClassName; }

  State state() const;
  void setState(State state);
  void setAdvertisingIdentifier(std::optional<std::string> identifier);
  void setTrackingAuthorizationStatus(std::int64_t status);
  // How often the advertising identifier was asked for.
  std::uint64_t advertisingIdentifierReads() const;

 private:
  FakeIdentityAdaptor(std::shared_ptr<ClassRegistry> registry, State state);
  Value answer(const std::string& selector);

  const std::shared_ptr<ClassRegistry> registry_;
  mutable std::mutex mutex_;
  State state_;
  std::uint64_t advertisingIdentifierReads_ = 0;
};

}  // namespace platform::testing
