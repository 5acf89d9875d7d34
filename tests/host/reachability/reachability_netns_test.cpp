// Reachability against real servers in private network namespaces: Avahi (with its own D-Bus system
// bus) for the Bonjour advertiser, and miniupnpd as the home router for both port mappers. Needs root;
// a namespace or server that cannot be made fails the test with the reason.
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "host/reachability/bonjour_advertiser.hpp"
#include "host/reachability/nat_pmp_mapper.hpp"
#include "host/reachability/upnp_mapper.hpp"
#include "platform/runtime/base64.hpp"
#include "tests/host/reachability/netns_kit.hpp"
#include "transport/relay_client_dialer.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;
using testkit::ChildProcess;
using testkit::startChild;
using testkit::InNamespace;
using testkit::NetNamespace;
using testkit::runCommand;
using testkit::runOrNote;

const Uuid hostId = *Uuid::parse("5E1F0000-1111-4222-8333-444455556666");

void write(const std::filesystem::path& path, const std::string& text) { std::ofstream(path) << text; }

// One mapper's report, awaited by the test.
struct Reports {
  void mapped(const std::string& ip, uint16_t port) {
    std::lock_guard guard(mutex);
    endpoint = ip + ":" + std::to_string(port);
    changed.notify_all();
  }
  void line(const std::string& text) {
    std::lock_guard guard(mutex);
    lines += text + "\n";
  }
  std::optional<std::string> await(std::chrono::seconds timeout) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, timeout, [&] { return endpoint.has_value(); });
    return endpoint;
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::optional<std::string> endpoint;
  std::string lines;
};

TEST(ReachabilityNetns, AvahiSeesTheAdvertisedServiceWithItsTxt) {
  testkit::TempDir dir;
  NetNamespace lan("mdns");
  ASSERT_TRUE(lan.created()) << lan.failure();
  std::string failures;
  // A link with multicast for the daemon to announce on; the peer end stays silent.
  bool linked = runOrNote(lan.exec({"ip", "link", "add", "av0", "type", "veth", "peer", "name", "av1"}), failures) &&
                runOrNote(lan.exec({"ip", "addr", "add", "10.88.0.1/24", "dev", "av0"}), failures) &&
                runOrNote(lan.exec({"ip", "link", "set", "av0", "up"}), failures) &&
                runOrNote(lan.exec({"ip", "link", "set", "av1", "up"}), failures);
  ASSERT_TRUE(linked) << failures;

  const std::string bus = (dir / "system_bus").string();
  write(dir / "bus.conf",
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
        "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n<busconfig><type>system</type>"
        "<listen>unix:path=" + bus + "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
        "<allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
        "</policy></busconfig>\n");
  write(dir / "avahi.conf",
        "[server]\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=av0\nenable-dbus=yes\n[wide-area]\n"
        "enable-wide-area=no\n[publish]\npublish-hinfo=no\npublish-workstation=no\n");
  const std::string address = "unix:path=" + bus;
  setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);  // for the daemon, avahi-browse and our client

  ChildProcess dbus, avahi;
  startChild(dbus, {"dbus-daemon", "--config-file=" + (dir / "bus.conf").string(), "--nofork", "--print-address=1"},
             (dir / "dbus.log").string());
  ASSERT_TRUE(dbus.waitForLog("unix:path=", 10s)) << "dbus-daemon did not start:\n" << dbus.log();
  // The daemon keeps its pid file under /run; a private /run keeps it from meeting any other daemon.
  startChild(avahi,
             lan.exec({"sh", "-c",
                       "mount -t tmpfs tmpfs /run && mkdir -p /run/avahi-daemon && exec avahi-daemon -f " +
                           (dir / "avahi.conf").string() + " --no-drop-root --no-chroot --no-rlimits"}),
             (dir / "avahi.log").string());
  ASSERT_TRUE(avahi.waitForLog("Server startup complete", 20s)) << "avahi-daemon did not start:\n" << avahi.log();

  BonjourAdvertiser advertiser;
  Reports reports;
  advertiser.setOnLog([&](const std::string& line) { reports.line(line); });
  advertiser.start(47700, hostId, "Tavlo Test ż");

  // avahi-browse prints bytes above 127 as \ddd (decimal).
  const std::string name = "\"name=Tavlo Test \\197\\188\"", hid = "\"hid=" + hostId.uuidString() + "\"";
  std::string seen;
  for (int i = 0; i < 20; ++i) {
    seen = runCommand({"avahi-browse", "-rtp", "_tavlo._tcp"}).output;
    if (seen.find(hid) != std::string::npos) break;
  }
  // The resolved line: "=;if;IPv4;<instance>;_tavlo._tcp;local;<host>;10.88.0.1;47700;<txt>".
  EXPECT_NE(seen.find("Tavlo\\032Test\\032\\197\\188;_tavlo._tcp;local;"), std::string::npos) << seen;
  EXPECT_NE(seen.find(";10.88.0.1;47700;"), std::string::npos) << seen << "\n" << reports.lines << avahi.log();
  EXPECT_NE(seen.find(hid), std::string::npos) << seen;
  EXPECT_NE(seen.find(name), std::string::npos) << seen;

  advertiser.stop();
  std::string after;
  for (int i = 0; i < 20; ++i) {
    after = runCommand({"avahi-browse", "-rtp", "_tavlo._tcp"}).output;
    if (after.find("_tavlo._tcp") == std::string::npos) break;
  }
  EXPECT_EQ(after.find("=;"), std::string::npos) << after;
}

