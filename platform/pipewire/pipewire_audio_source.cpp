#include "platform/pipewire/pipewire_audio_source.hpp"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <algorithm>

namespace tavlo {

struct PipeWireAudioSource::Events {
  spa_hook hook{};
  pw_stream_events events{};
  pw_stream* stream = nullptr;
  Fill fill;
  StateChange stateChange;
  bool streaming = false;
};

namespace {

void onProcess(void* data) {
  auto* self = static_cast<PipeWireAudioSource::Events*>(data);
  pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream);
  if (!buffer) return;
  spa_data& block = buffer->buffer->datas[0];
  if (!block.data) {
    pw_stream_queue_buffer(self->stream, buffer);
    return;
  }
  uint64_t frames = block.maxsize / sizeof(float);
  if (buffer->requested != 0) frames = std::min<uint64_t>(frames, buffer->requested);
  std::span<float> samples(static_cast<float*>(block.data), static_cast<size_t>(frames));
  self->fill(samples);
  block.chunk->offset = 0;
  block.chunk->stride = sizeof(float);
  block.chunk->size = static_cast<uint32_t>(frames * sizeof(float));
  pw_stream_queue_buffer(self->stream, buffer);
}

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char*) {
  auto* self = static_cast<PipeWireAudioSource::Events*>(data);
  bool streaming = state == PW_STREAM_STATE_STREAMING;
  if (streaming == self->streaming) return;
  self->streaming = streaming;
  if (self->stateChange) self->stateChange(streaming);
}

}  // namespace

PipeWireAudioSource::PipeWireAudioSource(PipeWireContext& context) : context_(context) {}

std::unique_ptr<PipeWireAudioSource> PipeWireAudioSource::create(PipeWireContext& context,
                                                                 const NodeProperties& properties,
                                                                 uint32_t sampleRate, Fill fill,
                                                                 StateChange stateChange, std::string& error) {
  std::unique_ptr<PipeWireAudioSource> self(new PipeWireAudioSource(context));
  self->events_ = std::make_unique<Events>();
  self->events_->events.version = PW_VERSION_STREAM_EVENTS;
  self->events_->events.process = onProcess;
  self->events_->events.state_changed = onStateChanged;
  self->events_->fill = std::move(fill);
  self->events_->stateChange = std::move(stateChange);

  pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                           PW_KEY_MEDIA_CLASS, "Audio/Source", nullptr);
  for (const auto& [key, value] : properties) pw_properties_set(props, key.c_str(), value.c_str());

  PipeWireLock lock(context.loop());
  self->stream_ = pw_stream_new(context.core(), "tavlo-audio-source", props);
  if (!self->stream_) {
    error = "pw_stream_new failed";
    return nullptr;
  }
  self->events_->stream = self->stream_;
  pw_stream_add_listener(self->stream_, &self->events_->hook, &self->events_->events, self->events_.get());

  uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  spa_audio_info_raw info{};
  info.format = SPA_AUDIO_FORMAT_F32;
  info.rate = sampleRate;
  info.channels = 1;
  info.position[0] = SPA_AUDIO_CHANNEL_MONO;
  const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
  int result = pw_stream_connect(self->stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                                 static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
  if (result < 0) {
    error = "pw_stream_connect failed: " + std::to_string(result);
    return nullptr;
  }
  return self;
}

PipeWireAudioSource::~PipeWireAudioSource() {
  if (!stream_) return;
  PipeWireLock lock(context_.loop());
  spa_hook_remove(&events_->hook);
  pw_stream_destroy(stream_);
}

}  // namespace tavlo
