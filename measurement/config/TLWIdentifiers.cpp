#include "measurement/config/TLWIdentifiers.h"

#include "measurement/config/TLWIdentity.h"
#include "measurement/monitor/TLWMonitor.h"

std::shared_ptr<TLWIdentifiers> TLWIdentifiers::sharedInstance() {
  static const auto& instance = *new std::shared_ptr<TLWIdentifiers>(create());
  return instance;
}

std::shared_ptr<TLWIdentifiers> TLWIdentifiers::create(std::shared_ptr<TLWIdentity> sharedIdentity,
                                                       std::shared_ptr<platform::Environment> env,
                                                       std::shared_ptr<TLWMonitor> monitor) {
  if (!env) env = platform::Environment::current();
  if (!monitor) monitor = TLWMonitor::sharedInstance();
  return std::shared_ptr<TLWIdentifiers>(
      new TLWIdentifiers(std::move(sharedIdentity), env->random()->next64(), std::move(monitor)));
}

TLWIdentifiers::TLWIdentifiers(std::shared_ptr<TLWIdentity> sharedIdentity, std::uint64_t counterStart,
                               std::shared_ptr<TLWMonitor> monitor)
    : sharedIdentity_(std::move(sharedIdentity)), monitor_(std::move(monitor)), adEventCounter_(counterStart) {}

void TLWIdentifiers::setEngineIdentityProvider(IdentityProvider provider) {
  std::lock_guard lock(mutex_);
  engineIdentityProvider_ = std::move(provider);
}

std::shared_ptr<TLWIdentity> TLWIdentifiers::engineIdentity() const {
  IdentityProvider provider;
  {
    std::lock_guard lock(mutex_);
    provider = engineIdentityProvider_;
  }
  return provider ? provider() : nullptr;
}

std::shared_ptr<TLWIdentity> TLWIdentifiers::sharedIdentity() const {
  return sharedIdentity_ ? sharedIdentity_ : TLWIdentity::sharedInstance();
}

std::optional<std::string> TLWIdentifiers::vorlixAppID() {
  if (auto identity = engineIdentity()) {
    auto id = identity->appIDFromZEL();
    if (!id) monitor_->logWithLevel(2, 37000, "Unable to fetch Vorlix App ID from identity");
    return id;
  }
  auto identity = sharedIdentity();
  auto id = identity ? identity->appIDFromZEL() : std::nullopt;
  if (!id) monitor_->logWithLevel(2, 37001, "Unable to fetch Vorlix App ID from default options");
  return id;
}

std::optional<std::string> TLWIdentifiers::analyticsAppID() {
  auto identity = engineIdentity();
  if (!identity) identity = sharedIdentity();
  if (identity) {
    if (auto zel = identity->appIDFromZEL(); zel && !zel->empty()) return zel;
    if (auto quado = identity->appIDFromQuado(); quado && !quado->empty()) return quado;
  }
  monitor_->logWithLevel(2, 37005, "Unable to fetch effective App ID from identity");
  return std::nullopt;
}

std::optional<std::string> TLWIdentifiers::appInstanceID() {
  if (auto identity = engineIdentity()) {
    auto id = identity->appInstanceID();
    if (!id) monitor_->logWithLevel(2, 37002, "Unable to fetch App Instance ID from identity");
    return id;
  }
  auto identity = sharedIdentity();
  auto id = identity ? identity->appInstanceID() : std::nullopt;
  if (!id) monitor_->logWithLevel(2, 37003, "Unable to fetch App Instance ID from identity shared instance");
  return id;
}

std::string TLWIdentifiers::adEventID() {
  // Unsigned arithmetic wraps where the counter passes its top; the text stays a whole
  // decimal number.
  std::uint64_t value = adEventCounter_.fetch_add(1, std::memory_order_relaxed);
  return std::to_string(static_cast<std::int64_t>(value));
}

std::string TLWIdentifiers::libraryVersion() { return std::to_string(TLWIdentity::tallywiseLibraryVersion()); }

std::string TLWIdentifiers::origin() const {
  std::lock_guard lock(mutex_);
  return origin_;
}

bool TLWIdentifiers::setOrigin(const std::string& origin) {
  if (origin.empty()) {
    monitor_->logWithLevel(2, 37004, "Cannot set the data collection origin. Origin cannot be empty");
    return false;
  }
  std::lock_guard lock(mutex_);
  origin_ = origin;
  return true;
}
