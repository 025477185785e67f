// A small app that runs the library as a product does (family core configured, library
// started, sandbox and measurement service from the environment) and logs events when
// told to. The upload tests kill and restart it; the end-to-end benchmark times it.
//
// Commands on standard input, one per line:
//   log <first> <count>   logs <count> "tick" events whose "seq" parameter runs from
//                         <first> (with four more parameters); answers
//                         "logged <first> <count>" once the library accepted them all
//   fire <first> <count>  logs the same events without waiting for the library; answers
//                         "fired <first> <count>" as soon as the calls returned
//   id                    answers "id <app instance ID>" ("id -" when there is none)
//   reset                 resets the analytics data; answers "reset" (the wipe itself
//                         runs on the library's queue, before anything logged later)
//   event <name>          logs one event without parameters; answers "sent <name>"
//                         without waiting (a configuration's program may drop it)
//   quit                  answers "bye" and exits (end of input does the same)
//   active | background   the app comes to the foreground (launching it the first time) or
//                         goes to the background; answers the command's name once the
//                         main queue has carried the transition out
//   screen <class>        shows a view controller of that class (pushed on a navigation
//                         controller, the window's root); answers "screen"
//   appscreen <name>      logs the app's own "screen_view" event; answers "appscreen"
//   timeout <seconds>     sets the session timeout; answers "timeout"
//
// Usage: upload_session_app [-TWKDebugEnabled]
// Environment: TALLYWISE_SANDBOX, TALLYWISE_MEASUREMENT_SERVICE_URL.

#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>

#include "measurement/api/TWKAnalytics.h"
#include "measurement/model/TLWEvent.h"
#include "platform/DispatchQueue.h"
#include "platform/Environment.h"
#include "platform/app/Application.h"
#include "platform/app/ViewController.h"
#include "platform/core/TWKApp.h"
#include "platform/core/TWKOptions.h"

namespace {

constexpr const char* kAppID = "1:1234567890:ios:5e551011a990";

struct Accepted {
  std::mutex mutex;
  std::condition_variable changed;
  long long ticks = 0;
};

}  // namespace

int main() {
  platform::TWKOptions options(kAppID);
  std::string error;
  if (!platform::TWKApp::configureWithOptions(options, &error)) {
    std::fprintf(stderr, "configure failed: %s\n", error.c_str());
    return 1;
  }
  auto accepted = std::make_shared<Accepted>();
  TLWLogEventListenerToken token =
      TWKAnalytics::addLogEventListener([accepted](const std::shared_ptr<const TLWEvent>& event) {
        if (event->name() != "tick") return;
        std::lock_guard lock(accepted->mutex);
        ++accepted->ticks;
        accepted->changed.notify_all();
      });
  TWKAnalytics::startWithConfiguration(nullptr, options);

  long long logged = 0;
  auto env = platform::Environment::current();
  auto application = env->application();
  std::shared_ptr<platform::Window> window;
  std::shared_ptr<platform::ViewController> navigation;
  // This thread is the main thread: it runs what the transitions queue on the main queue.
  auto answer = [](const std::string& reply) {
    platform::MainRunLoop::drainMain();
    std::cout << reply << std::endl;
  };
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    if (command == "quit") break;
    if (command == "active") {
      application->finishLaunching();
      application->becomeActive();
      answer(command);
      continue;
    }
    if (command == "background") {
      application->enterBackground();
      answer(command);
      continue;
    }
    if (command == "screen" || command == "appscreen" || command == "timeout") {
      std::string argument;
      in >> argument;
      auto views = env->viewHierarchy();
      if (command == "timeout") {
        TWKAnalytics::setSessionTimeoutInterval(std::strtod(argument.c_str(), nullptr));
      } else if (command == "appscreen") {
        TWKAnalytics::logEventWithName("screen_view", platform::Dictionary{{"screen_name", argument}});
      } else if (!navigation) {
        window = platform::Window::create();
        views->makeKeyWindow(window);
        navigation = platform::ViewController::create("UINavigationController",
                                                      platform::ViewControllerKind::Navigation, false);
        (void)navigation->addChild(platform::ViewController::create(argument));
        views->setRoot(window, navigation);
      } else {
        views->push(navigation, platform::ViewController::create(argument));
      }
      answer(command);
      continue;
    }
    if (command == "id") {
      std::cout << "id " << TWKAnalytics::appInstanceID().value_or("-") << std::endl;
      continue;
    }
    if (command == "event") {
      std::string name;
      in >> name;
      TWKAnalytics::logEventWithName(name, platform::Dictionary{});
      std::cout << "sent " << name << std::endl;
      continue;
    }
    if (command == "reset") {
      TWKAnalytics::resetAnalyticsData();
      std::cout << "reset" << std::endl;
      continue;
    }
    long long first = 0, count = 0;
    if ((command != "log" && command != "fire") || !(in >> first >> count) || count < 0) {
      std::fprintf(stderr, "unknown command: %s\n", line.c_str());
      return 2;
    }
    for (long long seq = first; seq < first + count; ++seq) {
      // Stays well under the library's event backlog cap, as an app that logs steadily
      // does; a burst past it would be refused by design.
      if (command == "log" && (seq - first) % 1000 == 0) {
        std::unique_lock lock(accepted->mutex);
        const long long sent = logged + (seq - first);
        (void)accepted->changed.wait_for(lock, std::chrono::seconds(30),
                                         [&] { return sent - accepted->ticks < 10000; });
      }
      TWKAnalytics::logEventWithName("tick", platform::Dictionary{{"seq", seq},
                                                                  {"level", seq % 50},
                                                                  {"score", seq * 7},
                                                                  {"character", "mage"},
                                                                  {"item_name", "Ember Blade"}});
    }
    logged += count;
    if (command == "fire") {
      std::cout << "fired " << first << ' ' << count << std::endl;
      continue;
    }
    std::unique_lock lock(accepted->mutex);
    if (!accepted->changed.wait_for(lock, std::chrono::minutes(5), [&] { return accepted->ticks >= logged; })) {
      std::fprintf(stderr, "only %lld of %lld events accepted\n", accepted->ticks, logged);
      return 1;
    }
    lock.unlock();
    std::cout << "logged " << first << ' ' << count << std::endl;
  }
  TWKAnalytics::removeLogEventListener(token);
  std::cout << "bye" << std::endl;
  return 0;
}
