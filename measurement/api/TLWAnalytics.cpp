#include "measurement/api/TLWAnalytics.h"
#include "measurement/api/TLWAppDelegateInterceptor.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "measurement/config/TLWConsentPersistence.h"
#include "measurement/config/TLWConsentSettingsUtil.h"
#include "measurement/model/TLWDataTypeValidator.h"
#include "measurement/model/TLWEvent.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/model/TLWValue.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/storage/TLWInfoPlistFileUtil.h"
#include "measurement/storage/TLWUserDefaults.h"
#include "platform/app/ClassRegistry.h"
#include "platform/app/VXLAppDelegateSwizzler.h"
#include "platform/network/VXLNetwork.h"

using platform::Array;
using platform::Dictionary;
using platform::Value;

namespace {

// Tokens are unique for the life of the process, across state replacements too.
std::atomic<std::uint64_t> gNextListenerToken{1};

// Identity of the class as a notification observer.
const int kObserverOwnerTag = 0;

std::shared_ptr<TLWMonitor> monitor() { return TLWMonitor::sharedInstance(); }

// NSString boolValue: leading whitespace, an optional sign and zeros skipped, then "Y",
// "y", "T", "t" or a digit 1-9 means true.
bool stringBoolValue(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  while (i < s.size() && s[i] == '0') ++i;
  if (i >= s.size()) return false;
  char c = s[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

bool valueBool(const Value& v) {
  if (auto b = v.boolValue()) return *b;
  if (const std::string* s = v.string()) return stringBoolValue(*s);
  return false;
}

std::string urlStringOf(const Value& url) {
  if (const std::string* u = url.urlString()) return *u;
  if (const std::string* s = url.string()) return *s;
  return {};
}

}  // namespace

struct TLWAnalytics::State {
  State(std::shared_ptr<TLWAnalyticsBackend> b, std::shared_ptr<platform::Environment> e)
      : backend(std::move(b)), env(std::move(e)) {
    serialQueue = platform::DispatchQueue::create(std::string(kTLWAnalyticsQueueLabel),
                                                  platform::QueuePriority::Background);
    gate = platform::OperationQueue::create(std::string(kTLWAnalyticsOperationQueueLabel), true);
    timestampQueue = platform::DispatchQueue::create(std::string(kTLWAnalyticsTimestampQueueLabel));
    suite = TLWUserDefaults::initWithSuiteName(std::string(kTLWAnalyticsSuiteName), env);
    consent = TLWConsentPersistence::create(suite, backend->consentState(), env, monitor());
    loadTimestamp = env->clock()->now();
    // The library carries the public interface, so lookups by name find it.
    if (auto registry = env->classRegistry()) {
      if (!registry->classExists("TWKAnalytics")) {
        (void)registry->registerClass({"TWKAnalytics", "", {}, {}});
      }
    }
  }

  double now() const { return env->clock()->now(); }

  std::shared_ptr<TLWAnalyticsBackend> backend;
  std::shared_ptr<platform::Environment> env;
  std::shared_ptr<platform::DispatchQueue> serialQueue;
  std::shared_ptr<platform::OperationQueue> gate;
  std::shared_ptr<platform::DispatchQueue> timestampQueue;
  std::shared_ptr<TLWUserDefaults> suite;
  // Consent as persisted in the suite; null only when the backend has no consent state.
  std::shared_ptr<TLWConsentPersistence> consent;

  std::mutex loadMutex;
  double loadTimestamp = 0;

  std::once_flag startOnce;
  std::once_flag proxyOnce;
  std::atomic<bool> deactivated{false};
  std::atomic<bool> enabledShadow{false};
  // Blocks handed through the gate so far: a wait for everything stored sees whether the
  // stored work made more (an interceptor logging an event again).
  std::atomic<std::uint64_t> handedOver{0};
  // Public event calls handed to the serial queue that have not run there yet.
  std::atomic<std::size_t> eventsInFront{0};
  // The size of `listeners`, for the engine's worker: it copies events for them only
  // while there is one.
  std::atomic<std::size_t> listenerCount{0};

  // Serial queue only.
  LogEventInterceptor interceptor;
  bool hasListeners = false;
  std::map<std::uint64_t, LogEventListener> listeners;
  OpenURLListener openURLListener;

  std::mutex sharedMutex;
  std::shared_ptr<TLWAnalytics> shared;
};

namespace {

std::mutex gStateMutex;
std::atomic<TLWAnalytics::State*> gState{nullptr};
// Replaced states stay alive: blocks still queued on their queues refer to them.
std::vector<std::unique_ptr<TLWAnalytics::State>>& retainedStates() {
  static auto* states = new std::vector<std::unique_ptr<TLWAnalytics::State>>();
  return *states;
}

TLWAnalytics::State& state() {
  if (auto* s = gState.load(std::memory_order_acquire)) return *s;
  std::lock_guard<std::mutex> lock(gStateMutex);
  if (auto* s = gState.load(std::memory_order_acquire)) return *s;
  auto env = platform::Environment::current();
  auto owned = std::make_unique<TLWAnalytics::State>(TLWMakeDefaultAnalyticsBackend(env), env);
  auto* s = owned.get();
  retainedStates().push_back(std::move(owned));
  gState.store(s, std::memory_order_release);
  return *s;
}

// Once the gate is open and idle the hand-over runs on the caller's thread: one thread
// wake-up less per call. A short block (`runIfIdle`) also runs there when the serial
// queue is idle, holding it, so no thread is woken at all.
void gated(TLWAnalytics::State& s, TLWAnalytics::Block block, bool runIfIdle = false) {
  s.handedOver.fetch_add(1, std::memory_order_relaxed);
  auto* queue = s.serialQueue.get();
  auto keep = s.serialQueue;
  s.gate->addOperationOrRunIfIdle([keep = std::move(keep), queue, block = std::move(block), runIfIdle]() mutable {
    if (runIfIdle) {
      queue->asyncOrRunIfIdle(std::move(block));
    } else {
      queue->async(std::move(block));
    }
  });
}

void logErrorEvent(std::int64_t code, TLWObjectRef errorValue, std::size_t limit,
                   std::optional<TLWObjectRef> lengthSource) {
  auto parameters = TLWDataTypeValidator::errorEventParameters(code, errorValue, limit, lengthSource);
  if (!parameters) return;
  TLWAnalytics::logInternalEventWithOrigin(Value(TLWDataTypeValidator::kErrorEventOrigin),
                                           Value(TLWDataTypeValidator::kErrorEventName),
                                           Value(TLWParametersToDictionary(*parameters)));
}

Dictionary dictionaryOf(const Value& v) {
  if (const Dictionary* d = v.dictionary()) return *d;
  return {};
}

// The common caller-side part of event logging: screen views go to the screen reporter;
// other events take the current screen and are stamped (unless a time is given) and
// queued under the timestamp queue, so time stamps rise in gate order.
// The app's dictionary is shared with the engine, not copied: it is immutable.
void logEventFromCaller(TLWAnalytics::State& s, std::string origin, bool isPublicEvent, std::string name,
                        const Value& parametersValue, std::optional<double> timestamp) {
  const Dictionary* given = parametersValue.dictionary();
  if (name == "screen_view") {
    s.backend->trackScreenWithParameters(given ? *given : Dictionary(), s.now());
    return;
  }
  // Calls waiting on the serial queue count against the backlog's room: a caller faster
  // than that queue would otherwise pile them up there without limit.
  const std::size_t onTheirWay = s.eventsInFront.fetch_add(1, std::memory_order_relaxed);
  if (!s.backend->admitEventCall(name, onTheirWay)) {
    s.eventsInFront.fetch_sub(1, std::memory_order_relaxed);
    return;
  }
  Value parameters = given ? parametersValue : Value();
  Dictionary screen;
  if (!given || (!given->contains("_si") && !given->contains("_sc") && !given->contains("_sn"))) {
    screen = s.backend->screenParameters();
  }
  auto enqueue = [&s, &origin, isPublicEvent, &name, &parameters, &screen](double ts) {
    gated(s, [&s, origin = std::move(origin), isPublicEvent, name = std::move(name),
              parameters = std::move(parameters), screen = std::move(screen), ts]() mutable {
      s.eventsInFront.fetch_sub(1, std::memory_order_relaxed);
      TLWAnalytics::logEventOnSerialQueueWithOrigin(origin, isPublicEvent, name, std::move(parameters), ts, false,
                                                    false, std::move(screen));
    }, true);
  };
  if (timestamp) {
    enqueue(*timestamp);
    return;
  }
  bool queued = false;
  bool ran = s.timestampQueue->sync([&] {
    enqueue(s.now());
    queued = true;
  });
  // Only a caller already inside the timestamp queue is refused; it keeps the order anyway.
  if (!ran && !queued) enqueue(s.now());
}

void storeListener(TLWAnalytics::State& s, std::uint64_t token, TLWAnalytics::LogEventListener listener) {
  s.hasListeners = true;
  s.listeners.emplace(token, std::move(listener));
  s.listenerCount.store(s.listeners.size(), std::memory_order_release);
}

}  // namespace

void TLWAnalyticsSetUpProcessState(std::shared_ptr<TLWAnalyticsBackend> backend,
                                   std::shared_ptr<platform::Environment> env) {
  if (!env) env = platform::Environment::current();
  if (!backend) backend = TLWMakeDefaultAnalyticsBackend(env);
  auto owned = std::make_unique<TLWAnalytics::State>(std::move(backend), std::move(env));
  std::lock_guard<std::mutex> lock(gStateMutex);
  gState.store(owned.get(), std::memory_order_release);
  retainedStates().push_back(std::move(owned));
}

std::shared_ptr<TLWAnalyticsBackend> TLWAnalyticsCurrentBackend() { return state().backend; }
std::shared_ptr<platform::Environment> TLWAnalyticsCurrentEnvironment() { return state().env; }
std::shared_ptr<TLWKeyValueStore> TLWAnalyticsCurrentSettingsSuite() { return state().suite; }

TLWAnalytics::~TLWAnalytics() {
  if (auto queue = observedPaymentQueue_.lock()) queue->removeTransactionObserver(this);
}

// ---------------------------------------------------------------------------- queues

std::shared_ptr<platform::DispatchQueue> TLWAnalytics::queue() { return state().serialQueue; }

void TLWAnalytics::dispatchAsyncOnSerialQueue(Block block) {
  if (!block) return;
  state().serialQueue->async(std::move(block));
}

void TLWAnalytics::queueOperationWithBlock(Block block) {
  if (!block) return;
  gated(state(), std::move(block));
}

void TLWAnalytics::unsuspendOperationQueue() { state().gate->setSuspended(false); }

bool TLWAnalytics::isCurrentQueueSerialQueue() {
  return platform::DispatchQueue::currentLabel() == kTLWAnalyticsQueueLabel;
}

// ------------------------------------------------------------------ start and lifecycle

void TLWAnalytics::load() { (void)state(); }
void TLWAnalytics::initialize() { (void)state(); }

std::shared_ptr<TLWAnalytics> TLWAnalytics::sharedInstance() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.sharedMutex);
  if (!s.shared) s.shared = std::shared_ptr<TLWAnalytics>(new TLWAnalytics());
  return s.shared;
}

