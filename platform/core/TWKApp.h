#pragma once
// An app of the SDK family: its name, its options and its components. The default app
// is the one `configure` creates from the bundle's service-info list; the measurement
// library asks only whether it exists.
//
// Thread-safety: every operation may be called from any thread (one lock guards the
// process-wide tables of apps and registered libraries). An app is immutable after
// creation apart from its lazily created installations service.
//
// Ownership: the process-wide table holds every configured app until deleteApp; an app
// holds its environment, a copy of its options and its component container.
//
// Libraries register before or after apps are configured; an app offers the components
// of the libraries registered when it was created.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Environment.h"
#include "platform/core/TWKComponent.h"
#include "platform/core/TWKComponentContainer.h"
#include "platform/core/TWKOptions.h"

namespace platform {

class TWKInstallations;

class TWKApp : public std::enable_shared_from_this<TWKApp> {
 public:
  using ComponentsProvider = std::function<std::vector<std::shared_ptr<const TWKComponent>>()>;

  static constexpr std::string_view kDefaultAppName = "__TWKAPP_DEFAULT";
  static constexpr std::size_t kMaxLibraries = 128;
  static constexpr std::size_t kMaxNameLength = 128;
  static constexpr std::size_t kMaxApps = 64;

  // Configures the default app from the current environment's service-info list. False
  // (logged, nothing configured) when there are no valid default options or a default
  // app already exists.
  [[nodiscard]] static bool configure(std::string* error = nullptr);
  [[nodiscard]] static bool configureWithOptions(const TWKOptions& options, std::string* error = nullptr);
  // The same on a given environment.
  [[nodiscard]] static bool configureWithOptions(const TWKOptions& options, std::shared_ptr<Environment> env,
                                                 std::string* error = nullptr);
  // A named app; false when the name is empty, the default name, too long, taken, or too
  // many apps exist.
  [[nodiscard]] static bool configureWithName(std::string_view name, const TWKOptions& options,
                                              std::shared_ptr<Environment> env, std::string* error = nullptr);

  static bool isDefaultAppConfigured();
  static std::shared_ptr<TWKApp> defaultApp();
  static std::shared_ptr<TWKApp> appNamed(std::string_view name);

  // Registers a library and the provider of its components (asked once per app, and at
  // once for the apps configured already). False
  // (logged) for an empty or over-long name or version, a name already registered (the
  // first registration stays) or too many libraries.
  static bool registerInternalLibrary(ComponentsProvider componentsToRegister, std::string_view name,
                                      std::string_view version);
  // "name/version" of every registered library, sorted, separated by spaces.
  static std::string registeredLibrariesDescription();

  const std::string& name() const { return name_; }
  bool isDefaultApp() const { return name_ == kDefaultAppName; }
  // The options the app was configured with (a copy).
  const TWKOptions& options() const { return options_; }
  const std::shared_ptr<Environment>& environment() const { return env_; }
  TWKComponentContainer& container() { return *container_; }
  // The app's installations service, created on first use.
  std::shared_ptr<TWKInstallations> installations();

  // Removes the app from the table (the default app stops being configured). Objects
  // still holding it keep a working app.
  void deleteApp();

 private:
  TWKApp(std::string name, const TWKOptions& options, std::shared_ptr<Environment> env)
      : name_(std::move(name)), options_(options), env_(std::move(env)) {}
  static bool configureApp(std::string name, const TWKOptions& options, std::shared_ptr<Environment> env,
                           std::string* error);

  std::string name_;
  TWKOptions options_;
  std::shared_ptr<Environment> env_;
  std::unique_ptr<TWKComponentContainer> container_;
  std::mutex installationsMutex_;
  std::shared_ptr<TWKInstallations> installations_;
};

}  // namespace platform
