#include "platform/audio/pulse_system_audio.hpp"

#include <utility>

#include "platform/audio/pulse_monitor_listener.hpp"

namespace tavlo {

PulseSystemAudio::PulseSystemAudio(Options options) : options_(std::move(options)) {}

PulseSystemAudio::~PulseSystemAudio() { stop(); }

std::optional<std::string> PulseSystemAudio::start(BlockHandler onBlock) {
  std::lock_guard turn(operationMutex_);
  if (listener_) {
    listener_->setHandler(std::move(onBlock));
    return std::nullopt;
  }
  PulseMonitorListener::Settings settings{options_.server, options_.clientName, options_.connectTimeoutUs,
                                          options_.reconnectDelayUs, options_.log};
  auto listener = std::make_unique<PulseMonitorListener>(std::move(settings), std::move(onBlock));
  if (auto failure = listener->open()) return failure;  // the listener takes everything it made along
  listener_ = std::move(listener);
  running_ = true;
  return std::nullopt;
}

void PulseSystemAudio::stop() {
  std::unique_ptr<PulseMonitorListener> listener;
  {
    std::lock_guard turn(operationMutex_);
    listener = std::move(listener_);
    running_ = false;
  }
  // Outside the turn: releasing joins the loop's thread, which may be finishing a delivery.
  listener.reset();
}

}  // namespace tavlo