double TLWAnalytics::loadTimestamp() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.loadMutex);
  return s.loadTimestamp;
}

void TLWAnalytics::setLoadTimestamp(double timestamp) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.loadMutex);
  s.loadTimestamp = timestamp;
}

namespace {

// nullopt when the safelist is refused (logged).
std::optional<std::vector<std::string>> checkedSafelist(const Value& value) {
  const Array* items = value.array();
  if (!items) {
    monitor()->logWithLevel(0, 25034, "Invalid safelisted event parameter. Type must be an array");
    return std::nullopt;
  }
  std::vector<std::string> names;
  names.reserve(items->size());
  for (const Value& item : *items) {
    if (!TLWDataTypeValidator::isValidInternalEventName(TLWObjectRef(item))) {
      monitor()->logWithLevel(0, 25035, "Invalid event name for safelisting. Name", item);
      return std::nullopt;
    }
    names.push_back(*item.string());
  }
  return names;
}

}  // namespace

bool TLWAnalytics::waitUntilPendingCallsStored(std::chrono::milliseconds timeout) {
  State* s = gState.load(std::memory_order_acquire);
  if (!s || s->gate->isSuspended() || s->serialQueue->isCurrent()) return false;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  struct Stored {
    std::mutex mutex;
    std::condition_variable signal;
    bool done = false;
  };
  // Storing may hand over more (an interceptor logs the event again): another round
  // follows until one finds nothing new.
  for (;;) {
    auto stored = std::make_shared<Stored>();
    auto markStored = [stored] {
      std::lock_guard<std::mutex> lock(stored->mutex);
      stored->done = true;
      stored->signal.notify_all();
    };
    // Through the timestamp queue and the gate, as an event call goes, so it follows them.
    std::uint64_t handedOver = 0;
    auto enqueue = [s, &markStored, &handedOver] {
      gated(*s, [s, markStored] { s->backend->whenPendingWorkStored(markStored); });
      handedOver = s->handedOver.load(std::memory_order_relaxed);
    };
    if (!s->timestampQueue->sync(enqueue)) enqueue();
    std::unique_lock<std::mutex> lock(stored->mutex);
    if (!stored->signal.wait_until(lock, deadline, [&] { return stored->done; })) return false;
    if (s->handedOver.load(std::memory_order_relaxed) == handedOver) return true;
  }
}

