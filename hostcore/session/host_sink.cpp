#include "hostcore/session/host_sink.hpp"

#include <string>
#include <utility>

#include "platform/runtime/product_identifier.hpp"
#include "protocol/wire_payload.hpp"

namespace vela {

namespace {

std::string sinkQueueLabel() { return std::string(tavlo::reverseDnsPrefix) + ".sink"; }

}  // namespace

HostSink::HostSink(std::shared_ptr<SessionTransport> transport, uint32_t sessionId, bool viaVPN)
    : transport_(std::move(transport)), sessionId_(sessionId), viaVPN_(viaVPN), sendQ_(sinkQueueLabel()) {}

HostSink::~HostSink() {
  sendQ_.shutdown();
  transport_->close();
}

bool HostSink::configSent() const { return configSent_.load(); }

void HostSink::sendVideo(SharedVideoChunk chunk) {
  sendQ_.post([this, chunk = std::move(chunk)] {
    if (!numberedBySession_) transport_->video().send(encodePacket(*chunk, sessionId_, videoSeq_++));
  });
}

void HostSink::sendParity(const VideoParity& parity) {
  sendQ_.post([this, parity] {
    if (!numberedBySession_) transport_->video().send(encodePacket(parity, sessionId_, videoSeq_++));
  });
}

void HostSink::sendControl(Bytes packet) {
  sendQ_.post([this, packet = std::move(packet)] { transport_->control().send(packet); });
}

void HostSink::sendConfig(const VideoConfig& config) {
  configSent_.store(true);
  sendControl(encodePacket(config, sessionId_, 0));
}

uint32_t HostSink::snapshotVideoSeq() {
  uint32_t seq = 0;
  bool ran = sendQ_.sync([&] {
    numberedBySession_ = true;
    seq = videoSeq_;
  });
  if (!ran) {  // stopped: nothing runs on it any more
    numberedBySession_ = true;
    return videoSeq_;
  }
  return seq;
}

void sendVideoToSinks(const HostSinks& sinks, const SharedVideoChunk& chunk) {
  for (const auto& sink : sinks) sink->sendVideo(chunk);
}

void sendParityToSinks(const HostSinks& sinks, const VideoParity& parity) {
  for (const auto& sink : sinks) sink->sendParity(parity);
}

void sendConfigToSinks(const HostSinks& sinks, const VideoConfig& config) {
  for (const auto& sink : sinks) sink->sendConfig(config);
}

}  // namespace vela
