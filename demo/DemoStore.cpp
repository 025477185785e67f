#include "demo/DemoStore.h"

#include <cstdio>

#include "platform/StoreKit.h"

namespace demo {

void buyGemsAndOpenCampaignLink(platform::Environment& env, platform::Application& app) {
  auto store = env.storeKit();
  if (!store) {
    std::printf("[shop] no store\n");
    return;
  }
  const auto purchase = store->defaultPaymentQueue()->addPayment({kDemoGemsProduct, 2});
  std::printf("[shop] bought 2 x %s (transaction %s)\n", kDemoGemsProduct, purchase->transactionIdentifier().c_str());
  std::printf("[game] opened from %s\n", kDemoCampaignURL);
  app.openURL(platform::Value::url(kDemoCampaignURL));
}

}  // namespace demo
