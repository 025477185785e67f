#include "platform/app/ViewController.h"

#include <algorithm>

#include "platform/app/ClassRegistry.h"

namespace platform {

std::any AssociatedValues::associatedValue(std::string_view key) const {
  std::lock_guard lock(mutex_);
  auto it = values_.find(key);
  return it == values_.end() ? std::any() : it->second;
}

void AssociatedValues::setAssociatedValue(std::string_view key, std::any value) {
  std::any old;  // released outside the lock: its destructor may come back here
  {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (!value.has_value()) {
      if (it == values_.end()) return;
      old = std::move(it->second);
      values_.erase(it);
      return;
    }
    if (it == values_.end()) {
      values_.emplace(std::string(key), std::move(value));
    } else {
      old = std::move(it->second);
      it->second = std::move(value);
    }
  }
}

// ---------------------------------------------------------------------------

namespace {
std::string_view platformClassOf(ViewControllerKind kind) {
  switch (kind) {
    case ViewControllerKind::Navigation:
      return kNavigationControllerClass;
    case ViewControllerKind::TabBar:
      return kTabBarControllerClass;
    case ViewControllerKind::Page:
      return kPageViewControllerClass;
    case ViewControllerKind::Plain:
      break;
  }
  return kViewControllerClass;
}
}  // namespace

std::shared_ptr<ViewController> ViewController::create(std::string className, ViewControllerKind kind,
                                                       bool fromMainBundle, std::string superclassName) {
  return std::shared_ptr<ViewController>(
      new ViewController(std::move(className), kind, fromMainBundle, std::move(superclassName)));
}

ViewController::ViewController(std::string className, ViewControllerKind kind, bool fromMainBundle,
                               std::string superclassName)
    : className_(std::move(className)),
      kind_(kind),
      fromMainBundle_(fromMainBundle),
      superclassName_(superclassName.empty() ? std::string(platformClassOf(kind)) : std::move(superclassName)) {}

std::string_view ViewController::platformClassName() const { return platformClassOf(kind_); }

bool ViewController::isViewLoaded() const {
  std::lock_guard lock(mutex_);
  return viewLoaded_;
}

void ViewController::loadViewIfNeeded() {
  std::lock_guard lock(mutex_);
  viewLoaded_ = true;
}

std::shared_ptr<Window> ViewController::viewWindow() const {
  std::lock_guard lock(mutex_);
  return viewLoaded_ ? window_.lock() : nullptr;
}

void ViewController::setViewWindow(const std::shared_ptr<Window>& window) {
  std::lock_guard lock(mutex_);
  window_ = window;
}

std::shared_ptr<ViewController> ViewController::parent() const {
  std::lock_guard lock(mutex_);
  return parent_.lock();
}

std::vector<std::shared_ptr<ViewController>> ViewController::children() const {
  std::lock_guard lock(mutex_);
  return children_;
}

bool ViewController::addChild(const std::shared_ptr<ViewController>& child) {
  if (!child || child.get() == this || child->parent()) return false;
  {
    std::lock_guard lock(child->mutex_);
    child->parent_ = weak_from_this();
  }
  std::lock_guard lock(mutex_);
  children_.push_back(child);
  return true;
}

void ViewController::removeFromParent() {
  auto parentController = parent();
  if (!parentController) return;
  {
    std::lock_guard lock(mutex_);
    parent_.reset();
  }
  std::shared_ptr<ViewController> self;  // kept until the parent's lock is released
  std::lock_guard lock(parentController->mutex_);
  auto& siblings = parentController->children_;
  auto it = std::find_if(siblings.begin(), siblings.end(), [this](const auto& c) { return c.get() == this; });
  if (it != siblings.end()) {
    self = *it;
    siblings.erase(it);
  }
}

std::shared_ptr<ViewController> ViewController::visibleViewController() const {
  if (kind_ != ViewControllerKind::Navigation) return nullptr;
  std::lock_guard lock(mutex_);
  if (children_.empty()) return nullptr;
  auto top = children_.back();
  auto presented = top->presentedViewController();
  return presented ? presented : top;
}

std::shared_ptr<ViewController> ViewController::selectedViewController() const {
  std::lock_guard lock(mutex_);
  if (kind_ == ViewControllerKind::TabBar) {
    return selectedIndex_ < children_.size() ? children_[selectedIndex_] : nullptr;
  }
  if (kind_ == ViewControllerKind::Page) return children_.empty() ? nullptr : children_.front();
  return nullptr;
}

std::size_t ViewController::selectedIndex() const {
  std::lock_guard lock(mutex_);
  return selectedIndex_;
}

void ViewController::setSelectedIndex(std::size_t index) {
  std::lock_guard lock(mutex_);
  selectedIndex_ = index;
}

std::shared_ptr<ViewController> ViewController::presentedViewController() const {
  std::lock_guard lock(mutex_);
  return presented_;
}

std::shared_ptr<ViewController> ViewController::presentingViewController() const {
  std::lock_guard lock(mutex_);
  return presenting_.lock();
}

bool ViewController::isBeingPresented() const {
  std::lock_guard lock(mutex_);
  return beingPresented_;
}

void ViewController::setPresentedViewController(const std::shared_ptr<ViewController>& presented) {
  std::shared_ptr<ViewController> old;
  {
    std::lock_guard lock(mutex_);
    old = std::move(presented_);
    presented_ = presented;
  }
  if (old && old != presented) {
    std::lock_guard lock(old->mutex_);
    old->presenting_.reset();
  }
  if (presented) {
    std::lock_guard lock(presented->mutex_);
    presented->presenting_ = weak_from_this();
  }
}

void ViewController::setBeingPresented(bool beingPresented) {
  std::lock_guard lock(mutex_);
  beingPresented_ = beingPresented;
}

// ---------------------------------------------------------------------------

std::shared_ptr<Window> Window::create(std::string className) {
  return std::shared_ptr<Window>(new Window(std::move(className)));
}

std::shared_ptr<ViewController> Window::rootViewController() const {
  std::lock_guard lock(mutex_);
  return root_;
}

void Window::setRootViewController(std::shared_ptr<ViewController> root) {
  std::shared_ptr<ViewController> old;
  std::lock_guard lock(mutex_);
  old = std::move(root_);
  root_ = std::move(root);
}

// ---------------------------------------------------------------------------

std::shared_ptr<ViewHierarchy> ViewHierarchy::create(std::shared_ptr<ClassRegistry> registry) {
  if (!registry) registry = std::make_shared<ClassRegistry>();
  if (!registry->classExists(kViewControllerClass)) {
    const auto nothing = [](const Value&, const Array&) { return Value(); };
    (void)registry->registerClass({std::string(kViewControllerClass),
                                   "",
                                   {},
                                   {{std::string(kViewDidAppearSelector), nothing},
                                    {std::string(kViewDidDisappearSelector), nothing}}});
    for (auto name : {kNavigationControllerClass, kTabBarControllerClass, kPageViewControllerClass}) {
      (void)registry->registerClass({std::string(name), std::string(kViewControllerClass), {}, {}});
    }
  }
  return std::shared_ptr<ViewHierarchy>(new ViewHierarchy(std::move(registry)));
}

std::vector<std::shared_ptr<Window>> ViewHierarchy::windows() const {
  std::lock_guard lock(mutex_);
  return windows_;
}

std::shared_ptr<Window> ViewHierarchy::keyWindow() const {
  std::lock_guard lock(mutex_);
  return keyWindow_.lock();
}

void ViewHierarchy::addWindow(const std::shared_ptr<Window>& window) {
  if (!window) return;
  std::lock_guard lock(mutex_);
  if (std::find(windows_.begin(), windows_.end(), window) == windows_.end()) windows_.push_back(window);
}

void ViewHierarchy::makeKeyWindow(const std::shared_ptr<Window>& window) {
  addWindow(window);
  std::lock_guard lock(mutex_);
  keyWindow_ = window;
}

std::shared_ptr<ViewController> ViewHierarchy::shown(const std::shared_ptr<ViewController>& c) {
  switch (c->kind()) {
    case ViewControllerKind::Navigation: {
      auto children = c->children();
      return children.empty() ? nullptr : children.back();
    }
    case ViewControllerKind::TabBar:
    case ViewControllerKind::Page:
      return c->selectedViewController();
    case ViewControllerKind::Plain:
      break;
  }
  return nullptr;
}

void ViewHierarchy::show(const std::shared_ptr<ViewController>& c, const std::shared_ptr<Window>& window) {
  // A container and the chain of controllers it shows appear together, outermost first.
  std::vector<std::shared_ptr<ViewController>> chain;
  for (auto at = c; at && chain.size() < 64; at = shown(at)) chain.push_back(at);
  for (const auto& at : chain) {
    at->loadViewIfNeeded();
    at->setViewWindow(window);
  }
  for (const auto& at : chain) viewDidAppear(at);
}

void ViewHierarchy::hide(const std::shared_ptr<ViewController>& c) {
  std::vector<std::shared_ptr<ViewController>> chain;
  for (auto at = c; at && chain.size() < 64; at = shown(at)) chain.push_back(at);
  if (auto presented = c->presentedViewController()) chain.push_back(presented);
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    (*it)->setViewWindow(nullptr);
    viewDidDisappear(*it);
  }
}