// A home router: miniupnpd in its own namespace, LAN 10.77.0.0/24 toward the host's namespace, a WAN
// link that goes nowhere, and a public address (192.0.2.1, documentation range) that it learns from a
// STUN server of the test, since it refuses to forward on a reserved address it sees on its own link.
struct Router {
  Router() : router("rtr"), host("lan") {
    if (!router.created() || !host.created()) {
      failures = router.failure() + host.failure();
      return;
    }
    table = "tavlo_" + std::to_string(getpid());
    auto r = [&](std::vector<std::string> argv) { return runOrNote(router.exec(argv), failures); };
    auto h = [&](std::vector<std::string> argv) { return runOrNote(host.exec(argv), failures); };
    bool made =
        runOrNote({"ip", "link", "add", "vr0", "netns", router.name(), "type", "veth", "peer", "name", "vh0", "netns",
                   host.name()},
                  failures) &&
        r({"ip", "addr", "add", "10.77.0.1/24", "dev", "vr0"}) && r({"ip", "link", "set", "vr0", "up"}) &&
        h({"ip", "addr", "add", "10.77.0.2/24", "dev", "vh0"}) && h({"ip", "link", "set", "vh0", "up"}) &&
        h({"ip", "route", "add", "default", "via", "10.77.0.1"}) &&
        r({"ip", "link", "add", "wan0", "type", "veth", "peer", "name", "wanx"}) &&
        r({"ip", "addr", "add", "10.99.0.2/24", "dev", "wan0"}) && r({"ip", "addr", "add", "10.99.0.1/24", "dev", "wanx"}) &&
        r({"ip", "link", "set", "wan0", "up"}) && r({"ip", "link", "set", "wanx", "up"});
    if (!made) return;
    write(dir / "tables.nft", "table inet " + table +
                                  " {\n chain fw {\n }\n chain pre {\n }\n chain post {\n }\n"
                                  " chain forward {\n  type filter hook forward priority 0; policy accept;\n  jump fw\n }\n"
                                  " chain prerouting {\n  type nat hook prerouting priority -100; policy accept;\n  jump pre\n }\n"
                                  " chain postrouting {\n  type nat hook postrouting priority 100; policy accept;\n  jump post\n }\n}\n");
    if (!r({"nft", "-f", (dir / "tables.nft").string()})) return;
    tableMade = true;
    stun = std::make_unique<testkit::StunResponder>(router, "10.99.0.1", 3478, "192.0.2.1");
    if (!stun->ready()) {
      failures += "STUN responder could not bind 10.99.0.1:3478\n";
      return;
    }
    write(dir / "miniupnpd.conf",
          "ext_ifname=wan0\nlistening_ip=vr0\nenable_natpmp=yes\nenable_upnp=yes\nsecure_mode=yes\n"
          "ext_perform_stun=yes\next_stun_host=10.99.0.1\next_stun_port=3478\n"
          "upnp_table_name=" + table + "\nupnp_nat_table_name=" + table +
          "\nupnp_forward_chain=fw\nupnp_nat_chain=pre\nupnp_nat_postrouting_chain=post\n"
          "lease_file=" + (dir / "leases").string() + "\nuuid=3a2f5e9c-0000-4000-8000-7a7a7a7a7a7a\n"
          "allow 1024-65535 10.77.0.0/24 1024-65535\ndeny 0-65535 0.0.0.0/0 0-65535\n");
    daemon = std::make_unique<ChildProcess>();
    startChild(*daemon,
               router.exec({"miniupnpd", "-f", (dir / "miniupnpd.conf").string(), "-d", "-4", "-P", (dir / "pid").string()}),
               (dir / "miniupnpd.log").string());
    if (!daemon->waitForLog("Listening for NAT-PMP/PCP traffic", 30s) ||
        daemon->log().find("Port forwarding is now enabled") == std::string::npos) {
      failures += "miniupnpd did not start forwarding:\n" + daemon->log();
      return;
    }
    ready = true;
  }
  ~Router() {
    daemon.reset();
    stun.reset();
    if (tableMade) (void)runCommand(router.exec({"nft", "delete", "table", "inet", table}));
  }
  // The router's rules for a port: its forward and DNAT entries.
  bool forwards(uint16_t port) const {
    auto rules = runCommand(router.exec({"nft", "list", "table", "inet", table})).output;
    return rules.find("dport " + std::to_string(port) + " ") != std::string::npos;
  }
  std::string rules() const { return runCommand(router.exec({"nft", "list", "table", "inet", table})).output; }