namespace {
void storePendingCallsAtExit() {
  if (!TLWAnalytics::waitUntilPendingCallsStored(TLWAnalytics::kExitStoreTimeout)) {
    // Level 1: printed (level 2 is silent) and sampled into the monitoring data.
    monitor()->logWithLevel(1, 23237, "Data loss. Not every event was stored before the process exited. Waited (ms)",
                            Value(static_cast<long long>(TLWAnalytics::kExitStoreTimeout.count())));
  }
  // Lines are written on the monitor's queue: out before it closes, or the exit says nothing.
  monitor()->flush();
  // Nothing queued may run on while the process's static objects are destroyed.
  (void)platform::DispatchQueue::closeForProcessExit(TLWAnalytics::kExitQuietTimeout);
}
}  // namespace

void TLWAnalytics::startWithAppID(const std::string& appID, const std::string& origin, const Value& optionsValue) {
  State& s = state();
  auto registry = s.env->classRegistry();
  auto classExists = [&registry](std::string_view name) { return registry && registry->classExists(name); };

  if (classExists("TWKADatabase")) {
    monitor()->logWithLevel(1, 25029,
                            "Detected an older version of Vorlix Analytics for Tarnwick framework. Data collection "
                            "will be disabled. Please upgrade to the latest version of Vorlix Analytics for Tarnwick");
    return;
  }
  if (classExists("TWKAnalytics")) {
    if (origin != "tq") {
      monitor()->logWithLevel(3, 25026, "Deferring to Tarnwick for event data collection");
      return;
    }
  } else if (!TLWInfoPlistFileUtil::vorlixServiceInfoPlistPath(s.env).value_or("").empty()) {
    monitor()->logWithLevel(0, 25027,
                            "Deferring to Vorlix Analytics for Tarnwick for event data collection. "
                            "See https://tallywise.vorlix.com/docs/start");
    return;
  }
  if (classExists("QDOMobileAds") && TLWInfoPlistFileUtil::dictionaryFromVorlixServiceInfoPlist(s.env) &&
      s.backend->appIDFromQuado().empty()) {
    monitor()->logWithLevel(3, 25028,
                            "Quado and Tarnwick are in use in this app, but are not linked. Please link the two "
                            "apps and re-download the VorlixServices-Info.plist file. See "
                            "https://tallywise.vorlix.com/docs/link-quado");
  }

  const Dictionary options = dictionaryOf(optionsValue);
  if (!options.empty()) {
    const std::string* tag = options.get(kTLWStartOptionLogTag).string();
    if (tag && !tag->empty()) {
      monitor()->setLogTag(*tag);
    } else {
      monitor()->logWithLevel(2, 25030, "Invalid monitor tag. It must be a non-empty string.");
    }
  }

  std::call_once(s.startOnce, [&] {
    auto& backend = *s.backend;
    if (backend.consentSource() == kTLWConsentSourceNone) loadPersistedConsentSettings();

    const std::string storedAppID = backend.appIDFromZEL();
    if (origin == "tq" && appID != storedAppID) {
      backend.setAppIDFromZEL(appID);
      monitor()->logWithLevel(1, 25020,
                              "Analytics requires Vorlix App ID from VorlixService-Info.plist. Your data may be lost. "
                              "Vorlix App ID has been changed. Original, new ID",
                              Value(storedAppID), Value(appID));
    }
    if (origin == "qd") {
      const std::string storedQuado = backend.appIDFromQuado();
      if (appID != storedQuado) {
        monitor()->logWithLevel(3, 25031, "Quado App ID changed. Original, new", Value(storedQuado), Value(appID));
        backend.setAppIDFromQuado(appID);
      }
    }
    if (auto center = s.env->notificationCenter()) center->post(kTWKAnalyticsWillStartNotification);
    backend.setIdentifiersOrigin(origin);

    s.deactivated.store(false);
    bool enabled = true;
    bool deactivated = false;
    Value configuration;
    std::optional<std::vector<std::string>> safelist;
    if (!options.empty()) {
      const Value& enabledValue = options.get(kTLWStartOptionCollectionEnabled);
      if (enabledValue.isNumber()) enabled = enabledValue.boolValue().value_or(true);
      const Value& deactivatedValue = options.get(kTLWStartOptionCollectionDeactivated);
      if (deactivatedValue.isNumber()) deactivated = deactivatedValue.boolValue().value_or(false);
      configuration = options.get(kTLWStartOptionConfiguration);
      if (const Value* list = options.find(kTLWStartOptionSafelistedEvents)) safelist = checkedSafelist(*list);
      if (s.consent) (void)s.consent->persistStartUpConsentFromOptions(options);
    }
    s.deactivated.store(deactivated);

    State* sp = &s;
    s.serialQueue->async([sp, appID, enabled, deactivated, safelist] {
      sp->backend->initializeEngine(appID, enabled, deactivated, safelist,
                                    [](std::shared_ptr<const TLWEvent> event) {
                                      TLWAnalytics::notifyEventListeners(std::move(event));
                                    });
      auto swizzler = platform::VXLAppDelegateSwizzler::sharedInstance();
      if (swizzler && swizzler->isAppDelegateProxyEnabled()) {
        if (!deactivated) platform::DispatchQueue::main()->async([] { TLWAnalytics::createAppDelegateProxy(); });
      } else {
        monitor()->logWithLevel(6, 25036, "App Delegate Proxy is disabled");
      }
      sp->enabledShadow.store(sp->backend->wasEnabledDuringInitialization());
      TLWAnalytics::maybeEnableLumenManager();
    });

    if (!configuration.isNull()) observeNotificationsForAnalyticsConfiguration(configuration);
    if (auto store = s.env->storeKit()) {
      auto observer = sharedInstance();
      auto paymentQueue = store->defaultPaymentQueue();
      observer->observedPaymentQueue_ = paymentQueue;
      paymentQueue->addTransactionObserver(observer);
    }
    unsuspendOperationQueue();
    // Events whose calls returned before a normal exit are stored, not dropped with the
    // queues (the next launch uploads them).
    std::atexit(storePendingCallsAtExit);
  });
}

