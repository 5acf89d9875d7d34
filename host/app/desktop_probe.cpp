#include "host/app/desktop_probe.hpp"

#include <dbus/dbus.h>

#include <cstdlib>

#include "platform/display/xorg_display_system.hpp"
#include "platform/runtime/session_bus_address.hpp"
#include "platform/x11/xcb_connection.hpp"

namespace tavlo {
namespace {

// mutter answers within milliseconds; a bus that takes longer is not worth holding start-up for.
constexpr int busAnswerLimitMs = 1000;

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

bool sessionBusHasOwner(const std::string& name) {
  // Without an address libdbus would start a bus of its own (see sessionBusNamed).
  if (!sessionBusNamed()) return false;
  DBusError error;
  dbus_error_init(&error);
  DBusConnection* bus = dbus_bus_get_private(DBUS_BUS_SESSION, &error);
  dbus_error_free(&error);
  if (!bus) return false;
  dbus_connection_set_exit_on_disconnect(bus, false);
  bool owned = false;
  DBusMessage* call = dbus_message_new_method_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                   "org.freedesktop.DBus", "NameHasOwner");
  const char* asked = name.c_str();
  if (call && dbus_message_append_args(call, DBUS_TYPE_STRING, &asked, DBUS_TYPE_INVALID)) {
    dbus_error_init(&error);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, call, busAnswerLimitMs, &error);
    dbus_bool_t has = false;
    if (reply && dbus_message_get_args(reply, &error, DBUS_TYPE_BOOLEAN, &has, DBUS_TYPE_INVALID)) owned = has;
    if (reply) dbus_message_unref(reply);
    dbus_error_free(&error);
  }
  if (call) dbus_message_unref(call);
  dbus_connection_close(bus);
  dbus_connection_unref(bus);
  return owned;
}

XServerFacts probeXServer(const std::string& display, std::shared_ptr<XorgDisplaySystem>* xSystem) {
  XServerFacts facts;
  facts.display = display.empty() ? environment("DISPLAY") : display;
  std::string error;
  auto connection = XcbConnection::open(display, &error);
  if (!connection) {
    facts.unusable = error;
    return facts;
  }
  facts.display = connection->displayName();
  if (!connection->hasExtension("XTEST")) {
    facts.unusable = "no XTEST extension for the client's input";
    return facts;
  }
  auto system = XorgDisplaySystem::open(display, &error);
  if (!system) {
    facts.unusable = error;
    return facts;
  }
  facts.freeOutput = system->outputToTake();
  if (xSystem) *xSystem = std::move(system);
  return facts;
}

DesktopFacts probeDesktop(const std::optional<std::string>& display, bool gnomeServed,
                          std::shared_ptr<XorgDisplaySystem>* xSystem) {
  DesktopFacts facts;
  facts.displayNamed = display.has_value();
  facts.waylandDisplay = environment("WAYLAND_DISPLAY");
  facts.sessionType = environment("XDG_SESSION_TYPE");
  facts.currentDesktop = environment("XDG_CURRENT_DESKTOP");
  facts.gnomeServed = gnomeServed;
  if (isWaylandSession(facts)) {
    facts.mutterScreenCast = sessionBusHasOwner("org.gnome.Mutter.ScreenCast");
    return facts;
  }
  if (display || !environment("DISPLAY").empty()) facts.x = probeXServer(display.value_or(""), xSystem);
  return facts;
}

}  // namespace tavlo
