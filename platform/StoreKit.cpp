#include "platform/StoreKit.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <limits>

#include "platform/Digest.h"
#include "platform/PropertyList.h"
#include "platform/StoreReceipt.h"
#include "platform/app/AppLog.h"
#include "platform/app/Bundle.h"
#include "platform/app/ClassRegistry.h"

namespace platform {

// ------------------------------------------------------------------------- Decimal

std::optional<Decimal> Decimal::fromString(std::string_view text) {
  Decimal d;
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) d.negative_ = text[i++] == '-';
  std::string digits;
  std::size_t scale = 0;
  bool point = false, any = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.' && !point) {
      point = true;
    } else if (c >= '0' && c <= '9') {
      digits.push_back(c);
      any = true;
      if (point) ++scale;
    } else {
      return std::nullopt;
    }
  }
  if (!any || digits.size() > kMaxDigits) return std::nullopt;
  d.digits_ = std::move(digits);
  d.scale_ = scale;
  return d;
}

std::string Decimal::toString() const {
  std::string whole = digits_.substr(0, digits_.size() - scale_);
  std::string fraction = digits_.substr(digits_.size() - scale_);
  whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size()));
  if (whole.empty()) whole = "0";
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  std::string out = isNegative() ? "-" : "";
  out += whole;
  if (!fraction.empty()) out += "." + fraction;
  return out;
}

std::optional<std::int64_t> Decimal::microsTimes(std::int64_t factor) const {
  // Schoolbook product of the digit string and |factor|, least significant digit first.
  const bool negative = (isNegative() != (factor < 0)) && factor != 0;
  unsigned __int128 multiplier = factor < 0 ? static_cast<unsigned __int128>(-(factor + 1)) + 1
                                            : static_cast<unsigned __int128>(factor);
  std::string product;
  unsigned __int128 carry = 0;
  for (auto it = digits_.rbegin(); it != digits_.rend(); ++it) {
    carry += static_cast<unsigned __int128>(*it - '0') * multiplier;
    product.push_back(static_cast<char>('0' + static_cast<int>(carry % 10)));
    carry /= 10;
  }
  while (carry > 0) {
    product.push_back(static_cast<char>('0' + static_cast<int>(carry % 10)));
    carry /= 10;
  }
  std::reverse(product.begin(), product.end());
  // Shift the point six places right and drop what is left after it.
  if (scale_ <= 6) {
    product.append(6 - scale_, '0');
  } else {
    const std::size_t drop = scale_ - 6;
    product = product.size() > drop ? product.substr(0, product.size() - drop) : "0";
  }
  unsigned __int128 magnitude = 0;
  const unsigned __int128 limit = static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max()) + 1;
  for (char c : product) {
    magnitude = magnitude * 10 + static_cast<unsigned>(c - '0');
    if (magnitude > limit) return std::nullopt;
  }
  if (!negative && magnitude == limit) return std::nullopt;
  if (negative) return static_cast<std::int64_t>(-static_cast<__int128>(magnitude));
  return static_cast<std::int64_t>(magnitude);
}

// ------------------------------------------------------------------ transactions

std::string PaymentTransaction::description() const {
  return "<SKPaymentTransaction " + identifier_ + " " + payment_.productIdentifier + " state " +
         std::to_string(static_cast<std::int64_t>(state_)) + ">";
}

void PaymentQueue::addTransactionObserver(const std::shared_ptr<PaymentTransactionObserver>& observer) {
  if (!observer) return;
  // The last references of observers gone meanwhile are dropped after the lock.
  std::vector<std::shared_ptr<PaymentTransactionObserver>> live;
  std::vector<std::shared_ptr<PaymentTransaction>> unfinished;
  {
    std::lock_guard lock(mutex_);
    for (const auto& weak : observers_) {
      if (auto strong = weak.lock()) live.push_back(std::move(strong));
    }
    std::erase_if(observers_, [](const auto& weak) { return weak.expired(); });
    if (std::find(live.begin(), live.end(), observer) != live.end()) return;
    observers_.push_back(observer);
    unfinished = unfinished_;
  }
  // As a store's queue does: what is not finished yet is told to a new observer too.
  if (!unfinished.empty()) deliver(observer, unfinished);
}

