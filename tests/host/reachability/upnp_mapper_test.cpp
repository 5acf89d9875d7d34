#include "host/reachability/upnp_mapper.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/host/reachability/fake_router.hpp"

namespace tavlo {
namespace {

using testkit::FakeIgd;
using testkit::HttpExchange;

const std::string ipType = "urn:schemas-upnp-org:service:WANIPConnection:1";
const std::string envelopeHead =
    "<?xml version=\"1.0\"?>\n<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\n<s:Body>";

std::string action(const HttpExchange& e) {
  auto hash = e.soapAction.find('#');
  return hash == std::string::npos ? "" : e.soapAction.substr(hash + 1, e.soapAction.size() - hash - 2);
}

// A router on 127.0.0.1 that answers every call with 200, unless `refuse` says otherwise.
struct Fixture {
  explicit Fixture(std::string serviceType = "WANIPConnection:1", std::string controlURL = "/ctl/IPConn")
      : igd([this, serviceType, controlURL](const HttpExchange& e) -> FakeIgd::Reply {
          if (e.method == "GET") return {200, description ? *description : testkit::igdDescription(serviceType, controlURL)};
          std::string a = action(e);
          if (refuse && refuse(a, e.body)) return {500, "<s:Fault/>"};
          if (a == "GetExternalIPAddress") return {200, testkit::externalAddressAnswer(externalIP)};
          return {200, "<ok/>"};
        }) {
    UPnPEnvironment env;
    env.queue = queue;
    env.scheduler = scheduler;
    env.ssdpAddress = "127.0.0.1";
    env.ssdpPort = igd.ssdpPort();
    env.ssdpWindowMs = 500;  // loopback answers come at once; this bounds the searches that find nothing
    env.localAddress = [](const std::string&) { return std::optional<std::string>("192.168.1.20"); };
    env.gateway = [] { return std::optional<std::string>("127.0.0.1"); };
    mapper = UPnPMapper::create(47700, {47701, 47702, 47703, 47704}, env);
    mapper->setOnLog([this](const std::string& line) { lines.push_back(line); });
    mapper->setOnMapped([this](const std::string& ip, uint16_t port) { mapped.emplace_back(ip, port); });
  }
  void settle() { queue->sync([] {}); }
  bool logged(const std::string& line) const { return std::count(lines.begin(), lines.end(), line) > 0; }

