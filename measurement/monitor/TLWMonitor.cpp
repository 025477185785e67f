#include "measurement/monitor/TLWMonitor.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <limits>
#include <mutex>
#include <utility>

#include "measurement/monitor/TLWASLLogger.h"
#include "measurement/monitor/TLWError.h"
#include "measurement/monitor/TLWMonitoringSampledData.h"
#include "platform/DispatchQueue.h"
#include "platform/VXLLogger.h"

namespace {

constexpr std::string_view kDefaultLogTag = "<Tallywise>";
constexpr std::string_view kStoreBuildVariable = "TALLYWISE_STORE_BUILD";
// Frames looked at for a library symbol; deeper stacks are not worth the scan.
constexpr std::size_t kMaxScannedFrames = 512;

constexpr std::int64_t kCodeDebugModeOn = 24000;
constexpr std::int64_t kCodeDebugModeOff = 24001;
constexpr std::int64_t kCodeVerboseLoggingOn = 24003;

bool contains(const std::vector<std::string>& arguments, std::initializer_list<std::string_view> wanted) {
  for (const auto& a : arguments)
    for (auto w : wanted)
      if (a == w) return true;
  return false;
}

std::mutex& probesMutex() {
  static std::mutex m;
  return m;
}
TLWMonitorProbes& sharedProbes() {
  // Never destroyed: library threads may still use it while the process exits.
  static TLWMonitorProbes& probes = *new TLWMonitorProbes();
  return probes;
}

std::string formatRange(std::int64_t low, std::int64_t high) {
  return std::to_string(low) + "..." + std::to_string(high);
}

// Decade of a number: exact digits below 100, otherwise the range of numbers with the
// same digit count. Digits are counted on the unsigned magnitude so INT64_MIN and
// 19-digit values neither overflow nor misround; bounds outside int64 saturate.
std::string encodeNumber(std::int64_t n) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  std::uint64_t magnitude = n < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n);
  if (magnitude < 100) return std::to_string(n);
  std::uint64_t p = 1;
  while (magnitude / p >= 10) p *= 10;  // at most 10^18 for a 64-bit magnitude
  const bool upperFits = p <= static_cast<std::uint64_t>(kMax) / 10;
  const std::int64_t span = upperFits ? static_cast<std::int64_t>(p * 10 - 1) : kMax;
  const std::int64_t decade = static_cast<std::int64_t>(p);
  if (n > 0) return formatRange(decade, span);
  return formatRange(upperFits ? -span : kMin, -decade);
}

bool containsLibraryPrefix(std::string_view s) {
  for (std::size_t i = 0; i + 3 <= s.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(s[i])) == 'T' &&
        std::toupper(static_cast<unsigned char>(s[i + 1])) == 'L' &&
        std::toupper(static_cast<unsigned char>(s[i + 2])) == 'W')
      return true;
  }
  return false;
}

std::vector<std::string_view> tokens(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    std::size_t start = i;
    while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

// The first library symbol of the stack (third frame on), if any.
std::optional<std::string> librarySymbol(const TLWException& exception) {
  const auto& lines = exception.callStackSymbols();
  if (lines.size() < 2) return std::nullopt;
  std::size_t end = std::min(lines.size(), kMaxScannedFrames);
  for (std::size_t i = 2; i < end; ++i) {
    auto t = tokens(lines[i]);
    if (t.size() < 5) continue;
    std::string symbol(t[3]);
    if (t[4] != "+") {
      symbol += ' ';
      symbol += t[4];
    }
    if (containsLibraryPrefix(symbol)) return symbol;
  }
  return std::nullopt;
}

std::string describeContext(const platform::Value& context) {
  if (context.isNull()) return "(nil)";
  if (context.isObject()) {
    const auto& object = context.object();
    if (auto exception = context.objectAs<TLWException>()) {
      if (auto symbol = librarySymbol(*exception)) return *symbol + ": " + exception->description();
      return exception->description();
    }
    std::string text = object->description();
    if (!text.empty()) return text;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", static_cast<const void*>(object.get()));
    return "<" + object->className() + " " + buf + ">";
  }
  return context.description();
}

}  // namespace

