#pragma once
// View controllers, windows and the view hierarchy of the phone platform, as far as the
// library looks at them: class and superclass names, whether the class comes from the main
// bundle, whether the view is loaded and in which window, parent and children, the
// container descent (navigation, tab bar, page, presented), per-object associated values,
// and the appearance callbacks viewDidAppear: / viewDidDisappear:, which go through the
// class registry so that they can be replaced (VXLSwizzler) like any other method.
//
// Thread-safety: every accessor may be called from any thread (each object has its own
// lock). Transitions (ViewHierarchy's setRoot, push, present ...) and the appearance
// callbacks they make belong on the main thread, as on the phone; nothing checks it.
//
// Ownership: a window owns its root controller; a controller owns its children and its
// presented controller; a child's parent and a presented controller's presenter are weak.
// Associated values are owned by the object that carries them and die with it: holding
// one never keeps the object alive. The hierarchy holds its windows; it holds a window's
// controllers only through the window.

#include <any>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Value.h"

namespace platform {

class ClassRegistry;
class Window;

// Values attached to an object under a key, owned by the object.
class AssociatedValues {
 public:
  // An empty std::any when nothing is stored under `key`.
  std::any associatedValue(std::string_view key) const;
  // An empty value removes the key.
  void setAssociatedValue(std::string_view key, std::any value);

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::any, std::less<>> values_;
};

enum class ViewControllerKind { Plain, Navigation, TabBar, Page };

inline constexpr std::string_view kViewControllerClass = "UIViewController";
inline constexpr std::string_view kNavigationControllerClass = "UINavigationController";
inline constexpr std::string_view kTabBarControllerClass = "UITabBarController";
inline constexpr std::string_view kPageViewControllerClass = "UIPageViewController";
inline constexpr std::string_view kViewDidAppearSelector = "viewDidAppear:";
inline constexpr std::string_view kViewDidDisappearSelector = "viewDidDisappear:";

class ViewController : public ValueObject, public AssociatedValues, public std::enable_shared_from_this<ViewController> {
 public:
  // `className` may carry a module prefix ("Game.HomeViewController"). An empty
  // `superclassName` means the platform class of `kind`.
  static std::shared_ptr<ViewController> create(std::string className,
                                                ViewControllerKind kind = ViewControllerKind::Plain,
                                                bool fromMainBundle = true, std::string superclassName = {});

  std::string className() const override { return className_; }
  const std::string& superclassName() const { return superclassName_; }
  bool isFromMainBundle() const { return fromMainBundle_; }
  ViewControllerKind kind() const { return kind_; }
  // The platform class whose methods this controller runs ("UINavigationController" ...).
  std::string_view platformClassName() const;

  bool isViewLoaded() const;
  void loadViewIfNeeded();
  // The window the view is in; null when the view is not loaded or not in a window.
  std::shared_ptr<Window> viewWindow() const;
  void setViewWindow(const std::shared_ptr<Window>& window);

  std::shared_ptr<ViewController> parent() const;
  std::vector<std::shared_ptr<ViewController>> children() const;
  // Also the containers' controllers: a navigation stack (bottom first), tab-bar tabs,
  // page controllers. False when the child already has a parent or is this controller.
  bool addChild(const std::shared_ptr<ViewController>& child);
  void removeFromParent();

  // Navigation: the top of the stack (or what it presents); tab bar: the selected tab;
  // page: the first controller. Null for a plain controller or an empty container.
  std::shared_ptr<ViewController> visibleViewController() const;
  std::shared_ptr<ViewController> selectedViewController() const;
  std::size_t selectedIndex() const;
  void setSelectedIndex(std::size_t index);
  std::shared_ptr<ViewController> presentedViewController() const;
  std::shared_ptr<ViewController> presentingViewController() const;
  bool isBeingPresented() const;
  void setPresentedViewController(const std::shared_ptr<ViewController>& presented);
  void setBeingPresented(bool beingPresented);

