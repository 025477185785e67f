#pragma once
// The store: the payment queue with its transaction observers, the product catalog, the
// app's store receipt (a file in the app bundle), ad-network registration, and the
// search-ads attribution client found by class name. The Linux store (makeLinuxStoreKit)
// keeps the queue in memory, reads its catalog from the bundle's "StoreKitProducts.plist"
// and, like the phone's store, rewrites the bundle's receipt after each purchase.
//
// Thread-safety: every operation may be called from any thread. Observers are called on
// the thread that changed the transactions, outside the queue's lock; product requests
// complete on the queue given to them.
//
// Ownership: the payment queue holds its observers weakly; one that is gone is skipped.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/DispatchQueue.h"
#include "platform/Environment.h"
#include "platform/Value.h"

namespace platform {

// An exact decimal number ("0.99", "-12.3456789012345678"): prices never pass through a
// binary floating point type.
class Decimal {
 public:
  // Digits beyond this are refused as input.
  static constexpr std::size_t kMaxDigits = 38;

  Decimal() = default;
  // "[-]digits[.digits]"; nullopt for anything else or more than kMaxDigits digits.
  static std::optional<Decimal> fromString(std::string_view text);
  std::string toString() const;
  bool isZero() const { return digits_.find_first_not_of('0') == std::string::npos; }
  bool isNegative() const { return negative_ && !isZero(); }
  // value × factor × 1,000,000 truncated toward zero; nullopt when it does not fit 64 bits.
  std::optional<std::int64_t> microsTimes(std::int64_t factor) const;
  bool operator==(const Decimal& other) const { return toString() == other.toString(); }

 private:
  bool negative_ = false;
  std::string digits_ = "0";  // all digits, without the point
  std::size_t scale_ = 0;     // how many of them follow the point
};

enum class PaymentTransactionState : std::int64_t {
  Purchasing = 0,
  Purchased = 1,
  Failed = 2,
  Restored = 3,
  Deferred = 4,
};

struct Payment {
  std::string productIdentifier;
  std::int64_t quantity = 1;
};

// One store transaction, carried in Values ("SKPaymentTransaction").
class PaymentTransaction : public ValueObject {
 public:
  PaymentTransaction(PaymentTransactionState state, std::string transactionIdentifier, double transactionDate,
                     Payment payment, std::shared_ptr<PaymentTransaction> originalTransaction = nullptr,
                     std::int64_t errorCode = 0)
      : state_(state),
        identifier_(std::move(transactionIdentifier)),
        date_(transactionDate),
        payment_(std::move(payment)),
        original_(std::move(originalTransaction)),
        errorCode_(errorCode) {}

  PaymentTransactionState transactionState() const { return state_; }
  const std::string& transactionIdentifier() const { return identifier_; }
  double transactionDate() const { return date_; }
  const Payment& payment() const { return payment_; }
  // For a restored or renewed transaction, the first purchase; null otherwise.
  const std::shared_ptr<PaymentTransaction>& originalTransaction() const { return original_; }
  std::int64_t errorCode() const { return errorCode_; }

  std::string className() const override { return "SKPaymentTransaction"; }
  std::string description() const override;

 private:
  PaymentTransactionState state_;
  std::string identifier_;
  double date_;
  Payment payment_;
  std::shared_ptr<PaymentTransaction> original_;
  std::int64_t errorCode_;
};

struct ProductDiscount {
  Decimal price;
  // 0 pay as you go, 1 pay up front, 2 free trial.
  std::int64_t paymentMode = 0;
};

struct Product {
  std::string productIdentifier;
  Decimal price;
  std::string currencyCode;  // of the price locale
  std::string localizedTitle;
  std::optional<ProductDiscount> introductoryPrice;
};

class PaymentQueue;

class PaymentTransactionObserver {
 public:
  virtual ~PaymentTransactionObserver() = default;
  virtual void paymentQueueUpdatedTransactions(PaymentQueue& queue,
                                               const std::vector<std::shared_ptr<PaymentTransaction>>& transactions) = 0;
};

// The default payment queue: observers and the transactions the app posts. An observer
// removed while others are told is not told after its removal.
class PaymentQueue {
 public:
  explicit PaymentQueue(std::shared_ptr<Clock> clock) : clock_(std::move(clock)) {}