struct TLWMonitor::Impl {
  std::shared_ptr<platform::Environment> env;
  std::shared_ptr<TLWLogger> logger;
  std::int64_t libraryVersion = 0;

  std::atomic<std::int64_t> logLevel{6};
  std::atomic<bool> debugModeEnabled{false};
  std::atomic<bool> verboseLoggingEnabled{false};
  std::atomic<bool> encodeContexts{false};
  std::atomic<bool> loggerLevelManagedExternally{false};
  std::atomic<bool> storeBuild{false};

  mutable std::mutex tagMutex;
  std::string logTag{kDefaultLogTag};

  std::shared_ptr<platform::DispatchQueue> queue;
  std::shared_ptr<platform::PreferencesSuite> monitorSuite;
  std::shared_ptr<platform::PreferencesSuite> standardSuite;
  std::shared_ptr<platform::Clock> clock;
  std::shared_ptr<platform::Random> random;

  // Sample updates queued but not yet run: a burst is written once, after its last update,
  // instead of one synchronous file write per message.
  std::atomic<std::int64_t> pendingSampleUpdates{0};

  // Touched only on the monitor queue.
  TLWMonitoringSampledData sampledData;
};

TLWMonitor::TLWMonitor(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TLWMonitor::~TLWMonitor() = default;

// ------------------------------------------------------------------ creation

std::shared_ptr<TLWMonitor> TLWMonitor::sharedInstance() {
  static const std::shared_ptr<TLWMonitor>& instance = *new std::shared_ptr<TLWMonitor>([] {
    TLWMonitorProbes probes;
    {
      std::lock_guard<std::mutex> lock(probesMutex());
      probes = sharedProbes();
    }
    return initWithLibraryVersion(kTLWLibraryNumericVersion, platform::Environment::current(), std::move(probes));
  }());
  return instance;
}

void TLWMonitor::setSharedInstanceProbes(TLWMonitorProbes probes) {
  std::lock_guard<std::mutex> lock(probesMutex());
  sharedProbes() = std::move(probes);
}

std::shared_ptr<TLWMonitor> TLWMonitor::initWithLibraryVersion(std::int64_t libraryVersion,
                                                               std::shared_ptr<platform::Environment> env,
                                                               TLWMonitorProbes probes) {
  return initWithLogLevel(6, std::make_shared<TLWASLLogger>(), libraryVersion, std::move(env), std::move(probes));
}

std::shared_ptr<TLWMonitor> TLWMonitor::initWithLogLevel(std::int64_t logLevel, std::shared_ptr<TLWLogger> logger,
                                                         std::int64_t libraryVersion,
                                                         std::shared_ptr<platform::Environment> env,
                                                         TLWMonitorProbes probes) {
  auto impl = std::make_unique<Impl>();
  impl->env = env ? std::move(env) : platform::Environment::current();
  impl->logger = logger ? std::move(logger) : std::make_shared<TLWASLLogger>();
  impl->libraryVersion = libraryVersion;
  impl->logLevel.store(logLevel, std::memory_order_relaxed);
  impl->queue = platform::DispatchQueue::create("TLWMonitorQueue", platform::QueuePriority::Background);
  auto preferences = impl->env->preferences();
  impl->monitorSuite = preferences->suite(std::string(kTLWMonitorSuiteName));
  impl->standardSuite = preferences->standard();
  impl->clock = impl->env->clock();
  impl->random = impl->env->random();
  auto processInfo = impl->env->processInfo();

  bool storeBuild = false;
  if (probes.isStoreBuild) {
    storeBuild = probes.isStoreBuild();
  } else {
    auto value = processInfo->environmentVariable(std::string(kStoreBuildVariable));
    storeBuild = value && *value == "1";
  }
  impl->storeBuild.store(storeBuild, std::memory_order_relaxed);
  const bool corePresent = probes.isCoreConfigurationPresent ? probes.isCoreConfigurationPresent() : false;

  std::shared_ptr<TLWMonitor> monitor(new TLWMonitor(std::move(impl)));
  monitor->impl_->queue->asyncWeak(monitor, [](TLWMonitor& self) {
    self.migrateMonitorDataOnMonitorQueue();
    self.loadSampledDataOnMonitorQueue();
  });

  if (!storeBuild) {
    auto arguments = processInfo->arguments();
    monitor->impl_->loggerLevelManagedExternally.store(
        corePresent && contains(arguments, {"-TWKDebugDisabled", "-TWKDebugEnabled"}), std::memory_order_relaxed);
    monitor->applyStartupSwitches(arguments);
  }
  return monitor;
}

void TLWMonitor::applyStartupSwitches(const std::vector<std::string>& arguments) {
  auto persistedTrue = [this](std::string_view key) {
    return impl_->standardSuite->objectForKey(key).boolValue().value_or(false);
  };
  if (contains(arguments, {"-noTLWAnalyticsDebugEnabled", "-noTWKAnalyticsDebugEnabled", "-TWKDebugDisabled"})) {
    setDebugModeEnabled(false);
  } else if (persistedTrue(kTLWDebugModeKey) ||
             contains(arguments, {"-TLWAnalyticsDebugEnabled", "-TWKAnalyticsDebugEnabled", "-TWKDebugEnabled"})) {
    setDebugModeEnabled(true);
  }
  if (contains(arguments, {"-TLWAnalyticsVerboseLoggingDisabled", "-TWKAnalyticsVerboseLoggingDisabled"})) {
    setVerboseLoggingEnabled(false);
  } else if (persistedTrue(kTLWVerboseLoggingKey) ||
             contains(arguments, {"-TLWAnalyticsVerboseLoggingEnabled", "-TWKAnalyticsVerboseLoggingEnabled"})) {
    setVerboseLoggingEnabled(true);
  }
}

// ------------------------------------------------------------------ logging

bool TLWMonitor::shouldProcess(std::int64_t level) const noexcept {
  if (isMonitorableLevel(level)) return true;
  if (level == 8 && !impl_->verboseLoggingEnabled.load(std::memory_order_relaxed)) return false;
  return isLoggableLevel(level);
}

void TLWMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message) {
  if (!shouldProcess(level)) return;
  logAccepted(level, messageCode, message, platform::Array{});
}

void TLWMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                              const platform::Value& context) {
  if (!shouldProcess(level)) return;
  logAccepted(level, messageCode, message, platform::Array{context});
}

void TLWMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                              const platform::Value& context1, const platform::Value& context2) {
  if (!shouldProcess(level)) return;
  logAccepted(level, messageCode, message, platform::Array{context1, context2});
}

void TLWMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                              const platform::Value& context1, const platform::Value& context2,
                              const platform::Value& context3) {
  if (!shouldProcess(level)) return;
  logAccepted(level, messageCode, message, platform::Array{context1, context2, context3});
}

void TLWMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                              const platform::Array& contexts) {
  if (!shouldProcess(level)) return;
  logAccepted(level, messageCode, message, contexts);
}

void TLWMonitor::logAccepted(std::int64_t level, std::int64_t messageCode, std::string_view message,
                             const platform::Array& contexts) {
  const bool loggable = isLoggableLevel(level) &&
                        !(level == 8 && !impl_->verboseLoggingEnabled.load(std::memory_order_relaxed));
  const bool monitorable = isMonitorableLevel(level);
  auto self = shared_from_this();
  if (loggable) {
    std::string text =
        stringWithLogMessage(message, level, contexts, impl_->encodeContexts.load(std::memory_order_relaxed));
    impl_->queue->asyncWeak(self, [text = std::move(text), tag = logTag(), messageCode, level](TLWMonitor& m) {
      m.impl_->logger->logMessage(text, tag, messageCode, level);
    });
  }
  if (monitorable) {
    std::string encoded = encodedStringWithContextArray(contexts, false);
    std::string errorContexts;
    for (const auto& c : contexts) {
      auto error = c.objectAs<TLWError>();
      if (!error || !error->isLibraryError()) continue;
      auto context = error->monitorContext();
      if (!context || context->empty()) continue;
      if (!errorContexts.empty()) errorContexts += ',';
      errorContexts += *context;
    }
    if (!errorContexts.empty()) encoded += "," + errorContexts;
    std::string key = monitoringDataKeyWithMessage(message.data() ? message : "(null)", level, impl_->libraryVersion);
    // The message's own time, not the time the queue gets to it, opens a window.
    const double now = impl_->clock->now();
    impl_->pendingSampleUpdates.fetch_add(1, std::memory_order_relaxed);
    impl_->queue->asyncWeak(self, [key = std::move(key), encoded = std::move(encoded), now](TLWMonitor& m) {
      m.insertOrUpdateSampledDataOnMonitorQueue(key, encoded, now);
    });
  }
}

