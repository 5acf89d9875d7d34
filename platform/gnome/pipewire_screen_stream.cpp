#include "platform/gnome/pipewire_screen_stream.hpp"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>

#include <cerrno>

#include "platform/gnome/screen_buffer_reader.hpp"
#include "platform/pipewire/pipewire_context.hpp"

namespace tavlo {

struct PipeWireScreenStream::Events {
  spa_hook hook{};
  pw_stream_events events{};
  pw_stream* stream = nullptr;
  PipeWireScreenStream* owner = nullptr;
  // The fields below belong to the loop thread.
  PixelSize negotiated;
  ScreenPixelOrder order = ScreenPixelOrder::bgrx;
  bool disconnecting = false;  // our own disconnect (a resize, close): not a failure
  bool streamedSinceConnect = false;
  ScreenCursor cursor;
  uint64_t sequence = 0;
  uint64_t refused = 0;  // buffers dropped as malformed
  // Picture copies come back here when their last user lets go, on whatever thread that is.
  struct Copies {
    std::mutex mutex;
    std::vector<std::unique_ptr<ScreenFrame>> free;
    size_t outstanding = 0;
  };
  std::shared_ptr<Copies> copies = std::make_shared<Copies>();
};

namespace {

// Picture copies in circulation: the newest, one a consumer converts, one being filled, one spare.
constexpr size_t kCopies = 4;
// A malformed buffer is logged the first time and then every this many, with the count.
constexpr uint64_t kRefusalLogEvery = 1000;
constexpr uint32_t kMaxFramerate = 1000;
// Room for the pointer's bitmap: mutter offers a fixed 384 × 384 (its largest sprite at scale 3).
constexpr int32_t kMaxCursorMetaSide = 512;

constexpr int32_t cursorMetaSize(int32_t width, int32_t height) {
  return static_cast<int32_t>(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) + width * height * 4;
}

bool inRange(PixelSize size) {
  return size.width >= 1 && size.height >= 1 && size.width <= PipeWireScreenStream::kMaxSide &&
         size.height <= PipeWireScreenStream::kMaxSide;
}

std::string sizeText(PixelSize size) { return std::to_string(size.width) + "x" + std::to_string(size.height); }

const spa_pod* formatParam(spa_pod_builder& builder, PixelSize size, uint32_t framesPerSecond) {
  spa_rectangle rectangle{static_cast<uint32_t>(size.width), static_cast<uint32_t>(size.height)};
  spa_fraction preferred{framesPerSecond, 1}, slowest{0, 1}, fastest{kMaxFramerate, 1};
  // Mutter announces a frame rate of 0/1 (frames on damage), hence the range down to 0.
  return static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                             SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
      SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&rectangle), SPA_FORMAT_VIDEO_framerate,
      SPA_POD_CHOICE_RANGE_Fraction(&preferred, &slowest, &fastest)));
}

}  // namespace

// Everything below named on* runs on the loop thread with the loop locked.
class ScreenStreamCallbacks {
 public:
  using Events = PipeWireScreenStream::Events;
  using State = PipeWireScreenStream::State;

