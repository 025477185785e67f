#include "measurement/engine/TLWResetBookkeeping.h"

#include <utility>

#include "measurement/storage/TLWKeyValueStore.h"

TLWResetBookkeeping::TLWResetBookkeeping(std::shared_ptr<TLWKeyValueStore> suite) : suite_(std::move(suite)) {}

std::int64_t TLWResetBookkeeping::retryCount() const {
  return suite_ ? suite_->integerForKey(kTLWResetRetryCountKey) : 0;
}

void TLWResetBookkeeping::setRetryCount(std::int64_t count) {
  if (!suite_) return;
  if (count < 1) {
    suite_->removeObjectForKey(kTLWResetRetryCountKey);
  } else {
    suite_->setInteger(count, kTLWResetRetryCountKey);
  }
}

bool TLWResetBookkeeping::isWipeOwed() const {
  const std::int64_t retries = retryCount();
  return retries >= 1 && retries <= 9;
}

bool TLWResetBookkeeping::needFirstOpen() const {
  return suite_ && suite_->boolForKey(kTLWNeedFirstOpenAfterResetKey);
}

void TLWResetBookkeeping::setNeedFirstOpen(bool need) {
  if (suite_) suite_->setBool(need, kTLWNeedFirstOpenAfterResetKey);
}

void TLWResetBookkeeping::clearNeedFirstOpen() {
  if (suite_) suite_->removeObjectForKey(kTLWNeedFirstOpenAfterResetKey);
}

std::optional<std::string> TLWResetBookkeeping::appInstanceID() const {
  return suite_ ? suite_->stringForKey(kTLWAppInstanceIDAfterResetKey) : std::nullopt;
}

void TLWResetBookkeeping::setAppInstanceID(const std::optional<std::string>& appInstanceID) {
  if (!suite_) return;
  if (appInstanceID) {
    suite_->setObject(platform::Value(*appInstanceID), kTLWAppInstanceIDAfterResetKey);
  } else {
    suite_->removeObjectForKey(kTLWAppInstanceIDAfterResetKey);
  }
}

void TLWResetBookkeeping::clearAppInstanceIDIfStill(const std::string& appInstanceID) {
  if (this->appInstanceID() == appInstanceID) setAppInstanceID(std::nullopt);
}

std::optional<std::string> TLWResetBookkeeping::takeAppInstanceID() {
  auto pending = appInstanceID();
  if (!pending || pending->empty()) return std::nullopt;
  setAppInstanceID(std::nullopt);
  return pending;
}

platform::Value TLWResetBookkeeping::deferredCollection() const {
  return suite_ ? suite_->objectForKey(kTLWDeferredAnalyticsCollectionKey) : platform::Value();
}

void TLWResetBookkeeping::setDeferredCollection(const platform::Value& value) {
  if (!suite_) return;
  if (value.isNull()) {
    suite_->removeObjectForKey(kTLWDeferredAnalyticsCollectionKey);
  } else {
    suite_->setObject(value, kTLWDeferredAnalyticsCollectionKey);
  }
}

bool TLWResetBookkeeping::wasCollectionDeferred() const {
  return suite_ && suite_->boolForKey(kTLWDeferredAnalyticsCollectionKey);
}

void TLWResetBookkeeping::recordDeferredCollectionIfUnset(bool enabled) {
  if (suite_ && deferredCollection().isNull()) suite_->setInteger(enabled ? 0 : 1, kTLWDeferredAnalyticsCollectionKey);
}
