#include "measurement/engine/TLWUserPropertyPipeline.h"

#include <cstdio>

#include "measurement/engine/TLWEventPipeline.h"
#include "measurement/scheduler/TLWScheduler.h"
#include "measurement/model/TLWDataTypeValidator.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/monitor/TLWError.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWPersistedConfig.h"

namespace {

constexpr std::string_view kUserIDName = "_id";
constexpr std::string_view kLastAdvertisingIDResetName = "_lair";

// The text a value compares by when the user ID changes.
std::string stringForm(const TLWValue& value) {
  if (const std::string* s = value.stringValue()) return *s;
  if (value.isInt64()) return std::to_string(value.int64Value());
  if (value.isDouble()) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.17g", value.doubleValue());
    return buffer;
  }
  return value.description();
}

}  // namespace

std::shared_ptr<TLWUserPropertyPipeline> TLWUserPropertyPipeline::create(Dependencies dependencies) {
  auto monitor = dependencies.monitor ? dependencies.monitor : TLWMonitor::sharedInstance();
  if (!dependencies.database || !dependencies.persistedConfig || !dependencies.scheduler) {
    monitor->logWithLevel(1, 23901, "Cannot create user property pipeline without database, persisted "
                                  "configuration and scheduler");
    return nullptr;
  }
  return std::shared_ptr<TLWUserPropertyPipeline>(new TLWUserPropertyPipeline(std::move(dependencies)));
}

TLWUserPropertyPipeline::TLWUserPropertyPipeline(Dependencies dependencies) : deps_(std::move(dependencies)) {
  if (!deps_.settings) deps_.settings = std::make_shared<TLWEventPipelineSettings>();
  if (!deps_.env) deps_.env = platform::Environment::current();
  if (!deps_.monitor) deps_.monitor = TLWMonitor::sharedInstance();
  callbackQueue_ = deps_.callbackQueue ? deps_.callbackQueue
                                       : platform::DispatchQueue::global(platform::QueuePriority::Background);
}

TLWUserPropertyPipeline::~TLWUserPropertyPipeline() = default;

void TLWUserPropertyPipeline::setErrorEventSink(ErrorEventSink sink) {
  std::lock_guard<std::mutex> lock(sinkMutex_);
  errorEventSink_ = std::move(sink);
}

bool TLWUserPropertyPipeline::isMeasurementEnabled() const {
  auto host = deps_.host.lock();
  return host && host->isMeasurementEnabled();
}

double TLWUserPropertyPipeline::now() const { return deps_.env->clock()->now(); }

void TLWUserPropertyPipeline::postCallback(std::function<void()> block) { callbackQueue_->async(std::move(block)); }

// ------------------------------------------------------------------ any thread

void TLWUserPropertyPipeline::setUserAttribute(std::shared_ptr<const TLWUserAttribute> attribute) {
  if (!attribute) {
    deps_.monitor->logWithLevel(3, 23079, "Attempted to set nil user property");
    return;
  }
  deps_.scheduler->scheduleOnWorkerQueueBlockID(
      "TLWMeasurement:2434", [weak = weak_from_this(), attribute = std::move(attribute)] {
        if (auto self = weak.lock()) self->setUserAttributeOnWorkerQueue(attribute);
      });
}

void TLWUserPropertyPipeline::removeUserAttribute(std::shared_ptr<const TLWUserAttribute> attribute) {
  if (!attribute) {
    deps_.monitor->logWithLevel(3, 23074, "Attempted to remove nil user property");
    return;
  }
  deps_.scheduler->scheduleOnWorkerQueueBlockID("TLWMeasurement:2394",
                                                [weak = weak_from_this(), name = attribute->name()] {
                                                  if (auto self = weak.lock()) self->removeUserAttributeOnWorkerQueue(name);
                                                });
}

void TLWUserPropertyPipeline::userAttributeWithName(std::string name, UserAttributeCallback callback) {
  if (!callback) {
    deps_.monitor->logWithLevel(0, 23088, "userAttributeWithName callback is nil");
    return;
  }
  deps_.scheduler->scheduleOnWorkerQueueBlockID(
      "TLWMeasurement:2562", [weak = weak_from_this(), name = std::move(name), callback = std::move(callback)] {
        auto self = weak.lock();
        if (!self) return;
        auto attribute = self->userAttributeWithNameOnWorkerQueue(name);
        self->postCallback([callback, attribute] { callback(attribute); });
      });
}

