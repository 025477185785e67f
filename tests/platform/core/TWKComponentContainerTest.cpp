#include "platform/core/TWKComponentContainer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

namespace platform {
namespace {

class SerialInterop : public TWKInterop {
 public:
  explicit SerialInterop(int serial) : serial(serial) {}
  int serial;
};

// A creation block is app code: it may wait for another thread that asks the same
// container for something else, and the container must not be locked meanwhile.
TEST(TWKComponentContainerTest, ACreationBlockMayWaitForAnotherThreadAskingTheSameContainer) {
  std::vector<std::shared_ptr<const TWKComponent>> components{
      TWKComponent::componentWithProtocol("Inner", [](TWKComponentContainer&, bool&) {
        return std::make_shared<SerialInterop>(1);
      }),
      TWKComponent::componentWithProtocol("Outer", [](TWKComponentContainer& c, bool&) -> std::shared_ptr<TWKInterop> {
        auto inner = std::async(std::launch::async, [&c] { return c.instanceFor<SerialInterop>("Inner"); });
        // Bounded, so the fault shows as a failure rather than a hung test.
        if (inner.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
          new auto(std::move(inner));  // stuck on the container: left to leak
          return nullptr;
        }
        auto made = inner.get();
        return std::make_shared<SerialInterop>(made ? made->serial + 10 : -1);
      })};
  TWKComponentContainer container({}, components);
  auto outer = container.instanceFor<SerialInterop>("Outer");
  ASSERT_TRUE(outer) << "the other thread waited for the container's lock";
  EXPECT_EQ(outer->serial, 11);
  EXPECT_EQ(container.instanceFor<SerialInterop>("Outer"), outer) << "published once, then cached";
}

}  // namespace
}  // namespace platform
