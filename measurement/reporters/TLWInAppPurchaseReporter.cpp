#include "measurement/reporters/TLWInAppPurchaseReporter.h"

#include <algorithm>

#include "measurement/monitor/TLWError.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/storage/TLWDatabase.h"
#include "platform/Digest.h"
#include "platform/StoreReceipt.h"
#include "platform/app/Bundle.h"

using platform::Array;
using platform::Dictionary;
using platform::PaymentTransaction;
using platform::PaymentTransactionState;
using platform::Product;
using platform::Value;

namespace {

// A record without the IDs its de-duplication ID is made of gets none: a shared "-1"
// would make every later such record a duplicate.
void setDeduplicationID(platform::Dictionary& parameters, std::int64_t id) {
  if (id != -1) parameters.set("_did", static_cast<long long>(id));
}

constexpr const char* kCacheQueueLabel = "com.vorlix.zel.measurement.iap-cache";
constexpr const char* kReceiptSwitchKey = "TarnwickAppStoreReceiptURLCheckEnabled";

std::vector<std::shared_ptr<PaymentTransaction>> transactionsOf(const Array& values) {
  std::vector<std::shared_ptr<PaymentTransaction>> out;
  for (const Value& v : values) {
    if (auto t = v.objectAs<PaymentTransaction>()) out.push_back(std::move(t));
  }
  return out;
}

long long flagValue(const Dictionary& d, std::string_view key) { return d.get(key).int64Value().value_or(0); }

}  // namespace

std::shared_ptr<TLWInAppPurchaseReporter> TLWInAppPurchaseReporter::create(Dependencies dependencies) {
  return std::make_shared<TLWInAppPurchaseReporter>(std::move(dependencies));
}

TLWInAppPurchaseReporter::TLWInAppPurchaseReporter(Dependencies dependencies) : deps_(std::move(dependencies)) {
  if (!deps_.env) deps_.env = platform::Environment::current();
  if (!deps_.monitor) deps_.monitor = TLWMonitor::sharedInstance();
  if (!deps_.reportQueue) deps_.reportQueue = platform::DispatchQueue::global(platform::QueuePriority::Default);
  store_ = deps_.env->storeKit();
  cacheQueue_ = platform::DispatchQueue::create(kCacheQueueLabel);
}

// ------------------------------------------------------------------ fingerprints

std::optional<std::string> TLWInAppPurchaseReporter::transactionFingerprint(const PaymentTransaction* t,
                                                                            TLWMonitor& monitor) {
  if (!t) {
    monitor.logWithLevel(2, 21014, "Transaction is nil");
    return std::nullopt;
  }
  if (t->transactionState() != PaymentTransactionState::Purchased) return std::nullopt;
  const std::string& id = t->transactionIdentifier();
  const Value code(static_cast<long long>(t->errorCode()));
  if (id.empty()) {
    monitor.logWithLevel(2, 21016, "Transaction identifier is empty. Code", code);
    return std::nullopt;
  }
  if (id.find_first_not_of("0-") == std::string::npos) {
    monitor.logWithLevel(2, 21017, "Transaction identifier is only zeroes. Code", code);
    return std::nullopt;
  }
  return platform::hexString(platform::md5Digest(id));
}

std::int64_t TLWInAppPurchaseReporter::deduplicationID(const std::string& originalTransactionID,
                                                       std::optional<std::uint64_t> webOrderLineItemID,
                                                       const std::string& productID) {
  if (originalTransactionID.empty() || productID.empty()) return -1;
  std::string input = originalTransactionID;
  if (webOrderLineItemID) input += std::to_string(*webOrderLineItemID);
  input += productID;
  const auto digest = platform::md5Digest(input);
  if (digest.size() != 16) return -1;
  std::uint64_t low = 0;
  for (std::size_t i = 8; i < 16; ++i) low = (low << 8) | digest[i];
  return static_cast<std::int64_t>(low);
}

// ------------------------------------------------------------------ duplicate filter

