#include "hostcore/engines/capture_engine.hpp"

#include <utility>

#include "platform/runtime/checked_number.hpp"
#include "platform/runtime/system_log.hpp"

namespace vela {
namespace {

const char* boolText(bool value) { return value ? "true" : "false"; }

std::string formatLine(const tavlo::AudioStreamDescription& format) {
  return "🔊 format audio: " + std::to_string(tavlo::truncateSaturating<int64_t>(format.sampleRate)) +
         "Hz ch=" + std::to_string(format.channelsPerFrame) + " bits=" + std::to_string(format.bitsPerChannel) +
         " float=" + boolText(format.isFloat()) + " planar=" + boolText(format.isPlanar()) +
         " bpf=" + std::to_string(format.bytesPerFrame) + " flags=" + std::to_string(format.formatFlags);
}

}  // namespace

std::shared_ptr<CaptureEngine> CaptureEngine::create(std::shared_ptr<tavlo::CaptureBackend> backend,
                                                     FrameCallback onFrame, const tavlo::Clock& clock) {
  return std::shared_ptr<CaptureEngine>(new CaptureEngine(std::move(backend), std::move(onFrame), clock));
}

CaptureEngine::CaptureEngine(std::shared_ptr<tavlo::CaptureBackend> backend, FrameCallback onFrame,
                             const tavlo::Clock& clock)
    : backend_(std::move(backend)),
      clock_(clock),
      queue_(std::make_shared<tavlo::SerialExecutor>(kQueueLabel)),
      audioQueue_(std::make_shared<tavlo::SerialExecutor>(kAudioQueueLabel)),
      onFrame_(std::make_shared<const FrameCallback>(std::move(onFrame))) {}

CaptureEngine::~CaptureEngine() {
  // The stream first, so that nothing is posted to the queues while they wind down; samples already
  // queued find the engine gone and are dropped.
  std::shared_ptr<tavlo::CaptureStream> stream;
  {
    std::lock_guard guard(stateMutex_);
    stream = std::move(stream_);
  }
  stream.reset();
  queue_->shutdown();
  audioQueue_->shutdown();
}

void CaptureEngine::prewarm(tavlo::CaptureBackend& backend) { backend.prewarm(); }

void CaptureEngine::setOnFrame(FrameCallback onFrame) {
  auto replacement = std::make_shared<const FrameCallback>(std::move(onFrame));
  std::lock_guard guard(callbackMutex_);
  onFrame_ = std::move(replacement);
}

void CaptureEngine::setOnAudio(AudioCallback onAudio) {
  auto replacement = onAudio ? std::make_shared<const AudioCallback>(std::move(onAudio)) : nullptr;
  std::lock_guard guard(callbackMutex_);
  onAudio_ = std::move(replacement);
}

void CaptureEngine::setOnLog(LogCallback onLog) {
  std::lock_guard guard(callbackMutex_);
  onLog_ = std::move(onLog);
}

CaptureEngine::LogCallback CaptureEngine::logCallback() const {
  std::lock_guard guard(callbackMutex_);
  return onLog_;
}

void CaptureEngine::log(const std::string& line) const {
  if (auto sink = logCallback()) sink(line);
}

tavlo::CaptureConfiguration CaptureEngine::makeConfiguration(int64_t width, int64_t height, bool showsCursor,
                                                             bool captureAudio) {
  tavlo::CaptureConfiguration configuration;
  configuration.width = width;
  configuration.height = height;
  configuration.pixelFormat = tavlo::Nv12Buffer::kPixelFormat;
  configuration.minimumFrameIntervalUs = 0;
  configuration.queueDepth = tavlo::CaptureConfiguration::kDefaultQueueDepth;
  configuration.showsCursor = showsCursor;
  configuration.colorSpaceName = tavlo::CaptureColorSpace::sRGB;
  if (captureAudio) {
    configuration.audio = tavlo::CaptureAudioSettings{kAudioSampleRate, kAudioChannelCount, true};
  }
  return configuration;
}

void CaptureEngine::start(uint32_t displayID, int64_t pixelWidth, int64_t pixelHeight, int64_t fps,
                          bool captureAudio, bool showsCursor) {
  std::lock_guard turn(operationMutex_);
  startTurn(StartArguments{displayID, pixelWidth, pixelHeight, fps, captureAudio, showsCursor});
}

void CaptureEngine::startTurn(const StartArguments& arguments) {
  {
    std::lock_guard guard(stateMutex_);
    lastStart_ = arguments;
    current_ = CurrentConfiguration{arguments.w, arguments.h, arguments.fps, arguments.audio, arguments.cursor};
  }

  std::optional<tavlo::CaptureDisplay> display;
  for (const auto& offered : backend_->shareableDisplays()) {
    if (offered.displayID == arguments.id) {
      display = offered;
      break;
    }
  }
  if (!display) throw CaptureError::displayNotFound();

  auto configuration = makeConfiguration(arguments.w, arguments.h, arguments.cursor, arguments.audio);
  // A stream the platform stops on its own is left as it is: the owner's restart replaces it.
  std::shared_ptr<tavlo::CaptureStream> stream =
      backend_->makeStream(*display, configuration, [](const std::string&) {});

  std::weak_ptr<CaptureEngine> weak = weak_from_this();
  stream->addScreenOutput(
      [weak](tavlo::ScreenSample sample) {
        if (auto self = weak.lock()) self->handleScreen(std::move(sample));
      },
      queue_);
  if (arguments.audio) {
    try {
      stream->addAudioOutput(
          [weak](tavlo::AudioSampleBuffer sample) {
            if (auto self = weak.lock()) self->handleAudio(std::move(sample));
          },
          audioQueue_);
      log("✅ audio output SCK dodany");
    } catch (const tavlo::CaptureStreamError& error) {
      log("❌ audio output SCK: " + error.description());
      tavlo::SystemLog::write("Tavlo: audio output niedostępny: " + error.description());
    }
  }
  stream->startCapture();

  // A stream stored before is replaced (and, being dropped, stops); it goes outside the lock.
  std::shared_ptr<tavlo::CaptureStream> previous;
  {
    std::lock_guard guard(stateMutex_);
    previous = std::exchange(stream_, std::move(stream));
  }
}

void CaptureEngine::updateFrameInterval(int64_t fps, int64_t width, int64_t height, bool captureAudio) {
  std::lock_guard turn(operationMutex_);
  updateTurn(fps, width, height, captureAudio);
}

void CaptureEngine::updateSize(int64_t width, int64_t height, int64_t fps) {
  std::lock_guard turn(operationMutex_);
  updateTurn(fps, width, height, true);
}

void CaptureEngine::updateTurn(int64_t fps, int64_t width, int64_t height, bool captureAudio) {
  std::shared_ptr<tavlo::CaptureStream> stream;
  bool showsCursor = false;
  {
    std::lock_guard guard(stateMutex_);
    if (!stream_) return;
    stream = stream_;
    current_.w = width;
    current_.h = height;
    current_.fps = fps;
    current_.audio = captureAudio;
    showsCursor = current_.showsCursor;
  }
  try {
    stream->updateConfiguration(makeConfiguration(width, height, showsCursor, captureAudio));
  } catch (const tavlo::CaptureStreamError&) {
    // The stream keeps its previous configuration; the remembered one is the wanted one.
  }
}

void CaptureEngine::setShowsCursor(bool showsCursor) {
  std::lock_guard turn(operationMutex_);
  CurrentConfiguration current;
  bool running = false;
  {
    std::lock_guard guard(stateMutex_);
    current_.showsCursor = showsCursor;
    if (lastStart_) lastStart_->cursor = showsCursor;
    current = current_;
    running = stream_ != nullptr;
  }
  if (running && current.w >= 1 && current.h >= 1) updateTurn(current.fps, current.w, current.h, current.audio);
}

void CaptureEngine::stop() {
  std::lock_guard turn(operationMutex_);
  stopTurn();
}

void CaptureEngine::stopTurn() {
  std::shared_ptr<tavlo::CaptureStream> stream;
  {
    std::lock_guard guard(stateMutex_);
    stream = stream_;
  }
  if (!stream) return;
  try {
    stream->stopCapture();
  } catch (const tavlo::CaptureStreamError&) {
    // Stopped all the same.
  }
  {
    std::lock_guard guard(stateMutex_);
    if (stream_ == stream) stream_.reset();
  }
}

void CaptureEngine::restart(std::optional<uint32_t> displayID) {
  std::lock_guard turn(operationMutex_);
  StartArguments arguments;
  {
    std::lock_guard guard(stateMutex_);
    if (!lastStart_) return;
    if (displayID) lastStart_->id = *displayID;
    arguments = *lastStart_;
  }
  stopTurn();
  try {
    startTurn(arguments);
  } catch (const CaptureError& error) {
    log(std::string("❌ restart SCK: ") + error.what());
  } catch (const tavlo::CaptureStreamError& error) {
    log("❌ restart SCK: " + error.description());
  }
}

std::optional<CaptureEngine::StartArguments> CaptureEngine::lastStart() const {
  std::lock_guard guard(stateMutex_);
  return lastStart_;
}

CaptureEngine::CurrentConfiguration CaptureEngine::currentConfiguration() const {
  std::lock_guard guard(stateMutex_);
  return current_;
}

bool CaptureEngine::isRunning() const {
  std::lock_guard guard(stateMutex_);
  return stream_ != nullptr;
}

int64_t CaptureEngine::audioBuffersSeen() const {
  std::lock_guard guard(stateMutex_);
  return audioSbSeen_;
}

void CaptureEngine::handleScreen(tavlo::ScreenSample sample) {
  // Only complete frames carry a new picture: idle, blank, suspended, started and stopped samples, and
  // samples without a status or an image, are dropped.
  if (sample.status != tavlo::CaptureFrameStatus::complete || !sample.image) return;
  std::shared_ptr<const FrameCallback> onFrame;
  {
    std::lock_guard guard(callbackMutex_);
    onFrame = onFrame_;
  }
  const uint64_t nowUs = clock_.nowUs();
  if (onFrame && *onFrame) (*onFrame)(sample.image, nowUs);
}

void CaptureEngine::handleAudio(tavlo::AudioSampleBuffer sample) {
  int64_t seen;
  {
    std::lock_guard guard(stateMutex_);
    seen = ++audioSbSeen_;
  }
  const LogCallback sink = logCallback();
  if (seen == 1 && sample.format && sink) sink(formatLine(*sample.format));

  auto result = converter_.convertAudioToInt16(sample);
  if (result.logLine && sink) sink(*result.logLine);
  if (result.block) {
    std::shared_ptr<const AudioCallback> onAudio;
    {
      std::lock_guard guard(callbackMutex_);
      onAudio = onAudio_;
    }
    if (onAudio) (*onAudio)(*result.block);
  } else if (seen % kAudioNilLogEvery == 1 && sink) {
    sink("🔊 audio buffer #" + std::to_string(seen) + ": konwersja nil");
  }
}

}  // namespace vela
