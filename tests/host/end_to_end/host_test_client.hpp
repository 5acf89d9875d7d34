#pragma once
// A client of a running host made of the project's own client halves: the direct dialer, the client
// side of the encrypting transport (trusting only the key the host published), the frame assembler on
// the video flow and the HEVC decoder. It says hello, reads the host's control records, collects whole
// frames, moves the pointer and says goodbye. Every wait is bounded: it guards against a hang.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "e2e/encrypted_transport.hpp"
#include "media/cam_decoder.hpp"
#include "protocol/frame_assembler.hpp"
#include "protocol/messages.hpp"
#include "platform/runtime/channel.hpp"

namespace tavlo::hosttest {

class HostTestClient {
 public:
  HostTestClient() = default;
  ~HostTestClient() { close(); }
  HostTestClient(const HostTestClient&) = delete;
  HostTestClient& operator=(const HostTestClient&) = delete;

  // Dials the host (on loopback unless `hostAddress` says otherwise) and agrees a key, trusting only
  // `hostSigningKey`; false (with the reason in `error`) when the connection or the handshake failed.
  // Starts collecting video frames. Between its TCP connection and its flows it waits `roundTrip`, as a
  // client on a real network does.
  bool connect(uint16_t controlPort, const Bytes& hostSigningKey, std::string* error,
               std::chrono::milliseconds roundTrip = std::chrono::milliseconds(0),
               const std::string& hostAddress = "127.0.0.1");

  // A user-initiated hello of an iPad-like client whose window is `windowPxW` × `windowPxH`.
  void sendHello(uint16_t windowPxW, uint16_t windowPxH);
  // The next control record of type T within `within`, records of other types skipped (and kept in
  // `skipped` when it is given).
  template <vela::WirePayload T>
  std::optional<T> nextControl(std::chrono::milliseconds within, std::vector<Bytes>* skipped = nullptr);
  // A control packet as a record of type T; none when it is another record.
  template <vela::WirePayload T>
  static std::optional<T> decodeAs(const Bytes& packet);
  // The next whole encoded frame within `within`.
  std::optional<vela::FrameAssembler::Event> nextFrame(std::chrono::milliseconds within);

  // What a stream watched by decodePictures gave: pictures decoded, and frames after the first picture
  // that did not decode.
  struct PictureTally {
    int pictures = 0;
    int failures = 0;
  };
  // Decodes the stream's frames with `decoder` while `goOn(pictures so far)` holds, sending the keepalive
  // every 500 ms and running `eachTurn` (if any) before each wait for a frame; every picture is expected
  // at width × height.
  PictureTally decodePictures(vela::CamDecoder& decoder, int width, int height,
                              const std::function<bool(int pictures)>& goOn,
                              const std::function<void()>& eachTurn = {});

  // Set from the host's hello: the header's session id of every later packet.
  void setSession(uint32_t sessionId, uint16_t generation) {
    sessionId_ = sessionId;
    generation_ = generation;
  }
  // A pointer move to the fraction (x, y) of the streamed display, on the unreliable input flow.
  void sendPointerMove(double x, double y);
  // The client's report on a whole frame (received clean), as a client sends one per frame.
  void sendFrameFeedback(const vela::FrameAssembler::Event& frame);
  // The bare header that keeps the unreliable input flow alive.
  void sendKeepalive();
  void sendBye();
  // Any control record, as the client's own.
  template <vela::WirePayload T>
  void sendControl(const T& record) {
    transport_->control().send(vela::encodePacket(record, sessionId_, 0));
  }
  void close();

 private:
  std::optional<Bytes> nextControlPacket(std::chrono::steady_clock::time_point deadline);
  void receiveVideo();

  std::shared_ptr<vela::EncryptedTransport> transport_;
  vela::FrameAssembler assembler_{64};
  Channel<vela::FrameAssembler::Event> frames_;
  std::thread videoReader_;
  uint32_t sessionId_ = 0;
  uint16_t generation_ = 0;
  uint32_t inputSeq_ = 0;
};

template <vela::WirePayload T>
std::optional<T> HostTestClient::decodeAs(const Bytes& packet) {
  try {
    auto raw = vela::RawPacket::decode(packet);
    if (raw.header.channel == T::channel && raw.header.msgType == T::msgType) return raw.decodePayload<T>();
  } catch (const vela::WireError&) {
  }
  return std::nullopt;
}

template <vela::WirePayload T>
std::optional<T> HostTestClient::nextControl(std::chrono::milliseconds within, std::vector<Bytes>* skipped) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (auto packet = nextControlPacket(deadline)) {
    if (auto record = decodeAs<T>(*packet)) return record;
    if (skipped) skipped->push_back(std::move(*packet));
  }
  return std::nullopt;
}

}  // namespace tavlo::hosttest