void TLWInAppPurchaseReporter::filterPurchaseTransactions(const Array& transactions,
                                                          const std::function<void(const Array&)>& callback) {
  TLWDatabase* db = deps_.database ? deps_.database() : nullptr;
  Array kept;
  for (const Value& value : transactions) {
    auto t = value.objectAs<PaymentTransaction>();
    if (!t || t->transactionState() != PaymentTransactionState::Purchased) continue;
    const Value product(t->payment().productIdentifier);
    auto fingerprint = transactionFingerprint(t.get(), *deps_.monitor);
    if (!fingerprint || fingerprint->empty() || !db) {
      deps_.monitor->logWithLevel(
          2, 23139, "Purchase has nil or empty fingerprint. Purchase will not be checked for duplicates. Product ID",
          product);
      kept.push_back(value);
      continue;
    }
    TLWError error;
    const auto reported = db->hasPurchaseFingerprint(*fingerprint, &error);
    bool fresh = false;
    {
      std::lock_guard lock(inFlightMutex_);
      fresh = !(reported && *reported) && inFlight_.insert(*fingerprint).second;
    }
    if (!reported) {
      deps_.monitor->logWithLevel(
          1, 23140, "Failed to read purchase fingerprint. Purchase will not be checked for duplicates. Product ID, error",
          product, Value(error.description()));
      kept.push_back(value);
    } else if (fresh) {
      kept.push_back(value);
    } else {
      deps_.monitor->logWithLevel(4, 23141, "Purchase is a duplicate and will not be reported. Product ID", product);
    }
  }
  if (!callback) return;
  platform::DispatchQueue::global(platform::QueuePriority::Default)->async([callback, kept = std::move(kept)] {
    callback(kept);
  });
}

void TLWInAppPurchaseReporter::rememberPurchase(const PaymentTransaction& transaction) {
  auto fingerprint = transactionFingerprint(&transaction, *deps_.monitor);
  if (!fingerprint || fingerprint->empty()) return;
  // Out of flight only once recorded: a purchase told again meanwhile stays a duplicate.
  runOnWorkerQueue([weak = weak_from_this(), fingerprint = std::move(*fingerprint)] {
    auto self = weak.lock();
    if (!self) return;
    TLWDatabase* db = self->deps_.database ? self->deps_.database() : nullptr;
    TLWError error;
    if (db && !db->insertIfNotDuplicatePurchaseFingerprint(fingerprint, &error)) {
      self->deps_.monitor->logWithLevel(1, 23148, "Failed to record a reported purchase. Error",
                                        Value(error.description()));
    }
    std::lock_guard lock(self->inFlightMutex_);
    self->inFlight_.erase(fingerprint);
  });
}

void TLWInAppPurchaseReporter::forgetPurchases(const std::vector<std::shared_ptr<PaymentTransaction>>& transactions) {
  std::lock_guard lock(inFlightMutex_);
  for (const auto& t : transactions) {
    auto fingerprint = t ? transactionFingerprint(t.get(), *deps_.monitor) : std::nullopt;
    if (fingerprint) inFlight_.erase(*fingerprint);
  }
}

void TLWInAppPurchaseReporter::runOnWorkerQueue(std::function<void()> block) {
  if (deps_.onWorkerQueue) {
    deps_.onWorkerQueue(std::move(block));
  } else {
    block();
  }
}

// ------------------------------------------------------------------ products

std::optional<Product> TLWInAppPurchaseReporter::cachedProductForProductIdentifier(const std::string& id) {
  std::optional<Product> found;
  (void)cacheQueue_->sync([&] {
    auto it = products_.find(id);
    if (it != products_.end()) found = it->second;
  });
  return found;
}

void TLWInAppPurchaseReporter::requestProducts(const std::vector<std::string>& identifiers,
                                               std::function<void(bool ok)> done) {
  std::weak_ptr<TLWInAppPurchaseReporter> weak = weak_from_this();
  store_->requestProducts(identifiers, cacheQueue_,
                          [weak, done = std::move(done)](const platform::ProductsResponse& response,
                                                         const std::string& error) {
                            auto self = weak.lock();
                            if (!self) return;
                            if (!error.empty()) {
                              self->deps_.monitor->logWithLevel(1, 21027, "Cannot request product information. Error",
                                                                Value(error));
                              done(false);
                              return;
                            }
                            // Runs on the cache queue: the cache is ours here.
                            const std::size_t incoming =
                                response.products.size() + response.invalidProductIdentifiers.size();
                            if (self->products_.size() + self->invalidProducts_.size() + incoming >
                                kMaxCachedProducts) {
                              self->products_.clear();
                              self->invalidProducts_.clear();
                            }
                            for (const auto& p : response.products) self->products_.insert_or_assign(p.productIdentifier, p);
                            for (const auto& id : response.invalidProductIdentifiers) self->invalidProducts_.insert(id);
                            done(true);
                          });
}