void ViewHierarchy::setRoot(const std::shared_ptr<Window>& window, const std::shared_ptr<ViewController>& root) {
  if (!window) return;
  addWindow(window);
  if (auto old = window->rootViewController()) hide(old);
  window->setRootViewController(root);
  if (root) show(root, window);
}

// As on the phone, the controller that comes in has appeared before the one it covers
// has disappeared.
void ViewHierarchy::push(const std::shared_ptr<ViewController>& navigation,
                         const std::shared_ptr<ViewController>& controller) {
  if (!navigation || navigation->kind() != ViewControllerKind::Navigation || !controller) return;
  auto window = navigation->viewWindow();
  auto below = shown(navigation);
  if (!navigation->addChild(controller)) return;
  if (!window) return;
  show(controller, window);
  if (below) hide(below);
}

void ViewHierarchy::pop(const std::shared_ptr<ViewController>& navigation) {
  if (!navigation || navigation->kind() != ViewControllerKind::Navigation) return;
  auto children = navigation->children();
  if (children.size() < 2) return;  // the root stays
  auto top = children.back();
  auto window = navigation->viewWindow();
  top->removeFromParent();
  if (!window) return;
  show(children[children.size() - 2], window);
  hide(top);
}

void ViewHierarchy::selectTab(const std::shared_ptr<ViewController>& tabBar, std::size_t index) {
  if (!tabBar || tabBar->kind() != ViewControllerKind::TabBar || index >= tabBar->children().size()) return;
  if (index == tabBar->selectedIndex()) return;
  auto window = tabBar->viewWindow();
  auto old = tabBar->selectedViewController();
  tabBar->setSelectedIndex(index);
  if (!window) return;
  show(tabBar->selectedViewController(), window);
  if (old) hide(old);
}

