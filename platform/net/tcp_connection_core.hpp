#pragma once
// The inside of a TcpConnection (platform/net internal): the Asio socket and its write queue.
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/net/tcp_connection.hpp"

namespace tavlo {

struct TcpConnection::Core : std::enable_shared_from_this<Core> {
  struct PendingSend {
    Bytes bytes;
    std::function<void()> done;
  };

  // A socket the listener accepted: connected already.
  Core(std::shared_ptr<NetThread> thread, asio::ip::tcp::socket&& accepted, ServiceClass serviceClass);
  // A connection to dial once started.
  Core(std::shared_ptr<NetThread> thread, std::string host, uint16_t port, ServiceClass serviceClass);

  void start(OnState onState);      // NetThread
  void receive(OnReceive onReceive);  // NetThread
  // NetThread, once the socket is readable: reads what has arrived into a buffer grown to fit it.
  void readArrived(OnReceive onReceive);
  void send(Bytes bytes, std::function<void()> done);
  void cancel();
  void cancelNow();

  void connected();  // NetThread: options, addresses, ready, queued writes
  void checkAcknowledged(std::function<void(bool)> done, uint64_t nextDelayUs);  // NetThread
  void writeNext();  // NetThread
  // NetThread: the connection is over; the final state is reported once.
  void finish(State state, const std::string& error);

  const std::shared_ptr<NetThread> thread;
  const ServiceClass serviceClass;
  const std::optional<std::pair<std::string, uint16_t>> dialTarget;  // empty when accepted
  asio::ip::tcp::socket socket;
  std::optional<asio::ip::tcp::resolver> resolver;
  std::optional<asio::steady_timer> ackTimer;
  std::vector<uint8_t> readBuffer;  // grows with what arrives, up to maxReceiveBytes
  std::vector<PendingSend> inFlight;  // NetThread
  OnState onState;                    // NetThread
  bool started = false;               // NetThread
  bool finalReported = false;         // NetThread
  std::atomic<bool> final{false};

  mutable std::mutex mutex;  // the fields below
  std::deque<PendingSend> queue;
  bool isConnected = false;
  bool writing = false;
  bool kickPending = false;
  std::string remoteText = "?";
  std::string localText = "?";
};

}  // namespace tavlo
