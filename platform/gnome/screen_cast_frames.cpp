#include "platform/gnome/screen_cast_frames.hpp"

namespace tavlo {

void ScreenCastFrames::publish(DisplayId display, std::shared_ptr<PipeWireScreenStream> stream) {
  std::lock_guard lock(mutex_);
  streams_[display] = std::move(stream);
}

void ScreenCastFrames::withdraw(DisplayId display) {
  std::shared_ptr<PipeWireScreenStream> gone;  // released after the lock: the last owner may close it
  std::lock_guard lock(mutex_);
  auto found = streams_.find(display);
  if (found == streams_.end()) return;
  gone = std::move(found->second);
  streams_.erase(found);
}

std::vector<ScreenCastDisplay> ScreenCastFrames::displays() const {
  std::vector<std::pair<DisplayId, std::shared_ptr<PipeWireScreenStream>>> streams;
  {
    std::lock_guard lock(mutex_);
    streams.assign(streams_.begin(), streams_.end());
  }
  std::vector<ScreenCastDisplay> live;
  for (const auto& [display, stream] : streams) {
    if (!stream) continue;
    const PipeWireScreenStream::Status status = stream->status();
    if (status.state == PipeWireScreenStream::State::failed || status.state == PipeWireScreenStream::State::closed) {
      continue;
    }
    const PixelSize size = status.size.width > 0 ? status.size : stream->requestedSize();
    live.push_back({display, size});
  }
  return live;
}

std::shared_ptr<PipeWireScreenStream> ScreenCastFrames::lookup(DisplayId display) const {
  std::lock_guard lock(mutex_);
  auto found = streams_.find(display);
  return found == streams_.end() ? nullptr : found->second;
}

}  // namespace tavlo
