#include "transport/relay_host_link.hpp"

#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/runtime/base64.hpp"
#include "transport/relay_backoff.hpp"
#include "transport/relay_challenge.hpp"
#include "transport/relay_connection.hpp"
#include "transport/relay_datagram_flow.hpp"
#include "transport/relay_session_transport.hpp"
#include "transport/relay_text.hpp"
#include "transport/transport_error.hpp"
#include "transport/with_timeout.hpp"

namespace vela {
namespace {

using Token = std::array<uint8_t, Relay::tokenBytes>;

// The service's reason as the log may show it: control characters as '?', at most 160 bytes.
std::string shownReason(std::string reason) {
  if (reason.empty()) return "bez podanego powodu";
  if (reason.size() > 160) reason.resize(160);
  for (char& c : reason) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return reason;
}

void joinOrDetach(std::thread& thread) {
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();  // the last owner let go from inside the thread itself
  } else {
    thread.join();
  }
}

}  // namespace

std::shared_ptr<RelayHostLink> RelayHostLink::create(Params params) {
  if (!params.scheduler) throw std::invalid_argument("RelayHostLink needs a scheduler");
  return std::shared_ptr<RelayHostLink>(new RelayHostLink(std::move(params)));
}

RelayHostLink::RelayHostLink(Params params)
    : params_(std::move(params)), thread_(tavlo::NetThread::start("vela.relay.host")) {}

RelayHostLink::~RelayHostLink() {
  {
    std::unique_lock lock(publishesInFlight_->mutex);
    publishesInFlight_->drained.wait_for(lock, std::chrono::milliseconds(publishDrainMs),
                                         [this] { return publishesInFlight_->count == 0; });
  }
  std::vector<std::shared_ptr<tavlo::TcpConnection>> connections;
  std::list<Join> joins;
  std::thread registration;
  {
    std::lock_guard guard(mutex_);
    destroying_ = true;
    running_ = false;
    if (registration_) connections.push_back(registration_);
    for (const Join& join : joins_)
      if (join.connection) connections.push_back(join.connection);
    registration = std::move(registrationThread_);
  }
  wake_.notify_all();
  for (const auto& connection : connections) connection->cancel();
  joinOrDetach(registration);
  {
    std::lock_guard guard(mutex_);
    joins.swap(joins_);
  }
  for (Join& join : joins) joinOrDetach(join.thread);
}

void RelayHostLink::start() {
  std::thread previous;
  {
    std::lock_guard guard(mutex_);
    if (running_ || destroying_) return;
    running_ = true;
    if (loopActive_) return;  // a loop told to stop has not noticed yet: it goes on
    loopActive_ = true;
    previous = std::move(registrationThread_);
  }
  joinOrDetach(previous);
  std::thread loop([this] { registrationLoop(); });
  std::lock_guard guard(mutex_);
  registrationThread_ = std::move(loop);
}

void RelayHostLink::stop() {
  {
    std::lock_guard guard(mutex_);
    running_ = false;
  }
  wake_.notify_all();  // a wait before the next attempt ends at once
}

void RelayHostLink::publishEndpoint(const std::string& endpoint) {
  std::shared_ptr<tavlo::TcpConnection> signal;
  {
    std::lock_guard guard(mutex_);
    endpoint_ = endpoint;
    signal = signal_;
  }
  if (signal) sendPublish(signal, "EP " + endpoint + "\n");  // failures are ignored
}

void RelayHostLink::publishRelayData(bool on) {
  std::shared_ptr<tavlo::TcpConnection> signal;
  {
    std::lock_guard guard(mutex_);
    relayData_ = on;
    signal = signal_;
  }
  if (signal) sendPublish(signal, on ? "RD 1\n" : "RD 0\n");
}

void RelayHostLink::sendPublish(const std::shared_ptr<tavlo::TcpConnection>& signal, const std::string& line) {
  {
    std::lock_guard guard(publishesInFlight_->mutex);
    ++publishesInFlight_->count;
  }
  signal->send(tavlo::toBytes(line), [inFlight = publishesInFlight_] {
    {
      std::lock_guard guard(inFlight->mutex);
      --inFlight->count;
    }
    inFlight->drained.notify_all();
  });
}

void RelayHostLink::setOnSessionRequest(std::function<void()> onSessionRequest) {
  std::lock_guard guard(mutex_);
  onSessionRequest_ = std::move(onSessionRequest);
}

void RelayHostLink::setOnRegistration(std::function<void(bool registered)> onRegistration) {
  std::lock_guard guard(mutex_);
  onRegistration_ = std::move(onRegistration);
}

void RelayHostLink::reportRegistration(bool registered) {
  std::function<void(bool)> onRegistration;
  {
    std::lock_guard guard(mutex_);
    onRegistration = onRegistration_;
  }
  if (onRegistration) onRegistration(registered);
}

void RelayHostLink::log(const std::string& line) const {
  if (params_.log) params_.log(line);
}

