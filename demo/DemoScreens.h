#pragma once
// The game's screens as view controllers: a key window whose root is a navigation
// controller with the main menu at the bottom; levels are pushed, the shop is presented
// over a level. Showing a screen is a view-controller transition only: the measurement
// library's automatic screen tracking is what reports it.
//
// Thread-safety: main thread only, like the transitions it makes.

#include <memory>
#include <string>

#include "platform/Environment.h"

namespace platform {
class ViewController;
class ViewHierarchy;
class Window;
}  // namespace platform

namespace demo {

class DemoScreens {
 public:
  explicit DemoScreens(std::shared_ptr<platform::Environment> env) : env_(std::move(env)) {}

  // Makes the key window and shows the main menu.
  void showMainMenu();
  // Pushes a new level controller (each level is a new screen).
  void startLevel(int level);
  void openShop();
  void closeShop();

 private:
  std::shared_ptr<platform::Environment> env_;
  std::shared_ptr<platform::ViewHierarchy> views_;
  std::shared_ptr<platform::Window> window_;
  std::shared_ptr<platform::ViewController> navigation_;
  std::shared_ptr<platform::ViewController> level_;
};

}  // namespace demo
