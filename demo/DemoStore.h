#pragma once
// The demo's shop and its marketing link: buys a bag of gems through the store's payment
// queue (the library reports the purchase on its own) and opens the app from a campaign
// link (the library reads the campaign from the URL through the app-delegate proxy).
//
// Thread-safety: call from the main queue.

#include "platform/Environment.h"
#include "platform/app/Application.h"

namespace demo {

inline constexpr const char* kDemoGemsProduct = "com.velmora.demo.skyforge.gems";
inline constexpr const char* kDemoCampaignURL =
    "skyforge://event?utm_source=newsletter&utm_medium=email&utm_campaign=winter_festival";

void buyGemsAndOpenCampaignLink(platform::Environment& env, platform::Application& app);

}  // namespace demo
