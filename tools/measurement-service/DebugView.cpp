#include "tools/measurement-service/DebugView.h"

#include <httplib.h>

#include <charconv>
#include <chrono>
#include <nlohmann/json.hpp>

#include "tools/common/TLWPBJson.h"
#include "tools/measurement-service/ServiceCore.h"

namespace measurement_service {

// Generated from debug-view.html at build time.
extern const std::string_view kDebugViewPage;

namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr auto kPollSlice = 250ms;
constexpr auto kKeepAlive = 5s;

std::int64_t nowMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A page reads numbers as doubles: integers beyond 2^53 travel as text, and audience
// bit words as hexadecimal text, so that no bit is lost on the way.
void makeExactForScript(json& value, bool inAudience = false, bool bitWords = false) {
  constexpr std::uint64_t kExact = 1ull << 53;
  if (value.is_number_unsigned() || value.is_number_integer()) {
    if (bitWords && value.is_number_unsigned()) {
      char text[24];
      std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value.get<std::uint64_t>()));
      value = text;
    } else if (value.is_number_unsigned() ? value.get<std::uint64_t>() > kExact
                                          : (value.get<std::int64_t>() > static_cast<std::int64_t>(kExact) ||
                                             value.get<std::int64_t>() < -static_cast<std::int64_t>(kExact))) {
      value = value.dump();
    }
    return;
  }
  if (value.is_array()) {
    for (auto& item : value) makeExactForScript(item, inAudience, bitWords);
  } else if (value.is_object()) {
    for (auto it = value.begin(); it != value.end(); ++it) {
      const bool audience = inAudience || it.key() == "audience_evaluation_results";
      makeExactForScript(it.value(), audience, audience && (it.key() == "status" || it.key() == "results"));
    }
  }
}

std::string dumped(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

std::uint64_t parseID(const std::string& text) {
  std::uint64_t id = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
  return ec == std::errc() && end == text.data() + text.size() ? id : 0;
}

void serveEvents(const std::shared_ptr<DebugFeed>& feed, const httplib::Request& req, httplib::Response& res) {
  std::string last = req.get_header_value("Last-Event-ID");
  if (last.empty() && req.has_param("last")) last = req.get_param_value("last");
  auto subscription = feed->subscribe(parseID(last));
  if (!subscription) {
    res.status = 503;
    res.set_content("too many open debug views\n", "text/plain");
    return;
  }
  res.set_header("Cache-Control", "no-store");
  res.set_chunked_content_provider(
      "text/event-stream",
      [subscription, started = false, lastWrite = std::chrono::steady_clock::now()](
          std::size_t, httplib::DataSink& sink) mutable {
        auto write = [&](std::string_view text) {
          lastWrite = std::chrono::steady_clock::now();
          return sink.write(text.data(), text.size());
        };
        // The page reconnects a second after a lost connection.
        if (!started && !write("retry: 1000\n\n")) return false;
        started = true;
        DebugFeed::Subscription::Batch batch = subscription->next(kPollSlice);
        if (batch.closed) {
          sink.done();
          return true;
        }
        if (batch.skipped > 0 &&
            !write(DebugFeed::frame(0, "skipped", dumped(json{{"count", batch.skipped}}))))
          return false;
        for (const auto& frame : batch.frames) {
          if (!write(*frame)) return false;
        }
        // Only a write notices a reader that went away.
        if (std::chrono::steady_clock::now() - lastWrite >= kKeepAlive) return write(": keep-alive\n\n");
        return true;
      });
}

}  // namespace

DebugView::DebugView(DebugFeed::Limits limits) : feed_(std::make_shared<DebugFeed>(limits)) {}

std::string_view DebugView::page() { return kDebugViewPage; }

void DebugView::attachTo(ServiceCore& service) {
  service.addRoute("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_content(std::string(kDebugViewPage), "text/html; charset=utf-8");
  });
  service.addRoute("/_debug/events", [feed = feed_](const httplib::Request& req, httplib::Response& res) {
    serveEvents(feed, req, res);
  });
}

void DebugView::publishUpload(const RecordedRequest& request, const std::optional<std::string>& batchJSON,
                              const std::string& problem) {
  std::string reason;
  if (!request.gunzipError.empty()) {
    reason = "cannot inflate: " + request.gunzipError;
  } else if (!batchJSON || !problem.empty()) {
    reason = problem.empty() ? "does not decode" : problem;
  } else if (request.action == "drop") {
    reason = "connection dropped by a rule";
  } else if (request.action == "stall") {
    reason = "stalled by a rule";
  } else if (request.status >= 300) {
    reason = "answered " + std::to_string(request.status);
  }
  json message{{"seq", request.sequence},
               {"received_ms", nowMilliseconds()},
               {"status", request.status},
               {"action", request.action},
               {"bytes", request.body.size()},
               {"encoding", request.header("Content-Encoding").value_or("")},
               {"refused", !reason.empty()},
               {"reason", reason},
               {"bundles", json::array()}};
  if (batchJSON) {
    json batch = json::parse(*batchJSON, nullptr, /*allow_exceptions=*/false);
    if (batch.is_object() && batch.contains("bundles")) {
      makeExactForScript(batch["bundles"]);
      message["bundles"] = std::move(batch["bundles"]);
    }
  }
  feed_->publish("upload", dumped(message));
}

void DebugView::publishConfiguration(const std::string& appID, const RecordedRequest& request,
                                     const ServiceCore& service) {
  json message{{"app", appID}, {"status", request.status}, {"requested_ms", nowMilliseconds()}};
  std::string error;
  auto bytes = service.servedConfiguration(appID, nullptr, &error);
  if (bytes) {
    auto text = tools::decodeToJson(tools::WireMessage::Config,
                                    std::span(reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()),
                                    false, &error);
    json config = text ? json::parse(*text, nullptr, false) : json();
    if (config.is_object()) {
      makeExactForScript(config);
      message["config"] = std::move(config);
    } else {
      message["error"] = "cannot decode: " + error;
    }
  } else {
    message["error"] = error.empty() ? "no configuration for this app" : error;
  }
  feed_->publishLatest(appID, "config", dumped(message));
}

}  // namespace measurement_service