  static void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto* events = static_cast<Events*>(data);
    switch (state) {
      case PW_STREAM_STATE_ERROR:
        events->owner->fail(std::string("screen-cast stream failed: ") + (error ? error : "unknown error"));
        break;
      case PW_STREAM_STATE_UNCONNECTED:
        if (!events->disconnecting) events->owner->fail("the screen-cast node went away");
        break;
      case PW_STREAM_STATE_CONNECTING:
        events->owner->updateStatus([](PipeWireScreenStream::Status& status) { status.state = State::connecting; });
        break;
      case PW_STREAM_STATE_PAUSED: {
        const State now = events->streamedSinceConnect ? State::paused : State::connecting;
        events->owner->updateStatus([now](PipeWireScreenStream::Status& status) { status.state = now; });
        break;
      }
      case PW_STREAM_STATE_STREAMING:
        events->streamedSinceConnect = true;
        events->owner->updateStatus([](PipeWireScreenStream::Status& status) { status.state = State::streaming; });
        break;
    }
  }

  static void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
    auto* events = static_cast<Events*>(data);
    if (!param || id != SPA_PARAM_Format) return;
    uint32_t mediaType = 0, mediaSubtype = 0;
    spa_video_info_raw info{};
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
        mediaSubtype != SPA_MEDIA_SUBTYPE_raw || spa_format_video_raw_parse(param, &info) < 0) {
      pw_stream_set_error(events->stream, -EINVAL, "not a raw video format");
      return;
    }
    switch (info.format) {
      case SPA_VIDEO_FORMAT_BGRx:
      case SPA_VIDEO_FORMAT_BGRA: events->order = ScreenPixelOrder::bgrx; break;
      case SPA_VIDEO_FORMAT_RGBx:
      case SPA_VIDEO_FORMAT_RGBA: events->order = ScreenPixelOrder::rgbx; break;
      default: pw_stream_set_error(events->stream, -EINVAL, "unsupported pixel format"); return;
    }
    const PixelSize size{static_cast<int32_t>(info.size.width), static_cast<int32_t>(info.size.height)};
    if (!inRange(size)) {
      pw_stream_set_error(events->stream, -EINVAL, "picture size out of range");
      return;
    }
    events->negotiated = size;

    uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[3];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(8, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
        SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
        SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(cursorMetaSize(64, 64), cursorMetaSize(1, 1), cursorMetaSize(kMaxCursorMetaSide, kMaxCursorMetaSide))));
    pw_stream_update_params(events->stream, params, 3);
    events->owner->updateStatus([size](PipeWireScreenStream::Status& status) { status.size = size; });
  }

  static void onProcess(void* data) {
    auto* events = static_cast<Events*>(data);
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(events->stream)) {
      std::shared_ptr<const ScreenFrame> picture;
      const bool news = take(*events, *buffer->buffer, picture);
      // The buffer goes back before anyone sees the copy: it is never held past this call.
      pw_stream_queue_buffer(events->stream, buffer);
      if (news) events->owner->deliver(std::move(picture), events->cursor);
    }
  }

 private:
  // Reads one buffer: true when it brought a picture or a change of the pointer.
  static bool take(Events& events, spa_buffer& buffer, std::shared_ptr<const ScreenFrame>& picture) {
    const auto* header =
        static_cast<const spa_meta_header*>(spa_buffer_find_meta_data(&buffer, SPA_META_Header, sizeof(spa_meta_header)));
    if (header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED)) return false;

    bool cursorChanged = false;
    if (const spa_meta* meta = spa_buffer_find_meta(&buffer, SPA_META_Cursor)) {
      const ScreenCursor before = events.cursor;
      std::string why;
      if (!readScreenCursor(meta->data, meta->size, events.cursor, &why)) refuse(events, why);
      cursorChanged = before.visible != events.cursor.visible || before.x != events.cursor.x ||
                      before.y != events.cursor.y || before.serial != events.cursor.serial ||
                      before.hotspotX != events.cursor.hotspotX || before.hotspotY != events.cursor.hotspotY;
    }
    if (buffer.n_datas < 1 || !buffer.datas[0].chunk) return cursorChanged;
    const spa_data& block = buffer.datas[0];
    // A buffer with an empty chunk carries only metadata: the pointer moved over a still picture.
    if (block.chunk->size == 0 || (block.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED)) return cursorChanged;
    if (block.type != SPA_DATA_MemPtr && block.type != SPA_DATA_MemFd) {
      refuse(events, "memory type " + std::to_string(block.type) + " was not asked for");
      return cursorChanged;
    }
    std::shared_ptr<ScreenFrame> copy = freeCopy(events);
    if (!copy) return cursorChanged;  // every copy is still held: this picture is skipped
    const ScreenBufferBlock view{static_cast<const uint8_t*>(block.data), block.maxsize, block.chunk->offset,
                                 block.chunk->size, block.chunk->stride};
    if (auto why = copyScreenPicture(view, events.negotiated, events.order, *copy)) {
      refuse(events, *why);
      return cursorChanged;
    }
    copy->sequence = ++events.sequence;
    picture = std::move(copy);
    return true;
  }

  static std::shared_ptr<ScreenFrame> freeCopy(Events& events) {
    using Copies = Events::Copies;
    std::unique_ptr<ScreenFrame> copy;
    {
      std::lock_guard lock(events.copies->mutex);
      if (!events.copies->free.empty()) {
        copy = std::move(events.copies->free.back());
        events.copies->free.pop_back();
      } else if (events.copies->outstanding >= kCopies) {
        return nullptr;
      } else {
        copy = std::make_unique<ScreenFrame>();
      }
      ++events.copies->outstanding;
    }
    return std::shared_ptr<ScreenFrame>(copy.release(), [pool = std::weak_ptr<Copies>(events.copies)](ScreenFrame* frame) {
      std::unique_ptr<ScreenFrame> back(frame);
      if (auto copies = pool.lock()) {
        std::lock_guard lock(copies->mutex);
        --copies->outstanding;
        copies->free.push_back(std::move(back));
      }
    });
  }

  static void refuse(Events& events, const std::string& why) {
    const uint64_t count = ++events.refused;
    if (count % kRefusalLogEvery != 1) return;
    events.owner->log("screen-cast node " + std::to_string(events.owner->options_.nodeId) + ": dropped buffer (" +
                      why + ")" + (count > 1 ? ", " + std::to_string(count) + " so far" : std::string()));
  }
};

