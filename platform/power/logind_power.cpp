#include "platform/power/logind_power.hpp"

#include <dbus/dbus.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "platform/power/screen_lock_tracker.hpp"
#include "platform/runtime/session_bus_address.hpp"

namespace tavlo {
namespace {

constexpr const char* logindName = ScreenLockTracker::logindName;
constexpr const char* logindPath = ScreenLockTracker::logindPath;
constexpr const char* managerInterface = ScreenLockTracker::managerInterface;
constexpr const char* sessionInterface = ScreenLockTracker::sessionInterface;
constexpr const char* screenSaverName = ScreenLockTracker::screenSaverName;
constexpr const char* screenSaverInterface = ScreenLockTracker::screenSaverInterface;
constexpr int callTimeoutMs = 2000;
constexpr int pollMs = 200;

struct BusError {
  DBusError e;
  BusError() { dbus_error_init(&e); }
  ~BusError() { dbus_error_free(&e); }
  std::string text() const { return dbus_error_is_set(&e) ? std::string(e.message ? e.message : e.name) : "?"; }
};

DBusConnection* privateBus(DBusBusType type, std::string* error) {
  if (type == DBUS_BUS_SESSION && !sessionBusNamed()) {
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

namespace {

using Message = std::unique_ptr<DBusMessage, decltype(&dbus_message_unref)>;

// The reply to `call` within callTimeoutMs; none, with the reason in `error`, otherwise.
Message callAndWait(DBusConnection* bus, DBusMessage* call, std::string* error = nullptr) {
  BusError err;
  DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, call, callTimeoutMs, &err.e);
  dbus_message_unref(call);
  if (!reply && error) *error = err.text();
  return Message(reply, &dbus_message_unref);
}

// A Bool argument's value, also when it is wrapped in a variant (as property values are).
std::optional<bool> boolIn(DBusMessageIter* arg) {
  DBusMessageIter inner;
  if (dbus_message_iter_get_arg_type(arg) == DBUS_TYPE_VARIANT) {
    dbus_message_iter_recurse(arg, &inner);
    arg = &inner;
  }
  if (dbus_message_iter_get_arg_type(arg) != DBUS_TYPE_BOOLEAN) return std::nullopt;
  dbus_bool_t value = false;
  dbus_message_iter_get_basic(arg, &value);
  return value != 0;
}

// The first argument of a reply when it is a Bool (or a variant holding one).
std::optional<bool> firstBool(const Message& reply) {
  DBusMessageIter args;
  if (!reply || !dbus_message_iter_init(reply.get(), &args)) return std::nullopt;
  return boolIn(&args);
}

// The unique name that owns `name` on the bus; empty when nobody does.
std::string nameOwner(DBusConnection* bus, const char* name) {
  DBusMessage* call =
      dbus_message_new_method_call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner");
  dbus_message_append_args(call, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
  Message reply = callAndWait(bus, call);
  const char* owner = nullptr;
  BusError err;
  if (!reply || !dbus_message_get_args(reply.get(), &err.e, DBUS_TYPE_STRING, &owner, DBUS_TYPE_INVALID) || !owner) {
    return {};
  }
  return owner;
}

// The session's LockedHint property.
std::optional<bool> lockedHint(DBusConnection* bus, const std::string& sessionPath) {
  DBusMessage* call = dbus_message_new_method_call(logindName, sessionPath.c_str(), "org.freedesktop.DBus.Properties", "Get");
  const char* interface = sessionInterface;
  const char* property = "LockedHint";
  dbus_message_append_args(call, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING, &property, DBUS_TYPE_INVALID);
  return firstBool(callAndWait(bus, call));
}

// Whether the session bus's screen saver is active.
std::optional<bool> screenSaverActive(DBusConnection* bus) {
  return firstBool(callAndWait(bus, dbus_message_new_method_call(screenSaverName, ScreenLockTracker::screenSaverPath,
                                                                 screenSaverInterface, "GetActive")));
}

// Clears this user's session's idle hint, as input on its seat would; no answer is awaited.
void clearIdleHint(DBusConnection* bus, const std::string& sessionPath) {
  DBusMessage* call = dbus_message_new_method_call(logindName, sessionPath.c_str(), sessionInterface, "SetIdleHint");
  dbus_bool_t idle = false;
  dbus_message_append_args(call, DBUS_TYPE_BOOLEAN, &idle, DBUS_TYPE_INVALID);
  dbus_message_set_no_reply(call, true);
  dbus_connection_send(bus, call, nullptr);
  dbus_connection_flush(bus);
  dbus_message_unref(call);
}

// logind's "idle" inhibitor: the descriptor that holds it while open; -1 (with a line in `log`) when
// logind refuses.
int takeIdleInhibitor(DBusConnection* bus, const LogSink& log) {
  DBusMessage* call = dbus_message_new_method_call(logindName, logindPath, managerInterface, "Inhibit");
  const char* what = "idle";
  const char* who = "Tavlo";
  const char* why = "klient Tavlo połączony";
  const char* mode = "block";
  dbus_message_append_args(call, DBUS_TYPE_STRING, &what, DBUS_TYPE_STRING, &who, DBUS_TYPE_STRING, &why,
                           DBUS_TYPE_STRING, &mode, DBUS_TYPE_INVALID);
  std::string error;
  Message reply = callAndWait(bus, call, &error);
  int fd = -1;
  BusError argsError;
  if (reply && !dbus_message_get_args(reply.get(), &argsError.e, DBUS_TYPE_UNIX_FD, &fd, DBUS_TYPE_INVALID)) {
    fd = -1;
    error = argsError.text();
  }
  if (fd < 0 && log) log("☕️ logind odmówił blokady usypiania (" + error + ")");
  return fd;
}

// LockedHint's new value among a PropertiesChanged signal's changes (an a{sv}).
std::optional<bool> lockedHintChange(DBusMessageIter* changes) {
  DBusMessageIter entry;
  dbus_message_iter_recurse(changes, &entry);
  for (; dbus_message_iter_get_arg_type(&entry) == DBUS_TYPE_DICT_ENTRY; dbus_message_iter_next(&entry)) {
    DBusMessageIter field;
    dbus_message_iter_recurse(&entry, &field);
    if (dbus_message_iter_get_arg_type(&field) != DBUS_TYPE_STRING) continue;
    const char* key = nullptr;
    dbus_message_iter_get_basic(&field, &key);
    if (!key || std::strcmp(key, "LockedHint") != 0 || !dbus_message_iter_next(&field)) continue;
    return boolIn(&field);
  }
  return std::nullopt;
}

std::optional<DesktopSignal> readSignal(DBusMessage* message, DesktopBus bus) {
  if (dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_SIGNAL) return std::nullopt;
  const char* sender = dbus_message_get_sender(message);
  const char* path = dbus_message_get_path(message);
  const char* interface = dbus_message_get_interface(message);
  const char* member = dbus_message_get_member(message);
  if (!sender || !path || !interface || !member) return std::nullopt;
  DesktopSignal signal(bus, sender, path, interface, member);
  DBusMessageIter args;
  if (!dbus_message_iter_init(message, &args)) return signal;
  bool leading = true;
  do {
    const int type = dbus_message_iter_get_arg_type(&args);
    if (type == DBUS_TYPE_STRING && leading) {
      const char* text = nullptr;
      dbus_message_iter_get_basic(&args, &text);
      signal.strings.emplace_back(text ? text : "");
      continue;
    }
    leading = false;
    if (type == DBUS_TYPE_BOOLEAN && !signal.flag) {
      signal.flag = boolIn(&args);
    } else if (type == DBUS_TYPE_ARRAY && dbus_message_iter_get_element_type(&args) == DBUS_TYPE_DICT_ENTRY &&
               !signal.flag) {
      signal.flag = lockedHintChange(&args);
    }
  } while (dbus_message_iter_next(&args));
  return signal;
}

// This connection serves nothing: a call to it is answered at once (a Ping as a Ping), so no caller
// waits out its time-out.
void answerCall(DBusConnection* bus, DBusMessage* call) {
  if (dbus_message_get_type(call) != DBUS_MESSAGE_TYPE_METHOD_CALL || dbus_message_get_no_reply(call)) return;
  DBusMessage* reply = dbus_message_is_method_call(call, "org.freedesktop.DBus.Peer", "Ping")
                           ? dbus_message_new_method_return(call)
                           : dbus_message_new_error(call, DBUS_ERROR_UNKNOWN_METHOD, "nothing is served here");
  if (!reply) return;
  dbus_connection_send(bus, reply, nullptr);
  dbus_message_unref(reply);
}

void addMatch(DBusConnection* bus, const std::string& rule) {
  BusError err;
  dbus_bus_add_match(bus, rule.c_str(), &err.e);
}

// A match for the signals of `interface` that `sender` sends, narrowed by `more` (",member='…'" and so on).
std::string signalRule(const char* sender, const char* interface, const std::string& more = {}) {
  return std::string("type='signal',sender='") + sender + "',interface='" + interface + "'" + more;
}

// The bus daemon's report of `name` changing hands.
std::string ownerChangeRule(const char* name) {
  return signalRule("org.freedesktop.DBus", "org.freedesktop.DBus",
                    std::string(",member='NameOwnerChanged',arg0='") + name + "'");
}

// The object path of this user's session as logind resolves "auto": the caller's own session, or the
// user's graphical one for a process outside any session (a login unit's). Empty, with the reason in
// `error`, when logind does not say.
std::string ownSessionPath(DBusConnection* bus, std::string* error) {
  DBusMessage* call = dbus_message_new_method_call(logindName, logindPath, managerInterface, "GetSession");
  const char* which = "auto";
  dbus_message_append_args(call, DBUS_TYPE_STRING, &which, DBUS_TYPE_INVALID);
  Message reply = callAndWait(bus, call, error);
  if (!reply) return {};
  const char* path = nullptr;
  BusError argsError;
  if (dbus_message_get_args(reply.get(), &argsError.e, DBUS_TYPE_OBJECT_PATH, &path, DBUS_TYPE_INVALID) && path) {
    return path;
  }
  *error = argsError.text();
  return {};
}

// Follows logind on the system bus: its owner, this user's session (its lock hint and signals) and the
// machine's sleep. Returns the session's path (empty when logind did not name one).
std::string followLogind(DBusConnection* bus, ScreenLockTracker& tracker, const LogSink& log) {
  // The owner is followed from before it is asked for, so no change between the two is missed.
  addMatch(bus, ownerChangeRule(logindName));
  // Lock and Unlock are signals of each session's object: only this user's own session's count; another
  // user locking theirs must not end this host's client session.
  std::string sessionRule = signalRule(logindName, sessionInterface);
  std::string sessionError;
  // Asked first: the call starts logind when the bus activates it on demand.
  const std::string sessionPath = ownSessionPath(bus, &sessionError);
  if (!sessionPath.empty()) {
    sessionRule += ",path='" + sessionPath + "'";
    addMatch(bus, signalRule(logindName, "org.freedesktop.DBus.Properties",
                             ",member='PropertiesChanged',path='" + sessionPath + "',arg0='" + sessionInterface + "'"));
  } else if (log) {
    log("🔒 logind nie wskazał własnej sesji — śledzę blokadę każdej sesji (" + sessionError + ")");
  }
  addMatch(bus, sessionRule);
  addMatch(bus, signalRule(logindName, managerInterface, ",member='PrepareForSleep'"));
  tracker.setOwnSession(sessionPath);
  tracker.setOwner(DesktopBus::system, nameOwner(bus, logindName));
  if (!sessionPath.empty()) tracker.setSessionLocked(lockedHint(bus, sessionPath).value_or(false));
  return sessionPath;
}

// Follows the session bus's screen saver: its owner and whether it is active.
void followScreenSaver(DBusConnection* bus, ScreenLockTracker& tracker) {
  addMatch(bus, ownerChangeRule(screenSaverName));
  addMatch(bus, signalRule(screenSaverName, screenSaverInterface, ",member='ActiveChanged'"));
  std::string owner = nameOwner(bus, screenSaverName);
  if (!owner.empty()) tracker.setSaverActive(screenSaverActive(bus).value_or(false));
  tracker.setOwner(DesktopBus::session, std::move(owner));
}

}  // namespace

void ScreenStateWatcher::run(Events events, LogSink log) {
  ScreenLockTracker tracker;
  std::string error;
  std::string sessionPath;
  DBusConnection* system = privateBus(DBUS_BUS_SYSTEM, &error);
  if (system) {
    sessionPath = followLogind(system, tracker, log);
  } else if (log) {
    log("🔒 logind niedostępny — blokada ekranu i uśpienie nie są śledzone (" + error + ")");
  }
  DBusConnection* session = privateBus(DBUS_BUS_SESSION, &error);
  if (session) followScreenSaver(session, tracker);
  locked_.store(tracker.locked());
  if (events.stateRead) events.stateRead();

  // The inhibitor lasts as long as its descriptor stays open; one request is answered once.
  int inhibitor = -1;
  bool inhibitorAsked = false;
  while (!stop_.load() && (system || session)) {
    if (activityPending_.exchange(false) && system && !sessionPath.empty()) clearIdleHint(system, sessionPath);
    const bool awake = awakeWanted_.load();
    if (awake && !inhibitorAsked && system) inhibitor = takeIdleInhibitor(system, log);
    if (!awake && inhibitor >= 0) ::close(std::exchange(inhibitor, -1));
    inhibitorAsked = awake;
    for (DBusConnection* bus : {system, session}) {
      if (!bus) continue;
      if (!dbus_connection_read_write(bus, pollMs / 2)) {
        // The bus went away: this one is watched no more.
        if (bus == system) closeBus(std::exchange(system, nullptr));
        else closeBus(std::exchange(session, nullptr));
        continue;
      }
      const DesktopBus which = bus == system ? DesktopBus::system : DesktopBus::session;
      while (DBusMessage* message = dbus_connection_pop_message(bus)) {
        answerCall(bus, message);
        std::optional<DesktopSignal> signal = readSignal(message, which);
        dbus_message_unref(message);
        if (!signal) continue;
        const ScreenChange change = tracker.take(*signal);
        locked_.store(tracker.locked());
        const std::function<void()>* event = change == ScreenChange::locked     ? &events.locked
                                             : change == ScreenChange::unlocked ? &events.unlocked
                                             : change == ScreenChange::asleep   ? &events.asleep
                                                                                : nullptr;
        if (event && *event) (*event)();
      }
    }
  }
  if (inhibitor >= 0) ::close(inhibitor);
  closeBus(system);
  closeBus(session);
}

}  // namespace tavlo
