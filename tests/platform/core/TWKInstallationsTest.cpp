#include "platform/core/TWKInstallations.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "platform/PropertyList.h"
#include "platform/app/NotificationCenter.h"
#include "platform/core/TWKApp.h"
#include "platform/testing/LogCapture.h"
#include "platform/testing/TestEnvironment.h"

namespace platform {
namespace {

struct Result {
  std::optional<std::string> id;
  std::optional<std::string> error;
};

// Waits for one completion.
Result fetch(TWKInstallations& service) {
  std::mutex m;
  std::condition_variable cv;
  std::optional<Result> result;
  service.installationIDWithCompletion([&](std::optional<std::string> id, std::optional<std::string> error) {
    std::lock_guard lock(m);
    result = Result{std::move(id), std::move(error)};
    cv.notify_all();
  });
  std::unique_lock lock(m);
  EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return result.has_value(); }));
  return result.value_or(Result{});
}

class TWKInstallationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = testing::TestEnvironment::create();
    ASSERT_TRUE(env_);
    name_ = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    app_ = makeApp();
    ASSERT_TRUE(app_);
    changes_ = 0;
    observer_ = env_->notificationCenter()->addObserver(kTWKInstallationIDDidChangeNotification, Value(),
                                                        [this](const Notification& n) {
                                                          std::lock_guard lock(mutex_);
                                                          ++changes_;
                                                          lastAppName_ = n.userInfo.get(
                                                              kTWKInstallationIDDidChangeNotificationAppNameKey).stringOr();
                                                        });
  }
  void TearDown() override {
    env_->notificationCenter()->removeObserver(observer_);
    if (app_) app_->deleteApp();
  }
  // A new app object on the same sandbox, as after a relaunch.
  std::shared_ptr<TWKApp> makeApp() {
    if (auto old = TWKApp::appNamed(name_)) old->deleteApp();
    if (!TWKApp::configureWithName(name_, TWKOptions("vx-installs"), env_)) return nullptr;
    return TWKApp::appNamed(name_);
  }
  int changes() {
    std::lock_guard lock(mutex_);
    return changes_;
  }

  std::shared_ptr<testing::TestEnvironment> env_;
  std::string name_;
  std::shared_ptr<TWKApp> app_;
  NotificationCenter::ObserverID observer_ = 0;
  std::mutex mutex_;
  int changes_ = 0;
  std::string lastAppName_;
};

TEST_F(TWKInstallationsTest, IdentifierIsCreatedOncePersistedAndSurvivesANewInstance) {
  auto service = TWKInstallations::installationsWithApp(app_);
  ASSERT_TRUE(service);
  EXPECT_EQ(app_->installations(), service);
  auto first = fetch(*service);
  ASSERT_TRUE(first.id) << first.error.value_or("");
  EXPECT_FALSE(first.error);
  EXPECT_TRUE(TWKInstallations::isValidIdentifier(*first.id));
  EXPECT_EQ(first.id->size(), 22u);
  EXPECT_EQ(changes(), 1);
  EXPECT_EQ(lastAppName_, name_);
  EXPECT_EQ(fetch(*service).id, first.id);
  EXPECT_EQ(changes(), 1);  // no change on later requests

  // The file in the sandbox is a real property list holding the identifier.
  auto bytes = env_->fileSystem()->readFile(service->storagePath());
  ASSERT_TRUE(bytes);
  auto stored = PropertyList::propertyListWithData(*bytes);
  ASSERT_TRUE(stored && stored->isDictionary());
  EXPECT_EQ(stored->dictionary()->get("installationID"), Value(*first.id));
  EXPECT_EQ(service->storagePath().rfind(env_->sandbox()->applicationSupportDirectory(), 0), 0u);

  app_ = makeApp();
  ASSERT_TRUE(app_);
  auto relaunched = app_->installations();
  ASSERT_NE(relaunched, service);
  EXPECT_EQ(fetch(*relaunched).id, first.id);
}

