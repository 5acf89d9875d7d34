#include "tests/host/end_to_end/host_test_client.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "protocol/flow_bind.hpp"
#include "transport/direct_dialer.hpp"
#include "transport/transport_error.hpp"

namespace tavlo::hosttest {

namespace {

uint64_t monotonicUs() { return SteadyClock::shared().nowUs(); }

uint16_t normalised(double fraction) { return static_cast<uint16_t>(std::lround(std::clamp(fraction, 0.0, 1.0) * 65535)); }

}  // namespace

bool HostTestClient::connect(uint16_t controlPort, const Bytes& hostSigningKey, std::string* error,
                             std::chrono::milliseconds roundTrip, const std::string& hostAddress) {
  std::shared_ptr<vela::SessionTransport> inner;
  try {
    vela::DirectDialer dialer;
    if (roundTrip.count() > 0) dialer.beforeFlows = [roundTrip] { std::this_thread::sleep_for(roundTrip); };
    inner = dialer.connect(hostAddress, controlPort);
  } catch (const std::exception& e) {
    *error = std::string("dial: ") + e.what();
    return false;
  }
  auto trusted = [hostSigningKey](const Uuid&, ByteView sigPub, const LogSink&) {
    return std::equal(sigPub.begin(), sigPub.end(), hostSigningKey.begin(), hostSigningKey.end());
  };
  transport_ = vela::EncryptedTransport::client(std::move(inner), hostSigningKey, trusted, {});
  if (!transport_->isEncrypted()) {
    *error = "no key agreed with the host's published signing key";
    return false;
  }
  videoReader_ = std::thread([this] { receiveVideo(); });
  return true;
}

HostTestClient::PictureTally HostTestClient::decodePictures(vela::CamDecoder& decoder, int width, int height,
                                                            const std::function<bool(int pictures)>& goOn,
                                                            const std::function<void()>& eachTurn) {
  using namespace std::chrono_literals;
  PictureTally tally;
  auto nextKeepalive = std::chrono::steady_clock::now();
  while (goOn(tally.pictures)) {
    if (std::chrono::steady_clock::now() >= nextKeepalive) {
      sendKeepalive();
      nextKeepalive += 500ms;
    }
    if (eachTurn) eachTurn();
    auto frame = nextFrame(30ms);
    if (!frame) continue;
    auto picture = decoder.decode(frame->data, frame->captureTimestampUs);
    if (!picture) {
      tally.failures += tally.pictures > 0 ? 1 : 0;
      continue;
    }
    ++tally.pictures;
    EXPECT_EQ(picture->width, width);
    EXPECT_EQ(picture->height, height);
  }
  return tally;
}

void HostTestClient::sendHello(uint16_t windowPxW, uint16_t windowPxH) {
  vela::ClientHello hello;
  hello.protoVersion = vela::HostHello::acceptance(1, "", false).protoVersion;
  hello.platform = vela::Platform::iPad;
  hello.panelPxW = windowPxW;
  hello.panelPxH = windowPxH;
  hello.backingScalePercent = 100;
  hello.maxFps = 60;
  hello.maxDecodePxW = 4096;
  hello.maxDecodePxH = 4096;
  hello.windowPxW = windowPxW;
  hello.windowPxH = windowPxH;
  hello.deviceName = "End-to-end";
  hello.deviceId = "end-to-end-client";
  hello.userInitiated = true;
  transport_->control().send(vela::encodePacket(hello, 0, 0));
}

std::optional<Bytes> HostTestClient::nextControlPacket(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return std::nullopt;
  const Clock& clock = SteadyClock::shared();
  return transport_->control().incoming().receiveUntil(clock, clock.nowUs() + uint64_t(left.count()));
}

std::optional<vela::FrameAssembler::Event> HostTestClient::nextFrame(std::chrono::milliseconds within) {
  const Clock& clock = SteadyClock::shared();
  return frames_.receiveUntil(clock, clock.nowUs() + uint64_t(within.count()) * 1000);
}

void HostTestClient::receiveVideo() {
  while (auto datagram = transport_->video().incoming().receive()) {
    try {
      auto raw = vela::RawPacket::decode(*datagram);
      vela::FrameAssembler::Event event;
      if (raw.header.channel == vela::VideoChunk::channel && raw.header.msgType == vela::VideoChunk::msgType) {
        event = assembler_.ingest(raw.decodePayload<vela::VideoChunk>(), monotonicUs());
      } else if (raw.header.channel == vela::VideoParity::channel &&
                 raw.header.msgType == vela::VideoParity::msgType) {
        event = assembler_.ingestParity(raw.decodePayload<vela::VideoParity>(), monotonicUs());
      } else {
        continue;
      }
      if (event.kind == vela::FrameAssembler::Event::Kind::completed) frames_.send(std::move(event));
    } catch (const vela::WireError&) {
      // A datagram the client does not understand is dropped, as a client drops it.
    }
  }
  frames_.close();
}

void HostTestClient::sendPointerMove(double x, double y) {
  vela::PointerMoveBatch batch;
  batch.generation = generation_;
  batch.baseTimestampUs = monotonicUs();
  batch.samples.push_back({normalised(x), normalised(y), 0});
  transport_->inputUnreliable().send(vela::encodePacket(batch, sessionId_, ++inputSeq_));
}

void HostTestClient::sendFrameFeedback(const vela::FrameAssembler::Event& frame) {
  vela::FrameFeedback feedback;
  feedback.frameId = frame.frameId;
  feedback.generation = frame.generation;
  feedback.clientRecvTimestampUs = monotonicUs();
  transport_->video().send(vela::encodePacket(feedback, sessionId_, 0));
}

void HostTestClient::sendKeepalive() {
  transport_->inputUnreliable().send(vela::flowBindDatagram(vela::Channel::inputUnreliable));
}

void HostTestClient::sendBye() { transport_->control().send(vela::encodePacket(vela::Bye{}, sessionId_, 0)); }

void HostTestClient::close() {
  if (transport_) transport_->close();
  if (videoReader_.joinable()) videoReader_.join();
}

}  // namespace tavlo::hosttest
