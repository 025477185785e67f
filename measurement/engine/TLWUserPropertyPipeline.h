#pragma once
// TLWUserPropertyPipeline: the engine side of user properties and the user ID: setting and
// removing them in the database with the public and per-origin limits, reading one or all
// back, the advertising-ID reset marker "_lair", and the database part of a data wipe.
//
// Thread-safety: members ending in OnWorkerQueue and wipeoutDatabaseOnWorkerQueue run on
// the worker queue only; the others may be called from any thread and only schedule a
// block. Callbacks never run on the worker queue: they go to a background queue.
// Ownership: create() returns a shared object; scheduled blocks hold it weakly and do
// nothing once it is gone. The host and the error-event sink are held weakly.
// Failure: database errors are logged with their message codes and leave the stored
// properties as they were; worker-queue operations answer true / false.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "measurement/model/TLWValue.h"
#include "platform/DispatchQueue.h"
#include "platform/Environment.h"
#include "platform/Value.h"

class TLWDatabase;
class TLWEventPipelineHost;
class TLWEventPipelineSettings;
class TLWMonitor;
class TLWPersistedConfig;
class TLWScheduler;
class TLWUserAttribute;

class TLWUserPropertyPipeline : public std::enable_shared_from_this<TLWUserPropertyPipeline> {
 public:
  static constexpr std::int64_t kMaxUserPropertiesPerOrigin = 25;

  struct Dependencies {
    std::shared_ptr<TLWDatabase> database;                // required
    std::shared_ptr<TLWPersistedConfig> persistedConfig;  // required
    std::shared_ptr<TLWScheduler> scheduler;              // required
    std::weak_ptr<TLWEventPipelineHost> host;             // required (the enable switch)
    std::shared_ptr<TLWEventPipelineSettings> settings;   // null: defaults
    std::shared_ptr<platform::Environment> env;           // null: Environment::current()
    std::shared_ptr<TLWMonitor> monitor;                  // null: TLWMonitor::sharedInstance()
    // Where callbacks run; null: a background queue of its own.
    std::shared_ptr<platform::DispatchQueue> callbackQueue;
  };

  using UserAttributeCallback = std::function<void(std::shared_ptr<TLWUserAttribute>)>;
  using UserPropertiesCallback = std::function<void(platform::Dictionary)>;
  using MaxUserPropertiesCallback = std::function<void(std::int64_t)>;
  // Receives the parameters of an error event "_err" to log.
  using ErrorEventSink = std::function<void(TLWParameters)>;

  // Null (logged) when a required dependency is missing.
  [[nodiscard]] static std::shared_ptr<TLWUserPropertyPipeline> create(Dependencies dependencies);
  ~TLWUserPropertyPipeline();

  // Set by the event pipeline when it is created.
  void setErrorEventSink(ErrorEventSink sink);

  // Any thread.
  void setUserAttribute(std::shared_ptr<const TLWUserAttribute> attribute);
  void removeUserAttribute(std::shared_ptr<const TLWUserAttribute> attribute);
  void userAttributeWithName(std::string name, UserAttributeCallback callback);
  void userPropertiesIncludingInternal(bool includeInternal, UserPropertiesCallback callback);
  void maxUserPropertiesForOrigin(const std::string& origin, MaxUserPropertiesCallback callback);

  // Worker queue.
  void setUserAttributeOnWorkerQueue(const std::shared_ptr<const TLWUserAttribute>& attribute);
  [[nodiscard]] bool setUserPropertyInDatabaseOnWorkerQueue(const TLWUserAttribute& attribute);
  void removeUserAttributeOnWorkerQueue(const std::string& name);
  // The stored property, or null (absent or error, logged).
  std::shared_ptr<TLWUserAttribute> userAttributeWithNameOnWorkerQueue(const std::string& name);
  // Name to string or number; internal names only when asked.
  platform::Dictionary userPropertiesIncludingInternalOnWorkerQueue(bool includeInternal);
  void setLastAdvertisingIDResetUserPropertyOnWorkerQueue();
  // The database part of wipeoutAnalyticsDataAndResetComponents: resets the database
  // (logged 23209 on failure). False when the reset failed.
  [[nodiscard]] bool wipeoutDatabaseOnWorkerQueue();

 private:
  explicit TLWUserPropertyPipeline(Dependencies dependencies);
  bool isMeasurementEnabled() const;
  void postCallback(std::function<void()> block);
  double now() const;

  Dependencies deps_;
  std::shared_ptr<platform::DispatchQueue> callbackQueue_;
  std::mutex sinkMutex_;
  ErrorEventSink errorEventSink_;
};
