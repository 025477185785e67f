#pragma once
// TLWMonitor: the library's single logging facade. Every message carries a level (0 to 8),
// a message code and up to three context objects; the monitor routes it to the console
// through the utilities logger and samples errors and warnings into the health sample.
//
// Thread-safety: any thread may log. Console output and sample updates run on the
// monitor queue "TLWMonitorQueue". monitoringDataForDispatch... and clearMonitoringData
// are synchronous on that queue and must not be called from it. Level and flags are
// atomics read without locks.
//
// Ownership: one process-wide monitor (sharedInstance, created once with the library's
// numeric version); tests may create their own with an environment and a logger.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

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

class TLWMonitor : public std::enable_shared_from_this<TLWMonitor> {
 public:
  // The process-wide monitor, created once with the library's numeric version on the
  // current environment.
  static std::shared_ptr<TLWMonitor> sharedInstance();

  // initWithLibraryVersion: (level 6, a new TLWASLLogger).
  static std::shared_ptr<TLWMonitor> initWithLibraryVersion(std::int64_t libraryVersion,
                                                            std::shared_ptr<platform::Environment> env);
  // The designated initialiser.
  static std::shared_ptr<TLWMonitor> initWithLogLevel(std::int64_t logLevel, std::shared_ptr<TLWLogger> logger,
                                                      std::int64_t libraryVersion,
                                                      std::shared_ptr<platform::Environment> env);
  ~TLWMonitor();

  // Logging. A missing context is an explicit null, so every context keeps its position.
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

  // The health sample string for a bundle, or nullopt.
  std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriodSeconds,
                                                                       double lastSampledTimestamp);
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
  static std::string lastTLWSymbolFromException(const platform::Value& exception);
  static std::string monitoringDataKeyWithMessage(std::string_view message, std::int64_t logLevel,
                                                  std::int64_t libraryVersion);

 private:
  struct Impl;
  explicit TLWMonitor(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};