PipeWireScreenStream::PipeWireScreenStream(Options options) : options_(std::move(options)) {
  requested_ = options_.size;
}

std::shared_ptr<PipeWireScreenStream> PipeWireScreenStream::open(Options options, std::string* error) {
  auto failWith = [&](std::string why) -> std::shared_ptr<PipeWireScreenStream> {
    if (error) *error = std::move(why);
    return nullptr;
  };
  if (!inRange(options.size)) return failWith("screen-cast size " + sizeText(options.size) + " is out of range");
  std::shared_ptr<PipeWireScreenStream> self(new PipeWireScreenStream(std::move(options)));
  std::string why;
  std::weak_ptr<PipeWireScreenStream> weak = self;
  self->context_ = PipeWireContext::connect(
      [weak] {
        if (auto stream = weak.lock()) stream->fail("the PipeWire server went away");
      },
      why, self->options_.remote);
  if (!self->context_) return failWith(why);

  self->events_ = std::make_unique<Events>();
  self->events_->owner = self.get();
  self->events_->events.version = PW_VERSION_STREAM_EVENTS;
  self->events_->events.state_changed = ScreenStreamCallbacks::onStateChanged;
  self->events_->events.param_changed = ScreenStreamCallbacks::onParamChanged;
  self->events_->events.process = ScreenStreamCallbacks::onProcess;

  PipeWireLock lock(self->context_->loop());
  pw_properties* properties = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                PW_KEY_MEDIA_ROLE, "Screen", nullptr);
  self->events_->stream = pw_stream_new(self->context_->core(), "tavlo-screen-cast", properties);
  if (!self->events_->stream) return failWith("pw_stream_new failed");
  pw_stream_add_listener(self->events_->stream, &self->events_->hook, &self->events_->events, self->events_.get());
  if (!self->connectStream(self->options_.size, &why)) return failWith(why);
  return self;
}

bool PipeWireScreenStream::connectStream(PixelSize size, std::string* error) {
  uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_pod* params[1] = {formatParam(builder, size, options_.maxFramesPerSecond)};
  events_->streamedSinceConnect = false;
  events_->negotiated = {};
  // Only this node: when it goes, the stream fails instead of being moved to another source.
  const auto flags =
      static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_DONT_RECONNECT);
  const int result = pw_stream_connect(events_->stream, PW_DIRECTION_INPUT, options_.nodeId, flags, params, 1);
  if (result < 0) {
    if (error) *error = "cannot connect to screen-cast node " + std::to_string(options_.nodeId) + ": " + spa_strerror(result);
    return false;
  }
  return true;
}

PipeWireScreenStream::~PipeWireScreenStream() { close(); }