void TLWAnalytics::maybeEnableLumenManager() {
  auto registry = state().env->classRegistry();
  if (!registry || !registry->classExists("LMNManager")) return;
  auto implementation = registry->implementation("LMNManager", "initializeSharedInstance", true);
  if (!implementation) {
    monitor()->logWithLevel(2, 25016, "LMNManager class doesn't define initializeSharedInstance");
    return;
  }
  (*implementation)(Value("LMNManager"), {});
}

void TLWAnalytics::createAppDelegateProxy() {
  State& s = state();
  std::call_once(s.proxyOnce, [] {
    auto swizzler = platform::VXLAppDelegateSwizzler::sharedInstance();
    if (!swizzler) return;
    (void)swizzler->proxyOriginalDelegate();
    // Opened URLs and user activities reach the library through the interceptor.
    (void)swizzler->registerAppDelegateInterceptor(TLWAppDelegateInterceptor::sharedInstance());
  });
}

void TLWAnalytics::observeNotificationsForAnalyticsConfiguration(const Value& configuration) {
  auto center = state().env->notificationCenter();
  if (!center) return;
  center->removeObserversOwnedBy(&kObserverOwnerTag);
  if (configuration.isNull()) return;
  center->addObserver(kTWKAnalyticsConfigurationSetEnabledNotification, configuration,
                      [](const platform::Notification& n) { TLWAnalytics::handleSetEnabled(n); }, &kObserverOwnerTag);
}

void TLWAnalytics::handleSetEnabled(const platform::Notification& notification) {
  const Value& value = notification.userInfo.get(notification.name);
  if (value.isNumber()) {
    setAnalyticsEnabled(value.boolValue().value_or(false), false);
  } else {
    monitor()->logWithLevel(4, 25000, "Received setEnabled notification without NSNumber", value);
  }
}

// ------------------------------------------------------------------------------- reset

void TLWAnalytics::resetAnalyticsData() {
  State& s = state();
  setLoadTimestamp(s.now());
  setResetRetryCount(resetRetryCount() + 1);
  setNeedFirstOpenAfterReset(true);
  std::string newID = s.backend->randomAppInstanceID();
  if (newID.empty()) {
    monitor()->logWithLevel(1, 25039, "Cannot generate a new app instance ID");
    return;
  }
  std::optional<std::string> id;
  if (!s.backend->isAnalyticsStorageDenied()) {
    id = newID;
    setAppInstanceIDAfterReset(id);
  }
  State* sp = &s;
  gated(s, [sp, id] {
    if (!sp->backend->resetAnalyticsDataWithAppInstanceID(id)) {
      monitor()->logWithLevel(1, 25037, "Failed to reset Analytics data");
      return;
    }
    TLWResetBookkeeping reset(sp->suite);
    reset.clearRetries();
    if (id) reset.clearAppInstanceIDIfStill(*id);
  });
}

TLWResetBookkeeping TLWAnalytics::resetBookkeeping() { return TLWResetBookkeeping(state().suite); }

std::int64_t TLWAnalytics::resetRetryCount() { return resetBookkeeping().retryCount(); }
void TLWAnalytics::setResetRetryCount(std::int64_t count) { resetBookkeeping().setRetryCount(count); }
bool TLWAnalytics::needFirstOpenAfterReset() { return resetBookkeeping().needFirstOpen(); }
void TLWAnalytics::setNeedFirstOpenAfterReset(bool need) { resetBookkeeping().setNeedFirstOpen(need); }
void TLWAnalytics::removeNeedFirstOpenAfterReset() { resetBookkeeping().clearNeedFirstOpen(); }
std::optional<std::string> TLWAnalytics::appInstanceIDAfterReset() { return resetBookkeeping().appInstanceID(); }
void TLWAnalytics::setAppInstanceIDAfterReset(const std::optional<std::string>& appInstanceID) {
  resetBookkeeping().setAppInstanceID(appInstanceID);
}
Value TLWAnalytics::deferredAnalyticsCollection() { return resetBookkeeping().deferredCollection(); }
void TLWAnalytics::setDeferredAnalyticsCollection(const Value& value) { resetBookkeeping().setDeferredCollection(value); }

