// Purchases from store transactions: which transactions become which events, the receipt
// read for them (missing, truncated, garbage), duplicates, and exact prices.

#include "measurement/reporters/TLWInAppPurchaseReporter.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "ReporterTestSupport.h"
#include "measurement/monitor/TLWError.h"
#include "measurement/storage/TLWDatabase.h"
#include "platform/StoreReceipt.h"
#include "platform/testing/FakeStoreKit.h"
#include "tests/support/Wait.h"

namespace {

using platform::Decimal;
using platform::PaymentTransaction;
using platform::PaymentTransactionState;
using platform::StoreReceiptItem;
using reporter_test::LoggedEvent;

constexpr double kBought = 1'799'990'000.0;

class InAppPurchaseTest : public reporter_test::ReporterFixture {
 protected:
  void SetUp() override {
    ReporterFixture::SetUp();
    receiptPath_ = bundleDir_ + "/StoreKit/receipt";
    store_ = std::make_shared<platform::testing::FakeStoreKit>(env_->clock(), receiptPath_);
    env_->setStoreKit(store_);
    addProduct("gems", "0.99", "EUR", "Gems");
    TLWInAppPurchaseReporter::Dependencies deps;
    deps.env = env_;
    deps.monitor = monitor_;
    deps.database = [this] { return database_.get(); };
    deps.logEvent = [this](const std::string& name, const platform::Dictionary& p) { events_.add(name, p); };
    reporter_ = TLWInAppPurchaseReporter::create(deps);
  }

  void addProduct(const std::string& id, const std::string& price, const std::string& currency,
                  const std::string& title, std::optional<platform::ProductDiscount> intro = std::nullopt) {
    store_->addProduct({id, *Decimal::fromString(price), currency, title, intro});
  }

  std::vector<std::uint8_t> vendorBytes() { return *platform::uuidBytes(env_->device()->vendorIdentifier()); }

  void writeReceipt(std::vector<StoreReceiptItem> items, std::string bundleID = "com.vorlix.skyforge") {
    platform::StoreReceiptContents contents{bundleID, "1.0", {1, 2, 3, 4, 5, 6, 7, 8}, vendorBytes(), std::move(items)};
    writeRawReceipt(platform::encodeStoreReceipt(contents));
  }
  void writeRawReceipt(const std::vector<std::uint8_t>& bytes) {
    ASSERT_TRUE(env_->fileSystem()->createDirectories(bundleDir_ + "/StoreKit"));
    ASSERT_TRUE(env_->fileSystem()->writeFileAtomically(
        receiptPath_, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())));
  }

  static StoreReceiptItem item(std::string product, std::string id, std::string original, std::int64_t type,
                               double date = kBought) {
    StoreReceiptItem i;
    i.productID = std::move(product);
    i.transactionID = std::move(id);
    i.originalTransactionID = std::move(original);
    i.purchaseType = type;
    i.purchaseDate = platform::storeReceiptDateString(date);
    i.originalPurchaseDate = i.purchaseDate;
    return i;
  }

  static std::shared_ptr<PaymentTransaction> purchase(std::string product, std::string id, std::int64_t quantity = 1,
                                                      std::string originalID = {}, double date = kBought,
                                                      PaymentTransactionState state = PaymentTransactionState::Purchased) {
    std::shared_ptr<PaymentTransaction> original;
    if (!originalID.empty()) {
      original = std::make_shared<PaymentTransaction>(PaymentTransactionState::Purchased, originalID, date,
                                                      platform::Payment{product, 1});
    }
    return std::make_shared<PaymentTransaction>(state, std::move(id), date, platform::Payment{std::move(product), quantity},
                                                original);
  }

  static platform::Value toValue(std::shared_ptr<PaymentTransaction> t) {
    return platform::Value(std::shared_ptr<platform::ValueObject>(std::move(t)));
  }