void TLWUserPropertyPipeline::userPropertiesIncludingInternal(bool includeInternal, UserPropertiesCallback callback) {
  if (!callback) {
    deps_.monitor->logWithLevel(0, 23090, "Unable to retrieve user properties. Callback is nil");
    return;
  }
  deps_.scheduler->scheduleOnWorkerQueueBlockID(
      "TLWMeasurement:2617", [weak = weak_from_this(), includeInternal, callback = std::move(callback)] {
        auto self = weak.lock();
        if (!self) return;
        auto properties = self->userPropertiesIncludingInternalOnWorkerQueue(includeInternal);
        self->postCallback([callback, properties = std::move(properties)] { callback(properties); });
      });
}

void TLWUserPropertyPipeline::maxUserPropertiesForOrigin(const std::string& origin,
                                                         MaxUserPropertiesCallback callback) {
  if (origin.empty()) {
    deps_.monitor->logWithLevel(0, 23093, "Origin for querying MaxUserProperties cannot be nil");
    return;
  }
  if (!callback) {
    deps_.monitor->logWithLevel(0, 23094, "MaxUserProperties callback cannot be nil. Origin", platform::Value(origin));
    return;
  }
  postCallback([callback = std::move(callback)] { callback(kMaxUserPropertiesPerOrigin); });
}

// ------------------------------------------------------------------ worker queue

void TLWUserPropertyPipeline::setUserAttributeOnWorkerQueue(const std::shared_ptr<const TLWUserAttribute>& attribute) {
  if (!attribute) return;
  if (!isMeasurementEnabled()) {
    deps_.monitor->logWithLevel(7, 23081, "Analytics is disabled. User property not set");
    return;
  }
  (void)setUserPropertyInDatabaseOnWorkerQueue(*attribute);
}

bool TLWUserPropertyPipeline::setUserPropertyInDatabaseOnWorkerQueue(const TLWUserAttribute& attribute) {
  TLWDatabase& db = *deps_.database;
  const std::string& name = attribute.name();
  TLWError error;
  auto exists = db.containsUserAttributeWithName(name, &error);
  if (!exists) {
    deps_.monitor->logWithLevel(1, 23082, "Unable to query existence of user property. Name, error",
                                platform::Value(name), error.asValue());
    return false;
  }

  if (*exists && name == kUserIDName && deps_.settings->lastAdvertisingIDResetFeatureEnabled()) {
    TLWError readError;
    auto stored = db.userAttributeWithName(name, &readError);
    if (stored && stringForm(stored->value()) != stringForm(attribute.value())) {
      TLWError ignored;
      (void)db.deleteUserAttributeWithName(std::string(kLastAdvertisingIDResetName), &ignored);
    }
  }

  if (!*exists) {
    std::optional<std::int64_t> count;
    std::int64_t limit = 0;
    TLWError countError;
    if (attribute.isPublic()) {
      count = db.publicUserAttributeCount(&countError);
      limit = deps_.settings->maxPublicUserProperties();
    } else {
      // The per-origin limit is on non-public properties: an app's public properties share
      // its origin and must not use up room meant for the user ID.
      count = db.userAttributeCountForOrigin(attribute.origin(), &countError);
      if (count) {
        auto publicOnes = db.userAttributesIncludingInternal(false, &countError);
        if (!publicOnes) {
          count.reset();
        } else {
          for (const auto& p : *publicOnes) {
            if (p && p->origin() == attribute.origin()) --*count;
          }
        }
      }
      limit = kMaxUserPropertiesPerOrigin;
    }
    if (!count) {
      deps_.monitor->logWithLevel(1, 23083, "Unable to query user property count. Origin, error",
                                  platform::Value(attribute.origin()), countError.asValue());
      return false;
    }
    if (*count >= limit) {
      deps_.monitor->logWithLevel(3, 23084,
                                  "Unable to set user property. Reached limit on set user properties for origin. "
                                  "Origin, name, value",
                                  platform::Value(attribute.origin()), platform::Value(name),
                                  attribute.value().asObject());
      ErrorEventSink sink;
      {
        std::lock_guard<std::mutex> lock(sinkMutex_);
        sink = errorEventSink_;
      }
      if (sink) {
        if (auto parameters = TLWDataTypeValidator::errorEventParameters(
                TLWDataTypeValidator::kErrorUserPropertyLimitReached)) {
          sink(std::move(*parameters));
        }
      }
      return false;
    }
  }

  TLWError updateError;
  if (!db.updateUserAttribute(&attribute, &updateError)) {
    deps_.monitor->logWithLevel(1, 23085, "Unable to set user property. Name, value, error", platform::Value(name),
                                attribute.value().asObject(), updateError.asValue());
    return false;
  }
  deps_.monitor->logWithLevel(7, 23087, "User property set. Name, value", platform::Value(name),
                              attribute.value().asObject());
  return true;
}