std::optional<std::string> TLWAnalytics::appInstanceID() {
  State& s = state();
  if (s.backend->isAnalyticsStorageDenied()) return std::nullopt;
  auto afterReset = appInstanceIDAfterReset();
  if (afterReset && !afterReset->empty()) return afterReset;
  std::string id = s.backend->appInstanceID();
  if (id.empty()) return std::nullopt;
  return id;
}

// ----------------------------------------------------------------------- enable switch

void TLWAnalytics::setAnalyticsEnabled(bool enabled) { setAnalyticsEnabled(enabled, false); }

void TLWAnalytics::setAnalyticsEnabled(bool enabled, bool persistSetting) {
  State& s = state();
  State* sp = &s;
  s.serialQueue->async([sp, enabled, persistSetting] {
    if (persistSetting) sp->backend->setMeasurementEnabledState(enabled ? 1 : 2);
    if (sp->deactivated.load() && enabled) return;
    sp->enabledShadow.store(enabled);
    if (sp->backend->hasEngine()) sp->backend->setEnabled(enabled);
  });
}

bool TLWAnalytics::isEnabledShadow() { return state().enabledShadow.load(); }

// ----------------------------------------------------------------------------- consent

void TLWAnalytics::setConsent(const Value& consent) { setConsent(consent, TLWConsentPersistence::kSettings1PKey); }

void TLWAnalytics::setConsent(const Value& consent, std::string_view key) {
  State& s = state();
  if (!s.consent) return;
  // The persistence class decides, as it does for the engine: one withdrawal test, which
  // also reads a stored value of another kind as it is instead of as absent.
  TLWConsentWithdrawalHooks hooks;
  hooks.clearAppInstanceIDAfterReset = [&s] { TLWResetBookkeeping(s.suite).setAppInstanceID(std::nullopt); };
  hooks.engineDidInitializeComponents = [&s] { return s.backend->didInitializeComponents(); };
  hooks.resetAnalyticsData = [] { resetAnalyticsData(); };
  (void)s.consent->setConsent(dictionaryOf(consent), key, hooks);
}

void TLWAnalytics::loadPersistedConsentSettings() {
  if (auto& c = state().consent) c->loadPersistedConsentSettings();
}

void TLWAnalytics::persistConsentSettings(const std::optional<Dictionary>& settings, std::int64_t source) {
  if (auto& c = state().consent) c->persistConsentSettings(settings, source);
}

std::int64_t TLWAnalytics::persistedConsentSource() {
  auto& c = state().consent;
  return c ? c->persistedConsentSource() : kTLWConsentSourceNone;
}

std::optional<Dictionary> TLWAnalytics::consentSettings3P() {
  auto& c = state().consent;
  return c ? c->consentSettings3P() : std::nullopt;
}
std::optional<Dictionary> TLWAnalytics::consentSettings1P() {
  auto& c = state().consent;
  return c ? c->consentSettings1P() : std::nullopt;
}
std::optional<Dictionary> TLWAnalytics::consentSettings1PStart() {
  auto& c = state().consent;
  return c ? c->consentSettings1PStart() : std::nullopt;
}
bool TLWAnalytics::deferredResetOnDeniedConsent() {
  auto& c = state().consent;
  return c && c->deferredResetOnDeniedConsent();
}
void TLWAnalytics::removeStartUpConsentSettings() {
  if (auto& c = state().consent) c->removeStartUpConsentSettings();
}
void TLWAnalytics::removeDeferredResetOnDeniedConsent() {
  if (auto& c = state().consent) c->removeDeferredResetOnDeniedConsent();
}

void TLWAnalytics::clearConsent() {
  if (auto& c = state().consent) c->clearConsent();
}

// ------------------------------------------------------------------------------ events

void TLWAnalytics::logEventWithName(const Value& name, const Value& parameters) {
  // Never destroyed: events may still be logged while the process exits.
  static const Value& kAppOrigin = *new Value("app");
  logEventWithOrigin(kAppOrigin, name, parameters);
}

void TLWAnalytics::logEventWithOrigin(const Value& origin, const Value& name, const Value& parameters) {
  std::int64_t failure = 0;
  if (!TLWDataTypeValidator::isValidPublicEventName(TLWObjectRef(name), &failure)) {
    logErrorEvent(TLWDataTypeValidator::errorCodeForPublicEventNameFailure(failure), TLWObjectRef(name),
                  TLWDataTypeValidator::kEventNameErrorLimit, TLWObjectRef(name));
    return;
  }
  logEventWithOrigin(origin, true, name, parameters);
}

void TLWAnalytics::logInternalEventWithOrigin(const Value& origin, const Value& name, const Value& parameters) {
  logEventWithOrigin(origin, false, name, parameters);
}

void TLWAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name, double timestamp,
                                              const Value& parameters) {
  logEventFromCaller(state(), origin, false, name, parameters, timestamp);
}

void TLWAnalytics::logEventWithOrigin(const Value& origin, bool isPublicEvent, const Value& name,
                                      const Value& parameters) {
  logEventFromCaller(state(), origin.stringOr(), isPublicEvent, name.stringOr(), parameters,
                     std::nullopt);
}

void TLWAnalytics::logEventWithOrigin(const Value& origin, bool isPublicEvent, const Value& name,
                                      const Value& parameters, double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
  gated(state(), [origin = origin.stringOr(), isPublicEvent, name = name.stringOr(),
                  parameters = parameters.dictionary() ? parameters : Value(), timestamp, ignoreEnabled,
                  ignoreInterceptor]() mutable {
    logEventOnSerialQueueWithOrigin(origin, isPublicEvent, name, std::move(parameters), timestamp, ignoreEnabled,
                                    ignoreInterceptor, {});
  });
}

