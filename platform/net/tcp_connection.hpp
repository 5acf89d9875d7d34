#pragma once
// One TCP connection: dialled by a client, or accepted by a TcpListenSocket. Reading is pulled one
// piece at a time (so an owner can read a handshake line and then hand the connection to a framing
// layer); writes are queued in call order and each reports when the socket has taken it.
//
// Every accepted or dialled socket has Nagle's delay off, keep-alive on and an unsent-data low-water
// mark, so that a write completes when the bytes are about to leave rather than when they were
// copied into an ever-growing kernel buffer.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/net/net_thread.hpp"
#include "platform/net/socket_options.hpp"
#include "platform/runtime/bytes.hpp"

namespace tavlo {

class TcpConnection {
 public:
  enum class State : uint8_t { ready, failed, cancelled };
  using OnState = std::function<void(State state, const std::string& error)>;
  // One piece of the byte stream (possibly empty), whether the peer closed its side, and an error text
  // (empty when none). The bytes are valid only during the call.
  using OnReceive = std::function<void(ByteView data, bool peerClosed, const std::string& error)>;

  // Unsent bytes above which the socket reports itself not writable.
  static constexpr int notSentLowWatermarkBytes = 32 * 1024;
  // Largest piece one receive returns. The read buffer grows to what has arrived, up to this: a
  // connection that never sends costs no buffer at all.
  static constexpr size_t maxReceiveBytes = 65'536;

  // A connection to host:port, resolved and connected once started.
  static std::shared_ptr<TcpConnection> dial(std::shared_ptr<NetThread> thread, std::string host, uint16_t port,
                                             ServiceClass serviceClass);
  ~TcpConnection();  // cancel()
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  // Begins: `onState` hears ready (at once for an accepted connection) or failed, and later cancelled
  // or failed; a final state comes once. Runs on thread().
  void start(OnState onState);
  // Reads the next piece of at most maxReceiveBytes; `onReceive` runs on thread(). One at a time.
  void receive(OnReceive onReceive);
  // Queues `bytes`; `done` runs on thread() once the socket took them or the connection ended.
  void send(Bytes bytes, std::function<void()> done);
  // Calls `done(true)` on thread() once the peer has acknowledged every byte sent so far (so its
  // kernel holds the connection as established), or `done(false)` if the connection ends first.
  void whenAcknowledged(std::function<void(bool acknowledged)> done);
  // Closes the connection; pending receives and sends complete with an error. From any thread.
  void cancel();
  // As cancel(), but on thread() the descriptor is closed before it returns: an owner that drops
  // connections by the thousand (a listener under a flood) must not hold their descriptors meanwhile.
  void cancelNow();

  // Printed addresses ("a.b.c.d:port", "[v6]:port"), "?" before the connection exists.
  std::string remoteDescription() const;
  std::string localDescription() const;
  const std::shared_ptr<NetThread>& thread() const;

  struct Core;  // platform/net internal
  explicit TcpConnection(std::shared_ptr<Core> core) : core_(std::move(core)) {}

 private:
  std::shared_ptr<Core> core_;
};

}  // namespace tavlo
