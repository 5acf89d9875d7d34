#pragma once
// A private connection to the desktop session's bus with a dispatch thread of its own: calls wait for
// their reply on the caller's thread while signals are handed to their subscribers on the dispatch
// thread. Everything mutter knows about a client (its sessions, its virtual monitors) lives as long as
// this connection: closing it is how a client's leftovers go.
//
// Thread-safe. Signal handlers run on the dispatch thread without any lock held; they must not remove
// their own subscription.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/gnome/bus_value.hpp"

struct DBusConnection;
struct DBusMessage;

namespace tavlo {

// Which signals a subscriber wants: empty fields match anything.
struct BusSignalMatch {
  std::string sender;  // a well-known name is matched through its owner at the bus daemon
  std::string path;
  std::string interface;
  std::string member;
};

struct BusSignal {
  std::string path;
  std::string interface;
  std::string member;
  std::vector<BusValue> arguments;
};

struct BusCall {
  std::string destination;
  std::string path;
  std::string interface;
  std::string method;
};

class BusConnection {
 public:
  using SignalHandler = std::function<void(const BusSignal& signal)>;
  using Arguments = std::function<void(BusWriter& writer)>;

  // The session bus ($DBUS_SESSION_BUS_ADDRESS; never one started for us). Null, with the reason in
  // `error`, when it cannot be reached.
  static std::shared_ptr<BusConnection> openSession(std::string* error = nullptr);
  ~BusConnection();
  BusConnection(const BusConnection&) = delete;
  BusConnection& operator=(const BusConnection&) = delete;

  // Calls and waits for the reply's arguments; empty, with the bus's or peer's error in `error`.
  std::optional<std::vector<BusValue>> call(const BusCall& call, const Arguments& arguments = {},
                                            std::string* error = nullptr, int timeoutMs = kCallTimeoutMs);
  // Sends without waiting for a reply (input events: their order is kept, their answers are not
  // awaited). False when the message could not be queued.
  bool send(const BusCall& call, const Arguments& arguments = {});
  // Hands queued messages to the bus.
  void flush();
  // A property's value (org.freedesktop.DBus.Properties.Get).
  std::optional<BusValue> property(const std::string& destination, const std::string& path, const std::string& interface,
                                   const std::string& name, std::string* error = nullptr);

  // Subscribes to signals; the token removes the subscription. After unsubscribe returns, the handler
  // is not running and will not be called again.
  uint64_t subscribe(BusSignalMatch match, SignalHandler handler);
  void unsubscribe(uint64_t token);

  bool connected() const;
  std::string uniqueName() const;

  static constexpr int kCallTimeoutMs = 5000;

 private:
  explicit BusConnection(DBusConnection* connection);
  void dispatchLoop();
  friend struct BusDispatch;  // libdbus's filter, in the .cpp
  void deliver(const BusSignal& signal, const std::string& sender);
  static std::string matchRule(const BusSignalMatch& match);

  struct Subscription {
    BusSignalMatch match;
    std::string rule;
    std::shared_ptr<SignalHandler> handler;
  };

  DBusConnection* const connection_;
  std::atomic<bool> stop_{false};
  std::thread dispatcher_;

  mutable std::mutex mutex_;  // guards the fields below
  std::map<uint64_t, Subscription> subscriptions_;
  uint64_t nextToken_ = 1;
  // Held while a handler runs, so that unsubscribe can wait for the one it removes.
  std::recursive_mutex delivering_;
};

}  // namespace tavlo