// ------------------------------------------------------------------ switches

std::int64_t TLWMonitor::logLevel() const { return impl_->logLevel.load(std::memory_order_relaxed); }
void TLWMonitor::setLogLevel(std::int64_t level) { impl_->logLevel.store(level, std::memory_order_relaxed); }
bool TLWMonitor::debugModeEnabled() const { return impl_->debugModeEnabled.load(std::memory_order_relaxed); }
bool TLWMonitor::verboseLoggingEnabled() const {
  return impl_->verboseLoggingEnabled.load(std::memory_order_relaxed);
}
bool TLWMonitor::encodeContexts() const { return impl_->encodeContexts.load(std::memory_order_relaxed); }
void TLWMonitor::setEncodeContexts(bool encode) { impl_->encodeContexts.store(encode, std::memory_order_relaxed); }
bool TLWMonitor::loggerLevelManagedExternally() const {
  return impl_->loggerLevelManagedExternally.load(std::memory_order_relaxed);
}
bool TLWMonitor::isStoreBuild() const { return impl_->storeBuild.load(std::memory_order_relaxed); }
std::int64_t TLWMonitor::libraryVersion() const { return impl_->libraryVersion; }

std::string TLWMonitor::logTag() const {
  std::lock_guard<std::mutex> lock(impl_->tagMutex);
  return impl_->logTag;
}

void TLWMonitor::setLogTag(std::string tag) {
  std::lock_guard<std::mutex> lock(impl_->tagMutex);
  impl_->logTag = std::move(tag);
}

void TLWMonitor::setDebugModeEnabled(bool enabled) {
  const bool external = loggerLevelManagedExternally();
  auto& standard = *impl_->standardSuite;
  if (enabled && !isStoreBuild()) {
    setLogLevel(7);
    if (!external) platform::VXLSetLoggerLevel(platform::VXLLoggerLevel::Debug);
    standard.setObject(kTLWDebugModeKey, platform::Value(true));
    (void)standard.synchronize();
    logWithLevel(7, kCodeDebugModeOn, "Debug mode is on");
    impl_->debugModeEnabled.store(true, std::memory_order_relaxed);
  } else {
    // Announced before the level drops: a level-7 line is filtered once it has.
    logWithLevel(7, kCodeDebugModeOff, "Debug mode is off");
    setLogLevel(6);
    if (!external) platform::VXLSetLoggerLevel(platform::VXLLoggerLevel::Notice);
    standard.removeObject(kTLWDebugModeKey);
    (void)standard.synchronize();
    impl_->debugModeEnabled.store(false, std::memory_order_relaxed);
  }
}