  void addTransactionObserver(const std::shared_ptr<PaymentTransactionObserver>& observer);
  void removeTransactionObserver(const PaymentTransactionObserver* observer);
  std::size_t observerCount() const;

  // Buys a product: a new transaction goes through purchasing to purchased; each state is
  // told to the observers. Returns the purchased transaction.
  std::shared_ptr<PaymentTransaction> addPayment(const Payment& payment);
  // Tells the observers about transactions made elsewhere (restores, renewals, failures).
  void updateTransactions(const std::vector<std::shared_ptr<PaymentTransaction>>& transactions);
  // Called with every purchased transaction before the observers hear of it (the store
  // records it in the receipt).
  void setPurchaseRecorder(std::function<void(const PaymentTransaction&)> recorder);
  // A transaction stays unfinished (and is told to every observer added later) until the
  // app finishes it; the oldest go past kMaxUnfinishedTransactions.
  void finishTransaction(const PaymentTransaction& transaction);
  std::size_t unfinishedTransactionCount() const;
  static constexpr std::size_t kMaxUnfinishedTransactions = 100;

 private:
  // Tells one observer still registered; an exception it throws is logged and stops
  // nothing else.
  void deliver(const std::shared_ptr<PaymentTransactionObserver>& observer,
               const std::vector<std::shared_ptr<PaymentTransaction>>& transactions);

  std::shared_ptr<Clock> clock_;
  mutable std::mutex mutex_;
  std::vector<std::weak_ptr<PaymentTransactionObserver>> observers_;
  std::vector<std::shared_ptr<PaymentTransaction>> unfinished_;
  std::function<void(const PaymentTransaction&)> recorder_;
  std::uint64_t nextIdentifier_ = 1000000000000001ULL;
};

struct ProductsResponse {
  std::vector<Product> products;
  std::vector<std::string> invalidProductIdentifiers;
};
// `error` is empty on success.
using ProductsCompletion = std::function<void(const ProductsResponse& response, const std::string& error)>;

// The attribution answer of the search-ads service: the details dictionary, or an error.
class SearchAdsClient : public ValueObject {
 public:
  using Completion = std::function<void(const std::optional<Dictionary>& details, const std::string& error)>;
  // May complete on any thread, at once or later.
  virtual void requestAttributionDetails(Completion completion) = 0;
  std::string className() const override { return "ADClient"; }
};

inline constexpr std::string_view kSearchAdsClientClassName = "ADClient";
inline constexpr std::string_view kProductCatalogResource = "StoreKitProducts";

class StoreKit {
 public:
  virtual ~StoreKit() = default;
  virtual std::shared_ptr<PaymentQueue> defaultPaymentQueue() = 0;
  // Completes once on `queue` (null: the global default queue).
  virtual void requestProducts(const std::vector<std::string>& productIdentifiers,
                               std::shared_ptr<DispatchQueue> queue, ProductsCompletion completion) = 0;
  // The receipt's path ("<receipt folder>/receipt", or ".../sandboxReceipt"); "" when none.
  virtual std::string appStoreReceiptPath() = 0;
  virtual void registerAppForAdNetworkAttribution() = 0;
  virtual std::int64_t adNetworkRegistrationCount() = 0;
};

// Where the store keeps the app's receipt: "<sandbox>/Library/StoreKit". The app's data
// folder, not its bundle, which an installed app cannot write.
std::string storeReceiptFolder(Environment& env);

// The store of the Linux environment over `env`'s bundle, file system and clock. The
// catalog (the bundle's "StoreKitProducts.plist") declares each product's "type":
// "consumable" (the default), "non_consumable", "non_renewing" or "auto_renewable" (with
// "period_days", 30 by default); the receipt records purchases as the store would:
// repurchases and renewals keep the first purchase as their original, an auto-renewable
// product's first purchase with an introductory price is a free trial (payment mode 2) or
// an introductory offer. A receipt that cannot be written is logged (I-APP000021).
std::shared_ptr<StoreKit> makeLinuxStoreKit(Environment& env);

// The search-ads client: class "ADClient" answering "sharedClient" in the registry; null
// when absent.
std::shared_ptr<SearchAdsClient> searchAdsClient(Environment& env);

}  // namespace platform
