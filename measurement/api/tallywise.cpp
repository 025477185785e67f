// The C interface (tallywise/tallywise.h) over TWKAnalytics. Every entry point catches
// everything: a C caller cannot unwind a C++ exception.
#include "tallywise/tallywise.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include "measurement/api/TLWAnalytics.h"
#include "measurement/api/TWKAnalytics.h"
#include "measurement/model/TLWDataTypeValidator.h"
#include "measurement/model/TLWEvent.h"
#include "measurement/model/TLWValue.h"
#include "platform/Value.h"
#include "platform/core/TWKApp.h"
#include "platform/core/TWKOptions.h"
#include "platform/core/TWKTarnwickVersion.h"

struct tw_options {
  platform::TWKOptions options{""};
};

struct tw_params {
  platform::Dictionary entries;
};

namespace {

using platform::Dictionary;
using platform::Value;

// Live handles with their kind, so a second free, or an options handle passed as
// parameters, is refused without touching the memory.
enum class HandleKind { Options, Params };
struct Handles {
  std::mutex mutex;
  std::unordered_map<const void*, HandleKind> live;
};
Handles& handles() {
  // Never destroyed: a C caller may free handles from its own exit handlers.
  static Handles& h = *new Handles();
  return h;
}
void addHandle(const void* p, HandleKind kind) {
  std::lock_guard<std::mutex> lock(handles().mutex);
  handles().live.emplace(p, kind);
}
bool isLive(const void* p, HandleKind kind) {
  std::lock_guard<std::mutex> lock(handles().mutex);
  auto it = handles().live.find(p);
  return it != handles().live.end() && it->second == kind;
}
bool removeHandle(const void* p, HandleKind kind) {
  std::lock_guard<std::mutex> lock(handles().mutex);
  auto it = handles().live.find(p);
  if (it == handles().live.end() || it->second != kind) return false;
  handles().live.erase(it);
  return true;
}

// A removed listener must never run again, even when the library's queue already holds a
// call to it; the recursive mutex lets the listener remove itself.
struct CListener {
  std::recursive_mutex mutex;
  bool active = true;
  tw_log_event_listener fn = nullptr;
  void* userData = nullptr;
  TLWLogEventListenerToken token;
};
struct Listeners {
  std::mutex mutex;
  std::map<tw_listener_token, std::shared_ptr<CListener>> byToken;
};
Listeners& listeners() {
  static Listeners& l = *new Listeners();
  return l;
}

std::atomic<bool> gStarted{false};

template <typename F>
tw_status guarded(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return TW_ERR_INTERNAL;
  }
}

// The registry is checked first, so a handle freed already is refused unread.
template <typename Handle>
tw_status freeHandle(Handle* handle, HandleKind kind) {
  return guarded([&] {
    if (!handle) return TW_ERR_NULL_ARGUMENT;
    if (!removeHandle(handle, kind)) return TW_ERR_INVALID_HANDLE;
    delete handle;
    return TW_OK;
  });
}

tw_status checkString(const char* s) {
  if (!s) return TW_ERR_NULL_ARGUMENT;
  if (!platform::utf8::isValid(s)) return TW_ERR_INVALID_UTF8;
  return TW_OK;
}

tw_status checkParams(const void* p) {
  if (!p) return TW_ERR_NULL_ARGUMENT;
  return isLive(p, HandleKind::Params) ? TW_OK : TW_ERR_INVALID_HANDLE;
}

Value paramsValue(const tw_params* params) { return params ? Value(params->entries) : Value(); }

tw_status setParam(tw_params* params, const char* key, Value value) {
  if (tw_status s = checkParams(params); s != TW_OK) return s;
  if (tw_status s = checkString(key); s != TW_OK) return s;
  params->entries.set(Value(key), std::move(value));
  return TW_OK;
}

tw_status checkOptions(const tw_options* options) {
  if (!options) return TW_ERR_NULL_ARGUMENT;
  return isLive(options, HandleKind::Options) ? TW_OK : TW_ERR_INVALID_HANDLE;
}

Value consentValue(int c) { return Value(c == TW_CONSENT_GRANTED ? "granted" : "denied"); }

}  // namespace

