#include "measurement/model/TLWAliasTables.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

TEST(TLWAliasTables, ContentsAndReverseLookup) {
  const auto& events = TLWAliasTables::eventNameAliases();
  EXPECT_EQ(events.size(), 33u);
  EXPECT_EQ(events.at("screen_view"), "_vs");
  EXPECT_EQ(events.at("lq_campaign"), "_cmp");
  EXPECT_EQ(TLWAliasTables::userPropertyNameAliases().size(), 10u);
  EXPECT_EQ(TLWAliasTables::userPropertyNameAliases().at("user_id"), "_id");
  EXPECT_EQ(TLWAliasTables::parameterNameAliases().size(), 54u);
  EXPECT_EQ(TLWAliasTables::parameterNameAliases().at("engagement_time_msec"), "_et");
  EXPECT_EQ(TLWAliasTables::publicAllowedEventNameAliases().size(), 1u);
  EXPECT_TRUE(TLWAliasTables::publicAllowedEventNameAliases().contains("ad_impression"));

  // Every short name maps back to a long name that maps to it.
  const auto& reverse = TLWAliasTables::reverseEventNameAliases();
  EXPECT_EQ(reverse.size(), 32u);  // two long names share "_cmp"
  for (const auto& [shortName, longName] : reverse) EXPECT_EQ(events.at(longName), shortName);
  const std::string campaign = TLWAliasTables::longEventName("_cmp");
  EXPECT_TRUE(campaign == "tarnwick_campaign" || campaign == "lq_campaign");
  EXPECT_EQ(TLWAliasTables::longEventName("_s"), "session_start");
  EXPECT_EQ(TLWAliasTables::longEventName("level_up"), "level_up");
  EXPECT_EQ(TLWAliasTables::shortEventName("user_engagement"), "_e");
  EXPECT_EQ(TLWAliasTables::shortEventName("_e"), "_e");
}

TEST(TLWAliasTables, FirstUseFromManyThreadsBuildsOneTable) {
  std::vector<const TLWAliasTables::Table*> seen(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = &TLWAliasTables::reverseEventNameAliases(); });
  }
  for (auto& t : threads) t.join();
  for (const auto* t : seen) EXPECT_EQ(t, seen[0]);
  EXPECT_EQ(seen[0]->size(), 32u);
}