  testkit::TempDir dir;
  NetNamespace router, host;
  std::string table;
  bool tableMade = false;
  std::unique_ptr<testkit::StunResponder> stun;
  std::unique_ptr<ChildProcess> daemon;
  std::string failures;
  bool ready = false;
};

TEST(ReachabilityNetns, BothMappersMapThroughMiniupnpdAndDeleteOnStop) {
  Router router;
  ASSERT_TRUE(router.ready) << router.failures;
  InNamespace inside(router.host);
  ASSERT_TRUE(inside.entered()) << "could not enter " << router.host.name();

  {
    NATPMPEnvironment env;
    env.queue = std::make_shared<SerialExecutor>("tl.natpmp.netns");
    Reports reports;
    auto mapper = NATPMPMapper::create(47700, {47701, 47702, 47703, 47704}, env);
    mapper->setOnLog([&](const std::string& line) { reports.line(line); });
    mapper->setOnMapped([&](const std::string& ip, uint16_t port) { reports.mapped(ip, port); });
    mapper->start();
    EXPECT_EQ(reports.await(30s), "192.0.2.1:47700") << reports.lines << router.daemon->log();
    for (uint16_t port = 47700; port <= 47704; ++port) EXPECT_TRUE(router.forwards(port)) << port << router.rules();
    mapper->stop();
    env.queue->sync([] {});
    for (uint16_t port = 47700; port <= 47704; ++port) EXPECT_FALSE(router.forwards(port)) << port << router.rules();
  }
  {
    UPnPEnvironment env;
    env.queue = std::make_shared<SerialExecutor>("vela.upnp.netns");
    Reports reports;
    auto mapper = UPnPMapper::create(47800, {47801, 47802, 47803, 47804}, env);
    mapper->setOnLog([&](const std::string& line) { reports.line(line); });
    mapper->setOnMapped([&](const std::string& ip, uint16_t port) { reports.mapped(ip, port); });
    mapper->start();
    EXPECT_EQ(reports.await(30s), "192.0.2.1:47800") << reports.lines << router.daemon->log();
    for (uint16_t port = 47800; port <= 47804; ++port) EXPECT_TRUE(router.forwards(port)) << port << router.rules();
    mapper->stop(true);
    env.queue->sync([] {});
    for (uint16_t port = 47800; port <= 47804; ++port) EXPECT_FALSE(router.forwards(port)) << port << router.rules();
  }
}

