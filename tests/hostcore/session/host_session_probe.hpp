#pragma once
// The one way into a session's private parts for its tests and benchmarks (the session names this type
// its friend): state read and set under the session mutex, and the steps they drive directly.
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "hostcore/engines/encoded_frame.hpp"
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"

namespace vela {

struct HostSessionProbe {
  template <class F>
  static auto with(HostSession& session, F&& read) {
    HostSession::Locked locked(session);
    return read(locked.state());
  }
  // Uplink loops: the parts that guard themselves (the retransmission store, the link estimator, the
  // governor), used without the session mutex.
  static SessionComponents& components(HostSession& session) { return session.components_; }
  // The session's answer to a NACK read off its video flow.
  static void answerNack(HostSession& session, const VideoNack& nack) { session.answerNack(nack); }
  // A frame feedback as the client's arrives on the video flow.
  static void intakeFeedback(HostSession& session, const FrameFeedback& feedback) { session.intakeFeedback(feedback); }
  // A coded frame as the encoder engine hands it over, for a display of `pointsW` × `pointsH` points.
  static void handleEncoded(HostSession& session, const EncodedFrame& frame, int64_t pointsW = 640,
                            int64_t pointsH = 360) {
    session.handleEncoded(frame, pointsW, pointsH);
  }

  // A captured frame as the capture engine delivers it.
  static void captured(HostSession& session, const std::shared_ptr<const tavlo::Nv12Buffer>& frame,
                       uint64_t captureTimestampUs) {
    session.onCapturedFrame(frame, captureTimestampUs);
  }

  // Multipath: a promotion as the second path's control loop makes it.
  static void promote(HostSession& session, const std::shared_ptr<HostSink>& sink) { session.promoteToPrimary(sink); }
  // One chunk through the send path's packet step: the primary path, then its copies.
  static void sendChunk(HostSession& session, const SharedVideoChunk& chunk) { session.sendChunk(chunk); }
  // A frame's chunks spread over `spreadUs`, as the send path hands them to the pacer.
  static void sendChunksPaced(HostSession& session, std::vector<SharedVideoChunk> chunks, uint64_t spreadUs) {
    session.sendChunksPaced(std::move(chunks), spreadUs);
  }
  // A frame's parity, each packet sent right after the last chunk it protects would leave.
  static void sendParityInterleaved(HostSession& session, std::vector<VideoParity> parity, int64_t chunkCount,
                                    int64_t groupCount, uint64_t spreadUs) {
    session.sendParityInterleaved(std::move(parity), chunkCount, groupCount, spreadUs);
  }
};

}  // namespace vela
