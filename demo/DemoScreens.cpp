#include "demo/DemoScreens.h"

#include <cstdio>

#include "platform/app/ViewController.h"

namespace demo {

using platform::ViewController;
using platform::ViewControllerKind;

void DemoScreens::showMainMenu() {
  if (window_) return;
  views_ = env_->viewHierarchy();
  window_ = platform::Window::create();
  views_->makeKeyWindow(window_);
  navigation_ = ViewController::create("Skyforge.GameNavigationController", ViewControllerKind::Navigation);
  (void)navigation_->addChild(ViewController::create("Skyforge.MainMenuController"));
  std::printf("[game] screen MainMenuController\n");
  views_->setRoot(window_, navigation_);
}

void DemoScreens::startLevel(int level) {
  if (!navigation_) return;
  std::printf("[game] screen LevelController (level %d)\n", level);
  level_ = ViewController::create("Skyforge.LevelController");
  views_->push(navigation_, level_);
}

void DemoScreens::openShop() {
  if (!level_) return;
  std::printf("[game] screen ShopController\n");
  views_->present(level_, ViewController::create("Skyforge.ShopController"));
}

void DemoScreens::closeShop() {
  if (!level_) return;
  std::printf("[game] shop closed\n");
  views_->dismiss(level_);
}

}  // namespace demo
