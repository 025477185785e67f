#include "platform/core/TWKApp.h"

#include <algorithm>
#include <map>

#include "platform/app/AppLog.h"
#include "platform/app/Bundle.h"
#include "platform/core/TWKInstallations.h"

namespace platform {

namespace {

struct Library {
  std::string name;
  std::string version;
  TWKApp::ComponentsProvider provider;
};

struct CoreTables {
  std::mutex mutex;
  std::vector<Library> libraries;
  std::map<std::string, std::shared_ptr<TWKApp>, std::less<>> apps;
};

CoreTables& tables() {
  static CoreTables* t = new CoreTables();  // never destroyed: used until the process ends
  return *t;
}

void logCore(VXLLoggerLevel level, std::string_view code, std::string_view message) {
  applog::log(level, applog::kCoreService, code, message);
}

bool fail(std::string* error, std::string_view code, std::string why) {
  logCore(VXLLoggerLevel::Error, code, why);
  if (error) *error = std::move(why);
  return false;
}

}  // namespace

bool TWKApp::configure(std::string* error) {
  auto env = Environment::current();
  auto options = TWKOptions::defaultOptions(*env);
  if (!options) {
    return fail(error, "I-COR000020",
                "The default app can't be configured: the bundle has no valid " +
                    std::string(kServiceInfoPlistFileName));
  }
  return configureWithOptions(*options, std::move(env), error);
}

bool TWKApp::configureWithOptions(const TWKOptions& options, std::string* error) {
  return configureWithOptions(options, Environment::current(), error);
}

bool TWKApp::configureWithOptions(const TWKOptions& options, std::shared_ptr<Environment> env, std::string* error) {
  return configureApp(std::string(kDefaultAppName), options, std::move(env), error);
}

namespace {
// A library's components; none when its provider throws (app code, logged).
std::vector<std::shared_ptr<const TWKComponent>> componentsOf(const TWKApp::ComponentsProvider& provider) {
  std::vector<std::shared_ptr<const TWKComponent>> out;
  if (!provider) return out;
  try {
    for (auto& c : provider()) {
      if (c) out.push_back(std::move(c));
    }
  } catch (...) {
    out.clear();
    logCore(VXLLoggerLevel::Error, "I-COR000027", "A library's component provider threw; its components are skipped");
  }
  return out;
}
}  // namespace

bool TWKApp::configureWithName(std::string_view name, const TWKOptions& options, std::shared_ptr<Environment> env,
                               std::string* error) {
  if (name.empty() || name == kDefaultAppName || name.size() > kMaxNameLength) {
    return fail(error, "I-COR000021", "Invalid app name");
  }
  return configureApp(std::string(name), options, std::move(env), error);
}

bool TWKApp::configureApp(std::string name, const TWKOptions& options, std::shared_ptr<Environment> env,
                          std::string* error) {
  if (!env) return fail(error, "I-COR000022", "No environment to configure the app on");
  if (options.vorlixAppID().empty()) return fail(error, "I-COR000023", "The options have no app ID");
  auto& t = tables();
  std::vector<ComponentsProvider> providers;
  std::size_t libraryCount = 0;
  std::shared_ptr<TWKApp> app;
  // The log sink is replaceable app code: failures are logged after the lock.
  const char* refusal = nullptr;
  {
    std::lock_guard lock(t.mutex);
    if (t.apps.count(name) != 0) {
      refusal = "I-COR000024";
    } else if (t.apps.size() >= kMaxApps) {
      refusal = "I-COR000025";
    } else {
      app.reset(new TWKApp(name, options, std::move(env)));
      for (const auto& lib : t.libraries) providers.push_back(lib.provider);
      libraryCount = t.libraries.size();
      // Reserve the name now so that a concurrent configure of the same name fails.
      t.apps.emplace(name, app);
    }
  }
  if (refusal) {
    return fail(error, refusal,
                std::string_view(refusal) == "I-COR000024" ? "App " + name + " is already configured" : "Too many apps");
  }
  // Libraries' providers and eager creation blocks run outside the table lock: they may
  // ask the core for the default app.
  std::vector<std::shared_ptr<const TWKComponent>> components;
  for (const auto& provider : providers) {
    for (auto& c : componentsOf(provider)) components.push_back(std::move(c));
  }
  auto container = std::make_unique<TWKComponentContainer>(app, std::move(components));
  TWKComponentContainer* published = container.get();
  // A library registered while the container was built is added by this call; one
  // registered after publication adds itself.
  std::vector<ComponentsProvider> late;
  {
    std::lock_guard lock(t.mutex);
    app->container_ = std::move(container);
    for (std::size_t i = libraryCount; i < t.libraries.size(); ++i) late.push_back(t.libraries[i].provider);
  }
  for (const auto& provider : late) published->addComponents(componentsOf(provider), app->isDefaultApp());
  published->instantiateEagerComponents(app->isDefaultApp());
  logCore(VXLLoggerLevel::Info, "I-COR000026", "Configured app " + app->name_);
  return true;
}

bool TWKApp::isDefaultAppConfigured() { return defaultApp() != nullptr; }

std::shared_ptr<TWKApp> TWKApp::defaultApp() { return appNamed(kDefaultAppName); }

std::shared_ptr<TWKApp> TWKApp::appNamed(std::string_view name) {
  auto& t = tables();
  std::lock_guard lock(t.mutex);
  auto it = t.apps.find(name);
  // An app whose container is still being built is not configured yet.
  if (it == t.apps.end() || !it->second->container_) return nullptr;
  return it->second;
}

bool TWKApp::registerInternalLibrary(ComponentsProvider componentsToRegister, std::string_view name,
                                     std::string_view version) {
  if (name.empty() || version.empty() || name.size() > kMaxNameLength || version.size() > kMaxNameLength) {
    return fail(nullptr, "I-COR000030", "Invalid library name or version");
  }
  auto& t = tables();
  bool duplicate = false, full = false;
  std::vector<std::shared_ptr<TWKApp>> configured;
  {
    std::lock_guard lock(t.mutex);
    duplicate = std::any_of(t.libraries.begin(), t.libraries.end(), [&](const Library& lib) { return lib.name == name; });
    full = !duplicate && t.libraries.size() >= kMaxLibraries;
    if (!duplicate && !full) {
      t.libraries.push_back(Library{std::string(name), std::string(version), componentsToRegister});
      // Apps configured before the library registered (a library that registers when it
      // starts, as a statically linked one must) get its components too.
      for (const auto& [appName, app] : t.apps) {
        if (app->container_) configured.push_back(app);
      }
    }
  }
  if (!configured.empty()) {
    auto components = componentsOf(componentsToRegister);
    for (const auto& app : configured) app->container_->addComponents(components, app->isDefaultApp());
  }
  // Logged after the lock: the log sink is replaceable app code.
  if (duplicate) return fail(nullptr, "I-COR000031", "Library " + std::string(name) + " is already registered");
  if (full) return fail(nullptr, "I-COR000032", "Too many libraries");
  return true;
}

std::string TWKApp::registeredLibrariesDescription() {
  std::vector<std::string> parts;
  {
    auto& t = tables();
    std::lock_guard lock(t.mutex);
    for (const auto& lib : t.libraries) parts.push_back(lib.name + "/" + lib.version);
  }
  std::sort(parts.begin(), parts.end());
  std::string out;
  for (const auto& p : parts) {
    if (!out.empty()) out += ' ';
    out += p;
  }
  return out;
}

std::shared_ptr<TWKInstallations> TWKApp::installations() {
  std::lock_guard lock(installationsMutex_);
  if (!installations_) installations_ = TWKInstallations::create(shared_from_this());
  return installations_;
}

void TWKApp::deleteApp() {
  auto& t = tables();
  std::lock_guard lock(t.mutex);
  auto it = t.apps.find(name_);
  if (it != t.apps.end() && it->second.get() == this) t.apps.erase(it);
}

}  // namespace platform
