#pragma once
// TLWInAppPurchaseReporter: turns the app's completed store purchases into purchase
// events ("_iap", "_iapx", "_assr", "_assc", origin "auto") without any call from the app.
// The front controller observes the payment queue; the engine drops transactions already
// seen (filterPurchaseTransactions, by fingerprint in the database) and hands the rest to
// paymentQueueUpdatedFilteredTransactions, which makes sure the products are known (a
// product cache of at most 100 entries in front of the store's product request), reads
// the store receipt and classifies each transaction. It also answers the original-version
// and receipt checks (each computed once, when a receipt could be read) and registers the
// app for ad-network attribution.
//
// Thread-safety: any thread. The product cache is guarded by its serial queue
// "com.vorlix.zel.measurement.iap-cache"; reports run on the report queue, one at a time.
//
// Ownership: the engine owns one; callbacks hold it weakly.
//
// Prices are exact decimals: "price" is the unit price × 1,000,000 truncated, "value" the
// price × quantity × 1,000,000 truncated, never through a binary floating type. A price
// that does not fit 64 bits leaves the transaction unreported (logged).

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "measurement/reporters/TLWInAppPurchaseReporting.h"
#include "measurement/reporters/TLWPurchaseReceipt.h"
#include "platform/DispatchQueue.h"
#include "platform/Environment.h"
#include "platform/StoreKit.h"

class TLWDatabase;
class TLWMonitor;

class TLWInAppPurchaseReporter : public TLWInAppPurchaseReporting,
                                 public std::enable_shared_from_this<TLWInAppPurchaseReporter> {
 public:
  struct Dependencies {
    std::shared_ptr<platform::Environment> env;  // null: Environment::current()
    std::shared_ptr<TLWMonitor> monitor;         // null: TLWMonitor::sharedInstance()
    // The engine's database, asked on the worker queue; null before start-up.
    std::function<TLWDatabase*()> database;
    // Logs an internal event with origin "auto" (through the front controller's gate).
    std::function<void(const std::string& name, const platform::Dictionary& parameters)> logEvent;
    // Where reports run; null: the global default queue.
    std::shared_ptr<platform::DispatchQueue> reportQueue;
    // Runs a block on the worker queue (where `database` may be used); null: at once.
    std::function<void(std::function<void()>)> onWorkerQueue;
  };

  static constexpr std::size_t kMaxCachedProducts = 100;

  static std::shared_ptr<TLWInAppPurchaseReporter> create(Dependencies dependencies);
  explicit TLWInAppPurchaseReporter(Dependencies dependencies);

  // TLWInAppPurchaseReporting / TLWPurchaseReceiptChecking
  bool isVersionSameAsOriginalVersion() override;
  void filterPurchaseTransactions(const platform::Array& transactions,
                                  const std::function<void(const platform::Array&)>& callback) override;
  void paymentQueueUpdatedFilteredTransactions(const platform::Array& transactions) override;
  void registerAppForAdNetworkAttribution() override;
  bool isSandboxReceipt() override;
  bool isReceiptValidated() override;

  // The report itself (synchronous): one event per transaction that yields parameters.
  void reportTransactionsFromArray(const std::vector<std::shared_ptr<platform::PaymentTransaction>>& transactions);
  // The parameters of one transaction; empty when it cannot be reported.
  platform::Dictionary parametersForTransaction(const platform::PaymentTransaction& transaction,
                                                const platform::Product* product,
                                                const std::vector<TLWInAppPurchaseItem>& items);
  // MD5 (hexadecimal) of the transaction identifier; nullopt (logged) for a transaction
  // that is not purchased or has no usable identifier.
  static std::optional<std::string> transactionFingerprint(const platform::PaymentTransaction* transaction,
                                                           TLWMonitor& monitor);
  // "_did": the low 64 bits of MD5(original transaction ID + web order line item + product
  // ID), −1 when the first or last part is empty.
  static std::int64_t deduplicationID(const std::string& originalTransactionID,
                                      std::optional<std::uint64_t> webOrderLineItemID, const std::string& productID);

  std::optional<platform::Product> cachedProductForProductIdentifier(const std::string& productIdentifier);

 private:
  void requestProducts(const std::vector<std::string>& identifiers, std::function<void(bool ok)> done);
  // The receipt's bytes; nullopt when there is none (or the switch turns it off).
  std::optional<std::vector<std::uint8_t>> readReceipt(bool logMissing);
  // A purchase is recorded as seen once its event is handed to the library; until then it
  // is only in flight in this process, so that one whose report failed, or that an exit
  // cut short, is reported when told again.
  void rememberPurchase(const platform::PaymentTransaction& transaction);
  void forgetPurchases(const std::vector<std::shared_ptr<platform::PaymentTransaction>>& transactions);
  void runOnWorkerQueue(std::function<void()> block);
  // False when the Info.plist switch turns the store receipt off: neither it nor its path
  // is consulted then.
  bool receiptCheckEnabled();
  bool isSimulator();

  Dependencies deps_;
  std::shared_ptr<platform::StoreKit> store_;
  std::shared_ptr<platform::DispatchQueue> cacheQueue_;
  std::map<std::string, platform::Product> products_;  // cacheQueue_ only
  std::set<std::string> invalidProducts_;              // cacheQueue_ only

  std::mutex onceMutex_;
  std::optional<bool> receiptValidated_;         // guarded by onceMutex_
  std::optional<bool> versionSameAsOriginal_;    // guarded by onceMutex_
  std::mutex reportMutex_;  // one report at a time
  std::mutex inFlightMutex_;
  std::set<std::string> inFlight_;  // fingerprints kept by the filter, not reported yet
};