void TLWMonitor::setVerboseLoggingEnabled(bool enabled) {
  const bool external = loggerLevelManagedExternally();
  auto& standard = *impl_->standardSuite;
  if (enabled && !isStoreBuild()) {
    setLogLevel(8);
    if (!external) platform::VXLSetLoggerLevel(platform::VXLLoggerLevel::Debug);
    standard.setObject(kTLWVerboseLoggingKey, platform::Value(true));
    (void)standard.synchronize();
    // The flag goes up first: a level-8 message is dropped while verbose logging is off,
    // so the announcement would otherwise never be seen.
    impl_->verboseLoggingEnabled.store(true, std::memory_order_relaxed);
    logWithLevel(8, kCodeVerboseLoggingOn, "Verbose logging is on");
  } else {
    const std::int64_t level = debugModeEnabled() ? 7 : 6;
    setLogLevel(level);
    if (!external) platform::VXLSetLoggerLevel(TLWASLLogger::VXLLoggerLevelFromLogLevel(level));
    standard.removeObject(kTLWVerboseLoggingKey);
    (void)standard.synchronize();
    impl_->verboseLoggingEnabled.store(false, std::memory_order_relaxed);
  }
}

// ------------------------------------------------------------------ health sample

void TLWMonitor::runSyncOnMonitorQueue(const std::function<void()>& block) {
  if (impl_->queue->isCurrent()) {
    block();
    return;
  }
  if (!impl_->queue->sync(block)) block();  // refused only from the queue itself, handled above
}

void TLWMonitor::flush() {
  if (impl_->queue->isCurrent()) return;
  (void)impl_->queue->sync([] {});
}

std::optional<std::string> TLWMonitor::monitoringDataForDispatchWithSamplePeriod(double samplePeriodSeconds,
                                                                                  double lastSampledTimestamp) {
  std::optional<std::string> result;
  runSyncOnMonitorQueue([&] {
    const bool hadEntry = !impl_->sampledData.isEmpty();
    result = impl_->sampledData.dispatch(samplePeriodSeconds, lastSampledTimestamp, impl_->clock->now());
    if (hadEntry && impl_->sampledData.isEmpty()) saveSampledDataOnMonitorQueue();
  });
  return result;
}

void TLWMonitor::clearMonitoringData() {
  runSyncOnMonitorQueue([&] {
    for (auto* suite : {impl_->standardSuite.get(), impl_->monitorSuite.get()}) {
      suite->removeObject(kTLWDebugModeKey);
      suite->removeObject(kTLWMonitorHealthSampleKey);
      (void)suite->synchronize();
    }
    loadSampledDataOnMonitorQueue();
  });
}

void TLWMonitor::insertOrUpdateSampledDataOnMonitorQueue(const std::string& key, const std::string& encodedContext,
                                                         double now) {
  auto& random = *impl_->random;
  impl_->sampledData.insertOrUpdate(key, encodedContext, now,
                                    [&random](std::uint64_t bound) { return random.uniform(bound); });
  if (impl_->pendingSampleUpdates.fetch_sub(1, std::memory_order_relaxed) == 1) saveSampledDataOnMonitorQueue();
}

void TLWMonitor::saveSampledDataOnMonitorQueue() {
  auto& suite = *impl_->monitorSuite;
  platform::Value stored = impl_->sampledData.arrayRepresentation();
  if (stored.isNull())
    suite.removeObject(kTLWMonitorHealthSampleKey);
  else
    suite.setObject(kTLWMonitorHealthSampleKey, std::move(stored));
  (void)suite.synchronize();
}

void TLWMonitor::loadSampledDataOnMonitorQueue() {
  impl_->sampledData = TLWMonitoringSampledData::initWithArray(impl_->monitorSuite->objectForKey(kTLWMonitorHealthSampleKey));
}

void TLWMonitor::migrateMonitorDataOnMonitorQueue() {
  auto& suite = *impl_->monitorSuite;
  auto& standard = *impl_->standardSuite;
  // An unreadable state starts over: every step is safe to repeat.
  std::int64_t state = 0;
  platform::Value stored = suite.objectForKey(kTLWMonitorMigrationStateKey);
  if (stored.isInteger()) state = stored.int64Value().value_or(0);
  if (state < 0 || state > 2) state = 0;

  if (state == 0) {
    platform::Value legacy = standard.objectForKey(kTLWMonitorHealthSampleKey);
    if (legacy.isArray() && suite.objectForKey(kTLWMonitorHealthSampleKey).isNull())
      suite.setObject(kTLWMonitorHealthSampleKey, legacy);
    suite.setObject(kTLWMonitorMigrationStateKey, platform::Value(1));
    (void)suite.synchronize();
    state = 1;
  }
  if (state == 1) {
    standard.removeObject(kTLWMonitorHealthSampleKey);
    (void)standard.synchronize();
    suite.setObject(kTLWMonitorMigrationStateKey, platform::Value(2));
    (void)suite.synchronize();
  }
}