  // Reports through the product cache: the store is asked for unknown products first.
  std::vector<LoggedEvent> report(std::vector<std::shared_ptr<PaymentTransaction>> transactions,
                                  std::size_t expected) {
    platform::Array values;
    for (auto& t : transactions) values.push_back(platform::Value(std::shared_ptr<platform::ValueObject>(t)));
    reporter_->paymentQueueUpdatedFilteredTransactions(values);
    EXPECT_TRUE(tw_test_support::waitFor([&] { return events_.size() >= expected; }, std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // nothing more may come
    return events_.events();
  }

  std::string receiptPath_;
  std::shared_ptr<platform::testing::FakeStoreKit> store_;
  std::unique_ptr<TLWDatabase> database_;
  std::shared_ptr<TLWInAppPurchaseReporter> reporter_;
};

TEST_F(InAppPurchaseTest, OnlyPurchasedTransactionsAreReportedOnceEachWithTheirPrice) {
  writeReceipt({item("gems", "1001", "1001", 1)});
  auto events = report({purchase("gems", "", 1, {}, kBought, PaymentTransactionState::Purchasing),
                        purchase("gems", "1001", 3), purchase("gems", "1002", 1, {}, kBought, PaymentTransactionState::Failed),
                        purchase("gems", "1003", 1, "1001", kBought, PaymentTransactionState::Restored),
                        purchase("gems", "", 1, {}, kBought, PaymentTransactionState::Deferred)},
                       1);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].name, "_iap");
  EXPECT_EQ(events[0].integer("price"), 990000);
  EXPECT_EQ(events[0].integer("value"), 2970000);
  EXPECT_EQ(events[0].integer("quantity"), 3);
  EXPECT_EQ(events[0].string("currency"), "EUR");
  EXPECT_EQ(events[0].string("product_name"), "Gems");
  EXPECT_EQ(events[0].integer("_did"), TLWInAppPurchaseReporter::deduplicationID("1001", std::nullopt, "gems"));
  EXPECT_EQ(store_->productRequestCount(), 1u);
  // The product is cached now: a second purchase needs no request.
  report({purchase("gems", "1001", 1)}, 2);
  EXPECT_EQ(store_->productRequestCount(), 1u);
}

TEST_F(InAppPurchaseTest, DuplicateFilterKeepsEachPurchasedTransactionOnce) {
  TLWError error;
  database_ = TLWDatabase::initWithDatabaseName("purchases.sql", persisted_, &error, env_, monitor_);
  ASSERT_TRUE(database_);
  auto toValues = [](std::vector<std::shared_ptr<PaymentTransaction>> list) {
    platform::Array values;
    for (auto& t : list) values.push_back(platform::Value(std::shared_ptr<platform::ValueObject>(t)));
    return values;
  };
  auto filter = [&](const platform::Array& values) {
    std::promise<std::size_t> kept;
    reporter_->filterPurchaseTransactions(values, [&kept](const platform::Array& out) { kept.set_value(out.size()); });
    return kept.get_future().get();
  };
  const auto first = toValues({purchase("gems", "2001"), purchase("gems", "2002"),
                               purchase("gems", "2003", 1, "2001", kBought, PaymentTransactionState::Restored),
                               purchase("gems", "2004", 1, {}, kBought, PaymentTransactionState::Failed)});
  EXPECT_EQ(filter(first), 2u);
  // The same purchases told again (a relaunch, a restore) are dropped.
  EXPECT_EQ(filter(first), 0u);
  EXPECT_TRUE(logged(23141));
  // Without a usable identifier a purchase cannot be checked and is kept.
  EXPECT_EQ(filter(toValues({purchase("gems", "0-0")})), 1u);

  // A purchase is seen once its event is handed over. One whose report failed (the
  // products request, here), or that an exit cut short before its report, is reported when
  // told again; a reported one stays a duplicate after a relaunch too. The database is used
  // on one queue, as the worker queue is.
  auto worker = platform::DispatchQueue::create("purchase-test-worker");
  auto reports = platform::DispatchQueue::create("purchase-test-reports");
  auto relaunch = [&] {
    TLWInAppPurchaseReporter::Dependencies deps;
    deps.env = env_;
    deps.monitor = monitor_;
    deps.database = [this] { return database_.get(); };
    deps.onWorkerQueue = [worker](std::function<void()> block) { worker->async(std::move(block)); };
    deps.reportQueue = reports;
    deps.logEvent = [this](const std::string& name, const platform::Dictionary& p) { events_.add(name, p); };
    reporter_ = TLWInAppPurchaseReporter::create(deps);
  };
  relaunch();
  store_->setProductsError("store unreachable");
  const auto unreported = toValues({purchase("sword", "2101")});
  ASSERT_EQ(filter(unreported), 1u);
  reporter_->paymentQueueUpdatedFilteredTransactions(unreported);
  // The failure is logged just before the purchase is forgotten.
  ASSERT_TRUE(tw_test_support::waitFor([&] { return logged(21027); }, std::chrono::seconds(10)));
  EXPECT_TRUE(tw_test_support::waitFor([&] { return filter(unreported) == 1u; }, std::chrono::seconds(10)))
      << "forgotten after the failed report";

  relaunch();  // the process ended before that purchase was reported
  EXPECT_EQ(filter(unreported), 1u) << "an exit before the report leaves it unseen";
  store_->setProductsError("");
  addProduct("sword", "4.99", "EUR", "Sword");
  reporter_->paymentQueueUpdatedFilteredTransactions(unreported);
  ASSERT_TRUE(tw_test_support::waitFor([&] { return events_.size() == 1; }, std::chrono::seconds(10)));
  // The event is handed over before the purchase is recorded: let the report finish, then
  // the recording it queued.
  (void)reports->sync([] {});
  (void)worker->sync([] {});
  relaunch();
  EXPECT_EQ(filter(unreported), 0u) << "reported before the relaunch";
}

