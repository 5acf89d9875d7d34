#include "hostcore/session/frame_downscaler.hpp"

namespace vela {

int64_t FrameDownscaler::softSide(int64_t side, int64_t permille) {
  int64_t scaled = side * permille;
  return scaled < 2000 ? 2 : (scaled / 1000) & ~int64_t{1};
}

bool FrameDownscaler::ensureScaler() {
  if (!scaler_) scaler_ = tavlo::Nv12Scaler::create();
  return scaler_ != nullptr;
}

tavlo::Nv12BufferPool* FrameDownscaler::poolFor(std::shared_ptr<tavlo::Nv12BufferPool>& slot, int64_t w, int64_t h) {
  if (w < 1 || h < 1 || w > tavlo::Nv12Buffer::kMaxSide || h > tavlo::Nv12Buffer::kMaxSide) return nullptr;
  if (!slot || slot->width() != w || slot->height() != h)
    slot = tavlo::Nv12BufferPool::create(static_cast<int32_t>(w), static_cast<int32_t>(h));
  return slot.get();
}

std::shared_ptr<tavlo::Nv12Buffer> FrameDownscaler::scaledInto(tavlo::Nv12BufferPool& pool,
                                                               const tavlo::Nv12Buffer& source) {
  auto buffer = pool.acquire();
  if (!buffer || !scaler_->transfer(source, *buffer)) return nullptr;
  return buffer;
}

FrameDownscaler::Frame FrameDownscaler::hqDownscaled(const Frame& frame, int64_t codedW, int64_t codedH) {
  if (!frame || codedW < 1 || (frame->width() == codedW && frame->height() == codedH)) return frame;
  if (!ensureScaler()) return frame;
  auto* pool = poolFor(scalePool_, codedW, codedH);
  if (!pool) return frame;
  auto scaled = scaledInto(*pool, *frame);
  return scaled ? Frame(std::move(scaled)) : frame;
}

FrameDownscaler::Frame FrameDownscaler::softFiltered(const Frame& frame, int64_t permille, bool enabled) {
  if (!frame || !enabled || permille >= softOffPermille) return frame;
  if (!ensureScaler()) return frame;
  const int64_t w = frame->width(), h = frame->height();
  auto* half = poolFor(softHalfPool_, softSide(w, permille), softSide(h, permille));
  auto* up = poolFor(softUpPool_, w, h);
  if (!half || !up) return frame;
  auto reduced = scaledInto(*half, *frame);
  if (!reduced) return frame;
  auto restored = scaledInto(*up, *reduced);
  return restored ? Frame(std::move(restored)) : frame;
}

}  // namespace vela
