#include "platform/pipewire/pipewire_video_source.hpp"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <cstring>

namespace tavlo {

struct PipeWireVideoSource::Events {
  spa_hook hook{};
  pw_stream_events events{};
  pw_stream* stream = nullptr;
  Format format;
  StateChange stateChange;
  bool streaming = false;
};

namespace {

// How many buffers the node offers: enough for a consumer that holds one while the next is filled.
constexpr int kBuffers = 4, kMinBuffers = 2, kMaxBuffers = 8;

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char*) {
  auto* self = static_cast<PipeWireVideoSource::Events*>(data);
  bool streaming = state == PW_STREAM_STATE_STREAMING;
  if (streaming == self->streaming) return;
  self->streaming = streaming;
  if (self->stateChange) self->stateChange(streaming);
}

void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
  auto* self = static_cast<PipeWireVideoSource::Events*>(data);
  if (!param || id != SPA_PARAM_Format) return;
  const int stride = static_cast<int>(self->format.width * 4);
  const int size = stride * static_cast<int>(self->format.height);
  uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_pod* params[1] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(kBuffers, kMinBuffers, kMaxBuffers), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
      SPA_PARAM_BUFFERS_size, SPA_POD_Int(size), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(stride),
      SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))))};
  pw_stream_update_params(self->stream, params, 1);
}

}  // namespace

PipeWireVideoSource::PipeWireVideoSource(PipeWireContext& context) : context_(context) {}

std::unique_ptr<PipeWireVideoSource> PipeWireVideoSource::create(PipeWireContext& context,
                                                                 const NodeProperties& properties, Format format,
                                                                 StateChange stateChange, std::string& error) {
  std::unique_ptr<PipeWireVideoSource> self(new PipeWireVideoSource(context));
  self->events_ = std::make_unique<Events>();
  self->events_->events.version = PW_VERSION_STREAM_EVENTS;
  self->events_->events.state_changed = onStateChanged;
  self->events_->events.param_changed = onParamChanged;
  self->events_->format = format;
  self->events_->stateChange = std::move(stateChange);

  pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                           PW_KEY_MEDIA_CLASS, "Video/Source", nullptr);
  for (const auto& [key, value] : properties) pw_properties_set(props, key.c_str(), value.c_str());

  PipeWireLock lock(context.loop());
  self->stream_ = pw_stream_new(context.core(), "tavlo-video-source", props);
  if (!self->stream_) {
    error = "pw_stream_new failed";
    return nullptr;
  }
  self->events_->stream = self->stream_;
  pw_stream_add_listener(self->stream_, &self->events_->hook, &self->events_->events, self->events_.get());

  uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  spa_rectangle size{format.width, format.height};
  spa_fraction rate{format.framesPerSecond, 1};
  const spa_pod* params[1] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_Id(SPA_VIDEO_FORMAT_BGRx), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)))};
  auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS);
  int result = pw_stream_connect(self->stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1);
  if (result < 0) {
    error = "pw_stream_connect failed: " + std::to_string(result);
    return nullptr;
  }
  return self;
}

PipeWireVideoSource::~PipeWireVideoSource() {
  if (!stream_) return;
  PipeWireLock lock(context_.loop());
  spa_hook_remove(&events_->hook);
  pw_stream_destroy(stream_);
}

uint32_t PipeWireVideoSource::nodeId() const {
  PipeWireLock lock(context_.loop());
  return pw_stream_get_node_id(stream_);
}

bool PipeWireVideoSource::sendFrame(ByteView frame, size_t bytesPerRow) {
  const Format& format = events_->format;
  const size_t rowBytes = size_t{format.width} * 4;
  if (format.height == 0 || bytesPerRow < rowBytes || frame.size() < bytesPerRow * (format.height - 1) + rowBytes) {
    return false;
  }
  PipeWireLock lock(context_.loop());
  if (!events_->streaming) return false;
  pw_buffer* buffer = pw_stream_dequeue_buffer(stream_);
  if (!buffer) return false;
  spa_data& block = buffer->buffer->datas[0];
  const size_t stride = rowBytes;
  if (!block.data || block.maxsize < stride * format.height) {
    pw_stream_queue_buffer(stream_, buffer);
    return false;
  }
  auto* out = static_cast<uint8_t*>(block.data);
  for (uint32_t y = 0; y < format.height; ++y) {
    std::memcpy(out + y * stride, frame.data() + y * bytesPerRow, rowBytes);
  }
  block.chunk->offset = 0;
  block.chunk->stride = static_cast<int32_t>(stride);
  block.chunk->size = static_cast<uint32_t>(stride * format.height);
  pw_stream_queue_buffer(stream_, buffer);
  // The node is its own driver: this starts the graph cycle that hands the buffer to the consumers.
  pw_stream_trigger_process(stream_);
  return true;
}

}  // namespace tavlo
