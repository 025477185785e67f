#pragma once
// How the engine reads the measurement service's answers to a configuration fetch and to
// an upload: the status decides success, retry and back-off; a fetched configuration is
// decoded, must re-serialise and carry the app's ID, and has its audiences taken out (they
// are stored apart). The fetcher and the uploader act on what these return.
//
// Thread-safety: pure functions; any thread.
// Failure: a configuration that is refused comes back as nullopt with the reason.

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Value.h"
#include "platform/network/VXLNetwork.h"

class TLWPBAudience;
class TLWPBMeasurementConfig;

struct TLWConfigAnswer {
  bool answered = false;  // 200, 204, 304 or 404: the fetch is done; else it failed
  bool backOff = false;   // a failure that asks us to stay away (429, 503)
  bool hasBody = false;   // a configuration to check and store (200 or 204 with bytes)
  std::optional<std::string> lastModified;
};
TLWConfigAnswer TLWReadConfigAnswer(const platform::VXLHTTPResponse& response, const platform::Value::Data& body);

enum class TLWConfigRefusal { Undecodable, WrongAppID };
struct TLWFetchedConfig {
  std::shared_ptr<TLWPBMeasurementConfig> config;  // without its audiences
  std::vector<std::shared_ptr<TLWPBAudience>> audiences;
};
// `refusal` is set when nullopt is returned.
std::optional<TLWFetchedConfig> TLWDecodeFetchedConfig(std::span<const std::uint8_t> bytes, std::string_view appID,
                                                       TLWConfigRefusal* refusal);

struct TLWUploadAnswer {
  bool accepted = false;  // 200 or 204: the sent bundles can go
  bool backOff = false;   // 429, 503
};
TLWUploadAnswer TLWReadUploadAnswer(const platform::VXLHTTPResponse& response);
