#pragma once
// A session transport that passes everything through to another one and keeps a copy of every packet
// handed to it for sending (its "wire tap"). Wrap a real transport in it to look at exactly what a layer
// above (the encrypting wrapper, a session) put on the wire. Adoption verifiers and input rebinding are
// passed on when the wrapped transport supports them.
#include <memory>

#include "protocol/transport_interfaces.hpp"
#include "tests/testkit/tap.hpp"

namespace vela::testkit {

class TappedReliableChannel final : public ReliableChannel {
 public:
  explicit TappedReliableChannel(ReliableChannel& inner) : inner_(inner) {}
  void send(ByteView packet) override {
    tap_.add(packet);
    inner_.send(packet);
  }
  PacketStream& incoming() override { return inner_.incoming(); }
  int64_t outstandingBytes() const override { return inner_.outstandingBytes(); }
  const Tap& sent() const { return tap_; }

 private:
  ReliableChannel& inner_;
  Tap tap_;
};

class TappedDatagramFlow final : public AdoptableDatagramFlow {
 public:
  explicit TappedDatagramFlow(DatagramFlow& inner) : inner_(inner) {}
  int maxDatagramSize() const override { return inner_.maxDatagramSize(); }
  void send(ByteView datagram) override {
    tap_.add(datagram);
    inner_.send(datagram);
  }
  void sendBatch(std::span<const ByteView> datagrams) override {
    for (ByteView datagram : datagrams) tap_.add(datagram);
    inner_.sendBatch(datagrams);
  }
  PacketStream& incoming() override { return inner_.incoming(); }
  void close() override { inner_.close(); }
  void setAdoptionVerifier(Verifier verifier) override {
    if (auto* adoptable = dynamic_cast<AdoptableDatagramFlow*>(&inner_)) adoptable->setAdoptionVerifier(std::move(verifier));
  }
  const Tap& sent() const { return tap_; }

 private:
  DatagramFlow& inner_;
  Tap tap_;
};

class TappedTransport final : public RebindableTransport {
 public:
  explicit TappedTransport(std::shared_ptr<SessionTransport> inner)
      : inner_(std::move(inner)),
        control_(inner_->control()),
        inputReliable_(inner_->inputReliable()),
        video_(inner_->video()),
        audio_(inner_->audio()),
        inputUnreliable_(inner_->inputUnreliable()) {}

  ReliableChannel& control() override { return control_; }
  ReliableChannel& inputReliable() override { return inputReliable_; }
  DatagramFlow& video() override { return video_; }
  DatagramFlow& audio() override { return audio_; }
  DatagramFlow& inputUnreliable() override { return inputUnreliable_; }
  std::string remoteDescription() const override { return inner_->remoteDescription(); }
  void close() override { inner_->close(); }
  bool rebindInputFlow() override {
    auto* rebindable = dynamic_cast<RebindableTransport*>(inner_.get());
    return rebindable && rebindable->rebindInputFlow();
  }

  // What was handed to each channel, by channel.
  const Tap& sent(Channel channel) const {
    switch (channel) {
      case Channel::control: return control_.sent();
      case Channel::inputReliable: return inputReliable_.sent();
      case Channel::video: return video_.sent();
      case Channel::audio: return audio_.sent();
      default: return inputUnreliable_.sent();
    }
  }
  const std::shared_ptr<SessionTransport>& inner() const { return inner_; }

 private:
  const std::shared_ptr<SessionTransport> inner_;
  TappedReliableChannel control_;
  TappedReliableChannel inputReliable_;
  TappedDatagramFlow video_;
  TappedDatagramFlow audio_;
  TappedDatagramFlow inputUnreliable_;
};

}  // namespace vela::testkit
