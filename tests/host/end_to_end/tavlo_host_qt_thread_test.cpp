// The built tavlo-host with its tray icon on a private dummy Xorg with a tray host (trayer): how long its
// Qt thread takes to answer while the host is busy, measured from outside by pinging the icon's window
// (see qt_thread_ping.hpp), and how it ends. The figures are printed and recorded as test properties.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "host/app/host_options.hpp"
#include "host/controller/port_block_search.hpp"
#include "platform/display/randr_layout.hpp"
#include "platform/x11/randr_outputs.hpp"
#include "protocol/status_messages.hpp"
#include "tests/host/app/host_process.hpp"
#include "tests/host/end_to_end/end_to_end_kit.hpp"
#include "tests/host/end_to_end/host_test_client.hpp"
#include "tests/host/end_to_end/qt_thread_ping.hpp"
#include "tests/testkit/child_process.hpp"
#include "tests/testkit/fake_desktop_bus.hpp"
#include "tests/testkit/temp_dir.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;
using namespace endtoend;

// The Qt thread may take this long to answer at the 99th percentile, whatever the host is doing; the
// sanitizer's host runs several times slower.
constexpr double answerBoundMs = residentSetIsMeaningful ? 100 : 400;
// SIGTERM ends the host within this, whatever it waits for at exit (its deadlines add up to less); the
// sanitizer's host takes several times longer for each step.
constexpr std::chrono::seconds exitBound{residentSetIsMeaningful ? 10 : 30};
constexpr auto pingInterval = 5ms;

// Waits (without reading its output) until the process has ended; its exit status, or -1 when it still
// runs after `within` or did not exit normally.
int exitStatusWithin(HostProcess& host, std::chrono::milliseconds within) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(host.pid(), &status, WNOHANG) == host.pid()) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(10ms);
  }
  return -1;
}

void record(const std::string& name, const hosttest::QtThreadPing::Figures& figures) {
  std::cout << name << ": " << figures.text() << "\n";
  ::testing::Test::RecordProperty(name + "_p99_ms", std::to_string(figures.p99Ms));
  ::testing::Test::RecordProperty(name + "_longest_ms", std::to_string(figures.maxMs));
}

