#include "measurement/engine/TLWConfigFetcher.h"

#include "measurement/scheduler/TLWScheduler.h"
#include "measurement/engine/TLWServiceAnswers.h"
#include "measurement/engine/TLWUploader.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWPersistedConfig.h"

std::shared_ptr<TLWConfigFetcher> TLWConfigFetcher::create(std::shared_ptr<TLWUploader> uploader,
                                                           std::weak_ptr<TLWConfigFetcherHost> host,
                                                           std::shared_ptr<platform::Environment> env,
                                                           std::shared_ptr<TLWMonitor> monitor) {
  if (!uploader) return nullptr;
  return std::make_shared<TLWConfigFetcher>(Private{}, std::move(uploader), std::move(host), std::move(env),
                                            std::move(monitor));
}

TLWConfigFetcher::TLWConfigFetcher(Private, std::shared_ptr<TLWUploader> uploader,
                                   std::weak_ptr<TLWConfigFetcherHost> host, std::shared_ptr<platform::Environment> env,
                                   std::shared_ptr<TLWMonitor> monitor)
    : uploader_(std::move(uploader)),
      host_(std::move(host)),
      env_(env ? std::move(env) : platform::Environment::current()),
      monitor_(monitor ? std::move(monitor) : uploader_->monitor()) {}

void TLWConfigFetcher::fetchRemoteConfig() {
  auto host = host_.lock();
  if (!host) return;
  auto url = host->remoteConfigURL();
  if (!url || url->empty()) {
    monitor_->logWithLevel(2, 23125, "Invalid server URL to get configuration");
    return;
  }
  monitor_->logWithLevel(8, 23126, "Fetching configuration from the server");
  platform::VXLHTTPHeaders headers;
  if (auto lastModified = uploader_->persistedConfig()->configServerLastModifiedString();
      lastModified && !lastModified->empty())
    headers["If-Modified-Since"] = *lastModified;

  uploader_->setNetworkRequestPending(true);
  auto transport = uploader_->transport();
  transport->setTimeoutInterval(uploader_->currentSettings().networkTimeout);
  auto settled = std::make_shared<bool>(false);
  std::weak_ptr<TLWConfigFetcher> weakSelf = weak_from_this();
  const std::string session = transport->getURL(
      *url, headers, uploader_->scheduler()->workerQueue(), uploader_->shouldUseBackgroundSession(),
      [weakSelf, settled](const platform::VXLHTTPResponse& response, const platform::Value::Data& data,
                          const std::optional<platform::VXLNetworkError>& error) {
        if (*settled) return;
        *settled = true;
        auto self = weakSelf.lock();
        if (!self) return;
        self->uploader_->setNetworkRequestPending(false);
        self->networkRemoteConfigFetchCompletionHandler(response, data, error);
      });
  if (session.empty() && !*settled) {
    // No session, no completion: release the pending request and plan a retry, as any
    // failed fetch does.
    *settled = true;
    uploader_->setNetworkRequestPending(false);
    monitor_->logWithLevel(2, 23040, "Unable to create network session.");
    uploader_->persistedConfig()->setLastFailedUploadTimestamp(env_->clock()->now());
    uploader_->updateSchedule();
  }
}

void TLWConfigFetcher::recordFetchTime(std::int64_t failureCode, const char* failureMessage) {
  TLWError error;
  if (!uploader_->database()->updateRemoteConfigSuccessfulTimestamp(env_->clock()->now(), &error)) {
    monitor_->logWithLevel(1, failureCode, failureMessage, error.asValue());
    uploader_->setSuspendedUploadTimestamp(uploader_->secondsSinceBoot());
  } else {
    uploader_->setSuspendedUploadTimestamp(0);
  }
}

