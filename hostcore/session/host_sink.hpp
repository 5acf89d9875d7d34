#pragma once
// The sender of one secondary path of a session (make-before-break): a second transport of the same
// client, attached while the first still works, that gets a copy of every video datagram and may be
// promoted to be the primary path.
//
// Every send of a sink runs on its own serial queue, so a slow or dead second path never holds up the
// primary one; the sink's video sequence is touched only there. The session calls the sends without
// waiting; snapshotVideoSeq is the one call that waits on the queue and is never made under the session
// mutex.
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/runtime/bytes.hpp"
#include "platform/runtime/serial_executor.hpp"
#include "protocol/chunker.hpp"
#include "protocol/display_messages.hpp"
#include "protocol/media_messages.hpp"
#include "protocol/transport_interfaces.hpp"

namespace vela {

class HostSink {
 public:
  HostSink(std::shared_ptr<SessionTransport> transport, uint32_t sessionId, bool viaVPN);
  // Sends what is queued, stops the queue and closes the transport: the path belongs to its sink (the
  // session that received it donated it), and a sink goes with its detachment or its session.
  ~HostSink();
  HostSink(const HostSink&) = delete;
  HostSink& operator=(const HostSink&) = delete;

  const std::shared_ptr<SessionTransport>& transport() const { return transport_; }
  uint32_t sessionId() const { return sessionId_; }
  bool viaVPN() const { return viaVPN_; }
  // Whether a video configuration has been queued for this path.
  bool configSent() const;

  // A video datagram (chunk 0x10, parity 0x12) with the sink's session id and its next sequence
  // number, on the transport's video flow; queued, never waited for.
  void sendVideo(SharedVideoChunk chunk);
  void sendParity(const VideoParity& parity);
  // A finished control packet on the transport's control channel; queued.
  void sendControl(Bytes packet);
  // The configuration as a control packet with the sink's session id; queued, and remembered as sent.
  void sendConfig(const VideoConfig& config);
  // The sequence number the next video datagram will carry, once everything queued before has gone. A
  // promotion takes it, and from then on the session numbers this path's video itself: a copy that the
  // send path hands over later (it took the list of paths just before the promotion) is dropped, so no
  // number goes out twice; the client asks for the chunk again if it needs it.
  uint32_t snapshotVideoSeq();

 private:
  const std::shared_ptr<SessionTransport> transport_;
  const uint32_t sessionId_;
  const bool viaVPN_;
  uint32_t videoSeq_ = 0;  // only on the queue
  bool numberedBySession_ = false;  // only on the queue: set by snapshotVideoSeq
  std::atomic<bool> configSent_{false};
  // Last member: its shutdown in the destructor runs the queued sends while the fields above still live.
  tavlo::SerialExecutor sendQ_;
};

using HostSinks = std::vector<std::shared_ptr<HostSink>>;

// The send path's fan-out: after a chunk or a parity packet went out on the primary path, a copy goes to
// every secondary path (first sends and retransmissions alike). `sinks` is the list copied under the
// session mutex in the same hold that took the primary sequence number.
void sendVideoToSinks(const HostSinks& sinks, const SharedVideoChunk& chunk);
void sendParityToSinks(const HostSinks& sinks, const VideoParity& parity);

// A video configuration the session sends reaches every secondary path too, so that a path attached
// before the first configuration, or before a new generation, can decode what follows. Call it under
// the session mutex, in the hold that stores the configuration (lastHvcc): it only queues, and queuing
// there keeps a path's configurations in the order the session made them.
void sendConfigToSinks(const HostSinks& sinks, const VideoConfig& config);

}  // namespace vela
