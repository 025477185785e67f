#include "demo/DemoGame.h"

#include <elf.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "demo/DemoStore.h"
#include "platform/DispatchQueue.h"
#include "platform/app/Bundle.h"
#include "platform/core/TWKApp.h"
#include "platform/core/TWKInstallations.h"
#include "platform/core/TWKTarnwickVersion.h"

namespace demo {

namespace {

using platform::Value;

const char* stateName(platform::ApplicationState state) {
  switch (state) {
    case platform::ApplicationState::Active:
      return "active";
    case platform::ApplicationState::Inactive:
      return "inactive";
    case platform::ApplicationState::Background:
      return "background";
  }
  return "?";
}

class DemoAppDelegate : public platform::ApplicationDelegate {
 public:
  using ApplicationDelegate::application;

  bool respondsToSelector(std::string_view selector) const override {
    return selector == platform::kSelOpenURLOptions || selector == platform::kSelContinueUserActivity ||
           selector == platform::kSelDidFinishLaunching;
  }
  bool application(platform::Application&, const platform::Dictionary& options) override {
    std::printf("[delegate] didFinishLaunchingWithOptions: %s\n", Value(options).description().c_str());
    return true;
  }
  bool application(platform::Application&, const Value& url, const platform::Dictionary&) override {
    const std::string* s = url.urlString();
    std::printf("[delegate] openURL %s\n", s ? s->c_str() : "(none)");
    // The library's app-delegate proxy has handed the URL to it already.
    return s != nullptr;
  }
  bool application(platform::Application&, const std::shared_ptr<platform::UserActivity>& activity,
                   const RestorationHandler&) override {
    std::printf("[delegate] continueUserActivity %s\n", activity ? activity->webpageURL().c_str() : "(none)");
    return activity != nullptr;
  }
};

}  // namespace

DemoGame::DemoGame(std::shared_ptr<platform::Environment> env) : env_(std::move(env)), screens_(env_) {
  if (auto ms = env_->processInfo()->environmentVariable("TALLYWISE_DEMO_STEP_MS")) {
    const long value = std::strtol(ms->c_str(), nullptr, 10);
    if (value >= 0 && value <= 10000) stepDelay_ = std::chrono::milliseconds(value);
  }
}

void DemoGame::setExecuteHeader(const void* header) {
  if (!header) {
    std::printf("[engine] setExecuteHeader: no header\n");
    return;
  }
  const auto* ehdr = static_cast<const unsigned char*>(header);
  const bool elf = std::memcmp(ehdr, ELFMAG, SELFMAG) == 0;
  std::printf("[engine] setExecuteHeader: executable image at %p (%s)\n", header,
              elf ? "ELF header" : "not an ELF header");
}

void DemoGame::scheduleStep(std::size_t index) {
  if (index >= script_.size()) return;
  // The hop first lets the blocks the previous step queued run; then the delay.
  platform::DispatchQueue::main()->async([weak = weak_from_this(), index] {
    auto self = weak.lock();
    if (!self) return;
    (void)platform::DispatchQueue::main()->after(self->stepDelay_, [weak, index] {
      if (auto game = weak.lock()) {
        ++game->steps_;
        game->script_[index](*game);
        game->scheduleStep(index + 1);
      }
    });
  });
}

void DemoGame::startScript() {
  if (scriptStarted_) return;
  scriptStarted_ = true;
  scheduleStep(0);
}

void DemoGame::onLifecycle(const platform::Notification& notification) {
  std::printf("[lifecycle] %s (state %s)\n", notification.name.c_str(), stateName(app_->applicationState()));
  if (notification.name == platform::kApplicationDidFinishLaunchingNotification) configureCore();
}

namespace {
// The engine's own component, offered to the family's other libraries through the core.
class EngineInterop : public platform::TWKInterop {
 public:
  std::string engineName() const { return "Velmora 3.2"; }
};
}  // namespace

void DemoGame::configureCore() {
  (void)platform::TWKApp::registerInternalLibrary(
      [] {
        return std::vector<std::shared_ptr<const platform::TWKComponent>>{platform::TWKComponent::componentWithProtocol(
            "VelmoraEngineInterop", [](platform::TWKComponentContainer&, bool&) {
              return std::make_shared<EngineInterop>();
            })};
      },
      "velmora-engine", "3.2.0");
  std::printf("[core] family %s; libraries: %s\n", platform::TWKTarnwickVersion().c_str(),
              platform::TWKApp::registeredLibrariesDescription().c_str());
  std::string error;
  if (!platform::TWKApp::configure(&error)) {
    std::printf("[core] configure failed: %s\n", error.c_str());
    startScript();
    return;
  }
  auto app = platform::TWKApp::defaultApp();
  const auto& options = app->options();
  std::printf("[core] default app configured: app ID %s, ads app ID %s, safelist %s\n", options.vorlixAppID().c_str(),
              options.quadoAppID().empty() ? "(none)" : options.quadoAppID().c_str(),
              options.safelistedEvents().description().c_str());
  if (auto interop = app->container().instanceFor<EngineInterop>("VelmoraEngineInterop")) {
    std::printf("[core] component VelmoraEngineInterop: %s\n", interop->engineName().c_str());
  }
  analytics_.start(options);
  sibling_.attach(app);
  sibling_.showAd("banner-main");
  platform::TWKInstallations::installations()->installationIDWithCompletion(
      [weak = weak_from_this()](std::optional<std::string> id, std::optional<std::string> failure) {
        // Print from the main queue so that the output keeps the session's order.
        platform::DispatchQueue::main()->async([id, failure] {
          if (id) {
            std::printf("[core] installation ID %s\n", id->c_str());
          } else {
            std::printf("[core] no installation ID: %s\n", failure.value_or("unknown").c_str());
          }
        });
        platform::DispatchQueue::main()->async([weak] {
          if (auto self = weak.lock()) self->startScript();
        });
      });
}

int DemoGame::run(int argc, char** argv) {
  std::printf("[engine] runUIApplicationMain with %d argument(s), first %s\n", argc,
              argc > 0 && argv && argv[0] ? argv[0] : "(none)");
  auto bundle = env_->mainBundle();
  std::printf("[engine] bundle %s (%s %s)\n", bundle->bundlePath().c_str(), bundle->bundleIdentifier().c_str(),
              bundle->shortVersionString().c_str());

  app_ = env_->application();
  app_->setDelegate(std::make_shared<DemoAppDelegate>());
  auto center = env_->notificationCenter();
  for (auto name : {platform::kApplicationDidFinishLaunchingNotification, platform::kApplicationDidBecomeActiveNotification,
                    platform::kApplicationWillResignActiveNotification,
                    platform::kApplicationDidEnterBackgroundNotification,
                    platform::kApplicationWillEnterForegroundNotification,
                    platform::kApplicationWillTerminateNotification}) {
    observers_.push_back(center->addObserver(
        name, Value(), [weak = weak_from_this()](const platform::Notification& n) {
          if (auto self = weak.lock()) self->onLifecycle(n);
        }));
  }
  observers_.push_back(center->addObserver(platform::kTWKInstallationIDDidChangeNotification, Value(),
                                           [](const platform::Notification&) {
                                             std::printf("[core] notified: the installation identifier changed\n");
                                           }));
  setUp_ = true;

  platform::Dictionary launchOptions;
  launchOptions.set(Value(platform::kApplicationLaunchOptionsURLKey), Value::url("skyforge://promo?campaign=winter"));
  app_->finishLaunching(launchOptions);

  script_ = {
      [](DemoGame& g) { g.app_->becomeActive(); },
      [](DemoGame& g) { g.screens_.showMainMenu(); },
      [](DemoGame& g) {
        g.screens_.startLevel(1);
        g.analytics_.logEvent("level_start", {{"level", 1}, {"hero", "mage"}});
        g.analytics_.setUserID("player-7781");
        g.sibling_.hideAd("banner-main");
        g.sibling_.messageOpened("winter-sale");
        g.analytics_.setConditionalUserProperty("vip_player", "yes", "level_end", "vip_unlocked");
      },
      [](DemoGame& g) {
        g.analytics_.logEvent("level_end", {{"level", 1}, {"success", true}, {"score", 1870}});
        g.analytics_.setUserProperty("favorite_hero", "mage");
        g.analytics_.setUserProperty("difficulty", "hard");
        g.screens_.openShop();
        g.analytics_.logEvent("spend_virtual_currency",
                              {{"item_name", "Ember Blade"}, {"virtual_currency_name", "gems"}, {"value", 120}});
      },
      [](DemoGame& g) {
        g.analytics_.setConsent(/*adStorage=*/false, /*analyticsStorage=*/true);
        g.analytics_.logEvent("unlock_achievement", {{"achievement_id", "first_blood"}});
        g.screens_.closeShop();
      },
      [](DemoGame& g) { g.app_->openURL(Value::url("skyforge://reward?id=42")); },
      [](DemoGame& g) { buyGemsAndOpenCampaignLink(*g.env_, *g.app_); },
      [](DemoGame& g) {
        g.saveTask_ = g.app_->beginBackgroundTask("SaveProgress", [weak = g.weak_from_this()] {
          if (auto self = weak.lock()) {
            std::printf("[game] background time is up; saving stops\n");
            self->app_->endBackgroundTask(self->saveTask_);
          }
        });
        std::printf("[game] saving progress in background task %llu\n",
                    static_cast<unsigned long long>(g.saveTask_));
        g.app_->enterBackground();
      },
      [](DemoGame& g) {
        std::printf("[game] progress saved; ending background task %llu\n",
                    static_cast<unsigned long long>(g.saveTask_));
        g.app_->endBackgroundTask(g.saveTask_);
      },
      [](DemoGame& g) { g.app_->becomeActive(); },
      [](DemoGame& g) { g.screens_.startLevel(2); },
      [](DemoGame& g) {
        g.sibling_.reportExperiments();
        std::printf("[game] player quits\n");
        g.app_->enterBackground();
        g.app_->terminate();
        platform::DispatchQueue::main()->async([] { platform::MainRunLoop::stop(); });
      },
  };

  std::fflush(stdout);
  platform::MainRunLoop::run();
  for (auto id : observers_) center->removeObserver(id);
  observers_.clear();
  std::printf("[engine] main loop ended after %d scripted steps\n", steps_);
  std::fflush(stdout);
  return steps_;
}

}  // namespace demo