void TLWInAppPurchaseReporter::paymentQueueUpdatedFilteredTransactions(const Array& transactionValues) {
  std::vector<std::shared_ptr<PaymentTransaction>> purchased;
  std::vector<std::string> missing;
  for (auto& t : transactionsOf(transactionValues)) {
    const std::string& id = t->payment().productIdentifier;
    if (t->transactionState() != PaymentTransactionState::Purchased || id.empty()) continue;
    if (!cachedProductForProductIdentifier(id) && std::find(missing.begin(), missing.end(), id) == missing.end()) {
      missing.push_back(id);
    }
    purchased.push_back(std::move(t));
  }
  if (purchased.empty()) return;
  std::weak_ptr<TLWInAppPurchaseReporter> weak = weak_from_this();
  auto report = [weak, purchased] {
    if (auto self = weak.lock()) self->reportTransactionsFromArray(purchased);
  };
  if (missing.empty()) {
    deps_.reportQueue->async(std::move(report));
    return;
  }
  requestProducts(missing, [weak, report, purchased](bool ok) {
    auto self = weak.lock();
    if (!self) return;
    if (ok) {
      self->deps_.reportQueue->async(report);
    } else {
      self->forgetPurchases(purchased);
    }
  });
}

// ------------------------------------------------------------------ receipt

bool TLWInAppPurchaseReporter::receiptCheckEnabled() {
  auto bundle = deps_.env->mainBundle();
  const Value enabled = bundle ? bundle->objectForInfoDictionaryKey(kReceiptSwitchKey) : Value();
  return !(enabled.isNumber() && !enabled.boolValue().value_or(true));
}

std::optional<std::vector<std::uint8_t>> TLWInAppPurchaseReporter::readReceipt(bool logMissing) {
  if (!receiptCheckEnabled()) return std::nullopt;
  const std::string path = store_->appStoreReceiptPath();
  auto files = deps_.env->fileSystem();
  const auto size = path.empty() ? std::nullopt : files->fileSize(path);
  if (!size || *size > TLWPurchaseReceipt::kMaxReceiptBytes) {
    if (logMissing) deps_.monitor->logWithLevel(5, 39009, "Parsed data is nil");
    return std::nullopt;
  }
  auto text = files->readFile(path);
  if (!text) {
    if (logMissing) deps_.monitor->logWithLevel(5, 39009, "Parsed data is nil");
    return std::nullopt;
  }
  return std::vector<std::uint8_t>(text->begin(), text->end());
}

bool TLWInAppPurchaseReporter::isSimulator() {
  const std::string model = deps_.env->device()->deviceModel();
  return model == "x86_64" || model == "i386";
}

bool TLWInAppPurchaseReporter::isSandboxReceipt() {
  if (!receiptCheckEnabled()) return false;
  const std::string path = store_->appStoreReceiptPath();
  return path.size() >= 14 && path.compare(path.size() - 14, 14, "sandboxReceipt") == 0 &&
         (path.size() == 14 || path[path.size() - 15] == '/');
}

bool TLWInAppPurchaseReporter::isReceiptValidated() {
  std::lock_guard lock(onceMutex_);
  if (receiptValidated_) return *receiptValidated_;
  if (isSimulator()) {
    deps_.monitor->logWithLevel(5, 39000, "Parsed data is on simulator");
    return *(receiptValidated_ = false);
  }
  if (isSandboxReceipt()) {
    deps_.monitor->logWithLevel(5, 39001, "Parsed data is sandbox");
    return *(receiptValidated_ = false);
  }
  // Not cached without a receipt: the store writes it with the first purchase.
  auto receipt = readReceipt(true);
  if (!receipt) return false;
  auto vendor = platform::uuidBytes(deps_.env->device()->vendorIdentifier());
  auto bundle = deps_.env->mainBundle();
  receiptValidated_ = TLWPurchaseReceipt::isVerified(*receipt, vendor.value_or(std::vector<std::uint8_t>{}),
                                                     bundle ? bundle->bundleIdentifier() : std::string(),
                                                     *deps_.monitor);
  return *receiptValidated_;
}

bool TLWInAppPurchaseReporter::isVersionSameAsOriginalVersion() {
  std::lock_guard lock(onceMutex_);
  if (versionSameAsOriginal_) return *versionSameAsOriginal_;
  if (isSimulator() || isSandboxReceipt()) return *(versionSameAsOriginal_ = true);
  const auto receipt = readReceipt(false);
  if (!receipt) {
    deps_.monitor->logWithLevel(5, 39002, "Version data is nil");
    return *(versionSameAsOriginal_ = false);
  }
  if (receipt->empty()) {
    deps_.monitor->logWithLevel(5, 39004, "Version data is empty");
    return *(versionSameAsOriginal_ = false);
  }
  const auto original = TLWPurchaseReceipt::originalApplicationVersion(*receipt, *deps_.monitor);
  auto bundle = deps_.env->mainBundle();
  versionSameAsOriginal_ = original && bundle && *original == bundle->bundleVersion();
  return *versionSameAsOriginal_;
}

