#include "platform/power/logind_power.hpp"

#include <dbus/dbus.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>

namespace tavlo {
namespace {

constexpr const char* logindName = "org.freedesktop.login1";
constexpr const char* logindPath = "/org/freedesktop/login1";
constexpr const char* managerInterface = "org.freedesktop.login1.Manager";
constexpr const char* sessionInterface = "org.freedesktop.login1.Session";
constexpr const char* screenSaverInterface = "org.freedesktop.ScreenSaver";
constexpr int callTimeoutMs = 2000;
constexpr int pollMs = 200;

struct BusError {
  DBusError e;
  BusError() { dbus_error_init(&e); }
  ~BusError() { dbus_error_free(&e); }
  std::string text() const { return dbus_error_is_set(&e) ? std::string(e.message ? e.message : e.name) : "?"; }
};

DBusConnection* privateBus(DBusBusType type, std::string* error) {
  // Without an address libdbus would autolaunch a session bus: it forks a helper from this threaded
  // process and, in the child, calls what is not safe after fork (it hung there), and a host should not
  // start a session bus of its own anyway.
  const char* sessionAddress = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (type == DBUS_BUS_SESSION && (!sessionAddress || !*sessionAddress)) {
    *error = "no session bus (DBUS_SESSION_BUS_ADDRESS is not set)";
    return nullptr;
  }
  BusError err;
  DBusConnection* bus = dbus_bus_get_private(type, &err.e);
  if (!bus) *error = err.text();
  if (bus) dbus_connection_set_exit_on_disconnect(bus, false);
  return bus;
}

void closeBus(DBusConnection* bus) {
  if (!bus) return;
  dbus_connection_close(bus);
  dbus_connection_unref(bus);
}

}  // namespace

std::function<void()> takeIdleInhibitor(const std::string& why, const LogSink& log) {
  std::string error;
  DBusConnection* bus = privateBus(DBUS_BUS_SYSTEM, &error);
  if (!bus) {
    if (log) log("☕️ logind niedostępny — brak blokady usypiania (" + error + ")");
    return nullptr;
  }
  DBusMessage* call = dbus_message_new_method_call(logindName, logindPath, managerInterface, "Inhibit");
  const char* what = "idle";
  const char* who = "Tavlo";
  const char* reason = why.c_str();
  const char* mode = "block";
  dbus_message_append_args(call, DBUS_TYPE_STRING, &what, DBUS_TYPE_STRING, &who, DBUS_TYPE_STRING, &reason,
                           DBUS_TYPE_STRING, &mode, DBUS_TYPE_INVALID);
  BusError err;
  DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, call, callTimeoutMs, &err.e);
  dbus_message_unref(call);
  int fd = -1;
  if (reply) {
    BusError argsError;
    if (!dbus_message_get_args(reply, &argsError.e, DBUS_TYPE_UNIX_FD, &fd, DBUS_TYPE_INVALID)) fd = -1;
    dbus_message_unref(reply);
  }
  closeBus(bus);
  if (fd < 0) {
    if (log) log("☕️ logind odmówił blokady usypiania (" + err.text() + ")");
    return nullptr;
  }
  // The inhibitor lasts as long as its descriptor stays open.
  return [fd] { ::close(fd); };
}

std::unique_ptr<ScreenStateWatcher> ScreenStateWatcher::start(Events events, LogSink log) {
  std::unique_ptr<ScreenStateWatcher> watcher(new ScreenStateWatcher());
  watcher->thread_ = std::thread([w = watcher.get(), events = std::move(events), log = std::move(log)] {
    w->run(events, log);
  });
  return watcher;
}

ScreenStateWatcher::~ScreenStateWatcher() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
}

void ScreenStateWatcher::dispatch(const Events& events, const std::string& interface, const std::string& member,
                                  bool firstArgument) {
  const std::function<void()>* event = nullptr;
  if (interface == sessionInterface && member == "Lock") event = &events.locked;
  if (interface == sessionInterface && member == "Unlock") event = &events.unlocked;
  if (interface == screenSaverInterface && member == "ActiveChanged") {
    event = firstArgument ? &events.locked : &events.unlocked;
  }
  if (interface == managerInterface && member == "PrepareForSleep" && firstArgument) event = &events.asleep;
  if (event && *event) (*event)();
}

