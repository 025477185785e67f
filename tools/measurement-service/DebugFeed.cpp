#include "tools/measurement-service/DebugFeed.h"

#include <algorithm>
#include <utility>

namespace measurement_service {

// What the feed and its subscriptions share: one lock guards the feed and every queue.
struct DebugFeed::Subscription::Shared {
  std::mutex mutex;
  std::vector<Subscription*> subscribers;
  bool closed = false;
};

DebugFeed::Subscription::~Subscription() {
  std::lock_guard lock(shared_->mutex);
  auto& list = shared_->subscribers;
  list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

DebugFeed::Subscription::Batch DebugFeed::Subscription::next(std::chrono::milliseconds wait) {
  std::unique_lock lock(shared_->mutex);
  ready_.wait_for(lock, wait, [&] { return closed_ || !queue_.empty() || skipped_ > 0; });
  Batch batch;
  batch.frames.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
  queue_.clear();
  queuedBytes_ = 0;
  batch.skipped = std::exchange(skipped_, 0);
  batch.closed = closed_;
  return batch;
}

void DebugFeed::Subscription::enqueue(Frame frame, const Limits& limits) {
  queuedBytes_ += frame->size();
  queue_.push_back(std::move(frame));
  while (queue_.size() > 1 && (queue_.size() > limits.subscriberMessages || queuedBytes_ > limits.subscriberBytes)) {
    queuedBytes_ -= queue_.front()->size();
    queue_.pop_front();
    ++skipped_;
  }
}

DebugFeed::DebugFeed(Limits limits) : limits_(limits), shared_(std::make_shared<Subscription::Shared>()) {}

DebugFeed::~DebugFeed() { close(); }

std::string DebugFeed::frame(std::uint64_t id, std::string_view event, std::string_view data) {
  std::string out;
  out.reserve(data.size() + event.size() + 32);
  if (id) out += "id: " + std::to_string(id) + "\n";
  out += "event: ";
  out += event;
  out += "\n";
  // A line break inside the data would end the field early; each line is a field.
  std::size_t start = 0;
  while (true) {
    std::size_t end = data.find_first_of("\r\n", start);
    out += "data: ";
    out += data.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    out += "\n";
    if (end == std::string_view::npos) break;
    start = end + (data.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  }
  out += "\n";
  return out;
}

void DebugFeed::fanOutLocked(const Frame& frame) {
  for (Subscription* subscriber : shared_->subscribers) {
    subscriber->enqueue(frame, limits_);
    subscriber->ready_.notify_one();
  }
}

std::uint64_t DebugFeed::publish(std::string_view event, std::string_view data) {
  std::lock_guard lock(shared_->mutex);
  const std::uint64_t id = nextID_++;
  auto text = std::make_shared<const std::string>(frame(id, event, data));
  ringBytes_ += text->size();
  ring_.push_back({id, text});
  while (ring_.size() > 1 && (ring_.size() > limits_.ringMessages || ringBytes_ > limits_.ringBytes)) {
    ringBytes_ -= ring_.front().frame->size();
    ring_.pop_front();
  }
  fanOutLocked(text);
  return id;
}

void DebugFeed::publishLatest(const std::string& key, std::string_view event, std::string_view data) {
  std::lock_guard lock(shared_->mutex);
  auto text = std::make_shared<const std::string>(frame(0, event, data));
  latest_.remove_if([&](const auto& entry) { return entry.first == key; });
  latest_.emplace_back(key, text);
  while (latest_.size() > limits_.latestKeys) latest_.pop_front();
  fanOutLocked(text);
}

std::shared_ptr<DebugFeed::Subscription> DebugFeed::subscribe(std::uint64_t lastSeenID) {
  std::lock_guard lock(shared_->mutex);
  if (shared_->closed || shared_->subscribers.size() >= limits_.maxSubscribers) return nullptr;
  std::shared_ptr<Subscription> subscription(new Subscription(shared_));
  for (const Entry& entry : ring_) {
    if (entry.id > lastSeenID) subscription->enqueue(entry.frame, limits_);
  }
  for (const auto& [key, text] : latest_) subscription->enqueue(text, limits_);
  shared_->subscribers.push_back(subscription.get());
  return subscription;
}

void DebugFeed::close() {
  std::lock_guard lock(shared_->mutex);
  shared_->closed = true;
  for (Subscription* subscriber : shared_->subscribers) {
    subscriber->closed_ = true;
    subscriber->ready_.notify_all();
  }
  shared_->subscribers.clear();
}

std::size_t DebugFeed::subscriberCount() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->subscribers.size();
}

std::size_t DebugFeed::ringSize() const {
  std::lock_guard lock(shared_->mutex);
  return ring_.size();
}

std::size_t DebugFeed::ringBytes() const {
  std::lock_guard lock(shared_->mutex);
  return ringBytes_;
}

}  // namespace measurement_service
