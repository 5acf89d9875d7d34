#include "tests/transport/relay/relay_test_kit.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace vela::relaytest {

tavlo::LogSink LogRecorder::sink() {
  std::weak_ptr<State> weak = state_;
  return [weak](const std::string& line) {
    auto state = weak.lock();
    if (!state) return;
    {
      std::lock_guard guard(state->mutex);
      state->lines.push_back(line);
    }
    state->added.notify_all();
  };
}

std::optional<std::string> LogRecorder::waitFor(const std::string& text, size_t count,
                                                std::chrono::milliseconds timeout) {
  std::unique_lock lock(state_->mutex);
  std::optional<std::string> found;
  auto enough = [&] {
    size_t seen = 0;
    for (const std::string& line : state_->lines) {
      if (line.find(text) == std::string::npos) continue;
      if (++seen == count) {
        found = line;
        return true;
      }
    }
    return false;
  };
  state_->added.wait_for(lock, timeout, enough);
  return found;
}

std::vector<std::string> LogRecorder::lines() const {
  std::lock_guard guard(state_->mutex);
  return state_->lines;
}

size_t LogRecorder::count(const std::string& text) const {
  std::lock_guard guard(state_->mutex);
  size_t n = 0;
  for (const std::string& line : state_->lines) n += line.find(text) != std::string::npos;
  return n;
}

ScriptedPeer::ScriptedPeer(std::shared_ptr<tavlo::TcpConnection> connection) : connection_(std::move(connection)) {
  connection_->start([](tavlo::TcpConnection::State, const std::string&) {});
  readNext();
}

ScriptedPeer::~ScriptedPeer() { connection_->cancel(); }

namespace {

// Reads until the connection ends; holds the connection only weakly, so the peer can go at any time.
void readInto(const std::weak_ptr<tavlo::TcpConnection>& weak, const std::shared_ptr<tavlo::Channel<Bytes>>& pieces) {
  auto connection = weak.lock();
  if (!connection) return pieces->close();
  connection->receive([weak, pieces](ByteView data, bool, const std::string&) {
    if (data.empty()) return pieces->close();
    pieces->send(Bytes(data.begin(), data.end()));
    readInto(weak, pieces);
  });
}

}  // namespace

void ScriptedPeer::readNext() { readInto(connection_, pieces_); }

void ScriptedPeer::write(const std::string& text) { write(tavlo::toBytes(text)); }
void ScriptedPeer::write(ByteView bytes) { connection_->send(Bytes(bytes.begin(), bytes.end()), {}); }

bool ScriptedPeer::pull(std::chrono::milliseconds timeout) {
  auto piece = receiveWithin(*pieces_, timeout);
  if (!piece) return false;
  lines_.append(*piece);
  return true;
}

std::optional<std::string> ScriptedPeer::readLine(std::chrono::milliseconds timeout) {
  for (;;) {
    if (auto line = lines_.nextLine()) return line;
    if (!pull(timeout)) return std::nullopt;
  }
}

std::optional<Bytes> ScriptedPeer::readBytes(size_t count, std::chrono::milliseconds timeout) {
  for (;;) {
    Bytes more = lines_.takeRemaining();
    raw_.insert(raw_.end(), more.begin(), more.end());
    if (raw_.size() >= count) {
      Bytes out(raw_.begin(), raw_.begin() + static_cast<std::ptrdiff_t>(count));
      raw_.erase(raw_.begin(), raw_.begin() + static_cast<std::ptrdiff_t>(count));
      return out;
    }
    if (!pull(timeout)) return std::nullopt;
  }
}

bool ScriptedPeer::closedByPeer(std::chrono::milliseconds timeout) {
  while (pull(timeout)) {
  }
  return pieces_->isFinished();
}

void ScriptedPeer::close() { connection_->cancel(); }

ScriptedRelay::ScriptedRelay()
    : thread_(tavlo::NetThread::start("scripted.relay")),
      listener_(tavlo::TcpListenSocket::open(thread_, 0, tavlo::ServiceClass::bestEffort)),
      udp_(tavlo::UdpSocket::openListening(0, tavlo::ServiceClass::bestEffort)) {
  auto accepted = accepted_;
  listener_->start([accepted](std::shared_ptr<tavlo::TcpConnection> connection) { accepted->send(connection); });
}

ScriptedRelay::~ScriptedRelay() { listener_->stop(); }

