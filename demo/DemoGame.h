#pragma once
// The demo game: a short scripted session driven through the application lifecycle on
// the main queue (launch, active, a few screens, an opened URL, background with a
// background task, foreground, quit). It configures the family core from the bundle's
// service-info list and prints what it does.
//
// Thread-safety: run() takes over the calling thread as the main thread until the session
// ends; everything else happens on the main queue.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "demo/DemoAnalytics.h"
#include "demo/DemoScreens.h"
#include "demo/DemoSibling.h"
#include "platform/Environment.h"
#include "platform/app/Application.h"

namespace demo {

class DemoGame : public std::enable_shared_from_this<DemoGame> {
 public:
  explicit DemoGame(std::shared_ptr<platform::Environment> env);

  // Plays the session; returns when the app has quit. Returns the number of scripted
  // steps that ran.
  int run(int argc, char** argv);

  void setExecuteHeader(const void* header);
  bool isSetUp() const { return setUp_; }

 private:
  using Step = std::function<void(DemoGame&)>;
  // Runs step `index` one step delay after everything the previous step queued on the
  // main queue has run, so the session keeps its order however slow the machine is.
  void scheduleStep(std::size_t index);
  void startScript();
  void onLifecycle(const platform::Notification& notification);
  void configureCore();

  std::shared_ptr<platform::Environment> env_;
  std::shared_ptr<platform::Application> app_;
  DemoAnalytics analytics_;
  DemoScreens screens_;
  DemoSibling sibling_;
  bool setUp_ = false;
  int steps_ = 0;
  platform::BackgroundTaskIdentifier saveTask_ = platform::kInvalidBackgroundTask;
  bool scriptStarted_ = false;
  std::vector<Step> script_;
  std::chrono::milliseconds stepDelay_{60};
  std::vector<platform::NotificationCenter::ObserverID> observers_;
};

}  // namespace demo