void TLWInAppPurchaseReporter::registerAppForAdNetworkAttribution() { store_->registerAppForAdNetworkAttribution(); }

// ------------------------------------------------------------------ report

void TLWInAppPurchaseReporter::reportTransactionsFromArray(
    const std::vector<std::shared_ptr<PaymentTransaction>>& transactions) {
  std::lock_guard lock(reportMutex_);
  std::vector<TLWInAppPurchaseItem> items;
  if (auto receipt = readReceipt(false); receipt && !receipt->empty()) {
    items = TLWPurchaseReceipt::purchaseItems(*receipt, deps_.monitor.get());
    deps_.monitor->logWithLevel(7, 21028, "Parsed purchase items from receipt");
  } else {
    deps_.monitor->logWithLevel(5, 39009, "Parsed data is nil");
  }
  for (const auto& t : transactions) {
    if (!t) continue;
    const auto product = cachedProductForProductIdentifier(t->payment().productIdentifier);
    Dictionary parameters = parametersForTransaction(*t, product ? &*product : nullptr, items);
    if (parameters.empty()) {
      forgetPurchases({t});
      continue;
    }
    std::string name = "_iap";
    if (!isReceiptValidated() || flagValue(parameters, "invalid") == 1) {
      name = "_iapx";
      if (isSandboxReceipt()) parameters.set("sandbox", 1);
      parameters.erase("invalid");
    }
    if (flagValue(parameters, "sub_renew") == 1) {
      parameters.erase("sub_renew");
      name = "_assr";
    }
    if (flagValue(parameters, "sub_convert") == 1) {
      parameters.erase("sub_convert");
      name = "_assc";
    }
    if (deps_.logEvent) deps_.logEvent(name, parameters);
    rememberPurchase(*t);
  }
}

