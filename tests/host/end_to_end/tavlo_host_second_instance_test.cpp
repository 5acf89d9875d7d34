// The built tavlo-host started a second time beside a running one on the same dummy Xorg, with a tray
// host (trayer), a sound server and a user manager that records its calls: the second one quits and
// touches nothing the running one owns (no second icon, no systemctl call, the default input as the
// running one set it); and an update folder another account planted beside the program is installed by
// neither.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "host/app/host_program.hpp"
#include "host/update/update_installer.hpp"
#include "tests/host/app/host_process.hpp"
#include "tests/host/end_to_end/qt_thread_ping.hpp"
#include "tests/testkit/child_process.hpp"
#include "tests/testkit/pipewire_stack.hpp"
#include "tests/testkit/test_account.hpp"
#include "tests/testkit/temp_dir.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* virtualMicrophone = "TavloMic_UID";

std::string fileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

TEST(TavloHostSecondInstance, QuitsWithoutTouchingWhatTheRunningOneOwns) {
  testkit::XorgServer xorg;
  testkit::TempDir home;
  testkit::ChildProcess trayHost;
  testkit::PipeWireStack audio;
  ASSERT_TRUE(xorg.start()) << xorg.failureText();
  ASSERT_TRUE(trayHost.start({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "28"},
                             {"DISPLAY=" + xorg.display(), "HOME=" + home.path().string(), "PATH=/usr/bin:/bin"},
                             home / "trayer.log"))
      << "trayer did not start";
  ASSERT_TRUE(audio.start()) << audio.failureText();
  // A physical microphone and the virtual one, both sources of the sound server.
  ASSERT_EQ(audio.run({"pactl", "load-module", "module-null-sink", "sink_name=tl_test_sink"}).exitCode, 0) << audio.logs();
  for (const char* name : {"usb_mic", virtualMicrophone}) {
    auto loaded = audio.run({"pactl", "load-module", "module-remap-source", std::string("source_name=") + name,
                             "master=tl_test_sink.monitor"});
    ASSERT_EQ(loaded.exitCode, 0) << loaded.output << audio.logs();
  }
  ASSERT_EQ(audio.run({"pactl", "set-default-source", "usb_mic"}).exitCode, 0);

  // A user manager that accepts every command, has every unit enabled and running, and records who asked.
  const fs::path bin = home / "bin";
  const fs::path calls = home / "systemctl-calls";
  fs::create_directories(bin);
  std::ofstream(bin / "systemctl") << "#!/bin/sh\necho \"$PPID $*\" >> '" << calls.string() << "'\n"
                                   << "case \"$2\" in is-enabled) echo enabled;; is-active) echo active;; esac\nexit 0\n";
  fs::permissions(bin / "systemctl", fs::perms::owner_all);
  // The program runs from a folder of its own with the camera's and microphone's daemons beside it;
  // an update is staged beside the folder.
  const fs::path installDir = home / "opt";
  fs::create_directories(installDir);
  fs::copy_file(TAVLO_HOST_PROGRAM, installDir / "tavlo-host");
  for (const char* daemon : {"tavlo-camd", "tavlo-micd"}) {
    std::ofstream(installDir / daemon) << "#!/bin/sh\nexit 0\n";
    fs::permissions(installDir / daemon, fs::perms::owner_all);
  }
  const std::string program = fileText(installDir / "tavlo-host");

  // The test's sound server, and the recording user manager first on the PATH.
  const std::vector<std::pair<std::string, std::string>> environment{
      {"PULSE_SERVER", audio.pulseServer()}, {"PATH", bin.string() + ":/usr/bin:/bin"}, {"QT_QPA_PLATFORM", "xcb"}};
  const uint16_t base = freeBlock();
  ASSERT_NE(base, 0);
  const std::vector<std::string> args{"--port", std::to_string(base), "--display", xorg.display()};

  std::string error;
  auto x = XcbConnection::open(xorg.display(), &error);
  ASSERT_NE(x, nullptr) << error;
  HostProcess first(home.path(), args, environment, installDir / "tavlo-host");
  ASSERT_TRUE(first.waitForLine("signing key (Base64) ")) << first.output();
  for (int i = 0; i < 200 && hosttest::viewablePingableWindows(*x, "tavlo-host") == 0; ++i) std::this_thread::sleep_for(50ms);
  first.drainOutput();
  ASSERT_EQ(hosttest::viewablePingableWindows(*x, "tavlo-host"), 1u) << first.output() << trayHost.log();

  // The running host's devices are installed: both units asked about (or started) by it.
  for (int i = 0; i < 200 && fileText(calls).find("tavlo-camd.service") == std::string::npos; ++i) {
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_NE(fileText(calls).find("tavlo-camd.service"), std::string::npos) << first.output();

  // The running host's client session has the virtual microphone as the default input, and another
  // account has planted a newer "release" where earlier builds staged their updates: no host installs
  // it, neither the second instance nor the running one as it ends (updates are off here; nothing
  // was staged by this host).
  ASSERT_EQ(audio.run({"pactl", "set-default-source", virtualMicrophone}).exitCode, 0);
  testkit::TestAccount other;
  ASSERT_TRUE(other.made()) << "useradd failed";
  const fs::path planted = installDir.parent_path() / ".opt.tavlo-update";
  fs::create_directories(planted);
  std::ofstream(planted / "tavlo-host") << "the other account's program";
  std::ofstream(planted / updateBuildFileName) << "999999\n";
  other.own(planted);

  HostProcess second(home.path(), args, environment, installDir / "tavlo-host");
  size_t mostIcons = 0;
  int status = -1;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (std::chrono::steady_clock::now() < deadline) {
    mostIcons = std::max(mostIcons, hosttest::viewablePingableWindows(*x, "tavlo-host"));
    int raw = 0;
    if (::waitpid(second.pid(), &raw, WNOHANG) == second.pid()) {
      status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
      break;
    }
    second.drainOutput();
    std::this_thread::sleep_for(5ms);
  }
  second.drainOutput();
  ASSERT_EQ(status, HostExitCode::anotherInstance) << second.output();
  EXPECT_NE(second.output().find("🚫 druga instancja hosta już działa"), std::string::npos) << second.output();

  EXPECT_EQ(mostIcons, 1u) << "the second instance showed an icon of its own";
  std::istringstream lines(fileText(calls));
  for (std::string line; std::getline(lines, line);) {
    EXPECT_NE(line.substr(0, line.find(' ')), std::to_string(second.pid())) << "the second instance ran systemctl " << line;
  }
  EXPECT_EQ(trimmed(audio.run({"pactl", "get-default-source"}).output), virtualMicrophone)
      << "the second instance moved the running host's default input";
  EXPECT_TRUE(fileText(installDir / "tavlo-host") == program) << "the second instance installed the planted folder";
  first.drainOutput();
  EXPECT_EQ(::waitpid(first.pid(), nullptr, WNOHANG), 0) << "the running host ended\n" << first.output();

  first.signal(SIGTERM);
  EXPECT_EQ(first.exitStatus(), 0) << first.output();
  EXPECT_TRUE(fileText(installDir / "tavlo-host") == program) << "the host installed the planted folder at exit";
  EXPECT_EQ(fileText(planted / "tavlo-host"), "the other account's program");
}

}  // namespace
}  // namespace tavlo
