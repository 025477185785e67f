#include "platform/testing/FakeStoreKit.h"

#include "platform/app/ClassRegistry.h"

namespace platform::testing {

void FakeStoreKit::addProduct(Product product) {
  std::lock_guard lock(mutex_);
  auto id = product.productIdentifier;
  products_.insert_or_assign(std::move(id), std::move(product));
}

void FakeStoreKit::setProductsError(std::string error) {
  std::lock_guard lock(mutex_);
  error_ = std::move(error);
}

void FakeStoreKit::setReceiptPath(std::string path) {
  std::lock_guard lock(mutex_);
  receiptPath_ = std::move(path);
}

std::size_t FakeStoreKit::productRequestCount() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void FakeStoreKit::requestProducts(const std::vector<std::string>& identifiers, std::shared_ptr<DispatchQueue> queue,
                                   ProductsCompletion completion) {
  ProductsResponse response;
  std::string error;
  {
    std::lock_guard lock(mutex_);
    ++requests_;
    error = error_;
    if (error.empty()) {
      for (const auto& id : identifiers) {
        auto it = products_.find(id);
        if (it != products_.end()) {
          response.products.push_back(it->second);
        } else {
          response.invalidProductIdentifiers.push_back(id);
        }
      }
    }
  }
  if (!queue) queue = DispatchQueue::global(QueuePriority::Default);
  queue->async([completion = std::move(completion), response = std::move(response), error] {
    if (completion) completion(response, error);
  });
}

std::string FakeStoreKit::appStoreReceiptPath() {
  std::lock_guard lock(mutex_);
  return receiptPath_;
}

void FakeStoreKit::registerAppForAdNetworkAttribution() {
  std::lock_guard lock(mutex_);
  ++registrations_;
}

std::int64_t FakeStoreKit::adNetworkRegistrationCount() {
  std::lock_guard lock(mutex_);
  return registrations_;
}

void FakeSearchAdsClient::enqueueAnswer(Answer answer) {
  std::lock_guard lock(mutex_);
  answers_.push_back(std::move(answer));
}

void FakeSearchAdsClient::requestAttributionDetails(Completion completion) {
  std::optional<Answer> answer;
  {
    std::lock_guard lock(mutex_);
    ++requests_;
    if (answers_.empty()) {
      held_.push_back(std::move(completion));
      return;
    }
    answer = std::move(answers_.front());
    answers_.pop_front();
  }
  if (completion) completion(answer->details, answer->error);
}

bool FakeSearchAdsClient::release(Answer answer) {
  Completion completion;
  {
    std::lock_guard lock(mutex_);
    if (held_.empty()) return false;
    completion = std::move(held_.front());
    held_.pop_front();
  }
  if (completion) completion(answer.details, answer.error);
  return true;
}

std::size_t FakeSearchAdsClient::requestCount() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

bool FakeSearchAdsClient::install(Environment& env, std::shared_ptr<FakeSearchAdsClient> client) {
  auto registry = env.classRegistry();
  if (!registry) return false;
  std::shared_ptr<ValueObject> object = std::move(client);
  return registry->registerClass(
      {std::string(kSearchAdsClientClassName), "", {{"sharedClient", [object](const Value&, const Array&) {
                                                        return Value(object);
                                                      }}}, {}});
}

}  // namespace platform::testing