TEST_F(InAppPurchaseTest, ReceiptDecidesTheKindOfPurchase) {
  StoreReceiptItem trial = item("pro", "3001", "3001", 3, kBought - 60 * 86400);
  trial.freeTrial = true;
  trial.webOrderLineItemID = 77;
  StoreReceiptItem month2 = item("pro", "3002", "3001", 3, kBought - 30 * 86400);
  month2.webOrderLineItemID = 78;
  StoreReceiptItem month3 = item("pro", "3003", "3001", 3, kBought);
  month3.webOrderLineItemID = 79;
  StoreReceiptItem trialOnly = item("trial", "4001", "4001", 3);
  trialOnly.freeTrial = true;
  trialOnly.webOrderLineItemID = 80;
  StoreReceiptItem noOriginal = item("club", "7001", "", 2);  // a record without its original transaction ID
  StoreReceiptItem introPaid = item("intro", "10001", "10001", 3);
  introPaid.introductoryOffer = true;
  StoreReceiptItem introFree = item("introfree", "11001", "11001", 3);
  introFree.introductoryOffer = true;
  writeReceipt({item("gems", "1001", "1001", 1, kBought - 86400), item("gems", "1002", "1002", 1),
                item("castle", "5000", "5000", 0), trial, month2, month3, trialOnly, noOriginal,
                item("season", "8001", "8001", 2), item("vip", "9001", "9001", 3), item("vip", "9002", "9001", 3),
                introPaid, introFree});
  addProduct("season", "3.00", "USD", "Season pass");
  addProduct("vip", "7.99", "USD", "VIP");
  addProduct("intro", "4.99", "USD", "Intro", platform::ProductDiscount{*Decimal::fromString("0.99"), 0});
  addProduct("introfree", "2.99", "USD", "Intro free", platform::ProductDiscount{*Decimal::fromString("0.99"), 2});
  addProduct("pro", "4.99", "USD", "Pro");
  addProduct("club", "1.99", "USD", "Club");
  addProduct("trial", "9.99", "USD", "Trial");
  addProduct("castle", "2.49", "USD", "Castle");
  addProduct("unknown", "1.00", "USD", "Not in the receipt");

  struct Case {
    std::shared_ptr<PaymentTransaction> transaction;
    std::string name;
    std::map<std::string, long long> expected;  // -999: absent
  } cases[] = {
      // A consumable bought a second time has two receipt items: still a plain purchase.
      {purchase("gems", "1002"), "_iap", {{"_did", TLWInAppPurchaseReporter::deduplicationID("1002", std::nullopt, "gems")},
                                          {"subscription", -999}}},
      {purchase("castle", "5001", 1, "5000"), "_iapx", {{"invalid", -999}}},
      {purchase("unknown", "6000"), "_iapx", {{"invalid", -999}, {"price", 1000000}}},
      {purchase("pro", "3002", 1, "3001", kBought - 30 * 86400), "_assc", {{"subscription", -999}}},
      {purchase("pro", "3003", 1, "3001"), "_assr", {{"sub_renew", -999}}},
      {purchase("trial", "4001"), "_iap",
       {{"subscription", 1}, {"free_trial", 1}, {"price", 0}, {"value", 0}, {"original_price", 9990000},
        {"price_is_discounted", 1}}},
      // No de-duplication ID without the IDs it is made of (else every later one is a duplicate).
      {purchase("club", "7001"), "_iap", {{"subscription", 1}, {"_did", -999}}},
      // A subscription whose date is in no receipt item, or in two.
      {purchase("pro", "3999", 1, {}, kBought + 5), "_iapx", {{"subscription", 1}}},
      {purchase("vip", "9002", 1, "9001"), "_iapx", {{"subscription", 1}, {"invalid", -999}, {"sub_renew", -999}}},
      {purchase("season", "8001"), "_iap",
       {{"subscription", 1}, {"_did", TLWInAppPurchaseReporter::deduplicationID("8001", std::nullopt, "season")}}},
      // A free trial bought again is not a new trial.
      {purchase("trial", "4002", 1, "4001"), "_iapx", {{"free_trial", 1}, {"price", 0}, {"original_price", 9990000}}},
      // An introductory price replaces the price; a free-trial payment mode makes it 0.
      {purchase("intro", "10001", 2), "_iap",
       {{"price_is_discounted", 1}, {"price", 990000}, {"value", 1980000}, {"original_price", 4990000}}},
      {purchase("introfree", "11001", 2), "_iap",
       {{"price_is_discounted", 1}, {"price", 0}, {"value", 0}, {"original_price", 2990000}}},
  };
  for (const auto& c : cases) {
    const std::size_t before = events_.size();
    auto events = report({c.transaction}, before + 1);
    ASSERT_EQ(events.size(), before + 1) << c.transaction->description();
    const auto& event = events.back();
    EXPECT_EQ(event.name, c.name) << c.transaction->description();
    for (const auto& [key, value] : c.expected) {
      EXPECT_EQ(event.integer(key), value) << c.transaction->description() << " " << key;
    }
  }
}