std::shared_ptr<ScriptedPeer> ScriptedRelay::accept(std::chrono::milliseconds timeout) {
  auto connection = receiveWithin(*accepted_, timeout);
  return connection ? std::make_shared<ScriptedPeer>(*connection) : nullptr;
}

RelayService ScriptedRelay::service() const {
  return RelayService{"127.0.0.1", listener_->port(), udp_->localAddress().port()};
}

RawUdp::RawUdp()
    : thread_(tavlo::NetThread::start("raw.udp")), socket_(tavlo::UdpSocket::openListening(0, tavlo::ServiceClass::bestEffort)) {
  auto received = received_;
  socket_->startReading(
      thread_, [received](const tavlo::SocketAddress& from, Bytes&& datagram) { received->send({from, std::move(datagram)}); },
      [](int) {});
}

RawUdp::~RawUdp() { socket_->stopReadingAndWait(); }

uint16_t RawUdp::port() const { return socket_->localAddress().port(); }

void RawUdp::sendTo(const tavlo::SocketAddress& to, ByteView datagram) {
  socket_->send(std::span<const ByteView>(&datagram, 1), &to);
}

std::optional<std::pair<tavlo::SocketAddress, Bytes>> RawUdp::receive(std::chrono::milliseconds timeout) {
  return receiveWithin(*received_, timeout);
}

RelayHostLink::Sign TestIdentity::signer() const {
  auto signingKey = key;
  return [signingKey](ByteView challenge) -> std::optional<Bytes> {
    auto signature = signingKey.sign(challenge);
    if (!signature) return std::nullopt;
    return Bytes(signature->begin(), signature->end());
  };
}

RelayHostLink::Params linkParams(const TestIdentity& identity, const RelayService& service, tavlo::Scheduler& scheduler,
                                 LogRecorder& log, std::shared_ptr<SessionStream> emitted) {
  RelayHostLink::Params params;
  params.hostID = identity.hostID;
  params.sigPub = identity.sigPub();
  params.sign = identity.signer();
  params.emit = [emitted](std::shared_ptr<SessionTransport> transport) { emitted->send(std::move(transport)); };
  params.log = log.sink();
  params.scheduler = &scheduler;
  params.service = service;
  return params;
}

namespace {

std::unique_ptr<tavlo::relay::RelayServer> startRelay(tavlo::Scheduler& scheduler, LogRecorder& log) {
  tavlo::relay::RelayServer::Options options;
  options.tcpPort = 0;
  options.udpPort = 0;
  options.scheduler = &scheduler;
  options.log = log.sink();
  return tavlo::relay::RelayServer::start(options);
}

}  // namespace

RelayWorld::RelayWorld()
    : relay(startRelay(relayScheduler, relayLog)),
      link(RelayHostLink::create(linkParams(identity, relay->service(), scheduler, hostLog, emitted))),
      dialer(RelayClientDialer::Params{relay->service(), &scheduler}) {}

RelayWorld::~RelayWorld() {
  link.reset();
  relay.reset();
}

bool RelayWorld::startHost() {
  link->start();
  return relayLog.waitFor("zarejestrowany").has_value() && hostLog.waitFor("zarejestrowany jako").has_value();
}

RelayWorld::Pair RelayWorld::connectPair() {
  Pair pair;
  pair.client = dialer.connect(identity.hostID, identity.sigPub());
  auto host = receiveWithin(*emitted);
  if (host) pair.host = *host;
  return pair;
}

bool RelayWorld::flowsBound() {
  static constexpr size_t flowsPerSession = 6;
  size_t sessions = relayLog.count("nowa sesja");
  return relayLog.waitFor("relay: przepływ", flowsPerSession * sessions).has_value();
}

}  // namespace vela::relaytest

namespace vela::relaytest {
namespace {

// After every test, the network threads it started have ended: every connection, flow and socket it
// opened closed with its owner.
class NetThreadLeakCheck : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { before_ = tavlo::NetThread::liveCount(); }
  void OnTestEnd(const ::testing::TestInfo& info) override {
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (tavlo::NetThread::liveCount() > before_ && std::chrono::steady_clock::now() < deadline)
      std::this_thread::yield();
    EXPECT_EQ(tavlo::NetThread::liveCount(), before_) << info.name() << " left network threads running";
  }
  int before_ = 0;
};

const bool registered = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new NetThreadLeakCheck);
  return true;
}();

}  // namespace
}  // namespace vela::relaytest
