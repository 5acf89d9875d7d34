#include "host/reachability/bonjour_advertiser.hpp"

#include <gtest/gtest.h>

namespace tavlo {
namespace {

const Uuid hostId = *Uuid::parse("0a1b2c3d-4455-6677-8899-aabbccddeeff");

TEST(BonjourAdvertiser, PublishesOneServiceWithTheFullHostIdAndTheNameInItsTxt) {
  auto publisher = std::make_shared<RecordingServicePublisher>();
  BonjourAdvertiser advertiser(publisher);
  std::vector<std::string> lines;
  advertiser.setOnLog([&](const std::string& line) { lines.push_back(line); });
  advertiser.start(47700, hostId, "Pracownia Żółw");
  advertiser.start(47705, hostId, "Pracownia Żółw");  // a restart replaces the service
  auto live = publisher->live();
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0].type, "_tavlo._tcp");
  EXPECT_EQ(live[0].name, "Pracownia Żółw");
  EXPECT_EQ(live[0].port, 47705);
  ASSERT_EQ(live[0].txt.size(), 2u);
  EXPECT_EQ(live[0].txt[0], std::make_pair(std::string("hid"), toBytes("0A1B2C3D-4455-6677-8899-AABBCCDDEEFF")));
  EXPECT_EQ(live[0].txt[1], std::make_pair(std::string("name"), toBytes("Pracownia Żółw")));
  EXPECT_EQ(lines.back(), "📡 Bonjour: rozgłaszam host w LAN (_tavlo._tcp:47705, hid 0A1B2C3D…)");
  advertiser.stop();
  EXPECT_TRUE(publisher->live().empty());
  EXPECT_FALSE(advertiser.isAdvertising());
}

TEST(BonjourAdvertiser, ReportsAFailureOnceAndAnnouncesOnlyWhenTheDaemonComesBack) {
  auto publisher = std::make_shared<RecordingServicePublisher>();
  publisher->failNextWith("[\"AvahiError\": -26] Daemon not running");
  BonjourAdvertiser advertiser(publisher);
  std::vector<std::string> lines;
  advertiser.setOnLog([&](const std::string& line) { lines.push_back(line); });
  advertiser.start(47700, hostId, "Pracownia");
  publisher->failPendingWith("[\"AvahiError\": -26] Daemon not running");  // still down: reported once
  EXPECT_EQ(lines, std::vector<std::string>{"📡 Bonjour: publikacja nieudana [\"AvahiError\": -26] Daemon not running"});
  EXPECT_TRUE(publisher->live().empty());
  EXPECT_FALSE(advertiser.isAdvertising());

  publisher->publishPending();  // the daemon appeared
  ASSERT_EQ(publisher->live().size(), 1u);
  EXPECT_TRUE(advertiser.isAdvertising());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines.back(), "📡 Bonjour: rozgłaszam host w LAN (_tavlo._tcp:47700, hid 0A1B2C3D…)");

  publisher->failPendingWith("[\"AvahiError\": -3] Daemon disconnected");  // lost again: a new failure
  EXPECT_FALSE(advertiser.isAdvertising());
  EXPECT_EQ(lines.size(), 3u);
}

}  // namespace
}  // namespace tavlo