class TavloHostQtThread : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xorg.start()) << xorg.failureText();
    ASSERT_TRUE(trayHost.start({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "28"},
                               {"DISPLAY=" + xorg.display(), "HOME=" + home.path().string(), "PATH=/usr/bin:/bin"},
                               home / "trayer.log"))
        << "trayer did not start";
    std::filesystem::create_directories(fakeBin);
  }

  // A program on the host's PATH before the system's: a shell script with `body`.
  void fakeProgram(const std::string& name, const std::string& body) {
    const auto path = fakeBin / name;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  }

  // Starts the host on a free block with its tray and waits until it listens and its icon answers pings.
  void startHost(std::vector<std::pair<std::string, std::string>> environment = {}) {
    base = freeBlock();
    ASSERT_NE(base, 0);
    ASSERT_NO_FATAL_FAILURE(launchHost(std::move(environment)));
    ASSERT_NO_FATAL_FAILURE(waitUntilListening());
  }

  // Starts the host on `base` with its tray and waits until its icon answers pings.
  void launchHost(std::vector<std::pair<std::string, std::string>> environment = {}) {
    environment.emplace_back("PATH", fakeBin.string() + ":/usr/bin:/bin");
    environment.emplace_back("QT_QPA_PLATFORM", "xcb");
    host = std::make_unique<HostProcess>(
        home.path(), std::vector<std::string>{"--port", std::to_string(base), "--display", xorg.display()},
        environment);
    std::string error;
    auto x = XcbConnection::open(xorg.display(), &error);
    ASSERT_NE(x, nullptr) << error;
    std::optional<xcb_window_t> window;
    // The start itself is not what these tests measure: on a machine just set up (its font caches cold),
    // a host's first window can take seconds.
    for (int i = 0; i < 600 && !window; ++i) {
      window = hosttest::findPingableWindow(*x, "tavlo-host");
      if (!window) std::this_thread::sleep_for(50ms);
    }
    host->drainOutput();
    ASSERT_TRUE(window) << "no window of tavlo-host answers pings\n"
                        << host->output() << trayHost.log() << host->stacksAndLog(home.path());
    ping = hosttest::QtThreadPing::start(xorg.display(), *window, pingInterval, &error);
    ASSERT_NE(ping, nullptr) << error;
    char id[32];
    std::snprintf(id, sizeof id, "0x%x", *window);
    ASSERT_TRUE(ping->waitForAnswer(10s)) << "the icon's window never answered a ping\n" << id << "\n"
        << testkit::runTool({"xwininfo", "-display", xorg.display(), "-root", "-tree"}, {}).output
        << testkit::runTool({"xprop", "-display", xorg.display(), "-id", id}, {}).output;
    ping->reset();
  }

  void waitUntilListening() {
    // launchHost may already have read the line while it drained the output.
    if (!publishedKey(host->output())) {
      ASSERT_TRUE(host->waitForLine("signing key (Base64) ")) << host->output();
    }
    auto key = publishedKey(host->output());
    ASSERT_TRUE(key) << host->output();
    hostKey = *key;
  }

  // A client that said hello and was admitted.
  void connectClient() {
    std::string error;
    ASSERT_TRUE(client.connect(base, hostKey, &error)) << error << "\n" << host->output();
    client.sendHello(1280, 720);
    auto hello = client.nextControl<vela::HostHello>(hostAnswerBound);
    ASSERT_TRUE(hello && hello->accepted) << host->output();
    client.setSession(hello->sessionId, hello->generation);
  }

  // The Qt thread answered the pings since the last reset, and soon enough; the figures go under `name`.
  void expectAnsweredInTime(const std::string& name) {
    const auto figures = ping->figures();
    record(name, figures);
    EXPECT_GT(figures.answered, 100u) << figures.text();
    EXPECT_LE(figures.p99Ms, answerBoundMs) << figures.text();
  }

  void expectEndsOnSigterm() {
    host->signal(SIGTERM);
    EXPECT_EQ(exitStatusWithin(*host, exitBound), 0) << host->output();
  }

  testkit::XorgServer xorg;
  testkit::TempDir home;
  testkit::ChildProcess trayHost;
  const std::filesystem::path fakeBin = home / "bin";
  uint16_t base = 0;
  Bytes hostKey;
  std::unique_ptr<HostProcess> host;
  std::unique_ptr<hosttest::QtThreadPing> ping;
  hosttest::HostTestClient client;
};

// The baseline: a host with a client connected and nothing else to do answers at once, and SIGTERM ends it.
TEST_F(TavloHostQtThread, AnswersAtOnceWhenIdleAndEndsOnSigterm) {
  ASSERT_NO_FATAL_FAILURE(startHost());
  ASSERT_NO_FATAL_FAILURE(connectClient());
  ping->reset();
  std::this_thread::sleep_for(2s);
  expectAnsweredInTime("idle");
  expectEndsOnSigterm();
}

// A client makes the host log 5,000 lines a second for three seconds (its own log lines, which the host
// writes to its log) while nobody reads the host's standard output: the pipe fills at once. The Qt thread
// still answers, and SIGTERM ends the host with the pipe still full.
TEST_F(TavloHostQtThread, AnswersWhileAClientFloodsTheLogIntoAFullOutputPipe) {
  ASSERT_NO_FATAL_FAILURE(startHost());
  ASSERT_NO_FATAL_FAILURE(connectClient());
  host->drainOutput();
  ping->reset();
  constexpr int linesPerSecond = 5'000;
  const auto start = std::chrono::steady_clock::now();
  int sent = 0;
  while (std::chrono::steady_clock::now() - start < 3s) {
    const auto due = int(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() * linesPerSecond);
    for (; sent < due; ++sent) client.sendControl(vela::ClientLogMessage("wiersz próbny " + std::to_string(sent)));
    std::this_thread::sleep_for(1ms);
  }
  // A second after the flood, still unread.
  std::this_thread::sleep_for(1s);
  expectAnsweredInTime("log_flood_full_pipe");
  host->signal(SIGTERM);
  EXPECT_EQ(exitStatusWithin(*host, exitBound), 0) << "SIGTERM did not end the host in time with its output unread";
}