// The cache keeps at most 100 products: a response that would make it 101 replaces it.
TEST_F(InAppPurchaseTest, TheProductCacheIsReplacedWhenItWouldReach101Entries) {
  std::vector<std::shared_ptr<PaymentTransaction>> first;
  for (int i = 0; i <= 100; ++i) addProduct("p" + std::to_string(i), "1.00", "USD", "P");
  for (int i = 0; i < 99; ++i) first.push_back(purchase("p" + std::to_string(i), std::to_string(20000 + i)));
  std::size_t reported = 0;
  // The store is asked before the report, so the request count is final once the events are in.
  auto reportAll = [&](const std::vector<std::shared_ptr<PaymentTransaction>>& transactions) {
    platform::Array values;
    for (const auto& t : transactions) values.push_back(toValue(t));
    reporter_->paymentQueueUpdatedFilteredTransactions(values);
    reported += transactions.size();
    return tw_test_support::waitFor([&] { return events_.size() == reported; }, std::chrono::seconds(10));
  };
  ASSERT_TRUE(reportAll(first));
  struct Step {
    const char* product;
    std::size_t requests;  // after it
  };
  for (const Step& step : {Step{"p99", 2}, Step{"p0", 2}, Step{"p100", 3}, Step{"p0", 4}, Step{"p100", 4}}) {
    ASSERT_TRUE(reportAll({purchase(step.product, std::to_string(30000 + reported))})) << step.product;
    EXPECT_EQ(store_->productRequestCount(), step.requests) << step.product;
  }
}