void TLWUserPropertyPipeline::removeUserAttributeOnWorkerQueue(const std::string& name) {
  if (!isMeasurementEnabled()) {
    deps_.monitor->logWithLevel(7, 23076, "Analytics is disabled. User property not removed");
    return;
  }
  TLWError error;
  if (!deps_.database->deleteUserAttributeWithName(name, &error)) {
    deps_.monitor->logWithLevel(1, 23077, "Unable to remove user property. Name, error", platform::Value(name),
                                error.asValue());
    return;
  }
  deps_.monitor->logWithLevel(7, 23078, "User property removed. Name", platform::Value(name));
}

std::shared_ptr<TLWUserAttribute> TLWUserPropertyPipeline::userAttributeWithNameOnWorkerQueue(const std::string& name) {
  TLWError error;
  auto attribute = deps_.database->userAttributeWithName(name, &error);
  if (!attribute && error.code() != 0) {
    deps_.monitor->logWithLevel(1, 23089, "Unable to get user attribute by name. Name", platform::Value(name));
  }
  return attribute;
}

platform::Dictionary TLWUserPropertyPipeline::userPropertiesIncludingInternalOnWorkerQueue(bool includeInternal) {
  platform::Dictionary out;
  TLWError error;
  auto attributes = deps_.database->userAttributesIncludingInternal(includeInternal, &error);
  if (!attributes) {
    deps_.monitor->logWithLevel(1, 23091, "Unable to retrieve user properties. Error", error.asValue());
    return out;
  }
  for (const auto& attribute : *attributes) {
    if (!attribute || attribute->name().empty() || !attribute->value().isWellFormed() ||
        attribute->value().isArray()) {
      deps_.monitor->logWithLevel(3, 23092, "Cannot add invalid public user property name or value.");
      continue;
    }
    // The query filters by name already; a stored internal name is still never handed out
    // when the caller did not ask for internal properties.
    if (!includeInternal && !attribute->isPublic()) continue;
    const TLWValue& value = attribute->value();
    if (const std::string* s = value.stringValue()) {
      out.set(platform::Value(attribute->name()), platform::Value(*s));
    } else if (value.isDouble()) {
      out.set(platform::Value(attribute->name()), platform::Value(value.doubleValue()));
    } else {
      out.set(platform::Value(attribute->name()), platform::Value(static_cast<long long>(value.int64Value())));
    }
  }
  return out;
}

void TLWUserPropertyPipeline::setLastAdvertisingIDResetUserPropertyOnWorkerQueue() {
  TLWDatabase& db = *deps_.database;
  TLWError error;
  auto hasUserID = db.containsUserAttributeWithName(std::string(kUserIDName), &error);
  if (!hasUserID || !*hasUserID) return;
  TLWError lairError;
  auto hasMarker = db.containsUserAttributeWithName(std::string(kLastAdvertisingIDResetName), &lairError);
  if (!hasMarker || *hasMarker) return;
  auto marker = TLWUserAttribute::initWithOrigin("auto", kLastAdvertisingIDResetName, TLWValue::initWithInt64(1), now());
  if (!marker) return;
  setUserAttributeOnWorkerQueue(marker);
  deps_.persistedConfig->setShouldSetLastAdvertisingIDResetUserProperty(false);
}

bool TLWUserPropertyPipeline::wipeoutDatabaseOnWorkerQueue() {
  TLWError error;
  if (!deps_.database->reset(&error)) {
    deps_.monitor->logWithLevel(1, 23209, "Failed to reset database", error.asValue());
    return false;
  }
  return true;
}