void PaymentQueue::removeTransactionObserver(const PaymentTransactionObserver* observer) {
  // Declared before the lock, so the references taken here are dropped after it.
  std::vector<std::shared_ptr<PaymentTransactionObserver>> live;
  std::lock_guard lock(mutex_);
  std::vector<std::weak_ptr<PaymentTransactionObserver>> kept;
  for (const auto& weak : observers_) {
    auto strong = weak.lock();
    if (!strong || strong.get() == observer) {
      live.push_back(std::move(strong));
      continue;
    }
    kept.push_back(weak);
    live.push_back(std::move(strong));
  }
  observers_ = std::move(kept);
}

std::size_t PaymentQueue::observerCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(
      std::count_if(observers_.begin(), observers_.end(), [](const auto& weak) { return !weak.expired(); }));
}

void PaymentQueue::setPurchaseRecorder(std::function<void(const PaymentTransaction&)> recorder) {
  std::lock_guard lock(mutex_);
  recorder_ = std::move(recorder);
}

std::shared_ptr<PaymentTransaction> PaymentQueue::addPayment(const Payment& payment) {
  std::string identifier;
  {
    std::lock_guard lock(mutex_);
    if (nextIdentifier_ == 1000000000000001ULL && clock_) {
      // Identifiers stay unique across launches, as the store's are.
      nextIdentifier_ = static_cast<std::uint64_t>(clock_->now() * 1000.0) * 1000;
    }
    identifier = std::to_string(nextIdentifier_++);
  }
  const double now = clock_ ? clock_->now() : 0;
  auto purchasing = std::make_shared<PaymentTransaction>(PaymentTransactionState::Purchasing, "", now, payment);
  updateTransactions({purchasing});
  auto purchased = std::make_shared<PaymentTransaction>(PaymentTransactionState::Purchased, identifier,
                                                        std::floor(now), payment);
  updateTransactions({purchased});
  return purchased;
}

void PaymentQueue::finishTransaction(const PaymentTransaction& transaction) {
  std::lock_guard lock(mutex_);
  std::erase_if(unfinished_, [&](const auto& t) { return t.get() == &transaction; });
}

std::size_t PaymentQueue::unfinishedTransactionCount() const {
  std::lock_guard lock(mutex_);
  return unfinished_.size();
}

void PaymentQueue::deliver(const std::shared_ptr<PaymentTransactionObserver>& observer,
                           const std::vector<std::shared_ptr<PaymentTransaction>>& transactions) {
  {
    std::lock_guard lock(mutex_);
    if (std::none_of(observers_.begin(), observers_.end(), [&](const auto& weak) {
          return !weak.owner_before(observer) && !observer.owner_before(weak);
        })) {
      return;
    }
  }
  // Each observer is the app's or a library's code: one that throws keeps no other from
  // hearing, and nothing escapes to whoever posted.
  try {
    observer->paymentQueueUpdatedTransactions(*this, transactions);
  } catch (const std::exception& e) {
    applog::log(VXLLoggerLevel::Error, applog::kAppService, "I-APP000020",
                std::string("A payment transaction observer threw: ") + e.what());
  } catch (...) {
    applog::log(VXLLoggerLevel::Error, applog::kAppService, "I-APP000020", "A payment transaction observer threw");
  }
}

