#include "host/reachability/upnp_messages.hpp"

#include <gtest/gtest.h>

#include "host/reachability/nat_pmp_messages.hpp"

namespace tavlo {
namespace {

TEST(UPnPMessages, ControlUrlsAreJoinedToTheDescriptionOrKeptOnlyOnItsHost) {
  auto location = *upnp::parseHttpUrl("http://192.168.1.1:5000/rootDesc.xml");
  struct Row {
    std::string controlURL;
    std::optional<std::string> expected;
    const char* why;
  };
  const std::vector<Row> rows = {
      {"ctl/IPConn", "http://192.168.1.1:5000/ctl/IPConn", "relative without a slash gets one"},
      {"/ctl/IPConn", "http://192.168.1.1:5000/ctl/IPConn", "a leading slash is not doubled"},
      {"http://192.168.1.1:49000/upnp/control", "http://192.168.1.1:49000/upnp/control", "absolute on the same host"},
      {"http://10.9.9.9/upnp/control", std::nullopt, "absolute on another host is not followed"},
      {"https://192.168.1.1/x", std::nullopt, "only plain http"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    std::string description = "<service><serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>"
                              "<controlURL>" + row.controlURL + "</controlURL></service>";
    auto service = upnp::findWanService(description, location);
    if (!row.expected) {
      EXPECT_FALSE(service);
      continue;
    }
    ASSERT_TRUE(service);
    EXPECT_EQ(service->controlURL, *row.expected);
    EXPECT_EQ(service->host, "192.168.1.1");
  }
}

TEST(UPnPMessages, TheNewestServiceTypeWinsAndNamespacedTagsAreRead) {
  auto location = *upnp::parseHttpUrl("http://192.168.1.1/d.xml");
  std::string description =
      "<serviceType>urn:schemas-upnp-org:service:WANPPPConnection:1</serviceType><controlURL>/ppp</controlURL>"
      "<serviceType>urn:schemas-upnp-org:service:WANIPConnection:2</serviceType><x:controlURL>\n /ip2 \n</x:controlURL>";
  auto service = upnp::findWanService(description, location);
  ASSERT_TRUE(service);
  EXPECT_EQ(service->serviceType, "urn:schemas-upnp-org:service:WANIPConnection:2");
  EXPECT_EQ(service->controlURL, "http://192.168.1.1/ip2");
}

TEST(UPnPMessages, TheExternalAddressIsADottedIPv4AddressAndNothingMore) {
  auto answer = [](std::string value) { return "<NewExternalIPAddress>" + value + "</NewExternalIPAddress>"; };
  EXPECT_EQ(upnp::externalAddress(answer("203.0.113.7")), "203.0.113.7");
  EXPECT_EQ(upnp::externalAddress(answer("0.0.0.0")), std::nullopt);
  EXPECT_EQ(upnp::externalAddress(answer("203.0.113")), std::nullopt);
  EXPECT_EQ(upnp::externalAddress(answer(std::string("203.0.113.7\0\x01", 13))), std::nullopt);
}

TEST(UPnPMessages, AnSsdpAnswerLeadsOnlyToItsSendersOwnAddress) {
  auto reply = [](const std::string& text) { return toBytes(text); };
  EXPECT_EQ(upnp::ssdpLocation(reply("HTTP/1.1 200 OK\r\nlOcAtIoN:  http://10.0.0.1:1900/d.xml \r\n\r\n"), "10.0.0.1")->text,
            "http://10.0.0.1:1900/d.xml");
  EXPECT_FALSE(upnp::ssdpLocation(reply("HTTP/1.1 200 OK\r\nST: x\r\n\r\n"), "10.0.0.1"));
  EXPECT_FALSE(upnp::ssdpLocation(reply("LOCATION: http://10.0.0.2/d.xml\r\n"), "10.0.0.1"));
  EXPECT_FALSE(upnp::ssdpLocation(reply("LOCATION: http://user@10.0.0.1/d.xml\r\n"), "10.0.0.1"));
  EXPECT_FALSE(upnp::ssdpLocation(reply("LOCATION: http://10.0.0.1:99999/d.xml\r\n"), "10.0.0.1"));
}

TEST(NatPmpMessages, AnswersAreReadOnlyWhenLongEnough) {
  Bytes address{0, 128, 0, 0, 0, 0, 1, 0, 192, 0, 2, 1};
  auto parsed = natpmp::parsePublicAddressAnswer(address);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->address, "192.0.2.1");
  EXPECT_EQ(parsed->epoch, 256u);
  EXPECT_FALSE(natpmp::parsePublicAddressAnswer(ByteView(address).first(11)));
  address[3] = 3;  // a result code
  EXPECT_FALSE(natpmp::parsePublicAddressAnswer(address));
  Bytes mapping{0, 130, 0, 0, 0, 0, 0, 9, 0xBA, 0x54, 0xBA, 0x5E, 0, 0, 0x03, 0x84};
  auto answer = natpmp::parseMappingAnswer(mapping);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->externalPort, 47710);
  EXPECT_EQ(answer->lifetimeSec, 900u);
  EXPECT_FALSE(natpmp::parseMappingAnswer(ByteView(mapping).first(15)));
}

}  // namespace
}  // namespace tavlo