Dictionary TLWInAppPurchaseReporter::parametersForTransaction(const PaymentTransaction& t, const Product* product,
                                                              const std::vector<TLWInAppPurchaseItem>& items) {
  TLWMonitor& monitor = *deps_.monitor;
  if (!product) {
    monitor.logWithLevel(8, 40026, "IAP Transaction cannot be created from nil product");
    return {};
  }
  const std::string& productID = product->productIdentifier;
  if (productID.empty()) {
    monitor.logWithLevel(8, 40027, "IAP Transaction cannot be created from empty or nil product ID");
    return {};
  }
  const std::int64_t quantity = t.payment().quantity;
  Dictionary base;
  base.set("product_id", productID);
  const auto price = product->price.microsTimes(1);
  const auto value = product->price.microsTimes(quantity);
  if (price) base.set("price", static_cast<long long>(*price));
  if (value) base.set("value", static_cast<long long>(*value));
  base.set("quantity", static_cast<long long>(quantity));
  if (!product->currencyCode.empty()) base.set("currency", product->currencyCode);
  if (!product->localizedTitle.empty()) base.set("product_name", product->localizedTitle);
  if (t.transactionIdentifier().empty()) monitor.logWithLevel(8, 40003, "Transaction ID cannot be nil or empty.");

  std::vector<const TLWInAppPurchaseItem*> withProduct;
  for (const auto& item : items) {
    if (item.productID == productID) withProduct.push_back(&item);
  }
  const auto& original = t.originalTransaction();
  const bool restored = original && original->transactionIdentifier() != t.transactionIdentifier();

  Dictionary result = base;
  auto invalid = [&result](bool subscription) {
    result.set("invalid", 1);
    if (subscription) result.set("subscription", 1);
  };
  [&] {
    if (withProduct.empty()) {
      monitor.logWithLevel(8, 40020, "Transaction missing in receipt will be reported as invalid");
      return invalid(false);
    }
    const TLWInAppPurchaseItem& last = *withProduct.back();
    if (last.purchaseType == 0 && restored) {
      monitor.logWithLevel(8, 40005, "Restore/repurchase of non-consumable item will be reported as invalid");
      return invalid(false);
    }
    const bool sub = last.purchaseType == 2 || last.purchaseType == 3 || last.webOrderLineItemID.has_value();
    if (!sub) {
      // One-time purchases: with several records of the product (a consumable bought
      // again), the record of this very transaction decides; never the subscription path.
      const TLWInAppPurchaseItem* item = &last;
      if (withProduct.size() > 1) {
        auto it = std::find_if(withProduct.begin(), withProduct.end(), [&t](const TLWInAppPurchaseItem* i) {
          return i->transactionID == t.transactionIdentifier();
        });
        item = it != withProduct.end() ? *it : nullptr;
      }
      if (item && item->transactionID == item->originalTransactionID) {
        if (item->purchaseType == 1) {
          monitor.logWithLevel(8, 40021, "Transaction of consumable item will be reported");
        } else {
          monitor.logWithLevel(8, 40022, "Transaction of non-consumable item will be reported");
        }
        setDeduplicationID(result, deduplicationID(item->originalTransactionID, std::nullopt, productID));
      } else {
        monitor.logWithLevel(8, 40007,
                             "Transaction with mismatched transaction ID and original transaction ID will be reported "
                             "as consumable");
      }
      return;
    }
    std::vector<const TLWInAppPurchaseItem*> sameDate;
    for (const auto* item : withProduct) {
      auto date = TLWPurchaseReceipt::parseDate(item->purchaseDateIA5String);
      if (date && *date == t.transactionDate()) sameDate.push_back(item);
    }
    if (sameDate.empty()) {
      monitor.logWithLevel(8, 40023, "Subscription transaction missing in receipt will be reported as invalid");
      return invalid(true);
    }
    if (sameDate.size() > 1) {
      monitor.logWithLevel(8, 40024, "Subscription transaction with duplicate transaction date will be reported as invalid",
                           Value(static_cast<long long>(sameDate.size())));
      return invalid(true);
    }
    const TLWInAppPurchaseItem& j = *sameDate.front();
    if (last.purchaseType == 2) {
      result.set("subscription", 1);
      setDeduplicationID(result, deduplicationID(j.originalTransactionID, std::nullopt, productID));
      monitor.logWithLevel(8, 40025, "Transaction of non-renewing subscription will be reported");
      return;
    }
    if (j.transactionID == j.originalTransactionID) result.set("subscription", 1);
    setDeduplicationID(result, deduplicationID(j.originalTransactionID, j.webOrderLineItemID, productID));
    auto markRenewalOrConversion = [&] {
      if (j.originalTransactionID == j.transactionID) return;
      auto it = std::find(withProduct.begin(), withProduct.end(), &j);
      const bool afterTrial = it != withProduct.begin() && (*(it - 1))->freeTrial;
      result.set(afterTrial ? "sub_convert" : "sub_renew", 1);
    };
    if (!j.freeTrial && !j.introductoryOffer) {
      monitor.logWithLevel(8, 40008, "Transaction of auto-renewable subscription will be reported");
      return markRenewalOrConversion();
    }
    if (j.freeTrial) {
      result.set("free_trial", 1);
      if (restored) {
        monitor.logWithLevel(8, 40011, "Repurchase of free-trial auto-renewable subscription will be reported as invalid");
        result.set("invalid", 1);
        return;
      }
      monitor.logWithLevel(8, 40009, "Transaction of free-trial auto-renewable subscription will be reported");
    }
    if (j.introductoryOffer) {
      result.set("price_is_discounted", 1);
      markRenewalOrConversion();
      monitor.logWithLevel(8, 40018, "Transaction of introductory offer will be reported");
    } else {
      monitor.logWithLevel(8, 40010, "Transaction of auto-renewable subscription renewal will be reported");
    }
  }();

  // Discounts.
  auto zeroPrice = [&result] {
    result.set("original_price", result.get("price"));
    result.set("price_is_discounted", 1);
    result.set("price", 0);
    result.set("value", 0);
  };
  if (flagValue(result, "free_trial") == 1) {
    if (result.contains("price")) zeroPrice();
  } else if (flagValue(result, "price_is_discounted") == 1 && product->introductoryPrice) {
    const auto& intro = *product->introductoryPrice;
    if (intro.paymentMode == 2) {
      if (result.contains("price")) zeroPrice();
    } else {
      const auto introPrice = intro.price.microsTimes(1);
      const auto introValue = intro.price.microsTimes(quantity);
      if (introPrice && introValue && result.contains("price")) {
        result.set("original_price", result.get("price"));
        result.set("price", static_cast<long long>(*introPrice));
        result.set("value", static_cast<long long>(*introValue));
      }
    }
  }
  for (const char* required : {"price", "value", "currency", "product_id"}) {
    if (!result.contains(required)) {
      monitor.logWithLevel(1, 21029, "Purchase cannot be reported without its price, value, currency and product. "
                                     "Product ID, missing", Value(productID), Value(required));
      return {};
    }
  }
  return result;
}
