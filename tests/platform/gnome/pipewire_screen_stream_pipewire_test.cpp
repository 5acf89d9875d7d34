// The screen-cast consumer against real producers on a private PipeWire stack: it negotiates the size
// asked for, copies the pictures out, keeps its copies bounded, drops a buffer that lies about its size
// with a log line, fails when the node goes, and the registry lists only live streams.
#include "platform/gnome/pipewire_screen_stream.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/gnome/screen_cast_frames.hpp"
#include "tests/platform/gnome/screen_cast_producer.hpp"
#include "tests/testkit/pipewire_stack.hpp"
#include "tests/testkit/temp_dir.hpp"

namespace tavlo {
namespace {

using testkit::eventually;
using testkit::PipeWireStack;
using State = PipeWireScreenStream::State;

// What a subscriber saw, kept (the copies stay held) until cleared.
struct Received {
  std::mutex mutex;
  std::vector<std::shared_ptr<const ScreenFrame>> pictures;
  std::vector<std::string> log;

  size_t count() {
    std::lock_guard lock(mutex);
    return pictures.size();
  }
  bool logged(const std::string& part) {
    std::lock_guard lock(mutex);
    for (const auto& line : log) {
      if (line.find(part) != std::string::npos) return true;
    }
    return false;
  }
};

std::shared_ptr<PipeWireScreenStream> openStream(const PipeWireStack& stack, uint32_t node, PixelSize size,
                                                 Received& received) {
  PipeWireScreenStream::Options options;
  options.nodeId = node;
  options.size = size;
  options.remote = stack.pipewireRemote();
  options.log = [&received](const std::string& line) {
    std::lock_guard lock(received.mutex);
    received.log.push_back(line);
  };
  std::string error;
  auto stream = PipeWireScreenStream::open(options, &error);
  EXPECT_TRUE(stream) << error;
  if (stream) {
    stream->subscribe([&received](std::shared_ptr<const ScreenFrame> picture, const ScreenCursor&) {
      if (!picture) return;
      std::lock_guard lock(received.mutex);
      received.pictures.push_back(std::move(picture));
    });
  }
  return stream;
}

TEST(PipeWireScreenStream, CopiesTheProducersPicturesAtTheNegotiatedSizeAndKeepsItsCopiesBounded) {
  PipeWireStack stack;
  ASSERT_TRUE(stack.start()) << stack.failureText();
  testkit::ScreenProducer producer(stack.pipewireRemote(), 64, 48);
  const uint32_t node = producer.nodeId();
  ASSERT_NE(node, 0u);

  Received received;
  auto stream = openStream(stack, node, {64, 48}, received);
  ASSERT_TRUE(stream);
  ScreenCastFrames registry;
  registry.publish(7, stream);
  // Listed with the size asked for while the negotiation runs, and with the negotiated one after.
  ASSERT_EQ(registry.displays(), (std::vector<ScreenCastDisplay>{{7, {64, 48}}}));

  ASSERT_TRUE(eventually([&] { return stream->status().state == State::streaming; })) << stack.logs();
  EXPECT_EQ(stream->negotiatedSize(), (PixelSize{64, 48}));
  // Asking again for the size agreed on keeps the link (a new one would re-create mutter's monitor).
  EXPECT_TRUE(stream->resize({64, 48}));
  EXPECT_EQ(stream->status().state, State::streaming);
  ASSERT_TRUE(eventually([&] { return producer.send(10, 20, 30) && received.count() > 0; })) << stack.logs();
  {
    std::lock_guard lock(received.mutex);
    const ScreenFrame& first = *received.pictures.front();
    EXPECT_EQ(first.width, 64);
    EXPECT_EQ(first.height, 48);
    ASSERT_EQ(first.pixels.size(), size_t(64 * 48 * 4));
    EXPECT_EQ(first.pixels[(47 * 64 + 63) * 4 + 0], 10);
    EXPECT_EQ(first.pixels[(47 * 64 + 63) * 4 + 2], 30);
    EXPECT_EQ(first.sequence, 1u);
  }
  ASSERT_TRUE(stream->latestFrame());
  EXPECT_GE(stream->latestFrame()->sequence, 1u);

  // The subscriber keeps every copy: after a handful the stream delivers no more, rather than allocate.
  for (int i = 0; i < 30; ++i) {
    producer.send(uint8_t(i), 0, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const size_t held = received.count();
  EXPECT_GE(held, 2u);
  EXPECT_LE(held, 4u);
  // Let go of them: pictures flow again, in order.
  {
    std::lock_guard lock(received.mutex);
    received.pictures.clear();
  }
  ASSERT_TRUE(eventually([&] { return producer.send(1, 2, 3) && received.count() >= 2; }));
  {
    std::lock_guard lock(received.mutex);
    EXPECT_LT(received.pictures[0]->sequence, received.pictures[1]->sequence);
  }

  stream->close();
  EXPECT_EQ(stream->status().state, State::closed);
  EXPECT_TRUE(registry.displays().empty());
  EXPECT_EQ(registry.lookup(7), stream);
  registry.withdraw(7);
  EXPECT_EQ(registry.lookup(7), nullptr);
}

TEST(PipeWireScreenStream, DropsABufferShorterThanItsPictureWithALogLineAndFailsWhenTheNodeGoes) {
  PipeWireStack stack;
  ASSERT_TRUE(stack.start()) << stack.failureText();
  auto producer = std::make_unique<testkit::ScriptedProducer>(stack.pipewireRemote(), 32, 16);
  const uint32_t node = producer->nodeId();
  ASSERT_NE(node, 0u);

  Received received;
  auto stream = openStream(stack, node, {32, 16}, received);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(eventually([&] { return producer->streaming(); })) << stack.logs();

  // One row short: dropped, said so, nothing delivered.
  ASSERT_TRUE(eventually([&] { return producer->send(32 * 4 * 15) && received.logged("dropped buffer"); }))
      << stack.logs();
  EXPECT_TRUE(received.logged("too short")) << received.log.front();
  EXPECT_EQ(received.count(), 0u);
  // A whole one after it goes through.
  ASSERT_TRUE(eventually([&] { return producer->send(producer->pictureSize()) && received.count() > 0; }));

  ScreenCastFrames registry;
  registry.publish(3, stream);
  ASSERT_EQ(registry.displays().size(), 1u);
  producer.reset();
  ASSERT_TRUE(eventually([&] { return stream->status().state == State::failed; })) << stack.logs();
  EXPECT_FALSE(stream->status().error.empty());
  EXPECT_TRUE(registry.displays().empty());
  std::string error;
  EXPECT_FALSE(stream->resize({64, 32}, &error));
  EXPECT_FALSE(error.empty());
}

TEST(PipeWireScreenStream, AServerThatCannotBeReachedIsAnErrorNotAHang) {
  testkit::TempDir nowhere;
  PipeWireScreenStream::Options options;
  options.nodeId = 42;
  options.size = {64, 48};
  options.remote = (nowhere.path() / "pipewire-0").string();
  std::string error;
  EXPECT_EQ(PipeWireScreenStream::open(options, &error), nullptr);
  EXPECT_NE(error.find("PipeWire"), std::string::npos) << error;
  options.size = {0, 48};
  EXPECT_EQ(PipeWireScreenStream::open(options, &error), nullptr);
  EXPECT_NE(error.find("out of range"), std::string::npos) << error;
}

}  // namespace
}  // namespace tavlo