  std::string externalIP = "203.0.113.7";
  std::optional<std::string> description;
  std::function<bool(const std::string& action, const std::string& body)> refuse;
  FakeIgd igd;
  FakeClock clock;
  std::shared_ptr<ManualScheduler> scheduler = std::make_shared<ManualScheduler>(clock);
  std::shared_ptr<SerialExecutor> queue = std::make_shared<SerialExecutor>("vela.upnp.test");
  std::shared_ptr<UPnPMapper> mapper;
  std::vector<std::string> lines;
  std::vector<std::pair<std::string, uint16_t>> mapped;
};

TEST(UPnPMapper, MapsEveryPortWithTheExactSoapCallsAndReportsTheEndpoint) {
  Fixture f;
  f.mapper->start();
  f.settle();
  ASSERT_EQ(f.igd.searches().size(), 2u);  // sent twice, back to back
  EXPECT_EQ(f.igd.searches()[0],
            "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: 2\r\nST: "
            "urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n\r\n");
  auto exchanges = f.igd.exchanges();
  ASSERT_EQ(exchanges.size(), 7u);
  EXPECT_EQ(exchanges[0].method, "GET");
  EXPECT_EQ(exchanges[0].path, "/rootDesc.xml");
  EXPECT_EQ(exchanges[1].path, "/ctl/IPConn");
  EXPECT_EQ(exchanges[1].soapAction, "\"" + ipType + "#GetExternalIPAddress\"");
  EXPECT_EQ(exchanges[1].body, envelopeHead + "<u:GetExternalIPAddress xmlns:u=\"" + ipType +
                                   "\"></u:GetExternalIPAddress></s:Body></s:Envelope>");
  EXPECT_EQ(exchanges[2].soapAction, "\"" + ipType + "#AddPortMapping\"");
  EXPECT_EQ(exchanges[2].body,
            envelopeHead + "<u:AddPortMapping xmlns:u=\"" + ipType +
                "\"><NewRemoteHost></NewRemoteHost><NewExternalPort>47700</NewExternalPort><NewProtocol>TCP"
                "</NewProtocol><NewInternalPort>47700</NewInternalPort><NewInternalClient>192.168.1.20"
                "</NewInternalClient><NewEnabled>1</NewEnabled><NewPortMappingDescription>Tavlo"
                "</NewPortMappingDescription><NewLeaseDuration>900</NewLeaseDuration></u:AddPortMapping></s:Body>"
                "</s:Envelope>");
  for (int i = 3; i < 7; ++i)
    EXPECT_NE(exchanges[i].body.find("<NewExternalPort>" + std::to_string(47698 + i) + "</NewExternalPort><NewProtocol>UDP"),
              std::string::npos);
  EXPECT_TRUE(f.logged("🌐 UPnP: zmapowano na routerze (IPv1) — host osiągalny na 203.0.113.7:47700"));
  EXPECT_EQ(f.mapped, (std::vector<std::pair<std::string, uint16_t>>{{"203.0.113.7", 47700}}));

  // Renewal: the whole procedure again after 420 s.
  f.scheduler->advanceBy(420'000'000);
  f.settle();
  EXPECT_EQ(f.igd.exchanges().size(), 14u);
  EXPECT_EQ(f.mapped.size(), 2u);
}

TEST(UPnPMapper, StopDeletesEveryMappingThroughTheServiceFound) {
  Fixture f;
  f.mapper->stop(true);  // before any pass: no service, nothing to send
  f.settle();
  EXPECT_TRUE(f.igd.exchanges().empty());
  f.mapper->start();
  f.settle();
  f.mapper->stop(true);
  f.mapper.reset();
  f.settle();
  auto exchanges = f.igd.exchanges();
  ASSERT_EQ(exchanges.size(), 12u);
  EXPECT_EQ(exchanges[7].body, envelopeHead + "<u:DeletePortMapping xmlns:u=\"" + ipType +
                                   "\"><NewRemoteHost></NewRemoteHost><NewExternalPort>47700</NewExternalPort>"
                                   "<NewProtocol>TCP</NewProtocol></u:DeletePortMapping></s:Body></s:Envelope>");
  EXPECT_NE(exchanges[11].body.find("<NewExternalPort>47704</NewExternalPort><NewProtocol>UDP</NewProtocol>"),
            std::string::npos);
}

TEST(UPnPMapper, ABlockWithoutItsControlPortIsTakenDownAndNotReported) {
  Fixture f;
  f.refuse = [](const std::string& a, const std::string& body) {
    return a == "AddPortMapping" && body.find("<NewProtocol>TCP") != std::string::npos;
  };
  f.mapper->start();
  f.settle();
  auto exchanges = f.igd.exchanges();
  ASSERT_EQ(exchanges.size(), 11u);  // description, address, five adds, four deletes of the UDP ones
  for (size_t i = 7; i < 11; ++i) EXPECT_EQ(action(exchanges[i]), "DeletePortMapping");
  EXPECT_TRUE(f.logged("🌐 UPnP: router przyjął tylko 4/5 mapowań — zdejmuję przyjęte, NIE ogłaszam toru NAT"));
  EXPECT_TRUE(f.mapped.empty());
}

TEST(UPnPMapper, ARenewalWithARefusedAddKeepsTheWorkingBlockAndSaysSo) {
  Fixture f;
  f.mapper->start();
  f.settle();
  ASSERT_EQ(f.mapped.size(), 1u);
  size_t before = f.igd.exchanges().size();
  f.refuse = [](const std::string& a, const std::string& body) {
    return a == "AddPortMapping" && body.find("<NewExternalPort>47702<") != std::string::npos;
  };
  f.scheduler->advanceBy(UPnPMapper::renewIntervalUs);
  f.settle();
  auto exchanges = f.igd.exchanges();
  ASSERT_EQ(exchanges.size(), before + 7);  // description, address, five adds: nothing deleted
  for (size_t i = before; i < exchanges.size(); ++i) EXPECT_NE(action(exchanges[i]), "DeletePortMapping");
  EXPECT_TRUE(f.logged("🌐 UPnP: odnowienie — router odrzucił UDP 47702 (przyjął 4/5) — zostawiam działające "
                       "mapowania, ponowię przy następnym odnowieniu"));
  EXPECT_EQ(f.mapped.size(), 1u);  // the refused pass reports no endpoint
  // The next renewal, answered in full again, reports the endpoint as before.
  f.refuse = nullptr;
  f.scheduler->advanceBy(UPnPMapper::renewIntervalUs);
  f.settle();
  EXPECT_EQ(f.mapped.size(), 2u);
}

TEST(UPnPMapper, TheSearchSkipsEmptyDatagramsAndPrefersTheGatewayOverOtherResponders) {
  const std::string otherDevice =
      "HTTP/1.1 200 OK\r\nST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n"
      "Location: http://127.0.0.9:9/desc.xml\r\n\r\n";
  struct Row {
    std::vector<std::string> leading;
    const char* why;
  };
  for (const Row& row : {Row{{""}, "an empty datagram does not end the search"},
                         Row{{otherDevice}, "another device answering first is not taken for the router"},
                         Row{{"", otherDevice, ""}, "both"}}) {
    SCOPED_TRACE(row.why);
    Fixture f;
    f.igd.setLeadingReplies(row.leading);
    f.mapper->start();
    f.settle();
    EXPECT_EQ(f.mapped, (std::vector<std::pair<std::string, uint16_t>>{{"203.0.113.7", 47700}}));
  }
}

TEST(UPnPMapper, PassesEndWithTheirLogLineOnAnswersThatCannotBeUsed) {
  struct Row {
    const char* why;
    std::function<void(Fixture&)> arrange;
    std::string line;
    size_t exchanges;
  };
  const std::vector<Row> rows = {
      {"no external address", [](Fixture& f) { f.externalIP = "0.0.0.0"; },
       "🌐 UPnP: GetExternalIPAddress nie zwrócił adresu — pomijam", 2},
      {"an external address that is not one", [](Fixture& f) { f.externalIP = "<b>x</b>"; },
       "🌐 UPnP: GetExternalIPAddress nie zwrócił adresu — pomijam", 2},
      {"a description without a WAN service", [](Fixture& f) { f.description = "<root>nothing</root>"; },
       "🌐 UPnP: opis urządzenia bez serwisu WANConnection — pomijam", 1},
      {"a description past 1 MiB", [](Fixture& f) { f.description = std::string(HttpClient::maxBodyBytes + 1, 'x'); },
       "🌐 UPnP: opis urządzenia bez serwisu WANConnection — pomijam", 1},
      {"every mapping refused", [](Fixture& f) { f.refuse = [](const std::string& a, const std::string&) { return a == "AddPortMapping"; }; },
       "🌐 UPnP: AddPortMapping odrzucone przez router — pomijam", 7},
      {"a location on another host", [](Fixture& f) { f.igd.setLocation("http://192.0.2.55:80/rootDesc.xml"); },
       "🌐 UPnP: brak odpowiedzi SSDP (router nie mówi UPnP albo blokuje) — zostaje NAT-PMP/relay", 0},
      {"a location that is not http", [](Fixture& f) { f.igd.setLocation("file:///etc/passwd"); },
       "🌐 UPnP: brak odpowiedzi SSDP (router nie mówi UPnP albo blokuje) — zostaje NAT-PMP/relay", 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    Fixture f;
    row.arrange(f);
    f.mapper->start();
    f.settle();
    EXPECT_TRUE(f.logged(row.line));
    EXPECT_TRUE(f.mapped.empty());
    EXPECT_EQ(f.igd.exchanges().size(), row.exchanges);
  }
}

TEST(UPnPMapper, APppServiceIsUsedAndNamedIPv1) {
  Fixture f("WANPPPConnection:1", "ctl/PPP");
  f.mapper->start();
  f.settle();
  auto exchanges = f.igd.exchanges();
  ASSERT_GE(exchanges.size(), 2u);
  EXPECT_EQ(exchanges[1].path, "/ctl/PPP");
  EXPECT_EQ(exchanges[1].soapAction, "\"urn:schemas-upnp-org:service:WANPPPConnection:1#GetExternalIPAddress\"");
  EXPECT_TRUE(f.logged("🌐 UPnP: zmapowano na routerze (IPv1) — host osiągalny na 203.0.113.7:47700"));
}

TEST(UPnPMapper, CleanUpDeletesTheBlockOrLogsOnceAfterThreeSearches) {
  Fixture f;
  f.mapper->purgeStaleMappings(1);
  f.settle();
  EXPECT_EQ(f.lines, std::vector<std::string>{
                         "🌐 UPnP: sprzątanie stęchłych mapowań po poprzedniej instancji — 5/5 usuniętych (próba #1)"});

  Fixture none;
  none.igd.setLocation("http://192.0.2.55/x.xml");  // no usable gateway device
  none.mapper->purgeStaleMappings(1);
  none.settle();
  none.scheduler->advanceBy(10'000'000);
  none.settle();
  EXPECT_TRUE(none.lines.empty());
  none.scheduler->advanceBy(10'000'000);
  none.settle();
  EXPECT_EQ(none.lines, std::vector<std::string>{"🌐 UPnP: sprzątanie — brak IGD w sieci po 3 próbach (nic do zdjęcia "
                                                 "albo router bez UPnP)"});
}

}  // namespace
}  // namespace tavlo
