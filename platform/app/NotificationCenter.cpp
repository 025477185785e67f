#include "platform/app/NotificationCenter.h"

#include <exception>

#include "platform/app/AppLog.h"

namespace platform {

NotificationCenter::ObserverID NotificationCenter::addObserver(std::string_view name, Value sender, Handler handler,
                                                               const void* owner) {
  if (!handler) return kInvalidObserver;
  auto entry = std::make_shared<Entry>();
  entry->name = std::string(name);
  entry->sender = std::move(sender);
  entry->owner = owner;
  entry->handler = std::move(handler);
  std::lock_guard lock(mutex_);
  entry->id = nextID_++;
  entries_.push_back(entry);
  return entry->id;
}

bool NotificationCenter::removeObserver(ObserverID id) {
  std::lock_guard lock(mutex_);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if ((*it)->id == id) {
      (*it)->removed.store(true, std::memory_order_release);
      entries_.erase(it);
      return true;
    }
  }
  return false;
}

std::size_t NotificationCenter::removeObserversOwnedBy(const void* owner, std::string_view name) {
  if (!owner) return 0;
  std::lock_guard lock(mutex_);
  std::size_t removed = 0;
  std::erase_if(entries_, [&](const std::shared_ptr<Entry>& e) {
    if (e->owner != owner || (!name.empty() && e->name != name)) return false;
    e->removed.store(true, std::memory_order_release);
    ++removed;
    return true;
  });
  return removed;
}

std::size_t NotificationCenter::post(const Notification& notification) {
  // Deliver outside the lock so that handlers may add, remove and post themselves.
  std::vector<std::shared_ptr<Entry>> matching;
  {
    std::lock_guard lock(mutex_);
    for (const auto& e : entries_) {
      if (!e->name.empty() && e->name != notification.name) continue;
      if (!e->sender.isNull() && !(e->sender == notification.object)) continue;
      matching.push_back(e);
    }
  }
  std::size_t delivered = 0;
  for (const auto& e : matching) {
    if (e->removed.load(std::memory_order_acquire)) continue;
    try {
      e->handler(notification);
    } catch (const std::exception& ex) {
      applog::log(VXLLoggerLevel::Error, applog::kAppService, "I-APP000001",
                  "An observer of " + notification.name + " threw: " + ex.what());
    } catch (...) {
      applog::log(VXLLoggerLevel::Error, applog::kAppService, "I-APP000001",
                  "An observer of " + notification.name + " threw");
    }
    ++delivered;
  }
  return delivered;
}

std::size_t NotificationCenter::post(std::string_view name, Value sender, Dictionary userInfo) {
  return post(Notification{std::string(name), std::move(sender), std::move(userInfo)});
}

std::size_t NotificationCenter::observerCount() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace platform
