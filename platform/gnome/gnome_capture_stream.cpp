#include "platform/gnome/gnome_capture_stream.hpp"

#include <cstring>

#include "platform/capture/cursor_overlay.hpp"

namespace tavlo {
namespace {

constexpr const char* kThreadLabel = "tavlo.gnomegrab";

bool ended(const PipeWireScreenStream::Status& status) {
  return status.state == PipeWireScreenStream::State::failed || status.state == PipeWireScreenStream::State::closed;
}

std::string whyEnded(const PipeWireScreenStream::Status& status) {
  return status.state == PipeWireScreenStream::State::failed ? "the virtual monitor's stream failed: " + status.error
                                                             : std::string("the virtual monitor's stream was closed");
}

bool samePointer(const ScreenCursor& a, const ScreenCursor& b) {
  return a.visible == b.visible && a.x == b.x && a.y == b.y && a.hotspotX == b.hotspotX && a.hotspotY == b.hotspotY &&
         a.serial == b.serial;
}

}  // namespace

std::unique_ptr<GnomeCaptureStream> GnomeCaptureStream::create(std::shared_ptr<PipeWireScreenStream> source,
                                                               const CaptureConfiguration& configuration,
                                                               std::shared_ptr<SystemAudioFanOut> audio,
                                                               CaptureBackend::StopHandler onStop,
                                                               int converterThreads) {
  validateCaptureConfiguration(configuration);
  if (!source) throw CaptureStreamError("the virtual monitor has no screen-cast stream");
  return std::unique_ptr<GnomeCaptureStream>(new GnomeCaptureStream(std::move(source), configuration, std::move(audio),
                                                                    std::move(onStop), converterThreads));
}

GnomeCaptureStream::GnomeCaptureStream(std::shared_ptr<PipeWireScreenStream> source,
                                       const CaptureConfiguration& configuration,
                                       std::shared_ptr<SystemAudioFanOut> audio, CaptureBackend::StopHandler onStop,
                                       int converterThreads)
    : ThreadedCaptureStream(kThreadLabel, configuration, std::move(audio), std::move(onStop)),
      source_(std::move(source)),
      converterThreads_(converterThreads) {}

GnomeCaptureStream::~GnomeCaptureStream() { stopCapture(); }

void GnomeCaptureStream::startCapture() {
  const PipeWireScreenStream::Status status = source_->status();
  if (ended(status)) throw CaptureStreamError(whyEnded(status));
  ThreadedCaptureStream::startCapture();
}

void GnomeCaptureStream::openSource() {
  // The handler may run until unsubscribe returns, which stopCapture waits for before the stream goes.
  const uint64_t token = source_->subscribe(
      [this](std::shared_ptr<const ScreenFrame> picture, const ScreenCursor& cursor) { receive(std::move(picture), cursor); });
  std::lock_guard lock(mutex_);
  subscription_ = token;
  // What the monitor shows now is the first frame's picture (mutter sends the next only on a change).
  picture_ = source_->latestFrame();
  cursor_ = source_->cursor();
  pictureNews_ = picture_ != nullptr;
}

void GnomeCaptureStream::closeSource() {
  std::optional<uint64_t> subscription;
  {
    std::lock_guard lock(mutex_);
    subscription = subscription_;
    subscription_.reset();
  }
  if (subscription) source_->unsubscribe(*subscription);
  // The capture thread looks at the picture no more once a stop is asked, and the source sends no more.
  std::lock_guard lock(mutex_);
  picture_.reset();
}

void GnomeCaptureStream::receive(std::shared_ptr<const ScreenFrame> picture, const ScreenCursor& cursor) {
  {
    std::lock_guard lock(mutex_);
    if (picture) {
      picture_ = std::move(picture);
      pictureNews_ = true;
    }
    if (!samePointer(cursor, cursor_)) cursorNews_ = true;
    cursor_ = cursor;
  }
  changed_.notify_all();
}

GnomeCaptureStream::Step GnomeCaptureStream::waitForStep(Pacing& pacing, FrameWork& work,
                                                         std::optional<CaptureConfiguration>& configuration) {
  std::unique_lock lock(mutex_);
  while (true) {
    if (stopAskedLocked()) return Step::stop;
    configuration = takeConfigurationLocked();
    if (configuration) return Step::configure;
    const SteadyTime now = std::chrono::steady_clock::now();
    const bool news = pictureNews_ || (cursorNews_ && pacing.showsCursor) || pacing.forceFrame;
    if (news && now < pacing.nextFrame) {
      changed_.wait_until(lock, pacing.nextFrame);
      continue;
    }
    if (news && picture_) {
      work.target = pool_->acquire();
      if (!work.target) {
        // The consumer holds every buffer: the picture stays news until one comes back.
        pacing.nextFrame = now + std::max(pacing.minimumInterval, std::chrono::microseconds(kDefaultFrameIntervalUs));
        continue;
      }
      work.picture = picture_;
      work.cursor = cursor_;
      pictureNews_ = cursorNews_ = pacing.forceFrame = false;
      return Step::frame;
    }
    // A pointer moving before the first picture has nothing to be drawn on.
    pacing.forceFrame = cursorNews_ = false;
    if (!pacing.idleReported) {
      if (now >= pacing.idleAt) return Step::idle;
      changed_.wait_until(lock, pacing.idleAt);
      continue;
    }
    if (changed_.wait_for(lock, kSourceCheckInterval) == std::cv_status::timeout) return Step::checkSource;
  }
}

void GnomeCaptureStream::configure(const CaptureConfiguration& configuration, Pacing& pacing) {
  const auto width = static_cast<int32_t>(configuration.width);
  const auto height = static_cast<int32_t>(configuration.height);
  if (!pool_ || pool_->width() != width || pool_->height() != height ||
      pool_->maxBuffers() != static_cast<size_t>(configuration.queueDepth)) {
    pool_ = Nv12BufferPool::create(width, height, static_cast<size_t>(configuration.queueDepth));
  }
  pacing.minimumInterval = std::chrono::microseconds(configuration.minimumFrameIntervalUs);
  pacing.idleDelay = std::chrono::microseconds(
      std::max<uint64_t>(configuration.minimumFrameIntervalUs, kDefaultFrameIntervalUs));
  pacing.showsCursor = configuration.showsCursor;
  // A new configuration is delivered at once, with the picture the monitor shows.
  pacing.forceFrame = true;
  pacing.nextFrame = std::chrono::steady_clock::now();
}

bool GnomeCaptureStream::render(FrameWork& work, bool showsCursor) {
  const ScreenFrame& picture = *work.picture;
  BgrxView source{picture.pixels.data(), picture.bytesPerRow, picture.width, picture.height};
  const ScreenCursor& cursor = work.cursor;
  // The stream sends the pointer beside the pictures; drawn in only when the configuration shows it.
  if (showsCursor && cursor.visible && cursor.image && cursor.image->width > 0) {
    withCursor_.assign(picture.pixels.begin(), picture.pixels.end());
    blendCursor(*cursor.image, cursor.x - cursor.hotspotX, cursor.y - cursor.hotspotY, withCursor_.data(),
                picture.bytesPerRow, picture.width, picture.height);
    source.pixels = withCursor_.data();
  }
  Nv12Buffer& target = *work.target;
  if (!converter_ || converter_->sourceWidth() != picture.width || converter_->sourceHeight() != picture.height ||
      converter_->targetWidth() != target.width() || converter_->targetHeight() != target.height()) {
    converter_ = Nv12Converter::create(picture.width, picture.height, target.width(), target.height(), converterThreads_);
  }
  if (!converter_ || !converter_->convert(source, nv12ViewOf(target))) return false;
  target.color = ColorDescription::bt709VideoRange();
  return true;
}

void GnomeCaptureStream::run() {
  Pacing pacing;
  pacing.idleAt = std::chrono::steady_clock::now() + pacing.idleDelay;
  while (true) {
    FrameWork work;
    std::optional<CaptureConfiguration> configuration;
    const Step step = waitForStep(pacing, work, configuration);
    if (step == Step::stop) break;
    const SteadyTime now = std::chrono::steady_clock::now();
    if (step == Step::configure) {
      configure(*configuration, pacing);
      configurationApplied();
      continue;
    }
    if (step == Step::frame) {
      const bool delivered = render(work, pacing.showsCursor);
      if (delivered) post({CaptureFrameStatus::complete, std::move(work.target)});
      pacing.nextFrame = now + pacing.minimumInterval;
      pacing.idleAt = now + pacing.idleDelay;
      pacing.idleReported = false;
      continue;
    }
    if (step == Step::idle) {
      post({CaptureFrameStatus::idle, nullptr});
      pacing.idleReported = true;
    }
    const PipeWireScreenStream::Status status = source_->status();
    if (ended(status)) {
      reportStop(whyEnded(status));
      break;
    }
  }
}

}  // namespace tavlo