void PaymentQueue::updateTransactions(const std::vector<std::shared_ptr<PaymentTransaction>>& transactions) {
  std::vector<std::shared_ptr<PaymentTransactionObserver>> observers;
  std::function<void(const PaymentTransaction&)> recorder;
  {
    std::lock_guard lock(mutex_);
    for (const auto& weak : observers_) {
      if (auto strong = weak.lock()) observers.push_back(std::move(strong));
    }
    recorder = recorder_;
    for (const auto& t : transactions) {
      if (!t || t->transactionState() == PaymentTransactionState::Purchasing) continue;
      if (unfinished_.size() >= kMaxUnfinishedTransactions) unfinished_.erase(unfinished_.begin());
      unfinished_.push_back(t);
    }
  }
  if (recorder) {
    for (const auto& t : transactions) {
      if (t && t->transactionState() == PaymentTransactionState::Purchased) recorder(*t);
    }
  }
  for (const auto& observer : observers) deliver(observer, transactions);
}

// ------------------------------------------------------------------ Linux store

namespace {

// Receipt item purchase types.
constexpr std::int64_t kNonConsumable = 0, kConsumable = 1, kNonRenewing = 2, kAutoRenewable = 3;

std::int64_t purchaseTypeNamed(const std::string& type) {
  if (type == "non_consumable") return kNonConsumable;
  if (type == "non_renewing") return kNonRenewing;
  if (type == "auto_renewable") return kAutoRenewable;
  return kConsumable;
}

class LinuxStoreKit final : public StoreKit, public std::enable_shared_from_this<LinuxStoreKit> {
 public:
  LinuxStoreKit(std::string receiptFolder, std::shared_ptr<Bundle> bundle, std::shared_ptr<FileSystem> files,
                std::shared_ptr<Device> device, std::shared_ptr<Random> random, std::shared_ptr<Clock> clock)
      : receiptFolder_(std::move(receiptFolder)),
        bundle_(std::move(bundle)),
        files_(std::move(files)),
        device_(std::move(device)),
        random_(std::move(random)),
        queue_(std::make_shared<PaymentQueue>(std::move(clock))) {}

  void attachRecorder() {
    std::weak_ptr<LinuxStoreKit> weak = weak_from_this();
    queue_->setPurchaseRecorder([weak](const PaymentTransaction& t) {
      if (auto self = weak.lock()) self->recordPurchase(t);
    });
  }

  std::shared_ptr<PaymentQueue> defaultPaymentQueue() override { return queue_; }

  void requestProducts(const std::vector<std::string>& identifiers, std::shared_ptr<DispatchQueue> queue,
                       ProductsCompletion completion) override {
    if (!queue) queue = DispatchQueue::global(QueuePriority::Default);
    ProductsResponse response;
    std::string error;
    const auto catalog = readCatalog();
    if (!catalog) {
      error = "No product catalog in the app bundle";
    } else {
      for (const auto& id : identifiers) {
        if (auto product = productFrom(id, catalog->get(id))) {
          response.products.push_back(std::move(*product));
        } else {
          response.invalidProductIdentifiers.push_back(id);
        }
      }
    }
    queue->async([completion = std::move(completion), response = std::move(response), error] {
      if (completion) completion(response, error);
    });
  }

  // Like the store at install, the first look at the receipt writes one naming the
  // running version as the original one.
  std::string appStoreReceiptPath() override {
    const std::string path = receiptPath();
    if (path.empty()) return {};
    std::lock_guard lock(receiptMutex_);
    loadContentsLocked();
    return path;
  }

  void registerAppForAdNetworkAttribution() override { registrations_.fetch_add(1); }
  std::int64_t adNetworkRegistrationCount() override { return registrations_.load(); }

 private:
  // A catalog entry: {"price": "0.99", "currency": "EUR", "title": "...",
  // "introductory_price": "0.49", "introductory_payment_mode": 1}.
  static std::optional<Product> productFrom(const std::string& id, const Value& entry) {
    const Dictionary* d = entry.dictionary();
    if (!d) return std::nullopt;
    const std::string* priceText = d->get("price").string();
    auto price = priceText ? Decimal::fromString(*priceText) : std::nullopt;
    if (!price) return std::nullopt;
    Product p{id, *price, d->get("currency").stringOr(), d->get("title").stringOr(), std::nullopt};
    if (const std::string* intro = d->get("introductory_price").string()) {
      if (auto introPrice = Decimal::fromString(*intro)) {
        p.introductoryPrice = ProductDiscount{*introPrice, d->get("introductory_payment_mode").int64Value().value_or(0)};
      }
    }
    return p;
  }

