#include "transport/direct_session_transport.hpp"

#include "protocol/flow_bind.hpp"
#include "transport/transport_error.hpp"
#include "transport/with_ready.hpp"

namespace vela {

const char* slotName(Slot slot) {
  switch (slot) {
    case Slot::video: return "video";
    case Slot::audio: return "audio";
    case Slot::inputUnreliable: return "inputUnreliable";
  }
  return "?";
}

DirectSessionTransport::DirectSessionTransport(Parts parts)
    : mux_(std::move(parts.mux)),
      control_(mux_, mux_->controlStream()),
      inputReliable_(mux_, mux_->inputStream()),
      video_(std::move(parts.video)),
      audio_(std::move(parts.audio)),
      videoBox_(std::move(parts.videoBox)),
      audioBox_(std::move(parts.audioBox)),
      inputBox_(std::move(parts.inputBox)),
      remoteDescription_(std::move(parts.remoteDescription)),
      rebindTarget_(std::move(parts.rebindTarget)) {
  // Each of the client's flows hears it for the others: a quiet one is not taken from an address the
  // client still sends from.
  if (videoBox_ && audioBox_ && inputBox_) {
    videoBox_->setSiblings({audioBox_, inputBox_});
    audioBox_->setSiblings({videoBox_, inputBox_});
    inputBox_->setSiblings({videoBox_, audioBox_});
  }
}

void DirectSessionTransport::close() {
  {
    std::lock_guard guard(mutex_);
    closed_ = true;
  }
  mux_->close();
  video_->close();
  audio_->close();
  inputBox_->close();
}

bool DirectSessionTransport::isClosed() const {
  std::lock_guard guard(mutex_);
  return closed_;
}

void DirectSessionTransport::adopt(Slot slot, std::shared_ptr<UDPFlow> child, const std::string& remote) {
  const std::shared_ptr<RebindableUDPFlow>* box = nullptr;
  switch (slot) {
    case Slot::video: box = &videoBox_; break;
    case Slot::audio: box = &audioBox_; break;
    case Slot::inputUnreliable: box = &inputBox_; break;
  }
  if (!box || !*box) {
    child->close();
    return;
  }
  (*box)->adopt(std::move(child), remote, false);
}

bool DirectSessionTransport::rebindInputFlow() {
  std::optional<RebindTarget> target;
  {
    std::lock_guard guard(mutex_);
    if (!closed_) target = rebindTarget_;
  }
  if (!target) return false;
  auto connection = tavlo::UdpLink::dial(target->queue, target->host, target->port, tavlo::ServiceClass::interactiveVoice);
  auto flow = std::make_shared<UDPFlow>(std::move(connection), "input(rebind)");
  flow->setOnDiag(target->diag);
  try {
    withReady([&](ReadyHandler handler) { flow->start(std::move(handler)); });
  } catch (const TransportError& error) {
    if (target->diag) target->diag(std::string("🔁 input: rebind nieudany (") + error.what() + ")");
    flow->close();
    return false;
  }
  // The host learns the new source from its first datagram; the bare header proves nothing, so the
  // host counts it as one rejection and promotes the flow on its first sealed datagram.
  Bytes bind = flowBindDatagram(Channel::inputUnreliable);
  flow->send(bind);
  inputBox_->adopt(flow, flow->localEndpointDescription(), true);
  return true;
}

}  // namespace vela
