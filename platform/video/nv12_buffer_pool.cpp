#include "platform/video/nv12_buffer_pool.hpp"

namespace tavlo {

std::shared_ptr<Nv12BufferPool> Nv12BufferPool::create(int32_t width, int32_t height, size_t maxBuffers) {
  if (!Nv12Buffer::layoutFor(width, height)) return nullptr;
  return std::shared_ptr<Nv12BufferPool>(new Nv12BufferPool(width, height, maxBuffers));
}

std::shared_ptr<Nv12Buffer> Nv12BufferPool::acquire() {
  std::unique_ptr<Nv12Buffer> buffer;
  {
    std::lock_guard guard(mutex_);
    if (maxBuffers_ != kUnbounded && outstanding_ >= maxBuffers_) return nullptr;
    ++outstanding_;
    if (!free_.empty()) {
      buffer = std::move(free_.back());
      free_.pop_back();
    } else {
      ++allocations_;
    }
  }
  if (!buffer) {
    try {
      buffer.reset(new Nv12Buffer(width_, height_, *Nv12Buffer::layoutFor(width_, height_)));
    } catch (...) {
      std::lock_guard guard(mutex_);
      --outstanding_;
      throw;
    }
  }
  buffer->color.reset();
  std::weak_ptr<Nv12BufferPool> pool = weak_from_this();
  return std::shared_ptr<Nv12Buffer>(buffer.release(), [pool](Nv12Buffer* released) {
    if (auto owner = pool.lock()) {
      owner->giveBack(released);
    } else {
      delete released;
    }
  });
}

void Nv12BufferPool::giveBack(Nv12Buffer* buffer) {
  std::unique_ptr<Nv12Buffer> owned(buffer);
  std::lock_guard guard(mutex_);
  --outstanding_;
  free_.push_back(std::move(owned));
}

size_t Nv12BufferPool::outstanding() const {
  std::lock_guard guard(mutex_);
  return outstanding_;
}

size_t Nv12BufferPool::allocations() const {
  std::lock_guard guard(mutex_);
  return allocations_;
}

}  // namespace tavlo
