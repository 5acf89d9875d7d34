// The screen-lock watch against a logind of our own on a private bus: a lock of another session is
// none of this host's business, a lock of its own session is.
#include "platform/power/logind_power.hpp"

#include <dbus/dbus.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/testkit/child_process.hpp"
#include "tests/testkit/temp_dir.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;

constexpr const char* kOwnSession = "/org/freedesktop/login1/session/_31";
constexpr const char* kOtherSession = "/org/freedesktop/login1/session/_32";

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Owns org.freedesktop.login1 on the bus, answers GetSession("auto") with kOwnSession and sends the
// session signals it is told to, all from its own thread (the one that uses the connection).
class FakeLogind {
 public:
  bool start(const std::string& address) {
    DBusError error;
    dbus_error_init(&error);
    bus_ = dbus_connection_open_private(address.c_str(), &error);
    if (!bus_ || !dbus_bus_register(bus_, &error) ||
        dbus_bus_request_name(bus_, "org.freedesktop.login1", DBUS_NAME_FLAG_DO_NOT_QUEUE, &error) !=
            DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
      dbus_error_free(&error);
      return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
  }
  ~FakeLogind() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (bus_) {
      dbus_connection_close(bus_);
      dbus_connection_unref(bus_);
    }
  }
  // A session's Lock or Unlock.
  void sessionSignal(const std::string& path, const std::string& member) {
    std::lock_guard guard(mutex_);
    outgoing_.push_back({path, "org.freedesktop.login1.Session", member, false});
  }
  // The manager's PrepareForSleep(true).
  void prepareForSleep() {
    std::lock_guard guard(mutex_);
    outgoing_.push_back({"/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep", true});
  }
  std::atomic<int> sessionQueries{0};

 private:
  void run() {
    while (!stop_) {
      dbus_connection_read_write(bus_, 20);
      while (DBusMessage* message = dbus_connection_pop_message(bus_)) {
        if (dbus_message_is_method_call(message, "org.freedesktop.login1.Manager", "GetSession")) {
          DBusMessage* reply = dbus_message_new_method_return(message);
          const char* path = kOwnSession;
          dbus_message_append_args(reply, DBUS_TYPE_OBJECT_PATH, &path, DBUS_TYPE_INVALID);
          dbus_connection_send(bus_, reply, nullptr);
          dbus_message_unref(reply);
          ++sessionQueries;
        }
        dbus_message_unref(message);
      }
      std::vector<Signal> signals;
      {
        std::lock_guard guard(mutex_);
        signals.swap(outgoing_);
      }
      for (const Signal& s : signals) {
        DBusMessage* signal = dbus_message_new_signal(s.path.c_str(), s.interface.c_str(), s.member.c_str());
        if (s.withTrue) {
          dbus_bool_t value = true;
          dbus_message_append_args(signal, DBUS_TYPE_BOOLEAN, &value, DBUS_TYPE_INVALID);
        }
        dbus_connection_send(bus_, signal, nullptr);
        dbus_message_unref(signal);
      }
      dbus_connection_flush(bus_);
    }
  }

  DBusConnection* bus_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  struct Signal {
    std::string path, interface, member;
    bool withTrue;
  };
  std::mutex mutex_;
  std::vector<Signal> outgoing_;
};

TEST(ScreenStateWatcher, OnlyALockOfTheHostsOwnSessionCounts) {
  testkit::TempDir dir;
  const std::string address = "unix:path=" + (dir.path() / "system_bus").string();
  testkit::ChildProcess daemon;
  ASSERT_TRUE(daemon.start({"dbus-daemon", "--session", "--nofork", "--address=" + address, "--print-address=1"},
                           {"PATH=" + std::string(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin")},
                           dir.path() / "dbus.log"));
  ASSERT_TRUE(daemon.waitForLog("unix:path=", 10s)) << daemon.log();
  // The watcher's system bus is this one; without a session bus it watches logind alone.
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  FakeLogind logind;
  ASSERT_TRUE(logind.start(address)) << daemon.log();

  std::atomic<int> locked{0}, unlocked{0}, asleep{0};
  std::vector<std::string> lines;
  std::mutex linesMutex;
  auto watcher = ScreenStateWatcher::start({.locked = [&] { ++locked; }, .unlocked = [&] { ++unlocked; }, .asleep = [&] { ++asleep; }},
                                           [&](const std::string& line) {
                                             std::lock_guard guard(linesMutex);
                                             lines.push_back(line);
                                           });
  ASSERT_TRUE(eventually([&] { return logind.sessionQueries.load() == 1; })) << "the watcher asks for its session";
  // Its session match is in place once an Unlock of its session comes through.
  ASSERT_TRUE(eventually([&] {
    logind.sessionSignal(kOwnSession, "Unlock");
    return eventually([&] { return unlocked.load() > 0; }, 100ms);
  }));

  logind.sessionSignal(kOtherSession, "Lock");
  logind.sessionSignal(kOwnSession, "Lock");
  // Signals of one sender arrive in order: once a PrepareForSleep sent after them is here, both Locks
  // were handled (it is sent again until the manager's match, made right after the session's, is in).
  ASSERT_TRUE(eventually([&] {
    logind.prepareForSleep();
    return eventually([&] { return asleep.load() > 0; }, 100ms);
  }));
  EXPECT_EQ(locked.load(), 1) << "another session's lock does not count";
  watcher.reset();
  std::lock_guard guard(linesMutex);
  EXPECT_TRUE(lines.empty()) << lines.front();
}

}  // namespace
}  // namespace tavlo