#ifdef TAVLO_HOST_PROGRAM
// tavlo-host itself behind the router: with NAT mapped at listening it maps its block through NAT-PMP,
// through UPnP alone when NAT-PMP is switched off, and deletes the mapping when it is stopped.
TEST(ReachabilityNetns, TheHostMapsItsBlockThroughMiniupnpdAndRemovesItWhenItStops) {
  Router router;
  ASSERT_TRUE(router.ready) << router.failures;
  struct Run {
    const char* why;
    const char* settings;
    const char* line;  // what the host says about the way it maps
    std::vector<std::string> arguments;
    const char* withdrawn;  // what it says when it takes the endpoint back at its end
  };
  const char* withdrawnFromKVS = "🌐 NAT zwolniony (koniec hosta) — mapowanie zdjęte z routera, adres wycofany z KVS";
  for (Run run : {Run{"NAT-PMP", R"({"tl.natOnDemand": false})", "host nasłuchuje (control 47900", {}, withdrawnFromKVS},
                  Run{"UPnP with NAT-PMP off", R"({"tl.natOnDemand": false, "tl.useNATPMP": false})",
                      "🌐 NAT-PMP wyłączony — mapuję od razu przez UPnP", {}, withdrawnFromKVS},
                  // Nothing listens there: no relay request will ever come, so the block is mapped at once.
                  Run{"on demand with the relay down", "{}",
                      "🌐 relay niedostępny — mapuję porty na routerze od razu, jak bez relaya",
                      {"--relay", "127.0.0.1:1"},
                      "🌐 NAT zwolniony (koniec hosta) — mapowanie zdjęte z routera, adres wycofany z relaya i KVS"}}) {
    SCOPED_TRACE(run.why);
    testkit::TempDir home;
    std::filesystem::create_directories(home / "config" / "tavlo");
    write(home / "config" / "tavlo" / "settings.json", run.settings);
    ChildProcess host;
    std::vector<std::string> command{"env", "HOME=" + home.path().string(), "XDG_CONFIG_HOME=" + (home / "config").string(),
                                     "XDG_DATA_HOME=" + (home / "data").string(),
                                     "XDG_STATE_HOME=" + (home / "state").string(), "TMPDIR=" + home.path().string(),
                                     "DISPLAY=", TAVLO_HOST_PROGRAM, "--port", "47900"};
    command.insert(command.end(), run.arguments.begin(), run.arguments.end());
    startChild(host, router.host.exec(command), (home / "host.log").string());
    ASSERT_TRUE(host.waitForLog("🌐 KVS: opublikowano endpoint 192.0.2.1:47900", 40s))
        << host.log() << router.daemon->log();
    EXPECT_NE(host.log().find(run.line), std::string::npos) << host.log();
    for (uint16_t port = 47900; port <= 47904; ++port) EXPECT_TRUE(router.forwards(port)) << port << router.rules();
    EXPECT_EQ(host.stop(), 0) << host.log();
    for (uint16_t port = 47900; port <= 47904; ++port) EXPECT_FALSE(router.forwards(port)) << port << router.rules();
    EXPECT_NE(host.log().find(run.withdrawn), std::string::npos) << "SIGTERM withdraws the endpoint\n" << host.log();
  }
}

// tavlo-host registers with a tavlo-relay on loopback, and a client's relayed session reaches it (this
// host has no X server, so it turns the session down once it arrived, which it logs with the path).
TEST(ReachabilityNetns, TheHostRegistersWithARelayAndAClientReachesItThroughIt) {
  NetNamespace ns("rly");
  ASSERT_TRUE(ns.created()) << ns.failure();
  std::string failures;
  ASSERT_TRUE(runOrNote(ns.exec({"ip", "link", "set", "lo", "up"}), failures)) << failures;
  testkit::TempDir home;
  ChildProcess relay;
  startChild(relay,
             ns.exec({TAVLO_RELAY_PROGRAM, "--tcp-port", "47810", "--udp-port", "47811", "--state",
                      (home / "relay-state.json").string()}),
             (home / "relay.log").string());
  ASSERT_TRUE(relay.waitForLog("tavlo-relay 127.0.0.1 tcp 47810", 10s)) << relay.log();
  ChildProcess host;
  startChild(host,
             ns.exec({"env", "HOME=" + home.path().string(), "XDG_CONFIG_HOME=" + (home / "config").string(),
                      "XDG_DATA_HOME=" + (home / "data").string(), "XDG_STATE_HOME=" + (home / "state").string(),
                      "TMPDIR=" + home.path().string(), "DISPLAY=", TAVLO_HOST_PROGRAM, "--port", "47900", "--relay",
                      "127.0.0.1:47810"}),
             (home / "host.log").string());
  ASSERT_TRUE(host.waitForLog("🛰 relay: zarejestrowany", 20s)) << host.log() << relay.log();
  const std::string text = host.log();
  const std::string idTag = "host ID ";
  const std::string keyTag = "signing key (Base64) ";
  const size_t idAt = text.find(idTag);
  const size_t keyAt = text.find(keyTag);
  ASSERT_NE(idAt, std::string::npos) << text;
  ASSERT_NE(keyAt, std::string::npos) << text;
  const std::string hostID = text.substr(idAt + idTag.size(), 36);
  const size_t keyEnd = text.find_first_of(",\n", keyAt + keyTag.size());
  std::optional<Bytes> sigPub = base64Decode(text.substr(keyAt + keyTag.size(), keyEnd - keyAt - keyTag.size()));
  ASSERT_TRUE(sigPub) << text;

  InNamespace inside(ns);
  ASSERT_TRUE(inside.entered());
  ThreadScheduler scheduler;
  vela::RelayClientDialer dialer({vela::RelayService{"127.0.0.1", 47810, 47811}, &scheduler});
  std::shared_ptr<vela::SessionTransport> client = dialer.connect(hostID, *sigPub);
  ASSERT_TRUE(client);
  EXPECT_TRUE(host.waitForLog("relay/klient", 20s)) << host.log() << relay.log();
  client->close();
  EXPECT_EQ(host.stop(), 0) << host.log();
}
#endif

}  // namespace
}  // namespace tavlo
