#pragma once
// The desktop session's services on a private bus of the test's own: a dbus-daemon, a logind that
// knows one session (its LockedHint, its idle hint, its Lock/Unlock signals, the machine's
// PrepareForSleep) and a screen saver (GetActive, ActiveChanged); and a bare peer that sends what any
// local account could (signals addressed to another connection). Each peer uses its connection on a
// thread of its own; every signal it is told to send is routed by the bus before the call returns.
#include <dbus/dbus.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/testkit/child_process.hpp"

namespace tavlo::testkit {

// dbus-daemon with the session bus's rules, on a socket in `dir`.
class PrivateBus {
 public:
  // False, with the daemon's log in failureText(), when it did not come up within 10 s.
  bool start(const std::filesystem::path& dir, const std::string& name);
  const std::string& address() const { return address_; }
  std::string failureText() const { return "dbus-daemon did not start:\n" + daemon_.log(); }

 private:
  ChildProcess daemon_;
  std::string address_;
};

// One connection on a bus, served on its own thread.
class BusPeer {
 public:
  // Answers a method call addressed to this peer; none: the caller gets an UnknownMethod error.
  using Handler = std::function<DBusMessage*(DBusMessage* call)>;

  BusPeer() = default;
  virtual ~BusPeer();
  BusPeer(const BusPeer&) = delete;
  BusPeer& operator=(const BusPeer&) = delete;

  // Connects (owning `name` when given); false when the bus or the name cannot be had.
  bool connect(const std::string& address, const std::optional<std::string>& name = std::nullopt);
  const std::string& uniqueName() const { return uniqueName_; }

  // A signal, broadcast or (with `destination`) addressed to one connection; returns once the bus has
  // routed it. `arguments` appends the signal's arguments.
  void signal(const std::string& path, const std::string& interface, const std::string& member,
              const std::function<void(DBusMessage*)>& arguments = {},
              const std::optional<std::string>& destination = std::nullopt);
  // Calls Peer.Ping on `destination` and waits (up to 5 s) for its answer: true once that peer has
  // read everything this one sent it before.
  bool ping(const std::string& destination);
  // Who called this peer's methods, by unique name, in order.
  std::vector<std::string> callers() const;
  // Ends the peer's thread (idempotent); a derived peer calls it first, before its own state goes.
  void stop();

 protected:
  void setHandler(Handler handler) { handler_ = std::move(handler); }

 private:
  // Runs `job` on the peer's thread and waits for it.
  void onThread(const std::function<void(DBusConnection*)>& job);
  void run();

  DBusConnection* bus_ = nullptr;
  std::string uniqueName_;
  Handler handler_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::function<void(DBusConnection*)>> jobs_;
  std::vector<std::string> callers_;
};

// A Bool argument.
std::function<void(DBusMessage*)> boolArgument(bool value);

// org.freedesktop.login1 with one session, `sessionPath`, which GetSession("auto") names.
class FakeLogind : public BusPeer {
 public:
  static constexpr const char* ownSession = "/org/freedesktop/login1/session/_31";
  static constexpr const char* otherSession = "/org/freedesktop/login1/session/_32";

  explicit FakeLogind(bool lockedHint = false);
  ~FakeLogind() override;
  bool start(const std::string& address) { return connect(address, "org.freedesktop.login1"); }

  // The session's LockedHint, with the PropertiesChanged signal logind sends for it.
  void setLockedHint(bool locked);
  bool lockedHint() const { return lockedHint_.load(); }
  // A session's Lock or Unlock signal.
  void sessionSignal(const std::string& path, const std::string& member);
  void prepareForSleep(bool sleeping);
  // The values SetIdleHint was called with, in order.
  std::vector<bool> idleHints() const;
  // What the last Inhibit call asked for ("what who why mode"), and whether its caller still holds the
  // inhibitor it was given (a descriptor whose other end this fake watches).
  std::string lastInhibit() const;
  bool inhibitorHeld() const;

 private:
  DBusMessage* answer(DBusMessage* call);
  DBusMessage* inhibit(DBusMessage* call);

  std::atomic<bool> lockedHint_;
  mutable std::mutex hintsMutex_;
  std::vector<bool> idleHints_;
  std::string lastInhibit_;
  int inhibitorEnd_ = -1;
};

// org.freedesktop.ScreenSaver on the session bus.
class FakeScreenSaver : public BusPeer {
 public:
  explicit FakeScreenSaver(bool active = false);
  ~FakeScreenSaver() override { stop(); }
  bool start(const std::string& address) { return connect(address, "org.freedesktop.ScreenSaver"); }
  // Whether the saver is active, with its ActiveChanged signal.
  void setActive(bool active);

 private:
  std::atomic<bool> active_;
};

}  // namespace tavlo::testkit