void ViewHierarchy::present(const std::shared_ptr<ViewController>& presenter,
                            const std::shared_ptr<ViewController>& controller) {
  if (!presenter || !controller || presenter->presentedViewController()) return;
  presenter->setPresentedViewController(controller);
  auto window = presenter->viewWindow();
  if (!window) return;
  controller->setBeingPresented(true);
  show(controller, window);
  controller->setBeingPresented(false);
}

void ViewHierarchy::dismiss(const std::shared_ptr<ViewController>& presenter) {
  if (!presenter) return;
  auto presented = presenter->presentedViewController();
  if (!presented) return;
  hide(presented);
  presenter->setPresentedViewController(nullptr);
}

void ViewHierarchy::viewDidAppear(const std::shared_ptr<ViewController>& controller, bool animated) {
  if (!controller) return;
  (void)registry_->invokeInstanceMethod(controller->platformClassName(), kViewDidAppearSelector, Value(controller),
                                        {Value(animated)});
}

void ViewHierarchy::viewDidDisappear(const std::shared_ptr<ViewController>& controller, bool animated) {
  if (!controller) return;
  (void)registry_->invokeInstanceMethod(controller->platformClassName(), kViewDidDisappearSelector, Value(controller),
                                        {Value(animated)});
}

}  // namespace platform