void RelayHostLink::registrationLoop() {
  RelayBackoff backoff;
  for (;;) {
    {
      std::lock_guard guard(mutex_);
      if (!running_) {
        loopActive_ = false;
        return;
      }
    }
    try {
      runSignaling();
      backoff.reset();  // it ends without an error only when stopped
      continue;
    } catch (const std::exception& error) {
      reportRegistration(false);
      uint64_t waitSeconds = backoff.next();
      // A stopped or destroyed link ends the wait early: it counts as finished.
      {
        std::lock_guard guard(mutex_);
        backoffOver_ = false;
      }
      std::weak_ptr<RelayHostLink> weak = weak_from_this();
      tavlo::ScopedTimer timer(*params_.scheduler, params_.scheduler->after(waitSeconds * 1'000'000, [weak] {
        auto self = weak.lock();
        if (!self) return;
        {
          std::lock_guard guard(self->mutex_);
          self->backoffOver_ = true;
        }
        self->wake_.notify_all();
      }));
      log("🛰 relay: rejestracja padła (" + TransportError::describe(error) + ") — ponawiam za " +
          std::to_string(waitSeconds) + "s");
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return backoffOver_ || !running_; });
    }
  }
}

std::shared_ptr<tavlo::TcpConnection> RelayHostLink::connectionFor(const std::shared_ptr<tavlo::NetThread>& thread,
                                                                   std::optional<uint64_t> joinId) {
  auto connection = RelayConnection::dial(thread, params_.service);
  std::lock_guard guard(mutex_);
  if (destroying_) return nullptr;
  if (joinId) {
    for (Join& join : joins_)
      if (join.id == *joinId) join.connection = connection;
  } else {
    registration_ = connection;
  }
  return connection;
}

void RelayHostLink::clearSignal() {
  std::lock_guard guard(mutex_);
  signal_.reset();
}

void RelayHostLink::runSignaling() {
  auto connection = connectionFor(thread_, std::nullopt);
  if (!connection) return;
  tavlo::Scheduler& scheduler = *params_.scheduler;
  auto line = std::make_shared<RelayLine>(connection);
  std::string first;
  try {
    withTimeout(scheduler, registrationTimeoutMs, [connection] { RelayConnection::start(connection); });
    first = withTimeout<std::string>(scheduler, registrationTimeoutMs, [line] { return line->readLine(); });
  } catch (...) {
    connection->cancel();
    throw;
  }
  std::optional<Bytes> challenge = first.starts_with("CH ") ? tavlo::base64Decode(first.substr(3)) : std::nullopt;
  if (!challenge) {
    connection->cancel();
    throw TransportError::badEndpoint(TransportError::Cause::noChallenge);
  }
  if (!RelayChallenge::isSignable(*challenge)) {
    log("🛰 relay: odmowa podpisu — wyzwanie wygląda jak transkrypt uzgadniania E2E (" +
        std::to_string(challenge->size()) + " B)");
    connection->cancel();
    throw TransportError::badEndpoint(TransportError::Cause::noChallenge);
  }
  std::optional<Bytes> signature = params_.sign ? params_.sign(*challenge) : std::nullopt;
  if (!signature) {
    connection->cancel();
    throw TransportError::badEndpoint(TransportError::Cause::signerFailed);
  }
  line->write("H " + params_.hostID + " " + tavlo::base64Encode(params_.sigPub) + " " +
              tavlo::base64Encode(*signature) + "\n");
  publishInitial(*line);
  // Registered only once the service says so: it refuses a host ID pinned to another key with
  // "E <reason>", and a bad signature by closing the connection.
  bool accepted = false;
  auto accept = [&] {
    if (accepted) return;
    accepted = true;
    log("🛰 relay: zarejestrowany jako " + params_.hostID.substr(0, 8) + "… (" + params_.service.host + ")");
    reportRegistration(true);
  };

  // Who asked for the next session, when the service says so right before its notice.
  std::optional<ClientNotice> client;
  for (;;) {
    bool stopped;
    {
      std::lock_guard guard(mutex_);
      stopped = !running_;
      if (stopped) signal_.reset();
    }
    if (stopped) break;
    std::string next;
    try {
      next = line->readLine();
    } catch (...) {
      clearSignal();
      connection->cancel();
      throw;
    }
    if (!accepted && (next == "OK" || next == "E" || next.starts_with("E "))) {
      if (next == "OK") {
        accept();
        continue;
      }
      log("🛰 relay: rejestracja odrzucona — " + shownReason(next.size() > 2 ? next.substr(2) : std::string()));
      clearSignal();
      connection->cancel();
      throw TransportError::badEndpoint(TransportError::Cause::refused);
    }
    if (auto notice = parseClientNotice(next)) {
      client = std::move(notice);
      continue;
    }
    if (!next.starts_with("N ")) continue;
    std::string tokenText = next.substr(2);
    std::optional<Bytes> token = parseHexString(tokenText);
    if (!token || token->size() != Relay::tokenBytes) continue;
    accept();  // a service that notifies sessions has registered this host, whether it said so or not
    std::string clientAddress = client && client->token == *token ? client->address : std::string();
    client.reset();
    log("🛰 relay: nowa sesja " + tokenText.substr(0, 8) + "…");
    std::function<void()> onSessionRequest;
    {
      std::lock_guard guard(mutex_);
      onSessionRequest = onSessionRequest_;
    }
    if (onSessionRequest) onSessionRequest();
    Token key;
    std::copy(token->begin(), token->end(), key.begin());
    startJoin(key, clientAddress);
  }
  connection->cancel();
}