// A user manager that never answers: every systemctl the host runs (installing the virtual devices, the
// login units) hangs. The Qt thread still answers, and SIGTERM ends the host within 10 s, running no
// systemctl after it.
TEST_F(TavloHostQtThread, AnswersAndEndsOnSigtermWhileSystemctlHangs) {
  const auto calls = home / "systemctl-calls";
  fakeProgram("systemctl", "echo \"$@\" >> '" + calls.string() + "'\nexec sleep 600");
  ASSERT_NO_FATAL_FAILURE(startHost());
  ASSERT_NO_FATAL_FAILURE(connectClient());
  ping->reset();
  std::this_thread::sleep_for(2s);
  const auto figures = ping->figures();
  host->signal(SIGTERM);
  const auto signalled = std::chrono::steady_clock::now();
  const size_t callsAtSigterm = testkit::readTextFile(calls).size();
  const int status = exitStatusWithin(*host, exitBound);
  const auto took = std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
  record("hanging_systemctl", figures);
  RecordProperty("hanging_systemctl_exit_s", std::to_string(took));
  std::cout << "exit " << took << " s after SIGTERM\n";
  EXPECT_EQ(status, 0) << "SIGTERM did not end the host in time\n" << host->output();
  EXPECT_LE(figures.p99Ms, answerBoundMs) << figures.text();
  EXPECT_EQ(testkit::readTextFile(calls).size(), callsAtSigterm) << "systemctl was run after SIGTERM:\n"
                                                                  << testkit::readTextFile(calls);
}

// A second SIGTERM while the first one's quit is still under way ends the process at once, with its own
// status.
TEST_F(TavloHostQtThread, ASecondSigtermEndsTheHostAtOnce) {
  fakeProgram("systemctl", "exec sleep 600");
  ASSERT_NO_FATAL_FAILURE(startHost());
  ASSERT_NO_FATAL_FAILURE(connectClient());
  host->signal(SIGTERM);
  // Two signals sent at once would arrive as one.
  std::this_thread::sleep_for(200ms);
  host->signal(SIGTERM);
  EXPECT_EQ(exitStatusWithin(*host, 3s), HostExitCode::endedAtOnce) << host->output();
}

// Connections that agreed a key but never said hello are closed first at exit: the host ends at once,
// with no session thread left running.
TEST_F(TavloHostQtThread, ConnectionsWithoutHelloAreClosedFirstAtExit) {
  ASSERT_NO_FATAL_FAILURE(startHost());
  std::vector<std::unique_ptr<hosttest::HostTestClient>> silent;
  for (int i = 0; i < 3; ++i) {
    auto peer = std::make_unique<hosttest::HostTestClient>();
    std::string error;
    ASSERT_TRUE(peer->connect(base, hostKey, &error)) << error << "\n" << host->output();
    silent.push_back(std::move(peer));
  }
  ASSERT_TRUE(host->waitForLine("nowa sesja")) << host->output();
  host->signal(SIGTERM);
  const auto signalled = std::chrono::steady_clock::now();
  EXPECT_EQ(host->exitStatus(), 0) << host->output();
  const auto took = std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
  RecordProperty("exit_without_hello_s", std::to_string(took));
  EXPECT_LT(took, 10.0) << host->output();
  EXPECT_EQ(host->output().find("wątki sesji działają jeszcze"), std::string::npos) << host->output();
}

// The X server goes away under a host with a client: Qt would end the process itself. The host runs
// the same ordered quit as on SIGTERM and ends with its own status.
TEST_F(TavloHostQtThread, EndsInOrderWhenItsXServerGoesAway) {
  ASSERT_NO_FATAL_FAILURE(startHost());
  ASSERT_NO_FATAL_FAILURE(connectClient());
  trayHost.stop();
  xorg.stop();
  EXPECT_EQ(host->exitStatus(), HostExitCode::windowSystemGone) << host->output();
}