 private:
  ViewController(std::string className, ViewControllerKind kind, bool fromMainBundle, std::string superclassName);

  const std::string className_;
  const ViewControllerKind kind_;
  const bool fromMainBundle_;
  const std::string superclassName_;

  mutable std::mutex mutex_;
  bool viewLoaded_ = false;
  bool beingPresented_ = false;
  std::size_t selectedIndex_ = 0;
  std::weak_ptr<Window> window_;
  std::weak_ptr<ViewController> parent_;
  std::weak_ptr<ViewController> presenting_;
  std::vector<std::shared_ptr<ViewController>> children_;
  std::shared_ptr<ViewController> presented_;
};

class Window : public ValueObject, public AssociatedValues, public std::enable_shared_from_this<Window> {
 public:
  static std::shared_ptr<Window> create(std::string className = "UIWindow");
  std::string className() const override { return className_; }
  std::shared_ptr<ViewController> rootViewController() const;
  void setRootViewController(std::shared_ptr<ViewController> root);

 private:
  explicit Window(std::string className) : className_(std::move(className)) {}
  const std::string className_;
  mutable std::mutex mutex_;
  std::shared_ptr<ViewController> root_;
};

// The application's windows, the key window and the transitions that make controllers
// appear and disappear. Appearance callbacks are the registry's instance methods
// "viewDidAppear:" / "viewDidDisappear:" of the controller's platform class, with the
// controller as receiver and the animated flag as argument.
class ViewHierarchy {
 public:
  // Registers the platform's controller classes (with their appearance methods) unless a
  // class named "UIViewController" is registered already, which is then left as it is.
  static std::shared_ptr<ViewHierarchy> create(std::shared_ptr<ClassRegistry> registry);

  const std::shared_ptr<ClassRegistry>& registry() const { return registry_; }
  std::vector<std::shared_ptr<Window>> windows() const;
  std::shared_ptr<Window> keyWindow() const;
  // Adds the window when new. Posting "UIWindowDidResignKeyNotification" for the window
  // that stops being key is the caller's business (the hierarchy has no notification centre).
  void makeKeyWindow(const std::shared_ptr<Window>& window);
  void addWindow(const std::shared_ptr<Window>& window);

  // Transitions. Each loads the views it shows, puts them in the window, and makes the
  // appearance callbacks for the controllers that start or stop being shown.
  void setRoot(const std::shared_ptr<Window>& window, const std::shared_ptr<ViewController>& root);
  void push(const std::shared_ptr<ViewController>& navigation, const std::shared_ptr<ViewController>& controller);
  void pop(const std::shared_ptr<ViewController>& navigation);
  void selectTab(const std::shared_ptr<ViewController>& tabBar, std::size_t index);
  void present(const std::shared_ptr<ViewController>& presenter, const std::shared_ptr<ViewController>& controller);
  void dismiss(const std::shared_ptr<ViewController>& presenter);

  // The callbacks themselves (the transitions use them; tests may call them alone).
  void viewDidAppear(const std::shared_ptr<ViewController>& controller, bool animated = false);
  void viewDidDisappear(const std::shared_ptr<ViewController>& controller, bool animated = false);

 private:
  explicit ViewHierarchy(std::shared_ptr<ClassRegistry> registry) : registry_(std::move(registry)) {}
  // The controller that shows on screen when `c` is shown (container descent).
  static std::shared_ptr<ViewController> shown(const std::shared_ptr<ViewController>& c);
  void show(const std::shared_ptr<ViewController>& c, const std::shared_ptr<Window>& window);
  void hide(const std::shared_ptr<ViewController>& c);

  const std::shared_ptr<ClassRegistry> registry_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Window>> windows_;
  std::weak_ptr<Window> keyWindow_;
};

inline constexpr std::string_view kWindowDidResignKeyNotification = "UIWindowDidResignKeyNotification";

}  // namespace platform
