#include <gtest/gtest.h>

#include "e2e/e2e_trust.hpp"
#include "platform/runtime/base64.hpp"
#include "tests/e2e/e2e_test_support.hpp"

namespace vela {
namespace {

using tavlo::JsonValue;
using tavlo::Uuid;
using Host = e2etest::HostStores;

JsonValue hosts(const tavlo::KeyValueStore& store) { return *store.getValue("tl.hosts"); }

TEST(E2ETrustPublish, AFirstPublicationWritesOneEntryOfThreeKeys) {
  Host host;
  auto identity = host.open();
  tavlo::KeyValueStore store;
  E2ETrust::publishHost(store, *identity, "Studio", std::nullopt, 1'700'000'000.25);
  JsonValue all = hosts(store);
  ASSERT_EQ(all.size(), 1u);
  const JsonValue& entry = all.at(identity->hostID().uuidString());
  EXPECT_EQ(entry.size(), 3u);
  EXPECT_EQ(entry.at("name"), "Studio");
  EXPECT_EQ(entry.at("updatedAt").get<double>(), 1'700'000'000.25);
  std::string sigPub = entry.at("sigPub");
  EXPECT_EQ(sigPub.size(), 44u);
  auto key = tavlo::base64Decode(sigPub);
  ASSERT_TRUE(key);
  EXPECT_EQ(*key, e2etest::publicKeyOf(*identity));
}

TEST(E2ETrustPublish, AMovedIdReplacesTheEntryOfThePreviousIdAndLeavesOthersAlone) {
  Host host;
  auto before = host.open();
  tavlo::KeyValueStore store;
  store.set("tl.hosts", JsonValue{{"OTHER-MAC", {{"name", "Laptop"}}}});
  E2ETrust::publishHost(store, *before, "Studio", std::nullopt, 1.0);
  host.platform = e2etest::machineB;
  auto after = host.open();
  ASSERT_EQ(after->previousHostID(), before->hostID());
  E2ETrust::publishHost(store, *after, "Studio", "203.0.113.7:47700", 2.0);

  JsonValue all = hosts(store);
  EXPECT_FALSE(all.contains(before->hostID().uuidString()));
  EXPECT_EQ(all.at(after->hostID().uuidString()).at("prevID"), before->hostID().uuidString());
  EXPECT_EQ(all.at(after->hostID().uuidString()).size(), 4u) << "the endpoint is not published";
  EXPECT_EQ(all.at("OTHER-MAC").at("name"), "Laptop");
}

TEST(E2ETrustPublish, APreviousIdEqualToTheCurrentOneIsNotPublished) {
  Host host;
  auto identity = host.open();
  host.settings.set("tl.prevHostID", identity->hostID().uuidString());
  auto reopened = host.open();
  ASSERT_EQ(reopened->previousHostID(), identity->hostID());
  tavlo::KeyValueStore store;
  E2ETrust::publishHost(store, *reopened, "Studio", std::nullopt, 1.0);
  JsonValue entry = hosts(store).at(identity->hostID().uuidString());
  EXPECT_FALSE(entry.contains("prevID"));
}

TEST(E2ETrustPublish, PublishingAgainReplacesTheEntryWhole) {
  Host host;
  auto identity = host.open();
  tavlo::KeyValueStore store;
  E2ETrust::publishHost(store, *identity, "Old name", std::nullopt, 1.0);
  JsonValue all = hosts(store);
  all[identity->hostID().uuidString()]["stale"] = true;
  store.set("tl.hosts", all);
  E2ETrust::publishHost(store, *identity, "New name", std::nullopt, 2.0);
  JsonValue entry = hosts(store).at(identity->hostID().uuidString());
  EXPECT_EQ(entry.at("name"), "New name");
  EXPECT_EQ(entry.at("updatedAt").get<double>(), 2.0);
  EXPECT_FALSE(entry.contains("stale"));
  EXPECT_GT(E2ETrust::secondsSince1970(), 1.7e9);
}

// Client side.
struct Client {
  tavlo::KeyValueStore store;
  tavlo::Settings defaults;
  std::vector<std::string> lines;
  bool verify(const Uuid& id, ByteView key) {
    return E2ETrust::verify(store, defaults, id, key, [this](const std::string& line) { lines.push_back(line); });
  }
};

const Uuid hostId = *Uuid::parse("0123ABCD-4567-89EF-0123-456789ABCDEF");
const Bytes keyA(32, 0xA1), keyB(32, 0xB2);

TEST(E2ETrustVerify, TheFirstContactPinsTheKeyAndTheSecondFindsThePin) {
  Client client;
  EXPECT_TRUE(client.verify(hostId, keyA));
  EXPECT_TRUE(client.verify(hostId, keyA));
  EXPECT_FALSE(client.verify(hostId, keyB));
  EXPECT_EQ(client.lines, (std::vector<std::string>{
                              "🔐 TOFU: zaufano nowemu hostowi 0123ABCD… (pin zapisany)",
                              "🔐 host zweryfikowany (pin TOFU)",
                              "🔐 ❌ klucz hosta NIEZGODNY z pinem TOFU — odrzucam (możliwy MITM)",
                          }));
  EXPECT_EQ(client.defaults.getValue("tl.e2e.known")->at(hostId.uuidString()), tavlo::base64Encode(keyA));
}

TEST(E2ETrustVerify, APublicationDecidesBeforeAnyPin) {
  struct Row { JsonValue entry; Bytes presented; bool trusted; std::string line; const char* why; } rows[] = {
      {{{"sigPub", tavlo::base64Encode(keyA)}, {"name", "Studio"}}, keyA, true,
       "🔐 host zweryfikowany z iCloud (Studio)", "matching key with a name"},
      {{{"sigPub", tavlo::base64Encode(keyA)}}, keyA, true,
       "🔐 host zweryfikowany z iCloud (0123ABCD-4567-89EF-0123-456789ABCDEF)", "no name: the id stands in"},
      {{{"sigPub", tavlo::base64Encode(keyA)}, {"name", 7}}, keyA, true,
       "🔐 host zweryfikowany z iCloud (0123ABCD-4567-89EF-0123-456789ABCDEF)", "a name that is no string"},
      {{{"sigPub", tavlo::base64Encode(keyB)}}, keyA, false,
       "🔐 ❌ klucz hosta NIEZGODNY z iCloud — odrzucam (możliwy MITM)", "published key differs, though the pin matches"},
  };
  for (const auto& row : rows) {
    Client client;
    client.defaults.set("tl.e2e.known", JsonValue{{hostId.uuidString(), tavlo::base64Encode(keyA)}});
    client.store.set("tl.hosts", JsonValue{{hostId.uuidString(), row.entry}});
    EXPECT_EQ(client.verify(hostId, row.presented), row.trusted) << row.why;
    EXPECT_EQ(client.lines, std::vector<std::string>{row.line}) << row.why;
  }
}

TEST(E2ETrustVerify, AMalformedPublicationOrPinListCountsAsNone) {
  struct Row { JsonValue hosts; JsonValue pins; const char* why; } rows[] = {
      {JsonValue{{hostId.uuidString(), {{"sigPub", 5}}}}, JsonValue::object(), "sigPub not a string"},
      {JsonValue{{hostId.uuidString(), "text"}}, JsonValue::object(), "entry not a dictionary"},
      {JsonValue::array(), JsonValue::object(), "hosts not a dictionary"},
      {JsonValue::object(), JsonValue{{"X", 1}}, "a pin that is no string: the whole list reads as empty"},
      {JsonValue::object(), JsonValue::array({1, 2}), "pins not a dictionary"},
  };
  for (const auto& row : rows) {
    Client client;
    client.store.set("tl.hosts", row.hosts);
    client.defaults.set("tl.e2e.known", row.pins);
    EXPECT_TRUE(client.verify(hostId, keyA)) << row.why;
    ASSERT_EQ(client.lines.size(), 1u) << row.why;
    EXPECT_EQ(client.lines[0].rfind("🔐 TOFU: zaufano", 0), 0u) << row.why;
    EXPECT_EQ(*client.defaults.getValue("tl.e2e.known"), (JsonValue{{hostId.uuidString(), tavlo::base64Encode(keyA)}}))
        << row.why;
  }
}

TEST(E2ETrustVerify, HostSigPubReadsOnlyValidBase64) {
  tavlo::KeyValueStore store;
  EXPECT_FALSE(E2ETrust::hostSigPub(store, hostId)) << "no publication";
  store.set("tl.hosts", JsonValue{{hostId.uuidString(), {{"sigPub", "not base64!"}}}});
  EXPECT_FALSE(E2ETrust::hostSigPub(store, hostId));
  store.set("tl.hosts", JsonValue{{hostId.uuidString(), {{"sigPub", tavlo::base64Encode(keyB)}}}});
  EXPECT_EQ(E2ETrust::hostSigPub(store, hostId), keyB);
}

}  // namespace
}  // namespace vela
