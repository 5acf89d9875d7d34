#include "platform/video/nv12_buffer_pool.hpp"

#include <gtest/gtest.h>

#include <cstdint>


namespace tavlo {
namespace {

TEST(Nv12Buffer, PlanesAreAlignedAndHoldOddSizes) {
  auto buffer = Nv12Buffer::make(1919, 1079);
  ASSERT_TRUE(buffer);
  EXPECT_EQ(buffer->lumaStride(), 1920u);
  EXPECT_EQ(buffer->chromaWidth(), 960);
  EXPECT_EQ(buffer->chromaHeight(), 540);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer->lumaPlane()) % Nv12Buffer::kRowAlignment, 0u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer->chromaPlane()) % Nv12Buffer::kRowAlignment, 0u);
  EXPECT_EQ(buffer->pixelFormat(), 0x34323076u);
  for (auto [w, h] : {std::pair{0, 10}, {10, -1}, {Nv12Buffer::kMaxSide + 1, 10}}) {
    EXPECT_FALSE(Nv12Buffer::make(w, h)) << w << "×" << h;
    EXPECT_FALSE(Nv12BufferPool::create(w, h)) << w << "×" << h;
  }
}

TEST(Nv12BufferPool, RecyclesBuffersAndBoundsHowManyAreOut) {
  auto pool = Nv12BufferPool::create(64, 32, 2);
  auto first = pool->acquire();
  first->color = ColorDescription::bt709VideoRange();
  auto second = pool->acquire();
  EXPECT_FALSE(pool->acquire());  // both out
  const Nv12Buffer* recycled = first.get();
  first.reset();
  auto third = pool->acquire();
  EXPECT_EQ(third.get(), recycled);
  EXPECT_FALSE(third->color);  // a recycled buffer comes without the last user's attachment
  EXPECT_EQ(pool->allocations(), 2u);
  EXPECT_EQ(pool->outstanding(), 2u);

  // A buffer outliving its pool is simply freed.
  pool.reset();
  third.reset();
  second.reset();
}

}  // namespace
}  // namespace tavlo
