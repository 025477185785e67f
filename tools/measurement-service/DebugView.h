#pragma once
// The live debug view of the local measurement service, on the service's own port:
//
//   GET /                one page (script and style inside it, nothing else loaded) that
//                        shows the uploads as they arrive, newest first
//   GET /_debug/events   the live channel: server-sent events, one "upload" message per
//                        received upload (with an ID, so a page that reconnects with
//                        Last-Event-ID, or ?last=ID, gets only what it missed), one
//                        "config" message per app with the configuration served last, and
//                        "skipped" {"count": n} when this reader fell behind and lost
//                        messages; a comment line every few seconds keeps it alive
//
// "upload" data: {"seq", "received_ms", "status", "action", "bytes", "encoding",
// "refused", "reason", "bundles": [the decoded bundles, the inspector's JSON shape]}.
// "config" data: {"app", "status", "requested_ms", "config": {...} or "error": "..."}.
//
// Thread-safety: every member may be called from any thread once attached.
// Ownership: the routes keep the feed alive; the view may be destroyed before the service.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "tools/measurement-service/DebugFeed.h"

namespace measurement_service {

class ServiceCore;
struct RecordedRequest;

class DebugView {
 public:
  explicit DebugView(DebugFeed::Limits limits = {});

  // Adds the page and the live channel to the service; before service.start().
  void attachTo(ServiceCore& service);

  // An upload as the service answered it, with what its batch check found: the batch as
  // JSON when it decoded, and the problem (empty when none).
  void publishUpload(const RecordedRequest& request, const std::optional<std::string>& batchJSON,
                     const std::string& problem);
  // A configuration request for `appID`: what the service serves for it now.
  void publishConfiguration(const std::string& appID, const RecordedRequest& request, const ServiceCore& service);

  DebugFeed& feed() { return *feed_; }

  // The page served at "/".
  static std::string_view page();

 private:
  std::shared_ptr<DebugFeed> feed_;
};

}  // namespace measurement_service