bool PipeWireScreenStream::resize(PixelSize size, std::string* error) {
  if (!inRange(size)) {
    if (error) *error = "screen-cast size " + sizeText(size) + " is out of range";
    return false;
  }
  {
    std::lock_guard lock(mutex_);
    if (status_.state == State::failed || status_.state == State::closed) {
      if (error) *error = status_.state == State::failed ? "the screen-cast stream failed: " + status_.error
                                                         : std::string("the screen-cast stream is closed");
      return false;
    }
    // Already agreed: a new link would only make mutter re-create the monitor.
    if (size == requested_ && size == status_.size) return true;
    requested_ = size;
  }
  std::lock_guard connection(connectionMutex_);
  if (!context_ || !events_ || !events_->stream) {
    if (error) *error = "the screen-cast stream is closed";
    return false;
  }
  // The virtual monitor takes the size its consumer negotiates when the consumer links: a new link,
  // on the same node, is what makes mutter resize it.
  PipeWireLock lock(context_->loop());
  events_->disconnecting = true;
  pw_stream_disconnect(events_->stream);
  events_->disconnecting = false;
  return connectStream(size, error);
}

PixelSize PipeWireScreenStream::requestedSize() const {
  std::lock_guard lock(mutex_);
  return requested_;
}

PixelSize PipeWireScreenStream::negotiatedSize() const {
  std::lock_guard lock(mutex_);
  return status_.size;
}

PipeWireScreenStream::Status PipeWireScreenStream::status() const {
  std::lock_guard lock(mutex_);
  return status_;
}

uint64_t PipeWireScreenStream::subscribe(FrameHandler handler) {
  std::lock_guard lock(mutex_);
  const uint64_t token = nextToken_++;
  subscribers_.emplace(token, std::make_shared<const FrameHandler>(std::move(handler)));
  return token;
}

void PipeWireScreenStream::unsubscribe(uint64_t token) {
  {
    std::lock_guard lock(mutex_);
    subscribers_.erase(token);
  }
  // Deliveries run with the loop locked: once the lock is ours, none of them still runs the handler.
  std::lock_guard connection(connectionMutex_);
  if (context_) PipeWireLock wait(context_->loop());
}

std::shared_ptr<const ScreenFrame> PipeWireScreenStream::latestFrame() const {
  std::lock_guard lock(mutex_);
  return latest_;
}

ScreenCursor PipeWireScreenStream::cursor() const {
  std::lock_guard lock(mutex_);
  return cursor_;
}

void PipeWireScreenStream::close() {
  std::unique_lock connection(connectionMutex_);
  if (context_) {
    PipeWireLock lock(context_->loop());
    if (events_ && events_->stream) {
      events_->disconnecting = true;
      spa_hook_remove(&events_->hook);
      pw_stream_destroy(events_->stream);
      events_->stream = nullptr;
    }
  }
  // Ends the loop thread: no callback runs after this.
  context_.reset();
  connection.unlock();
  updateStatus([](Status& status) { status.state = State::closed; });
}

void PipeWireScreenStream::deliver(std::shared_ptr<const ScreenFrame> picture, const ScreenCursor& cursor) {
  std::vector<std::shared_ptr<const FrameHandler>> handlers;
  {
    std::lock_guard lock(mutex_);
    if (picture) latest_ = picture;
    cursor_ = cursor;
    for (const auto& [token, handler] : subscribers_) handlers.push_back(handler);
  }
  for (const auto& handler : handlers) (*handler)(picture, cursor);
}

void PipeWireScreenStream::fail(const std::string& why) {
  updateStatus([&why](Status& status) {
    status.state = State::failed;
    status.error = why;
  });
}

void PipeWireScreenStream::updateStatus(const std::function<void(Status&)>& change) {
  Status now;
  {
    std::lock_guard lock(mutex_);
    // A failed or closed stream stays so.
    if (status_.state == State::failed || status_.state == State::closed) return;
    Status next = status_;
    change(next);
    if (next.state == status_.state && next.size == status_.size && next.error == status_.error) return;
    status_ = next;
    now = next;
  }
  if (options_.onStatus) options_.onStatus(now);
}

void PipeWireScreenStream::log(const std::string& line) const {
  if (options_.log) {
    options_.log(line);
  } else {
    SystemLog::write(line);
  }
}

}  // namespace tavlo
