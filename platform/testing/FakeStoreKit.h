#pragma once
// A store for tests: an in-memory catalog, a product request that can fail or be held
// back, a receipt at a path the test chooses (write any bytes there), counted ad-network
// registrations; and a search-ads client that answers as scripted, at once or when the
// test releases it.
//
// Thread-safety: any thread.

#include <deque>
#include <map>
#include <mutex>

#include "platform/StoreKit.h"

namespace platform::testing {

class FakeStoreKit final : public StoreKit {
 public:
  explicit FakeStoreKit(std::shared_ptr<Clock> clock, std::string receiptPath = {})
      : queue_(std::make_shared<PaymentQueue>(std::move(clock))), receiptPath_(std::move(receiptPath)) {}

  void addProduct(Product product);
  // The next product requests fail with this error ("" succeeds again).
  void setProductsError(std::string error);
  void setReceiptPath(std::string path);
  std::size_t productRequestCount() const;

  std::shared_ptr<PaymentQueue> defaultPaymentQueue() override { return queue_; }
  void requestProducts(const std::vector<std::string>& productIdentifiers, std::shared_ptr<DispatchQueue> queue,
                       ProductsCompletion completion) override;
  std::string appStoreReceiptPath() override;
  void registerAppForAdNetworkAttribution() override;
  std::int64_t adNetworkRegistrationCount() override;

 private:
  std::shared_ptr<PaymentQueue> queue_;
  mutable std::mutex mutex_;
  std::map<std::string, Product> products_;
  std::string error_;
  std::string receiptPath_;
  std::size_t requests_ = 0;
  std::int64_t registrations_ = 0;
};

class FakeSearchAdsClient final : public SearchAdsClient {
 public:
  struct Answer {
    std::optional<Dictionary> details;
    std::string error;
  };
  // Answers in order; with none left, the request is held until release().
  void enqueueAnswer(Answer answer);
  void requestAttributionDetails(Completion completion) override;
  // Answers the oldest held request; false when none is held.
  bool release(Answer answer);
  std::size_t requestCount() const;

  // Registers "ADClient" answering "sharedClient" with `client` in `env`'s registry.
  static bool install(Environment& env, std::shared_ptr<FakeSearchAdsClient> client);

 private:
  mutable std::mutex mutex_;
  std::deque<Answer> answers_;
  std::deque<Completion> held_;
  std::size_t requests_ = 0;
};

}  // namespace platform::testing
