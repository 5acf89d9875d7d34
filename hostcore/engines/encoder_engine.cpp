#include "hostcore/engines/encoder_engine.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "hostcore/engines/keyframe_burst_cap.hpp"
#include "platform/runtime/checked_number.hpp"

namespace vela {
namespace {

constexpr uint64_t kMicrosPerSecond = 1'000'000;

// The session's wall-clock timer decides when a keyframe is due; the encoder's own limits stand half a
// second behind it. Set equal, a software encoder's own keyframe came first (its clock is the frames'
// capture times, the timer's the time the last keyframe was sent), and the timer, which learns of that
// keyframe only once it is coded and sent, forced a second one two or three frames later.
constexpr double kEncoderKeyframeSlackSec = 0.5;

double encoderKeyframeSec(double seconds) { return seconds + kEncoderKeyframeSlackSec; }

// max(1, truncate(seconds × fps)): the encoder's keyframe limit in frames.
int64_t keyframeIntervalFrames(double seconds, int64_t fps) {
  return std::max<int64_t>(
      1, tavlo::truncateSaturating<int64_t>(encoderKeyframeSec(seconds) * static_cast<double>(fps)));
}

}  // namespace

std::shared_ptr<EncoderEngine> EncoderEngine::create(std::shared_ptr<tavlo::EncoderBackend> backend, int64_t width,
                                                     int64_t height, int64_t fps, int64_t bitrate,
                                                     double keyframeSec, FrameCallback onFrame,
                                                     const tavlo::Clock& clock,
                                                     std::shared_ptr<const tavlo::JsonStore> settings) {
  std::shared_ptr<EncoderEngine> engine(
      new EncoderEngine(std::move(backend), width, height, fps, keyframeSec, std::move(onFrame), clock,
                        std::move(settings)));
  engine->setUp(bitrate, keyframeSec);
  return engine;
}

EncoderEngine::EncoderEngine(std::shared_ptr<tavlo::EncoderBackend> backend, int64_t width, int64_t height,
                             int64_t fps, double keyframeSec, FrameCallback onFrame, const tavlo::Clock& clock,
                             std::shared_ptr<const tavlo::JsonStore> settings)
    : backend_(std::move(backend)),
      width_(width),
      height_(height),
      fps_(fps),
      clock_(clock),
      settings_(std::move(settings)),
      effFps_(std::max<int64_t>(fps, 1)),
      keyframeSecNow_(keyframeSec),
      onFrame_(std::make_shared<const FrameCallback>(std::move(onFrame))) {}

EncoderEngine::~EncoderEngine() {
  if (session_) session_->invalidate();
}

tavlo::DataRateLimit EncoderEngine::burstCap() const {
  return KeyframeBurstCap::compute(width_, height_, settings_.get());
}

void EncoderEngine::setUp(int64_t bitrate, double keyframeSec) {
  // The platform takes 32-bit sizes; anything else leaves the engine without a session.
  auto width = tavlo::truncateChecked<int32_t>(static_cast<double>(width_));
  auto height = tavlo::truncateChecked<int32_t>(static_cast<double>(height_));
  if (!width || !height || !backend_) return;

  std::shared_ptr<tavlo::CompressionSession> session;
  // A hardware encoder counts only when the session confirms it runs on one.
  tavlo::EncoderSpecification hardware;
  hardware.requireHardwareAcceleratedVideoEncoder = true;
  session = backend_->createSession(*width, *height, hardware);
  if (session && session->usingHardwareAcceleratedVideoEncoder() != std::optional<bool>(true)) {
    session->invalidate();
    session.reset();
  }
  if (!session) {
    tavlo::EncoderSpecification lowLatency;
    lowLatency.enableLowLatencyRateControl = true;
    session = backend_->createSession(*width, *height, lowLatency);
    if (session) lowLatencyRC_ = true;
  }
  if (!session) session = backend_->createSession(*width, *height, tavlo::EncoderSpecification{});
  if (!session) return;

  session->setRealTime(true);
  session->setAllowFrameReordering(false);
  session->setMaxFrameDelayCount(0);
  session->setPrioritizeEncodingSpeedOverQuality(true);
  session->setProfileLevel(tavlo::HevcProfileLevel::mainAutoLevel);
  session->setMaxKeyFrameInterval(keyframeIntervalFrames(keyframeSec, fps_));
  session->setMaxKeyFrameIntervalDuration(encoderKeyframeSec(keyframeSec));
  session->setAverageBitRate(bitrate);
  session->setDataRateLimits(std::vector<tavlo::DataRateLimit>{burstCap()});
  session->setExpectedFrameRate(fps_);
  session->setMaxAllowedFrameQP(kInitialMaxFrameQP);
  session->setMinAllowedFrameQP(kInitialMinFrameQP);
  session->setColorDescription(tavlo::ColorDescription::bt709VideoRange());
  ltrEnabled_ = session->setEnableLTR(true) == tavlo::kEncoderOk;
  session->prepareToEncodeFrames();
  hardwareAccelerated_ = session->usingHardwareAcceleratedVideoEncoder().value_or(false);

  std::lock_guard guard(mutex_);
  session_ = std::move(session);
}

std::shared_ptr<tavlo::CompressionSession> EncoderEngine::currentSession() const {
  std::lock_guard guard(mutex_);
  return session_;
}

bool EncoderEngine::hasCompressionSession() const { return currentSession() != nullptr; }

void EncoderEngine::log(const std::string& line) const {
  LogCallback sink;
  {
    std::lock_guard guard(mutex_);
    sink = onLog_;
  }
  if (sink) sink(line);
}

void EncoderEngine::encode(const PixelBuffer& pixelBuffer, uint64_t captureTimestampUs, bool forceKeyframe,
                           bool forceLTRRefresh, const std::vector<int64_t>& acknowledgedLTRTokens) {
  auto session = currentSession();
  if (!session || !pixelBuffer) return;

  tavlo::EncoderInputFrame frame;
  frame.image = pixelBuffer;
  frame.color = pixelBuffer->color.value_or(tavlo::ColorDescription::bt709VideoRange());

  Submission submission;
  {
    std::lock_guard guard(mutex_);
    submission.frameId = frameId_++;
    const int64_t step = static_cast<int64_t>(kMicrosPerSecond) / effFps_;
    frame.presentationTimeUs = mediaTimeUs_;
    frame.durationUs = step;
    mediaTimeUs_ += step;
  }

  tavlo::EncodeFrameOptions options;
  options.forceKeyFrame = forceKeyframe;
  if (ltrEnabled_) {
    options.forceLTRRefresh = forceLTRRefresh;
    options.acknowledgedLTRTokens = acknowledgedLTRTokens;
  }
  if (options != tavlo::EncodeFrameOptions{}) frame.options = std::move(options);

  submission.captureTimestampUs = captureTimestampUs;
  submission.submittedUs = clock_.nowUs();
  submission.signpost = Signposts::video().begin("encode");
  submission.isLTRRefresh = forceLTRRefresh && ltrEnabled_;
  {
    std::lock_guard guard(mutex_);
    ++inFlight_;
  }

  std::weak_ptr<EncoderEngine> weak = weak_from_this();
  auto handler = [weak, submission](tavlo::EncoderStatus status, std::optional<tavlo::EncodedSample> sample) {
    Signposts::video().end("encode", submission.signpost);
    if (auto self = weak.lock()) self->handleOutput(submission, status, std::move(sample));
  };
  if (session->encodeFrame(std::move(frame), std::move(handler)) != tavlo::kEncoderOk) {
    std::lock_guard guard(mutex_);
    inFlight_ = std::max<int64_t>(inFlight_ - 1, 0);
  }
}

void EncoderEngine::handleOutput(const Submission& submission, tavlo::EncoderStatus status,
                                 std::optional<tavlo::EncodedSample> sample) {
  const uint64_t nowUs = clock_.nowUs();
  {
    std::lock_guard guard(mutex_);
    inFlight_ = std::max<int64_t>(inFlight_ - 1, 0);
    if (busyAfterLastDone_ && lastDoneUs_ != 0) satIntervalsUs_.push_back(nowUs - lastDoneUs_);
    busyAfterLastDone_ = inFlight_ >= 1;
    lastDoneUs_ = nowUs;
    ++framesDoneWindow_;
  }
  if (status != tavlo::kEncoderOk || !sample) return;

  const uint64_t durationUs = clock_.nowUs() - submission.submittedUs;
  std::optional<std::pair<uint64_t, uint64_t>> summary;
  LogCallback sink;
  EncodeStatsCallback onStats;
  {
    std::lock_guard guard(mutex_);
    encSumUs_ += durationUs;
    encMaxUs_ = std::max(encMaxUs_, durationUs);
    ++encCount_;
    if (encCount_ % kStatsWindowFrames == 0) {
      summary.emplace(encSumUs_ / static_cast<uint64_t>(encCount_), encMaxUs_);
      encSumUs_ = 0;
      encMaxUs_ = 0;
      encCount_ = 0;
      sink = onLog_;
      onStats = onEncodeStats_;
    }
  }
  if (summary) {
    if (sink) {
      sink("🎬 enkod: avg " + std::to_string(summary->first / 1000) + " ms, max " +
           std::to_string(summary->second / 1000) + " ms");
    }
    if (onStats) onStats(summary->first, summary->second);
  }
  handleSample(submission, std::move(*sample));
}

void EncoderEngine::handleSample(const Submission& submission, tavlo::EncodedSample sample) {
  EncodedFrame frame;
  frame.frameId = submission.frameId;
  frame.captureTimestampUs = submission.captureTimestampUs;
  frame.isLTRRefresh = submission.isLTRRefresh;
  frame.isKeyframe = !sample.notSync.value_or(false);
  if (ltrEnabled_ && sample.requireLTRAcknowledgementToken) {
    frame.isLTR = true;
    frame.ltrToken = *sample.requireLTRAcknowledgementToken;
  }
  if (!sample.data) return;
  frame.avcc = std::move(*sample.data);

  bool wantSets;
  {
    std::lock_guard guard(mutex_);
    wantSets = frame.isKeyframe || !sentParameterSets_;
  }
  if (wantSets && sample.formatParameterSets) {
    frame.parameterSets = HEVCParameterSets::extract(*sample.formatParameterSets);
    if (frame.parameterSets) {
      frame.parameterSets->nalUnitHeaderLength = sample.nalUnitLengthSize;
      std::lock_guard guard(mutex_);
      sentParameterSets_ = true;
    }
  }

  std::shared_ptr<const FrameCallback> onFrame;
  {
    std::lock_guard guard(mutex_);
    onFrame = onFrame_;
  }
  if (onFrame && *onFrame) (*onFrame)(frame);
}

int64_t EncoderEngine::framesInFlight() const {
  std::lock_guard guard(mutex_);
  return inFlight_;
}

EncoderEngine::ThroughputWindow EncoderEngine::drainThroughputWindow() {
  std::lock_guard guard(mutex_);
  ThroughputWindow window;
  window.framesDone = std::exchange(framesDoneWindow_, 0);
  window.saturatedIntervalsUs = std::exchange(satIntervalsUs_, {});
  return window;
}

void EncoderEngine::setBitrate(int64_t bps) {
  auto session = currentSession();
  if (!session) return;
  session->setAverageBitRate(bps);
  session->setDataRateLimits(std::vector<tavlo::DataRateLimit>{burstCap()});
}

void EncoderEngine::setKeyframeInterval(double seconds) {
  if (std::isnan(seconds)) return;
  const double clamped = std::clamp(seconds, kMinKeyframeSec, kMaxKeyframeSec);
  std::lock_guard guard(mutex_);
  if (!session_) return;
  keyframeSecNow_ = clamped;
  // Under the lock, so that a concurrent change of the frame rate cannot pair its frame count with a
  // stale interval.
  session_->setMaxKeyFrameInterval(keyframeIntervalFrames(clamped, effFps_));
  session_->setMaxKeyFrameIntervalDuration(encoderKeyframeSec(clamped));
}

void EncoderEngine::setEffectiveFps(int64_t fps) {
  const int64_t clamped = std::clamp(fps, kMinEffFps, kMaxEffFps);
  std::lock_guard guard(mutex_);
  if (clamped == effFps_) return;
  effFps_ = clamped;
  if (!session_) return;
  session_->setMaxKeyFrameInterval(keyframeIntervalFrames(keyframeSecNow_, clamped));
  session_->setExpectedFrameRate(clamped);
}

void EncoderEngine::setMaxFrameQP(int64_t qp) {
  auto session = currentSession();
  if (!session) return;
  const int64_t clamped = std::clamp(qp, kMaxQPLow, kQPHigh);
  {
    std::lock_guard guard(mutex_);
    appliedMaxQP_ = clamped;
  }
  session->setMaxAllowedFrameQP(clamped);
}

int64_t EncoderEngine::currentMaxQP() const {
  std::lock_guard guard(mutex_);
  return appliedMaxQP_;
}

void EncoderEngine::setMinFrameQP(int64_t qp) {
  auto session = currentSession();
  if (!session) return;
  session->setMinAllowedFrameQP(std::clamp(qp, kMinQPLow, kQPHigh));
}

void EncoderEngine::setDataRateLimits(const std::vector<tavlo::DataRateLimit>& limits) {
  auto session = currentSession();
  if (!session) return;
  std::vector<tavlo::DataRateLimit> applied;
  applied.reserve(limits.size());
  for (const auto& limit : limits) applied.push_back({std::max<int64_t>(limit.bytes, 1), limit.seconds});
  const tavlo::EncoderStatus status = session->setDataRateLimits(applied);
  if (status != tavlo::kEncoderOk) {
    log("⚠️ DataRateLimits odrzucone (st=" + std::to_string(status) + ") — QP-sufit przejmuje rolę");
  }
}

void EncoderEngine::clearDataRateLimits() {
  auto session = currentSession();
  if (!session) return;
  session->setDataRateLimits(std::nullopt);
}

void EncoderEngine::setOnFrame(FrameCallback onFrame) {
  auto replacement = std::make_shared<const FrameCallback>(std::move(onFrame));
  std::lock_guard guard(mutex_);
  onFrame_ = std::move(replacement);
}

void EncoderEngine::setOnLog(LogCallback onLog) {
  std::lock_guard guard(mutex_);
  onLog_ = std::move(onLog);
}

void EncoderEngine::setOnEncodeStats(EncodeStatsCallback onEncodeStats) {
  std::lock_guard guard(mutex_);
  onEncodeStats_ = std::move(onEncodeStats);
}

void EncoderEngine::invalidate() {
  std::shared_ptr<tavlo::CompressionSession> session;
  {
    std::lock_guard guard(mutex_);
    session = std::move(session_);
    session_.reset();
    inFlight_ = 0;
    lastDoneUs_ = 0;
    busyAfterLastDone_ = false;
  }
  if (session) session->invalidate();
}

int64_t EncoderEngine::effFps() const {
  std::lock_guard guard(mutex_);
  return effFps_;
}

double EncoderEngine::keyframeSecNow() const {
  std::lock_guard guard(mutex_);
  return keyframeSecNow_;
}

}  // namespace vela
