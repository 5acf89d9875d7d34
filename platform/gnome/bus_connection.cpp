#include "platform/gnome/bus_connection.hpp"

#include <dbus/dbus.h>

#include <cstdlib>

#include "platform/runtime/session_bus_address.hpp"
#include "platform/runtime/thread_name.hpp"

namespace tavlo {
namespace {

// How long the dispatch thread waits for traffic before it looks at its stop flag.
constexpr int kDispatchWaitMs = 50;

struct BusError {
  DBusError e;
  BusError() { dbus_error_init(&e); }
  ~BusError() { dbus_error_free(&e); }
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  std::string text() const {
    if (!dbus_error_is_set(&e)) return "?";
    return std::string(e.name ? e.name : "") + ": " + (e.message ? e.message : "");
  }
};

using Message = std::unique_ptr<DBusMessage, decltype(&dbus_message_unref)>;

Message newCall(const BusCall& call) {
  return Message(dbus_message_new_method_call(call.destination.c_str(), call.path.c_str(),
                                              call.interface.empty() ? nullptr : call.interface.c_str(),
                                              call.method.c_str()),
                 &dbus_message_unref);
}

bool validCall(const BusCall& call) {
  return dbus_validate_bus_name(call.destination.c_str(), nullptr) && dbus_validate_path(call.path.c_str(), nullptr) &&
         (call.interface.empty() || dbus_validate_interface(call.interface.c_str(), nullptr)) &&
         dbus_validate_member(call.method.c_str(), nullptr);
}

// Mutter's signals name their sender by its unique name; a subscription names mutter's well-known one.
std::string ownerOf(DBusConnection* connection, const std::string& name) {
  if (name.empty() || name[0] == ':') return name;
  Message call(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "GetNameOwner"),
               &dbus_message_unref);
  const char* n = name.c_str();
  dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &n, DBUS_TYPE_INVALID);
  BusError err;
  Message reply(dbus_connection_send_with_reply_and_block(connection, call.get(), BusConnection::kCallTimeoutMs, &err.e),
                &dbus_message_unref);
  const char* owner = nullptr;
  if (!reply || !dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_STRING, &owner, DBUS_TYPE_INVALID) || !owner) {
    return {};
  }
  return owner;
}

bool matches(const BusSignalMatch& match, const BusSignal& signal, const std::string& sender) {
  return (match.sender.empty() || match.sender == sender) && (match.path.empty() || match.path == signal.path) &&
         (match.interface.empty() || match.interface == signal.interface) &&
         (match.member.empty() || match.member == signal.member);
}

}  // namespace

std::shared_ptr<BusConnection> BusConnection::openSession(std::string* error) {
  if (!sessionBusNamed()) {
    if (error) *error = "no session bus (DBUS_SESSION_BUS_ADDRESS is not set)";
    return nullptr;
  }
  // Opened by its address as it stands now: libdbus's own session bus lookup keeps the first address
  // it read for the life of the process.
  BusError err;
  DBusConnection* connection = dbus_connection_open_private(std::getenv("DBUS_SESSION_BUS_ADDRESS"), &err.e);
  if (connection && !dbus_bus_register(connection, &err.e)) {
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
    connection = nullptr;
  }
  if (!connection) {
    if (error) *error = err.text();
    return nullptr;
  }
  dbus_connection_set_exit_on_disconnect(connection, false);
  return std::shared_ptr<BusConnection>(new BusConnection(connection));
}

// libdbus's filter: signals to their subscribers, calls answered.
struct BusDispatch {
  static DBusHandlerResult filter(DBusConnection* connection, DBusMessage* message, void* self);
};

BusConnection::BusConnection(DBusConnection* connection) : connection_(connection) {
  dbus_connection_add_filter(connection_, &BusDispatch::filter, this, nullptr);
  dispatcher_ = std::thread([this] { dispatchLoop(); });
}

BusConnection::~BusConnection() {
  stop_.store(true);
  if (dispatcher_.joinable()) dispatcher_.join();
  dbus_connection_remove_filter(connection_, &BusDispatch::filter, this);
  dbus_connection_close(connection_);
  dbus_connection_unref(connection_);
}

void BusConnection::dispatchLoop() {
  setCurrentThreadName("tavlo.dbus");
  // Dispatching (not popping messages) lets libdbus hand each reply to the call that waits for it.
  while (!stop_.load() && dbus_connection_read_write_dispatch(connection_, kDispatchWaitMs)) {
  }
}