// At login the host can start before the panel: its icon appears once a tray host does, and again when
// the tray host restarts; the log says each.
TEST(TavloHostWithoutTray, ShowsTheIconOnceATrayHostAppearsAndAgainAfterItRestarts) {
  testkit::XorgServer xorg;
  ASSERT_TRUE(xorg.start()) << xorg.failureText();
  testkit::TempDir home;
  const uint16_t base = freeBlock();
  ASSERT_NE(base, 0);
  HostProcess host(home.path(), {"--port", std::to_string(base), "--display", xorg.display()},
                   {{"QT_QPA_PLATFORM", "xcb"}});
  ASSERT_TRUE(host.waitForLine("signing key (Base64) ")) << host.output();
  // Said at start, before or after the listening lines.
  if (linesWith(host.output(), "brak zasobnika na pulpicie") == 0) {
    ASSERT_TRUE(host.waitForLine("brak zasobnika na pulpicie")) << host.output();
  }
  std::string error;
  auto x = XcbConnection::open(xorg.display(), &error);
  ASSERT_NE(x, nullptr) << error;
  auto iconShownWithin = [&](std::chrono::milliseconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (std::chrono::steady_clock::now() < deadline) {
      if (hosttest::viewablePingableWindows(*x, "tavlo-host") > 0) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  };
  EXPECT_FALSE(iconShownWithin(300ms)) << "no tray host yet, so no icon";
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "the tray host starts after the host" : "the tray host restarted");
    testkit::ChildProcess trayHost;
    ASSERT_TRUE(trayHost.start({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "28"},
                               {"DISPLAY=" + xorg.display(), "HOME=" + home.path().string(), "PATH=/usr/bin:/bin"},
                               home / "trayer.log"))
        << "trayer did not start";
    EXPECT_TRUE(host.waitForLine("zasobnik pojawił się na pulpicie")) << host.output();
    EXPECT_TRUE(iconShownWithin(10s)) << host.output() << trayHost.log();
    trayHost.stop();
    EXPECT_TRUE(host.waitForLine("zasobnik zniknął z pulpitu")) << host.output();
  }
  host.signal(SIGTERM);
  EXPECT_EQ(host.exitStatus(), 0) << host.output();
  EXPECT_EQ(linesWith(host.output(), "bez ikony w zasobniku"), 0u) << host.output();
}

// Where no Qt platform serves the display the host runs headless and says why in one line, instead of
// aborting.
TEST(TavloHostWithoutTray, RunsHeadlessAndSaysWhy) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> environment;
    const char* reason;
  };
  const std::vector<Case> cases{
      {"a missing Qt platform", {{"QT_QPA_PLATFORM", "nonexistent"}}, "no Qt platform plugin for \"nonexistent\""},
  };
  testkit::XorgServer xorg;
  ASSERT_TRUE(xorg.start()) << xorg.failureText();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testkit::TempDir home;
    const uint16_t base = freeBlock();
    ASSERT_NE(base, 0);
    HostProcess host(home.path(), {"--port", std::to_string(base), "--display", xorg.display()}, c.environment);
    ASSERT_TRUE(host.waitForLine("signing key (Base64) ")) << host.output();
    host.signal(SIGTERM);
    EXPECT_EQ(host.exitStatus(), 0) << host.output();
    EXPECT_EQ(linesWith(host.output(), "bez ikony w zasobniku"), 1u) << host.output();
    EXPECT_EQ(linesWith(host.output(), std::string("bez ikony w zasobniku (") + c.reason + ")"), 1u) << host.output();
  }
}