void TLWAnalytics::logEventOnSerialQueueWithOrigin(const std::string& origin, bool isPublicEvent,
                                                   const std::string& name, Value parameters, double timestamp,
                                                   bool ignoreEnabled, bool ignoreInterceptor,
                                                   Dictionary addedScreenParameters) {
  State& s = state();
  const Dictionary* given = parameters.dictionary();
  if (given && ignoreInterceptor && addedScreenParameters.empty() &&
      TLWDataTypeValidator::isValidForwardedEventOrigin(TLWObjectRef(origin))) {
    std::optional<Dictionary> rest;
    for (std::string_view key : {"_sn", "_sc", "_si"}) {
      if (const Value* v = given->find(key)) {
        addedScreenParameters.set(Value(key), *v);
        if (!rest) rest = *given;
        rest->erase(key);
      }
    }
    if (rest) parameters = Value(std::move(*rest));
  }
  if (!s.backend->hasEngine()) return;
  TLWEngineEventRequest request;
  request.origin = origin;
  request.isPublicEvent = isPublicEvent;
  request.name = name;
  request.parameters = std::move(parameters);
  request.timestamp = timestamp;
  request.enabled = s.enabledShadow.load();
  request.ignoreEnabled = ignoreEnabled;
  request.ignoreInterceptor = ignoreInterceptor;
  request.interceptor = s.interceptor;
  request.addedScreenParameters = std::move(addedScreenParameters);
  s.backend->logEvent(std::move(request));
}

void TLWAnalytics::setDefaultEventParameters(const Value& parameters) {
  // Anything but a dictionary clears the defaults, as nil does.
  std::optional<Dictionary> copy;
  if (const Dictionary* d = parameters.dictionary()) copy = *d;
  State& s = state();
  State* sp = &s;
  gated(s, [sp, copy = std::move(copy)] {
    if (sp->enabledShadow.load() && sp->backend->hasEngine()) sp->backend->setDefaultEventParameters(copy);
  });
}

void TLWAnalytics::setScreenName(const Value& screenName, const Value& screenClass) {
  if (!platform::MainRunLoop::isMainThread()) {
    monitor()->logWithLevel(3, 25025,
                            "setScreenName:screenClass: must be called from the main thread to ensure that events "
                            "are associated with the intended screen.");
    return;
  }
  state().backend->setScreenName(screenName, screenClass);
}

void TLWAnalytics::setSessionTimeoutInterval(double seconds) {
  State* sp = &state();
  sp->serialQueue->async([sp, seconds] {
    if (sp->backend->hasEngine()) sp->backend->setSessionTimeoutInterval(seconds);
  });
}

// --------------------------------------------------------------------- user properties

void TLWAnalytics::setUserPropertyString(const Value& value, const Value& name) {
  State& s = state();
  if (const std::string* n = name.string(); n && *n == "allow_personalized_ads") {
    State* sp = &s;
    Value stored = value.isNull() ? Value() : Value(valueBool(value));
    gated(s, [sp, stored] {
      const bool enabled = sp->enabledShadow.load();
      if (!enabled) monitor()->logWithLevel(7, 25033, "Personalized Ads property changed while Analytics is disabled");
      sp->backend->setAllowPersonalizedAds(stored);
      if (!enabled || !sp->backend->hasEngine()) return;
      std::optional<std::int64_t> npa = sp->backend->shouldDisableAdPersonalization();
      auto attribute =
          TLWUserAttribute::initWithOrigin("auto", "_npa", TLWValue::initWithInt64(npa.value_or(0)), sp->now());
      if (!attribute) return;
      if (npa) {
        sp->backend->setUserAttribute(attribute);
      } else {
        sp->backend->removeUserAttribute(attribute);
      }
    });
    return;
  }
  if (value.isNull()) {
    removeUserAttributeForName(name);
    return;
  }
  std::int64_t failure = 0;
  if (!TLWDataTypeValidator::isValidPublicUserAttributeName(TLWObjectRef(name), &failure)) {
    logErrorEvent(TLWDataTypeValidator::errorCodeForPublicUserPropertyNameFailure(failure), TLWObjectRef(name),
                  TLWDataTypeValidator::kUserPropertyErrorLimit, TLWObjectRef(name));
    return;
  }
  if (!value.isString()) {
    monitor()->logWithLevel(0, 25003, "User property must be NSString. Value", value);
    return;
  }
  failure = 0;
  const TLWValue checked = TLWValue::initWithString(*value.string());
  if (!TLWDataTypeValidator::isValidPublicUserAttributeValue(TLWObjectRef(checked), &failure)) {
    if (failure == TLWDataTypeValidator::kFailureTooLong) {
      logErrorEvent(TLWDataTypeValidator::kErrorUserPropertyValueTooLong, TLWObjectRef(name),
                    TLWDataTypeValidator::kUserPropertyErrorLimit, TLWObjectRef(value));
    }
    return;
  }
  sharedInstance()->setInternalUserProperty(value, name, Value("app"));
}

void TLWAnalytics::setUserID(const Value& userID) {
  if (userID.isNull()) {
    removeInternalUserAttributeForName("_id");
    if (state().backend->lastAdvertisingIDResetFeatureEnabled()) removeInternalUserAttributeForName("_lair");
    return;
  }
  if (!userID.isString()) {
    monitor()->logWithLevel(0, 25004, "User ID must be NSString. User ID", userID);
    return;
  }
  sharedInstance()->setInternalUserProperty(userID, Value("_id"), Value("app"));
}

void TLWAnalytics::removeUserAttributeForName(const Value& name) {
  if (!TLWDataTypeValidator::isValidPublicUserAttributeName(TLWObjectRef(name))) return;
  removeInternalUserAttributeForName(*name.string());
}

void TLWAnalytics::setUserAttributeNumber(const Value& number, const Value& name) {
  std::int64_t failure = 0;
  if (!TLWDataTypeValidator::isValidPublicUserAttributeName(TLWObjectRef(name), &failure)) {
    logErrorEvent(TLWDataTypeValidator::errorCodeForPublicUserPropertyNameFailure(failure), TLWObjectRef(name),
                  TLWDataTypeValidator::kUserPropertyErrorLimit, TLWObjectRef(name));
    return;
  }
  if (!number.isNumber()) return;
  TLWValue value = number.kind() == Value::Kind::Double ? TLWValue::initWithDouble(number.doubleValue().value_or(0))
                                                        : TLWValue::initWithInt64(number.int64Value().value_or(0));
  sharedInstance()->setInternalUserProperty(value.asObject(), name, Value("auto"));
}