TLWConfigFetcher::Acceptance TLWConfigFetcher::storeConfiguration(const platform::Value::Data& data) {
  auto host = host_.lock();
  if (!host) return Acceptance::Rejected;
  bool accepted = false;
  const bool committed = uploader_->database()->performTransaction([&] {
    TLWConfigRefusal refusal{};
    auto fetched = TLWDecodeFetchedConfig(std::span<const std::uint8_t>(data.data(), data.size()),
                                          host->appIDFromZEL(), &refusal);
    if (!fetched) {
      if (refusal == TLWConfigRefusal::Undecodable) {
        monitor_->logWithLevel(2, 23135, "Configuration data is invalid.");
      } else {
        monitor_->logWithLevel(2, 23136, "Configuration does not have valid Vorlix App ID.");
      }
      return false;
    }
    if (!host->updateAudiences(fetched->audiences)) {
      monitor_->logWithLevel(2, 23137, "Failed to update audiences with new server configuration");
      return false;
    }
    if (!host->updateMeasurementConfig(fetched->config)) {
      monitor_->logWithLevel(2, 23138, "Failed to update configuration with new server configuration");
      return false;
    }
    accepted = true;
    return true;
  });
  return committed && accepted ? Acceptance::Accepted : Acceptance::Rejected;
}

void TLWConfigFetcher::networkRemoteConfigFetchCompletionHandler(const platform::VXLHTTPResponse& response,
                                                                 const platform::Value::Data& data,
                                                                 const std::optional<platform::VXLNetworkError>& error) {
  const long status = response.statusCode;
  auto persisted = uploader_->persistedConfig();
  monitor_->logWithLevel(8, 23127, "Fetched configuration. Status code", status);
  const TLWConfigAnswer answer = TLWReadConfigAnswer(response, data);
  if (!answer.answered) {
    monitor_->logWithLevel(3, 23128, "Network request failed to fetch remote config. Code, Error", status,
                           error ? error->asValue() : platform::Value());
    const double now = env_->clock()->now();
    persisted->setLastFailedUploadTimestamp(now);
    if (answer.backOff) persisted->setLastBackoffTimestamp(now);
    monitor_->logWithLevel(3, 23129, "Network fetch failed. Will retry later. Code, error", status,
                           error ? error->asValue() : platform::Value());
    uploader_->updateSchedule();
    return;
  }

  if (status == platform::kVXLNetworkHTTPStatusCodeNotFound) {
    monitor_->logWithLevel(3, 23130, "Configuration not found. Using default configuration");
  } else if (status == platform::kVXLNetworkHTTPStatusCodeNotModified) {
    monitor_->logWithLevel(8, 23131, "Configuration has not been modified. Using the same configuration. Code",
                           status);
  } else {
    monitor_->logWithLevel(8, 23133, "Successfully fetched configuration from the server. Code, size", status,
                           response.expectedContentLength);
  }

  if (answer.hasBody && storeConfiguration(data) == Acceptance::Rejected) {
    // The server's date and the fetch time describe a configuration we refused: keeping
    // them would answer every later fetch with 304 and count the refused one as fresh.
    // The configuration in force stays in use meanwhile, so events keep going out; the
    // uploader fetches again once the retry interval has passed.
    uploader_->setConfigurationRefusedTimestamp(env_->clock()->now());
    uploader_->uploadDataOrRegisterAlarmAfterThisRequest();
    return;
  }
  uploader_->setConfigurationRefusedTimestamp(0);

  persisted->setConfigServerLastModifiedString(answer.lastModified);
  persisted->setLastFailedUploadTimestamp(0);
  persisted->setLastBackoffTimestamp(0);
  if (status == platform::kVXLNetworkHTTPStatusCodeNotFound || status == platform::kVXLNetworkHTTPStatusCodeNotModified) {
    recordFetchTime(23132, "Failed to update config last set timestamp. Error");
  } else {
    recordFetchTime(23134, "Failed to set last set timestamp in database. Error");
  }
  uploader_->uploadDataOrRegisterAlarmAfterThisRequest();
}
