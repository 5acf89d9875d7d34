#pragma once
// What the session benchmarks share besides the tests' HostSessionProbe: fresh process-wide objects, a
// transport whose video flow hands every datagram to the benchmark, and a percentile.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hostcore/engines/encoded_frame.hpp"
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "platform/runtime/random.hpp"
#include "tests/hostcore/session/host_session_probe.hpp"

namespace vela {
namespace benchkit {

// The process-wide objects of a session, fresh: `scheduler`, in-memory settings, a random seeded with
// `seed`, a display gate and a rung memory. Engines, injectors and the rest are each benchmark's own.
inline SessionDeps freshDeps(std::shared_ptr<tavlo::Scheduler> scheduler, uint64_t seed) {
  SessionDeps deps;
  deps.scheduler = std::move(scheduler);
  deps.settings = std::make_shared<tavlo::Settings>();
  deps.random = std::make_shared<tavlo::SeededRandom>(seed);
  deps.displayGate = std::make_shared<DisplayGate>();
  deps.rungMemory = std::make_shared<RungMemory>();
  return deps;
}

// A flow that hands every datagram to a function and keeps nothing.
class HookFlow final : public DatagramFlow {
 public:
  std::function<void(ByteView)> onSend;
  void send(ByteView datagram) override {
    if (onSend) onSend(datagram);
  }
  PacketStream& incoming() override { return incoming_; }
  void close() override { incoming_.close(); }

 private:
  PacketStream incoming_;
};

class NullChannel final : public ReliableChannel {
 public:
  void send(ByteView) override {}
  PacketStream& incoming() override { return incoming_; }
  int64_t outstandingBytes() const override { return 0; }
  PacketStream incoming_;  // what "the client" sends
};

class HookTransport final : public SessionTransport {
 public:
  ReliableChannel& control() override { return control_; }
  ReliableChannel& inputReliable() override { return input_; }
  DatagramFlow& video() override { return video_; }
  DatagramFlow& audio() override { return audio_; }
  DatagramFlow& inputUnreliable() override { return unreliable_; }
  std::string remoteDescription() const override { return remote_; }
  void close() override { control_.incoming_.close(); }
  // A client on the LAN unless told otherwise.
  void setRemote(std::string remote) { remote_ = std::move(remote); }
  HookFlow video_, audio_;
  NullChannel control_;

 private:
  NullChannel input_;
  HookFlow unreliable_;
  std::string remote_ = "192.168.1.20:50000";
};

// The p-quantile (0…1) of `values`, 0 when there are none.
inline double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

}  // namespace benchkit
}  // namespace vela