void TLWAnalytics::removeInternalUserAttributeForName(const std::string& name) {
  State& s = state();
  auto attribute = TLWUserAttribute::initWithOrigin("", name, TLWValue::initWithDouble(0), s.now());
  if (!attribute) return;
  State* sp = &s;
  gated(s, [sp, attribute] {
    if (sp->backend->hasEngine()) sp->backend->removeUserAttribute(attribute);
  });
}

void TLWAnalytics::setInternalUserProperty(const Value& value, const Value& name, const Value& origin) {
  if (!TLWDataTypeValidator::isValidInternalUserAttributeName(TLWObjectRef(name))) {
    logErrorEvent(TLWDataTypeValidator::kErrorInvalidUserPropertyName, TLWObjectRef(name),
                  TLWDataTypeValidator::kUserPropertyErrorLimit, TLWObjectRef(name));
    return;
  }
  const std::string* originString = origin.string();
  const std::size_t originLength = originString ? platform::utf8::codePointCount(*originString) : 0;
  if (originLength < 1 || originLength > 32) {
    monitor()->logWithLevel(2, 25005, "Unable to set user property. Origin is invalid. Origin, name", origin, name);
    return;
  }
  const std::string& nameString = *name.string();
  if (value.isNull()) {
    removeInternalUserAttributeForName(nameString);
    return;
  }
  std::optional<TLWValue> converted = TLWValue::valueFromObject(value);
  if (!converted) return;
  std::int64_t failure = 0;
  if (!TLWDataTypeValidator::isValidInternalUserAttributeValue(TLWObjectRef(*converted), nameString, &failure)) {
    if (failure == TLWDataTypeValidator::kFailureTooLong) {
      std::optional<std::string> shown;
      if (const std::string* s = converted->stringValue()) {
        shown = *s;
      } else if (value.isNumber()) {
        shown = converted->description();
      }
      if (shown) {
        logErrorEvent(TLWDataTypeValidator::kErrorUserPropertyValueTooLong, TLWObjectRef(name),
                      TLWDataTypeValidator::kUserPropertyErrorLimit, TLWObjectRef(*shown));
      } else {
        logErrorEvent(TLWDataTypeValidator::kErrorUserPropertyValueTooLong, TLWObjectRef(name),
                      TLWDataTypeValidator::kUserPropertyErrorLimit, std::nullopt);
      }
    }
    return;
  }
  State& s = state();
  auto attribute = TLWUserAttribute::initWithOrigin(*originString, nameString, *converted, s.now());
  if (!attribute) return;
  State* sp = &s;
  gated(s, [sp, attribute] {
    if (sp->backend->hasEngine()) sp->backend->setUserAttribute(attribute);
  });
}

void TLWAnalytics::userPropertiesIncludingInternal(bool includeInternal, std::shared_ptr<platform::DispatchQueue> queue,
                                                   UserPropertiesCallback callback) {
  State& s = state();
  State* sp = &s;
  gated(s, [sp, includeInternal, queue = std::move(queue), callback = std::move(callback)] {
    if (!callback) {
      monitor()->logWithLevel(2, 25006, "Analytics userProperties callback cannot be nil");
      return;
    }
    if (!queue) {
      monitor()->logWithLevel(2, 25007, "Cannot query for Analytics user properties. Queue cannot be nil");
      platform::DispatchQueue::main()->async([callback] { callback(Dictionary()); });
      return;
    }
    if (!sp->enabledShadow.load() || !sp->backend->hasEngine()) {
      if (!sp->enabledShadow.load()) {
        monitor()->logWithLevel(5, 25008, "Cannot query for public user properties when Analytics is disabled");
      }
      queue->async([callback] { callback(Dictionary()); });
      return;
    }
    sp->backend->userPropertiesIncludingInternal(includeInternal, [queue, callback](Dictionary properties) {
      queue->async([callback, properties = std::move(properties)] { callback(properties); });
    });
  });
}

void TLWAnalytics::maxUserPropertiesForOrigin(const Value& origin, std::shared_ptr<platform::DispatchQueue> queue,
                                              MaxUserPropertiesCallback callback) {
  const std::string* originString = origin.string();
  if (!originString || originString->empty()) {
    monitor()->logWithLevel(2, 25009, "Cannot query Analytics for max user properties. Origin must be a non-empty string");
    return;
  }
  if (!queue) {
    monitor()->logWithLevel(2, 25010, "Cannot query Analytics for max user properties. Queue cannot be nil. Origin",
                            origin);
    return;
  }
  if (!callback) {
    monitor()->logWithLevel(
        2, 25011, "Cannot query Analytics for max user properties. MaxUserProperties callback cannot be nil. Origin",
        origin);
    return;
  }
  State* sp = &state();
  gated(*sp, [sp, origin = *originString, queue = std::move(queue), callback = std::move(callback)] {
    if (!sp->backend->hasEngine()) return;
    sp->backend->maxUserPropertiesForOrigin(origin, [queue, callback](std::int64_t max) {
      queue->async([callback, max] { callback(max); });
    });
  });
}

void TLWAnalytics::instanceLogInternalEventWithOrigin(const Value& origin, const Value& name,
                                                      const Value& parameters) {
  const std::string* o = origin.string();
  const Dictionary* d = parameters.dictionary();
  if (o && *o == "qd" && d) {
    if (const std::string* aeid = d->get("_aeid").string()) {
      // A whole decimal number fitting 64 bits.
      std::size_t i = (!aeid->empty() && (aeid->front() == '-' || aeid->front() == '+')) ? 1 : 0;
      bool digits = i < aeid->size();
      for (std::size_t k = i; k < aeid->size() && digits; ++k) digits = (*aeid)[k] >= '0' && (*aeid)[k] <= '9';
      std::optional<long long> number;
      if (digits) {
        errno = 0;
        char* end = nullptr;
        long long parsed = std::strtoll(aeid->c_str(), &end, 10);
        if (errno == 0 && end && *end == '\0') number = parsed;
      }
      if (number) {
        Dictionary copy = *d;
        copy.set(Value("_aeid"), TLWValue::initWithInt64(*number).asObject());
        logInternalEventWithOrigin(origin, name, Value(std::move(copy)));
        return;
      }
      monitor()->logWithLevel(2, 25024, "AdEvent ID string is not a number");
    }
  }
  logInternalEventWithOrigin(origin, name, parameters);
}

