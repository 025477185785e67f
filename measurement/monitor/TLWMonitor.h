#pragma once
// TLWMonitor: the library's single logging facade. Every message carries a level (0 to 8),
// a message code and up to three context objects; the monitor routes it to the console
// through the utilities logger and samples errors and warnings into the health sample.
//
// Thread-safety: any thread may log. Console output and sample updates run on the
// monitor queue "TLWMonitorQueue". monitoringDataForDispatch... and clearMonitoringData
// are synchronous on that queue (from a block already on it they run inline). Level and
// flags are atomics read without locks. Whether a line prints follows the utilities
// logger's level (VXLIsLoggableLevel), which the debug and verbose switches set;
// logLevel() itself is informational and filters nothing.
//
// Ownership: one process-wide monitor (sharedInstance, created once with the library's
// numeric version); tests may create their own with an environment and a logger. Blocks
// queued on the monitor queue hold the monitor weakly and do nothing once it is gone.
//
// Persistence: the health sample lives under "/vorlix/measurement/health_monitor" in the
// suite "com.vorlix.zel.measurement.monitor"; the debug and verbose switches persist in
// the standard suite. A corrupt stored sample loads as an empty one.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Environment.h"
#include "platform/Value.h"

// The console sink behind the monitor (by default TLWASLLogger, which calls VXLLogBasic).
class TLWLogger {
 public:
  virtual ~TLWLogger() = default;
  virtual void logMessage(std::string_view message, std::string_view logTag, std::int64_t messageCode,
                          std::int64_t logLevel) = 0;
};

class TLWMonitoringSampledData;

inline constexpr std::int64_t kTLWLibraryNumericVersion = 80901;
inline constexpr std::string_view kTLWMonitorSuiteName = "com.vorlix.zel.measurement.monitor";
inline constexpr std::string_view kTLWMonitorHealthSampleKey = "/vorlix/measurement/health_monitor";
inline constexpr std::string_view kTLWMonitorMigrationStateKey = "/vorlix/measurement/monitor_migration_state";
inline constexpr std::string_view kTLWDebugModeKey = "/vorlix/measurement/debug_mode";
inline constexpr std::string_view kTLWVerboseLoggingKey = "/vorlix/measurement/verbose_logging";

// Facts about the app that the monitor asks once, at creation. An empty function takes
// the default.
struct TLWMonitorProbes {
  // True in a store build, where the debug and verbose switches are ignored. Default:
  // the process environment has TALLYWISE_STORE_BUILD=1 (read through ProcessInfo).
  std::function<bool()> isStoreBuild;
  // True when the family core is present to manage the utilities logger's level itself.
  // Default: false.
  std::function<bool()> isCoreConfigurationPresent;
};

class TLWMonitor : public std::enable_shared_from_this<TLWMonitor> {
 public:
  // The process-wide monitor, created once with the library's numeric version on the
  // current environment.
  static std::shared_ptr<TLWMonitor> sharedInstance();
  // The probes sharedInstance() will use; only effective before its first call.
  static void setSharedInstanceProbes(TLWMonitorProbes probes);

  // initWithLibraryVersion: (level 6, a new TLWASLLogger).
  static std::shared_ptr<TLWMonitor> initWithLibraryVersion(std::int64_t libraryVersion,
                                                            std::shared_ptr<platform::Environment> env,
                                                            TLWMonitorProbes probes = {});
  // The designated initialiser. A null logger means a new TLWASLLogger, a null
  // environment Environment::current(). Queues the sample migration and load, then
  // (unless a store build) applies the process arguments and the persisted switches.
  static std::shared_ptr<TLWMonitor> initWithLogLevel(std::int64_t logLevel, std::shared_ptr<TLWLogger> logger,
                                                      std::int64_t libraryVersion,
                                                      std::shared_ptr<platform::Environment> env,
                                                      TLWMonitorProbes probes = {});
  ~TLWMonitor();

  // Logging. A missing context is an explicit null, so every context keeps its position.
  // A message whose level is neither loggable nor sampled returns after a few atomic
  // loads, before anything is allocated. A null message (default string_view) prints as
  // "(Message was nil)". Never fails towards the caller.
  void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message);
  void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                    const platform::Value& context);
  void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                    const platform::Value& context1, const platform::Value& context2);
  void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                    const platform::Value& context1, const platform::Value& context2,
                    const platform::Value& context3);
  void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                    const platform::Array& contexts);

  // Whether a line of `level` prints or is sampled now: callers skip building costly
  // contexts for lines that would go nowhere.
  bool shouldProcess(std::int64_t level) const noexcept;

  std::int64_t logLevel() const;
  void setLogLevel(std::int64_t level);
  bool debugModeEnabled() const;
  void setDebugModeEnabled(bool enabled);
  bool verboseLoggingEnabled() const;
  void setVerboseLoggingEnabled(bool enabled);
  bool encodeContexts() const;
  void setEncodeContexts(bool encode);
  std::string logTag() const;
  void setLogTag(std::string tag);
  bool loggerLevelManagedExternally() const;

  bool isStoreBuild() const;
  std::int64_t libraryVersion() const;

  // The health sample string for a bundle, or nullopt; a returned window is cleared and
  // the cleared state persisted. Synchronous on the monitor queue (runs inline when
  // already on it).
  std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriodSeconds,
                                                                       double lastSampledTimestamp);
  // Removes the persisted debug-mode flag and health sample from the standard and the
  // monitor suites and empties the sample. Synchronous on the monitor queue.
  void clearMonitoringData();
  // Waits until every block queued on the monitor queue so far has run (tests).
  void flush();

  // Class operations.
  static bool isSilentLevel(std::int64_t level);
  static bool isMonitorableLevel(std::int64_t level);
  static bool isLoggableLevel(std::int64_t level);
  static std::string logLevelDescriptionFromLogLevel(std::int64_t level);
  static std::string stringWithLogMessage(std::string_view message, std::int64_t logLevel,
                                          const platform::Array& contexts, bool encodeContexts);
  static std::string encodedStringWithContextArray(const platform::Array& contexts, bool insertSpaces);
  static std::string encodedStringWithContextObject(const platform::Value& context);
  // The first call-stack symbol (from the third frame on) naming a library class, else
  // the exception's name; "" when the value is not a TLWException.
  static std::string lastTLWSymbolFromException(const platform::Value& exception);
  static std::string monitoringDataKeyWithMessage(std::string_view message, std::int64_t logLevel,
                                                  std::int64_t libraryVersion);

 private:
  struct Impl;
  explicit TLWMonitor(std::unique_ptr<Impl> impl);
  void logAccepted(std::int64_t level, std::int64_t messageCode, std::string_view message,
                   const platform::Array& contexts);
  // Runs `block` on the monitor queue and waits; inline when already on it.
  void runSyncOnMonitorQueue(const std::function<void()>& block);
  void applyStartupSwitches(const std::vector<std::string>& arguments);
  void migrateMonitorDataOnMonitorQueue();
  void loadSampledDataOnMonitorQueue();
  void saveSampledDataOnMonitorQueue();
  void insertOrUpdateSampledDataOnMonitorQueue(const std::string& key, const std::string& encodedContext, double now);

  std::unique_ptr<Impl> impl_;
};
