#include "tests/testkit/fake_desktop_bus.hpp"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace tavlo::testkit {

using namespace std::chrono_literals;

bool PrivateBus::start(const std::filesystem::path& dir, const std::string& name) {
  address_ = "unix:path=" + (dir / name).string();
  const char* path = std::getenv("PATH");
  if (!daemon_.start({"dbus-daemon", "--session", "--nofork", "--address=" + address_, "--print-address=1"},
                     {"PATH=" + std::string(path ? path : "/usr/bin:/bin")}, dir / (name + ".log"))) {
    return false;
  }
  return daemon_.waitForLog("unix:path=", 10s);
}

BusPeer::~BusPeer() {
  stop();
  if (bus_) {
    dbus_connection_close(bus_);
    dbus_connection_unref(bus_);
  }
}

void BusPeer::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

bool BusPeer::connect(const std::string& address, const std::optional<std::string>& name) {
  DBusError error;
  dbus_error_init(&error);
  bus_ = dbus_connection_open_private(address.c_str(), &error);
  bool ok = bus_ && dbus_bus_register(bus_, &error);
  if (ok && name) {
    ok = dbus_bus_request_name(bus_, name->c_str(), DBUS_NAME_FLAG_DO_NOT_QUEUE, &error) ==
         DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER;
  }
  dbus_error_free(&error);
  if (!ok) return false;
  uniqueName_ = dbus_bus_get_unique_name(bus_);
  thread_ = std::thread([this] { run(); });
  return true;
}

void BusPeer::onThread(const std::function<void(DBusConnection*)>& job) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  {
    std::lock_guard guard(mutex_);
    jobs_.push_back([job, done](DBusConnection* bus) {
      job(bus);
      done->set_value();
    });
  }
  finished.wait();
}

namespace {

// A call to the bus daemon answered: everything this connection sent before it has been routed.
void waitUntilRouted(DBusConnection* bus) {
  DBusMessage* call =
      dbus_message_new_method_call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId");
  DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, call, 5000, nullptr);
  dbus_message_unref(call);
  if (reply) dbus_message_unref(reply);
}

}  // namespace

void BusPeer::signal(const std::string& path, const std::string& interface, const std::string& member,
                     const std::function<void(DBusMessage*)>& arguments, const std::optional<std::string>& destination) {
  onThread([&](DBusConnection* bus) {
    DBusMessage* message = dbus_message_new_signal(path.c_str(), interface.c_str(), member.c_str());
    if (destination) dbus_message_set_destination(message, destination->c_str());
    if (arguments) arguments(message);
    dbus_connection_send(bus, message, nullptr);
    dbus_message_unref(message);
    waitUntilRouted(bus);
  });
}

bool BusPeer::ping(const std::string& destination) {
  bool answered = false;
  onThread([&](DBusConnection* bus) {
    DBusMessage* call = dbus_message_new_method_call(destination.c_str(), "/", "org.freedesktop.DBus.Peer", "Ping");
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, call, 5000, nullptr);
    dbus_message_unref(call);
    answered = reply != nullptr;
    if (reply) dbus_message_unref(reply);
  });
  return answered;
}

std::vector<std::string> BusPeer::callers() const {
  std::lock_guard guard(mutex_);
  return callers_;
}

void BusPeer::run() {
  while (!stop_) {
    dbus_connection_read_write(bus_, 20);
    while (DBusMessage* message = dbus_connection_pop_message(bus_)) {
      if (dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_METHOD_CALL) {
        {
          std::lock_guard guard(mutex_);
          callers_.emplace_back(dbus_message_get_sender(message) ? dbus_message_get_sender(message) : "");
        }
        DBusMessage* reply = handler_ ? handler_(message) : nullptr;
        if (!reply) reply = dbus_message_new_error(message, DBUS_ERROR_UNKNOWN_METHOD, "not served by this fake");
        if (!dbus_message_get_no_reply(message)) dbus_connection_send(bus_, reply, nullptr);
        dbus_message_unref(reply);
      }
      dbus_message_unref(message);
    }
    std::vector<std::function<void(DBusConnection*)>> jobs;
    {
      std::lock_guard guard(mutex_);
      jobs.swap(jobs_);
    }
    for (auto& job : jobs) job(bus_);
    dbus_connection_flush(bus_);
  }
}

std::function<void(DBusMessage*)> boolArgument(bool value) {
  return [value](DBusMessage* message) {
    dbus_bool_t flag = value;
    dbus_message_append_args(message, DBUS_TYPE_BOOLEAN, &flag, DBUS_TYPE_INVALID);
  };
}

namespace {

// A variant holding a Bool, appended at `into`.
void appendBoolVariant(DBusMessageIter* into, bool value) {
  DBusMessageIter variant;
  dbus_message_iter_open_container(into, DBUS_TYPE_VARIANT, "b", &variant);
  dbus_bool_t flag = value;
  dbus_message_iter_append_basic(&variant, DBUS_TYPE_BOOLEAN, &flag);
  dbus_message_iter_close_container(into, &variant);
}

constexpr const char* sessionInterface = "org.freedesktop.login1.Session";

}  // namespace

FakeLogind::FakeLogind(bool lockedHint) : lockedHint_(lockedHint) {
  setHandler([this](DBusMessage* call) { return answer(call); });
}

FakeLogind::~FakeLogind() {
  stop();
  if (inhibitorEnd_ >= 0) ::close(inhibitorEnd_);
}