namespace {

void readSignal(DBusMessage* message, const ScreenStateWatcher::Events& events) {
  if (dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_SIGNAL) return;
  const char* interface = dbus_message_get_interface(message);
  const char* member = dbus_message_get_member(message);
  if (!interface || !member) return;
  dbus_bool_t first = false;
  DBusMessageIter args;
  if (dbus_message_iter_init(message, &args) && dbus_message_iter_get_arg_type(&args) == DBUS_TYPE_BOOLEAN) {
    dbus_message_iter_get_basic(&args, &first);
  }
  ScreenStateWatcher::dispatch(events, interface, member, first);
}

void addMatch(DBusConnection* bus, const std::string& rule) {
  BusError err;
  dbus_bus_add_match(bus, rule.c_str(), &err.e);
}

// The object path of this user's session as logind resolves "auto": the caller's own session, or the
// user's graphical one for a process outside any session (a login unit's). Empty, with the reason in
// `error`, when logind does not say.
std::string ownSessionPath(DBusConnection* bus, std::string* error) {
  DBusMessage* call = dbus_message_new_method_call(logindName, logindPath, managerInterface, "GetSession");
  const char* which = "auto";
  dbus_message_append_args(call, DBUS_TYPE_STRING, &which, DBUS_TYPE_INVALID);
  BusError err;
  DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, call, callTimeoutMs, &err.e);
  dbus_message_unref(call);
  if (!reply) {
    *error = err.text();
    return {};
  }
  const char* path = nullptr;
  BusError argsError;
  std::string found;
  if (dbus_message_get_args(reply, &argsError.e, DBUS_TYPE_OBJECT_PATH, &path, DBUS_TYPE_INVALID) && path) found = path;
  else *error = argsError.text();
  dbus_message_unref(reply);
  return found;
}

}  // namespace

void ScreenStateWatcher::run(Events events, LogSink log) {
  std::string error;
  DBusConnection* system = privateBus(DBUS_BUS_SYSTEM, &error);
  if (system) {
    // Lock and Unlock are signals of each session's object: only this user's own session's count; another
    // user locking theirs must not end this host's client session.
    std::string sessionRule = std::string("type='signal',sender='") + logindName + "',interface='" + sessionInterface + "'";
    std::string sessionError;
    const std::string sessionPath = ownSessionPath(system, &sessionError);
    if (!sessionPath.empty()) {
      sessionRule += ",path='" + sessionPath + "'";
    } else if (log) {
      log("🔒 logind nie wskazał własnej sesji — śledzę blokadę każdej sesji (" + sessionError + ")");
    }
    addMatch(system, sessionRule);
    addMatch(system, std::string("type='signal',sender='") + logindName + "',interface='" + managerInterface +
                         "',member='PrepareForSleep'");
  } else if (log) {
    log("🔒 logind niedostępny — blokada ekranu i uśpienie nie są śledzone (" + error + ")");
  }
  DBusConnection* session = privateBus(DBUS_BUS_SESSION, &error);
  if (session) {
    addMatch(session, std::string("type='signal',interface='") + screenSaverInterface + "',member='ActiveChanged'");
  }
  while (!stop_.load() && (system || session)) {
    for (DBusConnection* bus : {system, session}) {
      if (!bus) continue;
      if (!dbus_connection_read_write(bus, pollMs / 2)) {
        // The bus went away: this one is watched no more.
        if (bus == system) closeBus(std::exchange(system, nullptr));
        else closeBus(std::exchange(session, nullptr));
        continue;
      }
      while (DBusMessage* message = dbus_connection_pop_message(bus)) {
        readSignal(message, events);
        dbus_message_unref(message);
      }
    }
  }
  closeBus(system);
  closeBus(session);
}

}  // namespace tavlo