// Purchases reported as unverified carry "sandbox" = 1 when the receipt is a sandbox one.
TEST_F(InAppPurchaseTest, UnverifiedPurchasesFromASandboxReceiptAreMarked) {
  for (bool sandbox : {false, true}) {
    receiptPath_ = bundleDir_ + (sandbox ? "/StoreKit/sandboxReceipt" : "/StoreKit/receipt");
    store_->setReceiptPath(receiptPath_);
    writeReceipt({item("gems", "1001", "1001", 1)});
    auto reporter = TLWInAppPurchaseReporter::create({env_, monitor_, nullptr,
                                                      [this](const std::string& name, const platform::Dictionary& p) {
                                                        events_.add(name, p);
                                                      },
                                                      nullptr});
    const std::size_t before = events_.size();
    reporter->paymentQueueUpdatedFilteredTransactions({toValue(purchase("gems", "1001"))});
    ASSERT_TRUE(tw_test_support::waitFor([&] { return events_.size() >= before + 1; }, std::chrono::seconds(10)));
    const auto event = events_.events().back();
    EXPECT_EQ(event.name, sandbox ? "_iapx" : "_iap") << sandbox;
    EXPECT_EQ(event.integer("sandbox"), sandbox ? 1 : -999) << sandbox;
    EXPECT_FALSE(event.parameters.contains("invalid"));
  }
}

// The Info.plist switch turns the receipt off entirely: its path makes no sandbox purchase.
TEST_F(InAppPurchaseTest, TheReceiptSwitchCoversTheSandboxCheck) {
  store_->setReceiptPath(bundleDir_ + "/StoreKit/sandboxReceipt");
  EXPECT_TRUE(reporter_->isSandboxReceipt());
  // An app whose Info.plist turns the check off (read once per process: a process of its own).
  auto off = platform::testing::TestEnvironment::create("com.vorlix.skyforge");
  const std::string dir = off->root() + "/Off.app";
  ASSERT_TRUE(off->fileSystem()->createDirectories(dir));
  off->fakeProcessInfo()->setEnvironmentVariable(platform::kBundlePathEnvironmentVariable, dir);
  auto bytes = platform::PropertyList::dataWithPropertyList(
      platform::Value(platform::Dictionary{{"TarnwickAppStoreReceiptURLCheckEnabled", false}}),
      platform::PropertyListFormat::XML);
  ASSERT_TRUE(bytes && off->fileSystem()->writeFileAtomically(dir + "/Info.plist", *bytes));
  off->setStoreKit(std::make_shared<platform::testing::FakeStoreKit>(off->clock(), dir + "/sandboxReceipt"));
  auto reporter = TLWInAppPurchaseReporter::create({off, monitor_, nullptr, nullptr, nullptr});
  EXPECT_FALSE(reporter->isSandboxReceipt());
}

