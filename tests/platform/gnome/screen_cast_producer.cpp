#include "tests/platform/gnome/screen_cast_producer.hpp"

#include <gtest/gtest.h>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <atomic>
#include <cstring>

namespace tavlo::testkit {

std::vector<uint8_t> solidPicture(int32_t width, int32_t height, uint8_t blue, uint8_t green, uint8_t red) {
  std::vector<uint8_t> picture(size_t(width) * size_t(height) * 4);
  for (size_t i = 0; i < picture.size(); i += 4) {
    picture[i] = blue, picture[i + 1] = green, picture[i + 2] = red, picture[i + 3] = 0xff;
  }
  return picture;
}

ScreenProducer::ScreenProducer(const std::string& remote, int32_t width, int32_t height)
    : width_(width), height_(height) {
  std::string error;
  context_ = PipeWireContext::connect({}, error, remote);
  if (!context_) {
    ADD_FAILURE() << "producer cannot connect: " << error;
    return;
  }
  source_ = PipeWireVideoSource::create(*context_, {{"node.name", "tavlo-test-screen"}},
                                        {uint32_t(width), uint32_t(height), 30}, {}, error);
  if (!source_) ADD_FAILURE() << "producer node: " << error;
}

ScreenProducer::~ScreenProducer() {
  source_.reset();
  context_.reset();
}

uint32_t ScreenProducer::nodeId() {
  if (!source_) return 0;
  uint32_t id = SPA_ID_INVALID;
  eventually([&] { return (id = source_->nodeId()) != SPA_ID_INVALID; });
  return id == SPA_ID_INVALID ? 0 : id;
}

bool ScreenProducer::send(uint8_t blue, uint8_t green, uint8_t red) {
  if (!source_) return false;
  const auto picture = solidPicture(width_, height_, blue, green, red);
  return source_->sendFrame(ByteView(picture.data(), picture.size()), size_t(width_) * 4);
}

struct ScriptedProducer::Events {
  spa_hook hook{};
  pw_stream_events events{};
  pw_stream* stream = nullptr;
  int32_t size = 0;
  int32_t stride = 0;
  std::atomic<bool> streaming{false};
};

ScriptedProducer::ScriptedProducer(const std::string& remote, int32_t width, int32_t height)
    : width_(width), height_(height), events_(std::make_unique<Events>()) {
  std::string error;
  context_ = PipeWireContext::connect({}, error, remote);
  if (!context_) {
    ADD_FAILURE() << "producer cannot connect: " << error;
    return;
  }
  events_->events.version = PW_VERSION_STREAM_EVENTS;
  events_->events.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char*) {
    static_cast<Events*>(data)->streaming = state == PW_STREAM_STATE_STREAMING;
  };
  // Buffers large enough for the whole picture: only the chunk's claim is wrong.
  events_->events.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
    auto* events = static_cast<Events*>(data);
    if (!param || id != SPA_PARAM_Format) return;
    uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const int32_t cursorMeta = int32_t(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) + 16 * 16 * 4;
    const spa_pod* params[2] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
        SPA_POD_Int(events->size), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(events->stride), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd)))),
                                static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
        SPA_PARAM_META_size, SPA_POD_Int(cursorMeta)))};
    pw_stream_update_params(events->stream, params, 2);
  };
  events_->stride = width * 4;
  events_->size = width * 4 * height;
  PipeWireLock lock(context_->loop());
  stream_ = pw_stream_new(context_->core(), "tavlo-test-scripted",
                          pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_NODE_NAME,
                                            "tavlo-test-scripted", nullptr));
  events_->stream = stream_;
  pw_stream_add_listener(stream_, &events_->hook, &events_->events, events_.get());
  uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  spa_rectangle size{uint32_t(width), uint32_t(height)};
  spa_fraction rate{30, 1};
  const spa_pod* params[1] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_Id(SPA_VIDEO_FORMAT_BGRx), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)))};
  pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                    static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
                    params, 1);
}

ScriptedProducer::~ScriptedProducer() {
  if (stream_) {
    PipeWireLock lock(context_->loop());
    spa_hook_remove(&events_->hook);
    pw_stream_destroy(stream_);
  }
  context_.reset();
}

uint32_t ScriptedProducer::nodeId() {
  if (!stream_) return 0;
  uint32_t id = SPA_ID_INVALID;
  eventually([&] {
    PipeWireLock lock(context_->loop());
    return (id = pw_stream_get_node_id(stream_)) != SPA_ID_INVALID;
  });
  return id == SPA_ID_INVALID ? 0 : id;
}

bool ScriptedProducer::streaming() const { return events_->streaming; }

bool ScriptedProducer::send(uint32_t chunkSize, std::optional<Pointer> pointer, uint8_t grey) {
  if (!stream_ || !events_->streaming) return false;
  PipeWireLock lock(context_->loop());
  pw_buffer* buffer = pw_stream_dequeue_buffer(stream_);
  if (!buffer) return false;
  spa_data& block = buffer->buffer->datas[0];
  if (block.data) std::memset(block.data, grey, block.maxsize);
  block.chunk->offset = 0;
  block.chunk->stride = width_ * 4;
  block.chunk->size = chunkSize;
  if (auto* cursor = static_cast<spa_meta_cursor*>(
          spa_buffer_find_meta_data(buffer->buffer, SPA_META_Cursor, sizeof(spa_meta_cursor)))) {
    cursor->id = pointer ? 1 : 0;
    cursor->flags = 0;
    cursor->position = {pointer ? pointer->x : 0, pointer ? pointer->y : 0};
    cursor->hotspot = {0, 0};
    cursor->bitmap_offset = 0;
    if (pointer && pointer->withImage) {
      cursor->bitmap_offset = sizeof(spa_meta_cursor);
      auto* bitmap = SPA_PTROFF(cursor, cursor->bitmap_offset, spa_meta_bitmap);
      bitmap->format = SPA_VIDEO_FORMAT_RGBA;
      bitmap->size = {uint32_t(kPointerSide), uint32_t(kPointerSide)};
      bitmap->stride = kPointerSide * 4;
      bitmap->offset = sizeof(spa_meta_bitmap);
      std::memset(SPA_PTROFF(bitmap, bitmap->offset, uint8_t), 0xff, size_t(kPointerSide) * kPointerSide * 4);
    }
  }
  pw_stream_queue_buffer(stream_, buffer);
  pw_stream_trigger_process(stream_);
  return true;
}

}  // namespace tavlo::testkit