// ------------------------------------------------------------ listeners and interceptor

void TLWAnalytics::setLogEventInterceptor(LogEventInterceptor interceptor) {
  State& s = state();
  if (isCurrentQueueSerialQueue()) {
    s.interceptor = std::move(interceptor);
    return;
  }
  State* sp = &s;
  gated(s, [sp, interceptor = std::move(interceptor)]() mutable { sp->interceptor = std::move(interceptor); });
}

TLWLogEventListenerToken TLWAnalytics::addLogEventListener(LogEventListener listener) {
  if (!listener) {
    monitor()->logWithLevel(2, 25012, "Attempted addition of nil log event listener.");
    return {};
  }
  State& s = state();
  const std::uint64_t token = gNextListenerToken.fetch_add(1);
  if (isCurrentQueueSerialQueue()) {
    storeListener(s, token, std::move(listener));
  } else {
    State* sp = &s;
    gated(s, [sp, token, listener = std::move(listener)]() mutable { storeListener(*sp, token, std::move(listener)); });
  }
  return TLWLogEventListenerToken(token);
}

void TLWAnalytics::removeLogEventListener(TLWLogEventListenerToken token) {
  if (!token) {
    monitor()->logWithLevel(2, 25013, "Attempted removal of nil log event.");
    return;
  }
  State* sp = &state();
  gated(*sp, [sp, token] {
    if (!sp->hasListeners) {
      monitor()->logWithLevel(2, 25014, "Attempted removal of nil log event listener.");
      return;
    }
    if (sp->listeners.erase(token.id()) == 0) {
      monitor()->logWithLevel(2, 25015, "Attempted removal of log event listener with invalid token.");
    }
    sp->listenerCount.store(sp->listeners.size(), std::memory_order_release);
  });
}

bool TLWAnalytics::hasEventListeners() { return state().listenerCount.load(std::memory_order_acquire) != 0; }

void TLWAnalytics::notifyEventListeners(std::shared_ptr<const TLWEvent> event) {
  if (!event) return;
  gated(state(), [event = std::move(event)] { notifyEventListenersOnSerialQueue(event); });
}

void TLWAnalytics::notifyEventListeners(std::vector<std::shared_ptr<const TLWEvent>> events) {
  std::erase(events, nullptr);
  if (events.empty()) return;
  gated(state(), [events = std::move(events)] {
    for (const auto& event : events) notifyEventListenersOnSerialQueue(event);
  });
}

void TLWAnalytics::notifyEventListenersOnSerialQueue(const std::shared_ptr<const TLWEvent>& event) {
  State& s = state();
  if (s.listeners.empty()) return;
  // A listener may add or remove listeners while we call them.
  std::vector<LogEventListener> current;
  current.reserve(s.listeners.size());
  for (const auto& [token, listener] : s.listeners) current.push_back(listener);
  for (const auto& listener : current) listener(event);
}

void TLWAnalytics::setOpenURLListener(OpenURLListener listener) {
  State* sp = &state();
  sp->serialQueue->async([sp, listener = std::move(listener)]() mutable { sp->openURLListener = std::move(listener); });
}

// ------------------------------------------------------------------- links and network

void TLWAnalytics::handleOpenURL(const Value& url) {
  std::string u = urlStringOf(url);
  if (u.empty()) return;
  State* sp = &state();
  const double now = sp->now();
  sp->serialQueue->async([sp, u = std::move(u), now] {
    if (sp->backend->hasEngine()) sp->backend->handleNonFirstOpenEventURL(u, now);
    if (sp->openURLListener) sp->openURLListener(u);
  });
}

void TLWAnalytics::handleUserActivity(const Value& userActivity) {
  State* sp = &state();
  const double now = sp->now();
  sp->serialQueue->async([sp, userActivity, now] {
    std::string link = sp->backend->deepLinkFromUserActivity(userActivity);
    if (link.empty() || !sp->backend->hasEngine()) return;
    sp->backend->handleNonFirstOpenEventURL(link, now);
  });
}

void TLWAnalytics::handleEventsForBackgroundURLSession(const std::string& identifier,
                                                       std::function<void()> completionHandler) {
  platform::VXLNetwork::handleEventsForBackgroundURLSessionID(identifier, std::move(completionHandler));
}

// --------------------------------------------------------------------------- store kit

void TLWAnalytics::paymentQueue(const Value& /*paymentQueue*/, const Value& transactions) {
  const Array* list = transactions.array();
  if (!list) return;
  State* sp = &state();
  gated(*sp, [sp, copy = *list]() mutable {
    if (!sp->enabledShadow.load() || !sp->backend->hasEngine()) return;
    sp->backend->filterPurchaseTransactions(std::move(copy), [sp](Array filtered) {
      sp->backend->reportFilteredTransactions(filtered);
    });
  });
}

void TLWAnalytics::instancePaymentQueue(const Value& paymentQueue, const Value& transactions) {
  TLWAnalytics::paymentQueue(paymentQueue, transactions);
}

void TLWAnalytics::paymentQueueUpdatedTransactions(
    platform::PaymentQueue&, const std::vector<std::shared_ptr<platform::PaymentTransaction>>& transactions) {
  Array values;
  for (const auto& t : transactions) {
    if (t) values.push_back(Value(std::shared_ptr<platform::ValueObject>(t)));
  }
  instancePaymentQueue(Value(), Value(std::move(values)));
}