TEST_F(TWKInstallationsTest, DeleteMakesTheNextRequestCreateANewIdentifier) {
  auto service = app_->installations();
  auto first = fetch(*service);
  ASSERT_TRUE(first.id);
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::optional<std::string> deleteError = "not called";
  service->deleteWithCompletion([&](std::optional<std::string> error) {
    std::lock_guard lock(m);
    deleteError = error;
    done = true;
    cv.notify_all();
  });
  {
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return done; }));
  }
  EXPECT_FALSE(deleteError);
  EXPECT_FALSE(env_->fileSystem()->exists(service->storagePath()));
  EXPECT_EQ(changes(), 2);
  auto second = fetch(*service);
  ASSERT_TRUE(second.id);
  EXPECT_NE(second.id, first.id);
  EXPECT_EQ(changes(), 3);
}

TEST_F(TWKInstallationsTest, CorruptOrInvalidStoredIdentifiersAreReplaced) {
  testing::LogCapture log;
  auto service = app_->installations();
  const std::string folder = service->storagePath().substr(0, service->storagePath().rfind('/'));
  ASSERT_TRUE(env_->fileSystem()->createDirectories(folder));
  ASSERT_TRUE(env_->fileSystem()->writeFileAtomically(service->storagePath(), "\x01\x02 not a plist"));
  auto fromCorrupt = fetch(*service);
  ASSERT_TRUE(fromCorrupt.id);
  EXPECT_TRUE(TWKInstallations::isValidIdentifier(*fromCorrupt.id));
  EXPECT_TRUE(log.contains("I-APP000022"));

  auto hostile = PropertyList::dataWithPropertyList(Value{{"installationID", "../../etc/passwd"}}, PropertyListFormat::XML);
  ASSERT_TRUE(hostile);
  ASSERT_TRUE(env_->fileSystem()->writeFileAtomically(service->storagePath(), *hostile));
  auto fromHostile = fetch(*service);
  ASSERT_TRUE(fromHostile.id);
  EXPECT_NE(*fromHostile.id, "../../etc/passwd");
  EXPECT_TRUE(log.contains("I-COR000041"));
  // The replacement is what is stored now.
  EXPECT_EQ(fetch(*service).id, fromHostile.id);
}

TEST_F(TWKInstallationsTest, AnIdentifierThatCannotBeStoredIsNotHandedOut) {
  testing::LogCapture log;
  auto service = app_->installations();
  env_->faultFileSystem()->setFailRename(true);
  auto failed = fetch(*service);
  EXPECT_FALSE(failed.id);
  ASSERT_TRUE(failed.error);
  EXPECT_TRUE(log.contains("I-COR000042"));
  EXPECT_EQ(changes(), 0);
  EXPECT_FALSE(env_->fileSystem()->exists(service->storagePath()));

  env_->faultFileSystem()->clearFaults();
  auto recovered = fetch(*service);
  ASSERT_TRUE(recovered.id);
  EXPECT_EQ(fetch(*service).id, recovered.id);
}

TEST_F(TWKInstallationsTest, ConcurrentRequestsAgreeOnOneIdentifier) {
  auto service = app_->installations();
  std::mutex m;
  std::set<std::string> ids;
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      auto r = fetch(*service);
      std::lock_guard lock(m);
      if (r.id) ids.insert(*r.id);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(ids.size(), 1u);
  EXPECT_EQ(changes(), 1);
}

TEST(TWKInstallationsDefaultAppTest, NoServiceWithoutAConfiguredDefaultApp) {
  ASSERT_FALSE(TWKApp::isDefaultAppConfigured());
  testing::LogCapture log;
  EXPECT_FALSE(TWKInstallations::installations());
  EXPECT_TRUE(log.contains("I-COR000040"));
  EXPECT_FALSE(TWKInstallations::installationsWithApp(nullptr));
}

}  // namespace
}  // namespace platform
