#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/StoreKit.h"
#include "platform/app/Bundle.h"
#include "platform/testing/LogCapture.h"
#include "platform/testing/TestEnvironment.h"

namespace platform {
namespace {

class Recorder : public PaymentTransactionObserver {
 public:
  void paymentQueueUpdatedTransactions(PaymentQueue& queue,
                                       const std::vector<std::shared_ptr<PaymentTransaction>>& transactions) override {
    for (const auto& t : transactions) heard.push_back(t->payment().productIdentifier);
    if (onUpdate) onUpdate(queue);
  }
  std::vector<std::string> heard;
  std::function<void(PaymentQueue&)> onUpdate;
};

class Thrower : public PaymentTransactionObserver {
 public:
  void paymentQueueUpdatedTransactions(PaymentQueue&, const std::vector<std::shared_ptr<PaymentTransaction>>&) override {
    throw std::runtime_error("observer failed");
  }
};

// Observers are other parties' code: one that throws or removes another costs the rest
// nothing, and nothing escapes to the buyer.
TEST(PaymentQueueTest, ObserversAreIsolatedFromEachOther) {
  PaymentQueue queue(nullptr);
  auto thrower = std::make_shared<Thrower>();
  auto remover = std::make_shared<Recorder>();
  auto removed = std::make_shared<Recorder>();
  auto last = std::make_shared<Recorder>();
  remover->onUpdate = [&](PaymentQueue& q) { q.removeTransactionObserver(removed.get()); };
  for (const auto& o : std::vector<std::shared_ptr<PaymentTransactionObserver>>{thrower, remover, removed, last})
    queue.addTransactionObserver(o);
  testing::LogCapture log;
  std::shared_ptr<PaymentTransaction> bought;
  EXPECT_NO_THROW(bought = queue.addPayment(Payment{"gems"}));
  ASSERT_TRUE(bought);
  EXPECT_EQ(last->heard, (std::vector<std::string>{"gems", "gems"})) << "purchasing, then purchased";
  EXPECT_TRUE(removed->heard.empty()) << "told after its removal";
  EXPECT_TRUE(log.contains("I-APP000020"));
  EXPECT_EQ(queue.observerCount(), 3u);
}

// As a store's queue: a transaction is told again to an observer added later, until the
// app finishes it.
TEST(PaymentQueueTest, UnfinishedTransactionsReachAnObserverAddedLater) {
  PaymentQueue queue(nullptr);
  auto gems = queue.addPayment(Payment{"gems"});
  auto coins = queue.addPayment(Payment{"coins"});
  auto early = std::make_shared<Recorder>();
  queue.addTransactionObserver(early);
  EXPECT_EQ(early->heard, (std::vector<std::string>{"gems", "coins"})) << "the purchased ones, not their purchasing";
  queue.addTransactionObserver(early);
  EXPECT_EQ(early->heard.size(), 2u) << "an observer added twice is told once";
  queue.finishTransaction(*gems);
  auto late = std::make_shared<Recorder>();
  queue.addTransactionObserver(late);
  EXPECT_EQ(late->heard, (std::vector<std::string>{"coins"}));
  queue.finishTransaction(*coins);
  EXPECT_EQ(queue.unfinishedTransactionCount(), 0u);
}

// The receipt lives in the app's data folder, grows across launches, and a folder the
// store cannot write is reported instead of passed over.
TEST(LinuxStoreTest, TheReceiptIsKeptInTheDataFolderAcrossLaunchesAndAWriteFailureIsReported) {
  auto env = testing::TestEnvironment::create();
  ASSERT_TRUE(env);
  const std::string folder = storeReceiptFolder(*env);
  ASSERT_EQ(folder.rfind(env->sandbox()->root(), 0), 0u) << folder;
  auto itemsRecorded = [&] {
    auto saved = Bundle::readDictionaryFile(*env->fileSystem(), folder + "/receipt-contents.plist");
    const Array* items = saved ? saved->get("items").array() : nullptr;
    return items ? items->size() : 0;
  };
  for (int launch = 1; launch <= 2; ++launch) {
    auto store = makeLinuxStoreKit(*env);
    (void)store->defaultPaymentQueue()->addPayment({"gems", 1});
    EXPECT_EQ(store->appStoreReceiptPath(), folder + "/receipt");
    EXPECT_EQ(itemsRecorded(), static_cast<std::size_t>(launch));
  }
  env->faultFileSystem()->setNoSpace(true);
  testing::LogCapture log;
  (void)makeLinuxStoreKit(*env)->defaultPaymentQueue()->addPayment({"gems", 1});
  env->faultFileSystem()->clearFaults();
  EXPECT_TRUE(log.contains("I-APP000021"));
  EXPECT_EQ(itemsRecorded(), 2u);
}

}  // namespace
}  // namespace platform