  std::optional<Dictionary> readCatalog() const {
    const auto path = bundle_ ? bundle_->pathForResource(kProductCatalogResource, "plist") : std::nullopt;
    return path ? Bundle::readDictionaryFile(*files_, *path) : std::nullopt;
  }

  std::string receiptPath() const { return receiptFolder_.empty() ? std::string() : receiptFolder_ + "/receipt"; }
  std::string contentsPath() const { return receiptFolder_ + "/receipt-contents.plist"; }

  // What the receipt holds is kept beside it as a property list, so that later launches
  // add to it rather than start over.
  void loadContentsLocked() {
    if (loaded_) return;
    loaded_ = true;
    const auto saved = Bundle::readDictionaryFile(*files_, contentsPath());
    if (saved && files_->exists(receiptPath())) {
      contents_.bundleIdentifier = saved->get("bundle_id").stringOr();
      contents_.originalApplicationVersion = saved->get("original_version").stringOr();
      if (const auto* opaque = saved->get("opaque").dataBytes()) contents_.opaqueValue = *opaque;
      if (const Array* items = saved->get("items").array()) {
        for (const Value& v : *items) {
          const Dictionary* d = v.dictionary();
          if (!d) continue;
          StoreReceiptItem item;
          item.productID = d->get("product").stringOr();
          item.transactionID = d->get("transaction").stringOr();
          item.originalTransactionID = d->get("original_transaction").stringOr();
          item.purchaseDate = d->get("date").stringOr();
          item.originalPurchaseDate = d->get("original_date").stringOr();
          item.purchaseType = d->get("type").int64Value().value_or(1);
          item.subscriptionExpirationDate = d->get("expires").stringOr();
          item.freeTrial = d->get("trial").boolValue().value_or(false);
          item.introductoryOffer = d->get("intro").boolValue().value_or(false);
          item.webOrderLineItemID = static_cast<std::uint64_t>(std::max<std::int64_t>(0, d->get("line").int64Value().value_or(0)));
          contents_.items.push_back(std::move(item));
        }
      }
      if (!contents_.opaqueValue.empty()) return;
    }
    contents_ = {};
    contents_.bundleIdentifier = bundle_->bundleIdentifier();
    contents_.originalApplicationVersion = bundle_->bundleVersion();
    contents_.opaqueValue.resize(16);
    random_->fill(contents_.opaqueValue.data(), contents_.opaqueValue.size());
    writeLocked();
  }

  void writeLocked() {
    contents_.vendorIdentifierBytes = uuidBytes(device_->vendorIdentifier()).value_or(std::vector<std::uint8_t>(16));
    const auto bytes = encodeStoreReceipt(contents_);
    const std::string path = receiptPath();
    bool written = files_->createDirectories(receiptFolder_);
    Array items;
    for (const auto& item : contents_.items) {
      items.push_back(Value(Dictionary{{"product", item.productID},
                                       {"transaction", item.transactionID},
                                       {"original_transaction", item.originalTransactionID},
                                       {"date", item.purchaseDate},
                                       {"original_date", item.originalPurchaseDate},
                                       {"type", static_cast<long long>(item.purchaseType)},
                                       {"expires", item.subscriptionExpirationDate},
                                       {"trial", item.freeTrial},
                                       {"intro", item.introductoryOffer},
                                       {"line", static_cast<long long>(item.webOrderLineItemID)}}));
    }
    Dictionary saved{{"bundle_id", contents_.bundleIdentifier},
                     {"original_version", contents_.originalApplicationVersion},
                     {"opaque", Value::data(Value::Data(contents_.opaqueValue))},
                     {"items", Value(std::move(items))}};
    auto plist = PropertyList::dataWithPropertyList(Value(std::move(saved)), PropertyListFormat::Binary);
    // Owner-only, as everything in the sandbox.
    written = written && plist && files_->writeFileAtomically(contentsPath(), *plist, 0600) &&
              files_->writeFileAtomically(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                                          0600);
    // A receipt that lags behind the purchases makes them look unverified: say so.
    if (!written) {
      applog::log(VXLLoggerLevel::Error, applog::kAppService, "I-APP000021",
                  "Could not write the store receipt in " + receiptFolder_);
    }
  }