TEST_F(InAppPurchaseTest, MissingTruncatedOrGarbageReceiptsInventNoPurchase) {
  StoreReceiptItem good = item("gems", "1001", "1001", 1);
  platform::StoreReceiptContents contents{"com.vorlix.skyforge", "1.0", {9, 9, 9}, vendorBytes(), {good}};
  const auto whole = platform::encodeStoreReceipt(contents);
  // Every prefix of a receipt reads without a crash and never yields more than it holds.
  for (std::size_t n = 0; n < whole.size(); ++n) {
    std::vector<std::uint8_t> prefix(whole.begin(), whole.begin() + static_cast<long>(n));
    EXPECT_LE(TLWPurchaseReceipt::purchaseItems(prefix).size(), 1u);
    (void)TLWPurchaseReceipt::isVerified(prefix, vendorBytes(), "com.vorlix.skyforge", *monitor_);
  }
  std::vector<std::vector<std::uint8_t>> receipts = {
      {}, std::vector<std::uint8_t>(whole.begin(), whole.begin() + 50),  // cut inside the hash
      {0x30, 0xff, 0x02, 0x01, 0x11, 0x02, 0x01, 0xff, 0x04}, std::vector<std::uint8_t>(4096, 0xff)};
  std::size_t reported = 0;
  for (std::size_t i = 0; i <= receipts.size(); ++i) {
    if (i < receipts.size()) {
      writeRawReceipt(receipts[i]);
    } else {
      ASSERT_TRUE(env_->fileSystem()->removeFile(receiptPath_));
    }
    auto fresh = TLWInAppPurchaseReporter::create({env_, monitor_, nullptr,
                                                   [this](const std::string& name, const platform::Dictionary& p) {
                                                     events_.add(name, p);
                                                   },
                                                   nullptr});
    fresh->paymentQueueUpdatedFilteredTransactions({toValue(purchase("gems", "1001"))});
    ++reported;
    ASSERT_TRUE(tw_test_support::waitFor([&] { return events_.size() >= reported; }, std::chrono::seconds(10)));
    ASSERT_EQ(events_.size(), reported) << "receipt " << i;
    EXPECT_EQ(events_.events().back().name, "_iapx") << "receipt " << i;
  }
}

TEST_F(InAppPurchaseTest, ReceiptVerificationAndOriginalVersion) {
  writeReceipt({item("gems", "1001", "1001", 1)}, "com.other.app");
  // The hash covers the attribute as written, so another app's name still verifies; it is logged.
  EXPECT_TRUE(reporter_->isReceiptValidated());
  EXPECT_TRUE(reporter_->isVersionSameAsOriginalVersion());

  auto vendor = vendorBytes();
  vendor[0] ^= 1;
  platform::StoreReceiptContents other{"com.vorlix.skyforge", "0.9", {1}, vendor, {item("gems", "1", "1", 1)}};
  const auto bytes = platform::encodeStoreReceipt(other);
  EXPECT_FALSE(TLWPurchaseReceipt::isVerified(bytes, vendorBytes(), "com.vorlix.skyforge", *monitor_));
  EXPECT_EQ(TLWPurchaseReceipt::originalApplicationVersion(bytes, *monitor_), "0.9");
}

// Purchase records read by the byte scan: a length byte of 0 never matches, one of 128 or
// more is taken when the bytes fit, and a one-byte field holding another size is not read.
TEST(PurchaseReceiptScan, LengthBytesAndOneByteFieldsAreReadAsTheScanDefines) {
  using Bytes = std::vector<std::uint8_t>;
  auto record = [] { return Bytes{0x30, 0, 2, 1, 17, 2, 1, 1, 4, 0, 0x31, 0}; };
  auto field = [](std::uint8_t type, std::uint8_t tag, const Bytes& value, std::optional<std::uint8_t> length = {}) {
    Bytes out{0x30, 0, 2, 2, 6, type, 2, 1, 1, 4, 0, tag, length.value_or(static_cast<std::uint8_t>(value.size()))};
    out.insert(out.end(), value.begin(), value.end());
    return out;
  };
  auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
  const std::string longID(130, 'L');
  std::vector<Bytes> parts = {
      record(), field(166, 12, text("twobyte")), field(177, 2, {0, 1}), field(177, 2, {1}), field(171, 2, {3}),
      record(), field(166, 12, {}, 0), field(167, 12, text("dropped")),  // no product ID: not kept
      record(), field(166, 12, text("two")), field(177, 2, {2}),
      record(), field(166, 12, text(longID)), field(177, 2, {1}),
      // The last length overruns the receipt: not read.
      record(), field(166, 12, text("last")), field(167, 12, text("123"), 9)};
  Bytes receipt;
  for (const auto& part : parts) receipt.insert(receipt.end(), part.begin(), part.end());

  const auto items = TLWPurchaseReceipt::purchaseItems(receipt);
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(items[0].productID, "twobyte");
  EXPECT_FALSE(items[0].freeTrial) << "a 2-byte value is not read, and the field is not tried again";
  EXPECT_EQ(items[0].purchaseType, 3) << "the next fields are tried at the same offset";
  EXPECT_EQ(items[1].productID, "two");
  EXPECT_FALSE(items[1].freeTrial);
  EXPECT_EQ(items[2].productID, longID);
  EXPECT_TRUE(items[2].freeTrial);
  EXPECT_EQ(items[3].productID, "last");
  EXPECT_EQ(items[3].transactionID, "");
}