extern "C" {

const char* tw_version(void) { return TW_VERSION_STRING; }

const char* tw_status_string(int status) {
  switch (status) {
    case TW_OK: return "ok";
    case TW_ERR_NULL_ARGUMENT: return "a required pointer was NULL";
    case TW_ERR_INVALID_UTF8: return "a string was not valid UTF-8";
    case TW_ERR_INVALID_NAME: return "the name was refused";
    case TW_ERR_INVALID_VALUE: return "the value was refused";
    case TW_ERR_INVALID_HANDLE: return "the handle or token is not live";
    case TW_ERR_NOT_CONFIGURED: return "tw_configure has not succeeded";
    case TW_ERR_REFUSED: return "the call does not fit the library's state";
    case TW_ERR_TIMEOUT: return "timed out";
    case TW_ERR_INTERNAL: return "internal failure";
  }
  return "unknown status";
}

tw_status tw_options_new(const char* app_id, tw_options** out_options) {
  return guarded([&] {
    if (!out_options) return TW_ERR_NULL_ARGUMENT;
    if (tw_status s = checkString(app_id); s != TW_OK) return s;
    const std::size_t length = std::strlen(app_id);
    if (length == 0 || length > platform::TWKOptions::kMaxAppIDLength) return TW_ERR_INVALID_VALUE;
    auto* options = new tw_options();
    options->options.setVorlixAppID(app_id);
    addHandle(options, HandleKind::Options);
    *out_options = options;
    return TW_OK;
  });
}

tw_status tw_options_set_quado_app_id(tw_options* options, const char* app_id) {
  return guarded([&] {
    if (tw_status s = checkOptions(options); s != TW_OK) return s;
    if (tw_status s = checkString(app_id); s != TW_OK) return s;
    options->options.setQuadoAppID(app_id);
    return TW_OK;
  });
}

tw_status tw_options_set_collection_enabled(tw_options* options, int enabled) {
  return guarded([&] {
    if (tw_status s = checkOptions(options); s != TW_OK) return s;
    options->options.setAnalyticsCollectionEnabled(enabled != 0);
    return TW_OK;
  });
}

tw_status tw_options_set_collection_deactivated(tw_options* options, int deactivated) {
  return guarded([&] {
    if (tw_status s = checkOptions(options); s != TW_OK) return s;
    options->options.setAnalyticsCollectionDeactivated(deactivated != 0);
    return TW_OK;
  });
}

tw_status tw_options_set_safelisted_events(tw_options* options, const char* const* names, size_t count) {
  return guarded([&] {
    if (tw_status s = checkOptions(options); s != TW_OK) return s;
    if (!names && count != 0) return TW_ERR_NULL_ARGUMENT;
    platform::Array list;
    for (size_t i = 0; i < count; ++i) {
      if (tw_status s = checkString(names[i]); s != TW_OK) return s;
      Value name(names[i]);
      if (!TLWDataTypeValidator::isValidInternalEventName(TLWObjectRef(name))) return TW_ERR_INVALID_NAME;
      list.push_back(std::move(name));
    }
    options->options.setSafelistedEvents(Value(std::move(list)));
    return TW_OK;
  });
}

tw_status tw_options_free(tw_options* options) { return freeHandle(options, HandleKind::Options); }

tw_status tw_configure(const tw_options* options) {
  return guarded([&] {
    if (tw_status s = checkOptions(options); s != TW_OK) return s;
    return platform::TWKApp::configureWithOptions(options->options) ? TW_OK : TW_ERR_REFUSED;
  });
}

tw_status tw_start(void) {
  return guarded([&] {
    auto app = platform::TWKApp::defaultApp();
    if (!app) return TW_ERR_NOT_CONFIGURED;
    if (gStarted.exchange(true)) return TW_ERR_REFUSED;
    const platform::TWKOptions& options = app->options();
    if (options.safelistedEvents().isNull()) {
      TWKAnalytics::startWithConfiguration(Value(), options);
      return TW_OK;
    }
    // The C++ start reads the safelist from the bundle only; a C caller can give one.
    Dictionary start;
    start.set(Value(kTLWStartOptionCollectionDeactivated), Value(options.isAnalyticsCollectionDeactivated()));
    start.set(Value(kTLWStartOptionCollectionEnabled), Value(options.isAnalyticsCollectionEnabled()));
    start.set(Value(kTLWStartOptionLogTag), Value(platform::kTWKLoggerAnalytics));
    start.set(Value(kTLWStartOptionSafelistedEvents), options.safelistedEvents());
    TLWAnalytics::startWithAppID(options.vorlixAppID(), "tq", Value(std::move(start)));
    TWKAnalytics::updateTarnwickInstallationID();
    TWKAnalytics::observeTarnwickInstallationIDChanges();
    return TW_OK;
  });
}

tw_status tw_params_new(tw_params** out_params) {
  return guarded([&] {
    if (!out_params) return TW_ERR_NULL_ARGUMENT;
    auto* params = new tw_params();
    addHandle(params, HandleKind::Params);
    *out_params = params;
    return TW_OK;
  });
}

tw_status tw_params_add_string(tw_params* params, const char* key, const char* value) {
  return guarded([&] {
    if (tw_status s = checkString(value); s != TW_OK) return s;
    return setParam(params, key, Value(value));
  });
}

tw_status tw_params_add_int(tw_params* params, const char* key, int64_t value) {
  return guarded([&] { return setParam(params, key, Value(static_cast<long long>(value))); });
}

tw_status tw_params_add_double(tw_params* params, const char* key, double value) {
  return guarded([&] { return setParam(params, key, Value(value)); });
}

tw_status tw_params_add_item(tw_params* params, const char* key, const tw_params* item) {
  return guarded([&] {
    if (tw_status s = checkParams(params); s != TW_OK) return s;
    if (tw_status s = checkParams(item); s != TW_OK) return s;
    if (tw_status s = checkString(key); s != TW_OK) return s;
    platform::Array items;
    if (const Value* existing = params->entries.find(key)) {
      const platform::Array* array = existing->array();
      if (!array) return TW_ERR_INVALID_VALUE;
      items = *array;
    }
    items.push_back(Value(item->entries));
    params->entries.set(Value(key), Value(std::move(items)));
    return TW_OK;
  });
}

tw_status tw_params_free(tw_params* params) { return freeHandle(params, HandleKind::Params); }

tw_status tw_log_event(const char* name, const tw_params* params) {
  return guarded([&] {
    if (tw_status s = checkString(name); s != TW_OK) return s;
    if (params) {
      if (tw_status s = checkParams(params); s != TW_OK) return s;
    }
    const Value nameValue(name);
    // The C++ call reports the refusal (25018, or an "_err" event); the C caller also gets a code.
    tw_status status = TW_OK;
    if (!platform::TWKApp::isDefaultAppConfigured()) {
      status = TW_ERR_NOT_CONFIGURED;
    } else if (!TLWDataTypeValidator::isValidPublicEventName(TLWObjectRef(nameValue))) {
      status = TW_ERR_INVALID_NAME;
    }
    TWKAnalytics::logEventWithName(nameValue, paramsValue(params));
    return status;
  });
}

tw_status tw_set_user_property(const char* name, const char* value) {
  return guarded([&] {
    if (tw_status s = checkString(name); s != TW_OK) return s;
    if (tw_status s = checkString(value); s != TW_OK) return s;
    const Value nameValue(name);
    const Value valueValue(value);
    tw_status status = TW_OK;
    if (!platform::TWKApp::isDefaultAppConfigured()) {
      status = TW_ERR_NOT_CONFIGURED;
    } else if (std::strcmp(name, "allow_personalized_ads") == 0) {
      status = TW_OK;
    } else if (!TLWDataTypeValidator::isValidPublicUserAttributeName(TLWObjectRef(nameValue))) {
      status = TW_ERR_INVALID_NAME;
    } else if (!TLWDataTypeValidator::isValidPublicUserAttributeValue(TLWObjectRef(TLWValue::initWithString(value)))) {
      status = TW_ERR_INVALID_VALUE;
    }
    TWKAnalytics::setUserPropertyString(valueValue, nameValue);
    return status;
  });
}

tw_status tw_clear_user_property(const char* name) {
  return guarded([&] {
    if (tw_status s = checkString(name); s != TW_OK) return s;
    const Value nameValue(name);
    tw_status status = TW_OK;
    if (!platform::TWKApp::isDefaultAppConfigured()) {
      status = TW_ERR_NOT_CONFIGURED;
    } else if (std::strcmp(name, "allow_personalized_ads") != 0 &&
               !TLWDataTypeValidator::isValidPublicUserAttributeName(TLWObjectRef(nameValue))) {
      status = TW_ERR_INVALID_NAME;
    }
    TWKAnalytics::setUserPropertyString(Value(), nameValue);
    return status;
  });
}

tw_status tw_set_user_id(const char* user_id) {
  return guarded([&] {
    if (user_id) {
      if (tw_status s = checkString(user_id); s != TW_OK) return s;
    }
    TWKAnalytics::setUserID(user_id ? Value(user_id) : Value());
    return TW_OK;
  });
}

tw_status tw_set_default_event_parameters(const tw_params* params) {
  return guarded([&] {
    if (params) {
      if (tw_status s = checkParams(params); s != TW_OK) return s;
    }
    TWKAnalytics::setDefaultEventParameters(paramsValue(params));
    return TW_OK;
  });
}

tw_status tw_set_consent(int ad_storage, int analytics_storage) {
  return guarded([&] {
    auto known = [](int c) { return c == TW_CONSENT_UNCHANGED || c == TW_CONSENT_GRANTED || c == TW_CONSENT_DENIED; };
    if (!known(ad_storage) || !known(analytics_storage)) return TW_ERR_INVALID_VALUE;
    Dictionary consent;
    if (ad_storage != TW_CONSENT_UNCHANGED) consent.set(Value("ad_storage"), consentValue(ad_storage));
    if (analytics_storage != TW_CONSENT_UNCHANGED) {
      consent.set(Value("analytics_storage"), consentValue(analytics_storage));
    }
    if (!consent.empty()) TWKAnalytics::setConsent(Value(std::move(consent)));
    return TW_OK;
  });
}

tw_status tw_set_analytics_collection_enabled(int enabled) {
  return guarded([&] {
    TWKAnalytics::setAnalyticsCollectionEnabled(enabled != 0);
    return TW_OK;
  });
}

tw_status tw_reset_analytics_data(void) {
  return guarded([&] {
    TWKAnalytics::resetAnalyticsData();
    return TW_OK;
  });
}

tw_status tw_get_app_instance_id(tw_app_instance_id_callback callback, void* user_data) {
  return guarded([&] {
    if (!callback) return TW_ERR_NULL_ARGUMENT;
    std::optional<std::string> id = TWKAnalytics::appInstanceID();
    callback(id ? id->c_str() : nullptr, user_data);
    return TW_OK;
  });
}

tw_status tw_add_log_event_listener(tw_log_event_listener listener, void* user_data, tw_listener_token* out_token) {
  return guarded([&] {
    if (!listener || !out_token) return TW_ERR_NULL_ARGUMENT;
    auto entry = std::make_shared<CListener>();
    entry->fn = listener;
    entry->userData = user_data;
    std::weak_ptr<CListener> weak = entry;
    entry->token = TWKAnalytics::addLogEventListener([weak](const std::shared_ptr<const TLWEvent>& event) {
      auto self = weak.lock();
      if (!self || !event) return;
      try {
        const std::string parameters = TLWParametersDescription(event->parameters());
        std::lock_guard<std::recursive_mutex> lock(self->mutex);
        if (self->active) self->fn(event->origin().c_str(), event->name().c_str(), parameters.c_str(), self->userData);
      } catch (...) {
        // Out of memory describing the parameters: this listener misses the event.
      }
    });
    if (!entry->token) return TW_ERR_INTERNAL;
    const tw_listener_token token = entry->token.id();
    {
      std::lock_guard<std::mutex> lock(listeners().mutex);
      listeners().byToken.emplace(token, entry);
    }
    *out_token = token;
    return TW_OK;
  });
}

tw_status tw_remove_log_event_listener(tw_listener_token token) {
  return guarded([&] {
    std::shared_ptr<CListener> entry;
    {
      std::lock_guard<std::mutex> lock(listeners().mutex);
      auto it = listeners().byToken.find(token);
      if (it == listeners().byToken.end()) return TW_ERR_INVALID_HANDLE;
      entry = std::move(it->second);
      listeners().byToken.erase(it);
    }
    {
      std::lock_guard<std::recursive_mutex> lock(entry->mutex);
      entry->active = false;
    }
    TWKAnalytics::removeLogEventListener(entry->token);
    return TW_OK;
  });
}

tw_status tw_wait_until_pending_calls_stored(uint32_t timeout_ms) {
  return guarded([&] {
    if (!gStarted.load()) return TW_ERR_REFUSED;
    return TLWAnalytics::waitUntilPendingCallsStored(std::chrono::milliseconds(timeout_ms)) ? TW_OK : TW_ERR_TIMEOUT;
  });
}

tw_status tw_handle_open_url(const char* url) {
  return guarded([&] {
    if (tw_status s = checkString(url); s != TW_OK) return s;
    if (*url == '\0') return TW_ERR_INVALID_VALUE;
    TWKAnalytics::handleOpenURL(Value(url));
    return TW_OK;
  });
}

}  // extern "C"
