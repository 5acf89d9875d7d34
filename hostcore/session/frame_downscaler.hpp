#pragma once
// What the encode queue does to a captured frame before the encoder sees it: the high-quality
// downscale of a frame captured at the display's full backing to the coded size (averaging, so text
// stays legible), and the soft filter that trades detail for bits under loss relief (down to a share
// of the size and back up). Each returns a pooled frame, or the frame it was given when there is
// nothing to do or the scaling fails.
//
// Only the encode queue uses it (no lock): the scaler, its conversions (one per size pair) and the pools
// (one per size, replaced, not accumulated, when the size changes) live as long as the session.
#include <cstdint>
#include <memory>

#include "platform/video/nv12_buffer.hpp"
#include "platform/video/nv12_buffer_pool.hpp"
#include "platform/video/nv12_scaler.hpp"

namespace vela {

class FrameDownscaler {
 public:
  using Frame = std::shared_ptr<const tavlo::Nv12Buffer>;

  static constexpr int64_t softOffPermille = 1000;

  // To `codedW` × `codedH` when the frame has another size and a coded size is known (at least 1).
  Frame hqDownscaled(const Frame& frame, int64_t codedW, int64_t codedH);
  // Down to `permille`/1000 of each side (even, at least 2) and back up, when `enabled` and `permille`
  // is below softOffPermille.
  Frame softFiltered(const Frame& frame, int64_t permille, bool enabled);

  // The pools in use (tests and benchmarks check that resizes replace them).
  const std::shared_ptr<tavlo::Nv12BufferPool>& scalePool() const { return scalePool_; }
  const std::shared_ptr<tavlo::Nv12BufferPool>& softHalfPool() const { return softHalfPool_; }
  const std::shared_ptr<tavlo::Nv12BufferPool>& softUpPool() const { return softUpPool_; }
  const tavlo::Nv12Scaler* scaler() const { return scaler_.get(); }

  // The soft filter's reduced side for a side and a permille.
  static int64_t softSide(int64_t side, int64_t permille);

 private:
  bool ensureScaler();
  // The pool in `slot`, (re)made for the size when absent or of another size; null when it cannot be.
  static tavlo::Nv12BufferPool* poolFor(std::shared_ptr<tavlo::Nv12BufferPool>& slot, int64_t w, int64_t h);
  // A pooled copy of `source` at the pool's size; null on failure.
  std::shared_ptr<tavlo::Nv12Buffer> scaledInto(tavlo::Nv12BufferPool& pool, const tavlo::Nv12Buffer& source);

  std::unique_ptr<tavlo::Nv12Scaler> scaler_;
  std::shared_ptr<tavlo::Nv12BufferPool> scalePool_;
  std::shared_ptr<tavlo::Nv12BufferPool> softHalfPool_;
  std::shared_ptr<tavlo::Nv12BufferPool> softUpPool_;
};

}  // namespace vela