DBusMessage* FakeLogind::inhibit(DBusMessage* call) {
  const char* what = nullptr;
  const char* who = nullptr;
  const char* why = nullptr;
  const char* mode = nullptr;
  if (!dbus_message_get_args(call, nullptr, DBUS_TYPE_STRING, &what, DBUS_TYPE_STRING, &who, DBUS_TYPE_STRING, &why,
                             DBUS_TYPE_STRING, &mode, DBUS_TYPE_INVALID)) {
    return nullptr;
  }
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return nullptr;
  DBusMessage* reply = dbus_message_new_method_return(call);
  // The message takes a copy of the descriptor: the caller's copy is the only one left once it is sent.
  dbus_message_append_args(reply, DBUS_TYPE_UNIX_FD, &ends[1], DBUS_TYPE_INVALID);
  ::close(ends[1]);
  std::lock_guard guard(hintsMutex_);
  lastInhibit_ = std::string(what) + " " + who + " " + why + " " + mode;
  if (inhibitorEnd_ >= 0) ::close(inhibitorEnd_);
  inhibitorEnd_ = ends[0];
  return reply;
}

std::string FakeLogind::lastInhibit() const {
  std::lock_guard guard(hintsMutex_);
  return lastInhibit_;
}

bool FakeLogind::inhibitorHeld() const {
  std::lock_guard guard(hintsMutex_);
  if (inhibitorEnd_ < 0) return false;
  pollfd end{inhibitorEnd_, POLLIN, 0};
  // Every holder of the other end gone: the read end hangs up.
  return ::poll(&end, 1, 0) == 0;
}

DBusMessage* FakeLogind::answer(DBusMessage* call) {
  if (dbus_message_is_method_call(call, "org.freedesktop.login1.Manager", "Inhibit")) return inhibit(call);
  if (dbus_message_is_method_call(call, "org.freedesktop.login1.Manager", "GetSession")) {
    DBusMessage* reply = dbus_message_new_method_return(call);
    const char* path = ownSession;
    dbus_message_append_args(reply, DBUS_TYPE_OBJECT_PATH, &path, DBUS_TYPE_INVALID);
    return reply;
  }
  const char* path = dbus_message_get_path(call);
  const bool ownObject = path && std::strcmp(path, ownSession) == 0;
  if (ownObject && dbus_message_is_method_call(call, "org.freedesktop.DBus.Properties", "Get")) {
    const char* interface = nullptr;
    const char* property = nullptr;
    if (!dbus_message_get_args(call, nullptr, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING, &property,
                               DBUS_TYPE_INVALID) ||
        std::strcmp(interface, sessionInterface) != 0 || std::strcmp(property, "LockedHint") != 0) {
      return nullptr;
    }
    DBusMessage* reply = dbus_message_new_method_return(call);
    DBusMessageIter args;
    dbus_message_iter_init_append(reply, &args);
    appendBoolVariant(&args, lockedHint_.load());
    return reply;
  }
  if (ownObject && dbus_message_is_method_call(call, sessionInterface, "SetIdleHint")) {
    dbus_bool_t idle = false;
    if (!dbus_message_get_args(call, nullptr, DBUS_TYPE_BOOLEAN, &idle, DBUS_TYPE_INVALID)) return nullptr;
    std::lock_guard guard(hintsMutex_);
    idleHints_.push_back(idle != 0);
    return dbus_message_new_method_return(call);
  }
  return nullptr;
}

void FakeLogind::setLockedHint(bool locked) {
  lockedHint_ = locked;
  signal(ownSession, "org.freedesktop.DBus.Properties", "PropertiesChanged", [locked](DBusMessage* message) {
    DBusMessageIter args;
    dbus_message_iter_init_append(message, &args);
    const char* interface = sessionInterface;
    dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &interface);
    DBusMessageIter changes;
    dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "{sv}", &changes);
    DBusMessageIter entry;
    dbus_message_iter_open_container(&changes, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
    const char* key = "LockedHint";
    dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key);
    appendBoolVariant(&entry, locked);
    dbus_message_iter_close_container(&changes, &entry);
    dbus_message_iter_close_container(&args, &changes);
    DBusMessageIter invalidated;
    dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "s", &invalidated);
    dbus_message_iter_close_container(&args, &invalidated);
  });
}

void FakeLogind::sessionSignal(const std::string& path, const std::string& member) {
  signal(path, sessionInterface, member);
}

void FakeLogind::prepareForSleep(bool sleeping) {
  signal("/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep", boolArgument(sleeping));
}

std::vector<bool> FakeLogind::idleHints() const {
  std::lock_guard guard(hintsMutex_);
  return idleHints_;
}

FakeScreenSaver::FakeScreenSaver(bool active) : active_(active) {
  setHandler([this](DBusMessage* call) -> DBusMessage* {
    if (!dbus_message_is_method_call(call, "org.freedesktop.ScreenSaver", "GetActive")) return nullptr;
    DBusMessage* reply = dbus_message_new_method_return(call);
    dbus_bool_t active = active_.load();
    dbus_message_append_args(reply, DBUS_TYPE_BOOLEAN, &active, DBUS_TYPE_INVALID);
    return reply;
  });
}

void FakeScreenSaver::setActive(bool active) {
  active_ = active;
  signal("/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged", boolArgument(active));
}

}  // namespace tavlo::testkit
