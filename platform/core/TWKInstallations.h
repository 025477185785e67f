#pragma once
// The installations service of an app: one identifier per installation of the app,
// created on first request, persisted in the sandbox and handed out asynchronously.
//
// Thread-safety: every operation may be called from any thread. The work runs on the
// service's own serial queue; completions are called once, on that queue.
//
// Ownership: the app owns its service (TWKApp::installations); queued work holds the
// service strongly until it has run, so a completion always arrives.
//
// Storage: <sandbox>/Library/Application Support/Tarnwick/Installations/<app>.plist, a
// dictionary {"installationID": string, "appID": string, "creationDate": date}. A file
// that is unreadable, corrupt or holds an invalid identifier is logged and replaced by a
// new identifier. When a new identifier cannot be written, the request fails (nullopt and
// an error) rather than hand out an identifier that the next launch would not know.
//
// Notification: "TWKInstallationIDDidChangeNotification" is posted on the environment's
// notification centre (no sender, user info {"TWKInstallationIDDidChangeNotificationAppNameKey":
// app name}) whenever the stored identifier changes: when one is created and when it is
// deleted.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/DispatchQueue.h"
#include "platform/Environment.h"

namespace platform {

class TWKApp;

inline constexpr std::string_view kTWKInstallationIDDidChangeNotification = "TWKInstallationIDDidChangeNotification";
inline constexpr std::string_view kTWKInstallationIDDidChangeNotificationAppNameKey =
    "TWKInstallationIDDidChangeNotificationAppNameKey";

class TWKInstallations : public std::enable_shared_from_this<TWKInstallations> {
 public:
  using IDCompletion = std::function<void(std::optional<std::string> installationID, std::optional<std::string> error)>;
  using DeleteCompletion = std::function<void(std::optional<std::string> error)>;

  static constexpr std::size_t kMaxIdentifierLength = 64;

  // The default app's service; null (logged) when the default app is not configured.
  static std::shared_ptr<TWKInstallations> installations();
  static std::shared_ptr<TWKInstallations> installationsWithApp(const std::shared_ptr<TWKApp>& app);
  // Used by TWKApp; prefer installationsWithApp.
  static std::shared_ptr<TWKInstallations> create(const std::shared_ptr<TWKApp>& app);

  void installationIDWithCompletion(IDCompletion completion);
  // Removes the stored identifier; the next request creates a new one.
  void deleteWithCompletion(DeleteCompletion completion);

  const std::string& storagePath() const { return path_; }
  // Whether `id` has the form of an identifier this service creates or accepts.
  static bool isValidIdentifier(std::string_view id);

 private:
  TWKInstallations() = default;
  std::optional<std::string> loadStoredID();  // queue
  void postChange();                          // queue

  std::shared_ptr<Environment> env_;
  std::string appName_;
  std::string appID_;
  std::string path_;
  std::shared_ptr<DispatchQueue> queue_;
};

}  // namespace platform
