// The client half of the wrapper (the host's test peer): its handshake, the rebinding of its input
// flow and its keepalive.
#include <string>

#include "e2e/ack_box.hpp"
#include "e2e/encrypted_transport.hpp"
#include "protocol/flow_bind.hpp"

namespace vela {

namespace {
constexpr const char* plaintextSessionLine = "🔐 host bez E2E (stary build?) — sesja plaintext";
}  // namespace

bool EncryptedTransport::rebindInputFlow() {
  auto* rebindable = dynamic_cast<RebindableTransport*>(inner_.get());
  if (!rebindable) return false;
  bool rebound = rebindable->rebindInputFlow();
  if (rebound) inputUnreliable().send(flowBindDatagram(Channel::inputUnreliable));
  return rebound;
}

void EncryptedTransport::startClientKeepalive(tavlo::Scheduler& scheduler) {
  std::weak_ptr<EncryptedTransport> weak = weak_from_this();
  auto job = [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->audio().send(flowBindDatagram(Channel::audio));
    self->inputUnreliable().send(flowBindDatagram(Channel::inputUnreliable));
  };
  tavlo::ScopedTimer timer(scheduler, scheduler.every(keepaliveIntervalUs, job, keepaliveIntervalUs));
  {
    std::lock_guard guard(mutex_);
    std::swap(timer, keepaliveTimer_);
  }
  // `timer` now holds the replaced one, cancelled here, outside the lock.
}

std::shared_ptr<EncryptedTransport> EncryptedTransport::client(std::shared_ptr<SessionTransport> inner,
                                                               std::optional<Bytes> hostSigPub,
                                                               E2EClientHandshake::VerifyHost verify,
                                                               tavlo::LogSink onLog, const tavlo::Clock& clock) {
  std::shared_ptr<const E2EClientHandshake> handshake;
  if (auto started = E2EClientHandshake::start(hostSigPub)) {
    handshake = std::make_shared<const E2EClientHandshake>(std::move(*started));
  }
  auto box = std::make_shared<AckBox>();
  ControlIntercept intercept;
  if (handshake) {
    intercept = [handshake, box, verify = std::move(verify)](EncryptedTransport& wrapper, ByteView packet, bool) {
      auto result = handshake->judgeAck(packet, verify, [&wrapper](const std::string& line) { wrapper.log(line); });
      switch (result.verdict) {
        case E2EClientHandshake::Verdict::notAck:
          return false;
        case E2EClientHandshake::Verdict::refused:
          box->resolve(false);
          return true;
        case E2EClientHandshake::Verdict::keyed:
          wrapper.installKey(*result.key);
          wrapper.log(std::string(keyedLine));
          box->resolve(true);
          return true;
      }
      return false;
    };
  }
  // The wrapper exists before the hello leaves, so an answer that comes at once is caught.
  auto wrapper = create(std::move(inner), std::move(onLog), false, std::move(intercept));
  bool keyed = false;
  if (handshake) {
    wrapper->innerControl().send(handshake->helloPacket());
    keyed = box->wait(clientAckTimeoutMs, clock);
  }
  if (!keyed) wrapper->log(plaintextSessionLine);
  return wrapper;
}

}  // namespace vela