void RelayHostLink::publishInitial(RelayLine& line) {
  // The registration sends the recorded values, and only then lets publish calls send on its own: a
  // value published meanwhile is sent here too, so that the service never ends with an older value
  // sent after a newer one.
  std::optional<std::string> sentEndpoint;
  bool sentRelayData = true;
  for (bool first = true;; first = false) {
    std::optional<std::string> endpoint;
    bool relayData;
    {
      std::lock_guard guard(mutex_);
      if (!first && endpoint_ == sentEndpoint && relayData_ == sentRelayData) {
        signal_ = line.connection();
        return;
      }
      endpoint = endpoint_;
      relayData = relayData_;
    }
    if (first || endpoint != sentEndpoint) line.write("EP " + endpoint.value_or("-") + "\n");
    if (first || relayData != sentRelayData) line.write(relayData ? "RD 1\n" : "RD 0\n");
    sentEndpoint = endpoint;
    sentRelayData = relayData;
  }
}

void RelayHostLink::startJoin(const Token& token, const std::string& client) {
  std::list<Join> finished;
  bool full = false;
  {
    std::lock_guard guard(mutex_);
    if (destroying_) return;
    for (auto it = joins_.begin(); it != joins_.end();) {
      auto next = std::next(it);
      if (it->done) finished.splice(finished.end(), joins_, it);
      it = next;
    }
    full = joins_.size() >= maxJoinsAtOnce;
    if (!full) {
      uint64_t id = nextJoinId_++;
      joins_.push_back(Join{id, std::thread(), nullptr});
      joins_.back().thread = std::thread([this, id, token, client] { joinSession(id, token, client); });
    }
  }
  for (Join& join : finished) joinOrDetach(join.thread);
  if (full) {
    log("🛰 relay: zbyt wiele dołączeń naraz (" + std::to_string(maxJoinsAtOnce) + ") — sesja " +
        tavlo::hexString(token).substr(0, 8) + "… pominięta");
  }
}

void RelayHostLink::joinSession(uint64_t joinId, const Token& token, const std::string& client) {
  auto markDone = [this, joinId] {
    std::lock_guard guard(mutex_);
    for (Join& join : joins_)
      if (join.id == joinId) {
        join.done = true;
        join.connection.reset();
      }
  };
  auto sessionThread = tavlo::NetThread::start("vela.relay.host.session");
  auto videoThread = tavlo::NetThread::start("vela.relay.host.video");
  auto connection = connectionFor(sessionThread, joinId);
  if (!connection) return markDone();
  auto line = std::make_shared<RelayLine>(connection);
  try {
    // Bounded like the registration: a service that takes the join and stays silent would otherwise
    // keep this thread and its two network threads until the link goes.
    tavlo::Scheduler& scheduler = *params_.scheduler;
    withTimeout(scheduler, registrationTimeoutMs, [connection] { RelayConnection::start(connection); });
    // The service's opening line means nothing here.
    (void)withTimeout<std::string>(scheduler, registrationTimeoutMs, [line] { return line->readLine(); });
    line->write("J " + tavlo::hexString(token) + "\n");
  } catch (const std::exception& error) {
    connection->cancel();
    log("🛰 relay: dołączenie do sesji nieudane (" + TransportError::describe(error) + ")");
    return markDone();
  }
  auto mux = std::make_shared<MultiplexedTCP>(connection);
  // What the service sent right behind its opening line is the start of the multiplexed stream.
  tavlo::Bytes pending = line->takePending();
  mux->startAlreadyReady(pending);

  auto flows = RelayDatagramFlow::openSession(token, Relay::Side::host,
                                             {params_.service, videoThread, sessionThread, params_.scheduler});
  if (!flows) {
    mux->close();
    return markDone();
  }
  for (auto& flow : *flows) flow->start();
  // The client's address tells relayed clients apart in the host's per-address caps.
  std::string description(remoteDescription);
  if (!client.empty()) description += "/" + client;
  auto transport = std::make_shared<RelaySessionTransport>(mux, *flows, description);
  bool handOver;
  {
    std::lock_guard guard(mutex_);
    handOver = !destroying_;
  }
  markDone();
  if (!handOver) {
    transport->close();
    return;
  }
  if (params_.emit) params_.emit(std::move(transport));
}

}  // namespace vela
