#pragma once
// The fan-out behind the debug view's live channel: messages (server-sent event frames)
// go into a bounded ring of recent ones and to every subscriber's bounded queue. A
// subscriber that reads too slowly loses its oldest queued messages (counted, so the page
// can say so) instead of holding up the publisher; one that is gone costs nothing.
//
// Thread-safety: every member of DebugFeed and Subscription may be called from any
// thread. publish() never waits for a subscriber.
// Ownership: a Subscription may outlive its feed; it then reads as closed.
// Memory: at most Limits::ringMessages / ringBytes in the ring, subscriberMessages /
// subscriberBytes queued per subscriber (frames are shared, not copied), maxSubscribers
// subscribers and latestKeys kept "latest" messages.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace measurement_service {

class DebugFeed {
 public:
  struct Limits {
    std::size_t ringMessages = 256;
    std::size_t ringBytes = 16u << 20;
    std::size_t subscriberMessages = 512;
    std::size_t subscriberBytes = 32u << 20;
    std::size_t maxSubscribers = 16;
    std::size_t latestKeys = 64;
  };
  using Frame = std::shared_ptr<const std::string>;

  class Subscription {
   public:
    struct Batch {
      std::vector<Frame> frames;
      // Messages dropped from this subscriber's queue since the last batch.
      std::uint64_t skipped = 0;
      bool closed = false;
    };
    ~Subscription();
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    // What is queued, waiting up to `wait` for something; an empty batch on time-out.
    Batch next(std::chrono::milliseconds wait);

   private:
    friend class DebugFeed;
    struct Shared;
    explicit Subscription(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
    void enqueue(Frame frame, const Limits& limits);

    std::shared_ptr<Shared> shared_;
    std::deque<Frame> queue_;
    std::size_t queuedBytes_ = 0;
    std::uint64_t skipped_ = 0;
    bool closed_ = false;
    std::condition_variable ready_;
  };

  explicit DebugFeed(Limits limits);
  DebugFeed() : DebugFeed(Limits{}) {}
  ~DebugFeed();
  DebugFeed(const DebugFeed&) = delete;
  DebugFeed& operator=(const DebugFeed&) = delete;

  // Sends `data` as event `event` with the next ID to every subscriber and keeps it in the
  // ring; returns the ID.
  std::uint64_t publish(std::string_view event, std::string_view data);
  // Sends `data` (without an ID) to every subscriber and keeps it under `key`, replacing
  // the message kept there before; every new subscriber gets the kept ones after the ring.
  void publishLatest(const std::string& key, std::string_view event, std::string_view data);
  // The ring's messages with an ID above `lastSeenID`, then the kept latest ones, queued
  // for a new subscriber; null when maxSubscribers are subscribed or the feed is closed.
  std::shared_ptr<Subscription> subscribe(std::uint64_t lastSeenID);
  // Ends every subscription (their next() returns closed at once) and refuses new ones.
  void close();

  std::size_t subscriberCount() const;
  std::size_t ringSize() const;
  std::size_t ringBytes() const;

  // "id: 7\nevent: upload\ndata: {...}\n\n"; data lines split at line breaks.
  static std::string frame(std::uint64_t id, std::string_view event, std::string_view data);

 private:
  struct Entry {
    std::uint64_t id;
    Frame frame;
  };
  void fanOutLocked(const Frame& frame);

  const Limits limits_;
  std::shared_ptr<Subscription::Shared> shared_;
  std::deque<Entry> ring_;
  std::size_t ringBytes_ = 0;
  std::uint64_t nextID_ = 1;
  std::list<std::pair<std::string, Frame>> latest_;
};

}  // namespace measurement_service
