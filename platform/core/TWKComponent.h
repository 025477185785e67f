#pragma once
// A component that a library of the family offers to the others through the core: the
// protocol it implements, when it is created, what it depends on, and how it is made.
//
// Thread-safety: immutable after creation; any thread.

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// What a component's creation block returns; implementations of an interop protocol
// derive from it so that callers can cast to the protocol they asked for.
class TWKInterop {
 public:
  virtual ~TWKInterop() = default;
};

enum class TWKInstantiationTiming { Lazy = 0, AlwaysEager = 1, EagerInDefaultApp = 2 };

class TWKComponentContainer;

class TWKComponent {
 public:
  // Returns the instance, or null when it cannot be made. Set `isCacheable` to false to
  // have the block run again on the next request.
  using CreationBlock = std::function<std::shared_ptr<TWKInterop>(TWKComponentContainer& container, bool& isCacheable)>;

  // Null for an empty protocol name or block.
  static std::shared_ptr<const TWKComponent> componentWithProtocol(std::string protocol,
                                                                   TWKInstantiationTiming timing,
                                                                   std::vector<std::string> dependencies,
                                                                   CreationBlock creationBlock);
  static std::shared_ptr<const TWKComponent> componentWithProtocol(std::string protocol, CreationBlock creationBlock) {
    return componentWithProtocol(std::move(protocol), TWKInstantiationTiming::Lazy, {}, std::move(creationBlock));
  }

  const std::string& protocol() const { return protocol_; }
  TWKInstantiationTiming instantiationTiming() const { return timing_; }
  const std::vector<std::string>& dependencies() const { return dependencies_; }
  const CreationBlock& creationBlock() const { return creationBlock_; }

  TWKComponent(std::string protocol, TWKInstantiationTiming timing, std::vector<std::string> dependencies,
               CreationBlock creationBlock)
      : protocol_(std::move(protocol)),
        timing_(timing),
        dependencies_(std::move(dependencies)),
        creationBlock_(std::move(creationBlock)) {}

 private:
  std::string protocol_;
  TWKInstantiationTiming timing_;
  std::vector<std::string> dependencies_;
  CreationBlock creationBlock_;
};

}  // namespace platform