DBusHandlerResult BusDispatch::filter(DBusConnection* connection, DBusMessage* message, void* self) {
  const int type = dbus_message_get_type(message);
  if (type == DBUS_MESSAGE_TYPE_METHOD_CALL) {
    if (dbus_message_get_no_reply(message)) return DBUS_HANDLER_RESULT_HANDLED;
    // Nothing is served here: a caller is answered at once instead of waiting out its time-out.
    Message reply(dbus_message_new_error(message, DBUS_ERROR_UNKNOWN_METHOD, "nothing is served here"),
                  &dbus_message_unref);
    if (reply) dbus_connection_send(connection, reply.get(), nullptr);
    return DBUS_HANDLER_RESULT_HANDLED;
  }
  if (type != DBUS_MESSAGE_TYPE_SIGNAL) return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
  const char* path = dbus_message_get_path(message);
  const char* interface = dbus_message_get_interface(message);
  const char* member = dbus_message_get_member(message);
  const char* sender = dbus_message_get_sender(message);
  BusSignal signal{path ? path : "", interface ? interface : "", member ? member : "", readBusArguments(message)};
  static_cast<BusConnection*>(self)->deliver(signal, sender ? sender : "");
  return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

void BusConnection::deliver(const BusSignal& signal, const std::string& sender) {
  std::vector<std::pair<uint64_t, std::shared_ptr<SignalHandler>>> chosen;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [token, subscription] : subscriptions_) {
      if (matches(subscription.match, signal, sender)) chosen.emplace_back(token, subscription.handler);
    }
  }
  for (const auto& [token, handler] : chosen) {
    std::lock_guard running(delivering_);
    {
      std::lock_guard lock(mutex_);
      if (!subscriptions_.count(token)) continue;  // removed by an earlier handler of this signal
    }
    (*handler)(signal);
  }
}

std::optional<std::vector<BusValue>> BusConnection::call(const BusCall& call, const Arguments& arguments,
                                                         std::string* error, int timeoutMs) {
  if (!validCall(call)) {
    if (error) *error = "malformed call " + call.interface + "." + call.method;
    return std::nullopt;
  }
  Message message = newCall(call);
  if (!message) {
    if (error) *error = "out of memory";
    return std::nullopt;
  }
  if (arguments) {
    BusWriter writer(message.get());
    arguments(writer);
    if (!writer.ok()) {
      if (error) *error = "the arguments of " + call.method + " could not be written";
      return std::nullopt;
    }
  }
  BusError err;
  Message reply(dbus_connection_send_with_reply_and_block(connection_, message.get(), timeoutMs, &err.e),
                &dbus_message_unref);
  if (!reply) {
    if (error) *error = err.text();
    return std::nullopt;
  }
  return readBusArguments(reply.get());
}

bool BusConnection::send(const BusCall& call, const Arguments& arguments) {
  if (!validCall(call)) return false;
  Message message = newCall(call);
  if (!message) return false;
  if (arguments) {
    BusWriter writer(message.get());
    arguments(writer);
    if (!writer.ok()) return false;
  }
  dbus_message_set_no_reply(message.get(), true);
  return dbus_connection_send(connection_, message.get(), nullptr);
}

void BusConnection::flush() { dbus_connection_flush(connection_); }

std::optional<BusValue> BusConnection::property(const std::string& destination, const std::string& path,
                                                const std::string& interface, const std::string& name,
                                                std::string* error) {
  auto reply = call({destination, path, DBUS_INTERFACE_PROPERTIES, "Get"},
                    [&](BusWriter& w) { w.text(interface).text(name); }, error);
  if (!reply || reply->empty()) return std::nullopt;
  return reply->front();
}

std::string BusConnection::matchRule(const BusSignalMatch& match) {
  std::string rule = "type='signal'";
  if (!match.sender.empty()) rule += ",sender='" + match.sender + "'";
  if (!match.path.empty()) rule += ",path='" + match.path + "'";
  if (!match.interface.empty()) rule += ",interface='" + match.interface + "'";
  if (!match.member.empty()) rule += ",member='" + match.member + "'";
  return rule;
}

uint64_t BusConnection::subscribe(BusSignalMatch match, SignalHandler handler) {
  // The bus daemon is asked for these signals by the name the caller gave; they arrive from its owner.
  Subscription subscription{match, matchRule(match), std::make_shared<SignalHandler>(std::move(handler))};
  dbus_bus_add_match(connection_, subscription.rule.c_str(), nullptr);
  subscription.match.sender = ownerOf(connection_, match.sender);
  std::lock_guard lock(mutex_);
  const uint64_t token = nextToken_++;
  subscriptions_.emplace(token, std::move(subscription));
  return token;
}

void BusConnection::unsubscribe(uint64_t token) {
  std::string rule;
  {
    std::lock_guard lock(mutex_);
    auto it = subscriptions_.find(token);
    if (it == subscriptions_.end()) return;
    rule = it->second.rule;
    subscriptions_.erase(it);
  }
  dbus_bus_remove_match(connection_, rule.c_str(), nullptr);
  // Wait for a handler that is running now (unless this is that handler's own thread).
  { std::lock_guard running(delivering_); }
}

bool BusConnection::connected() const { return dbus_connection_get_is_connected(connection_); }

std::string BusConnection::uniqueName() const {
  const char* name = dbus_bus_get_unique_name(connection_);
  return name ? name : "";
}

}  // namespace tavlo
