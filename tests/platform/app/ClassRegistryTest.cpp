#include "platform/app/ClassRegistry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/app/VXLSwizzler.h"

namespace platform {
namespace {

ClassRegistry::Implementation returning(Value v) {
  return [v](const Value&, const Array&) { return v; };
}

TEST(ClassRegistryTest, EmptyByDefaultAndRegisteredClassesAnswerTheirSelectors) {
  ClassRegistry registry;
  EXPECT_FALSE(registry.classExists("TWKAnalytics"));
  EXPECT_FALSE(registry.invokeClassMethod("TWKAnalytics", "topLevelVersion"));

  ASSERT_TRUE(registry.registerClass({"LMNManager", "", {{"initializeSharedInstance", returning("made")}}, {}}));
  EXPECT_TRUE(registry.classExists("LMNManager"));
  EXPECT_TRUE(registry.respondsToSelector("LMNManager", "initializeSharedInstance", true));
  EXPECT_FALSE(registry.respondsToSelector("LMNManager", "initializeSharedInstance", false));
  EXPECT_EQ(registry.invokeClassMethod("LMNManager", "initializeSharedInstance"), Value("made"));
  EXPECT_FALSE(registry.invokeClassMethod("LMNManager", "other"));

  // Class methods receive the class name; instance methods the instance and arguments.
  ASSERT_TRUE(registry.registerClass(
      {"Echo",
       "",
       {{"name", [](const Value& receiver, const Array&) { return receiver; }}},
       {{"add", [](const Value& self, const Array& args) {
          return Value(*self.int64Value() + *args.at(0).int64Value());
        }}}}));
  EXPECT_EQ(registry.invokeClassMethod("Echo", "name"), Value("Echo"));
  EXPECT_EQ(registry.invokeInstanceMethod("Echo", "add", Value(40), {Value(2)}), Value(42));

  // Names are unique; bad descriptions register nothing.
  EXPECT_FALSE(registry.registerClass({"Echo", "", {}, {}}));
  EXPECT_FALSE(registry.registerClass({"", "", {}, {}}));
  EXPECT_FALSE(registry.registerClass({std::string(ClassRegistry::kMaxNameLength + 1, 'x'), "", {}, {}}));
  EXPECT_FALSE(registry.registerClass({"NoImpl", "", {{"m", nullptr}}, {}}));
  EXPECT_FALSE(registry.classExists("NoImpl"));

  EXPECT_TRUE(registry.unregisterClass("Echo"));
  EXPECT_FALSE(registry.classExists("Echo"));
  EXPECT_FALSE(registry.unregisterClass("Echo"));
}

TEST(ClassRegistryTest, InheritedMethodsAndSuperclassCycles) {
  ClassRegistry registry;
  ASSERT_TRUE(registry.registerClass({"Base", "", {{"sharedInstance", returning("base")}}, {{"hello", returning(1)}}}));
  ASSERT_TRUE(registry.registerClass({"Derived", "Base", {}, {{"hello", returning(2)}}}));
  EXPECT_EQ(registry.superclassName("Derived"), "Base");
  EXPECT_EQ(registry.superclassName("Base"), std::nullopt);
  EXPECT_EQ(registry.invokeClassMethod("Derived", "sharedInstance"), Value("base"));
  EXPECT_EQ(registry.invokeInstanceMethod("Derived", "hello", Value()), Value(2));

  // A chain that loops or names a missing class ends the lookup instead of hanging.
  ASSERT_TRUE(registry.registerClass({"LoopA", "LoopB", {}, {}}));
  ASSERT_TRUE(registry.registerClass({"LoopB", "LoopA", {}, {}}));
  EXPECT_FALSE(registry.respondsToSelector("LoopA", "anything", true));
  ASSERT_TRUE(registry.registerClass({"Orphan", "Missing", {}, {}}));
  EXPECT_FALSE(registry.respondsToSelector("Orphan", "sharedInstance", true));
}

TEST(ClassRegistryTest, ObtainedImplementationsOutliveTheirClass) {
  ClassRegistry registry;
  ASSERT_TRUE(registry.registerClass({"Gone", "", {{"value", returning(7)}}, {}}));
  auto impl = registry.implementation("Gone", "value", true);
  ASSERT_TRUE(impl);
  EXPECT_TRUE(registry.unregisterClass("Gone"));
  EXPECT_EQ((*impl)(Value(), {}), Value(7));
}

TEST(VXLSwizzlerTest, ReplacementRunsInPlaceAndCanCallThePreviousImplementation) {
  ClassRegistry registry;
  ASSERT_TRUE(registry.registerClass({"UIViewController", "", {}, {{"viewDidAppear:", returning("appeared")}}}));
  ASSERT_TRUE(registry.registerClass({"GameController", "UIViewController", {}, {}}));
  auto before = VXLSwizzler::currentImplementationForClass(registry, "UIViewController", "viewDidAppear:", false);
  ASSERT_TRUE(before);

  std::vector<std::string> calls;
  ASSERT_TRUE(VXLSwizzler::swizzleClass(
      registry, "UIViewController", "viewDidAppear:", false,
      [&](const ClassRegistry::ImplementationRef& previous, const Value& self, const Array& args) {
        Value result = previous ? (*previous)(self, args) : Value();
        calls.push_back("tracked " + self.stringOr());
        return result;
      }));
  auto after = VXLSwizzler::currentImplementationForClass(registry, "UIViewController", "viewDidAppear:", false);
  EXPECT_NE(after, before);
  // A subclass inherits the replacement.
  EXPECT_EQ(registry.invokeInstanceMethod("GameController", "viewDidAppear:", Value("menu")), Value("appeared"));
  EXPECT_EQ(calls, std::vector<std::string>{"tracked menu"});

  // A missing method is added, with no previous implementation.
  bool sawNoPrevious = false;
  ASSERT_TRUE(VXLSwizzler::swizzleClass(registry, "UIViewController", "viewDidDisappear:", false,
                                        [&](const ClassRegistry::ImplementationRef& previous, const Value&,
                                            const Array&) {
                                          sawNoPrevious = previous == nullptr;
                                          return Value(true);
                                        }));
  EXPECT_EQ(registry.invokeInstanceMethod("UIViewController", "viewDidDisappear:", Value()), Value(true));
  EXPECT_TRUE(sawNoPrevious);

  EXPECT_FALSE(VXLSwizzler::swizzleClass(registry, "Unknown", "m", false,
                                         [](const ClassRegistry::ImplementationRef&, const Value&, const Array&) {
                                           return Value();
                                         }));
  EXPECT_FALSE(VXLSwizzler::swizzleClass(registry, "UIViewController", "viewDidAppear:", false, nullptr));
}

TEST(VXLSwizzlerTest, ConcurrentReplacementsAllTakeEffect) {
  ClassRegistry registry;
  ASSERT_TRUE(registry.registerClass({"Counter", "", {{"count", returning(0)}}, {}}));
  constexpr int kThreads = 4, kEach = 25;
  std::vector<std::thread> threads;
  std::atomic<bool> go{false};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kEach; ++i) {
        EXPECT_TRUE(VXLSwizzler::swizzleClass(
            registry, "Counter", "count", true,
            [](const ClassRegistry::ImplementationRef& previous, const Value& self, const Array& args) {
              return Value(*(*previous)(self, args).int64Value() + 1);
            }));
        (void)registry.invokeClassMethod("Counter", "count");
      }
    });
  }
  go = true;
  for (auto& t : threads) t.join();
  // Every replacement wraps the one before it: none was lost.
  EXPECT_EQ(registry.invokeClassMethod("Counter", "count"), Value(kThreads * kEach));
}

}  // namespace
}  // namespace platform