  void recordPurchase(const PaymentTransaction& t) {
    if (receiptPath().empty()) return;
    std::lock_guard lock(receiptMutex_);
    loadContentsLocked();
    StoreReceiptItem item;
    item.productID = t.payment().productIdentifier;
    item.transactionID = t.transactionIdentifier();
    item.originalTransactionID = t.originalTransaction() ? t.originalTransaction()->transactionIdentifier()
                                                         : t.transactionIdentifier();
    item.purchaseDate = storeReceiptDateString(t.transactionDate());
    item.originalPurchaseDate = item.purchaseDate;
    const auto catalog = readCatalog();
    const Dictionary* entry = catalog ? catalog->get(item.productID).dictionary() : nullptr;
    item.purchaseType = purchaseTypeNamed(entry ? entry->get("type").stringOr() : std::string());
    const auto earlier = std::find_if(contents_.items.begin(), contents_.items.end(),
                                      [&](const StoreReceiptItem& i) { return i.productID == item.productID; });
    if (earlier != contents_.items.end() && item.purchaseType != kConsumable && item.purchaseType != kNonRenewing) {
      item.originalTransactionID = earlier->originalTransactionID;
      item.originalPurchaseDate = earlier->originalPurchaseDate;
    }
    if (item.purchaseType == kAutoRenewable) {
      const std::int64_t days = entry ? entry->get("period_days").int64Value().value_or(30) : 30;
      item.subscriptionExpirationDate = storeReceiptDateString(t.transactionDate() + static_cast<double>(days) * 86400);
      std::uint64_t lastLineItem = 0;
      for (const auto& i : contents_.items) lastLineItem = std::max(lastLineItem, i.webOrderLineItemID);
      item.webOrderLineItemID = lastLineItem + 1;
      if (earlier == contents_.items.end() && entry && entry->get("introductory_price").string()) {
        const bool trial = entry->get("introductory_payment_mode").int64Value().value_or(0) == 2;
        (trial ? item.freeTrial : item.introductoryOffer) = true;
      }
    }
    contents_.items.push_back(std::move(item));
    writeLocked();
  }

  const std::string receiptFolder_;
  std::shared_ptr<Bundle> bundle_;
  std::shared_ptr<FileSystem> files_;
  std::shared_ptr<Device> device_;
  std::shared_ptr<Random> random_;
  std::shared_ptr<PaymentQueue> queue_;
  std::atomic<std::int64_t> registrations_{0};
  std::mutex receiptMutex_;
  bool loaded_ = false;             // guarded by receiptMutex_
  StoreReceiptContents contents_;  // guarded by receiptMutex_
};

}  // namespace

std::string storeReceiptFolder(Environment& env) {
  auto sandbox = env.sandbox();
  return sandbox ? sandbox->root() + "/Library/StoreKit" : std::string();
}

std::shared_ptr<StoreKit> makeLinuxStoreKit(Environment& env) {
  auto store = std::make_shared<LinuxStoreKit>(storeReceiptFolder(env), env.mainBundle(), env.fileSystem(),
                                               env.device(), env.random(), env.clock());
  store->attachRecorder();
  return store;
}

std::shared_ptr<SearchAdsClient> searchAdsClient(Environment& env) {
  auto registry = env.classRegistry();
  if (!registry) return nullptr;
  auto answer = registry->invokeClassMethod(kSearchAdsClientClassName, "sharedClient");
  if (!answer) return nullptr;
  return answer->objectAs<SearchAdsClient>();
}

}  // namespace platform
