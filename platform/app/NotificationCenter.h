#pragma once
// Named notifications: observe by name and sender, post, remove.
//
// Thread-safety: every operation may be called from any thread, including from inside a
// handler (a handler may post, add or remove observers). A notification is delivered on
// the posting thread, synchronously, to the observers registered when the post began, in
// the order they were added. An observer is never called after removeObserver (or
// removeObserversOwnedBy) has returned: removal waits for calls of its handler already
// running on other threads, and does not wait for one running on the removing thread (a
// handler may remove itself). A removal made from inside a handler starts no new call but
// waits for none (two handlers removing each other from two threads would otherwise wait
// for each other for good). So do not remove an observer while holding a lock its handler
// takes.
//
// Ownership: the centre keeps a copy of each handler until it is removed; a handler that
// needs its owner should capture it weakly. Handlers must not throw; an exception that
// escapes one is caught, logged and does not stop delivery to the others.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/Value.h"

namespace platform {

struct Notification {
  std::string name;
  // The sender; null for none.
  Value object;
  Dictionary userInfo;
};

class NotificationCenter {
 public:
  using Handler = std::function<void(const Notification&)>;
  using ObserverID = std::uint64_t;
  static constexpr ObserverID kInvalidObserver = 0;

  NotificationCenter() = default;
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // Observes `name` (empty: every name) posted by `sender` (null: any sender). Senders
  // match by Value equality, which for library objects is their isEqual. `owner` is an
  // optional identity for removeObserversOwnedBy. Returns the observer's identifier, or
  // kInvalidObserver for an empty handler.
  ObserverID addObserver(std::string_view name, Value sender, Handler handler, const void* owner = nullptr);

  // Removes one observer; false when it was not registered.
  bool removeObserver(ObserverID id);
  // Removes every observer registered with `owner`, or only those for `name` when it is
  // non-empty. Returns how many were removed.
  std::size_t removeObserversOwnedBy(const void* owner, std::string_view name = {});

  // Delivers on the calling thread; returns how many observers were called.
  std::size_t post(const Notification& notification);
  std::size_t post(std::string_view name, Value sender = {}, Dictionary userInfo = {});

  std::size_t observerCount() const;

 private:
  struct Entry {
    ObserverID id;
    std::string name;
    Value sender;
    const void* owner;
    Handler handler;
    // Guards `removed` and the calls in flight, so that removal can wait for them.
    std::mutex callMutex;
    std::condition_variable callsDone;
    bool removed = false;
    std::vector<std::thread::id> callers;
  };
  // Marks the entries removed and waits for their calls on other threads to end.
  static void retire(const std::vector<std::shared_ptr<Entry>>& entries);

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Entry>> entries_;
  ObserverID nextID_ = 1;
};

}  // namespace platform