// Holds a UDP port the way another user's host would, until closed (and not in the host this test
// starts: the socket is not inherited).
class HeldPort {
 public:
  explicit HeldPort(uint16_t port) : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(port);
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) close();
  }
  ~HeldPort() { close(); }
  bool held() const { return fd_ >= 0; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// One port of the preferred block is busy: the host waits for it (up to 40 s) while its tray answers,
// and takes the block once the port is let go.
TEST_F(TavloHostQtThread, AnswersWhileItWaitsForABusyPortOfItsBlock) {
  PortBlockSearch search(PortBlockSearch::systemProbe());
  for (int tries = 0; tries < 20 && (base == 0 || !search.blockIsFree(uint16_t(base + 5))); ++tries) base = freeBlock();
  ASSERT_NE(base, 0);
  HeldPort busy(uint16_t(base + 2));
  ASSERT_TRUE(busy.held());
  ASSERT_NO_FATAL_FAILURE(launchHost());
  std::this_thread::sleep_for(3s);
  expectAnsweredInTime("busy_port");
  busy.close();
  ASSERT_NO_FATAL_FAILURE(waitUntilListening());
  EXPECT_NE(host->output().find("🔢 wybór portu: blok " + std::to_string(base) + " zwolnił się po"), std::string::npos)
      << host->output();
  expectEndsOnSigterm();
}

// Switches `output` on again with `mode`, to the right of the others, as a monitor that comes back would.
bool switchBackOn(const XcbConnection& x, uint32_t output, uint32_t mode) {
  auto layout = readRandrLayout(x);
  if (!layout) return false;
  if (layout->crtcShowing(output)) return true;
  RandrLayout after = *layout;
  RandrCrtc* crtc = after.freeCrtcFor(output);
  if (!crtc || !after.show(*crtc, output, mode, static_cast<int32_t>(layout->rightEdge()), 0, 1)) return false;
  return commitRandrLayout(x, *layout, after);
}

// The dummy Xorg's physical monitor: its output and mode, and whether it is switched on.
struct Monitor {
  std::unique_ptr<XcbConnection> x;
  uint32_t output = 0;
  uint32_t mode = 0;

  bool find(const std::string& display, std::string* error) {
    x = XcbConnection::open(display, error);
    if (!x) return false;
    auto layout = readRandrLayout(*x);
    if (!layout) return false;
    for (const RandrCrtc& crtc : layout->crtcs) {
      if (crtc.on() && !crtc.outputs.empty() && output == 0) {
        output = crtc.outputs.front();
        mode = crtc.mode;
      }
    }
    return output != 0;
  }
  bool on() const {
    auto shown = queryOutput(*x, output);
    return shown && shown->enabled();
  }
  // Waits until the monitor is `wanted` (on or off); true when it is.
  bool becomes(bool wanted) const {
    const auto by = std::chrono::steady_clock::now() + hostAnswerBound;
    while (on() != wanted && std::chrono::steady_clock::now() < by) std::this_thread::sleep_for(20ms);
    return on() == wanted;
  }
};

// While a client streams, a physical monitor keeps being switched back on: the host switches it off
// again each time while its tray answers.
TEST_F(TavloHostQtThread, AnswersWhileAMonitorKeepsComingBack) {
  std::string error;
  Monitor physical;
  ASSERT_TRUE(physical.find(xorg.display(), &error)) << "the dummy Xorg shows no output " << error;
  ASSERT_NO_FATAL_FAILURE(startHost());
  ASSERT_NO_FATAL_FAILURE(connectClient());
  const XcbConnection& x = *physical.x;
  const uint32_t monitor = physical.output, mode = physical.mode;
  auto monitorOn = [&] { return physical.on(); };
  ASSERT_TRUE(physical.becomes(false)) << "the client's hello did not isolate the monitor\n" << host->output();

  ping->reset();
  int comebacks = 0;
  const auto end = std::chrono::steady_clock::now() + 4s;
  while (std::chrono::steady_clock::now() < end) {
    client.sendKeepalive();
    if (!monitorOn()) {
      ASSERT_TRUE(switchBackOn(x, monitor, mode));
      ++comebacks;
    }
    host->drainOutput();
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_GE(comebacks, 3) << "the host did not switch the monitor off again";
  expectAnsweredInTime("monitor_back");
  expectEndsOnSigterm();
}

// The host ends the client's session itself (the machine goes to sleep): the goodbye, the session's
// close and the physical monitor switched back on, while its tray answers.
TEST_F(TavloHostQtThread, AnswersWhileItEndsASessionAndSwitchesTheMonitorBackOn) {
  std::string error;
  Monitor physical;
  ASSERT_TRUE(physical.find(xorg.display(), &error)) << "the dummy Xorg shows no output " << error;
  testkit::TempDir buses;
  testkit::PrivateBus systemBus;
  ASSERT_TRUE(systemBus.start(buses.path(), "system")) << systemBus.failureText();
  testkit::FakeLogind logind;
  ASSERT_TRUE(logind.start(systemBus.address()));
  ASSERT_NO_FATAL_FAILURE(startHost({{"DBUS_SYSTEM_BUS_ADDRESS", systemBus.address()}}));
  ASSERT_NO_FATAL_FAILURE(connectClient());
  ASSERT_TRUE(physical.becomes(false)) << "the client's hello did not isolate the monitor\n" << host->output();

  ping->reset();
  logind.prepareForSleep(true);
  ASSERT_TRUE(host->waitForLine("🔒 ekrany hosta uśpione — rozłączam klienta (BYE)")) << host->output();
  EXPECT_TRUE(physical.becomes(true)) << "the monitor stayed off after the session\n" << host->output();
  // The session's close and the display's clean-up come 150 ms after the goodbye, and take their time.
  std::this_thread::sleep_for(2s);
  expectAnsweredInTime("session_end");
  expectEndsOnSigterm();
}

// An earlier run left the physical monitor switched off (its list stored, as a crash would leave it): the
// host switches it back on at launch, off its main thread, and forgets the list once it is on.
TEST_F(TavloHostQtThread, SwitchesOnAtLaunchTheMonitorAnEarlierRunLeftOff) {
  std::string error;
  Monitor physical;
  ASSERT_TRUE(physical.find(xorg.display(), &error)) << "the dummy Xorg shows no output " << error;
  auto layout = readRandrLayout(*physical.x);
  ASSERT_TRUE(layout);
  RandrLayout off = *layout;
  RandrCrtc* crtc = off.crtcShowing(physical.output);
  ASSERT_NE(crtc, nullptr);
  off.switchOff(*crtc);
  ASSERT_TRUE(commitRandrLayout(*physical.x, *layout, off));
  ASSERT_TRUE(physical.becomes(false));
  const auto settingsFile = home / "XDG_CONFIG_HOME" / "tavlo" / "settings.json";
  std::filesystem::create_directories(settingsFile.parent_path());
  std::ofstream(settingsFile) << "{\"tl.isolatedDisplayIDs\": [" << physical.output << "]}";

  ASSERT_NO_FATAL_FAILURE(startHost());
  EXPECT_TRUE(physical.becomes(true)) << "the monitor stayed off\n" << host->output();
  expectEndsOnSigterm();
  std::ifstream stored(settingsFile);
  const std::string text((std::istreambuf_iterator<char>(stored)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.find("tl.isolatedDisplayIDs"), std::string::npos) << "the list outlived the recovery: " << text;
}

// The X server stops answering (SIGSTOP) under a host whose client streams with the cursor's shape sent
// apart (the host polls the cursor and the screen layout on that server): one SIGTERM still ends the
// host in order within the bound, and its log says which steps of the quit it gave up on.
TEST_F(TavloHostQtThread, EndsInOrderOnSigtermWhileItsXServerDoesNotAnswer) {
  ASSERT_NO_FATAL_FAILURE(startHost());
  ASSERT_NO_FATAL_FAILURE(connectClient());
  ASSERT_TRUE(client.nextControl<vela::VideoConfig>(hostAnswerBound)) << host->output();
  ASSERT_TRUE(host->waitForLine("kursor ukryty w strumieniu")) << host->output();
  ping.reset();  // its connection would wait on the stopped server too
  ASSERT_EQ(::kill(xorg.pid(), SIGSTOP), 0);
  std::this_thread::sleep_for(1s);  // the polls now wait for the server
  host->signal(SIGTERM);
  const auto signalled = std::chrono::steady_clock::now();
  const int status = exitStatusWithin(*host, exitBound);
  const auto took = std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
  ::kill(xorg.pid(), SIGCONT);
  RecordProperty("stalled_x_exit_s", std::to_string(took));
  std::cout << "exit " << took << " s after SIGTERM with the X server stopped\n";
  host->drainOutput();
  EXPECT_TRUE(status == 0 || status == HostExitCode::windowSystemGone)
      << "status " << status << " after " << took << " s\n" << host->output();
  EXPECT_NE(host->output().find("serwer X nie odpowiada"), std::string::npos)
      << "the quit did not say what it skipped\n" << host->output();
}

}  // namespace
}  // namespace tavlo