// Verification needs a purchase record, the opaque value, the bundle identifier and the hash.
TEST_F(InAppPurchaseTest, AReceiptMissingAnAttributeIsNotVerified) {
  platform::StoreReceiptContents contents{"com.vorlix.skyforge", "1.0", {1, 2, 3}, vendorBytes(), {item("gems", "1", "1", 1)}};
  for (std::uint8_t missing : {0, 17, 4, 2, 5}) {
    auto bytes = platform::encodeStoreReceipt(contents);
    // An attribute is INTEGER 1 byte (the type), INTEGER 1 byte (version 1), OCTET STRING.
    for (std::size_t i = 0; missing && i + 6 < bytes.size(); ++i) {
      if (bytes[i] == 2 && bytes[i + 1] == 1 && bytes[i + 2] == missing && bytes[i + 3] == 2 && bytes[i + 4] == 1 &&
          bytes[i + 5] == 1 && bytes[i + 6] == 4) {
        bytes[i + 2] = 99;
      }
    }
    EXPECT_EQ(TLWPurchaseReceipt::isVerified(bytes, vendorBytes(), "com.vorlix.skyforge", *monitor_), missing == 0)
        << "without attribute " << int(missing);
  }
}

TEST_F(InAppPurchaseTest, PricesAreExactDecimals) {
  struct Case {
    const char* price;
    std::int64_t quantity;
    std::optional<std::int64_t> micros;
  } cases[] = {
      {"0.29", 1, 290000},  // 0.29 * 1e6 in binary floating point truncates to 289999
      {"0.99", 3, 2970000},
      {"1234567.123456789", 1, 1234567123456},
      {"19.999999999999999999", 7, 139999999},
      {"0.0000009", 1, 0},
      {"-2.5", 2, -5000000},
      {"9223372036854.775807", 1, 9223372036854775807LL},
      {"9223372036854.775808", 1, std::nullopt},
      {"99999999999999.99", 1000, std::nullopt},
  };
  for (const auto& c : cases) {
    auto d = Decimal::fromString(c.price);
    ASSERT_TRUE(d) << c.price;
    EXPECT_EQ(d->microsTimes(c.quantity), c.micros) << c.price << " x " << c.quantity;
  }
  for (const char* bad : {"", ".", "1e5", "0x10", "1.2.3", "12345678901234567890123456789012345678901"}) {
    EXPECT_FALSE(Decimal::fromString(bad)) << bad;
  }
  // A price too large for the event is not reported with a wrong one.
  addProduct("vault", "99999999999999.99", "USD", "Vault");
  writeReceipt({item("vault", "7001", "7001", 1)});
  reporter_->paymentQueueUpdatedFilteredTransactions({toValue(purchase("vault", "7001", 1000))});
  EXPECT_TRUE(tw_test_support::waitFor([&] { return logged(21029); }, std::chrono::seconds(10)));
  EXPECT_EQ(events_.size(), 0u);
}

TEST_F(InAppPurchaseTest, AdNetworkRegistrationReachesTheStore) {
  reporter_->registerAppForAdNetworkAttribution();
  EXPECT_EQ(store_->adNetworkRegistrationCount(), 1);
}

}  // namespace
