#pragma once
// Recycled NV12 buffers of one size: what a capture stream fills (its queue depth bounds how many are
// out at once) and what the session scales frames into. A buffer goes back to its pool when its last
// reference is dropped, on whatever thread that happens; once the pool itself is gone its buffers are
// simply freed.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/video/nv12_buffer.hpp"

namespace tavlo {

class Nv12BufferPool : public std::enable_shared_from_this<Nv12BufferPool> {
 public:
  static constexpr size_t kUnbounded = 0;

  // nullptr for a side outside 1…Nv12Buffer::kMaxSide. `maxBuffers` bounds the buffers out of the pool
  // at once (kUnbounded: none, the pool grows as needed).
  static std::shared_ptr<Nv12BufferPool> create(int32_t width, int32_t height, size_t maxBuffers = kUnbounded);

  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  size_t maxBuffers() const { return maxBuffers_; }

  // A buffer of the pool's size, recycled when one is free (its old contents left in place: the caller
  // overwrites every row) or newly made. nullptr when `maxBuffers` are out already. Thread-safe.
  std::shared_ptr<Nv12Buffer> acquire();

  // Buffers currently handed out, and buffers allocated over the pool's life (tests and benchmarks
  // check that a steady stream allocates nothing new).
  size_t outstanding() const;
  size_t allocations() const;

 private:
  Nv12BufferPool(int32_t width, int32_t height, size_t maxBuffers)
      : width_(width), height_(height), maxBuffers_(maxBuffers) {}
  void giveBack(Nv12Buffer* buffer);

  const int32_t width_;
  const int32_t height_;
  const size_t maxBuffers_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Nv12Buffer>> free_;
  size_t outstanding_ = 0;
  size_t allocations_ = 0;
};

}  // namespace tavlo
