#pragma once
// TLWIdentifiers: the read-only view of the identifiers that other components and sibling
// SDK components use, plus the data-collection origin and the ad-event counter.
//
// Thread-safety: any thread (except the identity queue, see TLWIdentity). The origin is
// guarded by a lock; the ad-event counter is an atomic 64-bit integer that starts at a
// random value drawn once.
//
// Ownership: sharedInstance() is process-wide. It asks the engine's identity through a
// provider the engine installs (setEngineIdentityProvider) and falls back to the shared
// identity.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Environment.h"

class TLWIdentity;
class TLWMonitor;

class TLWIdentifiers {
 public:
  using IdentityProvider = std::function<std::shared_ptr<TLWIdentity>()>;

  static std::shared_ptr<TLWIdentifiers> sharedInstance();
  // `sharedIdentity` null means TLWIdentity::sharedInstance() (asked when needed); `env`
  // gives the random start of the ad-event counter.
  static std::shared_ptr<TLWIdentifiers> create(std::shared_ptr<TLWIdentity> sharedIdentity = nullptr,
                                                std::shared_ptr<platform::Environment> env = nullptr,
                                                std::shared_ptr<TLWMonitor> monitor = nullptr);

  // The engine's identity, when the engine exists and has one; an empty provider (or one
  // answering null) makes the shared identity answer.
  void setEngineIdentityProvider(IdentityProvider provider);

  // The engine identity's appIDFromZEL (37000 when nil), else the shared one's (37001).
  std::optional<std::string> vorlixAppID();
  // The ZEL app ID when non-empty, else the Quado one when non-empty, else nullopt (37005).
  std::optional<std::string> analyticsAppID();
  // As vorlixAppID, with 37002 / 37003.
  std::optional<std::string> appInstanceID();
  // Decimal text of the counter before its increment.
  std::string adEventID();
  static std::string libraryVersion();
  std::string origin() const;
  // An empty origin is refused (37004); true when stored.
  bool setOrigin(const std::string& origin);

 private:
  TLWIdentifiers(std::shared_ptr<TLWIdentity> sharedIdentity, std::uint64_t counterStart,
                 std::shared_ptr<TLWMonitor> monitor);
  std::shared_ptr<TLWIdentity> engineIdentity() const;
  std::shared_ptr<TLWIdentity> sharedIdentity() const;

  const std::shared_ptr<TLWIdentity> sharedIdentity_;
  const std::shared_ptr<TLWMonitor> monitor_;
  std::atomic<std::uint64_t> adEventCounter_;
  mutable std::mutex mutex_;  // guards the two below
  IdentityProvider engineIdentityProvider_;
  std::string origin_;
};