// ------------------------------------------------------------------ class operations

bool TLWMonitor::isSilentLevel(std::int64_t level) { return level == 2 || level == 5 || level > 8; }

bool TLWMonitor::isMonitorableLevel(std::int64_t level) {
  return level == 1 || level == 2 || level == 4 || level == 5 || level > 8;
}

bool TLWMonitor::isLoggableLevel(std::int64_t level) {
  return !isSilentLevel(level) && platform::VXLIsLoggableLevel(TLWASLLogger::VXLLoggerLevelFromLogLevel(level));
}

std::string TLWMonitor::logLevelDescriptionFromLogLevel(std::int64_t level) {
  static const std::array<std::string_view, 9> kDescriptions = {"ERROR",   "ERROR",  "ERROR", "WARNING", "WARNING",
                                                                "WARNING", "NOTICE", "DEBUG", ""};
  if (level < 0 || level >= static_cast<std::int64_t>(kDescriptions.size())) return std::string();
  return std::string(kDescriptions[static_cast<std::size_t>(level)]);
}

std::string TLWMonitor::stringWithLogMessage(std::string_view message, std::int64_t /*logLevel*/,
                                             const platform::Array& contexts, bool encodeContexts) {
  std::string text;
  if (message.data() == nullptr)
    text = "(Message was nil)";
  else if (message.empty())
    text = "(Message was empty)";
  else
    text = std::string(message);
  if (contexts.empty()) return text;
  text += ": ";
  if (encodeContexts) return text + encodedStringWithContextArray(contexts, true);
  bool first = true;
  for (const auto& c : contexts) {
    if (!first) text += ", ";
    first = false;
    text += describeContext(c);
  }
  return text;
}

std::string TLWMonitor::encodedStringWithContextArray(const platform::Array& contexts, bool insertSpaces) {
  std::string out;
  bool first = true;
  for (const auto& c : contexts) {
    if (!first) out += insertSpaces ? ", " : ",";
    first = false;
    out += encodedStringWithContextObject(c);
  }
  return out;
}

std::string TLWMonitor::encodedStringWithContextObject(const platform::Value& context) {
  using K = platform::Value::Kind;
  switch (context.kind()) {
    case K::Null: return std::string();
    case K::String: return "-";
    case K::Bool:
    case K::Int:
    case K::UInt:
    case K::Double: return encodeNumber(context.int64Value().value_or(0));
    case K::Object: {
      if (context.objectAs<TLWException>()) {
        std::string symbol = lastTLWSymbolFromException(context);
        return symbol.empty() ? "-" : symbol;
      }
      if (auto error = context.objectAs<TLWError>()) return error->domain().empty() ? "-" : error->domain();
      return "?";
    }
    default: return "?";
  }
}

std::string TLWMonitor::lastTLWSymbolFromException(const platform::Value& exception) {
  auto e = exception.objectAs<TLWException>();
  if (!e) return std::string();
  if (auto symbol = librarySymbol(*e)) return *symbol;
  return e->name();
}

std::string TLWMonitor::monitoringDataKeyWithMessage(std::string_view message, std::int64_t logLevel,
                                                     std::int64_t libraryVersion) {
  char letter = '?';
  if (logLevel >= 0 && logLevel <= 2)
    letter = 'E';
  else if (logLevel >= 3 && logLevel <= 5)
    letter = 'W';
  std::string key = "1";
  key += letter;
  key += '_';
  key += std::to_string(libraryVersion);
  key += ':';
  key += message;
  return key;
}
