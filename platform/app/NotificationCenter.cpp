#include "platform/app/NotificationCenter.h"

#include <algorithm>
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

namespace {
// Handler calls running on this thread, of any centre.
thread_local int tHandlerDepth = 0;
}  // namespace

void NotificationCenter::retire(const std::vector<std::shared_ptr<Entry>>& entries) {
  const auto me = std::this_thread::get_id();
  // From inside a handler no new call starts, but the running ones are not waited for: two
  // handlers removing each other from two threads would wait for each other for good.
  const bool wait = tHandlerDepth == 0;
  for (const auto& e : entries) {
    std::unique_lock lock(e->callMutex);
    e->removed = true;
    if (!wait) continue;
    // A call on this thread is the caller's own handler (or one it nested into): waiting
    // for it would never end.
    e->callsDone.wait(lock, [&] {
      return std::all_of(e->callers.begin(), e->callers.end(), [&](std::thread::id t) { return t == me; });
    });
  }
}

bool NotificationCenter::removeObserver(ObserverID id) {
  std::vector<std::shared_ptr<Entry>> gone;
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e->id == id; });
    if (it == entries_.end()) return false;
    gone.push_back(*it);
    entries_.erase(it);
  }
  // Outside the centre's lock, so that the handlers being waited for may still use it.
  retire(gone);
  return true;
}

std::size_t NotificationCenter::removeObserversOwnedBy(const void* owner, std::string_view name) {
  if (!owner) return 0;
  std::vector<std::shared_ptr<Entry>> gone;
  {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const std::shared_ptr<Entry>& e) {
      if (e->owner != owner || (!name.empty() && e->name != name)) return false;
      gone.push_back(e);
      return true;
    });
  }
  retire(gone);
  return gone.size();
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
  const auto me = std::this_thread::get_id();
  for (const auto& e : matching) {
    {
      std::lock_guard lock(e->callMutex);
      if (e->removed) continue;
      e->callers.push_back(me);
    }
    struct CallEnd {
      Entry& entry;
      std::thread::id me;
      ~CallEnd() {
        std::lock_guard lock(entry.callMutex);
        entry.callers.erase(std::find(entry.callers.begin(), entry.callers.end(), me));
        entry.callsDone.notify_all();
      }
    } callEnd{*e, me};
    ++tHandlerDepth;
    struct DepthEnd {
      ~DepthEnd() { --tHandlerDepth; }
    } depthEnd;
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
